# The content cache file's benchmark (not a test): include(cache_bench.cmake) from
# bench/CMakeLists.txt. Run: build/<preset>/bench/cache_bench [entries] [work folder]
add_executable(cache_bench ${CMAKE_CURRENT_LIST_DIR}/cache_bench.cpp)
target_link_libraries(cache_bench PRIVATE merravine_search merravine_warnings)
