#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "indicators/indicators.h"
#include "reference/reference.h"

using namespace lumaqc;

namespace {

// Every row equal to the given profile (w = profile size).
Image rowsOf(const std::vector<uint8_t>& profile, int32_t h) {
    const int32_t w = static_cast<int32_t>(profile.size());
    Image img = allocImage(w, h);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) img.data[y * w + x] = profile[x];
    return img;
}

// Profile of width w: `before` up to column `start` - 1, then `ramp`, then
// `after` to the end.
std::vector<uint8_t> profile(int32_t w, int32_t start, std::vector<uint8_t> ramp, uint8_t before,
                             uint8_t after) {
    std::vector<uint8_t> p(w, after);
    for (int32_t x = 0; x < start; ++x) p[x] = before;
    for (size_t i = 0; i < ramp.size(); ++i) p[start + i] = ramp[i];
    return p;
}

}  // namespace

TEST(Blur, FlatAndDegeneratePicturesGiveZero) {
    const int32_t sizes[][2] = {{0, 0}, {1, 1}, {64, 2}, {2, 64}, {64, 64}, {17, 35}};
    for (const auto& s : sizes) {
        Image img = allocImage(s[0], s[1]);
        for (int32_t i = 0; i < s[0] * s[1]; ++i) img.data[i] = 90;
        EXPECT_EQ(blur(img), 0.0) << s[0] << "x" << s[1];
        freeImage(img);
    }
    // A step edge is not examined when a dimension is at most 2.
    for (auto [w, h] : {std::pair{64, 2}, std::pair{2, 64}, std::pair{64, 1}}) {
        Image img = allocImage(w, h);
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) img.data[y * w + x] = x >= w / 2 ? 255 : 0;
        EXPECT_EQ(blur(img), 0.0) << w << "x" << h;
        freeImage(img);
    }
}

TEST(Blur, EdgeWidthsOfRowProfiles) {
    struct Case {
        const char* name;
        std::vector<uint8_t> row;
        double expected;
    };
    const Case cases[] = {
        {"rising step", profile(64, 32, {}, 0, 255), 1.0},
        {"falling step", profile(64, 32, {}, 255, 0), 1.0},
        // Peak at column 32: R = 1, L = 3.
        {"three-step ramp", profile(64, 30, {64, 128, 192}, 0, 255), 4.0},
        // Peak at the later of the two 2500s (column 33): R = 3, L = 6.
        {"long ramp", profile(64, 28, {10, 30, 60, 100, 150, 200, 230, 250}, 0, 255), 9.0},
        // Change in +100, change out -50: walked as falling, L = 0, R = 1.
        {"positive in, negative out", profile(64, 30, {100}, 0, 50), 1.0},
        {"positive in, two negative out", profile(64, 30, {100, 60}, 0, 20), 2.0},
        // One step per row: v > 16 * mean holds for 16 columns, not for 15.
        {"edge above sixteen times the mean", profile(16, 8, {}, 0, 255), 1.0},
        {"edge below sixteen times the mean", profile(15, 8, {}, 0, 255), 0.0},
        // The walks stop at column 2 on the left and at column W - 2 on the right.
        {"ramp cut at the left", profile(64, 1, {80, 160}, 0, 240), 2.0},
        {"ramp cut at the right", profile(64, 59, {100, 150, 200, 220}, 0, 240), 4.0},
    };
    for (const Case& c : cases) {
        Image img = rowsOf(c.row, 64);
        EXPECT_EQ(blur(img), c.expected) << c.name;
        freeImage(img);
    }
}

TEST(Blur, PeakRules) {
    struct Row {
        int32_t y;
        std::vector<uint8_t> samples;
    };
    struct Case {
        const char* name;
        int32_t w, h;
        std::vector<Row> rows;  // all other rows are 0
        double expected;
    };
    const Case cases[] = {
        // (3, 4): vertical change 200 beats the horizontal 150, so only the
        // vertical-peak rule admits it; width 2 (columns 3 and 4).
        {"vertical peak", 8, 6, {{3, {0, 0, 0, 50, 200, 200, 200, 200}}}, 2.0},
        // (4, 4) has |GX| = |GY| = 200 and is no vertical peak (65025 below
        // it): admitted by the horizontal rule's >=, width 2. (5, 4) width 1.
        {"horizontal peak with equal changes",
         16,
         10,
         {{4, profile(16, 4, {200}, 0, 255)}, {5, profile(16, 4, {}, 0, 255)}},
         1.5},
        // Rows 4 and 5 equal: (5, 4) is the lower end of a vertical plateau
        // (and no horizontal peak), width 2; (5, 5) width 2; (8, 20) width 1.
        {"lowest of a vertical plateau",
         32,
         10,
         {{4, profile(32, 4, {100}, 0, 200)},
          {5, profile(32, 4, {100}, 0, 200)},
          {8, profile(32, 20, {}, 0, 255)}},
         5.0 / 3.0},
    };
    for (const Case& c : cases) {
        Image img = callocImage(c.w, c.h);
        for (const Row& r : c.rows)
            for (int32_t x = 0; x < c.w; ++x) img.data[r.y * c.w + x] = r.samples[x];
        EXPECT_EQ(blur(img), c.expected) << c.name;
        freeImage(img);
    }
}

TEST(Blur, PixelsOutsideWholeBlocks) {
    // A step from 0 to 255 at (x, y), confined to row y, in pictures whose
    // size is not a multiple of 16: the edge pixel lies right of or below the
    // last whole block, or there is no whole block at all.
    const int32_t cases[][4] = {
        // w, h, x, y
        {40, 20, 36, 17}, {20, 40, 10, 35},  {40, 37, 20, 33},
        {10, 10, 5, 4},   {15, 300, 7, 150}, {300, 15, 290, 7},
    };
    for (const auto& c : cases) {
        const int32_t w = c[0], h = c[1], x0 = c[2], y0 = c[3];
        Image img = callocImage(w, h);
        for (int32_t x = x0; x < w; ++x) img.data[y0 * w + x] = 255;
        EXPECT_EQ(blur(img), 1.0) << w << "x" << h;
        freeImage(img);
    }
}

TEST(BlurToMOS, Mapping) {
    EXPECT_NEAR(blurToMOS(0.0), 4.9615, 5e-5);
    EXPECT_NEAR(blurToMOS(1.0), 4.84, 5e-3);
    EXPECT_NEAR(blurToMOS(5.0), 2.61, 5e-3);
    EXPECT_NEAR(blurToMOS(10.0), 0.9151, 5e-5);
    EXPECT_EQ(blurToMOS(600.0), 0.0);
}
