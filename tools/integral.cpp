#include "tools/integral.h"

#include <cstddef>
#include <cstdint>

namespace lumaqc {

// Sums wrap modulo 2^32 instead of overflowing: they are accumulated unsigned
// and converted back to signed at the end.

int32_t sumPixels(const Image& img) {
    const int64_t n = static_cast<int64_t>(img.w) * img.h;
    uint32_t sum = 0;
    for (int64_t i = 0; i < n; ++i) {
        sum += img.data[i];
    }
    return static_cast<int32_t>(sum);
}

int32_t sumH(const uint8_t* p, int32_t a, int32_t b) {
    const int64_t n = static_cast<int64_t>(a) * b;
    uint32_t sum = 0;
    for (int64_t i = 0; i < n; ++i) {
        sum += p[i];
    }
    return static_cast<int32_t>(sum);
}

int32_t sumV(const uint8_t* p, int32_t n, int32_t m) {
    if (n <= 0 || m <= 0) {
        return 0;
    }
    uint32_t sum = 0;
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t j = 0; j < m; ++j) {
            sum += p[static_cast<std::size_t>(i) + static_cast<std::size_t>(j) * n];
        }
    }
    return static_cast<int32_t>(sum);
}

void integrate(const Image& src, Image32& integ) {
    const int32_t w = src.w;
    const int32_t h = src.h;
    if (w <= 0 || h <= 0) {
        return;
    }

    // Row 0: running sum along the row.
    uint32_t r = 0;
    for (int32_t x = 0; x < w; ++x) {
        r += src.data[x];
        integ.data[x] = static_cast<int32_t>(r);
    }
    // Later rows: running row sum plus the integral value above.
    for (int32_t y = 1; y < h; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
        const uint8_t* s = src.data + row;
        int32_t* cur = integ.data + row;
        const int32_t* up = cur - w;
        r = 0;
        for (int32_t x = 0; x < w; ++x) {
            r += s[x];
            cur[x] = static_cast<int32_t>(static_cast<uint32_t>(up[x]) + r);
        }
    }
}

void onlyCopy(const Image& src, Image& dest) {
    const int32_t w = src.w;
    const int32_t h = src.h;
    if (w <= 0 || h <= 0) {
        return;
    }
    for (int32_t y = 0; y < h; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
        const uint8_t* s = src.data + row;
        uint8_t* d = dest.data + row;
        for (int32_t x = 0; x < w; ++x) {
            d[x] = s[x];
        }
    }
}

namespace {

// Writes 0 into every block of the grid; used for empty blocks, whose corners
// would lie outside the integral picture.
void zeroGrid(Image32& out) {
    const int64_t n = static_cast<int64_t>(out.w) * out.h;
    for (int64_t i = 0; i < n; ++i) {
        out.data[i] = 0;
    }
}

}  // namespace

void blockSumsInteg(const Image32& integ, Image32& out, int32_t bw, int32_t bh) {
    if (out.w <= 0 || out.h <= 0) {
        return;
    }
    if (bw <= 0 || bh <= 0) {
        zeroGrid(out);
        return;
    }
    const std::size_t stride = static_cast<std::size_t>(integ.w);
    for (int32_t by = 0; by < out.h; ++by) {
        const int32_t y0 = by * bh;
        const int32_t y1 = y0 + bh - 1;
        const int32_t* bottom = integ.data + static_cast<std::size_t>(y1) * stride;
        const int32_t* above =
            by > 0 ? integ.data + static_cast<std::size_t>(y0 - 1) * stride : nullptr;
        int32_t* o = out.data + static_cast<std::size_t>(by) * static_cast<std::size_t>(out.w);
        for (int32_t bx = 0; bx < out.w; ++bx) {
            const int32_t x0 = bx * bw;
            const int32_t x1 = x0 + bw - 1;
            uint32_t sum = static_cast<uint32_t>(bottom[x1]);
            if (bx > 0) {
                sum -= static_cast<uint32_t>(bottom[x0 - 1]);
            }
            if (by > 0) {
                sum -= static_cast<uint32_t>(above[x1]);
                if (bx > 0) {
                    sum += static_cast<uint32_t>(above[x0 - 1]);
                }
            }
            o[bx] = static_cast<int32_t>(sum);
        }
    }
}

void blockSumsInteg2(const Image& integ, Image32& out, int32_t bw, int32_t bh) {
    if (out.w <= 0 || out.h <= 0) {
        return;
    }
    if (bw <= 0 || bh <= 0) {
        zeroGrid(out);
        return;
    }
    const std::size_t stride = static_cast<std::size_t>(integ.w);
    for (int32_t by = 0; by < out.h; ++by) {
        const int32_t y0 = by * bh;
        const int32_t y1 = y0 + bh - 1;
        const uint8_t* bottom = integ.data + static_cast<std::size_t>(y1) * stride;
        const uint8_t* above =
            by > 0 ? integ.data + static_cast<std::size_t>(y0 - 1) * stride : nullptr;
        int32_t* o = out.data + static_cast<std::size_t>(by) * static_cast<std::size_t>(out.w);
        // Left-hand corners of the current block: the previous block's
        // right-hand ones, 0 for the first block of the row (no column left).
        int32_t leftBottom = 0;
        int32_t leftAbove = 0;
        for (int32_t bx = 0; bx < out.w; ++bx) {
            const int32_t x1 = bx * bw + bw - 1;
            const int32_t rightBottom = bottom[x1];
            const int32_t rightAbove = by > 0 ? above[x1] : 0;
            o[bx] = rightBottom - leftBottom - rightAbove + leftAbove;
            leftBottom = rightBottom;
            leftAbove = rightAbove;
        }
    }
}

}  // namespace lumaqc
