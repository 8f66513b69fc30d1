# korvane against korvane-test-server: sessions, display and input.
foreach(suite session display_input extensions)
  add_executable(korvane_${suite}_tests ${CMAKE_CURRENT_LIST_DIR}/${suite}_test.cpp)
  target_link_libraries(korvane_${suite}_tests PRIVATE korvane_test_support korvane_host korvane_wire
                        GTest::gtest_main)
  target_include_directories(korvane_${suite}_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  korvane_program_paths(korvane_${suite}_tests)
  add_dependencies(korvane_${suite}_tests korvane korvane-test-server)
  gtest_discover_tests(korvane_${suite}_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 180)
endforeach()
