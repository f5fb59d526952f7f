// Letterbox and pillarbox, and their per-line tests.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <utility>

#include "indicators/indicators.h"
#include "picture_fill.h"
#include "reference/reference.h"

using namespace lumaqc;

namespace {
int texture(int x, int y) {
    return 1 + (x + 3 * y) % 200;
}
}  // namespace

TEST(Borders, CountLinesFromTheEdges) {
    // Every row flat, each at its own level.
    auto r = samples(21, 10, [](int, int y) { return 10 * y; });
    EXPECT_EQ(letterbox(Image{21, 10, r.data()}), 1.0);
    EXPECT_EQ(pillarbox(Image{21, 10, r.data()}), 1.0);
    // Flat rows 0-4 and 15-19; then the same bars at the top only; the middle
    // row of an odd height is never examined.
    auto both = samples(30, 20, [](int x, int y) { return y < 5 || y >= 15 ? 0 : texture(x, y); });
    auto top = samples(30, 20, [](int x, int y) { return y < 5 ? 0 : texture(x, y); });
    auto mid = samples(30, 5, [](int x, int y) { return y == 2 ? texture(x, y) : y; });
    EXPECT_EQ(letterbox(Image{30, 20, both.data()}), 5.0 / 10.0);
    EXPECT_EQ(letterbox(Image{30, 20, top.data()}), 0.0);
    EXPECT_EQ(letterbox(Image{30, 5, mid.data()}), 1.0);
    // A 240-column bar: column 239 differs from column 240.
    auto bar = samples(1920, 4, [](int x, int y) { return x < 240 ? 0 : texture(x, y); });
    EXPECT_EQ(pillarbox(Image{1920, 4, bar.data()}), 239.0 / 960.0);
}

TEST(Borders, LineTestsCheckEverySample) {
    // Rows 0 and 3 flat at different levels, then one sample set apart.
    for (auto [x, y, expected] :
         {std::tuple{-1, -1, 1}, {0, 0, 0}, {5, 0, 0}, {1, 3, 0}, {5, 3, 0}, {3, 1, 1}}) {
        // Copies: clang 14 cannot capture structured bindings.
        const int px = x;
        const int py = y;
        auto s = samples(6, 4, [&](int i, int j) { return i == px && j == py ? 99 : j; });
        EXPECT_EQ(checkLetterBar(s.data(), 6, 4, 0), expected) << x << "," << y;
    }
    // Columns 1 and 2 differ in one row only, wherever that row is.
    for (int32_t H : {1, 2, 5, 6})
        for (int32_t row = 0; row < H; ++row) {
            auto s = samples(4, H, [&](int x, int y) { return x == 2 && y == row ? 1 : 0; });
            EXPECT_EQ(checkPillarBar(s.data(), 4, H, 1), H == 1 ? 1 : 0) << H << "," << row;
        }
}

TEST(Borders, DegenerateSizes) {
    auto line = samples(9, 1, texture);
    EXPECT_TRUE(std::isnan(letterbox(Image{9, 1, line.data()})));
    EXPECT_EQ(pillarbox(Image{9, 1, line.data()}), 1.0);
    EXPECT_TRUE(std::isnan(pillarbox(Image{1, 9, line.data()})));
    EXPECT_EQ(letterbox(Image{1, 9, line.data()}), 1.0);
    EXPECT_TRUE(std::isnan(letterbox(Image{0, 0, nullptr})));
    EXPECT_TRUE(std::isnan(pillarbox(Image{0, 0, nullptr})));
    // Lines without samples are flat and identical.
    EXPECT_EQ(letterbox(Image{0, 4, nullptr}), 1.0);
    EXPECT_EQ(pillarbox(Image{4, 0, nullptr}), 1.0);
}
