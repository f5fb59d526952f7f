// Slice: horizontal bands whose samples repeat sideways far more than downwards,
// as a lost band filled in by concealment does.
//
// One pass over the strips of 16 rows counts, per strip, the samples equal to
// the one 16 rows below and those equal to the one 16 columns to the right
// (vector compares counted in 8-bit lanes), each sample read from memory once;
// no match pictures are stored.
#include "indicators/indicators.h"
#include "indicators/structure.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/slice.cpp"
#include <hwy/cache_control.h>
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

// For strips k = 0 .. strips-1 (at most 64) of 16 rows: vertical[k] counts
// the samples equal to the one 16 rows below, horizontal[k] those (of the
// first w-16 columns) equal to the one 16 columns to the right; only the
// columns from `from` on (a multiple of the vector size) are compared.
//
// The sideways comparison runs over whole rows, past a row's end into the
// next row (there is always one: the strip below); the matches of each row's
// last 16 samples with the first 16 of the next row are taken off afterwards.
// The picture is walked in columns a few vectors wide, down every strip, so
// that the strip below, read for the vertical comparison, is still in the
// first-level cache when its turn comes: each sample comes from memory once.
// Matches are counted in 8-bit lanes (a compare gives all ones, subtracted):
// at most 15 vectors per row of a column keep 16 rows under 256.
void CountStripMatches(const uint8_t* HWY_RESTRICT src, int32_t w, int32_t strips, int32_t from,
                       int32_t* HWY_RESTRICT vertical, int32_t* HWY_RESTRICT horizontal) {
    constexpr int32_t S = SLICE_BLOCKSIZE;
    const std::ptrdiff_t stride = w;
    const std::ptrdiff_t n = S * stride;  // one strip
    int64_t v[64] = {};
    int64_t hz[64] = {};
    std::ptrdiff_t x0 = from;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint64_t, decltype(d8)> d64;
    const auto N = static_cast<std::ptrdiff_t>(hn::Lanes(d8));
    const std::ptrdiff_t wide = 8 * N;
    const std::ptrdiff_t whole = stride - stride % N;
    for (std::ptrdiff_t x1 = x0; x0 < whole; x0 = x1) {
        x1 = x0 + wide < whole ? x0 + wide : whole;
        for (int32_t k = 0; k < strips; ++k) {
            const uint8_t* s = src + k * n;
            // The strip that comes below next, fetched while this one is
            // counted: walking down a column defeats the hardware prefetcher.
            const std::ptrdiff_t ahead = k + 2 <= strips ? 2 * n : n;
            auto countV = hn::Zero(d8);
            auto countH = hn::Zero(d8);
            for (int32_t r = 0; r < S; ++r) {
                const uint8_t* row = s + r * stride;
                for (std::ptrdiff_t x = x0; x < x1; x += N) {
                    hwy::Prefetch(row + x + ahead);
                    const auto a = hn::LoadU(d8, row + x);
                    countV =
                        hn::Sub(countV, hn::VecFromMask(d8, hn::Eq(a, hn::LoadU(d8, row + x + n))));
                    countH =
                        hn::Sub(countH, hn::VecFromMask(d8, hn::Eq(a, hn::LoadU(d8, row + x + S))));
                }
            }
            v[k] += static_cast<int64_t>(hn::GetLane(hn::SumOfLanes(d64, hn::SumsOf8(countV))));
            hz[k] += static_cast<int64_t>(hn::GetLane(hn::SumOfLanes(d64, hn::SumsOf8(countH))));
        }
    }
#endif
    for (int32_t k = 0; k < strips; ++k) {
        const uint8_t* s = src + k * n;
        for (int32_t r = 0; r < S; ++r) {
            const uint8_t* row = s + r * stride;
            for (std::ptrdiff_t x = x0; x < stride; ++x) {
                v[k] += row[x] == row[x + n];
                hz[k] += row[x] == row[x + S];
            }
            // The comparisons that ran across the row's end.
            const uint8_t* end = row + stride - S;
            std::ptrdiff_t i = 0;
#if HWY_TARGET != HWY_SCALAR
            const hn::CappedTag<uint8_t, S> dEnd;
            const auto M = static_cast<std::ptrdiff_t>(hn::Lanes(dEnd));
            for (; i + M <= S; i += M) {
                hz[k] -= static_cast<int64_t>(hn::CountTrue(
                    dEnd, hn::Eq(hn::LoadU(dEnd, end + i), hn::LoadU(dEnd, end + i + S))));
            }
#endif
            for (; i < S; ++i) hz[k] -= end[i] == end[i + S];
        }
        // At most 16 w, which stays in 32 bits for every accepted picture.
        vertical[k] = static_cast<int32_t>(v[k]);
        horizontal[k] = static_cast<int32_t>(hz[k]);
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

namespace {

// Strips with a strip below them, each with both rates; none when the
// picture is too small: under 48 rows too few strips take part, and 16
// columns or fewer leave nothing to compare sideways.
int32_t stripsOf(const Image& img) {
    if (img.h <= 47 || img.w <= SLICE_BLOCKSIZE) return 0;
    return (img.h - SLICE_BLOCKSIZE) >> 4;
}

double sliceOf(const SliceCounts& counts, int32_t w, int32_t h) {
    if (h <= 47 || w <= SLICE_BLOCKSIZE) return -1.0;
    const int32_t strips = (h - SLICE_BLOCKSIZE) >> 4;
    const int32_t vPositions = SLICE_BLOCKSIZE * w;
    const int32_t hPositions = SLICE_BLOCKSIZE * (w - SLICE_BLOCKSIZE);
    // The smallest ratio of the vertical to the horizontal match rate; a
    // strip where neither direction repeats gives 0 / 0, which sorts after
    // every number. When every strip gives 0 / 0 the result is 1 over that
    // not-a-number.
    bool found = false;
    double smallest = 0.0;
    double notANumber = 0.0;
    for (int32_t k = 0; k < strips; ++k) {
        const double vRate =
            static_cast<double>(counts.vertical[static_cast<size_t>(k)]) / vPositions;
        const double hRate =
            static_cast<double>(counts.horizontal[static_cast<size_t>(k)]) / hPositions;
        const double ratio = vRate / hRate;
        if (std::isnan(ratio)) {
            notANumber = ratio;
        } else if (!found || ratio < smallest) {
            smallest = ratio;
            found = true;
        }
    }
    return 1.0 / (found ? smallest : notANumber);
}

}  // namespace

void startSlice(const Image& img, SliceCounts& counts) {
    const auto strips = static_cast<size_t>(stripsOf(img));
    if (counts.vertical.size() < strips) {
        counts.vertical.resize(strips);
        counts.horizontal.resize(strips);
    }
}

void addSliceRows(const Image& img, int32_t y0, int32_t y1, SliceCounts& counts, int32_t from) {
    const int32_t strips = stripsOf(img);
    const int32_t first = y0 / SLICE_BLOCKSIZE;
    int32_t last = (y1 + SLICE_BLOCKSIZE - 1) / SLICE_BLOCKSIZE;
    if (last > strips) last = strips;
    constexpr int32_t kChunk = 64;  // strips counted per kernel call
    for (int32_t k = first; k < last; k += kChunk) {
        HWY_DYNAMIC_DISPATCH(slice_simd::CountStripMatches)
        (img.data + static_cast<size_t>(k) * SLICE_BLOCKSIZE * static_cast<size_t>(img.w), img.w,
         last - k < kChunk ? last - k : kChunk, from, counts.vertical.data() + k,
         counts.horizontal.data() + k);
    }
}

double slice(const StructureSums& sums) {
    return sliceOf(sums.slice, sums.w, sums.h);
}

double slice(const Image& img) {
    thread_local SliceCounts counts;
    startSlice(img, counts);
    addSliceRows(img, 0, img.h, counts);
    return sliceOf(counts, img.w, img.h);
}

}  // namespace lumaqc

#endif  // HWY_ONCE
