add_executable(bench_protocol ${CMAKE_CURRENT_SOURCE_DIR}/bench_protocol.cpp)
target_link_libraries(bench_protocol PRIVATE libqp7730)
target_compile_definitions(bench_protocol PRIVATE QP7730_EMU_BIN="$<TARGET_FILE:qp7730-emu>")
add_dependencies(bench_protocol qp7730-emu)
