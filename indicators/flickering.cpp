// Flickering: how often blocks switch between changing and standing still.
//
// Each call updates the per-block switch counters and change states kept in
// the caller's TemporalState. Every framePeriod calls the indicator reports
// the mean switch count per call of the 3 % most switching blocks and starts
// a new period with all blocks still; the other calls report -1.0.
#include "indicators/flickering.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "indicators/indicators.h"

namespace {

// Mean absolute difference per sample at which a still block becomes changing.
constexpr double CHANGE_THRESHOLD = 0.0111;
// Fraction of the blocks, the most switching ones, that the rating averages.
constexpr double TOP_FRACTION = 0.03;

}  // namespace

int compareElements(const void* a, const void* b) {
    return static_cast<int32_t>(*static_cast<const uint8_t*>(b)) -
           static_cast<int32_t>(*static_cast<const uint8_t*>(a));
}

double flickering(const Image& current, const Image& previous, TemporalState& state) {
    const int32_t bw = current.w <= 0 ? 0 : static_cast<int32_t>(current.w / BLOCKSIZE);
    const int32_t bh = current.h <= 0 ? 0 : static_cast<int32_t>(current.h / BLOCKSIZE);
    ImageDouble levels = callocImageDouble(bw, bh);
    calculateFlickering(current, previous, state.switchCounters, state.changeStates, levels,
                        static_cast<int32_t>(BLOCKSIZE), CHANGE_THRESHOLD);
    freeImageDouble(levels);

    state.frameCount = state.frameCount + 1;
    if (state.frameCount != framePeriod) return -1.0;

    Image& counters = state.switchCounters;
    const uint32_t n = static_cast<uint32_t>(counters.w) * static_cast<uint32_t>(counters.h);
    if (n > 0) std::qsort(counters.data, n, sizeof(uint8_t), compareElements);

    // The product keeps the full 64-bit significand: the binary64 value of
    // 0.03 lies just below 3/100, so a block count that is a multiple of 100
    // yields one block fewer than 3 % (971 of 32,400).
    const auto k =
        static_cast<uint32_t>(static_cast<long double>(n) * static_cast<long double>(TOP_FRACTION));
    uint32_t sum = 0;
    for (uint32_t i = 0; i < k; ++i) sum += counters.data[i];

    state.frameCount = 0;
    // With no top block (fewer than 34 blocks) this is 0 / 0, not a number.
    const double result =
        static_cast<double>(sum) / static_cast<double>(k * static_cast<uint32_t>(framePeriod));

    if (n > 0) {
        std::memset(counters.data, 0, n);
        std::memset(state.changeStates.data, 0, n);
    }
    return result;
}
