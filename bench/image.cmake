# bench_image: decode + fit + grey of generated pictures against djpeg, ImageMagick and
# Pillow, and hostile files against the time and memory bounds. Built with the project, run by hand: build/default/bench/bench_image [folder]
add_executable(bench_image ${CMAKE_CURRENT_LIST_DIR}/image_bench.cpp)
# The hostile inputs are made with the test pictures' writers.
target_link_libraries(bench_image PRIVATE libqp7730 qp7730_picture_files)
