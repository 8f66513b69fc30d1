# The web gateway's benchmarks (see the comment at the top of each file):
# - web_bench: korvane-web in headless Chromium against the shadow server on a 1080p Xvfb
#   desktop, raw rectangles against H.264, directly or through HAProxy;
# - cluster_bench: N sessions through HAProxy to the nodes of scripts/web-cluster.sh.
if(TARGET korvane_test_devtools AND TARGET korvane-web)
  foreach(bench web_bench cluster_bench)
    add_executable(${bench} ${CMAKE_CURRENT_LIST_DIR}/${bench}.cpp)
    target_link_libraries(${bench} PRIVATE korvane_test_devtools korvane_host)
    target_compile_options(${bench} PRIVATE ${KORVANE_WARNINGS})
    korvane_program_paths(${bench})
    target_compile_definitions(${bench} PRIVATE KORVANE_WEB_PATH="$<TARGET_FILE:korvane-web>"
      KORVANE_WEB_CLUSTER="${CMAKE_SOURCE_DIR}/scripts/web-cluster.sh")
    add_dependencies(${bench} korvane korvane-web)
  endforeach()
endif()
