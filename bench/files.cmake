# files_bench: a large file through the clipboard each way, its throughput and korvane's CPU and
# peak memory (see the comment at the top of files_bench.cpp).
if(TARGET korvane_test_support AND TARGET korvane-test-server)
  add_executable(files_bench ${CMAKE_CURRENT_LIST_DIR}/files_bench.cpp)
  target_link_libraries(files_bench PRIVATE korvane_test_support korvane_host korvane_wire)
  target_compile_options(files_bench PRIVATE ${KORVANE_WARNINGS})
  target_compile_definitions(files_bench PRIVATE
    FILES_BENCH_KORVANE_PATH="$<TARGET_FILE:korvane>"
    FILES_BENCH_TEST_SERVER_PATH="$<TARGET_FILE:korvane-test-server>")
  add_dependencies(files_bench korvane korvane-test-server)
endif()
