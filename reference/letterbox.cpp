// Letterbox as the plain composition: the row-pair test from the outside in.
#include "indicators/letterbox.h"

#include <cstdint>

#include "reference/reference.h"

namespace reference {

double letterbox(const Image& img) {
    const uint32_t half = img.h > 0 ? static_cast<uint32_t>(img.h) / 2 : 0;
    uint32_t count = 0;
    while (count < half && checkLetterBar(img.data, img.w, img.h, static_cast<int32_t>(count)))
        ++count;
    return static_cast<double>(count) / static_cast<double>(half);
}

}  // namespace reference
