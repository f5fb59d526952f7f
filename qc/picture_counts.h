// Counts over a picture for the luma levels, bars and lost-band tests (see
// PictureMeasures), vectorised; integers, the same on every target.
#pragma once

#include <cstdint>

namespace lumaqc::qc {

// Adds to above[i] the samples of the picture (`width` x `height`, rows
// `stride` bytes apart) above levels[i], for i from 0 to 3.
void countAbove4(const uint8_t* luma, int32_t width, int32_t height, int64_t stride,
                 const uint8_t levels[4], int64_t above[4]);

// The Roberts energy of a row against the row above: over the columns 1 to
// `width` - 1, (up[x - 1] - row[x])^2 + (up[x] - row[x - 1])^2.
int64_t robertsEnergy(const uint8_t* up, const uint8_t* row, int32_t width);

// Columns 0, 4, 8 ... below `width` where `a` and `b` hold the same sample.
int64_t countEqualEveryFourth(const uint8_t* a, const uint8_t* b, int32_t width);

// Clears the `same` flag (0 or 1) of each column below `width` whose sample
// in `row` strays from the one in `top` by more than `tolerance`.
void keepWithin(const uint8_t* row, const uint8_t* top, int32_t width, int32_t tolerance,
                uint8_t* same);

}  // namespace lumaqc::qc
