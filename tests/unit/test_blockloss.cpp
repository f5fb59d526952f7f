#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "indicators/indicators.h"

using namespace lumaqc;

namespace {

// Inclusive rectangle of value 255.
struct Rect {
    int32_t top, bottom, left, right;
};

Image blackWithRects(int32_t w, int32_t h, const std::vector<Rect>& rects) {
    Image img = callocImage(w, h);
    for (const Rect& r : rects)
        for (int32_t y = r.top; y <= r.bottom; ++y)
            for (int32_t x = r.left; x <= r.right; ++x) img.data[y * w + x] = 255;
    return img;
}

}  // namespace

TEST(BlockLoss, PicturesUnder256x256GiveMinusOne) {
    const int32_t sizes[][2] = {{0, 0}, {1, 1}, {255, 480}, {640, 255}, {255, 255}, {16, 16}};
    for (const auto& s : sizes) {
        Image img = callocImage(s[0], s[1]);
        EXPECT_EQ(blockLoss(img), -1.0) << s[0] << "x" << s[1];
        freeImage(img);
    }
}

TEST(BlockLoss, UniformPicturesGiveZero) {
    for (uint8_t v : {0, 128, 255}) {
        for (auto [w, h] : {std::pair{256, 256}, std::pair{300, 273}}) {
            Image img = allocImage(w, h);
            for (int32_t i = 0; i < w * h; ++i) img.data[i] = v;
            EXPECT_EQ(blockLoss(img), 0.0) << int(v) << " " << w << "x" << h;
            freeImage(img);
        }
    }
}

TEST(BlockLoss, GridAlignedPatches) {
    struct Case {
        const char* name;
        int32_t w, h;
        std::vector<Rect> rects;
        double expected;
    };
    const Case cases[] = {
        // Lines at rows 16 and 32 and columns 16 and 32 carry 17-long runs.
        {"block on the grid", 256, 256, {{16, 31, 16, 31}}, 4.0},
        {"block off the grid", 256, 256, {{8, 23, 8, 23}}, 0.0},
        {"horizontal band only", 256, 256, {{16, 31, 0, 255}}, 0.0},
        // 11 wide: 12 positions on each row line; the right edge is off-grid.
        {"row runs of 12", 256, 256, {{16, 31, 16, 26}}, 2.0},
        {"row runs of 11", 256, 256, {{16, 31, 16, 25}}, 0.0},
        // 11 high: 12 positions on each column line; the bottom edge is off-grid.
        {"column runs of 12", 256, 256, {{16, 26, 16, 31}}, 2.0},
        {"column runs of 11", 256, 256, {{16, 25, 16, 31}}, 0.0},
        {"runs of 49 count once", 256, 256, {{16, 31, 16, 63}}, 4.0},
        {"mean over two regions", 512, 256, {{16, 31, 16, 31}}, 2.0},
        {"one patch per region", 512, 512, {{16, 31, 16, 31}, {272, 287, 272, 287}}, 2.0},
        // 8 + 9 positions split by the region border at column 256; the bar
        // in region 1 supplies column runs that would expose a joined run.
        {"runs cut at region borders", 512, 256, {{16, 31, 248, 263}, {100, 130, 320, 335}}, 0.0},
        // Width 300: lines beyond the region grid are not counted.
        {"outside the regions", 300, 300, {{16, 31, 16, 31}, {16, 31, 270, 290}}, 4.0},
    };
    for (const Case& c : cases) {
        Image img = blackWithRects(c.w, c.h, c.rects);
        EXPECT_EQ(blockLoss(img), c.expected) << c.name;
        freeImage(img);
    }
}

TEST(BlockLoss, EdgesMustExceedSixTimesTheMeanEnergy) {
    // Alternating columns: every position away from row 0 and column 0 has
    // the maximum energy 130050, so none exceeds six times the mean.
    Image img = allocImage(256, 256);
    for (int32_t i = 0; i < 256 * 256; ++i) img.data[i] = (i % 2) ? 255 : 0;
    EXPECT_EQ(blockLoss(img), 0.0);
    freeImage(img);

    // A grid-aligned block of value v over a background whose lower half has
    // alternating columns of 40: the energy sum is 104040000 + 124 v^2 and
    // the block's runs carry energy 2 v^2. v = 69: threshold 9579.19 and
    // 2 v^2 = 9522, no run; v = 70: threshold 9580.77 and 2 v^2 = 9800.
    for (auto [v, expected] : {std::pair{69, 0.0}, std::pair{70, 4.0}}) {
        Image pic = callocImage(256, 256);
        for (int32_t y = 16; y < 32; ++y)
            for (int32_t x = 16; x < 32; ++x) pic.data[y * 256 + x] = static_cast<uint8_t>(v);
        for (int32_t y = 128; y < 256; ++y)
            for (int32_t x = 1; x < 256; x += 2) pic.data[y * 256 + x] = 40;
        EXPECT_EQ(blockLoss(pic), expected) << v;
        freeImage(pic);
    }
}
