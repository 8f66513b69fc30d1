# korvane against FreeRDP's shadow server on a private Xvfb desktop, and the demo script.
foreach(suite shadow demo)
  add_executable(korvane_${suite}_tests ${CMAKE_CURRENT_LIST_DIR}/${suite}_test.cpp)
  target_link_libraries(korvane_${suite}_tests PRIVATE korvane_test_support korvane_host
                        korvane_wire GTest::gtest_main)
  target_compile_options(korvane_${suite}_tests PRIVATE ${KORVANE_WARNINGS})
  korvane_program_paths(korvane_${suite}_tests)
  add_dependencies(korvane_${suite}_tests korvane korvane-host)
  # Each test starts its own X server and RDP server: they are not run in parallel with each
  # other (RESOURCE_LOCK) so two cores keep up with the encoding.
  gtest_discover_tests(korvane_${suite}_tests DISCOVERY_TIMEOUT 30
                       PROPERTIES TIMEOUT 180 RESOURCE_LOCK korvane_x_desktop)
endforeach()
