#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "tools/definitions.h"

using namespace lumaqc;

TEST(Conversions, LowBitsRoundTripBetweenDepths) {
    int32_t wide[] = {0, 255, 256, 300, -1};
    uint8_t narrow[5] = {};
    Image32 w32 = makeImage32(5, 1, wide);
    Image u8 = makeImage(1, 5, narrow);  // same count, other shape
    convI32toU8(w32, u8);
    const uint8_t expected[] = {0, 255, 0, 44, 255};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(narrow[i], expected[i]) << i;

    int32_t back[5] = {-9, -9, -9, -9, -9};
    Image32 b32 = makeImage32(5, 1, back);
    convU8toI32(u8, b32);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(back[i], expected[i]) << i;
}

TEST(ConversionsDeathTest, SampleCountsAreChecked) {
    uint8_t u[6] = {};
    int32_t s[6] = {};
    double d[6] = {};
    Image u8 = makeImage(3, 2, u);
    Image32 i32 = makeImage32(5, 1, s);
    ImageDouble a = makeImageDouble(3, 2, d);
    ImageDouble b = makeImageDouble(2, 2, d);
    EXPECT_DEATH(convU8toI32(u8, i32), "src.w \\* src.h == dest.w \\* dest.h");
    EXPECT_DEATH(convI32toU8(i32, u8), "src.w \\* src.h == dest.w \\* dest.h");
    EXPECT_DEATH(imageSqrt(a, b), "src.w \\* src.h == dest.w \\* dest.h");
}

TEST(Conversions, AreEqual) {
    uint8_t p[] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t q[] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t r[] = {1, 2, 3, 4, 5, 6, 7, 9};
    Image a = makeImage(4, 2, p);
    EXPECT_EQ(areEqual(a, a), 1);
    EXPECT_EQ(areEqual(a, makeImage(4, 2, q)), 1);
    EXPECT_EQ(areEqual(a, makeImage(2, 4, q)), 0);
    EXPECT_EQ(areEqual(a, makeImage(4, 1, q)), 0);
    EXPECT_EQ(areEqual(a, makeImage(4, 2, r)), 0);  // differs in the last sample only
    EXPECT_EQ(areEqual(makeImage(0, 3, p), makeImage(0, 3, r)), 1);
    EXPECT_EQ(areEqual(makeImage(0, 0, nullptr), makeImage(0, 0, nullptr)), 1);
    // Records sharing one array are equal without a sample being read: the
    // array below is far smaller than the records claim.
    EXPECT_EQ(areEqual(makeImage(100, 100, p), makeImage(100, 100, p)), 1);
}

TEST(Conversions, ElementwiseArithmetic) {
    uint8_t a[] = {255, 0, 3, 255};
    uint8_t b[] = {255, 0, 4, 0};
    int32_t sq[4] = {};
    Image32 dst = makeImage32(2, 2, sq);
    addSquares(makeImage(2, 2, a), makeImage(2, 2, b), dst);
    EXPECT_EQ(sq[0], 130050);
    EXPECT_EQ(sq[1], 0);
    EXPECT_EQ(sq[2], 25);
    EXPECT_EQ(sq[3], 65025);
    int32_t untouched[] = {-1};
    Image32 u = makeImage32(1, 1, untouched);
    addSquares(makeImage(0, 4, a), makeImage(0, 4, b), u);  // n = 0: nothing
    EXPECT_EQ(untouched[0], -1);

    int32_t num[] = {7, 7, -7, 0, 1};
    int32_t den[] = {2, 0, 0, 0, 3};
    double q[5] = {};
    ImageDouble quot = makeImageDouble(5, 1, q);
    divide(makeImage32(5, 1, num), makeImage32(5, 1, den), quot);
    EXPECT_EQ(q[0], 3.5);
    EXPECT_EQ(q[1], std::numeric_limits<double>::infinity());
    EXPECT_EQ(q[2], -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(q[3]));
    EXPECT_EQ(q[4], 1.0 / 3.0);

    double s[] = {2.25, 0.0, -1.0, 2.0};
    double r[4] = {};
    ImageDouble root = makeImageDouble(4, 1, r);
    imageSqrt(makeImageDouble(2, 2, s), root);
    EXPECT_EQ(r[0], 1.5);
    EXPECT_EQ(r[1], 0.0);
    EXPECT_TRUE(std::isnan(r[2]));
    EXPECT_EQ(r[3], std::sqrt(2.0));
}

TEST(Conversions, PrintRangeDumpsLeadingSamples) {
    // The dump ignores the picture's width and starts at the first sample.
    uint8_t p[] = {1, 2, 3, 4, 5, 6, 7, 8};
    Image img = makeImage(4, 2, p);
    struct Case {
        int32_t x0, x1, y0, y1;
        const char* expected;
    };
    for (const Case& c : {Case{0, 2, 0, 1, "001 002 003 \n004 005 006 \n"},
                          Case{1, 3, 5, 6, "001 002 003 \n004 005 006 \n"},
                          Case{0, 7, 3, 3, "001 002 003 004 005 006 007 008 \n"},
                          Case{0, 0, 2, 1, ""}, Case{3, 2, 0, 1, "\n\n"}}) {
        testing::internal::CaptureStdout();
        printRange(img, c.x0, c.x1, c.y0, c.y1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expected)
            << c.x0 << " " << c.x1 << " " << c.y0 << " " << c.y1;
    }

    int32_t v[] = {-5, 0, 1234, 7};
    testing::internal::CaptureStdout();
    printRange32(makeImage32(1, 4, v), 0, 1, 0, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "-5  0  \n1234  7  \n");
    testing::internal::CaptureStdout();
    printRange32(makeImage32(1, 4, v), 0, 1, 1, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Conversions, PrototypeRunCounters) {
    int32_t dummy[1] = {};
    Image32 unused = makeImage32(1, 1, dummy);

    // A run ends after its first sample at or below t, or at the width.
    int32_t row[] = {9, 9, 0, 9, 9, 9};
    Image32 r = makeImage32(6, 1, row);
    EXPECT_EQ(tempCountSeqsH(r, unused, 5, 0, 0, 3), 2);
    EXPECT_EQ(tempCountSeqsH(r, unused, 5, 0, 0, 4), 0);
    EXPECT_EQ(tempCountSeqsH(r, unused, 9, 0, 0, 1), 0);  // equal to t is not above
    EXPECT_EQ(tempCountSeqsH(r, unused, -1, 0, 0, 6), 1);

    // Past the first row every run has length 1.
    int32_t two[] = {9, 9, 9, 9, 9, 9};
    Image32 t2 = makeImage32(3, 2, two);
    EXPECT_EQ(tempCountSeqsH(t2, unused, 5, 0, 0, 1), 4);
    EXPECT_EQ(tempCountSeqsH(t2, unused, 5, 0, 0, 2), 1);
    EXPECT_EQ(tempCountSeqsH(makeImage32(0, 3, two), unused, 5, 0, 0, 1), 0);
    EXPECT_EQ(tempCountSeqsH(makeImage32(3, 0, two), unused, 5, 0, 0, 1), 0);

    // tempCountSeqsH2 counts maximal runs above t within each row.
    int32_t grid[] = {9, 9, 0, 9, 9, 0, 0, 0, 1, 2, 3, 4};
    Image32 g = makeImage32(4, 3, grid);
    EXPECT_EQ(tempCountSeqsH2(g, unused, 5), 3);
    EXPECT_EQ(tempCountSeqsH2(g, unused, 0), 4);
    EXPECT_EQ(tempCountSeqsH2(g, unused, 9), 0);
    EXPECT_EQ(tempCountSeqsH2(makeImage32(0, 0, nullptr), unused, 5), 0);
}
