// Blackout as the plain toolkit composition: a picture of 8x8 block sums,
// then their smallest and largest.
#include <cstdint>

#include "indicators/indicators.h"
#include "reference/reference.h"

namespace lumaqc {

void minmax(const int32_t* values, uint32_t size, int32_t& minimum, int32_t& maximum) {
    LUMAQC_CHECK(size > 0);
    int32_t lo = values[0];
    int32_t hi = values[0];
    for (uint32_t i = 1; i < size; ++i) {
        const int32_t v = values[i];
        if (v >= hi) hi = v;
        if (v <= lo) lo = v;
    }
    minimum = lo;
    maximum = hi;
}

namespace reference {

uint8_t blackout(const Image& img) {
    const uint32_t bw = img.w > 0 ? static_cast<uint32_t>(img.w) / BLOCKSIZE : 0;
    const uint32_t bh = img.h > 0 ? static_cast<uint32_t>(img.h) / BLOCKSIZE : 0;
    Image32 sums = callocImage32(static_cast<int32_t>(bw), static_cast<int32_t>(bh));
    uint8_t flag = 0;
    if (bw > 0 && bh > 0) {
        blockSums(img, sums, static_cast<int32_t>(BLOCKSIZE), static_cast<int32_t>(BLOCKSIZE));
        int32_t minimum = 0;
        int32_t maximum = 0;
        minmax(sums.data, bw * bh, minimum, maximum);
        const int32_t range = maximum - minimum;
        flag = static_cast<double>(range) / (BLOCKSIZE * BLOCKSIZE) < THRESHOLD_BLACKOUT ? 1 : 0;
    }
    freeImage32(sums);
    return flag;
}

}  // namespace reference

}  // namespace lumaqc
