// Helpers of the slice indicator.
#pragma once

#include <cstdint>

// Strip height and comparison distance, in samples, both down and across.
inline constexpr int32_t SLICE_BLOCKSIZE = 16;

// Ascending order of doubles for std::qsort: -1, 0 or 1 for a < b, a == b,
// a > b. Not-a-number sorts after every number and equal to itself, which
// keeps the order consistent.
int compare_Double_asc(const void* a, const void* b);
