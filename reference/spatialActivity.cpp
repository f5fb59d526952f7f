// Spatial activity as the plain toolkit composition: the Sobel energy kernel,
// normalised by the number of positions.
#include <cmath>
#include <cstdint>

#include "reference/reference.h"

namespace lumaqc {

namespace reference {

double spatialActivity(const Image& img) {
    if (img.w <= 0 || img.h <= 0) return 0.0;
    const double s = spatialAct(img);
    const uint32_t n = static_cast<uint32_t>(img.w) * static_cast<uint32_t>(img.h);
    return s / std::sqrt(static_cast<double>(n));
}

}  // namespace reference

}  // namespace lumaqc
