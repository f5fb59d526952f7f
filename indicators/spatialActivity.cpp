// Spatial activity: root-mean-square Sobel gradient magnitude over all
// positions of the picture, the border counting as zero gradient.
#include <cmath>
#include <cstdint>

#include "indicators/indicators.h"

double spatialActivity(const Image& img) {
    // An empty picture holds no detail.
    if (img.w <= 0 || img.h <= 0) return 0.0;
    const double s = spatialAct(img);
    const uint32_t n = static_cast<uint32_t>(img.w) * static_cast<uint32_t>(img.h);
    return s / std::sqrt(static_cast<double>(n));
}
