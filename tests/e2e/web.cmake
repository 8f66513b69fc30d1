# korvane-web: the gateway's refusals without a browser, and the page in headless Chromium
# against korvane and the shadow server on Xvfb.
find_package(Boost 1.74 COMPONENTS system)
if(Boost_FOUND AND TARGET korvane-web)
  add_executable(korvane_web_tests ${CMAKE_CURRENT_LIST_DIR}/web_test.cpp)
  target_link_libraries(korvane_web_tests PRIVATE korvane_test_support korvane_host
                        Boost::system GTest::gtest_main)
  target_compile_options(korvane_web_tests PRIVATE ${KORVANE_WARNINGS})
  korvane_program_paths(korvane_web_tests)
  target_compile_definitions(korvane_web_tests PRIVATE
    KORVANE_WEB_PATH="$<TARGET_FILE:korvane-web>")
  add_dependencies(korvane_web_tests korvane korvane-web)
  if(TARGET korvane-test-server)
    add_dependencies(korvane_web_tests korvane-test-server)
  endif()
  gtest_discover_tests(korvane_web_tests DISCOVERY_TIMEOUT 30
                       PROPERTIES TIMEOUT 180 RESOURCE_LOCK korvane_x_desktop)
endif()

# The configuration parser and the policy on their own: no network, no browser.
if(TARGET korvane_web_policy)
  add_executable(korvane_web_config_tests ${CMAKE_CURRENT_LIST_DIR}/../unit/web_config_test.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/../unit/web_policy_test.cpp)
  target_link_libraries(korvane_web_config_tests PRIVATE korvane_web_policy GTest::gtest_main)
  target_compile_options(korvane_web_config_tests PRIVATE ${KORVANE_WARNINGS})
  gtest_discover_tests(korvane_web_config_tests DISCOVERY_TIMEOUT 30)
endif()
