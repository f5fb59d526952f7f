// Block loss as the plain toolkit composition: three full-size Roberts
// pictures, grid-sampled Roberts pairs, run counting per region.
#include <cstdint>
#include <initializer_list>

#include "reference/reference.h"

namespace lumaqc {

namespace reference {

double blockLoss(const Image& src) {
    const int32_t w = src.w;
    const int32_t h = src.h;
    if (h < BLOCKPROC_BLOCKSIZE || w < BLOCKPROC_BLOCKSIZE) {
        return -1.0;
    }

    const int32_t gridRows = h / BLOCKLOSS_BLOCKSIZE;
    const int32_t gridCols = w / BLOCKLOSS_BLOCKSIZE;
    const int32_t regionsX = w / BLOCKPROC_BLOCKSIZE;
    const int32_t regionsY = h / BLOCKPROC_BLOCKSIZE;

    // Roberts pairs across the horizontal grid lines (every column, one row
    // in 16) and across the vertical ones (every row, one column in 16).
    Image32 rowX = callocImage32(w, gridRows);
    Image32 rowY = callocImage32(w, gridRows);
    Image32 rowEnergy = callocImage32(w, gridRows);
    Image32 colX = callocImage32(gridCols, h);
    Image32 colY = callocImage32(gridCols, h);
    Image32 colEnergy = callocImage32(gridCols, h);
    Image32 fullX = callocImage32(w, h);
    Image32 fullY = callocImage32(w, h);
    Image32 fullEnergy = callocImage32(w, h);
    Image32 rowRuns = callocImage32(regionsX, regionsY);
    Image32 colRuns = callocImage32(regionsX, regionsY);
    Image32 colCounters = callocImage32(w, 1);
    Image32 products = callocImage32(regionsX, regionsY);

    robertsSkip(src, rowX, rowY, 1, BLOCKLOSS_BLOCKSIZE);
    robertsSkip(src, colX, colY, BLOCKLOSS_BLOCKSIZE, 1);
    roberts(src, fullX, fullY);

    addSquares32(rowX, rowY, rowEnergy);
    addSquares32(colX, colY, colEnergy);
    addSquares32(fullX, fullY, fullEnergy);

    // Six times the mean squared Roberts magnitude over all positions. The
    // energy sum and six times it stay below 2^53, so only the division
    // rounds: the threshold is the double nearest to 6 * sum / (w * h).
    const int64_t energySum = sumPixels32(fullEnergy);
    const uint32_t area = static_cast<uint32_t>(w) * static_cast<uint32_t>(h);
    const double threshold = static_cast<double>(energySum) *
                             static_cast<double>(BLOCKLOSS_EDGE_FACTOR) / static_cast<double>(area);

    // One 256 x 16 block of grid-row energies and one 16 x 256 block of
    // grid-column energies each cover exactly one region.
    countSeqsH(rowEnergy, rowRuns, BLOCKPROC_BLOCKSIZE, BLOCKPROC_BLOCKSIZE / BLOCKLOSS_BLOCKSIZE,
               threshold, EDGE_LENGTH);
    countSeqsV(colEnergy, colRuns, colCounters, BLOCKPROC_BLOCKSIZE / BLOCKLOSS_BLOCKSIZE,
               BLOCKPROC_BLOCKSIZE, threshold, EDGE_LENGTH);

    multiply(rowRuns, colRuns, products);
    const int64_t productSum = sumPixels32(products);
    const double result =
        static_cast<double>(productSum) / static_cast<double>(regionsX * regionsY);

    for (Image32* p : {&rowX, &rowY, &rowEnergy, &colX, &colY, &colEnergy, &fullX, &fullY,
                       &fullEnergy, &rowRuns, &colRuns, &colCounters, &products}) {
        freeImage32(*p);
    }
    return result;
}

}  // namespace reference

}  // namespace lumaqc
