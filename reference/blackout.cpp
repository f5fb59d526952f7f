// Blackout as the plain toolkit composition: a picture of 8x8 block sums,
// then their smallest and largest.
#include "indicators/blackout.h"

#include <cstdint>

#include "indicators/indicators.h"
#include "reference/reference.h"

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
