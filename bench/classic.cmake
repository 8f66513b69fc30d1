# classic_bench: korvane's bytes out and CPU on the classic bitmap path (shadow server without the
# graphics pipeline) while an xterm scrolls and then stays still, with and without EXT_CHANGED_ONLY.
if(TARGET korvane_test_support)
  add_executable(classic_bench ${CMAKE_CURRENT_LIST_DIR}/classic_bench.cpp)
  target_link_libraries(classic_bench PRIVATE korvane_test_support korvane_host korvane_wire)
  target_compile_options(classic_bench PRIVATE ${KORVANE_WARNINGS})
  target_compile_definitions(classic_bench PRIVATE CLASSIC_BENCH_KORVANE_PATH="$<TARGET_FILE:korvane>")
  add_dependencies(classic_bench korvane)
endif()
