# The libraries of the Windows build. SQLite and LZF are compiled here from Debian's source
# packages (scripts/windows-deps.sh fetches them once per build folder); Boost.Asio and
# Boost.Beast are headers, handed to the cross compiler as that one folder (never the host's
# whole /usr/include); GoogleTest is built from Debian's googletest sources. Each is given
# the target name the subsystems link, so their own find_package calls are skipped.
# localtime_r and gmtime_r of the MinGW C library, and its C99 printf (%zu, %lld).
add_compile_definitions(_POSIX_THREAD_SAFE_FUNCTIONS __USE_MINGW_ANSI_STDIO=1)

set(MERRAVINE_WINDOWS_DEPS ${CMAKE_BINARY_DIR}/windows-deps CACHE PATH
    "Where the Windows build keeps the prepared SQLite and LZF sources")
if(NOT EXISTS ${MERRAVINE_WINDOWS_DEPS}/sqlite/sqlite3.c OR NOT EXISTS ${MERRAVINE_WINDOWS_DEPS}/lzf/lzf_c.c)
    message(STATUS "Preparing SQLite and LZF from Debian's source packages")
    execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/windows-deps.sh ${MERRAVINE_WINDOWS_DEPS}
        RESULT_VARIABLE deps_result)
    if(NOT deps_result EQUAL 0)
        message(FATAL_ERROR "scripts/windows-deps.sh failed (${deps_result})")
    endif()
endif()

add_library(merravine_sqlite3 STATIC ${MERRAVINE_WINDOWS_DEPS}/sqlite/sqlite3.c)
target_include_directories(merravine_sqlite3 SYSTEM PUBLIC ${MERRAVINE_WINDOWS_DEPS}/sqlite)
# Serialized threading, as the Linux library is built; no loadable extensions.
target_compile_definitions(merravine_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION
    SQLITE_DQS=0 SQLITE_ENABLE_FTS5=0)
target_compile_options(merravine_sqlite3 PRIVATE -w)
add_library(SQLite::SQLite3 ALIAS merravine_sqlite3)

add_library(merravine_lzf STATIC ${MERRAVINE_WINDOWS_DEPS}/lzf/lzf_c.c ${MERRAVINE_WINDOWS_DEPS}/lzf/lzf_d.c)
target_include_directories(merravine_lzf SYSTEM PUBLIC ${MERRAVINE_WINDOWS_DEPS}/lzf)
# LZF's 64-bit Windows branch spells its offset type the Microsoft way.
target_compile_definitions(merravine_lzf PRIVATE "_int64=long long")
target_compile_options(merravine_lzf PRIVATE -w)
add_library(liblzf::liblzf ALIAS merravine_lzf)

# Only the boost folder of the host's headers.
set(header_root ${CMAKE_BINARY_DIR}/windows-headers)
file(MAKE_DIRECTORY ${header_root})
if(NOT EXISTS ${header_root}/boost)
    file(CREATE_LINK /usr/include/boost ${header_root}/boost SYMBOLIC)
endif()
add_library(merravine_boost_headers INTERFACE)
target_include_directories(merravine_boost_headers SYSTEM INTERFACE ${header_root})
# The Windows 10 API level; Asio needs the socket libraries.
target_compile_definitions(merravine_boost_headers INTERFACE _WIN32_WINNT=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(merravine_boost_headers INTERFACE ws2_32 mswsock)
add_library(Boost::headers ALIAS merravine_boost_headers)

if(MERRAVINE_BUILD_TESTS)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    foreach(lib gtest gtest_main gmock gmock_main)
        target_compile_options(${lib} PRIVATE -w)
        if(NOT TARGET GTest::${lib})
            add_library(GTest::${lib} ALIAS ${lib})
        endif()
    endforeach()
endif()
