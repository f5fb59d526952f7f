// RMS contrast: the sample standard deviation (divisor n - 1) of all samples.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "indicators/blockStats.h"
#include "indicators/indicators.h"

namespace lumaqc {

namespace {

// The contrast of n samples from their exact integer totals.
double contrastOf(uint64_t usum, uint64_t usquares, int64_t n) {
    const auto sum = static_cast<int64_t>(usum);
    const auto squareSum = static_cast<int64_t>(usquares);
    // Reciprocals are formed first and then multiplied, in this order, so the
    // result is reproducible to the last bit. One sample (n - 1 = 0) and no
    // samples both give not-a-number.
    const double s = static_cast<double>(sum);
    const double mean = s * (1.0 / n);
    double variance = (static_cast<double>(squareSum) - s * mean) * (1.0 / (n - 1));
    // Rounding in the mean can leave a uniform picture a variance a few ulps
    // below zero; a negative variance is impossible, so it counts as 0 rather
    // than giving not-a-number.
    if (variance < 0.0) variance = 0.0;
    return std::sqrt(variance);
}

}  // namespace

double contrastRMS(const Image& img) {
    const int64_t n = static_cast<int64_t>(img.w) * img.h;
    // Both totals in one vectorised pass; they are exact integers, the same
    // as sumAndSquareSum gives.
    uint64_t sum = 0;
    uint64_t squares = 0;
    if (n > 0) sampleSums(img.data, static_cast<size_t>(n), &sum, &squares);
    return contrastOf(sum, squares, n);
}

double contrastRMS(const BlockStats& stats) {
    return contrastOf(stats.sum, stats.squareSum, static_cast<int64_t>(stats.w) * stats.h);
}

}  // namespace lumaqc
