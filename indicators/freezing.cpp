// Freezing: flags runs of exact repeat frames that last a tenth of a second.
#include <cstdint>

#include "indicators/indicators.h"

namespace lumaqc {

namespace {

// Fraction of a second that repeated frames must last to count as frozen.
constexpr double FREEZE_DURATION = 0.1;

}  // namespace

int32_t freezeRepeats(int32_t before, double temporalActivity, int32_t blackoutFlag) {
    // A repeated frame that is blacked out does not count as frozen.
    const bool repeat = temporalActivity == 0.0 && (blackoutFlag & 0xFF) == 0;
    return repeat ? before + 1 : 0;
}

uint8_t freezing(double temporalActivity, int32_t blackoutFlag, double fps, TemporalState& state) {
    state.freezingTemp = freezeRepeats(state.freezingTemp, temporalActivity, blackoutFlag);

    // The threshold keeps the full 64-bit significand of the product: with the
    // binary64 value of 0.1 it lies just above fps / 10 at frame rates that are
    // multiples of 10 (30 fps needs 4 frozen frames, not 3). A threshold that
    // is not a number compares false.
    const long double threshold =
        static_cast<long double>(fps) * static_cast<long double>(FREEZE_DURATION);
    return static_cast<long double>(state.freezingTemp) >= threshold ? 1 : 0;
}

}  // namespace lumaqc
