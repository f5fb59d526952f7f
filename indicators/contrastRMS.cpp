// RMS contrast: the sample standard deviation (divisor n - 1) of all samples.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "indicators/indicators.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/contrastRMS.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumaqc::contrast_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// Sum and square sum of n samples. Squares of sample pairs are added in
// 32-bit lanes, which are folded into 64-bit totals before they can overflow.
void SumAndSquares(const uint8_t* p, size_t n, uint64_t* sum, uint64_t* squares) {
    uint64_t s = 0;
    uint64_t q = 0;
    size_t i = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint64_t, decltype(d8)> d64;
    const hn::Repartition<int16_t, decltype(d8)> d16;
    const hn::Repartition<uint16_t, decltype(d8)> du16;
    const hn::Repartition<int32_t, decltype(d8)> d32;
    const hn::Repartition<int64_t, decltype(d8)> di64;
    const hn::Half<decltype(d32)> dh32;
    const size_t lanes = hn::Lanes(d8);
    // Each vector adds at most 4 * 255^2 to a 32-bit lane (plus as much to
    // the second accumulator on targets that use it).
    constexpr size_t FLUSH = 2048;

    auto sums = hn::Zero(d64);
    const auto lowByte = hn::Set(d16, 0xFF);
    auto total = hn::Zero(di64);
    while (i + lanes <= n) {
        auto even = hn::Zero(d32);
        auto odd = hn::Zero(d32);
        for (size_t k = 0; k < FLUSH && i + lanes <= n; ++k, i += lanes) {
            const auto v = hn::LoadU(d8, p + i);
            sums = hn::Add(sums, hn::SumsOf8(v));
            // Even and odd samples in 16-bit lanes, without shuffles.
            const auto pairs = hn::BitCast(d16, v);
            const auto lo = hn::And(pairs, lowByte);
            const auto hi = hn::BitCast(d16, hn::ShiftRight<8>(hn::BitCast(du16, pairs)));
            even = hn::ReorderWidenMulAccumulate(d32, lo, lo, even, odd);
            even = hn::ReorderWidenMulAccumulate(d32, hi, hi, even, odd);
        }
        const auto both = hn::Add(even, odd);
        total = hn::Add(total, hn::PromoteTo(di64, hn::LowerHalf(dh32, both)));
        total = hn::Add(total, hn::PromoteTo(di64, hn::UpperHalf(dh32, both)));
    }
    s = hn::GetLane(hn::SumOfLanes(d64, sums));
    q = static_cast<uint64_t>(hn::GetLane(hn::SumOfLanes(di64, total)));
#endif
    for (; i < n; ++i) {
        const uint32_t v = p[i];
        s += v;
        q += v * v;
    }
    *sum = s;
    *squares = q;
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::contrast_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace lumaqc {

namespace contrast_simd {
HWY_EXPORT(SumAndSquares);
}  // namespace contrast_simd

double contrastRMS(const Image& img) {
    const int64_t n = static_cast<int64_t>(img.w) * img.h;
    // Both totals in one vectorised pass; they are exact integers, the same
    // as sumAndSquareSum gives.
    uint64_t usum = 0;
    uint64_t usquares = 0;
    if (n > 0) {
        HWY_DYNAMIC_DISPATCH(contrast_simd::SumAndSquares)
        (img.data, static_cast<size_t>(n), &usum, &usquares);
    }
    const auto sum = static_cast<int64_t>(usum);
    const auto squareSum = static_cast<int64_t>(usquares);
    // Reciprocals are formed first and then multiplied, in this order, so the
    // result is reproducible to the last bit. One sample (n - 1 = 0) and no
    // samples both give not-a-number.
    const double s = static_cast<double>(sum);
    const double mean = s * (1.0 / n);
    double variance = (static_cast<double>(squareSum) - s * mean) * (1.0 / (n - 1));
    // Rounding in the mean can leave a uniform picture a variance a few ulps
    // below zero; a negative variance is impossible, so it counts as 0 rather
    // than giving not-a-number.
    if (variance < 0.0) variance = 0.0;
    return std::sqrt(variance);
}

}  // namespace lumaqc

#endif  // HWY_ONCE
