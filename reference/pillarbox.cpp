// Pillarbox as the plain composition: the column-pair test from the left edge.
#include <cstddef>
#include <cstdint>

#include "reference/reference.h"

namespace lumaqc {

int32_t checkPillarBar(const uint8_t* data, int32_t W, int32_t H, int32_t x) {
    if (H <= 1) return 1;
    // Visit rows from both ends at once (0, H-1, 1, H-2, ...): a bar that
    // ends partway down the picture is found without a full column scan.
    int32_t lo = 0;
    int32_t hi = H - 1;
    while (lo <= hi) {
        const uint8_t* a = data + static_cast<std::ptrdiff_t>(lo) * W + x;
        if (a[0] != a[1]) return 0;
        if (hi != lo) {
            const uint8_t* b = data + static_cast<std::ptrdiff_t>(hi) * W + x;
            if (b[0] != b[1]) return 0;
        }
        ++lo;
        --hi;
    }
    return 1;
}

namespace reference {

double pillarbox(const Image& img) {
    const uint32_t half = img.w > 0 ? static_cast<uint32_t>(img.w) / 2 : 0;
    uint32_t count = 0;
    while (count < half && checkPillarBar(img.data, img.w, img.h, static_cast<int32_t>(count)))
        ++count;
    return static_cast<double>(count) / static_cast<double>(half);
}

}  // namespace reference

}  // namespace lumaqc
