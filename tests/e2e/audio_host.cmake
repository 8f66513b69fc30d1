# The reference host's sound output (korvane-host --audio-wav) against korvane-test-server.
add_executable(korvane_audio_host_tests ${CMAKE_CURRENT_LIST_DIR}/audio_host_test.cpp)
target_link_libraries(korvane_audio_host_tests PRIVATE korvane_test_support korvane_host
                      korvane_wire GTest::gtest_main)
target_compile_options(korvane_audio_host_tests PRIVATE ${KORVANE_WARNINGS})
korvane_program_paths(korvane_audio_host_tests)
add_dependencies(korvane_audio_host_tests korvane korvane-host korvane-test-server)
gtest_discover_tests(korvane_audio_host_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 180)
