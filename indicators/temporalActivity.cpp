// Temporal activity: root-mean-square sample difference between the current
// and the previous picture.
#include <cmath>
#include <cstdint>

#include "indicators/indicators.h"

double temporalActivity(const Image& current, const Image& previous) {
    const double t = temporalAct(current, previous);
    // Empty pictures give 0 / 0, which freezing treats as not frozen.
    const uint32_t n = static_cast<uint32_t>(current.w) * static_cast<uint32_t>(current.h);
    return t / std::sqrt(static_cast<double>(n));
}
