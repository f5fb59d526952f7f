// Block sums and sample-wise comparison and division.
#include "toolkit/blocks.h"

#include <cstddef>
#include <cstdint>

namespace lumaqc {

void blockSums(const Image& src, Image32& dst, int32_t bw, int32_t bh) {
    if (bw <= 0 || bh <= 0) return;
    const ptrdiff_t stride = src.w;
    // Walk the source row by row in memory order; each row adds its segments
    // into the destination row of the block row it belongs to.
    for (int32_t by = 0; by < dst.h; ++by) {
        int32_t* sums = dst.data + static_cast<ptrdiff_t>(by) * dst.w;
        for (int32_t r = 0; r < bh; ++r) {
            const uint8_t* s = src.data + (static_cast<ptrdiff_t>(by) * bh + r) * stride;
            for (int32_t bx = 0; bx < dst.w; ++bx) {
                int32_t sum = 0;
                for (int32_t k = 0; k < bw; ++k) sum += s[k];
                s += bw;
                sums[bx] += sum;
            }
        }
    }
}

void compareShifted(const Image& src, Image& dst, int32_t offset) {
    for (int32_t y = 0; y < dst.h; ++y) {
        const uint8_t* s = src.data + static_cast<ptrdiff_t>(y) * src.w;
        const uint8_t* t = s + offset;
        uint8_t* d = dst.data + static_cast<ptrdiff_t>(y) * dst.w;
        for (int32_t x = 0; x < dst.w; ++x) d[x] = s[x] == t[x] ? 1 : 0;
    }
}

void divideDouble(const ImageDouble& a, const ImageDouble& b, ImageDouble& out) {
    const int64_t n = static_cast<int64_t>(a.w) * a.h;
    if (n <= 0) return;
    for (int64_t i = 0; i < n; ++i) out.data[i] = a.data[i] / b.data[i];
}

}  // namespace lumaqc
