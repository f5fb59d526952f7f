// Spatial activity: root-mean-square Sobel gradient magnitude over all
// positions of the picture, the border counting as zero gradient.
#include <cmath>
#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/spatialActivity.cpp"
#include <hwy/cache_control.h>
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

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

// Rows [y0, y1) of the vertical strip of output columns x .. x + L - 1, where
// L is the number of bytes in a vector; the strip reads columns x - 1 .. x + L.
//
// A row is held as four sets of columns in 16-bit lanes: the even and odd
// bytes loaded from x - 1 (columns x - 1 + 2i and x + 2i) and from x + 1
// (x + 1 + 2i and x + 2 + 2i). Sobel is separable, and each row's share is
// formed once: its horizontal difference Q (column c + 1 minus c - 1) and its
// horizontal smoothing H (c - 1, 2 c, c + 1) for the even and the odd output
// columns. Then Gx = Q(y - 1) + 2 Q(y) + Q(y + 1) = R(y - 1) + R(y) with
// R(y) = Q(y) + Q(y + 1), and Gy = H(y + 1) - H(y - 1); every value stays
// within +-1020. Squares are added pairwise in 32-bit lanes: each row adds at
// most four times 2^21 to a lane, so bands of up to 128 rows cannot overflow.
// With kMasked, only the output columns whose even or odd lane is kept count.
template <bool kMasked, class D16, class M>
HWY_INLINE void addStrip(D16 d16, const uint8_t* data, std::ptrdiff_t stride, std::ptrdiff_t x,
                         int32_t y0, int32_t y1, M keepEven, M keepOdd,
                         hn::Vec<hn::Repartition<int64_t, D16>>& total) {
    const hn::Repartition<uint8_t, D16> d8;
    const hn::Repartition<uint16_t, D16> du16;
    const hn::Repartition<int32_t, D16> d32;
    const hn::Half<decltype(d32)> dh32;
    const hn::Repartition<int64_t, D16> d64;
    using V = hn::Vec<D16>;
    const V lowByte = hn::Set(d16, 0xFF);
    // Q and H of the even (E) and odd (O) output columns of one row.
    auto rowTerms = [&](const uint8_t* p, V& qE, V& qO, V& hE, V& hO) {
        const V left = hn::BitCast(d16, hn::LoadU(d8, p - 1));
        const V right = hn::BitCast(d16, hn::LoadU(d8, p + 1));
        const V pE = hn::And(left, lowByte);
        const V pO = hn::BitCast(d16, hn::ShiftRight<8>(hn::BitCast(du16, left)));
        const V pE1 = hn::And(right, lowByte);
        const V pO1 = hn::BitCast(d16, hn::ShiftRight<8>(hn::BitCast(du16, right)));
        qE = hn::Sub(pE1, pE);
        qO = hn::Sub(pO1, pO);
        const V mid = hn::Add(pO, pE1);
        hE = hn::Add(hn::Add(pE, pO), mid);
        hO = hn::Add(mid, hn::Add(pE1, pO1));
    };

    const uint8_t* row = data + static_cast<std::ptrdiff_t>(y0 - 1) * stride + x;
    // Q(y), R(y - 1), H(y - 1) and H(y) of the output row y.
    V qE, qO, rE, rO, hE0, hO0, hE, hO;
    {
        V qE0, qO0;
        rowTerms(row, qE0, qO0, hE0, hO0);
        row += stride;
        rowTerms(row, qE, qO, hE, hO);
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
        V qE2, qO2, hE2, hO2;
        rowTerms(row, qE2, qO2, hE2, hO2);
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
}

#endif  // HWY_TARGET != HWY_SCALAR

// Sum of Gx^2 + Gy^2 over the interior positions of a w x h picture
// (w, h >= 3), exact. Vector strips walk down bands of rows that stay in
// cache; the last strip of a band ends at the last interior column and
// skips the columns the strip before it counted.
uint64_t SobelEnergy(const uint8_t* data, int32_t w, int32_t h) {
#if HWY_TARGET == HWY_SCALAR
    return plainEnergy(data, w, h);
#else
    const hn::ScalableTag<int16_t> d16;
    const hn::Repartition<int64_t, decltype(d16)> d64;
    const std::ptrdiff_t lanes = static_cast<std::ptrdiff_t>(hn::Lanes(d16));
    const std::ptrdiff_t width = 2 * lanes;                         // output columns per strip
    const std::ptrdiff_t end = static_cast<std::ptrdiff_t>(w) - 1;  // past the last interior column
    if (end - 1 < width) return plainEnergy(data, w, h);
    constexpr int32_t BAND = 64;

    const auto all = hn::FirstN(d16, static_cast<size_t>(lanes));
    auto total = hn::Zero(d64);
    for (int32_t y0 = 1; y0 < h - 1; y0 += BAND) {
        const int32_t y1 = h - 1 - y0 < BAND ? h - 1 : y0 + BAND;
        std::ptrdiff_t x = 1;
        for (; x + width <= end; x += width)
            addStrip<false>(d16, data, w, x, y0, y1, all, all, total);
        if (x < end) {
            // Output column last + 2i is even lane i, last + 1 + 2i odd lane i;
            // columns before x are already counted.
            const std::ptrdiff_t last = end - width;
            const auto keepEven = hn::Not(hn::FirstN(d16, static_cast<size_t>((x - last + 1) / 2)));
            const auto keepOdd = hn::Not(hn::FirstN(d16, static_cast<size_t>((x - last) / 2)));
            addStrip<true>(d16, data, w, last, y0, y1, keepEven, keepOdd, total);
        }
    }
    return static_cast<uint64_t>(hn::GetLane(hn::SumOfLanes(d64, total)));
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::spatial_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include "indicators/indicators.h"

namespace lumaqc {

namespace spatial_simd {
HWY_EXPORT(SobelEnergy);
}  // namespace spatial_simd

double spatialActivity(const Image& img) {
    // An empty picture holds no detail.
    if (img.w <= 0 || img.h <= 0) return 0.0;
    // The square root of the exact integer energy, as spatialAct gives it,
    // from one vectorised pass.
    double s = 0.0;
    if (img.w >= 3 && img.h >= 3) {
        const uint64_t energy =
            HWY_DYNAMIC_DISPATCH(spatial_simd::SobelEnergy)(img.data, img.w, img.h);
        s = std::sqrt(static_cast<double>(energy));
    }
    const uint32_t n = static_cast<uint32_t>(img.w) * static_cast<uint32_t>(img.h);
    return s / std::sqrt(static_cast<double>(n));
}

}  // namespace lumaqc

#endif  // HWY_ONCE
