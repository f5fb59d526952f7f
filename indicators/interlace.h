// Constants of the interlace indicator.
#pragma once

#include <cstdint>

// Side of a test group: four columns of four rows.
inline constexpr int32_t INTERLACE_BLOCKSIZE = 4;
