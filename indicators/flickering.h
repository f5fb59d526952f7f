// Constants and helpers of the flickering indicator.
#pragma once

#include <cstdint>

// Number of calls per rating period.
inline constexpr int32_t framePeriod = 8;

// Comparison for sorting 8-bit samples, largest first: *b - *a.
int compareElements(const void* a, const void* b);
