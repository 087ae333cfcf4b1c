# The generator of many-file trees for the scale benchmark (not a test):
# include(scale_tree.cmake) from bench/CMakeLists.txt.
# Run: build/<preset>/bench/scale_tree --files N --out DIR [--seed S] [--tiny]
add_executable(scale_tree ${CMAKE_CURRENT_LIST_DIR}/scale_tree.cpp)
target_link_libraries(scale_tree PRIVATE merravine_warnings)
