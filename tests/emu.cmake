# tests of emu/
# In-process tests of the controller model, and socket-level tests that run the
# qp7730-emu binary through the end-to-end harness's emulator and client.
add_executable(emu_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/emu_device_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/emu_model_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/emu_panel_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/emu_socket_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/emu_usbredir_test.cpp)
target_compile_definitions(emu_tests PRIVATE QP7730_EMU_BIN="$<TARGET_FILE:qp7730-emu>")
target_link_libraries(emu_tests PRIVATE qp7730_emu_core qp7730_e2e_harness GTest::gtest_main)
add_dependencies(emu_tests qp7730-emu)
gtest_discover_tests(emu_tests TEST_PREFIX emu. DISCOVERY_TIMEOUT 60 PROPERTIES LABELS emu)
