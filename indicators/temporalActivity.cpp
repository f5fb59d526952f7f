// Temporal activity: root-mean-square sample difference between the current
// and the previous picture.
#include <cmath>
#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/temporalActivity.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumaqc::temporal_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// Sum of (a - b)^2 over n samples. The squares of absolute differences are
// added pairwise in 32-bit lanes, folded into 64-bit totals before they can
// overflow.
uint64_t SquaredDifferences(const uint8_t* a, const uint8_t* b, size_t n) {
    uint64_t sum = 0;
    size_t i = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint16_t, decltype(d8)> du16;
    const hn::Repartition<int16_t, decltype(d8)> d16;
    const hn::Repartition<int32_t, decltype(d8)> d32;
    const hn::Half<decltype(d32)> dh32;
    const hn::Repartition<int64_t, decltype(d8)> d64;
    const size_t lanes = hn::Lanes(d8);
    // Each vector adds at most 4 * 255^2 to a 32-bit lane.
    constexpr size_t FLUSH = 2048;

    const auto lowByte = hn::Set(d16, 0xFF);
    auto total = hn::Zero(d64);
    while (i + lanes <= n) {
        auto even = hn::Zero(d32);
        auto odd = hn::Zero(d32);
        for (size_t k = 0; k < FLUSH && i + lanes <= n; ++k, i += lanes) {
            const auto va = hn::LoadU(d8, a + i);
            const auto vb = hn::LoadU(d8, b + i);
            const auto diff = hn::Or(hn::SaturatedSub(va, vb), hn::SaturatedSub(vb, va));
            // Even and odd samples in 16-bit lanes, without shuffles.
            const auto pairs = hn::BitCast(d16, diff);
            const auto lo = hn::And(pairs, lowByte);
            const auto hi = hn::BitCast(d16, hn::ShiftRight<8>(hn::BitCast(du16, pairs)));
            even = hn::ReorderWidenMulAccumulate(d32, lo, lo, even, odd);
            even = hn::ReorderWidenMulAccumulate(d32, hi, hi, even, odd);
        }
        const auto both = hn::Add(even, odd);
        total = hn::Add(total, hn::PromoteTo(d64, hn::LowerHalf(dh32, both)));
        total = hn::Add(total, hn::PromoteTo(d64, hn::UpperHalf(dh32, both)));
    }
    sum = static_cast<uint64_t>(hn::GetLane(hn::SumOfLanes(d64, total)));
#endif
    for (; i < n; ++i) {
        const int32_t d = static_cast<int32_t>(a[i]) - static_cast<int32_t>(b[i]);
        sum += static_cast<uint64_t>(d * d);
    }
    return sum;
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::temporal_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include "indicators/indicators.h"

namespace lumaqc {

namespace temporal_simd {
HWY_EXPORT(SquaredDifferences);
}  // namespace temporal_simd

double temporalActivity(const Image& current, const Image& previous) {
    // The square root of the exact integer energy, as temporalAct gives it,
    // from one vectorised pass.
    double t = 0.0;
    if (current.w > 0 && current.h > 0) {
        LUMAQC_CHECK(static_cast<int64_t>(previous.w) * previous.h >=
                     static_cast<int64_t>(current.w) * current.h);
        const size_t n = static_cast<size_t>(current.w) * static_cast<size_t>(current.h);
        const uint64_t sum =
            HWY_DYNAMIC_DISPATCH(temporal_simd::SquaredDifferences)(current.data, previous.data, n);
        t = std::sqrt(static_cast<double>(sum));
    }
    // Empty pictures give 0 / 0, which freezing treats as not frozen.
    const uint32_t n = static_cast<uint32_t>(current.w) * static_cast<uint32_t>(current.h);
    return t / std::sqrt(static_cast<double>(n));
}

}  // namespace lumaqc

#endif  // HWY_ONCE
