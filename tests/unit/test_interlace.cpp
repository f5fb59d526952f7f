#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "indicators/indicators.h"

using namespace lumaqc;

namespace {

double interlaceOf(int w, int h, const std::function<int(int, int)>& sample) {
    std::vector<uint8_t> s(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) s[static_cast<size_t>(y) * w + x] = sample(x, y);
    return interlace(makeImage(w, h, s.data()));
}

TEST(Interlace, PatternsOnWholeGroups) {
    struct Case {
        const char* name;
        int w, h;
        std::function<int(int, int)> sample;
        double expected;
    };
    const std::vector<Case> cases = {
        {"uniform", 32, 32, [](int, int) { return 90; }, 0.0},
        {"rows 0/255", 32, 16, [](int, int y) { return y % 2 ? 255 : 0; }, 4.0},
        {"rows 10/20", 16, 16, [](int, int y) { return y % 2 ? 20 : 10; }, 4.0},
        {"rows in pairs", 16, 16, [](int, int y) { return (y / 2) % 2 ? 255 : 0; }, 0.0},
        // Columns zigzag in opposite directions: still combed.
        {"checkerboard", 16, 16, [](int x, int y) { return (x + y) % 2 ? 255 : 0; }, 4.0},
        // Equal neighbours break the zigzag.
        {"flat step", 16, 16, [](int, int y) { return y % 4 == 3 ? 0 : (y % 2 ? 255 : 0); }, 0.0},
        // One column of the group at (4, 4) is flat: 15 of 16 groups.
        {"one broken column", 16, 16,
         [](int x, int y) { return (x == 6 && y >= 4 && y < 8) ? 50 : (y % 2 ? 255 : 0); }, 3.75},
        // Multiples of 4 but not of 8: 12 groups over 2 blocks.
        {"16x12", 16, 12, [](int, int y) { return y % 2 ? 255 : 0; }, 6.0},
        {"1920x1080", 1920, 1080, [](int, int y) { return y % 2 ? 200 : 100; }, 4.0},
    };
    for (const Case& c : cases) EXPECT_EQ(interlaceOf(c.w, c.h, c.sample), c.expected) << c.name;
}

// Partial groups at the right and bottom edges are skipped.
TEST(Interlace, PartialGroupsAreSkipped) {
    auto rows = [](int, int y) { return y % 2 ? 255 : 0; };
    EXPECT_EQ(interlaceOf(18, 18, rows), 16.0 / 4.0);
    EXPECT_EQ(interlaceOf(19, 10, rows), 8.0 / 2.0);
    EXPECT_EQ(interlaceOf(23, 23, rows), 25.0 / 4.0);
    // Columns 0, 1, 8 and 9 zigzag: a partial group at x = 8 that wrapped
    // into the next row's first columns would count as combed.
    auto rightEdge = [](int x, int y) { return (x >= 8 || x < 2) ? (y % 2 ? 255 : 0) : 100; };
    EXPECT_EQ(interlaceOf(10, 8, rightEdge), 0.0);
    EXPECT_EQ(interlaceOf(8, 11, rows), 4.0);
}

// Fewer than 8 samples on a side: no 8x8 block to normalise by.
TEST(Interlace, NoBlockGivesNaNOrInfinity) {
    auto rows = [](int, int y) { return y % 2 ? 255 : 0; };
    EXPECT_TRUE(std::isinf(interlaceOf(4, 4, rows)));
    EXPECT_TRUE(std::isinf(interlaceOf(64, 4, rows)));
    EXPECT_TRUE(std::isnan(interlaceOf(4, 4, [](int, int) { return 5; })));
    EXPECT_TRUE(std::isnan(interlaceOf(0, 0, rows)));
    EXPECT_TRUE(std::isnan(interlaceOf(1, 1, rows)));
    EXPECT_TRUE(std::isnan(interlaceOf(3, 100, rows)));
}

}  // namespace
