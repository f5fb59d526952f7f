// Temporal activity as the plain toolkit composition: the squared-difference
// energy kernel, normalised by the number of samples.
#include <cmath>
#include <cstdint>

#include "reference/reference.h"

namespace lumaqc {

namespace reference {

double temporalActivity(const Image& current, const Image& previous) {
    const double t = temporalAct(current, previous);
    const uint32_t n = static_cast<uint32_t>(current.w) * static_cast<uint32_t>(current.h);
    return t / std::sqrt(static_cast<double>(n));
}

}  // namespace reference

}  // namespace lumaqc
