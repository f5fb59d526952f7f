// Blockiness as the plain composition: one scalar pass per horizontal edge
// row and one column walk per vertical edge, with running sums that are not
// reset from edge to edge.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "indicators/indicators.h"
#include "reference/reference.h"

namespace lumaqc {

namespace reference {

namespace {

inline uint32_t absDiff(uint8_t a, uint8_t b) {
    return static_cast<uint32_t>(std::abs(static_cast<int32_t>(a) - static_cast<int32_t>(b)));
}

}  // namespace

double blockiness(const Image& img) {
    const int64_t w = img.w;
    const int64_t h = img.h;
    const int64_t b = BLOCKSIZE;

    uint64_t horInner = 0;
    uint64_t horAcross = 0;
    uint64_t runInner = 0;
    uint64_t runAcross = 0;
    for (int64_t y = b; y + b <= h; y += b) {
        const uint8_t* inner = img.data + (y - 2) * w;
        const uint8_t* last = inner + w;
        const uint8_t* next = last + w;
        for (int64_t x = 0; x < w; ++x) {
            runInner += absDiff(last[x], inner[x]);
            runAcross += absDiff(last[x], next[x]);
        }
        horInner += runInner;
        horAcross += runAcross;
    }

    uint64_t verInner = 0;
    uint64_t verAcross = 0;
    runInner = 0;
    runAcross = 0;
    for (int64_t x = b; x + b <= w; x += b) {
        const uint8_t* col = img.data + x;
        for (int64_t y = 0; y < h; ++y) {
            const uint8_t* p = col + y * w;
            runInner += absDiff(p[-1], p[-2]);
            runAcross += absDiff(p[-1], p[0]);
        }
        verInner += runInner;
        verAcross += runAcross;
    }

    const uint64_t inner = verInner + horInner;
    const uint64_t across = verAcross + horAcross;
    const double ratio = static_cast<double>(inner) / static_cast<double>(across);
    if (std::isnan(ratio)) return 1.0;
    return ratio;
}

}  // namespace reference

}  // namespace lumaqc
