#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tools/definitions.h"

using namespace lumaqc;

namespace {

// Deterministic pseudo-random 8-bit picture.
std::vector<uint8_t> noiseSamples(int32_t w, int32_t h, uint32_t seed) {
    std::vector<uint8_t> v(static_cast<size_t>(w) * h);
    uint32_t s = seed;
    for (auto& x : v) {
        s = s * 1664525u + 1013904223u;
        x = static_cast<uint8_t>(s >> 24);
    }
    return v;
}

int32_t directBlockSum(const std::vector<uint8_t>& v, int32_t w, int32_t x0, int32_t y0, int32_t bw,
                       int32_t bh) {
    int32_t s = 0;
    for (int32_t y = y0; y < y0 + bh; ++y) {
        for (int32_t x = x0; x < x0 + bw; ++x) {
            s += v[static_cast<size_t>(y) * w + x];
        }
    }
    return s;
}

}  // namespace

TEST(Integral, SmallPictureIntegralAndBlockSums) {
    uint8_t px[] = {1, 2, 3, 4, 5, 6};
    Image src = makeImage(3, 2, px);
    Image32 integ = callocImage32(3, 2);
    integrate(src, integ);
    const int32_t expected[] = {1, 3, 6, 5, 12, 21};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(integ.data[i], expected[i]) << i;

    Image32 ones = callocImage32(3, 2);
    blockSumsInteg(integ, ones, 1, 1);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(ones.data[i], px[i]) << i;

    Image32 whole = callocImage32(1, 1);
    blockSumsInteg(integ, whole, 3, 2);
    EXPECT_EQ(whole.data[0], 21);

    // Columns as blocks, then rows as blocks.
    Image32 cols = callocImage32(3, 1);
    blockSumsInteg(integ, cols, 1, 2);
    EXPECT_EQ(cols.data[0], 5);
    EXPECT_EQ(cols.data[1], 7);
    EXPECT_EQ(cols.data[2], 9);
    Image32 rows = callocImage32(1, 2);
    blockSumsInteg(integ, rows, 3, 1);
    EXPECT_EQ(rows.data[0], 6);
    EXPECT_EQ(rows.data[1], 15);

    for (Image32* p : {&integ, &ones, &whole, &cols, &rows}) freeImage32(*p);
}

TEST(Integral, MatchesDirectSumsOnNoise) {
    const int32_t w = 37, h = 29;
    std::vector<uint8_t> v = noiseSamples(w, h, 7);
    Image src = makeImage(w, h, v.data());
    Image32 integ = callocImage32(w, h);
    integrate(src, integ);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            ASSERT_EQ(integ.data[y * w + x], directBlockSum(v, w, 0, 0, x + 1, y + 1));
        }
    }

    // Grids that leave columns and rows uncovered, and grids that fill the picture.
    struct Case {
        int32_t bw, bh;
    };
    for (Case c :
         {Case{8, 8}, Case{3, 5}, Case{1, 1}, Case{w, 1}, Case{1, h}, Case{w, h}, Case{16, 4}}) {
        const int32_t dw = w / c.bw, dh = h / c.bh;
        Image32 out = callocImage32(dw, dh);
        blockSumsInteg(integ, out, c.bw, c.bh);
        for (int32_t by = 0; by < dh; ++by) {
            for (int32_t bx = 0; bx < dw; ++bx) {
                ASSERT_EQ(out.data[by * dw + bx],
                          directBlockSum(v, w, bx * c.bw, by * c.bh, c.bw, c.bh))
                    << c.bw << "x" << c.bh << " block " << bx << "," << by;
            }
        }
        freeImage32(out);
    }
    freeImage32(integ);
}

TEST(Integral, DegenerateSizes) {
    // Width or height 0: nothing is written.
    uint8_t one[] = {200};
    int32_t sentinel[] = {-7};
    for (auto [w, h] : {std::pair{0, 3}, std::pair{3, 0}, std::pair{0, 0}}) {
        Image src = makeImage(w, h, one);
        Image32 dst = makeImage32(w, h, sentinel);
        integrate(src, dst);
        EXPECT_EQ(sentinel[0], -7);
        EXPECT_EQ(sumPixels(src), 0);
    }

    // A single sample, a single row and a single column.
    Image s1 = makeImage(1, 1, one);
    Image32 i1 = callocImage32(1, 1);
    integrate(s1, i1);
    EXPECT_EQ(i1.data[0], 200);
    uint8_t line[] = {5, 6, 7, 8};
    Image32 i4 = callocImage32(4, 1);
    integrate(makeImage(4, 1, line), i4);
    EXPECT_EQ(i4.data[3], 26);
    EXPECT_EQ(i4.data[1], 11);
    Image32 column = makeImage32(1, 4, i4.data);
    integrate(makeImage(1, 4, line), column);
    EXPECT_EQ(i4.data[1], 11);
    EXPECT_EQ(i4.data[3], 26);

    // An empty grid writes nothing; blocks of zero size sum to 0.
    Image32 empty = makeImage32(0, 1, sentinel);
    blockSumsInteg(i4, empty, 1, 1);
    blockSumsInteg2(makeImage(4, 1, line), empty, 1, 1);
    EXPECT_EQ(sentinel[0], -7);
    Image32 out = makeImage32(1, 1, sentinel);
    blockSumsInteg(i4, out, 0, 1);
    EXPECT_EQ(sentinel[0], 0);
    sentinel[0] = -7;
    blockSumsInteg2(makeImage(4, 1, line), out, 1, 0);
    EXPECT_EQ(sentinel[0], 0);
    freeImage32(i1);
    freeImage32(i4);
}

TEST(Integral, BlockSumsFromEightBitIntegralValues) {
    // A 4 x 4 picture of 1s has integral values up to 16, which fit in 8 bits:
    // 2 x 2 blocks then sum to 4.
    Image ones = callocImage(4, 4);
    for (int i = 0; i < 16; ++i) ones.data[i] = 1;
    Image32 integ = callocImage32(4, 4);
    integrate(ones, integ);
    Image integ8 = callocImage(4, 4);
    convI32toU8(integ, integ8);
    Image32 out = callocImage32(2, 2);
    blockSumsInteg2(integ8, out, 2, 2);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(out.data[i], 4) << i;

    // Values that fall to the right give negative differences.
    uint8_t falling[] = {10, 5, 1, 30, 20, 2};
    Image32 row = callocImage32(3, 2);
    blockSumsInteg2(makeImage(3, 2, falling), row, 1, 1);
    const int32_t expected[] = {10, -5, -4, 20, -5, -14};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(row.data[i], expected[i]) << i;

    freeImage(ones);
    freeImage32(integ);
    freeImage(integ8);
    freeImage32(out);
    freeImage32(row);
}

TEST(Integral, WholePictureSums) {
    Image hd = callocImage(1920, 1080);
    for (int32_t i = 0; i < 1920 * 1080; ++i) hd.data[i] = 255;
    EXPECT_EQ(sumPixels(hd), 528768000);
    freeImage(hd);

    // Beyond 8421504 samples of 255 the 32-bit sum wraps around.
    Image big = callocImage(4096, 2057);
    for (int32_t i = 0; i < 4096 * 2057; ++i) big.data[i] = 255;
    EXPECT_EQ(sumPixels(big), static_cast<int32_t>(2148495360u));
    freeImage(big);
}

TEST(Integral, LineSumsAgree) {
    std::vector<uint8_t> v = noiseSamples(10, 10, 3);
    int32_t direct = 0;
    for (int i = 0; i < 8; ++i) direct += v[i];
    EXPECT_EQ(sumH(v.data(), 4, 2), direct);
    EXPECT_EQ(sumV(v.data(), 4, 2), direct);
    EXPECT_EQ(sumH(v.data(), 2, 4), direct);
    EXPECT_EQ(sumV(v.data(), 2, 4), direct);
    EXPECT_EQ(sumH(v.data(), 10, 10), sumPixels(makeImage(10, 10, v.data())));
    EXPECT_EQ(sumV(v.data(), 10, 10), sumPixels(makeImage(10, 10, v.data())));

    for (auto [a, b] : {std::pair{0, 5}, std::pair{5, 0}, std::pair{-1, 5}, std::pair{5, -1}}) {
        EXPECT_EQ(sumH(v.data(), a, b), 0) << a << "," << b;
        EXPECT_EQ(sumV(v.data(), a, b), 0) << a << "," << b;
    }
}

TEST(Integral, OnlyCopyCopiesExactlyTheSamples) {
    std::vector<uint8_t> v = noiseSamples(7, 5, 11);
    Image src = makeImage(7, 5, v.data());
    std::vector<uint8_t> d(7 * 5 + 3, 0xAB);
    Image dst = makeImage(7, 5, d.data());
    onlyCopy(src, dst);
    EXPECT_EQ(areEqual(src, dst), 1);
    for (int i = 35; i < 38; ++i) EXPECT_EQ(d[i], 0xAB);
    onlyCopy(makeImage(0, 5, v.data()), dst);  // nothing to copy
    EXPECT_EQ(areEqual(src, dst), 1);
}
