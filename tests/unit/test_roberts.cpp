#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tools/definitions.h"

using namespace lumaqc;

namespace {

template <typename F>
Image makeSource(int32_t w, int32_t h, F value) {
    Image img = allocImage(w, h);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) img.data[y * w + x] = static_cast<uint8_t>(value(x, y));
    return img;
}

Image32 filled32(int32_t w, int32_t h, int32_t v) {
    Image32 img = allocImage32(w, h);
    for (int32_t i = 0; i < w * h; ++i) img.data[i] = v;
    return img;
}

// Samples equal to the threshold 10 (not above it), except 11 at the listed
// indices.
Image32 pattern32(int32_t w, int32_t h, const std::vector<int>& onIdx) {
    Image32 img = filled32(w, h, 10);
    for (int i : onIdx) img.data[i] = 11;
    return img;
}

std::vector<int> range(int from, int count, int step = 1) {
    std::vector<int> v;
    for (int i = 0; i < count; ++i) v.push_back(from + i * step);
    return v;
}

}  // namespace

TEST(Roberts, DiagonalStepUniformAndOneByOne) {
    Image src = makeSource(5, 4, [](int x, int y) { return (x == 0 && y == 0) ? 200 : 0; });
    Image32 rx = filled32(5, 4, -1);
    Image32 ry = filled32(5, 4, -1);
    roberts(src, rx, ry);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(rx.data[i], i == 6 ? 200 : 0) << i;
        EXPECT_EQ(ry.data[i], 0) << i;
    }

    // Hand-computed signs on a 2x2: X = ul - lr, Y = ur - ll.
    const uint8_t px[4] = {10, 40, 90, 3};
    Image small = makeSource(2, 2, [&](int x, int y) { return px[y * 2 + x]; });
    Image32 sx = filled32(2, 2, -1);
    Image32 sy = filled32(2, 2, -1);
    roberts(small, sx, sy);
    EXPECT_EQ(sx.data[3], 7);
    EXPECT_EQ(sy.data[3], -50);
    EXPECT_EQ(sx.data[0] | sx.data[1] | sx.data[2] | sy.data[0] | sy.data[1] | sy.data[2], 0);

    Image one = makeSource(1, 1, [](int, int) { return 9; });
    Image32 ox = filled32(1, 1, 5);
    Image32 oy = filled32(1, 1, 5);
    roberts(one, ox, oy);
    EXPECT_EQ(ox.data[0], 0);
    EXPECT_EQ(oy.data[0], 0);
    EXPECT_DEATH(roberts(one, rx, oy), "src.h == destX.h && src.w == destX.w");
    EXPECT_DEATH(roberts(one, ox, ry), "src.h == destY.h && src.w == destY.w");

    for (Image* p : {&src, &small, &one}) freeImage(*p);
    for (Image32* p : {&rx, &ry, &sx, &sy, &ox, &oy}) freeImage32(*p);
}

TEST(RobertsSkip, SamplesTheGridAndMatchesRobertsWithUnitSteps) {
    const int32_t w = 40, h = 35;
    Image src = makeSource(w, h, [](int x, int y) { return (x * 37 + y * 101 + x * y) % 256; });
    Image32 fx = allocImage32(w, h), fy = allocImage32(w, h);
    roberts(src, fx, fy);

    Image32 ux = filled32(w, h, -1), uy = filled32(w, h, -1);
    robertsSkip(src, ux, uy, 1, 1);
    for (int i = 0; i < w * h; ++i) {
        ASSERT_EQ(ux.data[i], fx.data[i]) << i;
        ASSERT_EQ(uy.data[i], fy.data[i]) << i;
    }

    // Steps 1 x 16 (grid rows) and 16 x 1 (grid columns).
    struct Case {
        int sx, sy;
    };
    for (Case c : {Case{1, 16}, Case{16, 1}, Case{3, 5}}) {
        const int32_t dw = (w - 1) / c.sx + 1, dh = (h - 1) / c.sy + 1;
        Image32 gx = filled32(dw, dh, -1), gy = filled32(dw, dh, -1);
        robertsSkip(src, gx, gy, c.sx, c.sy);
        for (int32_t j = 0; j < dh; ++j) {
            for (int32_t i = 0; i < dw; ++i) {
                const bool border = i == 0 || j == 0;
                const int32_t at = c.sy * j * w + c.sx * i;
                ASSERT_EQ(gx.data[j * dw + i], border ? 0 : fx.data[at]) << c.sx << c.sy;
                ASSERT_EQ(gy.data[j * dw + i], border ? 0 : fy.data[at]) << c.sx << c.sy;
            }
        }
        freeImage32(gx);
        freeImage32(gy);
    }

    // Destinations of width 1 or height 1 receive only zeros.
    for (auto [dw, dh] : {std::pair{1, 3}, std::pair{5, 1}}) {
        Image32 gx = filled32(dw, dh, -1), gy = filled32(dw, dh, -1);
        robertsSkip(src, gx, gy, 4, 4);
        for (int i = 0; i < dw * dh; ++i) EXPECT_TRUE(gx.data[i] == 0 && gy.data[i] == 0);
        freeImage32(gx);
        freeImage32(gy);
    }
    freeImage(src);
    for (Image32* p : {&fx, &fy, &ux, &uy}) freeImage32(*p);
}

TEST(Elementwise, AddSquaresMultiplyAndSum) {
    Image32 a = allocImage32(3, 2), b = allocImage32(3, 2), d = filled32(3, 2, 7);
    const int32_t av[6] = {0, 1, -255, 255, 3, -4};
    const int32_t bv[6] = {0, -2, 255, -255, 4, 5};
    for (int i = 0; i < 6; ++i) a.data[i] = av[i], b.data[i] = bv[i];
    addSquares32(a, b, d);
    const int32_t sq[6] = {0, 5, 130050, 130050, 25, 41};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(d.data[i], sq[i]) << i;
    multiply(a, b, d);
    const int32_t pr[6] = {0, -2, -65025, -65025, 12, -20};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(d.data[i], pr[i]) << i;
    EXPECT_EQ(sumPixels32(d), -130060);

    // Products wrap around in 32 bits.
    a.data[0] = 65536;
    b.data[0] = 65536;
    multiply(a, b, d);
    EXPECT_EQ(d.data[0], 0);
    addSquares32(a, b, d);
    EXPECT_EQ(d.data[0], 0);

    // 64-bit total of large samples, and empty pictures.
    Image32 big = filled32(4, 1, 2000000000);
    EXPECT_EQ(sumPixels32(big), 8000000000LL);
    Image32 empty = filled32(0, 5, 0);
    EXPECT_EQ(sumPixels32(empty), 0);
    EXPECT_EQ(sumPixels32(makeImage32(3, 0, nullptr)), 0);
    Image32 d2 = filled32(3, 2, 7);
    addSquares32(empty, b, d2);
    multiply(empty, b, d2);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(d2.data[i], 7);
    for (Image32* p : {&a, &b, &d, &big, &empty, &d2}) freeImage32(*p);
}

TEST(CountSeqsH, RunLengthsThresholdAndBlockBorders) {
    struct Case {
        const char* name;
        std::vector<int> on;
        int32_t expected;
    };
    const Case cases[] = {
        {"11 adds nothing", range(3, 11), 0},
        {"12 adds one", range(3, 12), 1},
        {"40 adds one", range(3, 40), 1},
        {"two runs of 12",
         [] {
             auto v = range(0, 12);
             auto r = range(13, 12);
             v.insert(v.end(), r.begin(), r.end());
             return v;
         }(),
         2},
        {"whole row", range(0, 64), 1},
    };
    for (const Case& c : cases) {
        Image32 src = pattern32(64, 1, c.on);
        Image32 dest = filled32(1, 1, 0);
        EXPECT_EQ(countSeqsH(src, dest, 64, 1, 10.0, 12), 0);
        EXPECT_EQ(dest.data[0], c.expected) << c.name;
        freeImage32(src);
        freeImage32(dest);
    }

    // bw = 256: 8 at the end of block 0 and 8 at the start of block 1 add
    // nothing; a run of 12 in row 3 of block row 1 lands in cell (1, 1);
    // columns beyond the grid (512..519) are not examined.
    const int32_t w = 520, h = 4;
    auto on = range(248, 16);
    for (int i : range(260, 12)) on.push_back(3 * w + i);
    for (int i : range(2 * w + 500, 20)) on.push_back(i);  // 12 in block 1, rest beyond
    Image32 src = pattern32(w, h, on);
    Image32 dest = filled32(2, 2, 0);
    countSeqsH(src, dest, 256, 2, 10.0, 12);
    EXPECT_EQ(dest.data[0], 0);
    EXPECT_EQ(dest.data[1], 0);
    EXPECT_EQ(dest.data[2], 0);
    EXPECT_EQ(dest.data[3], 2);
    // The destination is added to.
    countSeqsH(src, dest, 256, 2, 10.0, 12);
    EXPECT_EQ(dest.data[3], 4);
    freeImage32(src);
    freeImage32(dest);
}

TEST(CountSeqsV, RunsStopAtBlockRowsAndCountersReset) {
    // 3 columns, 2 block rows of 16: column 0 has 12 wholly inside block row 0,
    // column 1 has 12 that straddle the border (6 + 6), column 2 has 11.
    const int32_t w = 3, h = 34;
    std::vector<int> on;
    for (int y : range(2, 12)) on.push_back(y * w + 0);
    for (int y : range(10, 12)) on.push_back(y * w + 1);
    for (int y : range(18, 11)) on.push_back(y * w + 2);
    Image32 src = pattern32(w, h, on);
    Image32 dest = filled32(3, 2, 0);
    Image32 counters = filled32(w, 1, 0);
    EXPECT_EQ(countSeqsV(src, dest, counters, 1, 16, 10.0, 12), 0);
    const int32_t expected[6] = {1, 0, 0, 0, 0, 0};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(dest.data[i], expected[i]) << i;
    for (int i = 0; i < w; ++i) EXPECT_EQ(counters.data[i], 0) << i;

    // A run of 40 in one block counts once; a sample equal to the threshold
    // splits it.
    Image32 col = pattern32(1, 40, range(0, 40));
    Image32 d1 = filled32(1, 1, 0);
    countSeqsV(col, d1, counters, 1, 40, 10.0, 12);
    EXPECT_EQ(d1.data[0], 1);
    col.data[20] = 10;
    countSeqsV(col, d1, counters, 1, 40, 10.0, 12);
    EXPECT_EQ(d1.data[0], 1 + 2);
    EXPECT_EQ(counters.data[0], 0);
    for (Image32* p : {&src, &dest, &counters, &col, &d1}) freeImage32(*p);
}
