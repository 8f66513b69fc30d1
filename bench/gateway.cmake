# gateway_bench: paint_bench's workload directly and through korvane-test-gateway's two transports.
if(TARGET korvane-test-gateway)
  add_executable(gateway_bench ${CMAKE_CURRENT_LIST_DIR}/gateway_bench.cpp)
  target_link_libraries(gateway_bench PRIVATE korvane_test_support korvane_host korvane_core)
  target_compile_options(gateway_bench PRIVATE ${KORVANE_WARNINGS})
  korvane_program_paths(gateway_bench)
  add_dependencies(gateway_bench korvane korvane-test-server korvane-test-gateway)
endif()
