// Spatial activity: root-mean-square Sobel gradient magnitude over all
// positions of the picture, the border counting as zero gradient.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/spatialActivity.cpp"
#include <hwy/cache_control.h>
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#ifndef LUMAQC_SPATIAL_SHARED
#define LUMAQC_SPATIAL_SHARED

namespace lumaqc::spatial_simd {

// Where a strip leaves block loss's Roberts energies (kRoberts): their sum,
// and, when `table` is set, the energies of the strip's grid columns (one
// per 16 output columns, the last of each 16) of the rows below tableRows,
// from table + row * pitch. Pair rows r (rows r - 1 and r) count from y0 to
// y1 - 1, and also y1 when `lastBand`.
struct RobertsOut {
    uint16_t* table = nullptr;
    size_t pitch = 0;
    int32_t tableRows = 0;
    bool lastBand = false;
};

// Block loss's Roberts energies, asked of the Sobel pass: their sum (out),
// the grid-column table (in: rows tableRows, gridCols, at least 1), and
// whether the pass made them (out). With `squares` (in), the sum of the
// squares of every sample when known, the strips leave those out.
struct RobertsRequest {
    int64_t squares = -1;
    int64_t sum = 0;
    uint16_t* table = nullptr;
    int32_t tableRows = 0;
    int32_t gridCols = 0;
    bool done = false;
};

inline int32_t robertsAt(const uint8_t* up, const uint8_t* cur, std::ptrdiff_t x) {
    const int32_t a = static_cast<int32_t>(up[x - 1]) - static_cast<int32_t>(cur[x]);
    const int32_t b = static_cast<int32_t>(up[x]) - static_cast<int32_t>(cur[x - 1]);
    return a * a + b * b;
}

}  // namespace lumaqc::spatial_simd

#endif  // LUMAQC_SPATIAL_SHARED

HWY_BEFORE_NAMESPACE();
namespace lumaqc::spatial_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

inline int64_t sobelEnergyAt(const uint8_t* up, const uint8_t* mid, const uint8_t* down,
                             std::ptrdiff_t x) {
    const int32_t gx =
        (up[x + 1] - up[x - 1]) + 2 * (mid[x + 1] - mid[x - 1]) + (down[x + 1] - down[x - 1]);
    const int32_t gy =
        (down[x - 1] - up[x - 1]) + 2 * (down[x] - up[x]) + (down[x + 1] - up[x + 1]);
    return gx * gx + gy * gy;
}

// Sum of Gx^2 + Gy^2 over the interior positions, plainly.
uint64_t plainEnergy(const uint8_t* data, int32_t w, int32_t h) {
    const std::ptrdiff_t stride = w;
    uint64_t sum = 0;
    for (int32_t y = 1; y < h - 1; ++y) {
        const uint8_t* up = data + static_cast<std::ptrdiff_t>(y - 1) * stride;
        for (std::ptrdiff_t x = 1; x < stride - 1; ++x)
            sum += static_cast<uint64_t>(sobelEnergyAt(up, up + stride, up + 2 * stride, x));
    }
    return sum;
}

#if HWY_TARGET != HWY_SCALAR

// Sums of the byte pairs of `bytes` (lanes 2i and 2i + 1) in 16-bit lanes: a
// multiply-add of unsigned by signed bytes on x86.
template <class D16, class V8>
HWY_INLINE hn::Vec<D16> pairSums(D16 d16, V8 bytes) {
#if HWY_TARGET == HWY_AVX3
    (void)d16;
    return hn::Vec<D16>{_mm512_maddubs_epi16(bytes.raw, _mm512_set1_epi8(1))};
#elif HWY_TARGET == HWY_AVX2
    (void)d16;
    return hn::Vec<D16>{_mm256_maddubs_epi16(bytes.raw, _mm256_set1_epi8(1))};
#elif HWY_TARGET == HWY_SSE4
    (void)d16;
    return hn::Vec<D16>{_mm_maddubs_epi16(bytes.raw, _mm_set1_epi8(1))};
#else
    const hn::Repartition<uint16_t, D16> du16;
    const auto w = hn::BitCast(du16, bytes);
    return hn::BitCast(d16, hn::Add(hn::And(w, hn::Set(du16, 0xFF)), hn::ShiftRight<8>(w)));
#endif
}

// Products of a and b, added pairwise in 32-bit lanes (on every target: the
// widening multiply-add may leave half of them in its second accumulator).
template <class D32, class V>
HWY_INLINE hn::Vec<D32> pairProducts(D32 d32, V a, V b) {
    hn::Vec<D32> odd = hn::Zero(d32);
    const hn::Vec<D32> even = hn::ReorderWidenMulAccumulate(d32, a, b, hn::Zero(d32), odd);
    return hn::Add(even, odd);
}

// Squares of the bytes of `bytes` in 32-bit lanes (at most 2^18 a lane).
template <class V8>
HWY_INLINE auto byteSquares(V8 bytes) {
    const hn::DFromV<V8> d8;
    const hn::Repartition<int16_t, decltype(d8)> d16;
    const hn::Repartition<uint16_t, decltype(d8)> du16;
    const hn::Repartition<int32_t, decltype(d8)> d32;
    const auto even = hn::BitCast(d16, hn::And(hn::BitCast(du16, bytes), hn::Set(du16, 0xFF)));
    const auto odd = hn::BitCast(d16, hn::ShiftRight<8>(hn::BitCast(du16, bytes)));
    return hn::Add(pairProducts(d32, even, even), pairProducts(d32, odd, odd));
}

// Sum of the squares of samples from .. w - 1 of every row, which the last
// vector of a row holds (w - from at most its size plus one).
int64_t rightSquares(const uint8_t* data, int32_t w, int32_t h, std::ptrdiff_t from) {
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<int32_t, decltype(d8)> d32;
    const std::ptrdiff_t size = static_cast<std::ptrdiff_t>(hn::Lanes(d8));
    const std::ptrdiff_t start = std::max<std::ptrdiff_t>(from, w - size);
    const auto before = hn::FirstN(d8, static_cast<size_t>(start - (w - size)));
    int64_t sum = 0;
    auto lanes = hn::Zero(d32);
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* row = data + static_cast<std::ptrdiff_t>(y) * w;
        for (std::ptrdiff_t x = from; x < start; ++x) sum += int64_t{row[x]} * row[x];
        lanes =
            hn::Add(lanes, byteSquares(hn::IfThenZeroElse(before, hn::LoadU(d8, row + w - size))));
        if (y % 4096 == 4095) {
            sum += hn::GetLane(hn::SumOfLanes(d32, lanes));
            lanes = hn::Zero(d32);
        }
    }
    const hn::Repartition<int64_t, decltype(d8)> d64;
    const hn::Half<decltype(d32)> dh32;
    const auto wide = hn::Add(hn::PromoteTo(d64, hn::LowerHalf(dh32, lanes)),
                              hn::PromoteTo(d64, hn::UpperHalf(dh32, lanes)));
    return sum + hn::GetLane(hn::SumOfLanes(d64, wide));
}

// Sum of the squares of n samples, n a multiple of the vector size.
int64_t vectorSquares(const uint8_t* p, std::ptrdiff_t n) {
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<int32_t, decltype(d8)> d32;
    const hn::Repartition<int64_t, decltype(d8)> d64;
    const hn::Half<decltype(d32)> dh32;
    auto wide = hn::Zero(d64);
    for (std::ptrdiff_t x = 0; x < n; x += static_cast<std::ptrdiff_t>(hn::Lanes(d8))) {
        const auto lanes = byteSquares(hn::LoadU(d8, p + x));
        wide = hn::Add(wide, hn::PromoteTo(d64, hn::LowerHalf(dh32, lanes)));
        wide = hn::Add(wide, hn::PromoteTo(d64, hn::UpperHalf(dh32, lanes)));
    }
    return hn::GetLane(hn::SumOfLanes(d64, wide));
}

// Rows [y0, y1) of the vertical strip of output columns x .. x + L - 1, where
// L is the number of bytes in a vector; the strip reads columns x - 1 .. x + L.
//
// A row is held as sets of columns in 16-bit lanes: the even and odd bytes
// loaded from x - 1 (columns x - 1 + 2i and x + 2i, pE and pO), the even
// ones loaded from x + 1 (x + 1 + 2i, pE1), and the sums of neighbouring
// columns (x - 1 + 2i and x + 2i, x + 2i and x + 1 + 2i, and x + 1 + 2i and
// x + 2 + 2i, the byte pairs of the second load). Sobel is separable, and
// each row's share is formed once from those sums: its horizontal difference
// Q (column c + 1 minus c - 1) and its horizontal smoothing H (c - 1, 2 c,
// c + 1) for the even and the odd output columns. Then Gx = Q(y - 1) +
// 2 Q(y) + Q(y + 1) = R(y - 1) + R(y) with R(y) = Q(y) + Q(y + 1), and
// Gy = H(y + 1) - H(y - 1); every value stays within +-1020. Squares are
// added pairwise in 32-bit lanes: each row adds at most four times 2^21 to a
// lane, so bands of up to 128 rows cannot overflow. With kMasked, only the
// output columns whose even or odd lane is kept count.
//
// With kRoberts, the Roberts energies of the same columns, from the samples
// of each row and the row above. A pair of rows (up, cur) sums (A - D)^2 +
// (B - C)^2 over the 2 x 2 windows A B / C D of the strip: the squares of
// the samples, each counted in the two windows beside it, less twice the
// cross products A D + B C. A row's squares over the output columns are
// twice P, the squares of its samples x - 1 .. x + L - 2, less the square
// at x - 1, plus the one at x + L - 1: the strips of a row hand those over
// to each other, and the caller adds what is left at both ends of the row.
// The cross products of the even and the odd output columns take two
// multiply-adds: (uE + uE1) sO + uO (sE + sE1). A masked strip sums the
// squared differences directly.
template <bool kMasked, bool kRoberts, bool kSquares, class D16, class M>
HWY_INLINE void addStrip(D16 d16, const uint8_t* data, std::ptrdiff_t stride, std::ptrdiff_t x,
                         int32_t y0, int32_t y1, M keepEven, M keepOdd,
                         hn::Vec<hn::Repartition<int64_t, D16>>& total,
                         hn::Vec<hn::Repartition<int64_t, D16>>& robertsTotal,
                         const RobertsOut& roberts) {
    const hn::Repartition<uint8_t, D16> d8;
    const hn::Repartition<uint16_t, D16> du16;
    const hn::Repartition<int32_t, D16> d32;
    const hn::Half<decltype(d32)> dh32;
    const hn::Repartition<int64_t, D16> d64;
    using V = hn::Vec<D16>;
    using V32 = hn::Vec<decltype(d32)>;
    const V lowByte = hn::Set(d16, 0xFF);
    // The samples of the last row read: columns x - 1 + 2i, x + 2i, x + 1 + 2i.
    V sE, sO, sE1;
    // Q and H of the even (E) and odd (O) output columns of one row.
    auto rowTerms = [&](const uint8_t* p, V& qE, V& qO, V& hE, V& hO) {
        const auto left = hn::LoadU(d8, p - 1);
        const auto right = hn::LoadU(d8, p + 1);
        const V pE = hn::And(hn::BitCast(d16, left), lowByte);
        const V pO = hn::BitCast(d16, hn::ShiftRight<8>(hn::BitCast(du16, left)));
        const V pE1 = hn::And(hn::BitCast(d16, right), lowByte);
        sE = pE;
        sO = pO;
        sE1 = pE1;
        const V sumLeft = hn::Add(pE, pO);
        const V sumMid = hn::Add(pO, pE1);
        const V sumRight = pairSums(d16, right);
        qE = hn::Sub(sumMid, sumLeft);
        qO = hn::Sub(sumRight, sumMid);
        hE = hn::Add(sumLeft, sumMid);
        hO = hn::Add(sumMid, sumRight);
    };
    auto products = [&](V a, V b) { return pairProducts(d32, a, b); };
    auto rob0 = hn::Zero(d32);
    auto rob1 = hn::Zero(d32);
#if HWY_TARGET == HWY_AVX3
    // Lanes 8 k + 7 to lanes k.
    const __m512i gridLanes = _mm512_set_epi16(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                               0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 31, 23, 15, 7);
#endif
    // The grid columns' energies of pair row r, from the samples of row r - 1
    // (uO, uE1) and of row r: odd lane 8 k + 7 is column x + 16 k + 15.
    auto gridRow = [&](int32_t r, V a1, V b1) {
        // A square of a difference of bytes fits 16 bits.
        const auto e = hn::SaturatedAdd(hn::BitCast(du16, hn::Mul(a1, a1)),
                                        hn::BitCast(du16, hn::Mul(b1, b1)));
        uint16_t* to = roberts.table + static_cast<size_t>(r) * roberts.pitch;
#if HWY_TARGET == HWY_AVX3
        const hn::Vec<decltype(du16)> grid{_mm512_permutexvar_epi16(gridLanes, e.raw)};
        const auto low = hn::LowerHalf(hn::LowerHalf(grid));
        hn::StoreU(hn::LowerHalf(low), hn::Half<hn::DFromV<decltype(low)>>(), to);
#else
        // The top 16 bits of every second 64-bit lane.
        const hn::Repartition<uint64_t, D16> d64u;
        const hn::Rebind<uint16_t, decltype(d64u)> dGrid;
        const auto odd = hn::BitCast(d64u, e);
        const auto grid = hn::TruncateTo(dGrid, hn::ShiftRight<48>(hn::ConcatOdd(d64u, odd, odd)));
        hn::StoreU(hn::LowerHalf(grid), hn::Half<decltype(dGrid)>(), to);
#endif
    };
    // Masked strips: the Roberts energies of pair row r, from the samples of
    // row r - 1 (uE, uO, uE1) and of row r (sE, sO, sE1). Even output column
    // c = x + 2i pairs up[c - 1] = uE with cur[c] = sO and up[c] = uO with
    // cur[c - 1] = sE; odd column c = x + 1 + 2i pairs uO with sE1 and uE1
    // with sO.
    auto robertsRow = [&](V uE, V uO, V uE1) {
        V a0 = hn::Sub(uE, sO);
        V b0 = hn::Sub(uO, sE);
        V a1 = hn::Sub(uO, sE1);
        V b1 = hn::Sub(uE1, sO);
        a0 = hn::IfThenElseZero(keepEven, a0);
        b0 = hn::IfThenElseZero(keepEven, b0);
        a1 = hn::IfThenElseZero(keepOdd, a1);
        b1 = hn::IfThenElseZero(keepOdd, b1);
        rob0 = hn::ReorderWidenMulAccumulate(d32, a0, a0, rob0, rob1);
        rob1 = hn::ReorderWidenMulAccumulate(d32, b0, b0, rob1, rob0);
        rob0 = hn::ReorderWidenMulAccumulate(d32, a1, a1, rob0, rob1);
        rob1 = hn::ReorderWidenMulAccumulate(d32, b1, b1, rob1, rob0);
    };
    // Whole strips: P of every pair's lower row (squares), P of the first
    // row and of the last lower row, and the cross products; each lane adds
    // at most 2^19 a row to either sum.
    V32 squares = hn::Zero(d32), cross = hn::Zero(d32), firstSquares = squares,
        lastSquares = squares;
    // sE + sE1 of the row read before the last one.
    V upSums = hn::Zero(d16);
    auto pairRow = [&](int32_t r, V uO, V uE1) {
        const V sums = hn::Add(sE, sE1);
        if constexpr (kSquares) {
            lastSquares = hn::Add(products(sE, sE), products(sO, sO));
            squares = hn::Add(squares, lastSquares);
        }
        cross = hn::Add(cross, hn::Add(products(upSums, sO), products(uO, sums)));
        upSums = sums;
        if (roberts.table != nullptr && r < roberts.tableRows) {
            gridRow(r, hn::Sub(uO, sE1), hn::Sub(uE1, sO));
        }
    };

    const uint8_t* row = data + static_cast<std::ptrdiff_t>(y0 - 1) * stride + x;
    // Q(y), R(y - 1), H(y - 1) and H(y) of the output row y.
    V qE, qO, rE, rO, hE0, hO0, hE, hO;
    {
        V qE0, qO0;
        rowTerms(row, qE0, qO0, hE0, hO0);
        const V uE = sE, uO = sO, uE1 = sE1;
        if constexpr (kRoberts && !kMasked) {
            upSums = hn::Add(sE, sE1);
            if constexpr (kSquares) firstSquares = hn::Add(products(sE, sE), products(sO, sO));
        }
        row += stride;
        rowTerms(row, qE, qO, hE, hO);
        if constexpr (kRoberts && kMasked) robertsRow(uE, uO, uE1);
        if constexpr (kRoberts && !kMasked) pairRow(y0, uO, uE1);
        (void)uE;
        rE = hn::Add(qE0, qE);
        rO = hn::Add(qO0, qO);
    }
    auto acc0 = hn::Zero(d32);
    auto acc1 = hn::Zero(d32);
    for (int32_t y = y0; y < y1; ++y) {
        row += stride;
        // Walking down a column defeats the hardware prefetcher: fetch this
        // row's samples of the strip after next (a cache line ahead).
        hwy::Prefetch(row + 2 * static_cast<std::ptrdiff_t>(hn::Lanes(d8)));
        const V uE = sE, uO = sO, uE1 = sE1;
        V qE2, qO2, hE2, hO2;
        rowTerms(row, qE2, qO2, hE2, hO2);
        if constexpr (kRoberts) {
            if (y + 1 < y1 || roberts.lastBand) {
                if constexpr (kMasked) robertsRow(uE, uO, uE1);
                if constexpr (!kMasked) pairRow(y + 1, uO, uE1);
            }
        }
        (void)uE;
        const V rE1 = hn::Add(qE, qE2);
        const V rO1 = hn::Add(qO, qO2);
        V gxEven = hn::Add(rE, rE1);
        V gxOdd = hn::Add(rO, rO1);
        V gyEven = hn::Sub(hE2, hE0);
        V gyOdd = hn::Sub(hO2, hO0);
        if constexpr (kMasked) {
            gxEven = hn::IfThenElseZero(keepEven, gxEven);
            gyEven = hn::IfThenElseZero(keepEven, gyEven);
            gxOdd = hn::IfThenElseZero(keepOdd, gxOdd);
            gyOdd = hn::IfThenElseZero(keepOdd, gyOdd);
        }
        acc0 = hn::ReorderWidenMulAccumulate(d32, gxEven, gxEven, acc0, acc1);
        acc1 = hn::ReorderWidenMulAccumulate(d32, gyEven, gyEven, acc1, acc0);
        acc0 = hn::ReorderWidenMulAccumulate(d32, gxOdd, gxOdd, acc0, acc1);
        acc1 = hn::ReorderWidenMulAccumulate(d32, gyOdd, gyOdd, acc1, acc0);
        qE = qE2;
        qO = qO2;
        rE = rE1;
        rO = rO1;
        hE0 = hE;
        hO0 = hO;
        hE = hE2;
        hO = hO2;
    }
    const auto both = hn::Add(acc0, acc1);
    total = hn::Add(total, hn::PromoteTo(d64, hn::LowerHalf(dh32, both)));
    total = hn::Add(total, hn::PromoteTo(d64, hn::UpperHalf(dh32, both)));
    if constexpr (kRoberts) {
        V32 pairs = hn::Add(rob0, rob1);
        if constexpr (!kMasked) {
            // The pairs' rows: every lower row twice, the first upper row
            // and not the last lower row; twice that less the cross
            // products, twice (within 2^27 a lane).
            const V32 rows = hn::Sub(hn::Add(hn::Add(squares, squares), firstSquares), lastSquares);
            const V32 half = hn::Sub(rows, cross);
            pairs = hn::Add(half, half);
        }
        robertsTotal = hn::Add(robertsTotal, hn::PromoteTo(d64, hn::LowerHalf(dh32, pairs)));
        robertsTotal = hn::Add(robertsTotal, hn::PromoteTo(d64, hn::UpperHalf(dh32, pairs)));
    }
}

#endif  // HWY_TARGET != HWY_SCALAR

// Sum of Gx^2 + Gy^2 over the interior positions of a w x h picture
// (w, h >= 3), exact. Vector strips walk down bands of rows that stay in
// cache; the last strip of a band ends at the last interior column and
// skips the columns the strip before it counted. With a request (w >= 256,
// h >= 3), the strips also form the Roberts energies of the rows they read.
template <bool kRoberts>
uint64_t Energies(const uint8_t* data, int32_t w, int32_t h, RobertsRequest* request) {
#if HWY_TARGET == HWY_SCALAR
    (void)request;
    return plainEnergy(data, w, h);
#else
    const hn::ScalableTag<int16_t> d16;
    const hn::Repartition<int64_t, decltype(d16)> d64;
    const std::ptrdiff_t lanes = static_cast<std::ptrdiff_t>(hn::Lanes(d16));
    const std::ptrdiff_t width = 2 * lanes;                         // output columns per strip
    const std::ptrdiff_t end = static_cast<std::ptrdiff_t>(w) - 1;  // past the last interior column
    if (end - 1 < width) return plainEnergy(data, w, h);
    constexpr int32_t BAND = 64;
    // Grid columns per strip, and the strips whose grid columns all lie
    // inside the table (grid column c at strip (c - 1) / perStrip).
    const int32_t perStrip = static_cast<int32_t>(width / 16);
    const int32_t tableStrips = kRoberts ? std::min(static_cast<int32_t>((end - 1) / width),
                                                    (request->gridCols - 1) / perStrip)
                                         : 0;

    // The squares of the samples: from the strips, or given.
    const bool squaresKnown = kRoberts && request->squares >= 0;
    const auto all = hn::FirstN(d16, static_cast<size_t>(lanes));
    auto total = hn::Zero(d64);
    auto robertsTotal = hn::Zero(d64);
    for (int32_t y0 = 1; y0 < h - 1; y0 += BAND) {
        const int32_t y1 = h - 1 - y0 < BAND ? h - 1 : y0 + BAND;
        RobertsOut out;
        if constexpr (kRoberts) {
            out.pitch = static_cast<size_t>(request->gridCols);
            out.tableRows = request->tableRows;
            out.lastBand = y1 == h - 1;
        }
        std::ptrdiff_t x = 1;
        for (int32_t k = 0; x + width <= end; x += width, ++k) {
            if constexpr (kRoberts) {
                out.table = k < tableStrips ? request->table + 1 + k * perStrip : nullptr;
            }
            if (squaresKnown) {
                addStrip<false, kRoberts, false>(d16, data, w, x, y0, y1, all, all, total,
                                                 robertsTotal, out);
            } else {
                addStrip<false, kRoberts, true>(d16, data, w, x, y0, y1, all, all, total,
                                                robertsTotal, out);
            }
        }
        if (x < end) {
            // Output column last + 2i is even lane i, last + 1 + 2i odd lane i;
            // columns before x are already counted.
            const std::ptrdiff_t last = end - width;
            const auto keepEven = hn::Not(hn::FirstN(d16, static_cast<size_t>((x - last + 1) / 2)));
            const auto keepOdd = hn::Not(hn::FirstN(d16, static_cast<size_t>((x - last) / 2)));
            out.table = nullptr;
            addStrip<true, kRoberts, false>(d16, data, w, last, y0, y1, keepEven, keepOdd, total,
                                            robertsTotal, out);
        }
    }
    if constexpr (kRoberts) {
        // Column w - 1, which no output column of the strips reaches; the
        // squares at both ends of the whole strips' rows (columns 0 and
        // right), in every pair of rows; the grid columns past the strips';
        // row 0 and grid column 0 (no pairs).
        int64_t sum = hn::GetLane(hn::SumOfLanes(d64, robertsTotal));
        const std::ptrdiff_t right = (end - 1) / width * width;
        auto ends = [&](int32_t r) {
            const uint8_t* p = data + static_cast<std::ptrdiff_t>(r) * w;
            return int64_t{p[right]} * p[right] - int64_t{p[0]} * p[0];
        };
        for (int32_t r = 1; r < h; ++r) {
            const uint8_t* cur = data + static_cast<std::ptrdiff_t>(r) * w;
            sum += robertsAt(cur - w, cur, w - 1) + ends(r - 1) + ends(r);
        }
        if (squaresKnown) {
            // The squares the whole strips leave out: P over columns 0 ..
            // right - 1 of every row, counted in both pairs of rows it is
            // in (rows 0 and h - 1 in one), and twice.
            const int64_t rows = request->squares - rightSquares(data, w, h, right);
            const int64_t ends =
                vectorSquares(data, right) +
                vectorSquares(data + static_cast<std::ptrdiff_t>(h - 1) * w, right);
            sum += 2 * (2 * rows - ends);
        }
        const size_t pitch = static_cast<size_t>(request->gridCols);
        std::fill_n(request->table, pitch, uint16_t{0});
        for (int32_t r = 1; r < request->tableRows; ++r) {
            const uint8_t* cur = data + static_cast<std::ptrdiff_t>(r) * w;
            uint16_t* row = request->table + static_cast<size_t>(r) * pitch;
            row[0] = 0;
            for (int32_t c = 1 + tableStrips * perStrip; c < request->gridCols; ++c) {
                row[c] = static_cast<uint16_t>(std::min(robertsAt(cur - w, cur, 16 * c), 65535));
            }
        }
        request->sum = sum;
        request->done = true;
    }
    return static_cast<uint64_t>(hn::GetLane(hn::SumOfLanes(d64, total)));
#endif
}

uint64_t SobelEnergy(const uint8_t* data, int32_t w, int32_t h) {
    return Energies<false>(data, w, h, nullptr);
}

uint64_t SobelAndRobertsEnergy(const uint8_t* data, int32_t w, int32_t h, RobertsRequest* request) {
    return Energies<true>(data, w, h, request);
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::spatial_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include "indicators/indicators.h"

namespace lumaqc {

namespace spatial_simd {
HWY_EXPORT(SobelEnergy);
HWY_EXPORT(SobelAndRobertsEnergy);
}  // namespace spatial_simd

namespace {

double fromEnergy(const Image& img, uint64_t energy) {
    const uint32_t n = static_cast<uint32_t>(img.w) * static_cast<uint32_t>(img.h);
    return std::sqrt(static_cast<double>(energy)) / std::sqrt(static_cast<double>(n));
}

}  // namespace

double spatialActivity(const Image& img) {
    // An empty picture holds no detail.
    if (img.w <= 0 || img.h <= 0) return 0.0;
    // The square root of the exact integer energy, as spatialAct gives it,
    // from one vectorised pass.
    uint64_t energy = 0;
    if (img.w >= 3 && img.h >= 3) {
        energy = HWY_DYNAMIC_DISPATCH(spatial_simd::SobelEnergy)(img.data, img.w, img.h);
    }
    return fromEnergy(img, energy);
}

double spatialActivity(const Image& img, RobertsShare& roberts, const BlockStats* stats) {
    const int32_t regionsX = img.w / BLOCKPROC_BLOCKSIZE;
    const int32_t regionsY = img.h / BLOCKPROC_BLOCKSIZE;
    // Block loss reads them only on pictures of whole regions.
    if (img.w <= 0 || img.h <= 0 || regionsX == 0 || regionsY == 0) return spatialActivity(img);
    roberts.w = img.w;
    roberts.h = img.h;
    roberts.tableRows = regionsY * BLOCKPROC_BLOCKSIZE;
    roberts.gridCols = regionsX * (BLOCKPROC_BLOCKSIZE / BLOCKLOSS_BLOCKSIZE);
    const size_t size =
        static_cast<size_t>(roberts.tableRows) * static_cast<size_t>(roberts.gridCols);
    if (roberts.table.size() < size) roberts.table.resize(size);
    spatial_simd::RobertsRequest request;
    request.table = roberts.table.data();
    request.tableRows = roberts.tableRows;
    request.gridCols = roberts.gridCols;
    if (stats != nullptr && stats->ready && stats->w == img.w && stats->h == img.h) {
        request.squares = static_cast<int64_t>(stats->squareSum);
    }
    const uint64_t energy =
        HWY_DYNAMIC_DISPATCH(spatial_simd::SobelAndRobertsEnergy)(img.data, img.w, img.h, &request);
    roberts.energySum = request.sum;
    roberts.ready = request.done;
    return fromEnergy(img, energy);
}

}  // namespace lumaqc

#endif  // HWY_ONCE
