# tests of the Windows program, run under Wine
#
# The unit tests of link.cmake run under Wine too, through CMAKE_CROSSCOMPILING_EMULATOR
# (cmake/wine-run.sh).

add_executable(winusb_tests ${CMAKE_CURRENT_SOURCE_DIR}/winusb_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/drive_windows_test.cpp)
target_link_libraries(winusb_tests PRIVATE libqp7730 GTest::gtest_main)
gtest_discover_tests(winusb_tests TEST_PREFIX winusb. NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60)

# The end-to-end suite with qp7730.exe in place of qp7730, against qp7730-emu over
# loopback TCP. The harness and the emulator are Linux programs: they come from the Linux
# build named by QP7730_E2E_HOST_BUILD (the windows preset names build/default), which
# must have been built first. The upgrade fault matrix stays with the Linux runs: it is
# long and tests portable code.
set(QP7730_E2E_HOST_BUILD "" CACHE PATH "Linux build directory whose end-to-end tests also run qp7730.exe")
if(QP7730_E2E_HOST_BUILD)
  set(wine_tool "${PROJECT_SOURCE_DIR}/cmake/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix $<TARGET_FILE:qp7730>")
  # qp7730_add_wine_e2e(NAME BINARY GTEST_FILTER)
  function(qp7730_add_wine_e2e name binary filter)
    set(path ${QP7730_E2E_HOST_BUILD}/tests/${binary})
    add_test(NAME wine.e2e.${name}
             COMMAND sh -c "test -x \"$0\" || { echo \"$0 is missing: build the Linux preset first\"; exit 77; }; exec \"$0\" \"$@\""
                     ${path} --gtest_filter=${filter})
    set_tests_properties(wine.e2e.${name} PROPERTIES
      ENVIRONMENT "QP7730_E2E_TOOL=${wine_tool};QP7730_E2E_TRANSPORT=tcp" SKIP_RETURN_CODE 77 LABELS e2e)
  endfunction()
  qp7730_add_wine_e2e(cli e2e_cli_tests "*")
  qp7730_add_wine_e2e(image e2e_image_tests "*")
  qp7730_add_wine_e2e(upgrade e2e_upgrade_tests "-UpgradeFaultMatrix.*")
endif()
