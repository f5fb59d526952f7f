// Slice as the plain toolkit composition: full match pictures, strip sums,
// rates and a sort of the ratios.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "reference/reference.h"

namespace lumaqc {

int compare_Double_asc(const void* a, const void* b) {
    const double x = *static_cast<const double*>(a);
    const double y = *static_cast<const double*>(b);
    const bool xNaN = std::isnan(x);
    const bool yNaN = std::isnan(y);
    if (xNaN || yNaN) return static_cast<int>(xNaN) - static_cast<int>(yNaN);
    if (x < y) return -1;
    if (x > y) return 1;
    return 0;
}

namespace reference {

double slice(const Image& img) {
    const int32_t w = img.w;
    const int32_t h = img.h;
    // Under 48 rows too few strips take part; 16 columns or fewer leave
    // nothing to compare sideways.
    if (h <= 47 || w <= SLICE_BLOCKSIZE) return -1.0;

    const int32_t nV = (h - SLICE_BLOCKSIZE) >> 4;
    const int32_t nH = h >> 4;
    Image vMatch = callocImage(w, h - SLICE_BLOCKSIZE);
    Image hMatch = callocImage(w - SLICE_BLOCKSIZE, h);
    Image32 vCounts = callocImage32(1, nV);
    Image32 hCounts = callocImage32(1, nH);
    ImageDouble vRates = callocImageDouble(1, nV);
    ImageDouble hRates = callocImageDouble(1, nH);
    ImageDouble ratios = callocImageDouble(1, nV);

    // 1 where a sample equals the one 16 rows below / 16 columns to the right.
    compareShifted(img, vMatch, SLICE_BLOCKSIZE * w);
    compareShifted(img, hMatch, SLICE_BLOCKSIZE);
    // Matches per strip of 16 rows.
    blockSums(vMatch, vCounts, w, SLICE_BLOCKSIZE);
    blockSums(hMatch, hCounts, w - SLICE_BLOCKSIZE, SLICE_BLOCKSIZE);

    const int32_t vPositions = SLICE_BLOCKSIZE * w;
    const int32_t hPositions = SLICE_BLOCKSIZE * (w - SLICE_BLOCKSIZE);
    for (int32_t k = 0; k < nV; ++k)
        vRates.data[k] = static_cast<double>(vCounts.data[k]) / vPositions;
    for (int32_t k = 0; k < nH; ++k)
        hRates.data[k] = static_cast<double>(hCounts.data[k]) / hPositions;
    // Only the first nV strips have both rates; the last horizontal one is unused.
    divideDouble(vRates, hRates, ratios);

    // Strips where neither direction repeats give 0 / 0 and are left out: they
    // sort last, so the first ratio is the smallest number, or not-a-number
    // when every strip is like that.
    std::qsort(ratios.data, static_cast<size_t>(nV), sizeof(double), compare_Double_asc);
    const double result = 1.0 / ratios.data[0];

    freeImage(vMatch);
    freeImage(hMatch);
    freeImage32(vCounts);
    freeImage32(hCounts);
    freeImageDouble(vRates);
    freeImageDouble(hRates);
    freeImageDouble(ratios);
    return result;
}

}  // namespace reference

}  // namespace lumaqc
