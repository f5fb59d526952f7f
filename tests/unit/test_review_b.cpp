// Hand-computed cases for the smoothing filter, the activity kernels, the
// exposure, interlace, noise, spatial activity, slice and blackout indicators,
// the temporal indicators and the report texts.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "engine/run.h"
#include "indicators/indicators.h"
#include "io/frame_source.h"
#include "reference/reference.h"
#include "report/result_sink.h"
#include "report/text_report.h"
#include "tools/definitions.h"

using namespace lumaqc;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A picture that owns its samples.
struct Pic {
    std::vector<uint8_t> s;
    Image img;
    Pic(int32_t w, int32_t h, const std::function<int(int32_t, int32_t)>& f = nullptr)
        : s(static_cast<size_t>(w) * static_cast<size_t>(h)), img{w, h, nullptr} {
        img.data = s.data();
        if (f)
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x)
                    s[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(f(x, y));
    }
    uint8_t& at(int32_t x, int32_t y) { return s[static_cast<size_t>(y) * img.w + x]; }
};

struct DoublePic {
    std::vector<double> s;
    ImageDouble img;
    DoublePic(int32_t w, int32_t h, double fill = 0.0)
        : s(static_cast<size_t>(w) * static_cast<size_t>(h), fill), img{w, h, nullptr} {
        img.data = s.data();
    }
    double& at(int32_t x, int32_t y) { return s[static_cast<size_t>(y) * img.w + x]; }
};

struct State {
    TemporalState s;
    State(int32_t w, int32_t h) : s(createTemporalState(w, h)) {}
    ~State() { freeTemporalState(s); }
};

// ---------------------------------------------------------------- filter

TEST(ReviewFilter, OnesKernelOnUniformBlock) {
    Pic src(8, 8, [](int32_t, int32_t) { return 10; });
    DoublePic dst(8, 8);
    DoublePic k(3, 3, 1.0);
    ASSERT_EQ(filter(src.img, dst.img, k.img, 1, 8, 8), 0);
    for (int32_t y = 0; y < 8; ++y)
        for (int32_t x = 0; x < 8; ++x) {
            const bool inner = x >= 1 && x <= 6 && y >= 1 && y <= 6;
            EXPECT_EQ(dst.at(x, y), inner ? 90.0 : 0.0) << x << "," << y;
        }
}

TEST(ReviewFilter, KernelIsAppliedUnmirrored) {
    // Only K[0][0] is set: each interior output is the sample up and to the left.
    Pic src(16, 8, [](int32_t x, int32_t y) { return x + 16 * y; });
    DoublePic dst(16, 8, -1.0);
    DoublePic k(3, 3);
    k.at(0, 0) = 1.0;
    ASSERT_EQ(filter(src.img, dst.img, k.img, 2, 8, 8), 0);
    for (int32_t b = 0; b < 2; ++b)
        for (int32_t y = 1; y <= 6; ++y)
            for (int32_t x = 1; x <= 6; ++x)
                EXPECT_EQ(dst.at(8 * b + x, y), src.at(8 * b + x - 1, y - 1));
    EXPECT_EQ(dst.at(0, 0), -1.0);  // borders keep what they held
    EXPECT_EQ(dst.at(7, 3), -1.0);
    EXPECT_EQ(dst.at(8, 3), -1.0);
}

TEST(ReviewFilter, WritesOnlyTheInteriorsOfTheGivenBlocks) {
    Pic src(8000, 8, [](int32_t x, int32_t y) { return (x * 3 + y) % 251; });
    DoublePic dst(8000, 8);
    DoublePic k(3, 3, 1.0);
    ASSERT_EQ(filter(src.img, dst.img, k.img, 2, 8, 8), 0);
    for (int32_t y = 0; y < 8; ++y)
        for (int32_t x = 0; x < 40; ++x) {
            const bool written = y >= 1 && y <= 6 && ((x >= 1 && x <= 6) || (x >= 9 && x <= 14));
            EXPECT_EQ(dst.at(x, y) != 0.0, written) << x << "," << y;
        }
    for (int32_t x = 40; x < 8000; ++x) ASSERT_EQ(dst.at(x, 3), 0.0);
}

TEST(ReviewFilter, RejectedCalls) {
    DoublePic k(3, 3, 1.0);
    {
        Pic src(8, 8, [](int32_t, int32_t) { return 5; });
        DoublePic dst(8, 8, 7.0);
        EXPECT_EQ(filter(src.img, dst.img, k.img, 0, 8, 8), 0);
        for (double v : dst.s) ASSERT_EQ(v, 7.0);
    }
    {
        Pic src(8, 8);
        DoublePic dst(9, 8, 7.0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(filter(src.img, dst.img, k.img, 0, 8, 8), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Source and destination images do not match with their size!\n");
        for (double v : dst.s) ASSERT_EQ(v, 7.0);
    }
    {
        Pic src(8, 2);
        DoublePic dst(8, 2, 7.0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(filter(src.img, dst.img, k.img, 1, 8, 2), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Source image is to small for that kernel!\n");
        for (double v : dst.s) ASSERT_EQ(v, 7.0);
    }
}

TEST(ReviewInteriorDeviation, BorderTakesNoPart) {
    DoublePic src(8, 8, 1000.0);
    for (int32_t y = 1; y <= 6; ++y)
        for (int32_t x = 1; x <= 6; ++x) src.at(x, y) = 7.0;
    DoublePic sums(1, 1), squares(1, 1), devs(1, 1, -3.0);
    DoublePic k(3, 3);
    calculateStdDevsDouble_ommitZeros(src.img, sums.img, squares.img, devs.img, k.img, 8, 8);
    EXPECT_EQ(sums.s[0], 252.0);
    EXPECT_EQ(squares.s[0], 1764.0);
    EXPECT_EQ(devs.s[0], 0.0);
}

TEST(ReviewInteriorDeviation, HalfZerosHalfOnesOverABlockGrid) {
    // Two block rows of three blocks on a wider source; block (bx, by) has an
    // interior of 18 zeros and 18 values bx + 3 * by + 1.
    DoublePic src(27, 17, 500.0);
    for (int32_t by = 0; by < 2; ++by)
        for (int32_t bx = 0; bx < 3; ++bx)
            for (int32_t y = 1; y <= 6; ++y)
                for (int32_t x = 1; x <= 6; ++x)
                    src.at(8 * bx + x, 8 * by + y) = y <= 3 ? 0.0 : bx + 3 * by + 1.0;
    DoublePic sums(3, 2, 1.0), squares(3, 2, 2.0), devs(3, 2);
    DoublePic k(3, 3);
    calculateStdDevsDouble_ommitZeros(src.img, sums.img, squares.img, devs.img, k.img, 8, 8);
    for (int32_t i = 0; i < 6; ++i) {
        const double a = i + 1.0;
        // The sums are added to what the pictures held.
        EXPECT_EQ(sums.s[i], 1.0 + 18 * a);
        EXPECT_EQ(squares.s[i], 2.0 + 18 * a * a);
        const double s = 1.0 + 18 * a, q = 2.0 + 18 * a * a;
        EXPECT_DOUBLE_EQ(devs.s[i], std::sqrt((q - s * s / 36) / 35));
    }
    DoublePic sums1(1, 1), squares1(1, 1), devs1(1, 1);
    calculateStdDevsDouble_ommitZeros(src.img, sums1.img, squares1.img, devs1.img, k.img, 8, 8);
    EXPECT_NEAR(devs1.s[0], std::sqrt(9.0 / 35.0), 1e-15);
    EXPECT_NEAR(devs1.s[0], 0.5071, 1e-4);
}

TEST(ReviewInteriorDeviation, NonSquareKernelComputesNothing) {
    DoublePic src(8, 8, 3.0);
    DoublePic sums(1, 1, 4.0), squares(1, 1, 5.0), devs(1, 1, 6.0);
    DoublePic k(3, 2);
    testing::internal::CaptureStdout();
    calculateStdDevsDouble_ommitZeros(src.img, sums.img, squares.img, devs.img, k.img, 8, 8);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Provided kernel is not symmetric!");
    EXPECT_EQ(sums.s[0], 4.0);
    EXPECT_EQ(squares.s[0], 5.0);
    EXPECT_EQ(devs.s[0], 6.0);
}

// ------------------------------------------------------- activity kernels

TEST(ReviewActivity, SpatialKernelAndIndicator) {
    const struct {
        int32_t w, h;
        std::function<int(int32_t, int32_t)> f;
        double act;
    } cases[] = {
        {9, 7, [](int32_t, int32_t) { return 77; }, 0.0},
        {3, 3, [](int32_t x, int32_t) { return x == 2 ? 255 : 0; }, 1020.0},
        {3, 3, [](int32_t, int32_t y) { return y == 2 ? 255 : 0; }, 1020.0},
        // Lone corner sample: Gx = Gy = 255.
        {3, 3, [](int32_t x, int32_t y) { return x == 2 && y == 2 ? 255 : 0; },
         255.0 * std::sqrt(2.0)},
        {2, 100, [](int32_t x, int32_t y) { return (x * 91 + y * 37) % 256; }, 0.0},
        {100, 2, [](int32_t x, int32_t y) { return (x * 91 + y * 37) % 256; }, 0.0},
        {1, 1, [](int32_t, int32_t) { return 200; }, 0.0},
    };
    for (const auto& c : cases) {
        Pic p(c.w, c.h, c.f);
        EXPECT_DOUBLE_EQ(spatialAct(p.img), c.act) << c.w << "x" << c.h;
        EXPECT_DOUBLE_EQ(spatialActivity(p.img), c.act / std::sqrt(double(c.w) * c.h));
        EXPECT_EQ(reference::spatialActivity(p.img), spatialActivity(p.img));
    }
    Pic right(3, 3, [](int32_t x, int32_t) { return x == 2 ? 255 : 0; });
    EXPECT_EQ(spatialActivity(right.img), 340.0);
    EXPECT_EQ(reference::spatialActivity(right.img), 340.0);
}

TEST(ReviewActivity, TemporalKernelAndIndicator) {
    Pic a(2, 2, [](int32_t x, int32_t y) { return 50 + x + 2 * y; });
    Pic b = a;
    b.img.data = b.s.data();
    EXPECT_EQ(temporalAct(a.img, b.img), 0.0);
    EXPECT_EQ(temporalActivity(a.img, b.img), 0.0);
    b.at(0, 0) += 3;
    b.at(1, 1) -= 4;
    EXPECT_EQ(temporalAct(a.img, b.img), 5.0);
    EXPECT_EQ(temporalActivity(a.img, b.img), 2.5);
    EXPECT_EQ(reference::temporalActivity(a.img, b.img), 2.5);

    Pic c(1920, 1080, [](int32_t, int32_t) { return 0; });
    Pic d(1920, 1080, [](int32_t, int32_t) { return 255; });
    EXPECT_EQ(temporalAct(c.img, d.img), 367200.0);
    EXPECT_EQ(temporalActivity(d.img, c.img), 255.0);
    EXPECT_EQ(reference::temporalActivity(d.img, c.img), 255.0);

    Pic e(5, 3, [](int32_t x, int32_t y) { return 10 + x + y; });
    Pic f(5, 3, [](int32_t x, int32_t y) { return 11 + x + y; });
    EXPECT_EQ(temporalActivity(e.img, f.img), 1.0);
    EXPECT_EQ(reference::temporalActivity(e.img, f.img), 1.0);
}

// --------------------------------------------------------------- exposure

TEST(ReviewExposure, Cases) {
    const struct {
        int32_t w, h;
        std::function<int(int32_t, int32_t)> f;
        double expected;
    } cases[] = {
        {32, 32, [](int32_t, int32_t) { return 93; }, 93.0},
        {48, 40, [](int32_t, int32_t) { return 0; }, 0.0},
        {48, 40, [](int32_t, int32_t) { return 255; }, 255.0},
        // Four visited blocks of 10, 20, 30, 40 (the rest of the picture is not visited).
        {17, 17,
         [](int32_t x, int32_t y) {
             return x >= 16 || y >= 16 ? 255 : 10 + 10 * (x / 8) + 20 * (y / 8);
         },
         25.0},
        {16, 16, [](int32_t, int32_t) { return 0; }, 95.625},
        {8, 8, [](int32_t, int32_t) { return 0; }, 127.5},
        {8, 1080, [](int32_t, int32_t) { return 0; }, 127.5},
        {1920, 8, [](int32_t, int32_t) { return 200; }, 127.5},
        {5, 3, [](int32_t, int32_t) { return 200; }, 127.5},
        {24, 24, [](int32_t x, int32_t y) { return x >= 16 && y >= 16 ? 255 : 0; }, 0.0},
        {1920, 1080, [](int32_t x, int32_t y) { return x < 8 && y < 8 ? 255 : 0; }, 31.875},
        // 4 x 4 visited blocks of 5, 15, ..., 155; the unvisited last column
        // and row hold the extremes.
        {40, 40,
         [](int32_t x, int32_t y) {
             if (x >= 32) return 255;
             if (y >= 32) return 0;
             return 5 + 10 * (x / 8 + 4 * (y / 8));
         },
         80.0},
        // One visited block of 64 samples summing to 100: 3 x 16320 + 2 x 100.
        {16, 16,
         [](int32_t x, int32_t y) { return x == 0 && y == 0 ? 100 : (x < 8 && y < 8 ? 0 : 9); },
         (3 * 16320.0 + 200.0) / 512.0},
    };
    for (const auto& c : cases) {
        Pic p(c.w, c.h, c.f);
        EXPECT_EQ(exposure(p.img), c.expected) << c.w << "x" << c.h;
        EXPECT_EQ(reference::exposure(p.img), c.expected) << c.w << "x" << c.h;
    }
}

// -------------------------------------------------------------- interlace

TEST(ReviewInterlace, Cases) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const char* name;
        int32_t w, h;
        std::function<int(int32_t, int32_t)> f;
        double expected;
    } cases[] = {
        {"uniform", 32, 24, [](int32_t, int32_t) { return 128; }, 0.0},
        {"rows 0/255", 32, 24, [](int32_t, int32_t y) { return y % 2 ? 255 : 0; }, 4.0},
        {"rows 10/20", 32, 24, [](int32_t, int32_t y) { return y % 2 ? 20 : 10; }, 4.0},
        {"rows in pairs", 32, 24, [](int32_t, int32_t y) { return (y / 2) % 2 ? 255 : 0; }, 0.0},
        {"one column breaks", 16, 16,
         [](int32_t x, int32_t y) { return x == 5 && y == 6 ? 200 : (y % 2 ? 200 : 100); }, 3.75},
        {"columns in opposite phases", 16, 16,
         [](int32_t x, int32_t y) { return (x + y) % 2 ? 200 : 100; }, 4.0},
        {"16 x 12", 16, 12, [](int32_t, int32_t y) { return y % 2 ? 9 : 1; }, 6.0},
        // Partial groups at the right and bottom are skipped.
        {"18 x 18", 18, 18, [](int32_t, int32_t y) { return y % 2 ? 9 : 1; }, 4.0},
        {"4 x 4 combed", 4, 4, [](int32_t, int32_t y) { return y % 2 ? 9 : 1; }, kInf},
        {"4 x 4 uniform", 4, 4, [](int32_t, int32_t) { return 9; }, nan},
        // Up, down, then level: the last step breaks every zigzag.
        {"level last step", 16, 16, [](int32_t, int32_t y) { return y % 4 == 1 ? 9 : 1; }, 0.0},
        {"level last step, other phase", 16, 16,
         [](int32_t, int32_t y) { return y % 4 == 1 ? 1 : 9; }, 0.0},
    };
    for (const auto& c : cases) {
        Pic p(c.w, c.h, c.f);
        for (const double r : {interlace(p.img), reference::interlace(p.img)}) {
            if (std::isnan(c.expected))
                EXPECT_TRUE(std::isnan(r)) << c.name;
            else
                EXPECT_EQ(r, c.expected) << c.name;
        }
    }
}

// ------------------------------------------------------------------ noise

// Residual deviation of a block whose rows alternate between two values d
// apart, smoothed with the unnormalised 3x3 kernel of sigma r: the 6x6
// interior holds two residual values, 18 of each.
double alternatingResidual(int d, int r) {
    const double scale = 1.0 / (6.28 * r * r);
    const double centre = scale;
    const double edge = std::exp(-1.0 / (2.0 * r * r)) * scale;
    const double corner = std::exp(-2.0 / (2.0 * r * r)) * scale;
    const double step = d * (1.0 + 2.0 * (2.0 * corner + edge) - (2.0 * edge + centre));
    return std::fabs(step) / 2.0 * std::sqrt(36.0 / 35.0);
}

// A strip of 8x8 blocks side by side; block k has rows alternating between
// a base value and base + d[k] (d = 0 gives a flat block).
Pic alternatingStrip(const std::vector<int>& d) {
    return Pic(static_cast<int32_t>(8 * d.size()), 8, [&d](int32_t x, int32_t y) {
        const int dk = d[static_cast<size_t>(x / 8)];
        const int base = dk > 155 ? 0 : 100;
        return y % 2 ? base + dk : base;
    });
}

TEST(ReviewNoise, ClosedFormCases) {
    // Block deviations of alternating rows are d / 2 * sqrt(64 / 63):
    // d = 2: 1.008, 4: 2.016, 5: 2.520, 6: 3.024, 7: 3.528, 8: 4.032,
    // 10: 5.040, 255: 128.5.
    const struct {
        const char* name;
        std::vector<int> d;
        double expected;
    } cases[] = {
        {"sigma 1", {2, 2, 2, 2}, alternatingResidual(2, 1)},
        {"sigma 2", {4, 4, 4}, alternatingResidual(4, 2)},
        // Bins 2, 5, 5, 2: bin 5 reaches two first and is the mode.
        {"mode tie", {4, 10, 10, 4}, alternatingResidual(10, 5)},
        // Bins 3, 4, 3, 4: mode 3, centre 3.5, window 3.5 <= v < 4.5.
        {"centre 3.5", {6, 8, 6, 8}, alternatingResidual(8, 4)},
        // Bins 3 x 4 and 4 x 1: centre 3.2, window 3 <= v < 4 takes the 3.528 block.
        {"centre 3.2",
         {6, 6, 7, 6, 6},
         (4 * alternatingResidual(6, 3) + alternatingResidual(7, 3)) / 5},
        // Mode 0 (m = 1): centre (1 * 1) / 4 below one half.
        {"mostly flat", {0, 0, 2, 0}, 0.0},
        {"flat", {0, 0, 0, 0, 0}, 0.0},
        // Every deviation is 128.51 and rounds to 129 (the mode bin and its upper
        // neighbour exist): the centre is 129.0, the window 129 <= v < 130
        // misses every block.
        {"largest deviation", {255, 255, 255, 255}, kNaN},
        // Likewise 2.52 everywhere: centre 3, window 3 <= v < 4.
        {"deviation above its bin", {5, 5, 5}, kNaN},
    };
    for (const auto& c : cases) {
        Pic p = alternatingStrip(c.d);
        for (const double r : {noise(p.img), reference::noise(p.img)}) {
            if (std::isnan(c.expected))
                EXPECT_TRUE(std::isnan(r)) << c.name;
            else
                EXPECT_NEAR(r, c.expected, 1e-10 * (1.0 + c.expected)) << c.name;
        }
    }
}

TEST(ReviewNoise, ResultDependsOnTheKernelConstant) {
    // With 2 pi instead of 6.28 the estimate would move by about 1e-4.
    Pic p = alternatingStrip({4, 4, 4, 4});
    const double r = noise(p.img);
    EXPECT_NEAR(r, alternatingResidual(4, 2), 1e-10);
    const double scale = 1.0 / (2.0 * std::acos(-1.0) * 4);
    const double alt = 4.0 *
                       (1.0 + 2.0 * (2.0 * std::exp(-0.25) * scale + std::exp(-0.125) * scale) -
                        (2.0 * std::exp(-0.125) * scale + scale)) /
                       2.0 * std::sqrt(36.0 / 35.0);
    EXPECT_GT(std::fabs(r - alt), 1e-5);
}

TEST(ReviewNoise, CollectsTheFirstThousandQualifyingBlocks) {
    // 1000 blocks of deviation 2.016, then one of 2.520: centre 2.003, window
    // 2 <= v < 3 admits the last block too, but it comes after the thousandth.
    std::vector<int> d(1000, 4);
    d.push_back(5);
    Pic p = alternatingStrip(d);
    EXPECT_NEAR(noise(p.img), alternatingResidual(4, 2), 1e-10);
}

TEST(ReviewNoise, NoQualifyingBlockGivesNaN) {
    // Three flat blocks and one of deviation 2.0158: centre 0.5, r = 1,
    // window 0.5 <= v < 1.5.
    Pic p(16, 16, [](int32_t x, int32_t y) {
        if (x < 8 || y < 8) return 50;
        return (x + 8 * y) % 2 ? 104 : 100;
    });
    EXPECT_TRUE(std::isnan(noise(p.img)));
    Pic narrow(7, 100, [](int32_t x, int32_t y) { return (x * 77 + y * 13) % 256; });
    EXPECT_EQ(noise(narrow.img), 0.0);
    Pic low(100, 7, [](int32_t x, int32_t y) { return (x * 77 + y * 13) % 256; });
    EXPECT_EQ(noise(low.img), 0.0);
}

// ------------------------------------------------------------------ slice

TEST(ReviewSlice, Cases) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const char* name;
        int32_t w, h;
        std::function<int(int32_t, int32_t)> f;
        double expected;
    } cases[] = {
        {"uniform", 40, 64, [](int32_t, int32_t) { return 3; }, 1.0},
        {"rows differ", 40, 100, [](int32_t, int32_t y) { return y % 256; }, kInf},
        {"columns differ", 200, 64, [](int32_t x, int32_t) { return x; }, 0.0},
        {"47 rows", 300, 47, [](int32_t, int32_t) { return 3; }, -1.0},
        {"48 rows", 300, 48, [](int32_t, int32_t) { return 3; }, 1.0},
        {"16 columns", 16, 64, [](int32_t, int32_t) { return 3; }, -1.0},
        {"17 columns", 17, 64, [](int32_t, int32_t) { return 3; }, 1.0},
        // Strip 1: rows 32..39 match rows 16..23, rows 40..47 do not: vertical
        // rate 0.5, horizontal 1, ratio 0.5; strip 0 ratio 1.
        {"half repeat", 32, 48, [](int32_t, int32_t y) { return y >= 40 ? 9 : 0; }, 2.0},
        // Strip 0 repeats in neither direction (its ratio is not a number);
        // strip 1: vertical rate 1, horizontal 0.5.
        {"NaN strip left out", 32, 48,
         [](int32_t x, int32_t y) {
             if (y < 16) return x;
             const int row = y >= 32 ? y - 16 : y;
             return row < 24 ? 100 + x % 16 : 100 + x;
         },
         0.5},
        {"every strip NaN", 32, 48, [](int32_t x, int32_t y) { return x + 32 * (y / 16); }, nan},
        // Rows below the last strip compared downwards are never counted.
        {"unused rows", 40, 56, [](int32_t x, int32_t y) { return y >= 48 ? x : 0; }, 1.0},
    };
    for (const auto& c : cases) {
        Pic p(c.w, c.h, c.f);
        for (const double r : {slice(p.img), reference::slice(p.img)}) {
            if (std::isnan(c.expected))
                EXPECT_TRUE(std::isnan(r)) << c.name;
            else
                EXPECT_EQ(r, c.expected) << c.name;
        }
    }
}

// --------------------------------------------------------------- blackout

TEST(ReviewBlackout, Cases) {
    const struct {
        const char* name;
        int32_t w, h;
        std::function<int(int32_t, int32_t)> f;
        uint8_t expected;
    } cases[] = {
        {"black", 64, 48, [](int32_t, int32_t) { return 0; }, 1},
        {"grey", 64, 48, [](int32_t, int32_t) { return 128; }, 1},
        {"white", 64, 48, [](int32_t, int32_t) { return 255; }, 1},
        {"range 256", 16, 8, [](int32_t x, int32_t) { return x < 8 ? 10 : 14; }, 0},
        {"range 255", 16, 8,
         [](int32_t x, int32_t y) { return x < 8 ? 10 : (x == 9 && y == 2 ? 13 : 14); }, 1},
        {"one whole block", 12, 8, [](int32_t x, int32_t) { return x < 8 ? 0 : 255; }, 1},
        {"one bright sample", 64, 48,
         [](int32_t x, int32_t y) { return x == 20 && y == 30 ? 255 : 0; }, 1},
        {"two bright samples", 64, 48,
         [](int32_t x, int32_t y) { return (x == 20 || x == 21) && y == 30 ? 255 : 0; }, 0},
        {"bottom block row counts", 1920, 1080,
         [](int32_t x, int32_t y) { return x < 2 && y == 1079 ? 255 : 0; }, 0},
        {"rows below the grid ignored", 1920, 1084,
         [](int32_t, int32_t y) { return y >= 1080 ? 255 : 0; }, 1},
        {"no whole block", 7, 100, [](int32_t x, int32_t) { return x * 30; }, 0},
    };
    for (const auto& c : cases) {
        Pic p(c.w, c.h, c.f);
        EXPECT_EQ(blackout(p.img), c.expected) << c.name;
        EXPECT_EQ(reference::blackout(p.img), c.expected) << c.name;
    }
}

TEST(ReviewBlackout, MinMax) {
    const int32_t v[] = {5, -3, 9, 9, -3, 0};
    int32_t lo = 0, hi = 0;
    minmax(v, 6, lo, hi);
    EXPECT_EQ(lo, -3);
    EXPECT_EQ(hi, 9);
    minmax(v + 2, 1, lo, hi);
    EXPECT_EQ(lo, 9);
    EXPECT_EQ(hi, 9);
}

// --------------------------------------------------------------- freezing

TEST(ReviewFreezing, Sequences) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double fps;
        std::vector<double> ta;
        std::vector<int32_t> black;
        std::vector<int> flags;
    } cases[] = {
        {25, {0, 0, 0, 0, 7.1, 0}, {0, 0, 0, 0, 0, 0}, {0, 0, 1, 1, 0, 0}},
        {30, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 1}},
        {10, {0, 0, 0, 3, 0}, {0, 0, 0, 0, 0}, {0, 1, 1, 0, 0}},
        {50, {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 1}},
        {60, {0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 1}},
        {29.97, {0, 0, 0}, {0, 0, 0}, {0, 0, 1}},
        // A blacked-out repeat resets the count.
        {10, {0, 0, 0, 0, 0}, {0, 1, 1, 0, 0}, {0, 0, 0, 0, 1}},
        // Only the low 8 bits of the blackout argument matter.
        {10, {0, 0}, {256, 512}, {0, 1}},
        {10, {0, nan, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 1}},
        {0, {5, 0, 1}, {0, 1, 0}, {1, 1, 1}},
        {-3, {5}, {0}, {1}},
        {nan, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
    };
    for (const auto& c : cases) {
        State st(16, 16);
        for (size_t i = 0; i < c.ta.size(); ++i)
            EXPECT_EQ(freezing(c.ta[i], c.black[i], c.fps, st.s), c.flags[i])
                << c.fps << " fps, call " << i;
    }
}

// ------------------------------------------------------------- flickering

// Runs `calls` calls of flickering on w x h pictures; `changed(call, bx, by)`
// says whether block (bx, by) differs from the previous picture on that call
// (calls counted from 1). Returns the results.
using FlickerFn = double (*)(const Image&, const Image&, TemporalState&);

std::vector<double> runFlicker(int32_t w, int32_t h, int calls,
                               const std::function<bool(int, int32_t, int32_t)>& changed,
                               FlickerFn fn = flickering) {
    State st(w, h);
    Pic prev(w, h, [](int32_t x, int32_t y) { return (x * 7 + y * 3) % 200; });
    std::vector<double> out;
    for (int call = 1; call <= calls; ++call) {
        Pic cur(prev.img.w, prev.img.h);
        cur.s = prev.s;
        cur.img.data = cur.s.data();
        for (int32_t by = 0; by < h / 8; ++by)
            for (int32_t bx = 0; bx < w / 8; ++bx)
                if (changed(call, bx, by)) cur.at(8 * bx + 3, 8 * by + 5) ^= 1;
        // Columns and rows outside the block grid always change.
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = (w / 8) * 8; x < w; ++x) cur.at(x, y) ^= 0x40;
        for (int32_t y = (h / 8) * 8; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) cur.at(x, y) ^= 0x40;
        out.push_back(fn(cur.img, prev.img, st.s));
        prev.s = cur.s;
    }
    return out;
}

TEST(ReviewFlickering, Ratings) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const char* name;
        int32_t w, h;
        std::function<bool(int, int32_t, int32_t)> changed;
        double rating;
    } cases[] = {
        {"still", 64, 48, [](int, int32_t, int32_t) { return false; }, 0.0},
        {"changes everywhere", 64, 48, [](int, int32_t, int32_t) { return true; }, 0.125},
        {"alternating", 64, 48, [](int call, int32_t, int32_t) { return call % 2 == 1; }, 1.0},
        // Changes on calls 1, 2 and 5: switches on 1, 3, 5 and 6. 48 blocks, k = 1.
        {"one block, four switches", 64, 48,
         [](int call, int32_t bx, int32_t by) {
             const int phase = (call - 1) % 8 + 1;
             return bx == 2 && by == 3 && (phase == 1 || phase == 2 || phase == 5);
         },
         0.5},
        // 100 blocks: k = 2, not 3.
        {"k for 100 blocks", 80, 80,
         [](int call, int32_t bx, int32_t by) { return by == 0 && bx < 2 && call % 2 == 1; }, 1.0},
        // 1,584 blocks: k = 47.
        {"k for 1584 blocks", 352, 288,
         [](int call, int32_t bx, int32_t by) { return by * 44 + bx < 47 && call % 2 == 1; }, 1.0},
        // 34 blocks: k = 1.
        {"34 blocks", 272, 8, [](int call, int32_t bx, int32_t) { return bx == 33 && call % 2; },
         1.0},
        {"33 blocks", 264, 8, [](int call, int32_t, int32_t) { return call % 2; }, nan},
        {"30 blocks", 40, 48, [](int, int32_t, int32_t) { return true; }, nan},
        {"no block", 7, 7, [](int, int32_t, int32_t) { return true; }, nan},
        // The rightmost columns and bottom rows outside the grid never count.
        {"ragged edges", 69, 53, [](int, int32_t, int32_t) { return false; }, 0.0},
    };
    for (const auto& c : cases)
        for (const FlickerFn fn : {&flickering, &reference::flickering}) {
            const std::vector<double> r = runFlicker(c.w, c.h, 16, c.changed, fn);
            for (int i = 0; i < 16; ++i) {
                if (i == 7 || i == 15) {
                    if (std::isnan(c.rating))
                        EXPECT_TRUE(std::isnan(r[i])) << c.name << " call " << i + 1;
                    else
                        EXPECT_EQ(r[i], c.rating) << c.name << " call " << i + 1;
                } else {
                    EXPECT_EQ(r[i], -1.0) << c.name << " call " << i + 1;
                }
            }
        }
}

TEST(ReviewFlickering, TopBlockCountOfAFullHdPicture) {
    // 32,400 blocks give k = 971: with exactly 971 blocks switching on every
    // call the rating is 1.0 (972 top blocks would give 0.99897...).
    const std::vector<double> r = runFlicker(1920, 1080, 8, [](int call, int32_t bx, int32_t by) {
        return by * 240 + bx < 971 && call % 2 == 1;
    });
    EXPECT_EQ(r[7], 1.0);
    const std::vector<double> ref = runFlicker(
        1920, 1080, 8,
        [](int call, int32_t bx, int32_t by) { return by * 240 + bx < 971 && call % 2 == 1; },
        &reference::flickering);
    EXPECT_EQ(ref[7], 1.0);
}

TEST(ReviewFlickering, OneDifferingSampleMakesABlockChange) {
    State st(8, 8);
    Pic a(8, 8, [](int32_t, int32_t) { return 0; });
    Pic b(8, 8, [](int32_t x, int32_t y) { return x == 7 && y == 7 ? 1 : 0; });
    flickering(b.img, a.img, st.s);
    EXPECT_EQ(st.s.changeStates.data[0], 1);
    EXPECT_EQ(st.s.switchCounters.data[0], 1);
    flickering(b.img, b.img, st.s);
    EXPECT_EQ(st.s.changeStates.data[0], 0);
    EXPECT_EQ(st.s.switchCounters.data[0], 2);
    EXPECT_EQ(st.s.frameCount, 2);
}

// ----------------------------------------------------------------- report

std::array<double, kIndicatorCount> sampleValues() {
    std::array<double, kIndicatorCount> v{};
    v[kBlockiness] = 1.234567;
    v[kSpatialActivity] = 12345.678901;
    v[kLetterbox] = 0.5;
    v[kPillarbox] = -0.25;
    v[kBlockLoss] = -1.0;
    v[kBlur] = 3.14159;
    v[kExposure] = 99.9;
    v[kInterlace] = 4.0;
    v[kNoise] = 2.71828;
    v[kSlice] = kInf;
    v[kBlackout] = 1.0;
    v[kContrast] = 55.5;
    v[kTemporalActivity] = 0.0;
    v[kFreezing] = 0.0;
    v[kFlickering] = -1.0;
    return v;
}

TEST(ReviewReport, Headers) {
    EXPECT_EQ(columnHeader(RowStyle::Console),
              "Frame: \tBlockiness: \tSpatial Activity: \tLetterbox: \tPillarbox: \tBlockloss: "
              "\tBlur: \t\tTemporalAct: \tBlackout: \tFreezing: \tExposure(bri): \tContrast: "
              "\tInterlace: \tNoise: \t\tSlice: \t\tFlickering:");
    const std::string log = columnHeader(RowStyle::Log);
    EXPECT_EQ(log,
              "Frame: \tBlockiness: \tSA: \tLetterbox: \tPillarbox: \tBlockloss: \tBlur: \tTA: "
              "\tBlackout: \tFreezing: \tExposure(bri): \tContrast: \tInterlace: \tNoise: \tSlice: "
              "\tFlickering:\n");
    EXPECT_EQ(log.size(), 163u);
}

const char* const kConsoleRowFormat =
    "%05i \t%-5.5f \t%-5.5f \t\t%-5.5f \t%-5.5f \t%-5.5f \t%-7.3f \t%-5.5f \t%-d \t\t%-d \t\t%-6i "
    "\t\t%-5.5f \t%-5.5f \t%-8.4f \t%-7.3f \t%-5.5f\n";
const char* const kLogRowFormat =
    "%05i \t%-5.5f \t%-5.5f \t%-5.5f \t%-5.5f \t%-5.5f \t%-5.3f \t%-5.5f \t%-d \t%-d \t%-6i "
    "\t%-5.5f "
    "\t%-5.5f \t%-8.4f \t%-7.3f \t%-5.5f\n";

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
std::string printedRow(const char* format, int frame, const std::array<double, kIndicatorCount>& v,
                       int exposureInt) {
    char buffer[1024];
    std::snprintf(buffer, sizeof buffer, format, frame, v[kBlockiness], v[kSpatialActivity],
                  v[kLetterbox], v[kPillarbox], v[kBlockLoss], v[kBlur], v[kTemporalActivity],
                  static_cast<int>(v[kBlackout]), static_cast<int>(v[kFreezing]), exposureInt,
                  v[kContrast], v[kInterlace], v[kNoise], v[kSlice], v[kFlickering]);
    return buffer;
}
#pragma GCC diagnostic pop

TEST(ReviewReport, Rows) {
    std::array<double, kIndicatorCount> v = sampleValues();
    EXPECT_EQ(formatRow(RowStyle::Console, 7, v), printedRow(kConsoleRowFormat, 7, v, 99));
    EXPECT_EQ(formatRow(RowStyle::Log, 7, v), printedRow(kLogRowFormat, 7, v, 99));
    EXPECT_EQ(formatRow(RowStyle::Log, 7, v),
              "00007 \t1.23457 \t12345.67890 \t0.50000 \t-0.25000 \t-1.00000 \t3.142 \t0.00000 "
              "\t1 \t0 \t99     \t55.50000 \t4.00000 \t2.7183   \tinf     \t-1.00000\n");
    v[kExposure] = -0.5;
    v[kFreezing] = 1.0;
    v[kBlackout] = 0.0;
    v[kBlur] = 1234567.0;
    v[kTemporalActivity] = 0.000004;
    EXPECT_EQ(formatRow(RowStyle::Console, 123456, v), printedRow(kConsoleRowFormat, 123456, v, 0));
    EXPECT_EQ(formatRow(RowStyle::Log, 123456, v), printedRow(kLogRowFormat, 123456, v, 0));
    v[kExposure] = 255.0;
    EXPECT_EQ(formatRow(RowStyle::Console, 0, v), printedRow(kConsoleRowFormat, 0, v, 255));
}

TEST(ReviewReport, TimingText) {
    std::array<float, kIndicatorCount> s{};
    for (int i = 0; i < kIndicatorCount; ++i) s[static_cast<size_t>(i)] = 0.001f * (i + 1);
    // Averages in the order blockiness, spatial activity, letterbox, pillarbox,
    // block loss, blur, exposure, interlace, noise, slice, blackout, temporal
    // activity, freezing, flickering, contrast.
    const IndicatorId order[] = {
        kBlockiness, kSpatialActivity,  kLetterbox, kPillarbox,  kBlockLoss,
        kBlur,       kExposure,         kInterlace, kNoise,      kSlice,
        kBlackout,   kTemporalActivity, kFreezing,  kFlickering, kContrast};
    double a[15];
    for (int i = 0; i < 15; ++i)
        a[i] = static_cast<double>(s[static_cast<size_t>(order[i])]) / static_cast<double>(3.0f) *
               1000.0;
    char expected[2048];
    std::snprintf(expected, sizeof expected,
                  "\tBlockiness: %02.6f ms \tSpatialAct: %02.6f ms \tLetterbox: %02.6f ms "
                  "\n\tPillarbox: %02.6f ms \t\tBlockLoss: %02.6f ms \t\tBlur: %02.6f ms \n "
                  "\tExposure: %02.6f ms \t\tInterlace: %02.6f ms \t\tNoise: %02.6f ms \n \tSlice: "
                  "%02.6f ms\t\tBlackout: %02.6f ms \t\tTemporal: %02.6f ms \n \tFreezing : %02.6f "
                  "ms\t\tFlickering: %02.6f ms \tContrast: %02.6f ms\n",
                  a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12],
                  a[13], a[14]);
    EXPECT_EQ(timingText(s, 3), expected);
    // The contrast time stands last; 0.012 s over 3 frames is 4 ms.
    s[kContrast] = 0.012f;
    EXPECT_NE(timingText(s, 3).find("Contrast: 4.000000 ms\n"), std::string::npos);
}

// ------------------------------------------------------------- frame loop

// Keeps every row and the summary.
class CapturingSink : public ResultSink {
  public:
    bool begin(const RunInfo& run) override {
        framesAnnounced = run.frames;
        return true;
    }
    bool frame(int64_t index, const lumaqc::FrameValues& values) override {
        indices.push_back(index);
        rows.push_back(values);
        return true;
    }
    bool end(const RunSummary& summary) override {
        ended = true;
        summaryFrames = summary.frames;
        return true;
    }
    int64_t framesAnnounced = 0;
    std::vector<int64_t> indices;
    std::vector<lumaqc::FrameValues> rows;
    bool ended = false;
    int64_t summaryFrames = 0;
};

// A raw 4:2:0 file of three whole 64 x 48 frames and 100 bytes of a fourth.
class FrameLoop : public testing::Test {
  protected:
    static constexpr int32_t W = 64;
    static constexpr int32_t H = 48;
    static constexpr size_t kLuma = static_cast<size_t>(W) * H;
    static constexpr size_t kFrame = kLuma * 3 / 2;

    void SetUp() override {
        path = std::filesystem::temp_directory_path() /
               ("review_b_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".yuv");
        std::vector<uint8_t> bytes;
        for (int f = 0; f < 4; ++f) {
            std::vector<uint8_t> frame(kFrame);
            for (size_t i = 0; i < kFrame; ++i)
                frame[i] =
                    static_cast<uint8_t>((i * (7 + 4 * f) + 31 * f + (i / W) * (i / W)) % 251);
            luma.emplace_back(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(kLuma));
            const size_t take = f < 3 ? kFrame : 100;
            bytes.insert(bytes.end(), frame.begin(),
                         frame.begin() + static_cast<std::ptrdiff_t>(take));
        }
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    void TearDown() override { std::filesystem::remove(path); }

    CapturingSink run(int64_t start, int64_t frames, int threads) {
        SourceRequest request;
        request.path = path.string();
        request.width = W;
        request.height = H;
        std::string error;
        std::unique_ptr<FrameSource> source = openFrameSource(request, error);
        EXPECT_TRUE(source) << error;
        CapturingSink sink;
        if (!source) return sink;
        EXPECT_EQ(source->info().frames, 3);
        RunOptions options;
        options.start = start;
        options.frames = frames;
        options.fps = 25.0;
        options.threads = threads;
        std::vector<ResultSink*> sinks{&sink};
        const RunOutcome outcome = runAnalysis(*source, options, sinks);
        EXPECT_EQ(outcome.status, 0);
        return sink;
    }

    std::filesystem::path path;
    std::vector<std::vector<uint8_t>> luma;
};

TEST_F(FrameLoop, FramesPastTheEndReuseTheArrayOfTwoFramesBefore) {
    // Frames 1 to 6: frame 3 is partial (its first 100 bytes over frame 1's
    // array), frames 4 to 6 deliver nothing.
    std::vector<uint8_t> partial = luma[1];
    std::copy(luma[3].begin(), luma[3].begin() + 100, partial.begin());
    const std::vector<const std::vector<uint8_t>*> seen = {&luma[1], &luma[2], &partial,
                                                           &luma[2], &partial, &luma[2]};
    for (const int threads : {1, 3}) {
        const CapturingSink sink = run(1, 6, threads);
        ASSERT_EQ(sink.indices.size(), 6u) << threads;
        EXPECT_TRUE(sink.ended);
        EXPECT_EQ(sink.summaryFrames, 6);
        for (size_t k = 0; k < 6; ++k) {
            std::vector<uint8_t> cur = *seen[k];
            const Image img = makeImage(W, H, cur.data());
            const lumaqc::FrameValues& v = sink.rows[k];
            EXPECT_EQ(sink.indices[k], static_cast<int64_t>(k) + 1);
            EXPECT_EQ(v[kSpatialActivity], spatialActivity(img)) << k;
            EXPECT_EQ(v[kExposure], exposure(img)) << k;
            EXPECT_EQ(v[kInterlace], interlace(img)) << k;
            EXPECT_EQ(v[kBlackout], blackout(img)) << k;
            if (k == 0) {
                EXPECT_EQ(v[kTemporalActivity], 0.0);
                EXPECT_EQ(v[kFreezing], 0.0);
                EXPECT_EQ(v[kFlickering], 0.0);
            } else {
                std::vector<uint8_t> prev = *seen[k - 1];
                EXPECT_EQ(v[kTemporalActivity], temporalActivity(img, makeImage(W, H, prev.data())))
                    << k;
                EXPECT_EQ(v[kFreezing], 0.0);
                EXPECT_EQ(v[kFlickering], -1.0);
            }
        }
    }
}

TEST_F(FrameLoop, StartBeyondTheEndWorksOnZeroPictures) {
    const CapturingSink sink = run(10, 3, 1);
    ASSERT_EQ(sink.indices.size(), 3u);
    EXPECT_EQ(sink.indices[0], 10);
    for (const lumaqc::FrameValues& v : sink.rows) {
        EXPECT_EQ(v[kSpatialActivity], 0.0);
        EXPECT_EQ(v[kBlackout], 1.0);
        EXPECT_EQ(v[kTemporalActivity], 0.0);
        // Repeats of a blacked-out picture never count as frozen.
        EXPECT_EQ(v[kFreezing], 0.0);
    }
}

TEST_F(FrameLoop, NoFramesStillEndsTheRun) {
    for (const int64_t frames : {0, -3}) {
        const CapturingSink sink = run(0, frames, 1);
        EXPECT_TRUE(sink.indices.empty());
        EXPECT_TRUE(sink.ended);
        EXPECT_EQ(sink.framesAnnounced, frames);
        EXPECT_EQ(sink.summaryFrames, frames);
    }
}

}  // namespace
