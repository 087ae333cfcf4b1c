# The hashing floor of a tree (not a test): include(hash_floor.cmake) from
# bench/CMakeLists.txt. Run: build/<preset>/bench/hash_floor SETS [threads]
add_executable(hash_floor ${CMAKE_CURRENT_LIST_DIR}/hash_floor.cpp)
target_link_libraries(hash_floor PRIVATE merravine_search merravine_warnings)
