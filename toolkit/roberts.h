// Roberts cross differences, elementwise arithmetic on 32-bit pictures and the
// per-block counting of long runs of above-threshold samples.
#pragma once

#include <cstdint>

#include "tools/definitions.h"

namespace lumaqc {

// Roberts pair at every position: for x, y >= 1
//   destX[y][x] = src[y-1][x-1] - src[y][x]  (upper left minus lower right)
//   destY[y][x] = src[y-1][x] - src[y][x-1]  (upper right minus lower left);
// row 0 and column 0 are 0. Both destinations must have the size of src
// (checked).
void roberts(const Image& src, Image32& destX, Image32& destY);

// Roberts pair sampled on a coarse grid: cell (i, j), i, j >= 1, holds the
// pair at source row sy * j, column sx * i; row 0 and column 0 are 0. The grid
// size is destX's; destY must be at least as large and the source must cover
// sx * (destX.w - 1) columns and sy * (destX.h - 1) rows (not checked).
void robertsSkip(const Image& src, Image32& destX, Image32& destY, int sx, int sy);

// dest[i] = a[i]^2 + b[i]^2 for the a.w * a.h samples of a, wrapping in 32
// bits. b and dest must hold at least as many samples (not checked).
void addSquares32(const Image32& a, const Image32& b, Image32& dest);

// dest[i] = a[i] * b[i] (low 32 bits) for the a.w * a.h samples of a.
void multiply(const Image32& a, const Image32& b, Image32& dest);

// Sum of all samples in 64-bit arithmetic; 0 for an empty picture.
int64_t sumPixels32(const Image32& img);

// Counts, per bw x bh block, the horizontal runs of L consecutive samples
// strictly greater than t within one row of the block; a run is counted once,
// when it reaches length L, and never continues into the next block. The grid
// is dest's size; counts are ADDED to dest. Always returns 0.
int countSeqsH(const Image32& src, Image32& dest, int bw, int bh, double t, int L);

// As countSeqsH for vertical runs within one column of a block. counters
// holds one run counter per source column (at least dest.w * bw samples); it
// must be zero on entry and is zero again on return. Always returns 0.
int countSeqsV(const Image32& src, Image32& dest, Image32& counters, int bw, int bh, double t,
               int L);

}  // namespace lumaqc
