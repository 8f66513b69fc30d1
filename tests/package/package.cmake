# The minimal host the README's "Embedding korvane" section shows, run exactly as shown there
# against the scripted test server.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
if(TARGET korvane-test-server)
  add_test(NAME Readme.EmbeddingHost
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/embed_snippet_test.py
            ${PROJECT_SOURCE_DIR}/README.md $<TARGET_FILE:korvane>
            $<TARGET_FILE:korvane-test-server>)
  set_tests_properties(Readme.EmbeddingHost PROPERTIES TIMEOUT 120)
endif()
