# Debian packages made with CPack from this tree (scripts/package.sh drives it):
#   korvane       the bridge, its README, korvane(1), the changelog
#   korvane-host  the reference host and korvane-host(1); depends on korvane
# CPack rather than debhelper: the tree has no debian/ directory to maintain, the install
# rules stay the CMake ones `cmake --install` uses too, and CPack's DEB generator runs
# dpkg-shlibdeps on the installed binaries, so the dependencies are the libraries linked.

set(KORVANE_PACKAGING_DIR ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
set(KORVANE_DOCS_DIR ${CMAKE_CURRENT_SOURCE_DIR}/docs)
set(KORVANE_COMPRESSED_DIR ${CMAKE_CURRENT_BINARY_DIR}/compressed-docs)

# Debian wants manual pages and changelogs gzipped, with no time stamp in the gzip header (-n),
# so that the same sources give the same package.
set(korvane_compressed)
foreach(pair "${KORVANE_DOCS_DIR}/korvane.1|korvane.1.gz"
             "${KORVANE_DOCS_DIR}/korvane-host.1|korvane-host.1.gz"
             "${KORVANE_PACKAGING_DIR}/changelog|changelog.gz")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 from)
  list(GET pair 1 to)
  add_custom_command(OUTPUT ${KORVANE_COMPRESSED_DIR}/${to}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KORVANE_COMPRESSED_DIR}
    COMMAND gzip -9 -n -c ${from} > ${KORVANE_COMPRESSED_DIR}/${to}
    DEPENDS ${from}
    VERBATIM)
  list(APPEND korvane_compressed ${KORVANE_COMPRESSED_DIR}/${to})
endforeach()
add_custom_target(korvane_docs ALL DEPENDS ${korvane_compressed})

include(GNUInstallDirs)
# The binaries again, each in its package's component (the plain install rules next to the
# targets put them in the unnamed component, which the packages leave out).
install(TARGETS korvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT korvane)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md ${KORVANE_PACKAGING_DIR}/copyright
              ${KORVANE_COMPRESSED_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT korvane)
install(FILES ${KORVANE_COMPRESSED_DIR}/korvane.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT korvane)
set(korvane_components korvane)

# korvane-host is part of the tools, built only with KORVANE_TESTS.
if(TARGET korvane-host)
  install(TARGETS korvane-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT host)
  install(FILES ${KORVANE_PACKAGING_DIR}/copyright ${KORVANE_COMPRESSED_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/korvane-host COMPONENT host)
  install(FILES ${KORVANE_COMPRESSED_DIR}/korvane-host.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT host)
  list(APPEND korvane_components host)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the korvane maintainers")
set(CPACK_PACKAGE_CONTACT "korvane maintainers <maintainers@users.noreply.c-seed-121e113f.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${korvane_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_KORVANE_PACKAGE_NAME korvane)
set(CPACK_COMPONENT_KORVANE_DESCRIPTION
  "headless RDP client driven by a host application over stdin/stdout
korvane is a console process with no window. A host application starts it
as a child and drives it over its standard input and output with a small
framed binary protocol: it opens one RDP session with FreeRDP 3, streams
what the remote desktop draws (RGBA rectangles, or the graphics pipeline's
H.264 undecoded), forwards mouse and keyboard, relays the clipboard and
redirects one folder as a drive. Hosts get RDP without linking FreeRDP.")

set(CPACK_DEBIAN_HOST_PACKAGE_NAME korvane-host)
# korvane-host starts korvane, so it needs this very version of it.
set(CPACK_DEBIAN_HOST_PACKAGE_DEPENDS "korvane (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_HOST_DESCRIPTION
  "reference host for korvane, the headless RDP client
korvane-host starts korvane, opens one RDP session, prints every event with
running totals, sends scripted mouse and keyboard input, disconnects after a
set time and saves the desktop it assembled as a PNG picture.")

include(CPack)
