// Measurements of a picture that the QC conditions read besides the
// indicators: the luma histogram (black with a tolerance, luma outside the
// legal range) and whether the picture is a test pattern of colour bars.
#pragma once

#include <array>
#include <cstdint>

namespace lumaqc::qc {

struct PictureMeasures {
    // Samples of each 8-bit luma value over the whole picture.
    std::array<int64_t, 256> histogram{};
    int64_t samples = 0;
    int width = 0;  // the picture's size
    int height = 0;
    // Colour bars or a similar static pattern of vertical stripes: the upper
    // two thirds of the picture are the same from row to row (within the
    // noise of compression) in 95 % of the columns, and a row holds six
    // stripes or more (each at least 1/40 of the width, neighbours at least
    // 12 levels apart, 64 levels from the darkest to the brightest).
    bool bars = false;

    // Percent of the picture at or below `level`.
    double percentAtOrBelow(int level) const;
    // Percent of the picture below `low` or above `high`.
    double percentOutside(int low, int high) const;
};

// Measures the luma plane (`width` x `height`, rows `stride` bytes apart).
PictureMeasures measurePicture(const unsigned char* luma, int width, int height, int64_t stride);

}  // namespace lumaqc::qc
