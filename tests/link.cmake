# Unit tests of the library against an in-process fake controller and scripted pipes.
add_library(qp7730_test_support STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/support/fake_controller.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/support/scripted_pipe.cpp
)
target_link_libraries(qp7730_test_support PUBLIC libqp7730 GTest::gtest)
target_include_directories(qp7730_test_support PUBLIC ${CMAKE_SOURCE_DIR})

add_executable(unit_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/link_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/commands_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/area_display_test.cpp
)
if(NOT WIN32)
  # These tests need POSIX: the TCP peer speaks POSIX sockets, the upgrade tests watch the
  # library's file opens through the GNU linker's --wrap and switch users, and the stop
  # hold is tested with signals. On Windows the first two are tested end to end (qp7730.exe
  # under Wine against qp7730-emu over TCP).
  target_sources(unit_tests PRIVATE
    ${CMAKE_CURRENT_SOURCE_DIR}/drive_search_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/flash_upgrade_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/pipe_tcp_test.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/platform_test.cpp)
  target_link_options(unit_tests PRIVATE -Wl,--wrap=fopen -Wl,--wrap=fopen64)
endif()
target_link_libraries(unit_tests PRIVATE qp7730_test_support GTest::gtest_main)
# In-process start-ups share one scripted device: no run lock between test processes.
gtest_discover_tests(unit_tests DISCOVERY_TIMEOUT 60 PROPERTIES ENVIRONMENT QP7730_TEST_NO_RUN_LOCK=1)
