// Hand-computed cases for the block, Roberts and gradient toolkit operations
// and for the blockiness, border, contrast, block-loss and blur indicators.
// Every expected value below was worked out on paper from the definitions of
// the operations, not by running the code.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "indicators/indicators.h"
#include "reference/reference.h"
#include "tools/definitions.h"

using namespace lumaqc;

namespace {

using Painter = std::function<int(int32_t x, int32_t y)>;

// An 8-bit picture that owns its samples.
struct Pic {
    std::vector<uint8_t> s;
    Image img{};
    Pic(int32_t w, int32_t h, const Painter& f = nullptr)
        : s(static_cast<size_t>(w > 0 && h > 0 ? w : 0) * static_cast<size_t>(h > 0 ? h : 0)) {
        img = makeImage(w, h, s.data());
        if (f)
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x)
                    s[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(f(x, y));
    }
    void set(int32_t x, int32_t y, int v) {
        s[static_cast<size_t>(y) * img.w + x] = static_cast<uint8_t>(v);
    }
};

// A 32-bit picture that owns its samples.
struct Pic32 {
    std::vector<int32_t> s;
    Image32 img{};
    Pic32(int32_t w, int32_t h, int32_t fill = 0)
        : s(static_cast<size_t>(w > 0 ? w : 0) * static_cast<size_t>(h > 0 ? h : 0), fill) {
        img = makeImage32(w, h, s.data());
    }
    int32_t at(int32_t x, int32_t y) const { return s[static_cast<size_t>(y) * img.w + x]; }
    int32_t& at(int32_t x, int32_t y) { return s[static_cast<size_t>(y) * img.w + x]; }
};

struct PicD {
    std::vector<double> s;
    ImageDouble img{};
    PicD(int32_t w, int32_t h, double fill = 0.0)
        : s(static_cast<size_t>(w) * static_cast<size_t>(h), fill) {
        img = makeImageDouble(w, h, s.data());
    }
};

// 255 inside the inclusive rectangle [x0, x1] x [y0, y1], 0 elsewhere.
Painter rect(int32_t x0, int32_t x1, int32_t y0, int32_t y1) {
    return [=](int32_t x, int32_t y) { return x >= x0 && x <= x1 && y >= y0 && y <= y1 ? 255 : 0; };
}

// Every row equal to the profile; columns beyond it repeat its last value.
Painter rows(std::vector<int> profile) {
    return [p = std::move(profile)](int32_t x, int32_t) {
        return x < static_cast<int32_t>(p.size()) ? p[x] : p.back();
    };
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Equality that treats two NaNs as equal and compares infinities exactly.
void expectValue(double expected, double actual, const std::string& name, double tol = 1e-12) {
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << name << ": got " << actual;
    } else if (std::isinf(expected)) {
        EXPECT_EQ(expected, actual) << name;
    } else {
        EXPECT_NEAR(expected, actual, tol) << name;
    }
}

}  // namespace

// ---------------------------------------------------------------- block sums

TEST(ReviewBlocks, BlockSumsTileFromTheCornerAndAccumulate) {
    Pic ones(16, 16, [](int32_t, int32_t) { return 1; });
    Pic32 d(2, 2);
    blockSums(ones.img, d.img, 8, 8);
    for (int32_t v : d.s) EXPECT_EQ(v, 64);
    blockSums(ones.img, d.img, 8, 8);
    for (int32_t v : d.s) EXPECT_EQ(v, 128);

    // 20 x 12 into 2 x 1 with 8 x 8 blocks: columns 16..19 and rows 8..11 are
    // never read (they hold 200, the rest column index + 1).
    Pic part(20, 12, [](int32_t x, int32_t y) { return x >= 16 || y >= 8 ? 200 : x + 1; });
    Pic32 d2(2, 1);
    blockSums(part.img, d2.img, 8, 8);
    EXPECT_EQ(d2.at(0, 0), 8 * (1 + 2 + 3 + 4 + 5 + 6 + 7 + 8));
    EXPECT_EQ(d2.at(1, 0), 8 * (9 + 10 + 11 + 12 + 13 + 14 + 15 + 16));

    // Whole-width strips of 3 rows, the last partial strip ignored.
    Pic strips(5, 7, [](int32_t, int32_t y) { return y; });
    Pic32 d3(1, 2);
    blockSums(strips.img, d3.img, 5, 3);
    EXPECT_EQ(d3.at(0, 0), 5 * (0 + 1 + 2));
    EXPECT_EQ(d3.at(0, 1), 5 * (3 + 4 + 5));

    // Zero-sized blocks add nothing.
    Pic32 d4(2, 2, 7);
    blockSums(ones.img, d4.img, 0, 8);
    blockSums(ones.img, d4.img, 8, 0);
    for (int32_t v : d4.s) EXPECT_EQ(v, 7);
}

TEST(ReviewBlocks, CompareShiftedAndDivide) {
    Pic uniform(9, 4, [](int32_t, int32_t) { return 77; });
    Pic sameRow(9, 3);
    compareShifted(uniform.img, sameRow.img, 9);
    for (uint8_t v : sameRow.s) EXPECT_EQ(v, 1);

    Pic stripes(40, 3, [](int32_t x, int32_t) { return x % 2 ? 255 : 0; });
    Pic far(24, 3, [](int32_t, int32_t) { return 9; });
    compareShifted(stripes.img, far.img, 16);
    for (uint8_t v : far.s) EXPECT_EQ(v, 1);
    Pic near(39, 3, [](int32_t, int32_t) { return 9; });
    compareShifted(stripes.img, near.img, 1);
    for (uint8_t v : near.s) EXPECT_EQ(v, 0);

    // Offset of two rows: only row 0 of column 2 matches the sample two rows below.
    Pic grid(4, 4,
             [](int32_t x, int32_t y) { return x == 2 && (y == 0 || y == 2) ? 5 : x + 10 * y; });
    Pic below(4, 2);
    compareShifted(grid.img, below.img, 8);
    for (int32_t i = 0; i < 8; ++i) EXPECT_EQ(below.s[i], i == 2 ? 1 : 0) << i;

    PicD a(3, 1), b(3, 1), out(3, 1, 42.0);
    a.s = {1.0, 0.0, -1.0};
    b.s = {0.0, 0.0, 0.0};
    divideDouble(a.img, b.img, out.img);
    EXPECT_EQ(out.s[0], kInf);
    EXPECT_TRUE(std::isnan(out.s[1]));
    EXPECT_EQ(out.s[2], -kInf);
    PicD empty(0, 3), sink(1, 1, 42.0);
    divideDouble(empty.img, b.img, sink.img);
    EXPECT_EQ(sink.s[0], 42.0);
}

// ------------------------------------------------------------------- Roberts

TEST(ReviewRoberts, HandComputedPairs) {
    // 3 x 3 source 1..9: at (1,1) X = 1 - 5, Y = 2 - 4; at (2,2) X = 5 - 9, Y = 6 - 8.
    Pic src(3, 3, [](int32_t x, int32_t y) { return 1 + x + 3 * y; });
    Pic32 dx(3, 3, 99), dy(3, 3, 99);
    roberts(src.img, dx.img, dy.img);
    const std::vector<int32_t> ex = {0, 0, 0, 0, -4, -4, 0, -4, -4};
    const std::vector<int32_t> ey = {0, 0, 0, 0, -2, -2, 0, -2, -2};
    EXPECT_EQ(dx.s, ex);
    EXPECT_EQ(dy.s, ey);

    // Diagonal step: only destX[1][1] is non-zero.
    Pic diag(5, 4);
    diag.set(0, 0, 200);
    Pic32 gx(5, 4, 99), gy(5, 4, 99);
    roberts(diag.img, gx.img, gy.img);
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 5; ++x) {
            EXPECT_EQ(gx.at(x, y), x == 1 && y == 1 ? 200 : 0) << x << "," << y;
            EXPECT_EQ(gy.at(x, y), 0) << x << "," << y;
        }

    // Full-range differences keep their sign.
    Pic corner(2, 2, [](int32_t x, int32_t y) { return x == 1 && y == 1 ? 255 : 0; });
    Pic32 cx(2, 2), cy(2, 2);
    roberts(corner.img, cx.img, cy.img);
    EXPECT_EQ(cx.at(1, 1), -255);
    EXPECT_EQ(cy.at(1, 1), 0);

    Pic one(1, 1, [](int32_t, int32_t) { return 200; });
    Pic32 ox(1, 1, 99), oy(1, 1, 99);
    roberts(one.img, ox.img, oy.img);
    EXPECT_EQ(ox.s[0], 0);
    EXPECT_EQ(oy.s[0], 0);
}

TEST(ReviewRoberts, SkipSamplesGridLines) {
    // Source 40 x 33 of 3 x + y^2 (mod 256). With steps 1 and 16, cell (i, j)
    // holds the pair at row 16 j, column i; with steps 16 and 1 at row j,
    // column 16 i.
    Pic src(40, 33, [](int32_t x, int32_t y) { return (x * 3 + y * y) % 256; });
    auto val = [&](int32_t x, int32_t y) { return int32_t(src.s[y * 40 + x]); };
    Pic32 rx(40, 3, 99), ry(40, 3, 99);
    robertsSkip(src.img, rx.img, ry.img, 1, 16);
    for (int32_t j = 0; j < 3; ++j)
        for (int32_t i = 0; i < 40; ++i) {
            const int32_t R = 16 * j, C = i;
            const int32_t ex = (i && j) ? val(C - 1, R - 1) - val(C, R) : 0;
            const int32_t ey = (i && j) ? val(C, R - 1) - val(C - 1, R) : 0;
            EXPECT_EQ(rx.at(i, j), ex) << i << "," << j;
            EXPECT_EQ(ry.at(i, j), ey) << i << "," << j;
        }
    Pic32 cx(2, 33, 99), cy(2, 33, 99);
    robertsSkip(src.img, cx.img, cy.img, 16, 1);
    for (int32_t j = 0; j < 33; ++j)
        for (int32_t i = 0; i < 2; ++i) {
            const int32_t R = j, C = 16 * i;
            const int32_t ex = (i && j) ? val(C - 1, R - 1) - val(C, R) : 0;
            const int32_t ey = (i && j) ? val(C, R - 1) - val(C - 1, R) : 0;
            EXPECT_EQ(cx.at(i, j), ex) << i << "," << j;
            EXPECT_EQ(cy.at(i, j), ey) << i << "," << j;
        }
    // A destination of width 1 or height 1 is all zeros.
    Pic32 wx(1, 3, 99), wy(1, 3, 99), hx(40, 1, 99), hy(40, 1, 99);
    robertsSkip(src.img, wx.img, wy.img, 1, 16);
    robertsSkip(src.img, hx.img, hy.img, 1, 16);
    for (int32_t v : wx.s) EXPECT_EQ(v, 0);
    for (int32_t v : wy.s) EXPECT_EQ(v, 0);
    for (int32_t v : hx.s) EXPECT_EQ(v, 0);
    for (int32_t v : hy.s) EXPECT_EQ(v, 0);
}

TEST(ReviewRoberts, ElementwiseArithmetic) {
    Pic32 a(3, 1), b(3, 1), d(3, 1, 5);
    a.s = {3, -255, 65536};
    b.s = {-4, 255, 0};
    addSquares32(a.img, b.img, d.img);
    EXPECT_EQ(d.s[0], 25);
    EXPECT_EQ(d.s[1], 130050);
    EXPECT_EQ(d.s[2], 0);  // 2^32 wraps to 0
    b.s = {7, -2, 65537};
    multiply(a.img, b.img, d.img);
    EXPECT_EQ(d.s[0], 21);
    EXPECT_EQ(d.s[1], 510);
    EXPECT_EQ(d.s[2], 65536);  // low 32 bits of 2^32 + 2^16

    Pic32 zeroWide(0, 3), untouched(3, 1, 5);
    addSquares32(zeroWide.img, b.img, untouched.img);
    multiply(zeroWide.img, b.img, untouched.img);
    for (int32_t v : untouched.s) EXPECT_EQ(v, 5);

    EXPECT_EQ(sumPixels32(zeroWide.img), 0);
    Pic32 big(4, 1);
    big.s = {2147483647, 2147483647, -5, 3};
    EXPECT_EQ(sumPixels32(big.img), int64_t{2147483647} * 2 - 2);
}

TEST(ReviewRoberts, HorizontalRunCounting) {
    struct Case {
        const char* name;
        std::vector<std::pair<int, int>> above;  // [first, last] columns with 100
        int bw;
        double t;
        std::vector<int32_t> expected;  // per block of one row
    };
    const Case cases[] = {
        {"run of 11", {{3, 13}}, 64, 50.0, {0}},
        {"run of 12", {{3, 14}}, 64, 50.0, {1}},
        {"run of 40", {{3, 42}}, 64, 50.0, {1}},
        {"two runs of 12 split by one", {{0, 11}, {13, 24}}, 64, 50.0, {2}},
        {"sample equal to threshold", {{3, 14}}, 64, 100.0, {0}},
        {"just under the sample", {{3, 14}}, 64, 99.999, {1}},
        {"8 + 8 across a 256 border", {{248, 263}}, 256, 50.0, {0, 0}},
        {"12 at the end of a block", {{244, 255}}, 256, 50.0, {1, 0}},
        {"12 at the start of the next", {{256, 267}}, 256, 50.0, {0, 1}},
    };
    for (const Case& c : cases) {
        const int32_t w = 512;
        Pic32 src(w, 1);
        for (auto [f, l] : c.above)
            for (int32_t x = f; x <= l; ++x) src.s[x] = 100;
        const int32_t blocks = static_cast<int32_t>(c.expected.size());
        Pic32 dst(blocks, 1);
        countSeqsH(src.img, dst.img, c.bw, 1, c.t, 12);
        EXPECT_EQ(dst.s, c.expected) << c.name;
    }

    // Rows of one block add up; the destination is added to.
    Pic32 two(16, 2, 10);
    Pic32 d(1, 1, 3);
    EXPECT_EQ(countSeqsH(two.img, d.img, 16, 2, 9.5, 12), 0);
    EXPECT_EQ(d.s[0], 5);
}

TEST(ReviewRoberts, VerticalRunCounting) {
    struct Case {
        const char* name;
        int first, last;                // rows with 100 in column 5
        std::vector<int32_t> expected;  // per block row
    };
    // Blocks of 8 columns by 32 rows, two block rows.
    const Case cases[] = {
        {"12 split 6 + 6 by the block border", 26, 37, {0, 0}},
        {"12 inside the first block", 2, 13, {1, 0}},
        {"12 inside the second block", 40, 51, {0, 1}},
        {"11 inside a block", 2, 12, {0, 0}},
        {"a whole column", 0, 63, {1, 1}},
    };
    for (const Case& c : cases) {
        Pic32 src(16, 64);
        for (int32_t y = c.first; y <= c.last; ++y) src.at(5, y) = 100;
        Pic32 dst(1, 2), counters(16, 1);
        countSeqsV(src.img, dst.img, counters.img, 8, 32, 50.0, 12);
        EXPECT_EQ(dst.s, c.expected) << c.name;
        for (int32_t k : counters.s) EXPECT_EQ(k, 0) << c.name;
    }
    // A sample equal to the threshold breaks a column run.
    Pic32 src(8, 32, 100);
    src.at(0, 12) = 50;
    Pic32 dst(1, 1), counters(8, 1);
    countSeqsV(src.img, dst.img, counters.img, 8, 32, 50.0, 12);
    // Column 0: runs 0..11 and 13..31 -> 2; columns 1..7 one each.
    EXPECT_EQ(dst.s[0], 9);
}

// ------------------------------------------------------------------ gradient

TEST(ReviewGradient, DifferencesAndBorders) {
    Pic src(3, 3, [](int32_t x, int32_t y) { return (x * 40 + y * 100) % 256; });
    // rows: {0,40,80} {100,140,180} {200,240,24}
    Pic32 gx(3, 3, 99), gy(3, 3, 99);
    gradient(src.img, gx.img, gy.img);
    EXPECT_EQ(gx.s, (std::vector<int32_t>{0, 0, 0, 0, 40, 40, 0, 40, -216}));
    EXPECT_EQ(gy.s, (std::vector<int32_t>{0, 0, 0, 0, 100, 100, 0, 100, -156}));

    Pic step(64, 5, [](int32_t x, int32_t) { return x >= 32 ? 255 : 0; });
    Pic32 sx(64, 5, 99), sy(64, 5, 99);
    gradient(step.img, sx.img, sy.img);
    for (int32_t y = 0; y < 5; ++y)
        for (int32_t x = 0; x < 64; ++x) {
            EXPECT_EQ(sx.at(x, y), y >= 1 && x == 32 ? 255 : 0);
            EXPECT_EQ(sy.at(x, y), 0);
        }
}

TEST(ReviewGradient, BlockDeviations) {
    struct Case {
        const char* name;
        Painter paint;
        int32_t sum, squares;
        double dev;
    };
    const Case cases[] = {
        {"half 0 half 255 by columns", [](int32_t x, int32_t) { return x >= 8 ? 255 : 0; }, 32640,
         8323200, std::sqrt(16320.0)},
        {"all 255", [](int32_t, int32_t) { return 255; }, 65280, 16646400, 0.0},
        {"uniform 17", [](int32_t, int32_t) { return 17; }, 17 * 256, 289 * 256, 0.0},
        // one 255 in 256 zeros: (65025 - 65025 / 256) / 255 = 254.00390625
        {"single spike", [](int32_t x, int32_t y) { return x == 3 && y == 9 ? 255 : 0; }, 255,
         65025, std::sqrt(254.00390625)},
    };
    for (const Case& c : cases) {
        Pic src(16, 16, c.paint);
        Pic32 sums(1, 1), squares(1, 1);
        PicD devs(1, 1, -1.0);
        calculateStdDevs(src.img, sums.img, squares.img, devs.img, 16, 16);
        EXPECT_EQ(sums.s[0], c.sum) << c.name;
        EXPECT_EQ(squares.s[0], c.squares) << c.name;
        EXPECT_DOUBLE_EQ(devs.s[0], c.dev) << c.name;
    }

    // 8 x 8 blocks use the divisor 63: one 64 among zeros gives (4096 - 64) / 63 = 64.
    Pic spike(16, 8, [](int32_t x, int32_t y) { return x == 9 && y == 2 ? 64 : 0; });
    Pic32 sums(2, 1), squares(2, 1);
    PicD devs(2, 1, -1.0);
    calculateStdDevs(spike.img, sums.img, squares.img, devs.img, 8, 8);
    EXPECT_EQ(devs.s[0], 0.0);
    EXPECT_EQ(devs.s[1], 8.0);

    // Deviations come from the accumulated totals: the same half-and-half
    // block twice gives s = 65280, q = 16646400 and a variance of exactly 0.
    Pic half(16, 16, [](int32_t x, int32_t) { return x >= 8 ? 255 : 0; });
    Pic32 s2(1, 1), q2(1, 1);
    PicD d2(1, 1);
    calculateStdDevs(half.img, s2.img, q2.img, d2.img, 16, 16);
    calculateStdDevs(half.img, s2.img, q2.img, d2.img, 16, 16);
    EXPECT_EQ(s2.s[0], 65280);
    EXPECT_EQ(q2.s[0], 16646400);
    EXPECT_EQ(d2.s[0], 0.0);

    // 1000 x 1000 with a 62 x 62 grid: columns and rows 992..999 are outside.
    Pic border(1000, 1000, [](int32_t x, int32_t y) { return x >= 992 || y >= 992 ? 255 : 0; });
    Pic32 bs(62, 62), bq(62, 62);
    PicD bd(62, 62, -1.0);
    calculateStdDevs(border.img, bs.img, bq.img, bd.img, 16, 16);
    for (int32_t v : bs.s) ASSERT_EQ(v, 0);
    for (double v : bd.s) ASSERT_EQ(v, 0.0);
}

// ---------------------------------------------------------------- blockiness

TEST(ReviewBlockiness, Table) {
    struct Case {
        const char* name;
        int32_t w, h;
        Painter paint;
        double expected;
    };
    // Row profile with an inside step before column 8 and an across step at 16.
    const Painter twoEdges = [](int32_t x, int32_t) { return x <= 6 ? 0 : (x <= 15 ? 10 : 30); };
    const Case cases[] = {
        {"uniform", 64, 48, [](int32_t, int32_t) { return 90; }, 1.0},
        {"no edge in 15 x 15", 15, 15, [](int32_t x, int32_t y) { return (x * 37 + y * 11) % 256; },
         1.0},
        // Edge 8: inner 10, across 0; edge 16: inner 0, across 20.
        // Totals: inner 10 + 10, across 0 + 20.
        {"W 24 has edges at 8 and 16", 24, 3, twoEdges, 1.0},
        {"W 20 has its edge at 8 only", 20, 3, twoEdges, kInf},
        {"W 16 has its edge at 8 only", 16, 3, twoEdges, kInf},
        // Rows change only from row 7 to 8: an edge row at 8 needs H >= 16.
        {"H 15: no horizontal edge", 16, 15, [](int32_t, int32_t y) { return y < 8 ? 0 : 50; },
         1.0},
        {"H 16: one horizontal edge", 16, 16, [](int32_t, int32_t y) { return y < 8 ? 0 : 50; },
         0.0},
        {"constant inside blocks", 32, 32,
         [](int32_t x, int32_t y) { return (x / 8) * 40 + (y / 8) * 7; }, 0.0},
        {"changes only just inside", 32, 32,
         [](int32_t x, int32_t) { return x % 8 == 7 || x % 8 == 0 ? 100 : 0; }, kInf},
        // One column, rows: 0 to 7, 10 to 14, 15 from 15 on.
        // Edge 8: inner 0, across 10. Edge 16: inner 5, across 0. Running
        // sums: totals inner 0 + 5, across 10 + 10 -> 0.25 (not 5 / 10).
        {"earlier edges weigh more (rows)", 1, 24,
         [](int32_t, int32_t y) { return y <= 7 ? 0 : (y <= 14 ? 10 : 15); }, 0.25},
        {"earlier edges weigh more (columns)", 24, 1,
         [](int32_t x, int32_t) { return x <= 7 ? 0 : (x <= 14 ? 10 : 15); }, 0.25},
    };
    for (const Case& c : cases) {
        Pic p(c.w, c.h, c.paint);
        expectValue(c.expected, blockiness(p.img), c.name);
    }
}

TEST(ReviewBlockiness, OpinionScore) {
    EXPECT_NEAR(blockToMOS(1.0), 3.74, 0.005);
    EXPECT_EQ(blockToMOS(0.5), 0.0);
    EXPECT_EQ(blockToMOS(0.58), 0.0);
    EXPECT_GT(blockToMOS(0.59), 0.0);
    EXPECT_EQ(blockToMOS(kNaN), 0.0);
    EXPECT_DOUBLE_EQ(blockToMOS(2.0), (2.0 * 17.86 - 10.38) * 0.5);
}

// --------------------------------------------------------- letterbox, pillarbox

TEST(ReviewBorders, Table) {
    struct Case {
        const char* name;
        int32_t w, h;
        Painter paint;
        double letter, pillar;
    };
    const Painter textured = [](int32_t x, int32_t y) { return (x * 7 + y * 13 + x * y) % 251; };
    const Case cases[] = {
        {"uniform", 40, 30, [](int32_t, int32_t) { return 16; }, 1.0, 1.0},
        {"every row flat at its own value", 40, 30, [](int32_t, int32_t y) { return y * 3; }, 1.0,
         1.0},
        {"no equal neighbours", 40, 30, [](int32_t x, int32_t) { return x; }, 0.0, 0.0},
        {"HD letterbox 140 rows", 1920, 1080,
         [&](int32_t x, int32_t y) { return y < 140 || y >= 940 ? 16 : textured(x, y); },
         140.0 / 540.0, 0.0},
        {"flat rows at the top only", 64, 40,
         [&](int32_t x, int32_t y) { return y < 10 ? 0 : textured(x, y); }, 0.0, 0.0},
        {"pair flat at different values", 64, 40,
         [&](int32_t x, int32_t y) { return y < 5 ? 0 : (y >= 35 ? 200 : textured(x, y)); },
         5.0 / 20.0, 0.0},
        // Odd height: rows 0, 1 pair with 4, 3; textured middle row 2 is never examined.
        {"odd height skips the middle row", 30, 5,
         [&](int32_t x, int32_t y) { return y == 2 ? textured(x, y) : y; }, 1.0, 0.0},
        {"HD pillarbox 240 columns", 1920, 1080,
         [&](int32_t x, int32_t y) { return x < 240 ? 16 : textured(x, y) + 1; }, 0.0,
         239.0 / 960.0},
        {"right-hand bar is ignored", 64, 40,
         [&](int32_t x, int32_t y) { return x >= 40 ? 0 : textured(x, y); }, 0.0, 0.0},
        // Row 37 is the only row that is not flat: pairs (0, 39) and (1, 38) pass.
        {"column 0 differs from 1 in one row", 64, 40,
         [](int32_t x, int32_t y) { return x == 0 && y == 37 ? 1 : 0; }, 2.0 / 20.0, 0.0},
        {"height 1", 10, 1, textured, kNaN, 1.0},
        {"width 1", 1, 10, textured, 1.0, kNaN},
        {"1 x 1", 1, 1, textured, kNaN, kNaN},
        // half = 3 for 7 columns: columns 0..2 each equal their right neighbour.
        {"odd width", 7, 4, [](int32_t x, int32_t) { return x < 4 ? 0 : x; }, 0.0, 1.0},
    };
    for (const Case& c : cases) {
        Pic p(c.w, c.h, c.paint);
        expectValue(c.letter, letterbox(p.img), std::string(c.name) + " letterbox");
        expectValue(c.pillar, pillarbox(p.img), std::string(c.name) + " pillarbox");
    }
}

TEST(ReviewBorders, LineTests) {
    // 5 x 4: row 0 flat, row 3 flat except its last sample, rows 1, 2 textured.
    Pic p(5, 4, [](int32_t x, int32_t y) {
        if (y == 0) return 3;
        if (y == 3) return x == 4 ? 1 : 9;
        return x * y;
    });
    EXPECT_EQ(checkLetterBar(p.s.data(), 5, 4, 0), 0);  // row 3 not flat
    p.set(4, 3, 9);
    EXPECT_EQ(checkLetterBar(p.s.data(), 5, 4, 0), 1);
    EXPECT_EQ(checkLetterBar(p.s.data(), 5, 4, 1), 0);
    p.set(4, 0, 4);  // now the last sample of row 0 differs
    EXPECT_EQ(checkLetterBar(p.s.data(), 5, 4, 0), 0);
    EXPECT_EQ(checkLetterBar(p.s.data(), 1, 20, 3), 1);

    // Columns 1 and 2 agree except in the last row.
    Pic c(4, 6, [](int32_t x, int32_t y) { return x == 2 && y == 5 ? 50 : (x >= 1 ? y : 0); });
    EXPECT_EQ(checkPillarBar(c.s.data(), 4, 6, 1), 0);
    EXPECT_EQ(checkPillarBar(c.s.data(), 4, 6, 2), 0);
    EXPECT_EQ(checkPillarBar(c.s.data(), 4, 5, 1), 1);  // the last row is not part of it
    EXPECT_EQ(checkPillarBar(c.s.data(), 4, 1, 0), 1);
}

// ------------------------------------------------------------------ contrast

TEST(ReviewContrast, Table) {
    struct Case {
        const char* name;
        int32_t w, h;
        Painter paint;
        double expected;
        double tol;
    };
    const Case cases[] = {
        {"2 x 2 of 0, 0, 255, 255", 2, 2, [](int32_t, int32_t y) { return y ? 255 : 0; },
         std::sqrt(21675.0), 1e-9},
        {"2 x 1 of 0 and 255", 2, 1, [](int32_t x, int32_t) { return x ? 255 : 0; },
         std::sqrt(32512.5), 1e-9},
        {"1 x 1", 1, 1, [](int32_t, int32_t) { return 200; }, kNaN, 0},
        {"no samples", 0, 5, nullptr, kNaN, 0},
        {"uniform 17 x 19 of 127", 17, 19, [](int32_t, int32_t) { return 127; }, 0.0, 1e-5},
        {"uniform 64 x 64 of 255", 64, 64, [](int32_t, int32_t) { return 255; }, 0.0, 0.0},
        // Values 0..9 once each: variance 82.5 / 9.
        {"ramp 0..9", 10, 1, [](int32_t x, int32_t) { return x; }, std::sqrt(82.5 / 9.0), 1e-12},
        // 3/4 of 16M samples at 255: the sum exceeds 32 bits.
        // variance = n * 65025 * 3/16 / (n - 1).
        {"4096 x 4096 three quarters bright", 4096, 4096,
         [](int32_t, int32_t y) { return y >= 1024 ? 255 : 0; },
         std::sqrt(16777216.0 * 65025.0 * 3.0 / 16.0 / 16777215.0), 1e-9},
    };
    for (const Case& c : cases) {
        Pic p(c.w, c.h, c.paint);
        expectValue(c.expected, contrastRMS(p.img), c.name, c.tol);
    }

    Pic four(2, 2, [](int32_t x, int32_t y) { return 1 + x + 2 * y; });
    int64_t sum = -1, squares = -1;
    EXPECT_EQ(sumAndSquareSum(four.img, sum, squares), 10);
    EXPECT_EQ(sum, 10);
    EXPECT_EQ(squares, 30);
    Pic none(0, 0);
    EXPECT_EQ(sumAndSquareSum(none.img, sum, squares), 0);
    EXPECT_EQ(sum, 0);
    EXPECT_EQ(squares, 0);
}

// ---------------------------------------------------------------- block loss

TEST(ReviewBlockLoss, Table) {
    struct Case {
        const char* name;
        int32_t w, h;
        Painter paint;
        double expected;
    };
    // Two tall bands whose left and right edges lie on grid columns and whose
    // top and bottom edges do not: two column runs in each of two regions and
    // no row runs.
    const auto bands = [](int32_t x, int32_t y) {
        const bool band = y >= 72 && y <= 183 && ((x >= 64 && x <= 79) || (x >= 320 && x <= 335));
        return band ? 255 : 0;
    };
    const Case cases[] = {
        {"255 x 480", 255, 480, nullptr, -1.0},
        {"640 x 255", 640, 255, nullptr, -1.0},
        {"uniform 256 x 256", 256, 256, [](int32_t, int32_t) { return 77; }, 0.0},
        {"black 256 x 256", 256, 256, nullptr, 0.0},
        {"block on the grid", 256, 256, rect(16, 31, 16, 31), 4.0},
        {"block off the grid", 256, 256, rect(8, 23, 8, 23), 0.0},
        {"horizontal band only", 256, 256, rect(0, 255, 16, 31), 0.0},
        {"block on the grid, width 300", 300, 256, rect(16, 31, 16, 31), 4.0},
        // A grid block of 200 (edge energies 40000 and 80000) is found in a
        // dark picture; stripes in the uncounted columns 256..299 raise six
        // times the mean energy to about 111800, above those edges.
        {"block of 200, width 300", 300, 256,
         [](int32_t x, int32_t y) { return x >= 16 && x <= 31 && y >= 16 && y <= 31 ? 200 : 0; },
         4.0},
        {"uncounted columns still raise the threshold", 300, 256,
         [](int32_t x, int32_t y) {
             return x >= 256 ? (x % 2) * 255 : (x >= 16 && x <= 31 && y >= 16 && y <= 31 ? 200 : 0);
         },
         0.0},
        // Rectangle rows 16..47 starting on grid column 16, right edge off the
        // grid: its grid-row lines carry runs of width + 1 positions, and the
        // grid column 16 one run. Result = row runs x 1.
        {"grid-row runs of 11", 256, 256, rect(16, 25, 16, 47), 0.0},
        {"grid-row runs of 12", 256, 256, rect(16, 26, 16, 47), 2.0},
        {"grid-row runs of 40", 256, 256, rect(16, 54, 16, 47), 2.0},
        // A strip across the border of two regions (8 + 8 positions) adds
        // nothing; the same strip inside region 0 gives 2 x 2 there.
        {"runs are cut at region borders", 512, 256,
         [&](int32_t x, int32_t y) {
             return bands(x, y) | (x >= 248 && x <= 262 && y >= 16 && y <= 47 ? 255 : 0);
         },
         0.0},
        {"the same strip inside one region", 512, 256,
         [&](int32_t x, int32_t y) {
             return bands(x, y) | (x >= 200 && x <= 215 && y >= 16 && y <= 47 ? 255 : 0);
         },
         2.0},
        // Two regions down: only the lower one holds a grid block.
        {"mean over regions", 256, 512, rect(16, 31, 272, 287), 2.0},
    };
    for (const Case& c : cases) {
        Pic p(c.w, c.h, c.paint);
        EXPECT_EQ(blockLoss(p.img), c.expected) << c.name;
    }
}

// ---------------------------------------------------------------------- blur

TEST(ReviewBlur, Table) {
    struct Case {
        const char* name;
        int32_t w, h;
        Painter paint;
        double expected;
    };
    std::vector<int> rampLeft(7);
    for (int x = 0; x < 6; ++x) rampLeft[x] = 10 * x;
    rampLeft[6] = 255;
    const Case cases[] = {
        {"uniform", 64, 64, [](int32_t, int32_t) { return 40; }, 0.0},
        {"step, height 2", 64, 2, rows({0, 0, 0, 255}), 0.0},
        {"step, width 2", 2, 64, rows({0, 255}), 0.0},
        {"rising step", 64, 64, [](int32_t x, int32_t) { return x >= 32 ? 255 : 0; }, 1.0},
        {"falling step", 64, 64, [](int32_t x, int32_t) { return x >= 32 ? 0 : 255; }, 1.0},
        {"three-step ramp", 64, 64,
         [](int32_t x, int32_t) {
             const int v[] = {64, 128, 192};
             return x < 30 ? 0 : (x <= 32 ? v[x - 30] : 255);
         },
         4.0},
        {"plateau peak", 64, 64,
         [](int32_t x, int32_t) {
             const int v[] = {10, 30, 60, 100, 150, 200, 230, 250, 255};
             return x < 28 ? 0 : (x <= 36 ? v[x - 28] : 255);
         },
         9.0},
        {"in rising, out falling", 64, 64,
         [](int32_t x, int32_t) { return x < 30 ? 0 : (x == 30 ? 100 : 50); }, 1.0},
        // Ramp 0, 10, .., 50 then 255 at column 6: the left walk stops at
        // column 2 although column 1 also rises.
        {"left walk ends at column 2", 64, 64, rows(rampLeft), 5.0},
        // The mirror: the right walk stops at column W - 2.
        {"right walk ends at column W - 2", 64, 64,
         [&](int32_t x, int32_t) { return 63 - x < 7 ? rampLeft[63 - x] : 255; }, 5.0},
        // No whole block at all, and a step beyond the last whole block.
        {"no whole block row", 64, 10, [](int32_t x, int32_t) { return x >= 32 ? 200 : 0; }, 1.0},
        {"step right of the whole blocks", 70, 40,
         [](int32_t x, int32_t) { return x >= 66 ? 200 : 0; }, 1.0},
    };
    for (const Case& c : cases) {
        Pic p(c.w, c.h, c.paint);
        EXPECT_DOUBLE_EQ(blur(p.img), c.expected) << c.name;
    }
}

TEST(ReviewBlur, PeakRules) {
    // Row 20 only: 100 at column 30, 150 at 31, 0 elsewhere. E = 10000, 2500,
    // 22500 at columns 30..32. Column 31 is no horizontal peak (10000 on its
    // left) but a vertical one. Widths: column 30 rising 1 + 1, column 31
    // falling 1 + 0, column 32 falling 0 + 1 -> 4 / 3.
    Pic vertical(64, 64);
    vertical.set(30, 20, 100);
    vertical.set(31, 20, 150);
    EXPECT_DOUBLE_EQ(blur(vertical.img), 4.0 / 3.0);

    // A step of 200 at column 32 from row 11 down, with row 10 holding 100 at
    // column 32 and 150 from 33 on. At (32, 10) |GX| = |GY| = 100 and the
    // pixel below is stronger, so only the horizontal rule with |GX| >= |GY|
    // makes it an edge (width 2); rows 11..62 give width 1 -> 54 / 53.
    Pic tie(64, 64, [](int32_t x, int32_t y) {
        if (y < 10 || x < 32) return 0;
        if (y == 10) return x == 32 ? 100 : 150;
        return 200;
    });
    EXPECT_DOUBLE_EQ(blur(tie.img), 54.0 / 53.0);
}

TEST(ReviewBlur, OpinionScore) {
    EXPECT_NEAR(blurToMOS(0.0), 4.9615, 5e-5);
    EXPECT_NEAR(blurToMOS(1.0), 4.84, 5e-3);
    EXPECT_NEAR(blurToMOS(5.0), 2.61, 5e-3);
    EXPECT_NEAR(blurToMOS(10.0), 0.9151, 5e-5);
    EXPECT_EQ(blurToMOS(600.0), 0.0);
    EXPECT_EQ(blurToMOS(kNaN), 0.0);
    // e^z overflows: inf / inf is not a number, which maps to 0.
    EXPECT_EQ(blurToMOS(-1000.0), 0.0);
}
