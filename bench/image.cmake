# bench_image: decode + fit + grey of generated pictures against djpeg, ImageMagick and
# Pillow. Built with the project, run by hand: build/default/bench/bench_image [folder]
add_executable(bench_image ${CMAKE_CURRENT_LIST_DIR}/image_bench.cpp)
target_link_libraries(bench_image PRIVATE libqp7730)
