# bench_api: 100 full-frame shows through the C library beside 100 done with the tool.
# bench_dashboard: a dashboard's changing clock, sent whole or as the changed area.
# Built with the project, run by scripts/bench.sh.
if(TARGET qp7730_shared)
  add_executable(bench_api ${CMAKE_CURRENT_LIST_DIR}/api_bench.cpp)
  target_link_libraries(bench_api PRIVATE qp7730_shared)
  target_include_directories(bench_api PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(bench_api PRIVATE QP7730_EMU_BIN="$<TARGET_FILE:qp7730-emu>"
    QP7730_BIN="$<TARGET_FILE:qp7730>" QP7730_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  add_dependencies(bench_api qp7730 qp7730-emu)
  add_executable(bench_dashboard ${CMAKE_CURRENT_LIST_DIR}/dashboard_bench.cpp)
  target_link_libraries(bench_dashboard PRIVATE qp7730_shared)
  target_include_directories(bench_dashboard PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(bench_dashboard PRIVATE QP7730_EMU_BIN="$<TARGET_FILE:qp7730-emu>"
    QP7730_BIN="$<TARGET_FILE:qp7730>")
  add_dependencies(bench_dashboard qp7730 qp7730-emu)
endif()
