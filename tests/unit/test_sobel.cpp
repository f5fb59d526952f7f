#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "tools/definitions.h"

using namespace lumaqc;

namespace {

// Destinations pre-filled with garbage, so that every sample must be written.
struct Dest32 {
    std::vector<int32_t> x, y;
    Image32 ix, iy;
    Dest32(int32_t w, int32_t h)
        : x(static_cast<size_t>(w) * h + 1, -77), y(static_cast<size_t>(w) * h + 1, -77) {
        ix = makeImage32(w, h, x.data());
        iy = makeImage32(w, h, y.data());
    }
};

struct Dest8 {
    std::vector<uint8_t> x, y;
    Image ix, iy;
    Dest8(int32_t w, int32_t h)
        : x(static_cast<size_t>(w) * h + 1, 77), y(static_cast<size_t>(w) * h + 1, 77) {
        ix = makeImage(w, h, x.data());
        iy = makeImage(w, h, y.data());
    }
};

}  // namespace

TEST(Sobel, UniformPictureHasNoResponse) {
    std::vector<uint8_t> px(9 * 7, 123);
    Image src = makeImage(9, 7, px.data());
    Dest32 d(9, 7);
    EXPECT_EQ(sobel(src, d.ix, d.iy), 0.0);
    Dest8 e(9, 7);
    EXPECT_EQ(sobel2(src, e.ix, e.iy), 0);
    Dest32 g(9, 7);
    absGradient(src, g.ix, g.iy);
    for (int i = 0; i < 63; ++i) {
        ASSERT_EQ(d.x[i], 0);
        ASSERT_EQ(d.y[i], 0);
        ASSERT_EQ(e.x[i], 0);
        ASSERT_EQ(e.y[i], 0);
        ASSERT_EQ(g.x[i], 0);
        ASSERT_EQ(g.y[i], 0);
    }
}

TEST(Sobel, VerticalStep) {
    // 0 in columns 0..3, 100 in columns 4..7.
    std::vector<uint8_t> px(64);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) px[y * 8 + x] = x < 4 ? 0 : 100;
    Image src = makeImage(8, 8, px.data());
    Dest32 d(8, 8);
    EXPECT_DOUBLE_EQ(sobel(src, d.ix, d.iy), std::sqrt(12.0 * 400 * 400));
    EXPECT_NEAR(sobel(src, d.ix, d.iy), 1385.64, 0.005);
    // sobel2 keeps the low 8 bits: 400 is stored as 144.
    Dest8 e(8, 8);
    EXPECT_EQ(sobel2(src, e.ix, e.iy), 12 * 144);
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            const bool edge = y >= 1 && y <= 6 && (x == 3 || x == 4);
            EXPECT_EQ(d.x[y * 8 + x], edge ? 400 : 0) << x << "," << y;
            EXPECT_EQ(d.y[y * 8 + x], 0) << x << "," << y;
            EXPECT_EQ(e.x[y * 8 + x], edge ? 144 : 0) << x << "," << y;
            EXPECT_EQ(e.y[y * 8 + x], 0) << x << "," << y;
        }
    }
}

TEST(Sobel, HandComputedInteriorPixel) {
    struct Case {
        uint8_t px[9];
        int32_t gx, gy;
        uint8_t sx, sy;
        int sum2;
    };
    const Case cases[] = {
        {{1, 2, 3, 4, 5, 6, 7, 8, 9}, 8, 24, 8, 24, 25},                  // floor(sqrt(640))
        {{100, 0, 0, 100, 0, 0, 100, 100, 0}, -400, 200, 112, 200, 229},  // floor(sqrt(52544))
        {{0, 0, 0, 0, 0, 0, 1, 0, 0}, -1, 1, 255, 1, 255},                // -1 stored as 255
        {{0, 0, 0, 0, 0, 0, 64, 64, 64}, 0, 256, 0, 0, 0},                // 256 stored as 0
        {{255, 0, 0, 255, 0, 0, 255, 0, 0}, -1020, 0, 4, 0, 4},           // extremes
    };
    for (const Case& c : cases) {
        uint8_t px[9];
        std::copy(c.px, c.px + 9, px);
        Image src = makeImage(3, 3, px);
        Dest32 d(3, 3);
        const double energy = sobel(src, d.ix, d.iy);
        EXPECT_EQ(d.x[4], c.gx);
        EXPECT_EQ(d.y[4], c.gy);
        EXPECT_EQ(energy, std::sqrt(static_cast<double>(c.gx * c.gx + c.gy * c.gy)));
        Dest8 e(3, 3);
        EXPECT_EQ(sobel2(src, e.ix, e.iy), c.sum2);
        EXPECT_EQ(e.x[4], c.sx);
        EXPECT_EQ(e.y[4], c.sy);
        for (int i : {0, 1, 2, 3, 5, 6, 7, 8}) {
            EXPECT_EQ(d.x[i], 0);
            EXPECT_EQ(d.y[i], 0);
            EXPECT_EQ(e.x[i], 0);
            EXPECT_EQ(e.y[i], 0);
        }
    }
}

TEST(Sobel, PicturesWithoutInterior) {
    std::vector<uint8_t> px(16);
    for (int i = 0; i < 16; ++i) px[i] = static_cast<uint8_t>(i * 37);
    for (auto [w, h] : {std::pair{2, 2}, std::pair{1, 1}, std::pair{1, 5}, std::pair{5, 1},
                        std::pair{2, 7}, std::pair{7, 2}, std::pair{0, 0}, std::pair{3, 0}}) {
        Image src = makeImage(w, h, px.data());
        Dest32 d(w, h);
        EXPECT_EQ(sobel(src, d.ix, d.iy), 0.0) << w << "x" << h;
        Dest8 e(w, h);
        EXPECT_EQ(sobel2(src, e.ix, e.iy), 0) << w << "x" << h;
        for (int i = 0; i < w * h; ++i) {
            EXPECT_EQ(d.x[i], 0);
            EXPECT_EQ(d.y[i], 0);
            EXPECT_EQ(e.x[i], 0);
            EXPECT_EQ(e.y[i], 0);
        }
        // Nothing beyond the picture is written.
        EXPECT_EQ(d.x[w * h], -77);
        EXPECT_EQ(e.x[w * h], 77);
    }
}

TEST(Sobel, AbsGradientIsMagnitudeOfGradient) {
    // Values falling to the right and downwards.
    uint8_t px[] = {90, 60, 20, 80, 70, 0};
    Image src = makeImage(3, 2, px);
    Dest32 a(3, 2);
    absGradient(src, a.ix, a.iy);
    const int32_t ex[] = {0, 0, 0, 0, 10, 70};
    const int32_t ey[] = {0, 0, 0, 0, 10, 20};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(a.x[i], ex[i]) << i;
        EXPECT_EQ(a.y[i], ey[i]) << i;
    }

    // On any picture it equals the absolute value of gradient.
    std::vector<uint8_t> noise(13 * 11);
    uint32_t s = 5;
    for (auto& v : noise) {
        s = s * 1664525u + 1013904223u;
        v = static_cast<uint8_t>(s >> 24);
    }
    Image n = makeImage(13, 11, noise.data());
    Dest32 g(13, 11), ag(13, 11);
    gradient(n, g.ix, g.iy);
    absGradient(n, ag.ix, ag.iy);
    for (int i = 0; i < 13 * 11; ++i) {
        ASSERT_EQ(ag.x[i], std::abs(g.x[i]));
        ASSERT_EQ(ag.y[i], std::abs(g.y[i]));
    }
}

TEST(SobelDeathTest, DestinationSizesAreChecked) {
    std::vector<uint8_t> px(16);
    Image src = makeImage(4, 4, px.data());
    Dest32 ok(4, 4), narrow(3, 4), low(4, 3);
    Dest8 ok8(4, 4), narrow8(3, 4);
    EXPECT_DEATH(sobel(src, narrow.ix, ok.iy), "src.h == destX.h && src.w == destX.w");
    EXPECT_DEATH(sobel(src, ok.ix, low.iy), "src.h == destY.h && src.w == destY.w");
    EXPECT_DEATH(sobel2(src, narrow8.ix, ok8.iy), "src.h == destX.h && src.w == destX.w");
    EXPECT_DEATH(sobel2(src, ok8.ix, narrow8.iy), "src.h == destY.h && src.w == destY.w");
    EXPECT_DEATH(absGradient(src, low.ix, ok.iy), "src.h == destX.h && src.w == destX.w");
    EXPECT_DEATH(absGradient(src, ok.ix, narrow.iy), "src.h == destY.h && src.w == destY.w");
}
