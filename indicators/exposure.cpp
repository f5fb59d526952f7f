// Exposure: mean luma of the four darkest and the four brightest 8x8 blocks.
#include "indicators/exposure.h"

#include <cstddef>
#include <cstdint>

#include "indicators/indicators.h"

static_assert(nBlSum >= 1 && nBlSum <= TABSIZE);

namespace {

constexpr int32_t B = static_cast<int32_t>(BLOCKSIZE);
// Largest possible block sum, the starting value of the darkest list.
constexpr double MAX_BLOCK_SUM = 255.0 * B * B;

// Puts s at the first position k whose entry satisfies before(s, list[k]),
// shifting the entries from k on one place toward the end; the last drops out.
template <typename Before>
void insertSorted(double (&list)[nBlSum], double s, Before before) {
    for (int32_t k = 0; k < nBlSum; ++k) {
        if (before(s, list[k])) {
            for (int32_t j = nBlSum - 1; j > k; --j) list[j] = list[j - 1];
            list[k] = s;
            return;
        }
    }
}

}  // namespace

double exposure(const Image& img) {
    double darkest[nBlSum];    // ascending
    double brightest[nBlSum];  // descending
    for (int32_t k = 0; k < nBlSum; ++k) {
        darkest[k] = MAX_BLOCK_SUM;
        brightest[k] = 0.0;
    }

    const int32_t w = img.w;
    const int32_t h = img.h;
    // Strict bounds: the last block column and row are not visited when the
    // side is a multiple of 8; sides of 8 or less visit nothing.
    for (int32_t x = 0; x < w - B; x += B) {
        for (int32_t y = 0; y < h - B; y += B) {
            int32_t sum = 0;
            for (int32_t r = 0; r < B; ++r) {
                const uint8_t* p = img.data + static_cast<std::size_t>(y + r) * w + x;
                for (int32_t c = 0; c < B; ++c) sum += p[c];
            }
            const double s = sum;
            insertSorted(darkest, s, [](double v, double e) { return v <= e; });
            insertSorted(brightest, s, [](double v, double e) { return v >= e; });
        }
    }

    double total = 0.0;
    for (int32_t k = 0; k < nBlSum; ++k) total += darkest[k];
    for (int32_t k = 0; k < nBlSum; ++k) total += brightest[k];
    return total / (2.0 * nBlSum * B * B);
}
