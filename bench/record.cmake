# record_bench: what recording a session costs in CPU and bytes, classic and H.264, and the
# export of the recording to a video as a multiple of real time (see record_bench.cpp).
if(TARGET korvane_test_support)
  add_executable(record_bench ${CMAKE_CURRENT_LIST_DIR}/record_bench.cpp)
  target_link_libraries(record_bench PRIVATE korvane_test_support korvane_host korvane_wire)
  target_compile_options(record_bench PRIVATE ${KORVANE_WARNINGS})
  target_compile_definitions(record_bench PRIVATE BENCH_KORVANE_PATH="$<TARGET_FILE:korvane>"
    KORVANE_HOST_PATH="$<TARGET_FILE:korvane-host>")
  add_dependencies(record_bench korvane korvane-host)
endif()
