# Text input (EXT_TEXT): against korvane-test-server, which logs every Unicode and lock event.
add_executable(korvane_text_server_tests ${CMAKE_CURRENT_LIST_DIR}/text_server_test.cpp)
target_link_libraries(korvane_text_server_tests PRIVATE korvane_test_support korvane_host
                      korvane_wire GTest::gtest_main)
target_include_directories(korvane_text_server_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
korvane_program_paths(korvane_text_server_tests)
add_dependencies(korvane_text_server_tests korvane korvane-test-server)
gtest_discover_tests(korvane_text_server_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 180)
