# Sending only what changed (EXT_CHANGED_ONLY): against korvane-test-server.
add_executable(korvane_changed_only_tests ${CMAKE_CURRENT_LIST_DIR}/changed_only_test.cpp)
target_link_libraries(korvane_changed_only_tests PRIVATE korvane_test_support korvane_host
                      korvane_wire GTest::gtest_main)
target_include_directories(korvane_changed_only_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
korvane_program_paths(korvane_changed_only_tests)
add_dependencies(korvane_changed_only_tests korvane korvane-test-server)
gtest_discover_tests(korvane_changed_only_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 180)
