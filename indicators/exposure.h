// Constants of the exposure indicator.
#pragma once

#include <cstdint>

// Number of darkest and of brightest 8x8 blocks averaged into the result.
inline constexpr int32_t nBlSum = 4;
// Upper limit for nBlSum: the capacity the two block lists are designed for.
inline constexpr int32_t TABSIZE = 10000;
