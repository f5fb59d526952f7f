// Pillarbox as the plain composition: the column-pair test from the left edge.
#include "indicators/pillarbox.h"

#include <cstdint>

#include "reference/reference.h"

namespace reference {

double pillarbox(const Image& img) {
    const uint32_t half = img.w > 0 ? static_cast<uint32_t>(img.w) / 2 : 0;
    uint32_t count = 0;
    while (count < half && checkPillarBar(img.data, img.w, img.h, static_cast<int32_t>(count)))
        ++count;
    return static_cast<double>(count) / static_cast<double>(half);
}

}  // namespace reference
