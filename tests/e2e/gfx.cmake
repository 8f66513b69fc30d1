# korvane's graphics-pipeline hooks against korvane-test-server's graphics pipeline.
if(TARGET korvane_test_support AND TARGET korvane-test-server)
  add_executable(korvane_gfx_tests ${CMAKE_CURRENT_LIST_DIR}/gfx_test.cpp)
  target_link_libraries(korvane_gfx_tests PRIVATE korvane_test_support korvane_host korvane_wire
                        GTest::gtest_main)
  target_compile_options(korvane_gfx_tests PRIVATE ${KORVANE_WARNINGS})
  target_compile_definitions(korvane_gfx_tests PRIVATE
    GFX_KORVANE_PATH="$<TARGET_FILE:korvane>"
    GFX_TEST_SERVER_PATH="$<TARGET_FILE:korvane-test-server>")
  add_dependencies(korvane_gfx_tests korvane korvane-test-server)
  gtest_discover_tests(korvane_gfx_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 240)
endif()
