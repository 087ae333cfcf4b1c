# Every target links merravine_warnings so the whole tree builds with one warning set.
add_library(merravine_warnings INTERFACE)
target_compile_options(merravine_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wnon-virtual-dtor
    -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough)
if(MERRAVINE_WERROR)
    target_compile_options(merravine_warnings INTERFACE -Werror)
endif()
if(WIN32)
    # MinGW checks "printf" formats against Microsoft's C library, which the program does
    # not use (cmake/windows-deps.cmake picks MinGW's C99 printf); the Linux build checks them.
    target_compile_options(merravine_warnings INTERFACE -Wno-format)
endif()
