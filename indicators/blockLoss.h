// Constants of the block-loss indicator.
#pragma once

#include <cstdint>

// Step of the block grid whose lines are examined for edges.
inline constexpr int32_t BLOCKLOSS_BLOCKSIZE = 16;
// Side of the square regions in which edge runs are counted.
inline constexpr int32_t BLOCKPROC_BLOCKSIZE = 256;
// Number of consecutive strong-edge positions that make a run.
inline constexpr int32_t EDGE_LENGTH = 12;
// A position is a strong edge when its energy exceeds this multiple of the
// frame's mean Roberts energy.
inline constexpr float BLOCKLOSS_EDGE_FACTOR = 6.0f;
