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

# The host-link extensions against the shadow server. The X server's own pointer image (XFixes)
# is what a cursor shape is checked against, so this suite alone links libX11 and libXfixes.
pkg_check_modules(SHADOW_EXT_X REQUIRED IMPORTED_TARGET x11 xfixes)
add_executable(korvane_shadow_ext_tests ${CMAKE_CURRENT_LIST_DIR}/shadow_ext_test.cpp
               ${PROJECT_SOURCE_DIR}/tests/support/x_cursor.cpp)
target_link_libraries(korvane_shadow_ext_tests PRIVATE korvane_test_support korvane_host
                      korvane_wire PkgConfig::SHADOW_EXT_X GTest::gtest_main)
target_compile_options(korvane_shadow_ext_tests PRIVATE ${KORVANE_WARNINGS})
korvane_program_paths(korvane_shadow_ext_tests)
add_dependencies(korvane_shadow_ext_tests korvane korvane-host)
gtest_discover_tests(korvane_shadow_ext_tests DISCOVERY_TIMEOUT 30
                     PROPERTIES TIMEOUT 180 RESOURCE_LOCK korvane_x_desktop)
