// Noise as the plain toolkit composition: block deviations, histogram mode,
// a container of the selected blocks, the smoothing filter and the residual
// deviations.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "reference/reference.h"

namespace lumaqc {

int compare(const void* a, const void* b) {
    const double x = *static_cast<const double*>(a);
    const double y = *static_cast<const double*>(b);
    if (x < y) return -1;
    if (x > y) return 1;
    return 0;
}

namespace reference {

namespace {

constexpr int32_t NOISE_BLOCKSIZE = 8;

int32_t binOf(double v) {
    const double r = std::round(v);
    if (!(r >= 0.0)) return 0;
    if (r > HISTOGRAM_ENTRIES - 2) return HISTOGRAM_ENTRIES - 2;
    return static_cast<int32_t>(r);
}

}  // namespace

double noise(const Image& img) {
    const int32_t B = NOISE_BLOCKSIZE;
    const int32_t W8 = static_cast<int32_t>(static_cast<uint32_t>(img.w) >> 3);
    const int32_t H8 = static_cast<int32_t>(static_cast<uint32_t>(img.h) >> 3);
    // No whole block: the centre is undefined and the frame counts as clean.
    if (W8 == 0 || H8 == 0) return 0.0;

    // 1. Sample standard deviation of every 8x8 block.
    Image32 blockSums = callocImage32(W8, H8);
    Image32 blockSquares = callocImage32(W8, H8);
    ImageDouble devs = callocImageDouble(W8, H8);
    calculateStdDevs(img, blockSums, blockSquares, devs, B, B);
    freeImage32(blockSums);
    freeImage32(blockSquares);

    // 2-3. Histogram of the rounded deviations and its mode; among equal
    // counts the bin that reached the count first wins.
    uint32_t hist[HISTOGRAM_ENTRIES] = {};
    int32_t mode = 0;
    const std::size_t nBlocks = static_cast<std::size_t>(W8) * static_cast<std::size_t>(H8);
    for (std::size_t k = 0; k < nBlocks; ++k) {
        const int32_t i = binOf(devs.data[k]);
        ++hist[i];
        if (hist[i] > hist[mode]) mode = i;
    }

    // 4-6. Count-weighted centre of the mode bin and its two neighbours.
    const uint32_t m = mode == 0 ? 1u : static_cast<uint32_t>(mode);
    const uint32_t nBelow = hist[m - 1];
    const uint32_t nAt = hist[m];
    const uint32_t nAbove = hist[m + 1];
    const uint32_t numerator = (m - 1) * nBelow + m * nAt + (m + 1) * nAbove;
    const uint32_t denominator = nBelow + nAt + nAbove;
    const double centre = static_cast<double>(numerator) / static_cast<double>(denominator);
    const int32_t f = static_cast<int32_t>(std::floor(centre));
    const int32_t r = static_cast<int32_t>(std::round(centre));

    // 7. A centre below one half: a flat frame, nothing to measure.
    if (r == 0) {
        freeImageDouble(devs);
        return 0.0;
    }

    // 8-9. Collect up to MAX_CONTAINER_WIDTH blocks whose deviation lies in the
    // unit window around the centre, side by side into one 8-row strip.
    const double fd = f;
    const double rd = r;
    const bool byFloor = f == r;
    Image container = callocImage(MAX_CONTAINER_WIDTH * B, B);
    int32_t n = 0;
    for (int32_t by = 0; by < H8 && n < MAX_CONTAINER_WIDTH; ++by) {
        for (int32_t bx = 0; bx < W8 && n < MAX_CONTAINER_WIDTH; ++bx) {
            const double v = devs.data[static_cast<std::size_t>(by) * W8 + bx];
            const bool qualifies = byFloor ? std::floor(v) == fd : std::round(v) == rd;
            if (!qualifies) continue;
            for (int32_t row = 0; row < B; ++row) {
                const uint8_t* from =
                    img.data + static_cast<std::size_t>(by * B + row) * img.w + bx * B;
                uint8_t* to = container.data + static_cast<std::size_t>(row) * container.w + n * B;
                for (int32_t c = 0; c < B; ++c) to[c] = from[c];
            }
            ++n;
        }
    }
    freeImageDouble(devs);

    // 10. Gaussian weights with sigma = r, deliberately not normalised to 1.
    const uint32_t r2 = static_cast<uint32_t>(r) * static_cast<uint32_t>(r);
    const double scale = 1.0 / (6.28 * r2);
    const double twoR2 = 2.0 * r2;
    ImageDouble kernel = callocImageDouble(GAUSSIAN_MASK_SIZE, GAUSSIAN_MASK_SIZE);
    const int32_t half = GAUSSIAN_MASK_SIZE / 2;
    for (int32_t i = -half; i <= half; ++i) {
        for (int32_t j = -half; j <= half; ++j) {
            const double e = std::exp(-(i * i + j * j) / twoR2);
            kernel.data[(i + half) * GAUSSIAN_MASK_SIZE + (j + half)] = e * scale;
        }
    }

    // 11-12. Smooth every collected block on its own.
    ImageDouble filtered = callocImageDouble(container.w, container.h);
    if (filter(container, filtered, kernel, static_cast<uint32_t>(n), B, B) != 0) {
        std::printf("Cannot filter the selected blocks! ");
        std::printf("Check the string above to see what is the problem.\n");
        freeImage(container);
        freeImageDouble(kernel);
        freeImageDouble(filtered);
        return -1.0;
    }

    // 13. Residual of the collected samples against their smoothed values.
    ImageDouble residual = allocImageDouble(n * B, B);
    for (int32_t row = 0; row < B; ++row) {
        const uint8_t* c = container.data + static_cast<std::size_t>(row) * container.w;
        const double* s = filtered.data + static_cast<std::size_t>(row) * filtered.w;
        double* d = residual.data + static_cast<std::size_t>(row) * residual.w;
        for (int32_t x = 0; x < residual.w; ++x) d[x] = static_cast<double>(c[x]) - s[x];
    }
    freeImage(container);
    freeImageDouble(filtered);

    // 14-15. Mean over the blocks of the residual deviation of each interior;
    // NaN when no block qualified.
    ImageDouble sums = callocImageDouble(n, 1);
    ImageDouble squares = callocImageDouble(n, 1);
    ImageDouble residualDevs = callocImageDouble(n, 1);
    calculateStdDevsDouble_ommitZeros(residual, sums, squares, residualDevs, kernel, B, B);
    double total = 0.0;
    for (int32_t k = 0; k < n; ++k) total += residualDevs.data[k];
    const double result = total / n;

    freeImageDouble(residual);
    freeImageDouble(kernel);
    freeImageDouble(sums);
    freeImageDouble(squares);
    freeImageDouble(residualDevs);
    return result;
}

}  // namespace reference

}  // namespace lumaqc
