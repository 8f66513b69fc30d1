# The minimal host the README's "Embedding korvane" section shows, run exactly as shown there
# against the scripted test server.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
if(TARGET korvane-test-server)
  add_test(NAME Readme.EmbeddingHost
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/embed_snippet_test.py
            ${PROJECT_SOURCE_DIR}/README.md $<TARGET_FILE:korvane>
            $<TARGET_FILE:korvane-test-server>)
  set_tests_properties(Readme.EmbeddingHost PROPERTIES TIMEOUT 120 LABELS e2e)
endif()

# The README's protocol tables, the manual page's message numbers and the web page's constants
# against the numbers of src/host_link/registry.hpp.
add_test(NAME Readme.ProtocolTables
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/readme_tables_test.py ${PROJECT_SOURCE_DIR})
set_tests_properties(Readme.ProtocolTables PROPERTIES TIMEOUT 30 LABELS unit)
# The test above fails on each kind of drift: run on spoilt copies, it must fail every time.
add_test(NAME Readme.ProtocolTablesCatchDrift
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/readme_tables_test.py --catches-drift
          ${PROJECT_SOURCE_DIR})
set_tests_properties(Readme.ProtocolTablesCatchDrift PROPERTIES TIMEOUT 60 LABELS unit)

# Every C++ file in the one style of .clang-format (scripts/format.sh formats them).
add_test(NAME Format.Tree COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/format.sh --check)
set_tests_properties(Format.Tree PROPERTIES TIMEOUT 120 LABELS unit)

# The Kubernetes files of deploy/k8s: their YAML, their field names against the API models of
# python3-kubernetes, and the names they refer to each other by. Skipped without that module.
add_test(NAME Deploy.KubernetesFiles
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/check-k8s.py ${PROJECT_SOURCE_DIR}/deploy/k8s)
set_tests_properties(Deploy.KubernetesFiles PROPERTIES TIMEOUT 60 LABELS unit SKIP_RETURN_CODE 77)
