# shadow_bench: korvane's CPU and bytes out per update against FreeRDP's shadow server on a
# steadily repainted 1080p Xvfb desktop, base protocol against a host that decodes AVC444v2 (see
# the comment at the top of shadow_bench.cpp).
# depth_bench: the server's bytes and korvane's CPU per frame on the classic bitmap path (shadow
# server -gfx -rfx -nsc) with a profile of 16 against one of 32 bits per pixel, under the same
# moving picture.
# Their X client (x_painter.hpp) draws with libX11.
if(TARGET korvane_test_support)
  pkg_check_modules(SHADOW_BENCH_X REQUIRED IMPORTED_TARGET x11)
  foreach(bench shadow_bench depth_bench)
    add_executable(${bench} ${CMAKE_CURRENT_LIST_DIR}/${bench}.cpp)
    target_link_libraries(${bench} PRIVATE korvane_test_support korvane_host korvane_wire
                          PkgConfig::SHADOW_BENCH_X)
    target_compile_options(${bench} PRIVATE ${KORVANE_WARNINGS})
    target_compile_definitions(${bench} PRIVATE BENCH_KORVANE_PATH="$<TARGET_FILE:korvane>")
    add_dependencies(${bench} korvane)
  endforeach()
endif()
