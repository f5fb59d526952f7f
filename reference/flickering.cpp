// Flickering as the plain toolkit composition: a freshly allocated picture of
// block change levels per call, and a full sort of the switch counters at the
// end of each period.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "indicators/indicators.h"
#include "reference/reference.h"

namespace lumaqc {

int compareElements(const void* a, const void* b) {
    return static_cast<int32_t>(*static_cast<const uint8_t*>(b)) -
           static_cast<int32_t>(*static_cast<const uint8_t*>(a));
}

namespace reference {

namespace {

constexpr double CHANGE_THRESHOLD = 0.0111;
constexpr double TOP_FRACTION = 0.03;

}  // namespace

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

    const auto k =
        static_cast<uint32_t>(static_cast<long double>(n) * static_cast<long double>(TOP_FRACTION));
    uint32_t sum = 0;
    for (uint32_t i = 0; i < k; ++i) sum += counters.data[i];

    state.frameCount = 0;
    const double result =
        static_cast<double>(sum) / static_cast<double>(k * static_cast<uint32_t>(framePeriod));

    if (n > 0) {
        std::memset(counters.data, 0, n);
        std::memset(state.changeStates.data, 0, n);
    }
    return result;
}

}  // namespace reference

}  // namespace lumaqc
