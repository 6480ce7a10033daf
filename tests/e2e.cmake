# tests of e2e/
#
# qp7730_e2e_harness runs the real qp7730 against a real qp7730-emu (see e2e/harness.h),
# over the tool's emulator route or over the drive route, where qp7730_sg_preload stands
# in for the kernel's SCSI disk and carries each SG_IO request to the emulator.
# The binaries' paths are compiled in; a generator expression adds no build dependency,
# so test executables call qp7730_add_e2e_test, which adds the dependencies on the
# programs.
add_library(qp7730_sg_preload MODULE ${CMAKE_CURRENT_SOURCE_DIR}/sg_preload/sg_preload.c)
target_link_libraries(qp7730_sg_preload PRIVATE ${CMAKE_DL_LIBS})

add_library(qp7730_e2e_harness STATIC ${CMAKE_CURRENT_SOURCE_DIR}/e2e/harness.cpp)
target_include_directories(qp7730_e2e_harness PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(qp7730_e2e_harness PRIVATE
  QP7730_EMU_BIN="$<TARGET_FILE:qp7730-emu>"
  QP7730_BIN="$<TARGET_FILE:qp7730>"
  QP7730_SG_PRELOAD="$<TARGET_FILE:qp7730_sg_preload>")
target_link_libraries(qp7730_e2e_harness PUBLIC GTest::gtest PNG::PNG ${CMAKE_DL_LIBS})
add_dependencies(qp7730_e2e_harness qp7730-emu)

# qp7730_add_e2e_test(NAME [BOTH_ROUTES] source...): a GoogleTest executable linked with
# the harness, built after the programs, its tests registered with ctest as e2e.* (the
# AF_UNIX socket) and e2e-tcp.* (loopback TCP, QP7730_E2E_TRANSPORT=tcp); with
# BOTH_ROUTES registered a third time as e2e_sg.*, where RunTool takes the drive route.
# The fault matrix runs over the socket and the drive route only: it is long, and it
# tests the tool's upgrade, not the transport. The sanitizer build also leaves it out of
# the drive-route run: the code it would add under the sanitizers (the drive transport,
# the stand-in) is covered by e2e_drive_route_tests.
if(QP7730_SANITIZE)
  set(QP7730_E2E_SG_FILTER "-UpgradeFaultMatrix.*")
else()
  set(QP7730_E2E_SG_FILTER "*")
endif()
function(qp7730_add_e2e_test name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "BOTH_ROUTES;NO_TCP" "" "")
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE qp7730_e2e_harness GTest::gtest_main)
  add_dependencies(${name} qp7730 qp7730-emu qp7730_sg_preload)
  gtest_discover_tests(${name} TEST_PREFIX e2e. DISCOVERY_TIMEOUT 60 PROPERTIES LABELS e2e)
  if(NOT ARG_NO_TCP)
    gtest_discover_tests(${name} TEST_PREFIX e2e-tcp. TEST_FILTER -UpgradeFaultMatrix.* DISCOVERY_TIMEOUT 60
      PROPERTIES LABELS e2e ENVIRONMENT QP7730_E2E_TRANSPORT=tcp)
  endif()
  if(ARG_BOTH_ROUTES)
    gtest_discover_tests(${name} TEST_PREFIX e2e_sg. TEST_FILTER ${QP7730_E2E_SG_FILTER} DISCOVERY_TIMEOUT 60
      PROPERTIES LABELS e2e_sg ENVIRONMENT QP7730_E2E_ROUTE=sg)
  endif()
endfunction()

# The harness's own tests.
qp7730_add_e2e_test(e2e_harness_tests BOTH_ROUTES ${CMAKE_CURRENT_SOURCE_DIR}/emu_harness_test.cpp)

qp7730_add_e2e_test(e2e_cli_tests BOTH_ROUTES ${CMAKE_CURRENT_SOURCE_DIR}/e2e/cli_test.cpp)
qp7730_add_e2e_test(e2e_upgrade_tests BOTH_ROUTES ${CMAKE_CURRENT_SOURCE_DIR}/e2e/upgrade_test.cpp)
qp7730_add_e2e_test(e2e_image_tests BOTH_ROUTES ${CMAKE_CURRENT_SOURCE_DIR}/e2e/image_test.cpp)
target_link_libraries(e2e_image_tests PRIVATE qp7730_picture_files)
qp7730_add_e2e_test(e2e_lock_tests ${CMAKE_CURRENT_SOURCE_DIR}/e2e/lock_test.cpp)
target_link_libraries(e2e_lock_tests PRIVATE libqp7730)

# Drive-route behaviour of the tool and of the SG_IO stand-in; these choose the route
# themselves (the stand-in speaks the AF_UNIX form only).
qp7730_add_e2e_test(e2e_drive_route_tests NO_TCP ${CMAKE_CURRENT_SOURCE_DIR}/e2e/drive_route_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/e2e/sg_preload_test.cpp)

# The soak under faults: a thousand runs of the tool against emulators injecting faults
# (QP7730_SOAK_RUNS for a longer run). Label soak; the default test preset leaves it to
# the sanitizer build.
add_executable(e2e_soak_tests ${CMAKE_CURRENT_SOURCE_DIR}/e2e/soak_test.cpp)
target_link_libraries(e2e_soak_tests PRIVATE qp7730_e2e_harness GTest::gtest_main)
add_dependencies(e2e_soak_tests qp7730 qp7730-emu)
add_test(NAME e2e.soak COMMAND e2e_soak_tests)
set_tests_properties(e2e.soak PROPERTIES LABELS soak TIMEOUT 400)
