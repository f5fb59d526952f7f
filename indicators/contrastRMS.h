// Sum and square sum of a picture, as used by the RMS contrast.
#pragma once

#include <cstdint>

#include "tools/definitions.h"

// Sets sum and squareSum to the sum and the sum of squares of all samples
// (both 0 for an empty picture) and returns the sum. Both are 64-bit, so
// every picture size is summed exactly.
int64_t sumAndSquareSum(const Image& img, int64_t& sum, int64_t& squareSum);
