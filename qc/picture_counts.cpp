// The row counts of the bars and lost-band tests, vectorised: byte lanes
// compared and counted as masks, so every target gives the same integers.
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
HWY_EXPORT(CountEqualEveryFourth);
HWY_EXPORT(KeepWithin);
}  // namespace counts_simd

int64_t countEqualEveryFourth(const uint8_t* a, const uint8_t* b, int32_t width) {
    return HWY_DYNAMIC_DISPATCH(counts_simd::CountEqualEveryFourth)(a, b, width);
}

void keepWithin(const uint8_t* row, const uint8_t* top, int32_t width, int32_t tolerance,
                uint8_t* same) {
    HWY_DYNAMIC_DISPATCH(counts_simd::KeepWithin)(row, top, width, tolerance, same);
}

}  // namespace lumaqc::qc
#endif  // HWY_ONCE
