#include "tools/sobel.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "tools/gradient.h"

namespace lumaqc {

namespace {

// Set row 0, row h - 1, column 0 and column w - 1 to 0.
template <typename T>
void clearBorder(T* data, int32_t w, int32_t h) {
    if (w <= 0 || h <= 0) {
        return;
    }
    T* last = data + static_cast<std::size_t>(h - 1) * static_cast<std::size_t>(w);
    for (int32_t x = 0; x < w; ++x) {
        data[x] = 0;
        last[x] = 0;
    }
    for (int32_t y = 1; y < h - 1; ++y) {
        T* row = data + static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
        row[0] = 0;
        row[w - 1] = 0;
    }
}

// Sobel responses at interior pixel x of the row 'mid', with 'up' and 'down'
// the rows above and below.
inline int32_t sobelX(const uint8_t* up, const uint8_t* mid, const uint8_t* down, int32_t x) {
    return (up[x + 1] + 2 * mid[x + 1] + down[x + 1]) - (up[x - 1] + 2 * mid[x - 1] + down[x - 1]);
}

inline int32_t sobelY(const uint8_t* up, const uint8_t* down, int32_t x) {
    return (down[x - 1] + 2 * down[x] + down[x + 1]) - (up[x - 1] + 2 * up[x] + up[x + 1]);
}

}  // namespace

double sobel(const Image& src, Image32& destX, Image32& destY) {
    LUMAQC_CHECK(src.h == destX.h && src.w == destX.w);
    LUMAQC_CHECK(src.h == destY.h && src.w == destY.w);

    const int32_t w = src.w;
    const int32_t h = src.h;
    clearBorder(destX.data, w, h);
    clearBorder(destY.data, w, h);

    double energy = 0.0;
    for (int32_t y = 1; y < h - 1; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
        const uint8_t* mid = src.data + row;
        const uint8_t* up = mid - w;
        const uint8_t* down = mid + w;
        int32_t* dx = destX.data + row;
        int32_t* dy = destY.data + row;
        for (int32_t x = 1; x < w - 1; ++x) {
            const int32_t gx = sobelX(up, mid, down, x);
            const int32_t gy = sobelY(up, down, x);
            dx[x] = gx;
            dy[x] = gy;
            energy += static_cast<double>(gx * gx + gy * gy);
        }
    }
    return std::sqrt(energy);
}

int sobel2(const Image& src, Image& destX, Image& destY) {
    LUMAQC_CHECK(src.h == destX.h && src.w == destX.w);
    LUMAQC_CHECK(src.h == destY.h && src.w == destY.w);

    const int32_t w = src.w;
    const int32_t h = src.h;
    clearBorder(destX.data, w, h);
    clearBorder(destY.data, w, h);

    // Each pixel adds a magnitude of at most 360; the 64-bit total keeps the
    // per-pixel truncation exact and wraps only on return.
    int64_t total = 0;
    for (int32_t y = 1; y < h - 1; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
        const uint8_t* mid = src.data + row;
        const uint8_t* up = mid - w;
        const uint8_t* down = mid + w;
        uint8_t* dx = destX.data + row;
        uint8_t* dy = destY.data + row;
        for (int32_t x = 1; x < w - 1; ++x) {
            dx[x] = static_cast<uint8_t>(sobelX(up, mid, down, x));
            dy[x] = static_cast<uint8_t>(sobelY(up, down, x));
            const int32_t sx = dx[x];
            const int32_t sy = dy[x];
            total += static_cast<int64_t>(std::sqrt(static_cast<double>(sx * sx + sy * sy)));
        }
    }
    return static_cast<int>(static_cast<int32_t>(static_cast<uint32_t>(total)));
}

void absGradient(const Image& src, Image32& destX, Image32& destY) {
    LUMAQC_CHECK(src.h == destX.h && src.w == destX.w);
    LUMAQC_CHECK(src.h == destY.h && src.w == destY.w);

    gradient(src, destX, destY);
    const int64_t n = static_cast<int64_t>(src.w) * src.h;
    for (int64_t i = 0; i < n; ++i) {
        destX.data[i] = std::abs(destX.data[i]);
        destY.data[i] = std::abs(destY.data[i]);
    }
}

}  // namespace lumaqc
