// Slice: horizontal bands whose samples repeat sideways far more than downwards,
// as a lost band filled in by concealment does.
//
// One pass over the strips of 16 rows counts, per strip, the samples equal to
// the one 16 rows below and those equal to the one 16 columns to the right
// (vector compares and mask counts); no match pictures are stored.
#include "indicators/indicators.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/slice.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

HWY_BEFORE_NAMESPACE();
namespace lumaqc::slice_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// Positions i in [0, n) with a[i] == b[i].
inline int64_t countEqual(const uint8_t* HWY_RESTRICT a, const uint8_t* HWY_RESTRICT b, int32_t n) {
    int64_t count = 0;
#if HWY_TARGET == HWY_SCALAR
    for (int32_t i = 0; i < n; ++i) count += a[i] == b[i];
#else
    const hn::ScalableTag<uint8_t> d8;
    const int32_t N = static_cast<int32_t>(hn::Lanes(d8));
    int32_t i = 0;
    for (; i + N <= n; i += N) {
        count += static_cast<int64_t>(
            hn::CountTrue(d8, hn::Eq(hn::LoadU(d8, a + i), hn::LoadU(d8, b + i))));
    }
    if (i < n) {
        if (n >= N) {
            // The last vector overlaps the previous one; its first lanes are
            // dropped.
            const int32_t is = n - N;
            const auto fresh = hn::Not(hn::FirstN(d8, static_cast<size_t>(i - is)));
            count += static_cast<int64_t>(hn::CountTrue(
                d8, hn::And(fresh, hn::Eq(hn::LoadU(d8, a + is), hn::LoadU(d8, b + is)))));
        } else {
            for (; i < n; ++i) count += a[i] == b[i];
        }
    }
#endif
    return count;
}

// For strips k = 0 .. strips-1 of 16 rows: vertical[k] counts the samples
// equal to the one 16 rows below, horizontal[k] those (of the first w-16
// columns) equal to the one 16 columns to the right.
void CountStripMatches(const uint8_t* HWY_RESTRICT src, int32_t w, int32_t strips,
                       int32_t* HWY_RESTRICT vertical, int32_t* HWY_RESTRICT horizontal) {
    for (int32_t k = 0; k < strips; ++k) {
        int64_t v = 0;
        int64_t hz = 0;
        for (int32_t r = 0; r < SLICE_BLOCKSIZE; ++r) {
            const uint8_t* row =
                src + static_cast<size_t>(k * SLICE_BLOCKSIZE + r) * static_cast<size_t>(w);
            v += countEqual(row, row + static_cast<size_t>(SLICE_BLOCKSIZE) * w, w);
            hz += countEqual(row, row + SLICE_BLOCKSIZE, w - SLICE_BLOCKSIZE);
        }
        // At most 16 w, which stays in 32 bits for every accepted picture.
        vertical[k] = static_cast<int32_t>(v);
        horizontal[k] = static_cast<int32_t>(hz);
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::slice_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace lumaqc {

namespace slice_simd {
HWY_EXPORT(CountStripMatches);
}  // namespace slice_simd

double slice(const Image& img) {
    const int32_t w = img.w;
    const int32_t h = img.h;
    // Under 48 rows too few strips take part; 16 columns or fewer leave
    // nothing to compare sideways.
    if (h <= 47 || w <= SLICE_BLOCKSIZE) return -1.0;

    // Strips with a strip below them; each has both rates.
    const int32_t nV = (h - SLICE_BLOCKSIZE) >> 4;
    constexpr int32_t kChunk = 64;  // strips counted per kernel call
    int32_t vCounts[kChunk];
    int32_t hCounts[kChunk];

    const int32_t vPositions = SLICE_BLOCKSIZE * w;
    const int32_t hPositions = SLICE_BLOCKSIZE * (w - SLICE_BLOCKSIZE);
    // The smallest ratio of the vertical to the horizontal match rate; a
    // strip where neither direction repeats gives 0 / 0, which sorts after
    // every number. When every strip gives 0 / 0 the result is 1 over that
    // not-a-number.
    bool found = false;
    double smallest = 0.0;
    double notANumber = 0.0;
    for (int32_t k0 = 0; k0 < nV; k0 += kChunk) {
        const int32_t n = nV - k0 < kChunk ? nV - k0 : kChunk;
        HWY_DYNAMIC_DISPATCH(slice_simd::CountStripMatches)
        (img.data + static_cast<size_t>(k0) * SLICE_BLOCKSIZE * static_cast<size_t>(w), w, n,
         vCounts, hCounts);
        for (int32_t k = 0; k < n; ++k) {
            const double vRate = static_cast<double>(vCounts[k]) / vPositions;
            const double hRate = static_cast<double>(hCounts[k]) / hPositions;
            const double ratio = vRate / hRate;
            if (std::isnan(ratio)) {
                notANumber = ratio;
            } else if (!found || ratio < smallest) {
                smallest = ratio;
                found = true;
            }
        }
    }
    return 1.0 / (found ? smallest : notANumber);
}

}  // namespace lumaqc

#endif  // HWY_ONCE
