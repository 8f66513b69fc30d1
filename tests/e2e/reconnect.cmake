# Reconnection after a dropped connection: korvane against korvane-test-server through a TCP proxy
# the test cuts.
add_executable(korvane_reconnect_tests ${CMAKE_CURRENT_LIST_DIR}/reconnect_test.cpp)
target_link_libraries(korvane_reconnect_tests PRIVATE korvane_test_support korvane_host korvane_wire
                      GTest::gtest_main)
target_include_directories(korvane_reconnect_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
korvane_program_paths(korvane_reconnect_tests)
add_dependencies(korvane_reconnect_tests korvane korvane-test-server)
gtest_discover_tests(korvane_reconnect_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 180)
