// Dithering a grey picture to the levels a display mode shows, so that a refresh in that
// mode shows the picture's tones as patterns of its levels instead of flat steps.
//
// L levels (16 or 2) are k x q for k = 0 .. L - 1, q = 255 / (L - 1) (17 or 255): the
// values a 16-level mode shows unchanged ((v >> 4) x 17) and black and white. A value that
// is a level stays as it is.
//  - ordered: the 4 x 4 Bayer matrix B; pixel (x, y) of value v becomes level
//    k = floor((32 v + (2 B[y % 4][x % 4] + 1) q) / (32 q)), i.e. v / q rounded up when
//    its fraction reaches 1 - (B + 1/2) / 16;
//  - error diffusion (Floyd-Steinberg), rows from the top, each from the left: a pixel
//    takes v + floor((e + 8) / 16), cut to 0 .. 255, where e is the sum of weighted
//    errors it received; that becomes the nearest level (halves up), and the difference
//    (an integer) goes 7 x to the right, 3 x down left, 5 x down and 1 x down right (in
//    sixteenths, summed in e); what falls off the picture is dropped.
#pragma once
#include <cstddef>
#include <cstdint>

enum class Dither { kNone, kOrdered, kDiffusion };

// Dithers the w x h picture (rows `pitch` bytes apart) in place to `levels` levels (16 or
// 2; any other count leaves it as it is, as does kNone).
void DitherToLevels(uint8_t* grey, uint32_t w, uint32_t h, size_t pitch, Dither method, uint32_t levels);
