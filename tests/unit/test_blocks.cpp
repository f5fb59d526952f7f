// Block sums, shifted comparison and sample-wise division.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "picture_fill.h"
#include "tools/definitions.h"

using namespace lumaqc;

namespace {
std::vector<int32_t> sumsOf(std::vector<uint8_t> s, int32_t w, int32_t dw, int32_t dh, int32_t bw,
                            int32_t bh, int32_t start = 0) {
    std::vector<int32_t> d(static_cast<size_t>(dw) * dh, start);
    Image32 dst{dw, dh, d.data()};
    blockSums(Image{w, static_cast<int32_t>(s.size()) / w, s.data()}, dst, bw, bh);
    return d;
}
}  // namespace

TEST(BlockSums, SumsAndAccumulatesWholeBlocks) {
    auto ones = samples(16, 16, [](int, int) { return 1; });
    EXPECT_EQ(sumsOf(ones, 16, 2, 2, 8, 8), std::vector<int32_t>(4, 64));
    EXPECT_EQ(sumsOf(ones, 16, 2, 2, 8, 8, 64), std::vector<int32_t>(4, 128));
    // Distinct sums per block catch swapped axes and wrong strides.
    EXPECT_EQ(sumsOf(samples(6, 4, [](int x, int y) { return x + 10 * y; }), 6, 2, 2, 3, 2),
              (std::vector<int32_t>{36, 54, 156, 174}));
    // Columns and rows beyond the last whole block are not read.
    auto edge = samples(20, 12, [](int x, int y) { return x < 16 && y < 8 ? 1 : 200; });
    EXPECT_EQ(sumsOf(edge, 20, 2, 1, 8, 8), (std::vector<int32_t>{64, 64}));
    // Picture-wide blocks sum strips of rows; empty blocks add nothing.
    auto rows = samples(5, 6, [](int, int y) { return y; });
    EXPECT_EQ(sumsOf(rows, 5, 1, 3, 5, 2), (std::vector<int32_t>{5, 25, 45}));
    EXPECT_EQ(sumsOf(rows, 5, 1, 3, 0, 2, 7), (std::vector<int32_t>{7, 7, 7}));
}

TEST(CompareShifted, MarksEqualSamplesAtOffset) {
    auto alt = samples(40, 3, [](int x, int) { return x % 2 ? 255 : 0; });
    std::vector<uint8_t> d16(24 * 3, 7), d1(39 * 3, 7);
    Image dst16{24, 3, d16.data()}, dst1{39, 3, d1.data()};
    compareShifted(Image{40, 3, alt.data()}, dst16, 16);
    compareShifted(Image{40, 3, alt.data()}, dst1, 1);
    EXPECT_EQ(d16, std::vector<uint8_t>(24 * 3, 1));
    EXPECT_EQ(d1, std::vector<uint8_t>(39 * 3, 0));
    // A row offset compares downwards; one odd sample shows where compared.
    auto v = samples(4, 6, [](int x, int y) { return x == 2 && y == 4 ? 9 : y % 3; });
    std::vector<uint8_t> dv(4 * 3, 7), expected(12, 1);
    Image dstV{4, 3, dv.data()};
    compareShifted(Image{4, 6, v.data()}, dstV, 3 * 4);
    expected[1 * 4 + 2] = 0;
    EXPECT_EQ(dv, expected);
}

TEST(DivideDouble, FollowsIeeeRulesOverNumeratorSize) {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> a{1, 0, -1, 6}, b{0, 0, 0, 4, 1}, out(5, 99);
    ImageDouble O{1, 5, out.data()};
    divideDouble(ImageDouble{1, 4, a.data()}, ImageDouble{1, 5, b.data()}, O);
    EXPECT_EQ(out[0], inf);
    EXPECT_TRUE(std::isnan(out[1]));
    EXPECT_EQ(out[2], -inf);
    EXPECT_EQ(out[3], 1.5);
    EXPECT_EQ(out[4], 99);
}
