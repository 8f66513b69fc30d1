# sessions_bench: N korvane sessions at once, each against its own korvane-test-server with a
# mixed workload; memory, threads and CPU per session (see the comment at the top of the file).
add_executable(sessions_bench ${CMAKE_CURRENT_LIST_DIR}/sessions_bench.cpp)
target_link_libraries(sessions_bench PRIVATE korvane_test_support korvane_host korvane_core)
korvane_program_paths(sessions_bench)
add_dependencies(sessions_bench korvane korvane-test-server)
