// Slice rating and its ordering of strip ratios.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

#include "indicators/indicators.h"
#include "picture_fill.h"
#include "reference/reference.h"

using namespace lumaqc;

namespace {
const double inf = std::numeric_limits<double>::infinity();
template <typename F>
double sliceOf(int32_t w, int32_t h, F f) {
    auto s = samples(w, h, f);
    return slice(Image{w, h, s.data()});
}
}  // namespace

TEST(Slice, RatesOfRepetition) {
    auto flat = [](int, int) { return 9; };
    for (auto [w, h] : {std::pair{1920, 47}, {0, 0}, {16, 64}, {1, 64}})
        EXPECT_EQ(sliceOf(w, h, flat), -1.0) << w << "x" << h;
    EXPECT_EQ(sliceOf(17, 48, flat), 1.0);
    EXPECT_EQ(sliceOf(40, 300, [](int, int y) { return y % 256; }), inf);
    EXPECT_EQ(sliceOf(40, 64, [](int x, int) { return x; }), 0.0);
    // Flat rows: horizontal rates 1, vertical 8/16 (strip 0) and 12/16 (strip 1).
    auto level = [](int, int y) { return (y < 24 || (y >= 32 && y < 36)) ? 0 : 1; };
    EXPECT_EQ(sliceOf(32, 48, level), 2.0);
    EXPECT_EQ(sliceOf(45, 48, level), 2.0);
}

TEST(Slice, StripsWithoutAnyRepetitionAreIgnored) {
    // Strip 0 repeats in neither direction (0 / 0); the others have ratios 1, or 0 and 1.
    EXPECT_EQ(sliceOf(32, 48, [](int x, int y) { return y < 16 ? x : 100; }), 1.0);
    EXPECT_EQ(sliceOf(32, 64, [](int x, int y) { return y < 16 ? x : y < 32 ? 100 : 50; }), inf);
    EXPECT_TRUE(std::isnan(sliceOf(32, 48, [](int x, int y) { return (x + 17 * y) % 256; })));

    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> v{nan, 3, inf, nan, 1, 0, 2};
    std::qsort(v.data(), v.size(), sizeof(double), compare_Double_asc);
    EXPECT_EQ(std::vector<double>(v.begin(), v.begin() + 5),
              (std::vector<double>{0, 1, 2, 3, inf}));
    EXPECT_TRUE(std::isnan(v[5]) && std::isnan(v[6]));
}
