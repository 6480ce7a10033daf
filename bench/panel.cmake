# bench_panel: a dashboard's refreshes per second against qp7730-emu with its panel PNG
# off, written on the command path and written beside it. Run by scripts/bench.sh.
if(TARGET qp7730_shared)
  add_executable(bench_panel ${CMAKE_CURRENT_LIST_DIR}/panel_bench.cpp)
  target_link_libraries(bench_panel PRIVATE qp7730_shared PNG::PNG)
  target_include_directories(bench_panel PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(bench_panel PRIVATE QP7730_EMU_BIN="$<TARGET_FILE:qp7730-emu>")
  add_dependencies(bench_panel qp7730-emu)
endif()
