# tests of the libusb route (link/pipe_libusb.cpp)
#
# The route runs against devices of a umockdev test bed whose usbfs nodes are answered in
# process by the emulator's controller model. The preload library of umockdev must be in
# the process from its start, so the program runs under umockdev-wrapper: one ctest entry
# for the whole program.
pkg_check_modules(UMOCKDEV IMPORTED_TARGET umockdev-1.0 gio-2.0)
find_program(UMOCKDEV_WRAPPER umockdev-wrapper)
if(NOT (LIBUSB_FOUND AND QP7730_LIBUSB))
  return()
endif()
if(NOT (UMOCKDEV_FOUND AND UMOCKDEV_WRAPPER))
  message(WARNING "umockdev not found: the tests of the libusb route are not built (scripts/setup.sh installs it)")
  return()
endif()

add_executable(usb_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/usb_libusb_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/support/usb_testbed.cpp)
target_link_libraries(usb_tests PRIVATE
  qp7730_test_support qp7730_emu_core qp7730_picture_files PkgConfig::UMOCKDEV PkgConfig::LIBUSB GTest::gtest_main)
add_test(NAME usb.libusb_route COMMAND ${UMOCKDEV_WRAPPER} $<TARGET_FILE:usb_tests>)
set_tests_properties(usb.libusb_route PROPERTIES LABELS usb TIMEOUT 120)
if(QP7730_SANITIZE)
  # The wrapper preloads umockdev's library ahead of the sanitizer's runtime, which the
  # runtime refuses by default. Its interceptors still work behind the preload, so only
  # the order check is turned off; leak detection and the rest stay as the preset sets them.
  set_tests_properties(usb.libusb_route PROPERTIES
    ENVIRONMENT_MODIFICATION "ASAN_OPTIONS=string_append::verify_asan_link_order=0")
endif()
