# web_bench: korvane-web in headless Chromium against the shadow server on a 1080p Xvfb desktop,
# raw rectangles against H.264 (see the comment at the top of web_bench.cpp).
if(TARGET korvane_test_devtools AND TARGET korvane-web)
  add_executable(web_bench ${CMAKE_CURRENT_LIST_DIR}/web_bench.cpp)
  target_link_libraries(web_bench PRIVATE korvane_test_devtools korvane_host)
  target_compile_options(web_bench PRIVATE ${KORVANE_WARNINGS})
  korvane_program_paths(web_bench)
  target_compile_definitions(web_bench PRIVATE KORVANE_WEB_PATH="$<TARGET_FILE:korvane-web>"
    KORVANE_WEB_CLUSTER="${CMAKE_SOURCE_DIR}/scripts/web-cluster.sh")
  add_dependencies(web_bench korvane korvane-web)
endif()

# cluster_bench: N sessions through HAProxy to the nodes of scripts/web-cluster.sh (see the
# comment at the top of cluster_bench.cpp).
if(TARGET korvane-web AND TARGET korvane_test_devtools)
  add_executable(cluster_bench ${CMAKE_CURRENT_LIST_DIR}/cluster_bench.cpp)
  target_link_libraries(cluster_bench PRIVATE korvane_test_devtools korvane_host)
  target_compile_options(cluster_bench PRIVATE ${KORVANE_WARNINGS})
  korvane_program_paths(cluster_bench)
  target_compile_definitions(cluster_bench PRIVATE KORVANE_WEB_PATH="$<TARGET_FILE:korvane-web>"
    KORVANE_WEB_CLUSTER="${CMAKE_SOURCE_DIR}/scripts/web-cluster.sh")
  add_dependencies(cluster_bench korvane korvane-web)
endif()
