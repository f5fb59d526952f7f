#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tools/definitions.h"

using namespace lumaqc;

namespace {

ImageDouble kernelOf(std::vector<double>& weights, int32_t kw, int32_t kh) {
    weights.resize(static_cast<size_t>(kw) * kh);
    return makeImageDouble(kw, kh, weights.data());
}

TEST(Filter, OnesKernelFillsInteriorAndLeavesBorder) {
    std::vector<uint8_t> s(64, 10);
    std::vector<double> d(64, 0.0);
    std::vector<double> k;
    Image src = makeImage(8, 8, s.data());
    ImageDouble dst = makeImageDouble(8, 8, d.data());
    ImageDouble ker = kernelOf(k, 3, 3);
    std::fill(k.begin(), k.end(), 1.0);

    ASSERT_EQ(filter(src, dst, ker, 1, 8, 8), 0);
    int interior = 0;
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            const bool in = y >= 1 && y <= 6 && x >= 1 && x <= 6;
            interior += in;
            EXPECT_EQ(d[y * 8 + x], in ? 90.0 : 0.0) << x << "," << y;
        }
    }
    EXPECT_EQ(interior, 36);
}

// K[0][0] weighs the top-left sample of the window (no mirroring), and each
// block is filtered on its own at its own column offset.
TEST(Filter, KernelIsNotMirroredAndBlocksAreSeparate) {
    const int w = 8000;
    std::vector<uint8_t> s(static_cast<size_t>(w) * 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < w; ++x) s[y * w + x] = static_cast<uint8_t>((x * 7 + y * 31) % 251);
    std::vector<double> d(s.size(), -1.0);
    std::vector<double> k;
    Image src = makeImage(w, 8, s.data());
    ImageDouble dst = makeImageDouble(w, 8, d.data());
    ImageDouble ker = kernelOf(k, 3, 3);
    std::fill(k.begin(), k.end(), 0.0);
    k[0] = 1.0;  // top-left
    k[5] = 0.5;  // row 1, column 2: right neighbour

    ASSERT_EQ(filter(src, dst, ker, 2, 8, 8), 0);
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < w; ++x) {
            const int c = x % 8;
            const bool in = x < 16 && y >= 1 && y <= 6 && c >= 1 && c <= 6;
            const double expected = in ? s[(y - 1) * w + x - 1] + 0.5 * s[y * w + x + 1] : -1.0;
            ASSERT_EQ(d[y * w + x], expected) << x << "," << y;
        }
    }
}

// Rejected calls print their message and return -1; no call writes with n = 0.
TEST(Filter, RejectedCallsAndZeroBlocksWriteNothing) {
    struct Case {
        int sw, sh, dw, dh, kw, kh;
        uint32_t n;
        const char* message;
    };
    const std::string sizeMsg = "Source and destination images do not match with their size!\n";
    const std::string smallMsg = "Source image is to small for that kernel!\n";
    const std::string kernelMsg =
        "Provided kernel must be square with an odd side of at least 3!\n";
    const std::vector<Case> cases = {
        {16, 8, 8, 8, 3, 3, 1, sizeMsg.c_str()},
        {8, 8, 8, 9, 3, 3, 0, sizeMsg.c_str()},  // even with no block
        {8, 2, 8, 2, 3, 3, 1, smallMsg.c_str()},
        {8, 8, 8, 8, 3, 2, 1, kernelMsg.c_str()},
        {8, 8, 8, 8, 2, 2, 1, kernelMsg.c_str()},
        {8, 8, 8, 8, 1, 1, 1, kernelMsg.c_str()},
        {8, 8, 8, 8, 4, 4, 0, kernelMsg.c_str()},
        {8, 8, 8, 8, 3, 3, 0, ""},  // accepted, nothing to do
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> s(static_cast<size_t>(c.sw) * c.sh, 10);
        std::vector<double> d(static_cast<size_t>(c.dw) * c.dh, 7.0);
        std::vector<double> k(static_cast<size_t>(c.kw) * c.kh, 1.0);
        Image src = makeImage(c.sw, c.sh, s.data());
        ImageDouble dst = makeImageDouble(c.dw, c.dh, d.data());
        ImageDouble ker = makeImageDouble(c.kw, c.kh, k.data());
        testing::internal::CaptureStdout();
        const int32_t rc = filter(src, dst, ker, c.n, 8, 8);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message) << c.kw << "x" << c.kh;
        EXPECT_EQ(rc, *c.message ? -1 : 0);
        for (double v : d) EXPECT_EQ(v, 7.0);
    }
}

TEST(FilterDeathTest, BlocksMustFitIntoTheSource) {
    std::vector<uint8_t> s(64, 10);
    std::vector<double> d(64, 0.0);
    std::vector<double> k(9, 1.0);
    Image src = makeImage(8, 8, s.data());
    ImageDouble dst = makeImageDouble(8, 8, d.data());
    ImageDouble ker = makeImageDouble(3, 3, k.data());
    EXPECT_DEATH(filter(src, dst, ker, 2, 8, 8), "Assertion");
}

// Deviation over block interiors.

struct DevFixture {
    std::vector<double> s, q, d, k;
    ImageDouble sums, squares, devs, ker;
    DevFixture(int dw, int dh, int kw, int kh)
        : s(dw * dh, 0.0), q(dw * dh, 0.0), d(dw * dh, -5.0), k(kw * kh, 1.0) {
        sums = makeImageDouble(dw, dh, s.data());
        squares = makeImageDouble(dw, dh, q.data());
        devs = makeImageDouble(dw, dh, d.data());
        ker = makeImageDouble(kw, kh, k.data());
    }
};

TEST(StdDevsOmmitZeros, BorderIsIgnored) {
    std::vector<double> v(64, 1e6);
    for (int y = 1; y <= 6; ++y)
        for (int x = 1; x <= 6; ++x) v[y * 8 + x] = 7.0;
    ImageDouble src = makeImageDouble(8, 8, v.data());
    DevFixture f(1, 1, 3, 3);
    calculateStdDevsDouble_ommitZeros(src, f.sums, f.squares, f.devs, f.ker, 8, 8);
    EXPECT_EQ(f.s[0], 252.0);
    EXPECT_EQ(f.q[0], 1764.0);
    EXPECT_EQ(f.d[0], 0.0);
}

TEST(StdDevsOmmitZeros, HalfZerosHalfOnes) {
    std::vector<double> v(64, -300.0);
    int ones = 0;
    for (int y = 1; y <= 6; ++y)
        for (int x = 1; x <= 6; ++x) v[y * 8 + x] = (ones++ < 18) ? 1.0 : 0.0;
    ImageDouble src = makeImageDouble(8, 8, v.data());
    DevFixture f(1, 1, 3, 3);
    calculateStdDevsDouble_ommitZeros(src, f.sums, f.squares, f.devs, f.ker, 8, 8);
    EXPECT_EQ(f.s[0], 18.0);
    EXPECT_EQ(f.q[0], 18.0);
    EXPECT_DOUBLE_EQ(f.d[0], std::sqrt(9.0 / 35.0));
    EXPECT_NEAR(f.d[0], 0.5071, 1e-4);
}

// A 2 x 2 grid in a larger source: each block is measured on its own, the
// columns and rows beyond the grid are skipped, and sums accumulate over calls.
TEST(StdDevsOmmitZeros, GridAccumulatesPerBlock) {
    const int w = 21, h = 17;
    std::vector<double> v(w * h, 1000.0);  // outside the grid and borders
    for (int by = 0; by < 2; ++by)
        for (int bx = 0; bx < 2; ++bx)
            for (int y = 1; y <= 6; ++y)
                for (int x = 1; x <= 6; ++x)
                    v[(by * 8 + y) * w + bx * 8 + x] = (x == 1) ? bx + 2 * by : 0.0;
    ImageDouble src = makeImageDouble(w, h, v.data());
    DevFixture f(2, 2, 3, 3);
    calculateStdDevsDouble_ommitZeros(src, f.sums, f.squares, f.devs, f.ker, 8, 8);
    for (int b = 0; b < 4; ++b) {
        const double a = b;  // six samples of a, thirty of 0
        EXPECT_EQ(f.s[b], 6 * a);
        EXPECT_EQ(f.q[b], 6 * a * a);
        EXPECT_DOUBLE_EQ(f.d[b], std::sqrt((6 * a * a - 36 * a * a / 36) / 35)) << b;
    }
    calculateStdDevsDouble_ommitZeros(src, f.sums, f.squares, f.devs, f.ker, 8, 8);
    for (int b = 0; b < 4; ++b) {
        EXPECT_EQ(f.s[b], 12.0 * b);
        EXPECT_DOUBLE_EQ(f.d[b], std::sqrt((12.0 * b * b - 144.0 * b * b / 36) / 35)) << b;
    }
}

// A 5 x 5 kernel leaves a border of two: the interior is the 4 x 4 centre.
TEST(StdDevsOmmitZeros, WiderKernelShrinksTheInterior) {
    std::vector<double> v(64, 0.0);
    for (int y = 1; y <= 6; ++y)
        for (int x = 1; x <= 6; ++x) v[y * 8 + x] = (y == 1 || x == 1) ? 50.0 : 2.0;
    v[2 * 8 + 2] = 4.0;
    ImageDouble src = makeImageDouble(8, 8, v.data());
    DevFixture f(1, 1, 5, 5);
    calculateStdDevsDouble_ommitZeros(src, f.sums, f.squares, f.devs, f.ker, 8, 8);
    EXPECT_EQ(f.s[0], 34.0);
    EXPECT_EQ(f.q[0], 76.0);
    EXPECT_DOUBLE_EQ(f.d[0], std::sqrt((76.0 - 34.0 * 34.0 / 16) / 15));
}

TEST(StdDevsOmmitZeros, RejectedKernelComputesNothing) {
    const int shapes[][2] = {{3, 2}, {2, 3}, {2, 2}, {1, 1}, {4, 4}};
    std::vector<double> v(64, 3.0);
    ImageDouble src = makeImageDouble(8, 8, v.data());
    for (const auto& sh : shapes) {
        DevFixture f(1, 1, sh[0], sh[1]);
        testing::internal::CaptureStdout();
        calculateStdDevsDouble_ommitZeros(src, f.sums, f.squares, f.devs, f.ker, 8, 8);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Provided kernel is not symmetric!");
        EXPECT_EQ(f.s[0], 0.0);
        EXPECT_EQ(f.q[0], 0.0);
        EXPECT_EQ(f.d[0], -5.0);
    }
}

}  // namespace
