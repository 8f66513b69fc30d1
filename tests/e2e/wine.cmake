# korvane.exe (the Windows build) under Wine: the Linux end-to-end suites' own tests, with korvane
# started through tests/wine/korvane-wine.sh, against the same servers on 127.0.0.1. Labelled
# "wine": scripts/test.sh runs them after building korvane.exe (KORVANE_WINDOWS_EXE); without
# it they skip and say so. Each suite names the tests that apply to a Windows korvane.
set(KORVANE_WINE_WRAPPER ${PROJECT_SOURCE_DIR}/tests/wine/korvane-wine.sh)

function(korvane_wine_suite name source filter)
  set(target korvane_wine_${name}_tests)
  add_executable(${target} ${source} ${PROJECT_SOURCE_DIR}/tests/wine/wine_main.cpp)
  target_link_libraries(${target} PRIVATE korvane_test_support korvane_host korvane_wire
                        GTest::gtest ${ARGN})
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  target_compile_definitions(${target} PRIVATE
    KORVANE_WINE_FILTER="${filter}"
    KORVANE_BIN="${KORVANE_WINE_WRAPPER}"
    KORVANE_PATH="${KORVANE_WINE_WRAPPER}"
    CLIP_KORVANE_PATH="${KORVANE_WINE_WRAPPER}"
    GFX_KORVANE_PATH="${KORVANE_WINE_WRAPPER}"
    KORVANE_HOST_PATH="$<TARGET_FILE:korvane-host>"
    KORVANE_TEST_SERVER_PATH="$<TARGET_FILE:korvane-test-server>"
    CLIP_TEST_SERVER_PATH="$<TARGET_FILE:korvane-test-server>"
    GFX_TEST_SERVER_PATH="$<TARGET_FILE:korvane-test-server>"
    KORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    KORVANE_BINARY_DIR="${PROJECT_BINARY_DIR}")
  add_dependencies(${target} korvane korvane-host korvane-test-server)
  # Wine starts every korvane.exe in a shared wineserver; the X desktop suites keep their lock.
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 30 TEST_PREFIX Wine.
                       PROPERTIES TIMEOUT 300 LABELS wine RESOURCE_LOCK korvane_x_desktop)
endfunction()

# Not in the sanitizer builds: there korvane.exe is the same program, and the test programs'
# build would only cost time.
korvane_suite_wanted(wanted wine)
if(wanted AND TARGET korvane_test_support AND TARGET korvane-test-server AND TARGET korvane-host
   AND NOT KORVANE_SANITIZE AND NOT KORVANE_TSAN)
  find_package(OpenSSL REQUIRED COMPONENTS Crypto)
  korvane_wine_suite(process ${CMAKE_CURRENT_LIST_DIR}/process_test.cpp "Process.*")
  korvane_wine_suite(same_bytes ${PROJECT_SOURCE_DIR}/tests/wine/same_bytes_test.cpp "SameBytes.*")
  # The Linux korvane is the reference there.
  target_compile_definitions(korvane_wine_same_bytes_tests PRIVATE
    KORVANE_LINUX_PATH="$<TARGET_FILE:korvane>")
  korvane_wine_suite(session ${CMAKE_CURRENT_LIST_DIR}/session_test.cpp
    "Session.*")
  korvane_wine_suite(display_input ${CMAKE_CURRENT_LIST_DIR}/display_input_test.cpp
    "Display.CanvasEqualsTheServerPictureByteForByte:Display.ServerResize*:Input.*")
  korvane_wine_suite(clipboard ${CMAKE_CURRENT_LIST_DIR}/clipboard_test.cpp
    "Clipboard.HostFormatListReachesServer:Clipboard.ServerRequestsAreAnswered*:Clipboard.LargeHostData*:Clipboard.ServerFormatListsReachHost:Clipboard.HostRequestsGetTheServerBytes"
    OpenSSL::Crypto)
  korvane_wine_suite(gfx ${CMAKE_CURRENT_LIST_DIR}/gfx_test.cpp
    "GfxContent.Avc420*:GfxContent.Avc444ArrivesExactlyAsSent:GfxRenderer.LosslessCommands*:GfxRenderer.ARectanglesOnly*")
  korvane_wine_suite(shadow ${CMAKE_CURRENT_LIST_DIR}/shadow_test.cpp
    "ShadowTest.TlsCanvas*:ShadowTest.PointerMoves*:ShadowTest.Nla*:ShadowTest.ServerGoingAway*")

  korvane_wine_suite(faults ${CMAKE_CURRENT_LIST_DIR}/faults_test.cpp "HostileDrive.*:GoneHost.*")
  korvane_wine_suite(audio ${CMAKE_CURRENT_LIST_DIR}/audio_test.cpp "Audio.*:Microphone.*")
  korvane_wine_suite(text_server ${CMAKE_CURRENT_LIST_DIR}/text_server_test.cpp "TextInput.*")
  korvane_wine_suite(reconnect ${CMAKE_CURRENT_LIST_DIR}/reconnect_test.cpp "Reconnect.*")
  korvane_wine_suite(extensions ${CMAKE_CURRENT_LIST_DIR}/extensions_test.cpp "*")
  korvane_wine_suite(windows_host ${PROJECT_SOURCE_DIR}/tests/wine/windows_host_test.cpp
    "WindowsHost.*")
  # The saved fuzzing corpus through the Windows build's parsers; the zip and exe's imports.
  add_test(NAME Wine.FuzzCorpus.EveryInputParsesWithoutFault
           COMMAND ${PROJECT_SOURCE_DIR}/tests/wine/run_exe.sh korvane_corpus_replay.exe
                   Z:${PROJECT_SOURCE_DIR}/tests/fuzz/corpus)
  add_test(NAME Wine.Package.ZipHoldsTheExeReadmeAndLicencesOnly
           COMMAND ${PROJECT_SOURCE_DIR}/tests/wine/package_test.sh)
  set_tests_properties(Wine.FuzzCorpus.EveryInputParsesWithoutFault
                       Wine.Package.ZipHoldsTheExeReadmeAndLicencesOnly
                       PROPERTIES LABELS wine SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()
