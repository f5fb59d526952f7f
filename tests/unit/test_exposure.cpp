#include <gtest/gtest.h>

#include <vector>

#include "indicators/indicators.h"

using namespace lumaqc;

namespace {

struct Picture {
    int w, h;
    std::vector<uint8_t> s;
    Picture(int w_, int h_, uint8_t v = 0) : w(w_), h(h_), s(static_cast<size_t>(w_) * h_, v) {}
    void fillBlock(int x0, int y0, uint8_t v) {
        for (int y = y0; y < y0 + 8 && y < h; ++y)
            for (int x = x0; x < x0 + 8 && x < w; ++x) s[static_cast<size_t>(y) * w + x] = v;
    }
    Image image() { return makeImage(w, h, s.data()); }
};

TEST(Exposure, UniformPicturesGiveTheirValue) {
    for (int v : {0, 1, 77, 128, 254, 255}) {
        Picture p(32, 32, static_cast<uint8_t>(v));
        EXPECT_EQ(exposure(p.image()), v) << v;
    }
}

// Sides of 8 or less visit no block: the lists keep 4 x 16320 and 4 x 0.
TEST(Exposure, NoVisitedBlockGivesMidGrey) {
    const int sizes[][2] = {{0, 0}, {1, 1}, {7, 100}, {8, 8}, {8, 1080}, {1920, 8}, {100, 3}};
    for (const auto& sz : sizes) {
        Picture p(sz[0], sz[1], 200);
        EXPECT_EQ(exposure(p.image()), 127.5) << sz[0] << "x" << sz[1];
    }
}

TEST(Exposure, FewerThanFourBlocksKeepStartingEntries) {
    Picture black(16, 16, 0);  // one visited block
    EXPECT_EQ(exposure(black.image()), 95.625);

    // 17 x 17 visits four blocks; each stands in both lists.
    Picture p(17, 17, 255);
    p.fillBlock(0, 0, 10);
    p.fillBlock(8, 0, 20);
    p.fillBlock(0, 8, 30);
    p.fillBlock(8, 8, 44);
    EXPECT_EQ(exposure(p.image()), (10 + 20 + 30 + 44) / 4.0);
}

// The last block column and row are not visited when the side is a multiple of 8.
TEST(Exposure, LastBlockRowAndColumnAreSkipped) {
    Picture p(24, 24, 0);
    p.fillBlock(16, 16, 255);
    p.fillBlock(16, 0, 255);
    p.fillBlock(0, 16, 255);
    EXPECT_EQ(exposure(p.image()), 0.0);

    Picture hd(1920, 1080, 0);
    hd.fillBlock(0, 0, 255);
    EXPECT_EQ(exposure(hd.image()), 31.875);
}

// Sixteen visited blocks of distinct levels in scrambled order: the four
// smallest and the four largest enter, each once.
TEST(Exposure, PicksFourDarkestAndFourBrightest) {
    const int order[16] = {7, 12, 0, 15, 3, 9, 14, 1, 5, 11, 2, 13, 8, 4, 10, 6};
    Picture p(40, 40, 0);
    for (int i = 0; i < 16; ++i) p.fillBlock((i % 4) * 8, (i / 4) * 8, 10 * order[i] + 5);
    // Unvisited last row and column hold extremes that must not count.
    for (int i = 0; i < 5; ++i) {
        p.fillBlock(32, i * 8, i % 2 ? 0 : 255);
        p.fillBlock(i * 8, 32, i % 2 ? 255 : 0);
    }
    const double expected = (5 + 15 + 25 + 35 + 155 + 145 + 135 + 125) / 8.0;
    EXPECT_EQ(exposure(p.image()), expected);

    // Equal sums: ties fill several places of a list.
    Picture q(40, 40, 100);
    q.fillBlock(8, 8, 3);
    q.fillBlock(16, 16, 3);
    q.fillBlock(24, 0, 250);
    EXPECT_EQ(exposure(q.image()), (3 + 3 + 100 + 100 + 250 + 100 + 100 + 100) / 8.0);

    // A block of mixed samples contributes its exact sum.
    Picture r(17, 17, 0);
    r.s[0] = 1;  // block (0,0) sums to 1
    EXPECT_EQ(exposure(r.image()), 2.0 / 512.0);
}

}  // namespace
