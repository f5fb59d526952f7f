// Blackout flag and the min/max search behind it.
#include <gtest/gtest.h>

#include <utility>

#include "indicators/indicators.h"
#include "picture_fill.h"
#include "reference/reference.h"

using namespace lumaqc;

namespace {
template <typename F>
uint8_t blackoutOf(int32_t w, int32_t h, F f) {
    auto s = samples(w, h, f);
    return blackout(Image{w, h, s.data()});
}
}  // namespace

TEST(Blackout, SpreadOfBlockMeansAgainstThreshold) {
    for (int v : {0, 128, 255}) EXPECT_EQ(blackoutOf(24, 16, [v](int, int) { return v; }), 1);
    // Block means 10 and 14: a spread of exactly 4 is not flat; 3.984375 is.
    EXPECT_EQ(blackoutOf(16, 8, [](int x, int) { return x < 8 ? 10 : 14; }), 0);
    EXPECT_EQ(blackoutOf(16, 8, [](int x, int) { return x < 8 ? 14 : 10; }), 0);
    EXPECT_EQ(
        blackoutOf(16, 8, [](int x, int y) { return x < 8              ? 10
                                                    : x == 9 && y == 3 ? 13
                                                                       : 14; }), 1);
    // One bright sample moves its block sum by 255, two by 510.
    EXPECT_EQ(blackoutOf(16, 16, [](int x, int y) { return x == 12 && y == 2 ? 255 : 0; }), 1);
    EXPECT_EQ(blackoutOf(16, 16, [](int x, int y) { return x / 2 == 6 && y == 2 ? 255 : 0; }), 0);
}

TEST(Blackout, OnlyWholeBlocksCount) {
    EXPECT_EQ(blackoutOf(12, 8, [](int x, int) { return x < 8 ? 0 : 255; }), 1);
    EXPECT_EQ(blackoutOf(1920, 1084, [](int, int y) { return y < 1080 ? 0 : 255; }), 1);
    EXPECT_EQ(blackoutOf(1920, 1080, [](int, int y) { return y < 1079 ? 0 : 255; }), 0);
    for (auto [w, h] : {std::pair{0, 0}, {1, 1}, {7, 100}, {100, 7}})
        EXPECT_EQ(blackoutOf(w, h, [](int, int) { return 0; }), 0) << w << "x" << h;
    int32_t lo = 0, hi = 0;
    EXPECT_DEATH(minmax(nullptr, 0, lo, hi), "size > 0");
}
