// Creation and release of the state carried by the temporal indicators.
#include <cstdint>

#include "indicators/indicators.h"

namespace lumaqc {

namespace {

// Number of whole blocks along a side of `size` samples.
int32_t blockCount(int32_t size) {
    return size <= 0 ? 0 : static_cast<int32_t>(static_cast<uint32_t>(size) / BLOCKSIZE);
}

}  // namespace

TemporalState createTemporalState(int32_t w, int32_t h) {
    TemporalState state;
    state.freezingTemp = 0;
    state.frameCount = 0;
    state.switchCounters = callocImage(blockCount(w), blockCount(h));
    try {
        state.changeStates = callocImage(state.switchCounters.w, state.switchCounters.h);
    } catch (...) {
        freeImage(state.switchCounters);
        throw;
    }
    return state;
}

void freeTemporalState(TemporalState& state) {
    freeImage(state.switchCounters);
    freeImage(state.changeStates);
    state = TemporalState{};
}

}  // namespace lumaqc
