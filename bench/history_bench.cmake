# The history and action benchmark (not a test): include(history_bench.cmake) from
# bench/CMakeLists.txt. Run: build/<preset>/bench/history_bench [work folder]
add_executable(history_bench ${CMAKE_CURRENT_LIST_DIR}/history_bench.cpp)
target_link_libraries(history_bench PRIVATE merravine_deletion merravine_warnings)
