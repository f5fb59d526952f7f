// Sobel responses of an 8-bit picture and absolute first differences.
// Destinations must have the size of src (checked). Pictures narrower or
// lower than 3 samples have no interior: every destination sample is 0.
#pragma once

#include "tools/definitions.h"

namespace lumaqc {

// 3 x 3 Sobel responses at every interior pixel: destX = right column minus
// left column, destY = lower row minus upper row (weights 1, 2, 1; each in
// -1020..1020). Border samples are 0. Returns the square root of the sum of
// destX^2 + destY^2 over the interior, 0.0 without interior.
double sobel(const Image& src, Image32& destX, Image32& destY);

// As sobel, but the responses are stored in 8-bit pictures as the low 8 bits
// of their two's-complement form (-1 -> 255, 256 -> 0). Returns the sum over
// the interior of floor(sqrt(destX^2 + destY^2)) of the stored values; a sum
// beyond the int range wraps modulo 2^32.
int sobel2(const Image& src, Image& destX, Image& destY);

// |gradient|: destX[y][x] = |src[y][x] - src[y][x-1]|, destY[y][x] =
// |src[y][x] - src[y-1][x]| for x, y >= 1; row 0 and column 0 are 0.
void absGradient(const Image& src, Image32& destX, Image32& destY);

}  // namespace lumaqc
