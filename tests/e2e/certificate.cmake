# The certificate decision (EXT_CERTIFICATE) against FreeRDP's shadow server.
add_executable(korvane_certificate_tests ${CMAKE_CURRENT_LIST_DIR}/certificate_test.cpp)
target_link_libraries(korvane_certificate_tests PRIVATE korvane_test_support korvane_host
                      korvane_wire GTest::gtest_main)
target_compile_options(korvane_certificate_tests PRIVATE ${KORVANE_WARNINGS})
korvane_program_paths(korvane_certificate_tests)
add_dependencies(korvane_certificate_tests korvane korvane-host)
gtest_discover_tests(korvane_certificate_tests DISCOVERY_TIMEOUT 30
                     PROPERTIES TIMEOUT 180 RESOURCE_LOCK korvane_x_desktop)
