# audio_bench: korvane's CPU per second of 48 kHz stereo PCM and the latency from the test
# server's wave PDU to the host's EVT_AUDIO_DATA (see the comment at the top of audio_bench.cpp).
if(TARGET korvane_test_support AND TARGET korvane-test-server)
  add_executable(audio_bench ${CMAKE_CURRENT_LIST_DIR}/audio_bench.cpp)
  target_link_libraries(audio_bench PRIVATE korvane_test_support korvane_host korvane_wire)
  target_compile_options(audio_bench PRIVATE ${KORVANE_WARNINGS})
  target_compile_definitions(audio_bench PRIVATE
    AUDIO_BENCH_KORVANE_PATH="$<TARGET_FILE:korvane>"
    AUDIO_BENCH_TEST_SERVER_PATH="$<TARGET_FILE:korvane-test-server>")
  add_dependencies(audio_bench korvane korvane-test-server)
endif()
