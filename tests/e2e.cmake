# tests of e2e/
#
# qp7730_e2e_harness runs the real qp7730 against a real qp7730-emu (see e2e/harness.h).
# The binaries' paths are compiled in; a generator expression adds no build dependency,
# so test executables call qp7730_add_e2e_test, which adds the dependencies on both
# programs.
add_library(qp7730_e2e_harness STATIC ${CMAKE_CURRENT_SOURCE_DIR}/e2e/harness.cpp)
target_include_directories(qp7730_e2e_harness PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(qp7730_e2e_harness PRIVATE
  QP7730_EMU_BIN="$<TARGET_FILE:qp7730-emu>"
  QP7730_BIN="$<TARGET_FILE:qp7730>")
target_link_libraries(qp7730_e2e_harness PUBLIC GTest::gtest PNG::PNG)
add_dependencies(qp7730_e2e_harness qp7730-emu)

# qp7730_add_e2e_test(NAME source...): a GoogleTest executable linked with the harness,
# built after qp7730 and qp7730-emu, its tests registered with ctest twice: over the
# AF_UNIX socket (e2e.*) and over loopback TCP (e2e-tcp.*, QP7730_E2E_TRANSPORT=tcp).
# The fault matrix runs over the socket only: it is long, and it tests the tool's
# upgrade, not the transport.
function(qp7730_add_e2e_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE qp7730_e2e_harness GTest::gtest_main)
  add_dependencies(${name} qp7730 qp7730-emu)
  gtest_discover_tests(${name} TEST_PREFIX e2e. DISCOVERY_TIMEOUT 60 PROPERTIES LABELS e2e)
  gtest_discover_tests(${name} TEST_PREFIX e2e-tcp. TEST_FILTER -UpgradeFaultMatrix.* DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS e2e ENVIRONMENT QP7730_E2E_TRANSPORT=tcp)
endfunction()

# The harness's own tests.
qp7730_add_e2e_test(e2e_harness_tests ${CMAKE_CURRENT_SOURCE_DIR}/emu_harness_test.cpp)

qp7730_add_e2e_test(e2e_cli_tests ${CMAKE_CURRENT_SOURCE_DIR}/e2e/cli_test.cpp)
qp7730_add_e2e_test(e2e_upgrade_tests ${CMAKE_CURRENT_SOURCE_DIR}/e2e/upgrade_test.cpp)
qp7730_add_e2e_test(e2e_image_tests ${CMAKE_CURRENT_SOURCE_DIR}/e2e/image_test.cpp)
target_link_libraries(e2e_image_tests PRIVATE qp7730_picture_files)
qp7730_add_e2e_test(e2e_lock_tests ${CMAKE_CURRENT_SOURCE_DIR}/e2e/lock_test.cpp)
target_link_libraries(e2e_lock_tests PRIVATE libqp7730)
