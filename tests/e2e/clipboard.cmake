# korvane's clipboard bridge against korvane-test-server's clipboard channel.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)

add_executable(korvane_clipboard_tests ${CMAKE_CURRENT_LIST_DIR}/clipboard_test.cpp)
target_link_libraries(korvane_clipboard_tests PRIVATE korvane_test_support korvane_host korvane_wire
                      OpenSSL::Crypto GTest::gtest_main)
target_compile_options(korvane_clipboard_tests PRIVATE ${KORVANE_WARNINGS})
target_compile_definitions(korvane_clipboard_tests PRIVATE
  CLIP_KORVANE_PATH="$<TARGET_FILE:korvane>"
  CLIP_TEST_SERVER_PATH="$<TARGET_FILE:korvane-test-server>")
add_dependencies(korvane_clipboard_tests korvane korvane-test-server)
gtest_discover_tests(korvane_clipboard_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 180)
