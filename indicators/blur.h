// Constants and helpers of the blur indicator.
#pragma once

#include <cstdint>

// Side of the square blocks whose standard deviations set the ramp threshold.
inline constexpr int32_t BLUR_BLOCKSIZE = 16;

// Maps a mean edge width to an opinion score from 0 to 5 (about 4.96 for
// width 0, falling towards 0 as the width grows).
double blurToMOS(double blurValue);
