# korvane against a server or host that misbehaves: gone hosts, dropped and frozen servers,
# hostile drive requests, floods.
add_executable(korvane_faults_tests ${CMAKE_CURRENT_LIST_DIR}/faults_test.cpp)
target_link_libraries(korvane_faults_tests PRIVATE korvane_test_support korvane_host korvane_wire
                      GTest::gtest_main)
target_include_directories(korvane_faults_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
korvane_program_paths(korvane_faults_tests)
add_dependencies(korvane_faults_tests korvane korvane-test-server)
gtest_discover_tests(korvane_faults_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 180)
