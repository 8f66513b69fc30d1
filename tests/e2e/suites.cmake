# The end-to-end suites: korvane_NAME_tests from NAME_test.cpp, with their labels (see
# tests/CMakeLists.txt). The first group runs korvane against korvane-test-server, the scripted
# server; the x_desktop group against FreeRDP's shadow server on a private Xvfb desktop.
set(e2e ${CMAKE_CURRENT_LIST_DIR})
find_package(OpenSSL REQUIRED COMPONENTS Crypto)

# Sessions, display and input; the host-link extensions; text input (EXT_TEXT); sending only
# what changed (EXT_CHANGED_ONLY, EXT_DEFLATE); the remote desktop's sound (EXT_AUDIO);
# reconnection through a TCP proxy the test cuts; a server or host that misbehaves; connection
# profiles, and their routing fields through FreeRDP's proxy (freerdp-proxy3, skipped without it)
# and a TCP relay that keeps what korvane sent first; several monitors and their scale.
foreach(suite session display_input extensions text_server changed_only audio reconnect faults
              profile broker monitors)
  korvane_e2e_suite(${suite} SOURCES ${e2e}/${suite}_test.cpp LABELS e2e threaded
                    NEEDS korvane-test-server)
endforeach()
# The clipboard bridge against the server's clipboard channel (digests of large data).
korvane_e2e_suite(clipboard SOURCES ${e2e}/clipboard_test.cpp LABELS e2e threaded
                  LINK OpenSSL::Crypto NEEDS korvane-test-server)
# The graphics-pipeline hooks against the server's graphics pipeline.
korvane_e2e_suite(gfx SOURCES ${e2e}/gfx_test.cpp LABELS e2e threaded TIMEOUT 240
                  NEEDS korvane-test-server)
# The reference host's sound output (korvane-host --audio-wav).
korvane_e2e_suite(audio_host SOURCES ${e2e}/audio_host_test.cpp LABELS e2e
                  NEEDS korvane-host korvane-test-server)
# The reference host's files through the clipboard, 200 MiB each way (too long for sanitizers),
# and its recordings.
korvane_e2e_suite(host_tools SOURCES ${e2e}/host_tools_test.cpp LABELS e2e slow
                  LINK OpenSSL::Crypto NEEDS korvane-host korvane-test-server)

# The certificate decision (EXT_CERTIFICATE): its verdict crosses threads.
korvane_e2e_suite(certificate SOURCES ${e2e}/certificate_test.cpp
                  LABELS e2e x_desktop threaded NEEDS korvane-host)
# A .rdp file saved by another client: korvane and xfreerdp3 (FreeRDP's X11 client, on Xvfb)
# open it against the scripted server, which must be told the same by both.
korvane_e2e_suite(rdp_file SOURCES ${e2e}/rdp_file_test.cpp LABELS e2e x_desktop
                  NEEDS korvane-test-server)
# Through a Remote Desktop Gateway: korvane-test-gateway in front of the shadow server on Xvfb
# and of the scripted server; the gateway's messages are verdicts that cross threads.
korvane_e2e_suite(gateway SOURCES ${e2e}/gateway_test.cpp LABELS e2e x_desktop threaded
                  NEEDS korvane-test-server korvane-test-gateway korvane-host)
# The shadow server and the demo script exercise the same korvane code as the scripted server.
foreach(suite shadow demo)
  korvane_e2e_suite(${suite} SOURCES ${e2e}/${suite}_test.cpp LABELS e2e x_desktop slow
                    NEEDS korvane-host)
endforeach()
# The host-link extensions against the shadow server. The X server's own pointer image (XFixes)
# is what a cursor shape is checked against, so this suite alone links libX11 and libXfixes.
pkg_check_modules(SHADOW_EXT_X REQUIRED IMPORTED_TARGET x11 xfixes)
korvane_e2e_suite(shadow_ext SOURCES ${e2e}/shadow_ext_test.cpp
                  ${PROJECT_SOURCE_DIR}/tests/support/x_cursor.cpp
                  LABELS e2e x_desktop slow LINK PkgConfig::SHADOW_EXT_X NEEDS korvane-host)

# korvane-web: the gateway's refusals without a browser, and the page in headless Chromium
# against korvane and the shadow server on Xvfb.
find_package(Boost 1.74 COMPONENTS system)
if(Boost_FOUND AND TARGET korvane_test_devtools AND TARGET korvane-web)
  korvane_e2e_suite(web SOURCES ${e2e}/web_test.cpp LABELS e2e x_desktop slow
                    LINK korvane_test_devtools korvane_web_policy Boost::system OpenSSL::Crypto
                    NEEDS korvane-web korvane-test-server)
  if(TARGET korvane_web_tests)
    target_compile_definitions(korvane_web_tests PRIVATE
      KORVANE_WEB_PATH="$<TARGET_FILE:korvane-web>"
      KORVANE_WEB_CLUSTER="${CMAKE_SOURCE_DIR}/scripts/web-cluster.sh")
  endif()
  # The configuration parser and the policy on their own: no network, no browser.
  korvane_suite_wanted(wanted unit)
  if(wanted)
    add_executable(korvane_web_config_tests ${e2e}/../unit/web_config_test.cpp
                   ${e2e}/../unit/web_cluster_test.cpp
                   ${e2e}/../unit/web_policy_test.cpp)
    target_link_libraries(korvane_web_config_tests PRIVATE korvane_web_policy GTest::gtest_main)
    target_compile_options(korvane_web_config_tests PRIVATE ${KORVANE_WARNINGS})
    korvane_discover(korvane_web_config_tests LABELS unit)
  endif()
endif()

# Against Debian's xrdp 0.9 (tests/peers/xrdp09.sh) and xrdp 0.10: the peer tool runs it in a
# Debian chroot on 127.0.0.1 (as root; skipped without the tool). KORVANE_XRDP010_PEER in the environment overrides the path at run time.
set(xrdp_peer_default "")
if(EXISTS ${CMAKE_SOURCE_DIR}/../shared/tools/xrdp-0.10-peer)
  set(xrdp_peer_default ${CMAKE_SOURCE_DIR}/../shared/tools/xrdp-0.10-peer)
endif()
set(KORVANE_XRDP010_PEER "${xrdp_peer_default}" CACHE FILEPATH
    "xrdp-0.10-peer: starts xrdp 0.10 in a chroot (empty: the xrdp tests skip)")
korvane_e2e_suite(xrdp SOURCES ${e2e}/xrdp_test.cpp LABELS e2e xrdp TIMEOUT 400)
if(TARGET korvane_xrdp_tests)
  target_compile_definitions(korvane_xrdp_tests PRIVATE
    KORVANE_XRDP010_PEER="${KORVANE_XRDP010_PEER}"
    KORVANE_XRDP09_PEER="${PROJECT_SOURCE_DIR}/tests/peers/xrdp09.sh")
  # The web gateway's page against xrdp's sound, where the browser tests are built.
  if(Boost_FOUND AND TARGET korvane_test_devtools AND TARGET korvane-web)
    target_link_libraries(korvane_xrdp_tests PRIVATE korvane_test_devtools Boost::system)
    target_compile_definitions(korvane_xrdp_tests PRIVATE
      KORVANE_WEB_PATH="$<TARGET_FILE:korvane-web>")
    add_dependencies(korvane_xrdp_tests korvane-web)
  endif()
endif()
