// Spatial activity: RMS Sobel magnitude over all positions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "indicators/indicators.h"

using namespace lumaqc;

namespace {

Image wrap(std::vector<uint8_t>& v, int32_t w, int32_t h) {
    return makeImage(w, h, v.data());
}

TEST(SpatialActivity, UniformPictureGivesZero) {
    std::vector<uint8_t> v(64 * 48, 128);
    EXPECT_EQ(spatialActivity(wrap(v, 64, 48)), 0.0);
}

TEST(SpatialActivity, BorderPositionsCountInTheDivisor) {
    std::vector<uint8_t> right = {0, 0, 255, 0, 0, 255, 0, 0, 255};
    EXPECT_EQ(spatialActivity(wrap(right, 3, 3)), 340.0);
    // sqrt of the sum divided by sqrt of 25 positions, not 9 interior ones.
    std::vector<uint8_t> point(25, 0);
    point[12] = 10;
    EXPECT_EQ(spatialActivity(wrap(point, 5, 5)), std::sqrt(2400.0) / 5.0);
}

TEST(SpatialActivity, DegenerateSizesGiveZero) {
    const int32_t sizes[][2] = {{0, 0}, {1, 1}, {2, 2}, {2, 100}, {100, 2}, {0, 7}};
    for (const auto& s : sizes) {
        std::vector<uint8_t> v(static_cast<size_t>(s[0]) * s[1] + 1);
        for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 91);
        EXPECT_EQ(spatialActivity(wrap(v, s[0], s[1])), 0.0) << s[0] << "x" << s[1];
    }
}

}  // namespace
