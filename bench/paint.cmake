add_executable(paint_bench ${CMAKE_CURRENT_LIST_DIR}/paint_bench.cpp)
target_link_libraries(paint_bench PRIVATE korvane_test_support korvane_host korvane_core)
korvane_program_paths(paint_bench)
add_dependencies(paint_bench korvane korvane-test-server)
