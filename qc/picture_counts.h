// Counts over rows of a picture for the bars and lost-band tests (see
// PictureMeasures), vectorised; integers, the same on every target.
#pragma once

#include <cstdint>

namespace lumaqc::qc {

// Columns 0, 4, 8 ... below `width` where `a` and `b` hold the same sample.
int64_t countEqualEveryFourth(const uint8_t* a, const uint8_t* b, int32_t width);

// Clears the `same` flag (0 or 1) of each column below `width` whose sample
// in `row` strays from the one in `top` by more than `tolerance`.
void keepWithin(const uint8_t* row, const uint8_t* top, int32_t width, int32_t tolerance,
                uint8_t* same);

}  // namespace lumaqc::qc
