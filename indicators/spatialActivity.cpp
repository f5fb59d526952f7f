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
// (x + 1 + 2i and x + 2 + 2i). Walking down, S = C(y) + C(y + 1) is formed
// once per row and set; then C(y - 1) + 2 C(y) + C(y + 1) = S(y - 1) + S(y)
// and C(y + 1) - C(y - 1) = S(y) - S(y - 1), from which Gx and Gy of the even
// and the odd output columns follow. Squares are added pairwise in 32-bit
// lanes: each row adds at most four times 2^21 to a lane, so bands of up to
// 128 rows cannot overflow. With kMasked, only the output columns whose
// even or odd lane is kept count.
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
    auto split = [&](const uint8_t* p, V& even, V& odd) {
        const V pairs = hn::BitCast(d16, hn::LoadU(d8, p));
        even = hn::And(pairs, lowByte);
        odd = hn::BitCast(d16, hn::ShiftRight<8>(hn::BitCast(du16, pairs)));
    };

    const uint8_t* row = data + static_cast<std::ptrdiff_t>(y0 - 1) * stride + x;
    // C(y) of the row being the centre, and S(y - 1).
    V cE, cO, cE1, cO1, sE, sO, sE1, sO1;
    {
        V pE, pO, pE1, pO1;
        split(row - 1, pE, pO);
        split(row + 1, pE1, pO1);
        row += stride;
        split(row - 1, cE, cO);
        split(row + 1, cE1, cO1);
        sE = hn::Add(pE, cE);
        sO = hn::Add(pO, cO);
        sE1 = hn::Add(pE1, cE1);
        sO1 = hn::Add(pO1, cO1);
    }
    auto acc0 = hn::Zero(d32);
    auto acc1 = hn::Zero(d32);
    for (int32_t y = y0; y < y1; ++y) {
        row += stride;
        // Walking down a column defeats the hardware prefetcher: fetch this
        // row's samples of the strip after next (a cache line ahead).
        hwy::Prefetch(row + 2 * static_cast<std::ptrdiff_t>(hn::Lanes(d8)));
        V nE, nO, nE1, nO1;
        split(row - 1, nE, nO);
        split(row + 1, nE1, nO1);
        const V tE = hn::Add(cE, nE);
        const V tO = hn::Add(cO, nO);
        const V tE1 = hn::Add(cE1, nE1);
        const V tO1 = hn::Add(cO1, nO1);
        const V dE = hn::Sub(tE, sE);
        const V dO = hn::Sub(tO, sO);
        const V dE1 = hn::Sub(tE1, sE1);
        const V dO1 = hn::Sub(tO1, sO1);
        V gxEven = hn::Sub(hn::Add(sE1, tE1), hn::Add(sE, tE));
        V gxOdd = hn::Sub(hn::Add(sO1, tO1), hn::Add(sO, tO));
        V gyEven = hn::Add(hn::Add(dE, dE1), hn::ShiftLeft<1>(dO));
        V gyOdd = hn::Add(hn::Add(dO, dO1), hn::ShiftLeft<1>(dE1));
        if constexpr (kMasked) {
            gxEven = hn::IfThenElseZero(keepEven, gxEven);
            gyEven = hn::IfThenElseZero(keepEven, gyEven);
            gxOdd = hn::IfThenElseZero(keepOdd, gxOdd);
            gyOdd = hn::IfThenElseZero(keepOdd, gyOdd);
        }
        acc0 = hn::ReorderWidenMulAccumulate(d32, gxEven, gxEven, acc0, acc1);
        acc0 = hn::ReorderWidenMulAccumulate(d32, gyEven, gyEven, acc0, acc1);
        acc0 = hn::ReorderWidenMulAccumulate(d32, gxOdd, gxOdd, acc0, acc1);
        acc0 = hn::ReorderWidenMulAccumulate(d32, gyOdd, gyOdd, acc0, acc1);
        cE = nE;
        cO = nO;
        cE1 = nE1;
        cO1 = nO1;
        sE = tE;
        sO = tO;
        sE1 = tE1;
        sO1 = tO1;
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
