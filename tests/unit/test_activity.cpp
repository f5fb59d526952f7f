// Sobel gradient energy and squared-difference energy kernels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "tools/definitions.h"

using namespace lumaqc;

namespace {

Image wrap(std::vector<uint8_t>& v, int32_t w, int32_t h) {
    return makeImage(w, h, v.data());
}

TEST(SpatialAct, UniformPictureHasNoEnergy) {
    for (const uint8_t value : {0, 17, 255}) {
        std::vector<uint8_t> v(13 * 7, value);
        EXPECT_EQ(spatialAct(wrap(v, 13, 7)), 0.0) << int{value};
    }
}

TEST(SpatialAct, StepAtRightColumnOrBottomRow) {
    // Right column 255: Gx = 255 + 2 * 255 + 255 = 1020, Gy = 0.
    std::vector<uint8_t> right = {0, 0, 255, 0, 0, 255, 0, 0, 255};
    EXPECT_EQ(spatialAct(wrap(right, 3, 3)), 1020.0);
    // Transposed: Gx = 0, Gy = 1020.
    std::vector<uint8_t> bottom = {0, 0, 0, 0, 0, 0, 255, 255, 255};
    EXPECT_EQ(spatialAct(wrap(bottom, 3, 3)), 1020.0);
}

TEST(SpatialAct, SinglePointSpreadsOverItsEightNeighbours) {
    // A point of 10 in the middle of a 5 x 5 picture: the four diagonal
    // centres see Gx = Gy = +-10 (200 each), the four edge-adjacent ones see
    // one component of +-20 (400 each), the point itself sees nothing.
    std::vector<uint8_t> v(25, 0);
    v[2 * 5 + 2] = 10;
    EXPECT_EQ(spatialAct(wrap(v, 5, 5)), std::sqrt(2400.0));
    // A corner sample only reaches the one centre next to it: Gx = Gy = -1.
    std::vector<uint8_t> c(16, 0);
    c[0] = 1;
    EXPECT_EQ(spatialAct(wrap(c, 4, 4)), std::sqrt(2.0));
}

TEST(SpatialAct, TooSmallPicturesGiveZero) {
    const int32_t sizes[][2] = {{0, 0}, {1, 1}, {2, 2}, {2, 100}, {100, 2}, {0, 5}, {5, 0}};
    for (const auto& s : sizes) {
        std::vector<uint8_t> v(static_cast<size_t>(s[0]) * s[1] + 1);
        for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 37);
        EXPECT_EQ(spatialAct(wrap(v, s[0], s[1])), 0.0) << s[0] << "x" << s[1];
    }
}

TEST(TemporalAct, IdenticalPicturesGiveZero) {
    std::vector<uint8_t> a(9 * 5);
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i * 53);
    std::vector<uint8_t> b = a;
    EXPECT_EQ(temporalAct(wrap(a, 9, 5), wrap(b, 9, 5)), 0.0);
}

TEST(TemporalAct, SignedDifferencesAreSquared) {
    std::vector<uint8_t> a = {10, 20, 30, 40};
    std::vector<uint8_t> b = {7, 24, 30, 40};  // +3 and -4
    EXPECT_EQ(temporalAct(wrap(a, 2, 2), wrap(b, 2, 2)), 5.0);
    EXPECT_EQ(temporalAct(wrap(b, 2, 2), wrap(a, 2, 2)), 5.0);
}

TEST(TemporalAct, EmptyPictureGivesZero) {
    std::vector<uint8_t> a(1, 9), b(1, 0);
    EXPECT_EQ(temporalAct(wrap(a, 0, 0), wrap(b, 0, 0)), 0.0);
    EXPECT_EQ(temporalAct(wrap(a, 0, 1), wrap(b, 0, 1)), 0.0);
}

TEST(TemporalAct, FullHdSumExceeds32Bits) {
    // 1920 * 1080 * 255^2 = 134,835,840,000.
    std::vector<uint8_t> a(1920 * 1080, 255), b(1920 * 1080, 0);
    EXPECT_EQ(temporalAct(wrap(a, 1920, 1080), wrap(b, 1920, 1080)), 367200.0);
}

}  // namespace
