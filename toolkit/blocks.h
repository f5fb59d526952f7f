// Block sums and sample-wise comparison and division.
//
// None of these operations creates, releases, resizes or checks a picture:
// the caller supplies destinations of the right size.
#pragma once

#include <cstdint>

#include "tools/definitions.h"

namespace lumaqc {

// Adds the sum of each bw x bh source block to the destination sample of that
// block. The destination decides the grid: dst.w blocks across, dst.h down,
// tiling the source from its top-left corner; source columns and rows beyond
// the last whole block are not read. Accumulates, so pass a zeroed destination
// for plain sums.
void blockSums(const Image& src, Image32& dst, int32_t bw, int32_t bh);

// Sets each destination sample (x, y) to 1 when source sample i = y * src.w + x
// equals source sample i + offset, else 0. An offset of k * src.w compares with
// the sample k rows below, an offset of k with the sample k columns right. The
// destination's size chooses the compared positions and must keep i + offset
// inside the source.
void compareShifted(const Image& src, Image& dst, int32_t offset);

// out[i] = a[i] / b[i] for the a.w * a.h samples of a, under IEEE rules
// (x / 0 is an infinity, 0 / 0 not a number). b and out must be at least as large.
void divideDouble(const ImageDouble& a, const ImageDouble& b, ImageDouble& out);

}  // namespace lumaqc
