// Block-wise smoothing with a small kernel, and the sample standard deviation
// of each block's interior (the part the smoothing filled).
//
// Both operations work on blocks of bw x bh samples and share one convention:
// with a kernel of width kw, a border of half = kw / 2 samples on every side of
// every block is left out. Kernels must be square with an odd side of at least
// 3, so that every window stays inside its block.
#pragma once

#include <cstdint>

#include "tools/definitions.h"

namespace lumaqc {

// Smooths n blocks lying side by side along the top of src (block b covers
// columns b*bw .. b*bw+bw-1 and rows 0 .. bh-1). Each interior sample of a
// block receives the weighted sum of the kernel-sized window centred on it;
// the kernel is not mirrored. Border samples of dest are not written.
// Returns 0, or prints a one-line message and returns -1 when dest and src
// differ in size, the kernel is not square with an odd side >= 3, or src is
// lower than the kernel. The blocks must fit into src (checked).
int32_t filter(const Image& src, ImageDouble& dest, const ImageDouble& kernel, uint32_t n,
               uint32_t bw, uint32_t bh);

// Sample standard deviation (divisor m - 1) of the interior of every bw x bh
// block of src, the interior being the block without a border of
// kernel.w / 2 samples; the kernel serves only for its size. The grid has the
// size of sums (sums.w blocks across, sums.h down) from the top-left corner.
// Interior sums and sums of squares are ADDED to sums and squares (pass
// zero-filled pictures); deviations are written to devs. A kernel that is not
// square with an odd side >= 3 prints a message (no line break) and nothing
// is computed. The three results must have one size and the grid must fit
// into src (checked).
void calculateStdDevsDouble_ommitZeros(const ImageDouble& src, ImageDouble& sums,
                                       ImageDouble& squares, ImageDouble& devs,
                                       const ImageDouble& kernel, int32_t bw, int32_t bh);

}  // namespace lumaqc
