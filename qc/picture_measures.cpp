#include "qc/picture_measures.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace lumaqc::qc {

namespace {

// How far a sample of a bars picture may stray from its column's level
// (compression ringing at the stripe edges is left out by kColumnShare).
constexpr int kBarsTolerance = 6;
// Share of the columns that must be uniform down the upper two thirds.
constexpr double kColumnShare = 0.95;
// Levels two neighbouring stripes differ by at least.
constexpr int kStripeStep = 12;
constexpr int kMinStripes = 6;

bool isBars(const unsigned char* luma, int width, int height, int64_t stride) {
    if (width < 64 || height < 48) return false;
    const int rows = height * 2 / 3;
    const int step = std::max(1, rows / 32);                   // every few rows is enough
    const unsigned char* top = luma + stride * (height / 20);  // below a possible edge line
    int uniform = 0;
    for (int x = 0; x < width; ++x) {
        const int reference = top[x];
        bool same = true;
        for (int y = height / 20; y < rows && same; y += step) {
            same = std::abs(static_cast<int>(luma[stride * y + x]) - reference) <= kBarsTolerance;
        }
        uniform += same ? 1 : 0;
    }
    if (uniform < kColumnShare * width) return false;
    // Stripes along a row of the upper part: runs of nearly one level.
    const int minWidth = std::max(2, width / 40);
    int stripes = 0;
    int runStart = 0;
    int lastLevel = -1000;
    int lo = 255, hi = 0;
    for (int x = 1; x <= width; ++x) {
        const bool edge = x == width || std::abs(static_cast<int>(top[x]) - top[x - 1]) > 3;
        if (!edge) continue;
        if (x - runStart >= minWidth) {
            const int level = top[(runStart + x) / 2];
            if (std::abs(level - lastLevel) >= kStripeStep) {
                ++stripes;
                lastLevel = level;
            }
            lo = std::min(lo, level);
            hi = std::max(hi, level);
        }
        runStart = x;
    }
    return stripes >= kMinStripes && hi - lo >= 64;
}

}  // namespace

double PictureMeasures::percentAtOrBelow(int level) const {
    if (samples <= 0) return 0.0;
    int64_t n = 0;
    for (int v = 0; v <= std::clamp(level, -1, 255); ++v) n += histogram[static_cast<size_t>(v)];
    return 100.0 * static_cast<double>(n) / static_cast<double>(samples);
}

double PictureMeasures::percentOutside(int low, int high) const {
    if (samples <= 0) return 0.0;
    int64_t n = 0;
    for (int v = 0; v < 256; ++v) {
        if (v < low || v > high) n += histogram[static_cast<size_t>(v)];
    }
    return 100.0 * static_cast<double>(n) / static_cast<double>(samples);
}

PictureMeasures measurePicture(const unsigned char* luma, int width, int height, int64_t stride) {
    PictureMeasures m;
    if (luma == nullptr || width <= 0 || height <= 0) return m;
    for (int y = 0; y < height; ++y) {
        const unsigned char* row = luma + stride * y;
        for (int x = 0; x < width; ++x) ++m.histogram[row[x]];
    }
    m.samples = static_cast<int64_t>(width) * height;
    m.width = width;
    m.height = height;
    m.bars = isBars(luma, width, height, stride);
    return m;
}

}  // namespace lumaqc::qc
