// RMS contrast as the plain composition: one scalar pass for the sum and the
// square sum, then the sample standard deviation.
#include "indicators/contrastRMS.h"

#include <cmath>
#include <cstdint>

#include "reference/reference.h"

namespace reference {

double contrastRMS(const Image& img) {
    const int64_t n = static_cast<int64_t>(img.w) * img.h;
    int64_t sum = 0;
    int64_t squareSum = 0;
    sumAndSquareSum(img, sum, squareSum);
    const double s = static_cast<double>(sum);
    const double mean = s * (1.0 / n);
    double variance = (static_cast<double>(squareSum) - s * mean) * (1.0 / (n - 1));
    if (variance < 0.0) variance = 0.0;
    return std::sqrt(variance);
}

}  // namespace reference
