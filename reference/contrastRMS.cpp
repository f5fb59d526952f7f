// RMS contrast as the plain composition: one scalar pass for the sum and the
// square sum, then the sample standard deviation.
#include <cmath>
#include <cstdint>

#include "reference/reference.h"

namespace lumaqc {

int64_t sumAndSquareSum(const Image& img, int64_t& sum, int64_t& squareSum) {
    sum = 0;
    squareSum = 0;
    const int64_t n = static_cast<int64_t>(img.w) * img.h;
    if (n <= 0) return 0;
    int64_t s = 0;
    int64_t q = 0;
    for (int64_t i = 0; i < n; ++i) {
        const int32_t v = img.data[i];
        s += v;
        q += v * v;
    }
    sum = s;
    squareSum = q;
    return s;
}

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

}  // namespace lumaqc
