// Interlace: share of 4x4 groups in which every column zigzags from row to row,
// the combing of two fields taken at different moments.
#include <cstddef>
#include <cstdint>

#include "indicators/indicators.h"
#include "indicators/structure.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/interlace.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumaqc::interlace_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// Strict alternation up-down-up or down-up-down; equal neighbours break it.
inline bool zigzags(uint8_t s0, uint8_t s1, uint8_t s2, uint8_t s3) {
    return (s0 < s1 && s1 > s2 && s2 < s3) || (s0 > s1 && s1 < s2 && s2 > s3);
}

// Number of combed 4x4 groups of a w x h picture from column `from` (a
// multiple of 4) on, partial groups at the right and bottom edges skipped.
// A vector tests the columns of several groups at once; a group counts when
// the test holds in all four of its 8-bit lanes, that is when its 32-bit
// lane is all ones.
uint64_t CombedGroups(const uint8_t* data, int32_t w, int32_t h, int32_t from) {
    constexpr int32_t G = INTERLACE_BLOCKSIZE;
    const std::ptrdiff_t stride = w;
    const std::ptrdiff_t groupsEnd = static_cast<std::ptrdiff_t>(w / G) * G;
    uint64_t count = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint32_t, decltype(d8)> d32;
    const std::ptrdiff_t lanes = static_cast<std::ptrdiff_t>(hn::Lanes(d8));
    const auto allOnes = hn::Set(d32, 0xFFFFFFFFu);
#endif
    for (int32_t y = 0; y + G <= h; y += G) {
        const uint8_t* r0 = data + static_cast<std::ptrdiff_t>(y) * stride;
        const uint8_t* r1 = r0 + stride;
        const uint8_t* r2 = r1 + stride;
        const uint8_t* r3 = r2 + stride;
        std::ptrdiff_t x = from;
#if HWY_TARGET != HWY_SCALAR
        for (; x + lanes <= groupsEnd; x += lanes) {
            const auto s0 = hn::LoadU(d8, r0 + x);
            const auto s1 = hn::LoadU(d8, r1 + x);
            const auto s2 = hn::LoadU(d8, r2 + x);
            const auto s3 = hn::LoadU(d8, r3 + x);
            const auto upDownUp = hn::And(
                hn::And(hn::VecFromMask(d8, hn::Lt(s0, s1)), hn::VecFromMask(d8, hn::Gt(s1, s2))),
                hn::VecFromMask(d8, hn::Lt(s2, s3)));
            const auto downUpDown = hn::And(
                hn::And(hn::VecFromMask(d8, hn::Gt(s0, s1)), hn::VecFromMask(d8, hn::Lt(s1, s2))),
                hn::VecFromMask(d8, hn::Gt(s2, s3)));
            const auto combed = hn::BitCast(d32, hn::Or(upDownUp, downUpDown));
            count += hn::CountTrue(d32, hn::Eq(combed, allOnes));
        }
#endif
        for (; x < groupsEnd; x += G) {
            bool combed = true;
            for (std::ptrdiff_t k = x; k < x + G && combed; ++k) {
                combed = zigzags(r0[k], r1[k], r2[k], r3[k]);
            }
            if (combed) ++count;
        }
    }
    return count;
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::interlace_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace lumaqc {

namespace interlace_simd {
HWY_EXPORT(CombedGroups);
}  // namespace interlace_simd

namespace {

// The count is a whole number, the same as one added up in double precision
// group by group. Normalised by the number of 8x8 blocks; 0 for pictures
// under 8 samples on a side, which gives NaN or infinity.
double interlaceOf(uint64_t combed, int32_t w, int32_t h) {
    const uint32_t n =
        (static_cast<uint32_t>(h) / BLOCKSIZE) * (static_cast<uint32_t>(w) / BLOCKSIZE);
    return static_cast<double>(combed) / n;
}

}  // namespace

uint64_t combedGroups(const Image& img, int32_t y0, int32_t y1, int32_t from) {
    if (img.w < INTERLACE_BLOCKSIZE || y1 - y0 < INTERLACE_BLOCKSIZE) return 0;
    return HWY_DYNAMIC_DISPATCH(interlace_simd::CombedGroups)(
        img.data + static_cast<std::ptrdiff_t>(y0) * img.w, img.w, y1 - y0, from);
}

double interlace(const StructureSums& sums) {
    return interlaceOf(sums.combedGroups, sums.w, sums.h);
}

double interlace(const Image& img) {
    return interlaceOf(combedGroups(img, 0, img.h), img.w, img.h);
}

}  // namespace lumaqc

#endif  // HWY_ONCE
