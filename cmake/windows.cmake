# The Windows build: korvane.exe linked statically (FreeRDP, WinPR, OpenSSL, OpenH264, zlib and
# the compiler's runtime), so it needs only the system's DLLs; the corpus replay for the tests
# under Wine; and korvane-<version>-win64.zip with the exe, the README and the licence texts of
# everything linked into it.
target_link_options(korvane PRIVATE -static -static-libgcc -static-libstdc++
                    # FreeRDP's static libraries are link-time optimised: their own code's
                    # warnings would come out again at every link of korvane.exe.
                    -Wno-stringop-overread -Wno-stringop-overflow)
# FreeRDP's and WinPR's static libraries leave these system libraries to the final link.
target_link_libraries(korvane PRIVATE ntdll bcrypt secur32 crypt32 ws2_32 iphlpapi dbghelp
                      shlwapi userenv rpcrt4 ole32 winmm)

# The host-bytes parsers, fed the saved fuzzing corpus under Wine.
add_executable(korvane_corpus_replay tests/fuzz/replay_main.cpp tests/fuzz/wire_fuzz.cpp)
target_link_libraries(korvane_corpus_replay PRIVATE korvane_wire)
target_link_options(korvane_corpus_replay PRIVATE -static)

# A Windows host for the tests: korvane.exe behind pipes made by CreatePipe.
add_executable(windows_host tests/wine/windows_host.cpp)
target_link_libraries(windows_host PRIVATE korvane_wire)
target_link_options(windows_host PRIVATE -static)

set(korvane_zip_name korvane-${PROJECT_VERSION}-win64)
set(korvane_zip_root ${CMAKE_CURRENT_BINARY_DIR}/zip/${korvane_zip_name})
set(korvane_licences
  "${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright|korvane.txt"
  "${KORVANE_WINDOWS_PREFIX}/licenses/freerdp/LICENSE|FreeRDP-and-WinPR.txt"
  "${KORVANE_WINDOWS_PREFIX}/licenses/openssl/LICENSE.txt|OpenSSL.txt"
  "${KORVANE_WINDOWS_PREFIX}/licenses/openh264/LICENSE|OpenH264.txt"
  "${KORVANE_WINDOWS_PREFIX}/licenses/zlib/LICENSE|zlib.txt"
  "/usr/share/doc/mingw-w64-common/copyright|mingw-w64-runtime.txt"
  "/usr/share/doc/gcc-mingw-w64-base/copyright|gcc-runtime.txt")
set(korvane_zip ${CMAKE_CURRENT_BINARY_DIR}/${korvane_zip_name}.zip)
set(korvane_zip_commands
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${CMAKE_CURRENT_BINARY_DIR}/zip
  COMMAND ${CMAKE_COMMAND} -E make_directory ${korvane_zip_root}/licences
  COMMAND ${CMAKE_OBJCOPY} --strip-debug $<TARGET_FILE:korvane> ${korvane_zip_root}/korvane.exe
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/README.md ${korvane_zip_root}/)
set(korvane_zip_inputs korvane ${CMAKE_CURRENT_SOURCE_DIR}/README.md)
foreach(pair ${korvane_licences})
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 from)
  list(GET pair 1 to)
  list(APPEND korvane_zip_commands COMMAND ${CMAKE_COMMAND} -E copy ${from} ${korvane_zip_root}/licences/${to})
  list(APPEND korvane_zip_inputs ${from})
endforeach()
# Made again only when the exe, the README or a licence text changed.
add_custom_command(OUTPUT ${korvane_zip}
  ${korvane_zip_commands}
  COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_CURRENT_BINARY_DIR}/zip
          ${CMAKE_COMMAND} -E tar cf ${korvane_zip} --format=zip ${korvane_zip_name}
  DEPENDS ${korvane_zip_inputs}
  VERBATIM)
add_custom_target(korvane_zip ALL DEPENDS ${korvane_zip})
