// Row test of the letterbox indicator.
#pragma once

#include <cstdint>

// 1 when row y and row H - 1 - y of the W x H array are both flat (all samples
// of each row equal, possibly at different values), else 0. Rows of width 0
// or 1 are always flat.
int32_t checkLetterBar(const uint8_t* data, int32_t W, int32_t H, int32_t y);
