# gfx_bench: korvane's CPU per frame and bytes out per byte in for a 1080p AVC420 stream, passed
# through against decoded by the renderer (see the comment at the top of gfx_bench.cpp).
if(TARGET korvane_test_support AND TARGET korvane-test-server)
  add_executable(gfx_bench ${CMAKE_CURRENT_LIST_DIR}/gfx_bench.cpp)
  target_link_libraries(gfx_bench PRIVATE korvane_test_support korvane_host korvane_wire)
  target_compile_options(gfx_bench PRIVATE ${KORVANE_WARNINGS})
  target_compile_definitions(gfx_bench PRIVATE
    GFX_BENCH_KORVANE_PATH="$<TARGET_FILE:korvane>"
    GFX_BENCH_TEST_SERVER_PATH="$<TARGET_FILE:korvane-test-server>")
  add_dependencies(gfx_bench korvane korvane-test-server)
endif()
