// Blockiness: visibility of the 8x8 compression block grid.
//
// At every block edge the differences across the edge are compared with the
// differences between the two rows (columns) just inside it. The running sums
// are not reset from edge to edge, so the totals weight earlier edges more:
// with K edges the first enters K times, the last once.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "indicators/indicators.h"
#include "indicators/structure.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/blockiness.cpp"
#include <hwy/cache_control.h>
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumaqc::blockiness_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

inline uint64_t absDiff(uint8_t a, uint8_t b) {
    return static_cast<uint64_t>(std::abs(static_cast<int32_t>(a) - static_cast<int32_t>(b)));
}

// Adds sum |a - b| over n samples to *ab and sum |a - c| to *ac.
void AddRowDifferences(const uint8_t* a, const uint8_t* b, const uint8_t* c, std::ptrdiff_t n,
                       uint64_t* ab, uint64_t* ac) {
    std::ptrdiff_t x = 0;
    uint64_t sumAB = 0;
    uint64_t sumAC = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint64_t, decltype(d8)> d64;
    const std::ptrdiff_t lanes = static_cast<std::ptrdiff_t>(hn::Lanes(d8));
    auto accAB = hn::Zero(d64);
    auto accAC = hn::Zero(d64);
    for (; x + lanes <= n; x += lanes) {
        const auto va = hn::LoadU(d8, a + x);
        const auto vb = hn::LoadU(d8, b + x);
        const auto vc = hn::LoadU(d8, c + x);
        accAB =
            hn::Add(accAB, hn::SumsOf8(hn::Or(hn::SaturatedSub(va, vb), hn::SaturatedSub(vb, va))));
        accAC =
            hn::Add(accAC, hn::SumsOf8(hn::Or(hn::SaturatedSub(va, vc), hn::SaturatedSub(vc, va))));
    }
    sumAB = hn::GetLane(hn::SumOfLanes(d64, accAB));
    sumAC = hn::GetLane(hn::SumOfLanes(d64, accAC));
#endif
    for (; x < n; ++x) {
        sumAB += absDiff(a[x], b[x]);
        sumAC += absDiff(a[x], c[x]);
    }
    *ab += sumAB;
    *ac += sumAC;
}

#if HWY_TARGET != HWY_SCALAR
// The vertical edges of one vector from q on, as AddColumnDifferences adds
// them to inner[0 ..] and across[0 ..], lanes below `counted` left out.
//
// Byte 8j + k of d is |q[8j + k + 1] - q[8j + k]|: the top 16-bit part of
// its 64-bit lane j holds the inner difference (low byte) and the across
// difference (high byte). Summing those parts gives inner + 256 across
// modulo 2^16, from which the inner sum (below 2^16 over 256 rows) follows
// once the across sum is known: one addition and one shift per row instead
// of two shifts, a mask and two additions.
template <bool kPartial>
HWY_INLINE void AddColumnVector(const uint8_t* q, std::ptrdiff_t stride, int32_t rows,
                                size_t counted, uint64_t* inner, uint64_t* across) {
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint16_t, decltype(d8)> d16;
    const hn::Repartition<uint64_t, decltype(d8)> d64;
    auto both = hn::Zero(d16);
    auto sumAcross = hn::Zero(d64);
    for (int32_t r = 0; r < rows; ++r, q += stride) {
        // Walking down a band defeats the hardware prefetcher at large
        // widths: fetch this row's samples a few cache lines ahead.
        hwy::Prefetch(q + 256);
        const auto v0 = hn::LoadU(d8, q);
        const auto v1 = hn::LoadU(d8, q + 1);
        const auto d = hn::Or(hn::SaturatedSub(v0, v1), hn::SaturatedSub(v1, v0));
        both = hn::Add(both, hn::BitCast(d16, d));
        sumAcross = hn::Add(sumAcross, hn::ShiftRight<56>(hn::BitCast(d64, d)));
    }
    auto sumInner =
        hn::And(hn::Sub(hn::ShiftRight<48>(hn::BitCast(d64, both)), hn::ShiftLeft<8>(sumAcross)),
                hn::Set(d64, 0xFFFFu));
    if (kPartial) {
        const auto fresh = hn::Not(hn::FirstN(d64, counted));
        sumInner = hn::IfThenElseZero(fresh, sumInner);
        sumAcross = hn::IfThenElseZero(fresh, sumAcross);
    }
    hn::StoreU(hn::Add(hn::LoadU(d64, inner), sumInner), d64, inner);
    hn::StoreU(hn::Add(hn::LoadU(d64, across), sumAcross), d64, across);
}
#endif

// For the vertical edges at columns 8, 16, ..., 8 * edges of `rows` rows
// (at most 256) from p on, `stride` apart: inner[j] += |p[8j + 7] - p[8j + 6]|
// and across[j] += |p[8j + 7] - p[8j + 8]| in every row. Rows hold at least
// 8 * edges + 1 samples. The rows are added in registers and written back
// once.
void AddColumnDifferences(const uint8_t* p, std::ptrdiff_t stride, int32_t rows, int32_t edges,
                          uint64_t* inner, uint64_t* across) {
    int32_t j = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint64_t> d64;
    const int32_t perVector = static_cast<int32_t>(hn::Lanes(d64));
    for (; j + perVector <= edges; j += perVector) {
        AddColumnVector<false>(p + static_cast<std::ptrdiff_t>(j) * 8, stride, rows, 0, inner + j,
                               across + j);
    }
    // The edges left over: a vector ending at the last edge, its lanes
    // already counted left out.
    if (j < edges && edges >= perVector) {
        const int32_t start = edges - perVector;
        AddColumnVector<true>(p + static_cast<std::ptrdiff_t>(start) * 8, stride, rows,
                              static_cast<size_t>(j - start), inner + start, across + start);
        j = edges;
    }
#endif
    for (; j < edges; ++j) {
        const uint8_t* q = p + static_cast<std::ptrdiff_t>(j) * 8;
        for (int32_t r = 0; r < rows; ++r, q += stride) {
            inner[j] += absDiff(q[7], q[6]);
            across[j] += absDiff(q[7], q[8]);
        }
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::blockiness_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace lumaqc {

namespace blockiness_simd {
HWY_EXPORT(AddRowDifferences);
HWY_EXPORT(AddColumnDifferences);
}  // namespace blockiness_simd

void startBlockiness(const Image& img, BlockinessSums& sums) {
    const int64_t b = BLOCKSIZE;
    // An edge counts only when a whole block follows it.
    sums.rowEdges = img.h >= 2 * b ? img.h / b - 1 : 0;
    sums.columnEdges = img.w >= 2 * b ? img.w / b - 1 : 0;
    const auto slots = static_cast<size_t>(2 * sums.columnEdges);
    if (sums.columns.size() < slots) sums.columns.resize(slots);
    std::fill_n(sums.columns.begin(), slots, uint64_t{0});
    sums.rowInner = 0;
    sums.rowAcross = 0;
}

// Per edge, the plain sums of the differences; edge k of K then enters the
// running totals K - k times. 64-bit arithmetic throughout (32-bit sums wrap
// on noisy HD frames); the weighted totals equal the running ones modulo
// 2^64 as well. y0 is a multiple of 8, and y1 - y0 at most 256.
void addBlockinessRows(const Image& img, int32_t y0, int32_t y1, BlockinessSums& sums,
                       int32_t from) {
    const int64_t w = img.w;
    const int64_t b = BLOCKSIZE;
    const int64_t first = from / b;  // the first edge counted
    // The column differences of the rows, then the horizontal edges below
    // those of their rows that end a block, while the rows are in cache.
    if (sums.columnEdges > first) {
        uint64_t* inner = sums.columns.data() + first;
        HWY_DYNAMIC_DISPATCH(blockiness_simd::AddColumnDifferences)
        (img.data + y0 * w + from, w, y1 - y0, static_cast<int32_t>(sums.columnEdges - first),
         inner, inner + sums.columnEdges);
    }
    // Edge k at row 8 (k + 1): rows 8k + 6 and 8k + 7 above it, 8k + 8 below.
    for (int64_t k = y0 / b; k < sums.rowEdges && k * b + b <= y1; ++k) {
        const uint8_t* last = img.data + (k * b + b - 1) * w + from;
        const auto weight = static_cast<uint64_t>(sums.rowEdges - k);
        uint64_t sumInner = 0;
        uint64_t sumAcross = 0;
        HWY_DYNAMIC_DISPATCH(blockiness_simd::AddRowDifferences)
        (last, last - w, last + w, w - from, &sumInner, &sumAcross);
        sums.rowInner += weight * sumInner;
        sums.rowAcross += weight * sumAcross;
    }
}

namespace {

double blockinessOf(const BlockinessSums& s) {
    uint64_t innerTotal = s.rowInner;
    uint64_t acrossTotal = s.rowAcross;
    for (int64_t j = 0; j < s.columnEdges; ++j) {
        const auto weight = static_cast<uint64_t>(s.columnEdges - j);
        innerTotal += weight * s.columns[static_cast<size_t>(j)];
        acrossTotal += weight * s.columns[static_cast<size_t>(s.columnEdges + j)];
    }
    const double ratio = static_cast<double>(innerTotal) / static_cast<double>(acrossTotal);
    // No difference anywhere (or no edge at all): no visible grid.
    if (std::isnan(ratio)) return 1.0;
    return ratio;
}

}  // namespace

double blockiness(const StructureSums& sums) {
    return blockinessOf(sums.blockiness);
}

double blockiness(const Image& img) {
    // One pass over the rows in memory order, in bands of one block row.
    thread_local BlockinessSums sums;
    constexpr int32_t b = BLOCKSIZE;
    startBlockiness(img, sums);
    for (int32_t y = 0; y < img.h; y += b)
        addBlockinessRows(img, y, y + b < img.h ? y + b : img.h, sums);
    return blockinessOf(sums);
}

double blockToMOS(double v) {
    const double mos = (v * 17.86 - 10.38) * 0.5;
    return mos > 0 ? mos : 0.0;
}

}  // namespace lumaqc

#endif  // HWY_ONCE
