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
#include <vector>

#include "indicators/blockRows.h"
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
    Image& counters = state.switchCounters;
    Image& states = state.changeStates;
    LUMAQC_CHECK(previous.w == current.w && previous.h == current.h);
    LUMAQC_CHECK(states.w == counters.w && states.h == counters.h);
    LUMAQC_CHECK(bw == counters.w && bh == counters.h);

    // Block sums of absolute differences one block row at a time, each block
    // updated at once: no picture of change levels is kept.
    if (bw > 0 && bh > 0) {
        thread_local std::vector<uint64_t> sads;
        if (sads.size() < static_cast<size_t>(bw)) sads.resize(static_cast<size_t>(bw));
        const std::ptrdiff_t stride = current.w;
        const double area = static_cast<double>(BLOCKSIZE * BLOCKSIZE);
        for (int32_t by = 0; by < bh; ++by) {
            const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(by) * BLOCKSIZE * stride;
            blockRowAbsDiffSums8(current.data + row, previous.data + row, stride, bw, sads.data());
            uint8_t* counter = counters.data + static_cast<std::ptrdiff_t>(by) * bw;
            uint8_t* changing = states.data + static_cast<std::ptrdiff_t>(by) * bw;
            for (int32_t bx = 0; bx < bw; ++bx) {
                // The mean absolute difference per sample, as calculateFlickering forms it.
                const double m = static_cast<double>(sads[static_cast<size_t>(bx)]) / area;
                if (m >= CHANGE_THRESHOLD && changing[bx] == 0) {
                    changing[bx] = 1;
                    ++counter[bx];
                } else if (m == 0.0 && changing[bx] == 1) {
                    changing[bx] = 0;
                    ++counter[bx];
                }
            }
        }
    }

    state.frameCount = state.frameCount + 1;
    if (state.frameCount != framePeriod) return -1.0;

    const uint32_t n = static_cast<uint32_t>(counters.w) * static_cast<uint32_t>(counters.h);
    // The product keeps the full 64-bit significand: the binary64 value of
    // 0.03 lies just below 3/100, so a block count that is a multiple of 100
    // yields one block fewer than 3 % (971 of 32,400).
    const auto k =
        static_cast<uint32_t>(static_cast<long double>(n) * static_cast<long double>(TOP_FRACTION));
    // The sum of the k largest counters, from a histogram of their values:
    // the same sum as over the first k of the counters sorted largest first.
    uint32_t histogram[256] = {};
    for (uint32_t i = 0; i < n; ++i) ++histogram[counters.data[i]];
    uint32_t sum = 0;
    uint32_t remaining = k;
    for (int32_t v = 255; v >= 0 && remaining > 0; --v) {
        const uint32_t take = histogram[v] < remaining ? histogram[v] : remaining;
        sum += take * static_cast<uint32_t>(v);
        remaining -= take;
    }

    state.frameCount = 0;
    // With no top block (fewer than 34 blocks) this is 0 / 0, not a number.
    const double result =
        static_cast<double>(sum) / static_cast<double>(k * static_cast<uint32_t>(framePeriod));

    if (n > 0) {
        std::memset(counters.data, 0, n);
        std::memset(states.data, 0, n);
    }
    return result;
}
