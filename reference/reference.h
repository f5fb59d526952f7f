// Reference implementations of the indicators that have a fast path.
//
// Each function is the plain composition of toolkit operations that the
// indicator used before it was optimised. The identity tests run both on many
// pictures and require bit-identical results; the benchmarks compare them.
// One source file per indicator: reference/<name>.cpp.
#pragma once

#include <cstdint>
#include <span>

#include "indicators/indicators.h"
#include "indicators/registry.h"
#include "toolkit/toolkit.h"

namespace lumaqc {

// Blur: side of the square blocks whose standard deviations set the ramp threshold.
inline constexpr int32_t BLUR_BLOCKSIZE = 16;

// Helpers of the plain compositions, each defined beside its indicator's.

// Stores the smallest and the largest of values[0 .. size - 1]; size must not be 0.
void minmax(const int32_t* values, uint32_t size, int32_t& minimum, int32_t& maximum);

// Sets sum and squareSum to the sum and the sum of squares of all samples
// (both 0 for an empty picture) and returns the sum. Both are 64-bit, so
// every picture size is summed exactly.
int64_t sumAndSquareSum(const Image& img, int64_t& sum, int64_t& squareSum);

// Comparison for sorting 8-bit samples, largest first: *b - *a.
int compareElements(const void* a, const void* b);

// 1 when row y and row H - 1 - y of the W x H array are both flat (all samples
// of each row equal, possibly at different values), else 0. Rows of width 0
// or 1 are always flat.
int32_t checkLetterBar(const uint8_t* data, int32_t W, int32_t H, int32_t y);

// 1 when column x and column x + 1 of the W x H array are equal in every row,
// else 0. Pictures of 0 or 1 rows always pass.
int32_t checkPillarBar(const uint8_t* data, int32_t W, int32_t H, int32_t x);

// Ascending order of doubles for std::qsort: -1, 0 or 1 for a < b, a == b,
// a > b. Not-a-number sorts after every number and equal to itself, which
// keeps the order consistent.
int compare_Double_asc(const void* a, const void* b);

// Ascending order of doubles for std::qsort: -1 when a < b, 1 when a > b and
// 0 otherwise (equal, or either is NaN). a and b point to doubles.
int compare(const void* a, const void* b);

namespace reference {

double blockLoss(const Image& img);
double blur(const Image& img);
double noise(const Image& img);
double slice(const Image& img);

double spatialActivity(const Image& img);
double blockiness(const Image& img);
double letterbox(const Image& img);
double pillarbox(const Image& img);
double exposure(const Image& img);
double interlace(const Image& img);
uint8_t blackout(const Image& img);
double contrastRMS(const Image& img);
double temporalActivity(const Image& current, const Image& previous);
double flickering(const Image& current, const Image& previous, TemporalState& state);

// The plain composition of every indicator that has a fast path (all but
// freezing), called as the indicator registry calls the indicator, so that
// the identity test, the fuzz target and the benchmarks run both on the same
// frame: the same pictures, the same frame rate, a temporal state of their
// own.
struct ReferenceInfo {
    IndicatorId id;
    double (*compute)(const FrameContext& frame);
};

// In the indicators' computation order.
std::span<const ReferenceInfo> registry();

}  // namespace reference

}  // namespace lumaqc
