# The remaining-time benchmark (not a test): include(estimate_bench.cmake) from
# bench/CMakeLists.txt. Run: build/<preset>/bench/estimate_bench [--trace FILE] DIR...
add_executable(estimate_bench ${CMAKE_CURRENT_LIST_DIR}/estimate_bench.cpp)
target_link_libraries(estimate_bench PRIVATE merravine_search merravine_settings merravine_warnings)
