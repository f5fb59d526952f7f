#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "indicators/indicators.h"
#include "reference/reference.h"

using namespace lumaqc;

namespace {

// Block patterns of two levels lo and lo + d, 32 samples each, so the block
// deviation is d / 2 * sqrt(64 / 63).
// The closed forms below round differently from the block sums; allow for
// the cancellation in Q - S^2 / m.
constexpr double kTol = 1e-10;

enum class Kind { Flat, Checker, Stripes };

struct Picture {
    int w, h;
    std::vector<uint8_t> s;
    Picture(int w_, int h_, uint8_t v = 100) : w(w_), h(h_), s(static_cast<size_t>(w_) * h_, v) {}
    void block(int bx, int by, Kind kind, int d, int lo = 100) {
        for (int y = 0; y < 8; ++y) {
            for (int x = 0; x < 8; ++x) {
                const bool high = kind == Kind::Checker   ? (x + y) % 2 == 1
                                  : kind == Kind::Stripes ? x % 2 == 1
                                                          : false;
                s[static_cast<size_t>(by * 8 + y) * w + bx * 8 + x] =
                    static_cast<uint8_t>(high ? lo + d : lo);
            }
        }
    }
    double noiseValue() { return noise(makeImage(w, h, s.data())); }
};

// Residual deviation of one block of the given pattern after smoothing with
// the unnormalised 3x3 Gaussian of sigma r. In the 6x6 interior half the
// residuals take each of two values that differ by delta.
double expectedResidual(Kind kind, int d, int r) {
    const double c0 = 1.0 / (6.28 * r * r);
    const double c1 = c0 * std::exp(-1.0 / (2.0 * r * r));
    const double c2 = c0 * std::exp(-2.0 / (2.0 * r * r));
    const double delta = kind == Kind::Checker ? d * (1 - c0 - 4 * c2 + 4 * c1)  // edges opposite
                                               : d * (1 - c0 + 4 * c2);  // columns alternate
    return std::fabs(delta) / 2 * std::sqrt(36.0 / 35.0);
}

TEST(Noise, FlatOrTooSmallPicturesGiveZero) {
    const int sizes[][2] = {{0, 0}, {1, 1}, {7, 100}, {100, 7}, {64, 64}, {13, 21}};
    for (const auto& sz : sizes) {
        for (int v : {0, 128, 255}) {
            Picture p(sz[0], sz[1], static_cast<uint8_t>(v));
            // Texture outside the 8x8 grid is never examined.
            for (int y = 0; y < p.h; ++y)
                for (int x = (p.w / 8) * 8; x < p.w; ++x) p.s[y * p.w + x] = (x * 37 + y) % 256;
            EXPECT_EQ(p.noiseValue(), 0.0) << sz[0] << "x" << sz[1] << " v=" << v;
        }
    }
}

TEST(Noise, UniformTextureGivesItsResidualDeviation) {
    for (Kind kind : {Kind::Checker, Kind::Stripes}) {
        Picture p(20, 19);  // 2 x 2 blocks and some rest
        for (int by = 0; by < 2; ++by)
            for (int bx = 0; bx < 2; ++bx) p.block(bx, by, kind, 2);
        EXPECT_NEAR(p.noiseValue(), expectedResidual(kind, 2, 1), kTol);
    }
    EXPECT_NE(expectedResidual(Kind::Checker, 2, 1), expectedResidual(Kind::Stripes, 2, 1));
}

// Deviations: d = 2 -> 1.008, d = 4 -> 2.016, d = 6 -> 3.024, d = 7 -> 3.528.
TEST(Noise, CentreAndSelectionWindow) {
    {  // Mode 0, centre 2 / 4 = 0.5: window [0.5, 1.5) misses the 2.016 block.
        Picture p(16, 16);
        p.block(1, 1, Kind::Checker, 4);
        EXPECT_TRUE(std::isnan(p.noiseValue()));
    }
    {  // Three flat and three 1.008 blocks: centre 0.5, r = 1.
        Picture p(48, 8);
        for (int bx = 3; bx < 6; ++bx) p.block(bx, 0, Kind::Checker, 2);
        EXPECT_NEAR(p.noiseValue(), expectedResidual(Kind::Checker, 2, 1), kTol);
    }
    {  // Three flat and two 1.008 blocks: centre 0.4 rounds to 0.
        Picture p(40, 8);
        for (int bx = 3; bx < 5; ++bx) p.block(bx, 0, Kind::Checker, 2);
        EXPECT_EQ(p.noiseValue(), 0.0);
    }
    {  // Four 3.024 and one 3.528: centre 3.2, window [3, 4) takes all five.
        Picture p(40, 8);
        for (int bx = 0; bx < 4; ++bx) p.block(bx, 0, Kind::Checker, 6);
        p.block(4, 0, Kind::Checker, 7);
        const double expected =
            (4 * expectedResidual(Kind::Checker, 6, 3) + expectedResidual(Kind::Checker, 7, 3)) / 5;
        EXPECT_NEAR(p.noiseValue(), expected, kTol);
    }
    {  // Two of each: centre 3.5, r = 4, window [3.5, 4.5) takes the 3.528 ones.
        Picture p(32, 8);
        for (int bx = 0; bx < 4; ++bx) p.block(bx, 0, Kind::Checker, bx % 2 ? 7 : 6);
        EXPECT_NEAR(p.noiseValue(), expectedResidual(Kind::Checker, 7, 4), kTol);
    }
}

// Equal highest counts: the bin that reached the count first is the mode.
TEST(Noise, ModeTieGoesToTheFirstBinToReachIt) {
    Picture a(16, 8);
    a.block(0, 0, Kind::Checker, 4);   // 2.016
    a.block(1, 0, Kind::Checker, 10);  // 5.040
    EXPECT_NEAR(a.noiseValue(), expectedResidual(Kind::Checker, 4, 2), kTol);
    Picture b(16, 8);
    b.block(0, 0, Kind::Checker, 10);
    b.block(1, 0, Kind::Checker, 4);
    EXPECT_NEAR(b.noiseValue(), expectedResidual(Kind::Checker, 10, 5), kTol);
}

// 1500 qualifying blocks: only the first 1000 in row-major order count.
TEST(Noise, CollectsAtMostAThousandBlocks) {
    Picture p(400, 240);  // 50 x 30 blocks
    for (int by = 0; by < 30; ++by)
        for (int bx = 0; bx < 50; ++bx) p.block(bx, by, by < 20 ? Kind::Checker : Kind::Stripes, 2);
    EXPECT_NEAR(p.noiseValue(), expectedResidual(Kind::Checker, 2, 1), kTol);
}

// Half 0 and half 255 gives 128.51, which rounds to 129; the histogram holds
// that bin and its upper neighbour. With one 128.005 block the centre is
// 128.75 and the window [128.5, 129.5) takes the three 128.51 blocks.
TEST(Noise, LargestDeviationsHaveTheirOwnBins) {
    Picture p(32, 8);
    for (int bx = 0; bx < 3; ++bx) p.block(bx, 0, Kind::Checker, 255, 0);
    p.block(3, 0, Kind::Checker, 254, 0);
    EXPECT_NEAR(p.noiseValue(), expectedResidual(Kind::Checker, 255, 129), 1e-9);

    // Without the lower block the centre is 129 and the window [129, 130)
    // holds no block.
    Picture q(16, 16);
    for (int by = 0; by < 2; ++by)
        for (int bx = 0; bx < 2; ++bx) q.block(bx, by, Kind::Checker, 255, 0);
    EXPECT_TRUE(std::isnan(q.noiseValue()));
}

// More than 65535 flat blocks: with 16-bit bins the flat count would wrap and
// the 300 textured blocks would become the mode.
TEST(Noise, HistogramCountsBeyondSixteenBits) {
    Picture p(258 * 8, 256 * 8);  // 66048 blocks
    for (int k = 0; k < 300; ++k) p.block(257 - k % 258, 255 - k / 258, Kind::Checker, 2);
    EXPECT_EQ(p.noiseValue(), 0.0);
}

TEST(Noise, GaussianNoiseIsEstimatedWithinTenPercent) {
    std::mt19937 rng(12345);
    for (int sigma = 2; sigma <= 12; sigma += 2) {
        std::normal_distribution<double> gauss(0.0, sigma);
        Picture p(64, 64);
        for (auto& v : p.s) v = static_cast<uint8_t>(std::lround(128 + gauss(rng)));
        EXPECT_NEAR(p.noiseValue(), sigma, 0.1 * sigma) << "sigma " << sigma;
    }
}

TEST(Noise, CompareOrdersDoublesAscending) {
    std::vector<double> v = {3.5, -1.0, 2.0, 0.0, -7.25, 2.0};
    std::qsort(v.data(), v.size(), sizeof(double), compare);
    EXPECT_EQ(v, (std::vector<double>{-7.25, -1.0, 0.0, 2.0, 2.0, 3.5}));
    const double a = 1.0, b = 2.0, nan = std::nan("");
    EXPECT_EQ(compare(&a, &b), -1);
    EXPECT_EQ(compare(&b, &a), 1);
    EXPECT_EQ(compare(&a, &a), 0);
    EXPECT_EQ(compare(&a, &nan), 0);
}

}  // namespace
