// Sobel gradient energy and squared-difference energy.
#include "toolkit/activity.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace lumaqc {

double spatialAct(const Image& img) {
    if (img.w < 3 || img.h < 3) return 0.0;

    const std::ptrdiff_t w = img.w;
    // Every term is a whole number below 2^22 and the total stays below 2^53
    // for any picture that fits in memory, so an integer sum converted once is
    // the same as a running floating-point sum.
    uint64_t sum = 0;
    for (int32_t y = 1; y < img.h - 1; ++y) {
        const uint8_t* up = img.data + (y - 1) * w;
        const uint8_t* mid = up + w;
        const uint8_t* down = mid + w;
        int64_t rowSum = 0;
        for (std::ptrdiff_t x = 1; x < w - 1; ++x) {
            const int32_t gx = (up[x + 1] - up[x - 1]) + 2 * (mid[x + 1] - mid[x - 1]) +
                               (down[x + 1] - down[x - 1]);
            const int32_t gy =
                (down[x - 1] - up[x - 1]) + 2 * (down[x] - up[x]) + (down[x + 1] - up[x + 1]);
            rowSum += gx * gx + gy * gy;
        }
        sum += static_cast<uint64_t>(rowSum);
    }
    return std::sqrt(static_cast<double>(sum));
}

double temporalAct(const Image& a, const Image& b) {
    if (a.w <= 0 || a.h <= 0) return 0.0;
    LUMAQC_CHECK(static_cast<int64_t>(b.w) * b.h >= static_cast<int64_t>(a.w) * a.h);

    const std::size_t n = static_cast<std::size_t>(a.w) * static_cast<std::size_t>(a.h);
    uint64_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const int32_t d = static_cast<int32_t>(a.data[i]) - static_cast<int32_t>(b.data[i]);
        sum += static_cast<uint64_t>(d * d);
    }
    return std::sqrt(static_cast<double>(sum));
}

}  // namespace lumaqc
