// Spatial activity: root-mean-square Sobel gradient magnitude over all
// positions of the picture, the border counting as zero gradient.
#include <cmath>
#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/spatialActivity.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumaqc_spatial {
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

// Sum of Gx^2 + Gy^2 over the interior positions of a w x h picture (w, h >= 3),
// in one pass. Both responses fit 16-bit lanes; their squares are added
// pairwise in 32-bit lanes, folded into 64-bit totals after every row segment
// of at most 256 vectors.
uint64_t SobelEnergy(const uint8_t* data, int32_t w, int32_t h) {
    const std::ptrdiff_t stride = w;
    const std::ptrdiff_t end = stride - 1;  // first column that is not interior
    uint64_t sum = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<int16_t> d16;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const hn::Repartition<int32_t, decltype(d16)> d32;
    const hn::Half<decltype(d32)> dh32;
    const hn::Repartition<int64_t, decltype(d16)> d64;
    const std::ptrdiff_t lanes = static_cast<std::ptrdiff_t>(hn::Lanes(d16));
    // Gx^2 + Gy^2 stays below 2^21, and each vector adds two positions' worth
    // to a lane: 256 vectors stay far below 2^31.
    constexpr std::ptrdiff_t SEGMENT = 256;

    auto load = [&](const uint8_t* p) { return hn::PromoteTo(d16, hn::LoadU(d8, p)); };
    auto total = hn::Zero(d64);
#endif
    for (int32_t y = 1; y < h - 1; ++y) {
        const uint8_t* up = data + static_cast<std::ptrdiff_t>(y - 1) * stride;
        const uint8_t* mid = up + stride;
        const uint8_t* down = mid + stride;
        std::ptrdiff_t x = 1;
#if HWY_TARGET != HWY_SCALAR
        while (x + lanes <= end) {
            auto even = hn::Zero(d32);
            auto odd = hn::Zero(d32);
            for (std::ptrdiff_t k = 0; k < SEGMENT && x + lanes <= end; ++k, x += lanes) {
                const auto ul = load(up + x - 1);
                const auto uc = load(up + x);
                const auto ur = load(up + x + 1);
                const auto ml = load(mid + x - 1);
                const auto mr = load(mid + x + 1);
                const auto dl = load(down + x - 1);
                const auto dc = load(down + x);
                const auto dr = load(down + x + 1);
                const auto gx = hn::Add(hn::Add(hn::Sub(ur, ul), hn::ShiftLeft<1>(hn::Sub(mr, ml))),
                                        hn::Sub(dr, dl));
                const auto gy = hn::Add(hn::Add(hn::Sub(dl, ul), hn::ShiftLeft<1>(hn::Sub(dc, uc))),
                                        hn::Sub(dr, ur));
                even = hn::ReorderWidenMulAccumulate(d32, gx, gx, even, odd);
                even = hn::ReorderWidenMulAccumulate(d32, gy, gy, even, odd);
            }
            const auto both = hn::Add(even, odd);
            total = hn::Add(total, hn::PromoteTo(d64, hn::LowerHalf(dh32, both)));
            total = hn::Add(total, hn::PromoteTo(d64, hn::UpperHalf(dh32, both)));
        }
#endif
        for (; x < end; ++x) sum += static_cast<uint64_t>(sobelEnergyAt(up, mid, down, x));
    }
#if HWY_TARGET != HWY_SCALAR
    sum += static_cast<uint64_t>(hn::GetLane(hn::SumOfLanes(d64, total)));
#endif
    return sum;
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc_spatial
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include "indicators/indicators.h"

namespace lumaqc_spatial {
HWY_EXPORT(SobelEnergy);
}  // namespace lumaqc_spatial

double spatialActivity(const Image& img) {
    // An empty picture holds no detail.
    if (img.w <= 0 || img.h <= 0) return 0.0;
    // The square root of the exact integer energy, as spatialAct gives it,
    // from one vectorised pass.
    double s = 0.0;
    if (img.w >= 3 && img.h >= 3) {
        const uint64_t energy =
            HWY_DYNAMIC_DISPATCH(lumaqc_spatial::SobelEnergy)(img.data, img.w, img.h);
        s = std::sqrt(static_cast<double>(energy));
    }
    const uint32_t n = static_cast<uint32_t>(img.w) * static_cast<uint32_t>(img.h);
    return s / std::sqrt(static_cast<double>(n));
}

#endif  // HWY_ONCE
