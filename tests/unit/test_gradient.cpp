#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "tools/definitions.h"

using namespace lumaqc;

namespace {

// Source picture whose sample (x, y) is value(x, y).
template <typename F>
Image makeSource(int32_t w, int32_t h, F value) {
    Image img = allocImage(w, h);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            img.data[y * w + x] = static_cast<uint8_t>(value(x, y));
        }
    }
    return img;
}

struct Stats {
    Image32 sums;
    Image32 squares;
    ImageDouble devs;
};

Stats makeStats(int32_t dw, int32_t dh) {
    Stats s{callocImage32(dw, dh), callocImage32(dw, dh), callocImageDouble(dw, dh)};
    // Deviations must be overwritten, so start them at a recognisable value.
    for (int32_t i = 0; i < dw * dh; ++i) s.devs.data[i] = -7.0;
    return s;
}

void freeStats(Stats& s) {
    freeImage32(s.sums);
    freeImage32(s.squares);
    freeImageDouble(s.devs);
}

}  // namespace

TEST(Gradient, UniformSourceGivesZeros) {
    Image src = makeSource(13, 7, [](int, int) { return 99; });
    Image32 gx = allocImage32(13, 7);
    Image32 gy = allocImage32(13, 7);
    for (int i = 0; i < 13 * 7; ++i) gx.data[i] = gy.data[i] = 12345;
    gradient(src, gx, gy);
    for (int i = 0; i < 13 * 7; ++i) {
        EXPECT_EQ(gx.data[i], 0) << i;
        EXPECT_EQ(gy.data[i], 0) << i;
    }
    freeImage(src);
    freeImage32(gx);
    freeImage32(gy);
}

TEST(Gradient, VerticalStepAndSignedDifferences) {
    const int32_t w = 64, h = 5;
    Image src = makeSource(w, h, [](int x, int) { return x >= 32 ? 255 : 0; });
    Image32 gx = allocImage32(w, h);
    Image32 gy = allocImage32(w, h);
    gradient(src, gx, gy);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            EXPECT_EQ(gx.data[y * w + x], (y >= 1 && x == 32) ? 255 : 0) << x << "," << y;
            EXPECT_EQ(gy.data[y * w + x], 0) << x << "," << y;
        }
    }

    // Hand-computed 3x3: differences are signed and row 0 / column 0 stay 0.
    const uint8_t px[9] = {10, 200, 0, 250, 5, 7, 0, 255, 1};
    Image small = allocImage(3, 3);
    for (int i = 0; i < 9; ++i) small.data[i] = px[i];
    Image32 sx = allocImage32(3, 3);
    Image32 sy = allocImage32(3, 3);
    gradient(small, sx, sy);
    const int32_t ex[9] = {0, 0, 0, 0, -245, 2, 0, 255, -254};
    const int32_t ey[9] = {0, 0, 0, 0, -195, 7, 0, 250, -6};
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(sx.data[i], ex[i]) << i;
        EXPECT_EQ(sy.data[i], ey[i]) << i;
    }
    for (Image* p : {&src, &small}) freeImage(*p);
    for (Image32* p : {&gx, &gy, &sx, &sy}) freeImage32(*p);
}

TEST(Gradient, OneByOneAndSizeMismatch) {
    Image src = makeSource(1, 1, [](int, int) { return 77; });
    Image32 gx = allocImage32(1, 1);
    Image32 gy = allocImage32(1, 1);
    gx.data[0] = gy.data[0] = 5;
    gradient(src, gx, gy);
    EXPECT_EQ(gx.data[0], 0);
    EXPECT_EQ(gy.data[0], 0);

    Image32 wrong = allocImage32(2, 1);
    EXPECT_DEATH(gradient(src, wrong, gy), "src.h == destX.h && src.w == destX.w");
    EXPECT_DEATH(gradient(src, gx, wrong), "src.h == destY.h && src.w == destY.w");
    freeImage(src);
    for (Image32* p : {&gx, &gy, &wrong}) freeImage32(*p);
}

TEST(CalculateStdDevs, HandComputedBlocks) {
    // Two 16x16 blocks side by side: left half 0 / half 255 by columns,
    // right uniformly 255 (sum squared exceeds 2^31, deviation exactly 0).
    const int32_t w = 32, h = 16;
    Image src = makeSource(w, h, [](int x, int) { return (x < 8) ? 0 : 255; });
    Stats s = makeStats(2, 1);
    calculateStdDevs(src, s.sums, s.squares, s.devs, 16, 16);
    EXPECT_EQ(s.sums.data[0], 32640);
    EXPECT_EQ(s.squares.data[0], 8323200);
    EXPECT_EQ(s.devs.data[0], std::sqrt(16320.0));
    EXPECT_EQ(s.sums.data[1], 65280);
    EXPECT_EQ(s.squares.data[1], 16646400);
    EXPECT_EQ(s.devs.data[1], 0.0);
    freeStats(s);
    freeImage(src);
}

TEST(CalculateStdDevs, NonSquareBlocksAndUncoveredBorder) {
    // 1000x1000 with a 62x62 grid of 16x16 blocks: rows and columns 992..999
    // are never read, so bright values there change nothing.
    const int32_t n = 1000;
    Image src = makeSource(n, n, [](int x, int y) { return (x >= 992 || y >= 992) ? 255 : 1; });
    Stats s = makeStats(62, 62);
    calculateStdDevs(src, s.sums, s.squares, s.devs, 16, 16);
    for (int i = 0; i < 62 * 62; ++i) {
        ASSERT_EQ(s.sums.data[i], 256) << i;
        ASSERT_EQ(s.squares.data[i], 256) << i;
        ASSERT_EQ(s.devs.data[i], 0.0) << i;
    }
    freeStats(s);
    freeImage(src);

    // 4-wide, 2-high blocks on a 9x5 source: grid 2x2, the cell order is row-major.
    Image src2 = makeSource(9, 5, [](int x, int y) { return x + 10 * y; });
    Stats t = makeStats(2, 2);
    calculateStdDevs(src2, t.sums, t.squares, t.devs, 4, 2);
    const int32_t expectSums[4] = {52, 84, 212, 244};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(t.sums.data[i], expectSums[i]) << i;
    // Block (0,0): 0 1 2 3 / 10 11 12 13 -> squares 14 + 534 = 548.
    EXPECT_EQ(t.squares.data[0], 548);
    EXPECT_NEAR(t.devs.data[0], std::sqrt((548 - 52.0 * 52.0 / 8) / 7.0), 1e-12);
    freeStats(t);
    freeImage(src2);
}

TEST(CalculateStdDevs, AccumulatesAcrossCalls) {
    Image src = makeSource(16, 16, [](int x, int) { return x < 8 ? 0 : 255; });
    Stats s = makeStats(1, 1);
    calculateStdDevs(src, s.sums, s.squares, s.devs, 16, 16);
    calculateStdDevs(src, s.sums, s.squares, s.devs, 16, 16);
    EXPECT_EQ(s.sums.data[0], 2 * 32640);
    EXPECT_EQ(s.squares.data[0], 2 * 8323200);
    // The deviation comes from the accumulated totals.
    const double s64 = 65280.0;
    EXPECT_EQ(s.devs.data[0], std::sqrt((16646400.0 - s64 * s64 / 256) / 255.0));
    freeStats(s);
    freeImage(src);
}
