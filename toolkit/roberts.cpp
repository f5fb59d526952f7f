#include "toolkit/roberts.h"

#include <cstddef>
#include <cstdint>

namespace lumaqc {

namespace {

// Number of samples of a picture as a wrapped 32-bit product, as the
// elementwise operations define it; never negative sizes in practice.
int32_t sampleCount32(const Image32& img) {
    return static_cast<int32_t>(static_cast<uint32_t>(img.w) * static_cast<uint32_t>(img.h));
}

std::size_t rowOffset(int32_t y, int32_t w) {
    return static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
}

}  // namespace

void roberts(const Image& src, Image32& destX, Image32& destY) {
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
        const uint8_t* cur = src.data + rowOffset(y, w);
        const uint8_t* up = cur - w;
        int32_t* dx = destX.data + rowOffset(y, w);
        int32_t* dy = destY.data + rowOffset(y, w);
        dx[0] = 0;
        dy[0] = 0;
        for (int32_t x = 1; x < w; ++x) {
            dx[x] = static_cast<int32_t>(up[x - 1]) - static_cast<int32_t>(cur[x]);
            dy[x] = static_cast<int32_t>(up[x]) - static_cast<int32_t>(cur[x - 1]);
        }
    }
}

void robertsSkip(const Image& src, Image32& destX, Image32& destY, int sx, int sy) {
    const int32_t dw = destX.w;
    const int32_t dh = destX.h;
    if (dw <= 0 || dh <= 0) {
        return;
    }

    for (int32_t i = 0; i < dw; ++i) {
        destX.data[i] = 0;
        destY.data[i] = 0;
    }
    for (int32_t j = 1; j < dh; ++j) {
        const int32_t row = sy * j;
        const uint8_t* cur = src.data + rowOffset(row, src.w);
        const uint8_t* up = cur - src.w;
        int32_t* dx = destX.data + rowOffset(j, dw);
        int32_t* dy = destY.data + rowOffset(j, dw);
        dx[0] = 0;
        dy[0] = 0;
        for (int32_t i = 1; i < dw; ++i) {
            const int32_t c = sx * i;
            dx[i] = static_cast<int32_t>(up[c - 1]) - static_cast<int32_t>(cur[c]);
            dy[i] = static_cast<int32_t>(up[c]) - static_cast<int32_t>(cur[c - 1]);
        }
    }
}

void addSquares32(const Image32& a, const Image32& b, Image32& dest) {
    const int32_t n = sampleCount32(a);
    for (int32_t i = 0; i < n; ++i) {
        // Unsigned arithmetic gives the two's-complement wrap without overflow.
        const uint32_t ai = static_cast<uint32_t>(a.data[i]);
        const uint32_t bi = static_cast<uint32_t>(b.data[i]);
        dest.data[i] = static_cast<int32_t>(ai * ai + bi * bi);
    }
}

void multiply(const Image32& a, const Image32& b, Image32& dest) {
    const int32_t n = sampleCount32(a);
    for (int32_t i = 0; i < n; ++i) {
        dest.data[i] = static_cast<int32_t>(static_cast<uint32_t>(a.data[i]) *
                                            static_cast<uint32_t>(b.data[i]));
    }
}

int64_t sumPixels32(const Image32& img) {
    const int32_t n = sampleCount32(img);
    int64_t sum = 0;
    for (int32_t i = 0; i < n; ++i) {
        sum += img.data[i];
    }
    return sum;
}

int countSeqsH(const Image32& src, Image32& dest, int bw, int bh, double t, int L) {
    const int32_t dw = dest.w;
    const int32_t dh = dest.h;
    for (int32_t by = 0; by < dh; ++by) {
        int32_t* cells = dest.data + rowOffset(by, dw);
        for (int32_t r = 0; r < bh; ++r) {
            const int32_t* line = src.data + rowOffset(by * bh + r, src.w);
            for (int32_t bx = 0; bx < dw; ++bx) {
                const int32_t* p = line + rowOffset(bx, bw);
                int32_t run = 0;
                for (int32_t i = 0; i < bw; ++i) {
                    if (static_cast<double>(p[i]) > t) {
                        if (++run == L) {
                            ++cells[bx];
                        }
                    } else {
                        run = 0;
                    }
                }
            }
        }
    }
    return 0;
}

int countSeqsV(const Image32& src, Image32& dest, Image32& counters, int bw, int bh, double t,
               int L) {
    const int32_t dw = dest.w;
    const int32_t dh = dest.h;
    int32_t* k = counters.data;
    for (int32_t by = 0; by < dh; ++by) {
        int32_t* cells = dest.data + rowOffset(by, dw);
        for (int32_t r = 0; r < bh; ++r) {
            const int32_t* line = src.data + rowOffset(by * bh + r, src.w);
            // A run never continues into the next block row.
            const bool lastRow = r == bh - 1;
            for (int32_t bx = 0; bx < dw; ++bx) {
                const int32_t x0 = bx * bw;
                for (int32_t x = x0; x < x0 + bw; ++x) {
                    if (static_cast<double>(line[x]) > t) {
                        if (++k[x] == L) {
                            ++cells[bx];
                        }
                    } else {
                        k[x] = 0;
                    }
                    if (lastRow) {
                        k[x] = 0;
                    }
                }
            }
        }
    }
    return 0;
}

}  // namespace lumaqc
