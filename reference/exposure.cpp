// Exposure as the plain composition: block sums column by column, each
// inserted into a sorted list of the darkest and one of the brightest.
#include <cstddef>
#include <cstdint>

#include "indicators/indicators.h"
#include "reference/reference.h"

namespace lumaqc {

namespace reference {

namespace {

constexpr int32_t B = static_cast<int32_t>(BLOCKSIZE);
constexpr double MAX_BLOCK_SUM = 255.0 * B * B;

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
    double darkest[nBlSum];
    double brightest[nBlSum];
    for (int32_t k = 0; k < nBlSum; ++k) {
        darkest[k] = MAX_BLOCK_SUM;
        brightest[k] = 0.0;
    }

    const int32_t w = img.w;
    const int32_t h = img.h;
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

}  // namespace reference

}  // namespace lumaqc
