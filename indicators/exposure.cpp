// Exposure: mean luma of the four darkest and the four brightest 8x8 blocks.
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "indicators/blockRows.h"
#include "indicators/indicators.h"

namespace lumaqc {

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

// Exposure from the sums of the blocks it visits, given one block row at a
// time: rowSums(by, blocksX) points at the first blocksX sums of block row by.
template <typename RowSums>
double exposureOf(int32_t w, int32_t h, RowSums rowSums) {
    double darkest[nBlSum];    // ascending
    double brightest[nBlSum];  // descending
    for (int32_t k = 0; k < nBlSum; ++k) {
        darkest[k] = MAX_BLOCK_SUM;
        brightest[k] = 0.0;
    }

    // Strict bounds: the last block column and row are not visited when the
    // side is a multiple of 8; sides of 8 or less visit nothing.
    const int32_t blocksX = w > B ? (w - 1) / B : 0;
    const int32_t blocksY = h > B ? (h - 1) / B : 0;
    if (blocksX > 0 && blocksY > 0) {
        // A sum enters a list only when it is strictly beyond the list's last
        // entry (an equal one would leave the same values). The lists hold
        // the same values whatever order the blocks are visited in.
        // The last entries of the two lists as integers (block sums are
        // whole numbers below 2^14), for a quick test of each block.
        auto darkLimit = static_cast<uint64_t>(darkest[nBlSum - 1]);
        auto brightLimit = static_cast<uint64_t>(brightest[nBlSum - 1]);
        auto visit = [&](uint64_t v) {
            if (v >= darkLimit && v <= brightLimit) return;
            const auto sum = static_cast<double>(static_cast<int32_t>(v));
            if (v < darkLimit) {
                insertSorted(darkest, sum, [](double a, double e) { return a <= e; });
                darkLimit = static_cast<uint64_t>(darkest[nBlSum - 1]);
            }
            if (v > brightLimit) {
                insertSorted(brightest, sum, [](double a, double e) { return a >= e; });
                brightLimit = static_cast<uint64_t>(brightest[nBlSum - 1]);
            }
        };
        for (int32_t by = 0; by < blocksY; ++by) {
            const auto* row = rowSums(by, blocksX);
            if constexpr (std::is_same_v<decltype(row), const uint32_t*>) {
                // Only the sums beyond the limits can change the lists: they
                // are found a vector at a time and visited in order. The
                // limits only tighten as the lists fill, so a sum within
                // them stays within them.
                constexpr int32_t kChunk = 256;
                uint32_t at[kChunk];
                for (int32_t b0 = 0; b0 < blocksX; b0 += kChunk) {
                    const int32_t n = blocksX - b0 < kChunk ? blocksX - b0 : kChunk;
                    const size_t found = valuesOutside(row + b0, static_cast<size_t>(n),
                                                       static_cast<uint32_t>(darkLimit),
                                                       static_cast<uint32_t>(brightLimit), at);
                    for (size_t k = 0; k < found; ++k) visit(row[b0 + at[k]]);
                }
            } else {
                for (int32_t bx = 0; bx < blocksX; ++bx) visit(row[bx]);
            }
        }
    }

    double total = 0.0;
    for (int32_t k = 0; k < nBlSum; ++k) total += darkest[k];
    for (int32_t k = 0; k < nBlSum; ++k) total += brightest[k];
    return total / (2.0 * nBlSum * B * B);
}

}  // namespace

double exposure(const Image& img) {
    // Block sums one block row at a time.
    thread_local std::vector<uint64_t> sums;
    const std::ptrdiff_t stride = img.w;
    return exposureOf(img.w, img.h, [&](int32_t by, int32_t blocksX) {
        if (sums.size() < static_cast<size_t>(blocksX)) sums.resize(static_cast<size_t>(blocksX));
        blockRowSums8(img.data + static_cast<std::ptrdiff_t>(by) * B * stride, stride, blocksX,
                      sums.data());
        return sums.data();
    });
}

double exposure(const BlockStats& stats) {
    return exposureOf(stats.w, stats.h, [&](int32_t by, int32_t) {
        return stats.sums.data() + static_cast<size_t>(by) * static_cast<size_t>(stats.blocksX);
    });
}

}  // namespace lumaqc
