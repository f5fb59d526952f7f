// Blackout: flags a flat frame, whose 8x8 block means all lie within less than
// THRESHOLD_BLACKOUT grey levels of each other, whatever their level.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "indicators/blockRows.h"
#include "indicators/indicators.h"

namespace lumaqc {

namespace {

// The flag from the sums of the bw x bh whole blocks, given one block row at
// a time: rowSums(by) points at the bw sums of block row by. The spread
// only grows, so the scan stops as soon as it reaches the threshold:
// textured pictures are decided within their first block rows.
template <typename RowSums>
uint8_t blackoutOf(int32_t bw, int32_t bh, RowSums rowSums) {
    // A picture without a whole block has no block means to compare and is
    // not flagged.
    if (bw == 0 || bh == 0) return 0;
    int32_t minimum = 0;
    int32_t maximum = 0;
    for (int32_t by = 0; by < bh; ++by) {
        const auto* sums = rowSums(by);
        if (by == 0) minimum = maximum = static_cast<int32_t>(sums[0]);
        for (int32_t bx = 0; bx < bw; ++bx) {
            const int32_t v = static_cast<int32_t>(sums[bx]);
            minimum = v < minimum ? v : minimum;
            maximum = v > maximum ? v : maximum;
        }
        const int32_t range = maximum - minimum;
        if (!(static_cast<double>(range) / (BLOCKSIZE * BLOCKSIZE) < THRESHOLD_BLACKOUT)) return 0;
    }
    return 1;
}

}  // namespace

uint8_t blackout(const Image& img) {
    const int32_t bw =
        img.w > 0 ? static_cast<int32_t>(static_cast<uint32_t>(img.w) / BLOCKSIZE) : 0;
    const int32_t bh =
        img.h > 0 ? static_cast<int32_t>(static_cast<uint32_t>(img.h) / BLOCKSIZE) : 0;
    // Block sums one block row at a time.
    thread_local std::vector<uint64_t> sums;
    if (sums.size() < static_cast<size_t>(bw)) sums.resize(static_cast<size_t>(bw));
    const std::ptrdiff_t stride = img.w;
    return blackoutOf(bw, bh, [&](int32_t by) {
        blockRowSums8(img.data + static_cast<std::ptrdiff_t>(by) * BLOCKSIZE * stride, stride, bw,
                      sums.data());
        return sums.data();
    });
}

uint8_t blackout(const BlockStats& stats) {
    return blackoutOf(stats.blocksX, stats.blocksY, [&](int32_t by) {
        return stats.sums.data() + static_cast<size_t>(by) * static_cast<size_t>(stats.blocksX);
    });
}

}  // namespace lumaqc
