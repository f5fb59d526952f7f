// Constants and helpers of the noise indicator.
#pragma once

#include <cstdint>

// Bins of the block deviation histogram: one per possible rounded deviation
// of an 8x8 block of 8-bit samples (0 to 129; half 0 and half 255 give
// 128.51), plus the upper neighbour bin that the weighted centre reads.
inline constexpr int32_t HISTOGRAM_ENTRIES = 131;
// Side of the smoothing kernel.
inline constexpr int32_t GAUSSIAN_MASK_SIZE = 3;
// Largest number of blocks collected for the residual measurement.
inline constexpr int32_t MAX_CONTAINER_WIDTH = 1000;

// Ascending order of doubles for std::qsort: -1 when a < b, 1 when a > b and
// 0 otherwise (equal, or either is NaN). a and b point to doubles.
int compare(const void* a, const void* b);
