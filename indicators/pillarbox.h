// Column test of the pillarbox indicator.
#pragma once

#include <cstdint>

// 1 when column x and column x + 1 of the W x H array are equal in every row,
// else 0. Pictures of 0 or 1 rows always pass.
int32_t checkPillarBar(const uint8_t* data, int32_t W, int32_t H, int32_t x);
