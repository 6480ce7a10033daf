# tests of the C interface (include/qp7730/qp7730.h) against a real qp7730-emu, over its
# socket (api.*) and over loopback TCP (api-tcp.*: the tcp:HOST:PORT route). The Python
# package's tests are in python/tests (scripts/api_test.sh).
add_executable(api_tests ${CMAKE_CURRENT_LIST_DIR}/api_test.cpp)
target_link_libraries(api_tests PRIVATE qp7730_e2e_harness qp7730_test_support qp7730_emu_core GTest::gtest_main)
add_dependencies(api_tests qp7730 qp7730-emu)
gtest_discover_tests(api_tests TEST_PREFIX api. DISCOVERY_TIMEOUT 60 PROPERTIES LABELS api)
gtest_discover_tests(api_tests TEST_PREFIX api-tcp. DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS api ENVIRONMENT QP7730_E2E_TRANSPORT=tcp)
