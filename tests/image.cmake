# tests of image/
add_executable(image_tests
  ${CMAKE_CURRENT_LIST_DIR}/image_test_util.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_grey_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_bmp_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_jpeg_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_resample_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_load_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_png_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_gif_tiff_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_dither_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_prefetch_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_fit_test.cpp
)
target_include_directories(image_tests PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(image_tests PRIVATE libqp7730 qp7730_picture_files GTest::gtest_main ${CMAKE_DL_LIBS})
# The reference evaluation of the grey rule in the tests must not be contracted either.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/image_grey_test.cpp PROPERTIES COMPILE_OPTIONS "-ffp-contract=off")
gtest_discover_tests(image_tests TEST_PREFIX "image." NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60)
