// Conversions between picture types, elementwise operations, console dumps
// for debugging and two prototype run counters. n below is a picture's
// w * h; the caller provides every destination at the right size.
#pragma once

#include <cstdint>
#include <cstdio>

#include "tools/definitions.h"

namespace lumaqc {

// dest[i] = src[i], widened without sign. src and dest must hold the same
// number of samples (checked); their shapes may differ.
void convU8toI32(const Image& src, Image32& dest);

// dest[i] = the low 8 bits of src[i] (256 -> 0, 300 -> 44, -1 -> 255; no
// clamping). Same sample count checked as for convU8toI32.
void convI32toU8(const Image32& src, Image& dest);

// 1 if a and b have the same size and the same samples, else 0.
int32_t areEqual(const Image& a, const Image& b);

// dest[i] = a[i]^2 + b[i]^2 for the n samples of a; b and dest must hold at
// least n samples.
void addSquares(const Image& a, const Image& b, Image32& dest);

// dest[i] = a[i] / b[i] in double precision for the n samples of a (a zero
// divisor gives an infinity, or NaN for 0 / 0); b and dest must hold at
// least n samples.
void divide(const Image32& a, const Image32& b, ImageDouble& dest);

// dest[i] = sqrt(src[i]) (NaN for a negative sample). src and dest must hold
// the same number of samples (checked).
void imageSqrt(const ImageDouble& src, ImageDouble& dest);

// Print the first (x1 - x0 + 1) * (y1 - y0 + 1) samples of the array to
// `out` in y1 - y0 + 1 lines of x1 - x0 + 1 samples, regardless of the
// picture's width; nothing if y0 > y1. The array must hold that many
// samples. printRange prints "%03i " per sample, printRange32 "%i  ".
void printRange(const Image& img, int32_t x0, int32_t x1, int32_t y0, int32_t y1,
                std::FILE* out = stdout);
void printRange32(const Image32& img, int32_t x0, int32_t x1, int32_t y0, int32_t y1,
                  std::FILE* out = stdout);

// Prototype of countSeqsH over the whole array: counts runs of samples above
// t that are at least minLength long. A run starts at a sample above t and
// extends while its next position is below the picture's width, ending after
// the first sample at or below t; so only runs starting in row 0 can be longer
// than 1. The unnamed arguments are not read.
int32_t tempCountSeqsH(const Image32& src, Image32& /*dest*/, int32_t t, int32_t /*bw*/,
                       int32_t /*bh*/, int32_t minLength);

// Prototype: the number of maximal runs of consecutive samples above t along
// the rows of src (a run ends at the end of its row). 0 for an empty picture.
// The second argument is not read.
int32_t tempCountSeqsH2(const Image32& src, Image32& /*dest*/, int32_t t);

}  // namespace lumaqc
