// Letterbox: how far flat rows reach in from the top and bottom edges together.
#include <cstddef>
#include <cstdint>

#include "indicators/indicators.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/letterbox.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumaqc::letterbox_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// True when the w >= 2 samples of row all equal its first.
inline bool rowIsFlat(const uint8_t* row, std::ptrdiff_t w) {
    std::ptrdiff_t x = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d8;
    const std::ptrdiff_t lanes = static_cast<std::ptrdiff_t>(hn::Lanes(d8));
    if (w >= lanes) {
        const auto first = hn::Set(d8, row[0]);
        for (; x + lanes <= w; x += lanes) {
            if (!hn::AllTrue(d8, hn::Eq(hn::LoadU(d8, row + x), first))) return false;
        }
        // The last vector overlaps the one before.
        return hn::AllTrue(d8, hn::Eq(hn::LoadU(d8, row + w - lanes), first));
    }
#endif
    for (; x < w; ++x) {
        if (row[x] != row[0]) return false;
    }
    return true;
}

// Number of leading pairs (row y, row h - 1 - y), y < half, whose rows are
// both flat; w >= 2.
uint32_t FlatRowPairs(const uint8_t* data, int32_t w, int32_t h, uint32_t half) {
    const std::ptrdiff_t stride = w;
    uint32_t count = 0;
    while (count < half) {
        const uint8_t* top = data + static_cast<std::ptrdiff_t>(count) * stride;
        const uint8_t* bottom = data + (static_cast<std::ptrdiff_t>(h) - 1 - count) * stride;
        if (!rowIsFlat(top, stride) || !rowIsFlat(bottom, stride)) break;
        ++count;
    }
    return count;
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::letterbox_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace lumaqc {

namespace letterbox_simd {
HWY_EXPORT(FlatRowPairs);
}  // namespace letterbox_simd

double letterbox(const Image& img) {
    // Half the height, rounded down; a picture under 2 rows gives 0 / 0.
    const uint32_t half = img.h > 0 ? static_cast<uint32_t>(img.h) / 2 : 0;
    // Rows of width 0 or 1 are always flat. Otherwise the pair test of
    // checkLetterBar, vectorised.
    const uint32_t count = img.w <= 1 ? half
                                      : HWY_DYNAMIC_DISPATCH(letterbox_simd::FlatRowPairs)(
                                            img.data, img.w, img.h, half);
    return static_cast<double>(count) / static_cast<double>(half);
}

}  // namespace lumaqc

#endif  // HWY_ONCE
