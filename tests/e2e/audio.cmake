# The remote desktop's sound (EXT_AUDIO): against korvane-test-server's sound channel.
add_executable(korvane_audio_tests ${CMAKE_CURRENT_LIST_DIR}/audio_test.cpp)
target_link_libraries(korvane_audio_tests PRIVATE korvane_test_support korvane_host
                      korvane_wire GTest::gtest_main)
target_include_directories(korvane_audio_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
korvane_program_paths(korvane_audio_tests)
add_dependencies(korvane_audio_tests korvane korvane-test-server)
gtest_discover_tests(korvane_audio_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 180)
