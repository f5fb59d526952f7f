// Freezing: flags runs of exact repeat frames that last a tenth of a second.
#include <cstdint>

#include "indicators/indicators.h"

namespace lumaqc {

namespace {

// Fraction of a second that repeated frames must last to count as frozen.
constexpr double FREEZE_DURATION = 0.1;

}  // namespace

uint8_t freezing(double temporalActivity, int32_t blackoutFlag, double fps, TemporalState& state) {
    // A repeated frame that is blacked out does not count as frozen.
    const bool frozen = temporalActivity == 0.0 && (blackoutFlag & 0xFF) == 0;
    state.freezingTemp = frozen ? state.freezingTemp + 1 : 0;

    // The threshold keeps the full 64-bit significand of the product: with the
    // binary64 value of 0.1 it lies just above fps / 10 at frame rates that are
    // multiples of 10 (30 fps needs 4 frozen frames, not 3). A threshold that
    // is not a number compares false.
    const long double threshold =
        static_cast<long double>(fps) * static_cast<long double>(FREEZE_DURATION);
    return static_cast<long double>(state.freezingTemp) >= threshold ? 1 : 0;
}

}  // namespace lumaqc
