# shadow_bench: korvane's CPU and bytes out per update against FreeRDP's shadow server on a
# steadily repainted 1080p Xvfb desktop, base protocol against a host that decodes AVC444v2 (see
# the comment at the top of shadow_bench.cpp). Its X client draws with libX11.
if(TARGET korvane_test_support)
  pkg_check_modules(SHADOW_BENCH_X REQUIRED IMPORTED_TARGET x11)
  add_executable(shadow_bench ${CMAKE_CURRENT_LIST_DIR}/shadow_bench.cpp)
  target_link_libraries(shadow_bench PRIVATE korvane_test_support korvane_host korvane_wire
                        PkgConfig::SHADOW_BENCH_X)
  target_compile_options(shadow_bench PRIVATE ${KORVANE_WARNINGS})
  target_compile_definitions(shadow_bench PRIVATE SHADOW_BENCH_KORVANE_PATH="$<TARGET_FILE:korvane>")
  add_dependencies(shadow_bench korvane)
endif()
