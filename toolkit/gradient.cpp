#include "toolkit/gradient.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace lumaqc {

void gradient(const Image& src, Image32& destX, Image32& destY) {
    LUMAQC_CHECK(src.h == destX.h && src.w == destX.w);
    LUMAQC_CHECK(src.h == destY.h && src.w == destY.w);

    const int32_t w = src.w;
    const int32_t h = src.h;
    if (w <= 0 || h <= 0) {
        return;
    }

    for (int32_t x = 0; x < w; ++x) {
        destX.data[x] = 0;
        destY.data[x] = 0;
    }
    for (int32_t y = 1; y < h; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
        const uint8_t* cur = src.data + row;
        const uint8_t* up = cur - w;
        int32_t* dx = destX.data + row;
        int32_t* dy = destY.data + row;
        dx[0] = 0;
        dy[0] = 0;
        for (int32_t x = 1; x < w; ++x) {
            dx[x] = static_cast<int32_t>(cur[x]) - static_cast<int32_t>(cur[x - 1]);
            dy[x] = static_cast<int32_t>(cur[x]) - static_cast<int32_t>(up[x]);
        }
    }
}

void calculateStdDevs(const Image& src, Image32& blockSums, Image32& blockSquares,
                      ImageDouble& stdDevs, int bw, int bh) {
    const int32_t dw = blockSums.w;
    const int32_t dh = blockSums.h;
    const int32_t n = bw * bh;

    for (int32_t by = 0; by < dh; ++by) {
        int32_t* sums = blockSums.data + static_cast<std::size_t>(by) * dw;
        int32_t* squares = blockSquares.data + static_cast<std::size_t>(by) * dw;
        double* devs = stdDevs.data + static_cast<std::size_t>(by) * dw;

        // Accumulate the block row one source row at a time, in storage order.
        for (int32_t r = 0; r < bh; ++r) {
            const int32_t y = by * bh + r;
            const uint8_t* line = src.data + static_cast<std::size_t>(y) * src.w;
            for (int32_t bx = 0; bx < dw; ++bx) {
                const uint8_t* p = line + static_cast<std::size_t>(bx) * bw;
                int32_t s = 0;
                int32_t q = 0;
                for (int32_t i = 0; i < bw; ++i) {
                    const int32_t v = p[i];
                    s += v;
                    q += v * v;
                }
                sums[bx] += s;
                squares[bx] += q;
            }
        }

        for (int32_t bx = 0; bx < dw; ++bx) {
            // The squared sum exceeds 32 bits for bright 16x16 blocks.
            const int64_t s = sums[bx];
            const double s2 = static_cast<double>(s * s);
            const double variance = (static_cast<double>(squares[bx]) - s2 / n) / (n - 1.0);
            devs[bx] = std::sqrt(variance);
        }
    }
}

}  // namespace lumaqc
