// Helpers of the blackout indicator.
#pragma once

#include <cstdint>

// Largest spread of block means, in grey levels, that still counts as flat.
inline constexpr double THRESHOLD_BLACKOUT = 4.0;

// Stores the smallest and the largest of values[0 .. size - 1]; size must not be 0.
void minmax(const int32_t* values, uint32_t size, int32_t& minimum, int32_t& maximum);
