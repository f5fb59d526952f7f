// Interlace as the plain composition: every 4x4 group tested column by
// column, counted in double precision.
#include <cstddef>
#include <cstdint>

#include "indicators/indicators.h"
#include "reference/reference.h"

namespace lumaqc {

namespace reference {

namespace {

inline bool zigzags(uint8_t s0, uint8_t s1, uint8_t s2, uint8_t s3) {
    return (s0 < s1 && s1 > s2 && s2 < s3) || (s0 > s1 && s1 < s2 && s2 > s3);
}

}  // namespace

double interlace(const Image& img) {
    const int32_t w = img.w;
    const int32_t h = img.h;
    const int32_t G = INTERLACE_BLOCKSIZE;
    const std::size_t stride = static_cast<std::size_t>(w);

    double count = 0.0;
    for (int32_t y = 0; y + G <= h; y += G) {
        const uint8_t* r0 = img.data + static_cast<std::size_t>(y) * stride;
        const uint8_t* r1 = r0 + stride;
        const uint8_t* r2 = r1 + stride;
        const uint8_t* r3 = r2 + stride;
        for (int32_t x = 0; x + G <= w; x += G) {
            bool combed = true;
            for (int32_t k = x; k < x + G && combed; ++k) {
                combed = zigzags(r0[k], r1[k], r2[k], r3[k]);
            }
            if (combed) count += 1.0;
        }
    }

    const uint32_t n =
        (static_cast<uint32_t>(h) / BLOCKSIZE) * (static_cast<uint32_t>(w) / BLOCKSIZE);
    return count / n;
}

}  // namespace reference

}  // namespace lumaqc
