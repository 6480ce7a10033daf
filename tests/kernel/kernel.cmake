# tests of kernel/: the tool through a real Linux kernel (QEMU, TCG) - usb-storage, SCSI
# and usbfs - with qp7730-emu on QEMU's virtual USB bus.
#
# kernel.boot builds the initramfs from this machine's kernel, busybox and this build's
# programs, boots it once and runs every case of suite.py's table; each case is then its
# own ctest test (kernel.<case>) that reports what the run found. Without QEMU, the kernel
# or busybox, kernel.boot says so in one line and every case is skipped.
add_executable(kernel_peek ${CMAKE_CURRENT_SOURCE_DIR}/kernel/peek.cpp)
target_link_libraries(kernel_peek PRIVATE libqp7730)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(QP7730_KERNEL_SUITE ${CMAKE_CURRENT_SOURCE_DIR}/kernel/suite.py)
set(QP7730_KERNEL_WORK ${CMAKE_CURRENT_BINARY_DIR}/kernel)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QP7730_KERNEL_SUITE})
execute_process(COMMAND ${Python3_EXECUTABLE} ${QP7730_KERNEL_SUITE} list
                OUTPUT_VARIABLE QP7730_KERNEL_CASES OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

add_test(NAME kernel.boot COMMAND ${Python3_EXECUTABLE} ${QP7730_KERNEL_SUITE} run
         --source ${CMAKE_SOURCE_DIR} --work ${QP7730_KERNEL_WORK}
         --tool $<TARGET_FILE:qp7730> --emu $<TARGET_FILE:qp7730-emu> --peek $<TARGET_FILE:kernel_peek>)
set_tests_properties(kernel.boot PROPERTIES LABELS kernel FIXTURES_SETUP kernel SKIP_RETURN_CODE 77
                     TIMEOUT 900 RESOURCE_LOCK kernel_guest)
foreach(case IN LISTS QP7730_KERNEL_CASES)
  add_test(NAME kernel.${case} COMMAND ${Python3_EXECUTABLE} ${QP7730_KERNEL_SUITE} report
           --work ${QP7730_KERNEL_WORK} ${case})
  set_tests_properties(kernel.${case} PROPERTIES LABELS kernel FIXTURES_REQUIRED kernel SKIP_RETURN_CODE 77
                       RESOURCE_LOCK kernel_guest)
endforeach()
