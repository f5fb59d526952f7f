// The counts of the luma levels, bars and lost-band tests, vectorised: byte
// lanes compared and counted, so every target gives the same integers.
#include "qc/picture_counts.h"

#include <cstdlib>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "qc/picture_counts.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumaqc::qc::counts_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR
using D8 = hn::ScalableTag<uint8_t>;
using V8 = hn::Vec<D8>;
using V64 = hn::Vec<hn::Repartition<uint64_t, D8>>;

// Lanes `o` to `o + Lanes` of these keep the last lanes of a vector (1) and
// drop the first ones (0): the end of a row that overlaps its last vector.
constexpr int32_t kKeepFrom = 64;
alignas(64) constexpr uint8_t kKeepLast[2 * kKeepFrom] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
static_assert(HWY_MAX_BYTES <= kKeepFrom);

// Four levels counted at once: per byte lane, the samples above each level
// since the last flush (at most 255), then per 8 lanes in 64-bit sums.
struct Above4 {
    V8 level0, level1, level2, level3;
    V8 count0, count1, count2, count3;
    V64 sum0, sum1, sum2, sum3;
    int32_t pending = 0;  // vectors added since the last flush

    // A sample is above the level when their saturated difference is 1 or
    // more; `keep` (0 or 1 per lane) leaves lanes out.
    HWY_INLINE void add(V8 v, V8 keep) {
        count0 = hn::Add(count0, hn::Min(hn::SaturatedSub(v, level0), keep));
        count1 = hn::Add(count1, hn::Min(hn::SaturatedSub(v, level1), keep));
        count2 = hn::Add(count2, hn::Min(hn::SaturatedSub(v, level2), keep));
        count3 = hn::Add(count3, hn::Min(hn::SaturatedSub(v, level3), keep));
        if (++pending == 255) flush();
    }
    HWY_INLINE void flush() {
        const D8 d8;
        sum0 = hn::Add(sum0, hn::SumsOf8(count0));
        sum1 = hn::Add(sum1, hn::SumsOf8(count1));
        sum2 = hn::Add(sum2, hn::SumsOf8(count2));
        sum3 = hn::Add(sum3, hn::SumsOf8(count3));
        count0 = count1 = count2 = count3 = hn::Zero(d8);
        pending = 0;
    }
};
#endif

void CountAbove4(const uint8_t* luma, int32_t width, int32_t height, int64_t stride,
                 const uint8_t* levels, int64_t* above) {
#if HWY_TARGET != HWY_SCALAR
    const D8 d8;
    const hn::Repartition<uint64_t, D8> d64;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d8));
    if (width >= lanes) {
        const V8 one = hn::Set(d8, 1);
        const V64 zero64 = hn::Zero(d64);
        Above4 a{hn::Set(d8, levels[0]),
                 hn::Set(d8, levels[1]),
                 hn::Set(d8, levels[2]),
                 hn::Set(d8, levels[3]),
                 hn::Zero(d8),
                 hn::Zero(d8),
                 hn::Zero(d8),
                 hn::Zero(d8),
                 zero64,
                 zero64,
                 zero64,
                 zero64};
        // A row's last vector ends at its end, its lanes before the width's
        // remainder left out.
        const int32_t rest = width % lanes;
        const V8 keepLast = hn::LoadU(d8, kKeepLast + (kKeepFrom - lanes + rest));
        for (int32_t y = 0; y < height; ++y) {
            const uint8_t* row = luma + stride * y;
            int32_t x = 0;
            for (; x + lanes <= width; x += lanes) a.add(hn::LoadU(d8, row + x), one);
            if (rest != 0) a.add(hn::LoadU(d8, row + width - lanes), keepLast);
        }
        a.flush();
        above[0] += static_cast<int64_t>(hn::GetLane(hn::SumOfLanes(d64, a.sum0)));
        above[1] += static_cast<int64_t>(hn::GetLane(hn::SumOfLanes(d64, a.sum1)));
        above[2] += static_cast<int64_t>(hn::GetLane(hn::SumOfLanes(d64, a.sum2)));
        above[3] += static_cast<int64_t>(hn::GetLane(hn::SumOfLanes(d64, a.sum3)));
        return;
    }
#endif
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = luma + stride * y;
        for (int32_t x = 0; x < width; ++x) {
            for (int k = 0; k < 4; ++k) above[k] += row[x] > levels[k] ? 1 : 0;
        }
    }
}

int64_t RobertsEnergy(const uint8_t* up, const uint8_t* row, int32_t width) {
    int64_t energy = 0;
    int32_t x = 1;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<int16_t> d16;
    const hn::Repartition<int32_t, decltype(d16)> d32;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d16));
    // Each vector adds at most 4 x 255^2 to a 32-bit lane: 128 of them stay
    // far below 2^31, then the lanes are summed in 64 bits.
    while (x + lanes <= width) {
        auto sum0 = hn::Zero(d32), sum1 = hn::Zero(d32);
        for (int k = 0; k < 128 && x + lanes <= width; ++k, x += lanes) {
            const auto a = hn::Sub(hn::PromoteTo(d16, hn::LoadU(d8, up + x - 1)),
                                   hn::PromoteTo(d16, hn::LoadU(d8, row + x)));
            const auto b = hn::Sub(hn::PromoteTo(d16, hn::LoadU(d8, up + x)),
                                   hn::PromoteTo(d16, hn::LoadU(d8, row + x - 1)));
            sum0 = hn::ReorderWidenMulAccumulate(d32, a, a, sum0, sum1);
            sum0 = hn::ReorderWidenMulAccumulate(d32, b, b, sum0, sum1);
        }
        const hn::Repartition<int64_t, decltype(d32)> d64;
        const auto total =
            hn::Add(hn::Add(hn::PromoteTo(d64, hn::LowerHalf(sum0)),
                            hn::PromoteTo(d64, hn::UpperHalf(hn::Half<decltype(d32)>(), sum0))),
                    hn::Add(hn::PromoteTo(d64, hn::LowerHalf(sum1)),
                            hn::PromoteTo(d64, hn::UpperHalf(hn::Half<decltype(d32)>(), sum1))));
        energy += hn::GetLane(hn::SumOfLanes(d64, total));
    }
#endif
    for (; x < width; ++x) {
        const int32_t a = static_cast<int32_t>(up[x - 1]) - row[x];
        const int32_t b = static_cast<int32_t>(up[x]) - row[x - 1];
        energy += a * a + b * b;
    }
    return energy;
}

int64_t CountEqualEveryFourth(const uint8_t* a, const uint8_t* b, int32_t width) {
    int64_t count = 0;
    int32_t x = 0;
#if HWY_TARGET != HWY_SCALAR
    // Four bytes to a 32-bit lane: its low byte is the column that counts
    // (x86 is little-endian), and a vector starts on a multiple of four.
    const hn::ScalableTag<uint32_t> d32;
    const hn::Repartition<uint8_t, decltype(d32)> d8;
    const int32_t bytes = static_cast<int32_t>(hn::Lanes(d8));
    const auto low = hn::Set(d32, 0xFFu);
    for (; x + bytes <= width; x += bytes) {
        const auto differ =
            hn::Xor(hn::BitCast(d32, hn::LoadU(d8, a + x)), hn::BitCast(d32, hn::LoadU(d8, b + x)));
        count +=
            static_cast<int64_t>(hn::CountTrue(d32, hn::Eq(hn::And(differ, low), hn::Zero(d32))));
    }
#endif
    for (; x < width; x += 4) count += a[x] == b[x] ? 1 : 0;
    return count;
}

void KeepWithin(const uint8_t* row, const uint8_t* top, int32_t width, int32_t tolerance,
                uint8_t* same) {
    int32_t x = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d8;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d8));
    const auto limit = hn::Set(d8, static_cast<uint8_t>(tolerance));
    const auto one = hn::Set(d8, 1);
    for (; x + lanes <= width; x += lanes) {
        const auto a = hn::LoadU(d8, row + x);
        const auto b = hn::LoadU(d8, top + x);
        const auto distance = hn::Or(hn::SaturatedSub(a, b), hn::SaturatedSub(b, a));
        const auto near = hn::Not(hn::Gt(distance, limit));
        hn::StoreU(hn::And(hn::LoadU(d8, same + x), hn::IfThenElseZero(near, one)), d8, same + x);
    }
#endif
    for (; x < width; ++x) {
        if (std::abs(static_cast<int>(row[x]) - top[x]) > tolerance) same[x] = 0;
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::qc::counts_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumaqc::qc {

namespace counts_simd {
HWY_EXPORT(CountAbove4);
HWY_EXPORT(RobertsEnergy);
HWY_EXPORT(CountEqualEveryFourth);
HWY_EXPORT(KeepWithin);
}  // namespace counts_simd

void countAbove4(const uint8_t* luma, int32_t width, int32_t height, int64_t stride,
                 const uint8_t levels[4], int64_t above[4]) {
    HWY_DYNAMIC_DISPATCH(counts_simd::CountAbove4)(luma, width, height, stride, levels, above);
}

int64_t robertsEnergy(const uint8_t* up, const uint8_t* row, int32_t width) {
    return HWY_DYNAMIC_DISPATCH(counts_simd::RobertsEnergy)(up, row, width);
}

int64_t countEqualEveryFourth(const uint8_t* a, const uint8_t* b, int32_t width) {
    return HWY_DYNAMIC_DISPATCH(counts_simd::CountEqualEveryFourth)(a, b, width);
}

void keepWithin(const uint8_t* row, const uint8_t* top, int32_t width, int32_t tolerance,
                uint8_t* same) {
    HWY_DYNAMIC_DISPATCH(counts_simd::KeepWithin)(row, top, width, tolerance, same);
}

}  // namespace lumaqc::qc
#endif  // HWY_ONCE
