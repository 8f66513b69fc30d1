# depth_bench: the server's bytes and korvane's CPU per frame on the classic bitmap path (shadow
# server -gfx -rfx -nsc) with a profile of 16 against one of 32 bits per pixel, under the same
# moving picture. Its X client draws with libX11.
if(TARGET korvane_test_support)
  pkg_check_modules(DEPTH_BENCH_X REQUIRED IMPORTED_TARGET x11)
  add_executable(depth_bench ${CMAKE_CURRENT_LIST_DIR}/depth_bench.cpp)
  target_link_libraries(depth_bench PRIVATE korvane_test_support korvane_host korvane_wire
                        PkgConfig::DEPTH_BENCH_X)
  target_compile_options(depth_bench PRIVATE ${KORVANE_WARNINGS})
  target_compile_definitions(depth_bench PRIVATE DEPTH_BENCH_KORVANE_PATH="$<TARGET_FILE:korvane>")
  add_dependencies(depth_bench korvane)
endif()
