// Whole-picture and line sums, integral pictures (summed-area tables) and
// block sums read from an integral picture with four look-ups per block.
// Sums are 32-bit and wrap modulo 2^32 if they overflow. Nothing here checks
// sizes: destinations and the block grid are the caller's duty.
#pragma once

#include <cstdint>

#include "tools/definitions.h"

namespace lumaqc {

// Sum of all w x h samples in storage order; 0 for an empty picture.
int32_t sumPixels(const Image& img);

// Sum of the a * b consecutive samples starting at p, in order; 0 when
// a * b <= 0.
int32_t sumH(const uint8_t* p, int32_t a, int32_t b);

// Sum of m rows of n samples starting at p, added column by column (sample
// i + j * n for every column i, row j within it); 0 when n <= 0 or m <= 0.
// Same value as sumH(p, n, m), different traversal.
int32_t sumV(const uint8_t* p, int32_t n, int32_t m);

// integ(x, y) = sum of src(x', y') over x' <= x and y' <= y. integ must have
// the size of src.
void integrate(const Image& src, Image32& integ);

// Copy the w x h samples of src, row by row, into dest (at least w x h
// samples), walking them as integrate does.
void onlyCopy(const Image& src, Image& dest);

// Sums of the bw x bh blocks of the grid given by out (out.w blocks across,
// out.h blocks down, from the top-left corner), read from the integral
// picture integ. The grid must fit into integ; blocks of zero width or height
// sum to 0.
void blockSumsInteg(const Image32& integ, Image32& out, int32_t bw, int32_t bh);

// As blockSumsInteg, with the integral values held in an 8-bit picture: each
// corner is read as an unsigned 8-bit value and the differences are signed,
// so a sum can be negative.
void blockSumsInteg2(const Image& integ, Image32& out, int32_t bw, int32_t bh);

}  // namespace lumaqc
