// Pillarbox: how far identical columns reach in from the left edge.
#include <cstddef>
#include <cstdint>

#include "indicators/indicators.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/pillarbox.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumaqc::pillarbox_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// The first x < limit with row[x] != row[x + 1], or limit when there is none;
// row holds at least limit + 1 samples.
inline uint32_t firstStep(const uint8_t* row, uint32_t limit) {
    const auto end = static_cast<std::ptrdiff_t>(limit);
    std::ptrdiff_t x = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d8;
    const std::ptrdiff_t lanes = static_cast<std::ptrdiff_t>(hn::Lanes(d8));
    if (end >= lanes) {
        for (;; x += lanes) {
            // The last vector ends at limit, overlapping the one before.
            if (x + lanes > end) x = end - lanes;
            const auto step = hn::Ne(hn::LoadU(d8, row + x), hn::LoadU(d8, row + x + 1));
            const intptr_t first = hn::FindFirstTrue(d8, step);
            if (first >= 0) return static_cast<uint32_t>(x + first);
            if (x + lanes == end) return limit;
        }
    }
#endif
    for (; x < end; ++x) {
        if (row[x] != row[x + 1]) return static_cast<uint32_t>(x);
    }
    return limit;
}

// Number of leading columns x < half for which columns x and x + 1 are
// identical, over h >= 2 rows: the smallest first step of any row. The
// middle row goes first, as bars usually end before it.
uint32_t IdenticalColumns(const uint8_t* data, int32_t w, int32_t h, uint32_t half) {
    const std::ptrdiff_t stride = w;
    uint32_t count = firstStep(data + static_cast<std::ptrdiff_t>(h / 2) * stride, half);
    for (int32_t y = 0; y < h && count > 0; ++y) {
        count = firstStep(data + static_cast<std::ptrdiff_t>(y) * stride, count);
    }
    return count;
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::pillarbox_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace lumaqc {

namespace pillarbox_simd {
HWY_EXPORT(IdenticalColumns);
}  // namespace pillarbox_simd

double pillarbox(const Image& img) {
    // Half the width, rounded down; a picture under 2 columns gives 0 / 0.
    const uint32_t half = img.w > 0 ? static_cast<uint32_t>(img.w) / 2 : 0;
    // Pictures of 0 or 1 rows pass the column test everywhere. Otherwise the
    // column-pair test of checkPillarBar, done row by row.
    uint32_t count = half;
    if (img.h > 1 && half > 0) {
        count =
            HWY_DYNAMIC_DISPATCH(pillarbox_simd::IdenticalColumns)(img.data, img.w, img.h, half);
    }
    return static_cast<double>(count) / static_cast<double>(half);
}

}  // namespace lumaqc

#endif  // HWY_ONCE
