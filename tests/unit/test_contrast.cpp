// RMS contrast and the sums it is built from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "indicators/indicators.h"
#include "reference/reference.h"

using namespace lumaqc;

TEST(ContrastRMS, SampleStandardDeviation) {
    std::vector<uint8_t> a{0, 0, 255, 255};
    EXPECT_DOUBLE_EQ(contrastRMS(Image{2, 2, a.data()}), std::sqrt(21675.0));
    EXPECT_DOUBLE_EQ(contrastRMS(Image{1, 2, a.data() + 1}), std::sqrt(32512.5));
    std::vector<uint8_t> u(1920 * 1080, 200);
    EXPECT_EQ(contrastRMS(Image{1920, 1080, u.data()}), 0.0);
    // One sample or none: not a number.
    EXPECT_TRUE(std::isnan(contrastRMS(Image{1, 1, a.data()})));
    EXPECT_TRUE(std::isnan(contrastRMS(Image{0, 5, nullptr})));
}

TEST(ContrastRMS, SumsBeyond32BitsStayExact) {
    // 4096 x 4096 with the top three quarters at 255: the sum exceeds 2^31.
    const int64_t n = 4096 * 4096;
    std::vector<uint8_t> s(n, 0);
    std::fill(s.begin(), s.begin() + n / 4 * 3, 255);
    int64_t sum = -1, squareSum = -1;
    EXPECT_EQ(sumAndSquareSum(Image{4096, 4096, s.data()}, sum, squareSum), 255 * n / 4 * 3);
    EXPECT_EQ(sum, 255 * n / 4 * 3);
    EXPECT_EQ(squareSum, 65025 * n / 4 * 3);
    EXPECT_NEAR(contrastRMS(Image{4096, 4096, s.data()}),
                std::sqrt(65025.0 * 0.75 * 0.25 * n / (n - 1)), 1e-9);
    EXPECT_EQ(sumAndSquareSum(Image{0, 2, s.data()}, sum, squareSum), 0);
    EXPECT_EQ(sum + squareSum, 0);
}

TEST(ContrastRMS, UniformPicturesOfEverySizeAndLevelGiveZero) {
    // Rounding in the mean leaves some uniform pictures a variance just below
    // zero; they must still report no contrast, not a NaN.
    const int sizes[][2] = {{352, 288}, {176, 144}, {640, 480}, {3, 7}, {1280, 720}};
    for (const auto& size : sizes) {
        std::vector<uint8_t> u(static_cast<size_t>(size[0]) * size[1]);
        for (int level = 0; level < 256; ++level) {
            std::fill(u.begin(), u.end(), static_cast<uint8_t>(level));
            ASSERT_EQ(contrastRMS(Image{size[0], size[1], u.data()}), 0.0)
                << size[0] << "x" << size[1] << " level " << level;
        }
    }
}
