// Blur as the plain toolkit composition: block deviations, full-size
// gradient and energy pictures, then the peak test and the ramp walk.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "reference/reference.h"

namespace lumaqc {

namespace reference {

namespace {

constexpr double EDGE_FACTOR = 16.0;
constexpr double RAMP_FACTOR = 0.0009765625;

}  // namespace

double blur(const Image& src) {
    const int32_t W = src.w;
    const int32_t H = src.h;
    const int32_t blocksX = W / BLUR_BLOCKSIZE;
    const int32_t blocksY = H / BLUR_BLOCKSIZE;

    ImageDouble deviations = callocImageDouble(blocksX, blocksY);
    Image32 blockSums = callocImage32(blocksX, blocksY);
    Image32 blockSquares = callocImage32(blocksX, blocksY);
    calculateStdDevs(src, blockSums, blockSquares, deviations, BLUR_BLOCKSIZE, BLUR_BLOCKSIZE);

    Image32 gx = callocImage32(W, H);
    Image32 gy = callocImage32(W, H);
    Image32 energy = callocImage32(W, H);
    gradient(src, gx, gy);
    const std::size_t n =
        (W > 0 && H > 0) ? static_cast<std::size_t>(W) * static_cast<std::size_t>(H) : 0;
    for (std::size_t i = 0; i < n; ++i) {
        energy.data[i] = gx.data[i] * gx.data[i];
    }

    const int64_t energySum = sumPixels32(energy);
    const double edgeThreshold = static_cast<double>(energySum) /
                                 (static_cast<double>(W) * static_cast<double>(H)) * EDGE_FACTOR;

    int64_t count = 0;
    int64_t total = 0;
    for (int32_t y = 1; y < H - 1; ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * static_cast<std::size_t>(W);
        const int32_t* e = energy.data + row;
        const int32_t* eUp = e - W;
        const int32_t* eDown = e + W;
        const int32_t* dx = gx.data + row;
        const int32_t* dy = gy.data + row;
        // Rows below the last whole block use the bottom block row.
        const int32_t by = blocksY > 0 ? std::min(y / BLUR_BLOCKSIZE, blocksY - 1) : 0;

        for (int32_t x = 1; x < W - 1; ++x) {
            const int32_t v = e[x];
            if (!(v > edgeThreshold)) {
                continue;
            }
            // Of a plateau of equal values only the last (rightmost or lowest)
            // is a peak.
            const bool horizontalPeak =
                e[x - 1] <= v && v > e[x + 1] && std::abs(dx[x]) >= std::abs(dy[x]);
            const bool verticalPeak = eUp[x] <= v && v > eDown[x];
            if (!horizontalPeak && !verticalPeak) {
                continue;
            }

            // Pixels outside the whole blocks take the nearest block; without
            // any block the threshold is 0.
            double rampThreshold = 0.0;
            if (blocksX > 0 && blocksY > 0) {
                const int32_t bx = std::min(x / BLUR_BLOCKSIZE, blocksX - 1);
                rampThreshold =
                    deviations.data[static_cast<std::size_t>(by) * blocksX + bx] * RAMP_FACTOR;
            }

            // Measure the ramp on the edge's own sign: a falling edge is
            // walked on the negated differences.
            const int32_t into = dx[x];
            const int32_t outOf = dx[x + 1];
            const int32_t sign = (into < 0 || outOf < 0) ? -1 : 1;

            ++count;

            int32_t right = 0;
            if (sign * dx[x + 1] > rampThreshold && x < W - 2) {
                const int32_t maxRight = W - 2 - x;
                while (right < maxRight && sign * dx[x + 1 + right] > rampThreshold) {
                    ++right;
                }
            }
            int32_t left = 0;
            if (sign * dx[x] > rampThreshold && x > 1) {
                const int32_t maxLeft = x - 1;
                while (left < maxLeft && sign * dx[x - left] > rampThreshold) {
                    ++left;
                }
            }
            total += right + left;
        }
    }

    const double result =
        total == 0 ? 0.0 : static_cast<double>(total) / static_cast<double>(count);

    freeImageDouble(deviations);
    freeImage32(blockSums);
    freeImage32(blockSquares);
    freeImage32(gx);
    freeImage32(gy);
    freeImage32(energy);
    return result;
}

}  // namespace reference

}  // namespace lumaqc
