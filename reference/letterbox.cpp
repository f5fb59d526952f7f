// Letterbox as the plain composition: the row-pair test from the outside in.
#include <cstddef>
#include <cstdint>

#include "reference/reference.h"

namespace lumaqc {

int32_t checkLetterBar(const uint8_t* data, int32_t W, int32_t H, int32_t y) {
    if (W <= 1) return 1;
    const uint8_t* top = data + static_cast<std::ptrdiff_t>(y) * W;
    const uint8_t* bottom = data + static_cast<std::ptrdiff_t>(H - 1 - y) * W;
    // Interleave the two scans so that a textured row is rejected early,
    // whichever of the pair it is.
    if (top[0] != top[1]) return 0;
    for (int32_t k = 2; k <= W; ++k) {
        if (bottom[k - 1] != bottom[0]) return 0;
        if (k < W && top[k - 1] != top[k]) return 0;
    }
    return 1;
}

namespace reference {

double letterbox(const Image& img) {
    const uint32_t half = img.h > 0 ? static_cast<uint32_t>(img.h) / 2 : 0;
    uint32_t count = 0;
    while (count < half && checkLetterBar(img.data, img.w, img.h, static_cast<int32_t>(count)))
        ++count;
    return static_cast<double>(count) / static_cast<double>(half);
}

}  // namespace reference

}  // namespace lumaqc
