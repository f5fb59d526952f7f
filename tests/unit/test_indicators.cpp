// Hand-computed values of every indicator: small pictures whose results were
// worked out on paper from the definitions, each checked on the fast path and
// on its plain reference composition. They pin the edge sizes, thresholds and
// quirks the output depends on; the identity test covers random content.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "indicators/indicators.h"
#include "picture.h"
#include "reference/reference.h"
#include "tools/simd.h"

using namespace lumaqc;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// NaN equals NaN; finite values agree to 1e-10 relative, as closed forms
// round differently from the sums the indicators form.
void expectValue(double want, double got, const std::string& what) {
    if (std::isnan(want) || std::isinf(want))
        EXPECT_EQ(std::isnan(want) ? "nan" : std::to_string(want),
                  std::isnan(got) ? "nan" : std::to_string(got))
            << what;
    else
        EXPECT_NEAR(want, got, 1e-10 * (1.0 + std::fabs(want))) << what;
}

int texture(int x, int y) {
    return 1 + (x + 3 * y) % 200;
}
// Every row alike: `before` left of column `at`, then `steps`, then `after`.
int ramp(int x, int at, std::vector<int> steps, int before, int after) {
    return x < at ? before : x - at < static_cast<int>(steps.size()) ? steps[x - at] : after;
}
// 255 inside the rectangle x0..x1, y0..y1 of a 256 x 256 grid test, 0 elsewhere.
int inside(int x, int y, int x0, int x1, int y0, int y1) {
    return x >= x0 && x <= x1 && y >= y0 && y <= y1 ? 255 : 0;
}
// 8x8 blocks, `perRow` to a block row: block k alternates between lo and
// lo + |d[k]| in a checker pattern (by columns when d[k] < 0), so that its
// deviation is |d| / 2 * sqrt(64 / 63); blocks past the list are flat.
Paint blocks(int perRow, std::vector<int> d, int lo = 100) {
    return [=](int x, int y) {
        const size_t k = static_cast<size_t>(y / 8 * perRow + x / 8);
        const int dk = k < d.size() ? d[k] : 0;
        return (dk < 0 ? x % 2 : (x + y) % 2) != 0 ? lo + std::abs(dk) : lo;
    };
}
// Residual deviation of such a checker block of step d after smoothing with
// the unnormalised 3x3 Gaussian of sigma r: the 6x6 interior takes two values.
double residual(int d, int r) {
    const double c0 = 1.0 / (6.28 * r * r);
    const double c1 = c0 * std::exp(-1.0 / (2.0 * r * r));
    const double c2 = c0 * std::exp(-2.0 / (2.0 * r * r));
    return std::fabs(d * (1 - c0 - 4 * c2 + 4 * c1)) / 2 * std::sqrt(36.0 / 35.0);
}

}  // namespace

// A painter: sample (x, y) is the expression.
#define PAINT(expr) [&](int x, int y) { return (void)x, (void)y, static_cast<int>(expr); }

// The fast path and the plain composition of an indicator.
#define BOTH(name)                                  \
    [](const Image& i) { return double(name(i)); }, \
        [](const Image& i) { return double(reference::name(i)); }

TEST(Indicators, HandComputed) {
    // Blockiness: 10 at column 7 and 50 from 16 on. Edge 8: inner 10, across
    // 10 per row; edge 16 (a whole block after it) adds across 50. Running
    // sums weigh earlier edges more: (10 + 10) / (10 + 60).
    const auto edge = [](int x) { return x == 7 ? 10 : x >= 16 ? 50 : 0; };
    // Block loss: a grid block of v over a background whose lower half has
    // columns of 40: the energy sum is 104040000 + 124 v^2, the block's runs
    // carry 2 v^2 against six times the mean.
    const auto block = [](int x, int y, int v) {
        return inside(x, y, 16, 31, 16, 31) ? v : y / 128 * 40 * (x % 2);
    };
    // Exposure: 16 visited blocks of distinct means; the last block row and column are not visited.
    const int order[16] = {7, 12, 0, 15, 3, 9, 14, 1, 5, 11, 2, 13, 8, 4, 10, 6};
    std::vector<int> rowMajor(1500, 2), wide(258 * 256, 0);
    std::fill(rowMajor.begin() + 1000, rowMajor.end(), -2);
    std::fill(wide.end() - 300, wide.end(), 2);
    const struct {
        const char* what;
        double (*fast)(const Image&);
        double (*plain)(const Image&);
        int w, h;
        Paint paint;
        double expected;
    } cases[] = {
        {"changes inside blocks only", BOTH(blockiness), 64, 48,
         PAINT((x + 1) % 8 < 2 || (y + 1) % 8 < 2 ? 200 : 50), kInf},
        {"edges 8 and 16", BOTH(blockiness), 24, 5, PAINT(edge(x)), 2.0 / 7},
        {"no whole block after 16", BOTH(blockiness), 23, 5, PAINT(edge(x)), 1.0},
        // Sobel magnitudes of the interior over the square root of all positions.
        {"right column", BOTH(spatialActivity), 3, 3, PAINT(x == 2 ? 255 : 0), 1020.0 / 3},
        {"a point", BOTH(spatialActivity), 5, 5, PAINT(x == 2 && y == 2 ? 10 : 0),
         std::sqrt(2400.0) / 5},
        {"2 x 100", BOTH(spatialActivity), 2, 100, PAINT(texture(x, y)), 0.0},
        // Pairs of flat rows from the top and bottom, over half the height.
        {"bars", BOTH(letterbox), 30, 20, PAINT(y < 5 || y >= 15 ? 0 : texture(x, y)), 0.5},
        {"odd height", BOTH(letterbox), 30, 5, PAINT(y == 2 ? texture(x, y) : y), 1.0},
        {"a sample of row 1", BOTH(letterbox), 6, 4, PAINT(x == 3 && y == 1 ? 99 : y), 0.5},
        {"height 1", BOTH(letterbox), 9, 1, PAINT(x), kNaN},
        // Columns equal to their right neighbour from the left, over half the width.
        {"HD, 240 columns", BOTH(pillarbox), 1920, 4, PAINT(x < 240 ? 0 : texture(x, y)),
         239.0 / 960},
        {"a sample of the last row", BOTH(pillarbox), 16, 6,
         PAINT(x >= 8 ? texture(x, y) : x == 2 && y == 5), 1.0 / 8},
        {"width 1", BOTH(pillarbox), 1, 9, PAINT(y), kNaN},
        // Runs of 12 or more strong steps on the lines of a 16-sample grid,
        // per 256 x 256 region, averaged over the regions.
        {"255 x 480", BOTH(blockLoss), 255, 480, PAINT(0), -1.0},
        {"row runs of 12", BOTH(blockLoss), 256, 256, PAINT(inside(x, y, 16, 26, 16, 31)), 2.0},
        {"row runs of 11", BOTH(blockLoss), 256, 256, PAINT(inside(x, y, 16, 25, 16, 31)), 0.0},
        {"two regions", BOTH(blockLoss), 512, 256, PAINT(inside(x, y, 16, 31, 16, 31)), 2.0},
        {"cut at a region border", BOTH(blockLoss), 512, 256,
         PAINT(inside(x, y, 248, 263, 16, 31) | inside(x, y, 320, 335, 100, 130)), 0.0},
        {"steps of 69", BOTH(blockLoss), 256, 256, PAINT(block(x, y, 69)), 0.0},
        {"steps of 70", BOTH(blockLoss), 256, 256, PAINT(block(x, y, 70)), 4.0},
        // Mean width of the ramps around strong vertical edges.
        {"three steps", BOTH(blur), 64, 64, PAINT(ramp(x, 30, {64, 128, 192}, 0, 255)), 4.0},
        {"in rising, out falling", BOTH(blur), 64, 64, PAINT(ramp(x, 30, {100, 60}, 0, 20)), 2.0},
        {"16 times the mean", BOTH(blur), 16, 64, PAINT(x < 8 ? 0 : 255), 1.0},
        {"under 16 times the mean", BOTH(blur), 15, 64, PAINT(x < 8 ? 0 : 255), 0.0},
        {"walk stops at column 2", BOTH(blur), 64, 64, PAINT(ramp(x, 1, {80, 160}, 0, 240)), 2.0},
        {"vertical peak only", BOTH(blur), 8, 6, PAINT(y == 3 ? ramp(x, 3, {50}, 0, 200) : 0), 2.0},
        // The 4 darkest and 4 brightest 8x8 block sums over 512; the lists
        // start as 4 x 16320 and 4 x 0.
        {"one black block", BOTH(exposure), 16, 16, PAINT(0), 95.625},
        {"last block row and column", BOTH(exposure), 24, 24, PAINT(x >= 16 || y >= 16 ? 255 : 0),
         0.0},
        {"4 of 16 each side", BOTH(exposure), 40, 40,
         PAINT(y >= 32   ? x / 8 % 2 * 255
               : x >= 32 ? (1 - y / 8 % 2) * 255
                         : 10 * order[y / 8 * 4 + x / 8] + 5),
         80.0},
        // 4x4 groups whose four columns zigzag from row to row, per 8x8 block.
        {"one broken column", BOTH(interlace), 16, 16,
         PAINT(x == 6 && y >= 4 && y < 8 ? 50 : y % 2 * 255), 3.75},
        {"partial groups", BOTH(interlace), 23, 23, PAINT(y % 2 * 255), 6.25},
        {"no wrap into the next row", BOTH(interlace), 10, 8,
         PAINT(x >= 8 || x < 2 ? y % 2 * 255 : 100), 0.0},
        {"4 x 4 combed", BOTH(interlace), 4, 4, PAINT(y % 2 * 255), kInf},
        // Deviations: d = 2 -> 1.008, 4 -> 2.016, 6 -> 3.024, 7 -> 3.528, 10 -> 5.040.
        {"centre 0.4", BOTH(noise), 40, 8, blocks(5, {0, 0, 0, 2, 2}), 0.0},
        {"window [3, 4)", BOTH(noise), 40, 8, blocks(5, {6, 6, 6, 6, 7}),
         (4 * residual(6, 3) + residual(7, 3)) / 5},
        {"mode tie to the first", BOTH(noise), 16, 8, blocks(2, {10, 4}), residual(10, 5)},
        {"first 1000 in row order", BOTH(noise), 400, 240, blocks(50, rowMajor), residual(2, 1)},
        {"bins past 16 bits", BOTH(noise), 258 * 8, 256 * 8, blocks(258, wide), 0.0},
        // Per strip of 16 rows, the rate of rows repeated sideways over the
        // rate repeated downwards; -1 below 48 rows.
        {"47 rows", BOTH(slice), 1920, 47, PAINT(9), -1.0},
        {"rates 8/16 and 12/16", BOTH(slice), 45, 48, PAINT(y < 24 || (y >= 32 && y < 36) ? 0 : 1),
         2.0},
        {"a strip repeats nowhere", BOTH(slice), 32, 48, PAINT(y < 16 ? x : 100), 1.0},
        {"no strip repeats", BOTH(slice), 32, 48, PAINT(x + 17 * y), kNaN},
        // Brightest and darkest 8x8 block sums less than 4 x 64 apart.
        {"block means 10 and 14", BOTH(blackout), 16, 8, PAINT(x < 8 ? 10 : 14), 0.0},
        {"10 and 13.98", BOTH(blackout), 16, 8, PAINT(x < 8 ? 10 : 14 - (x == 9 && y == 3)), 1.0},
        {"the last block row", BOTH(blackout), 1920, 1080, PAINT(y < 1079 ? 0 : 255), 0.0},
        {"0, 0, 255, 255", BOTH(contrastRMS), 2, 2, PAINT(y * 255), std::sqrt(21675.0)},
        {"one sample", BOTH(contrastRMS), 1, 1, PAINT(9), kNaN},
        {"sums past 32 bits", BOTH(contrastRMS), 4096, 4096, PAINT(y < 3072 ? 255 : 0),
         std::sqrt(65025 * 0.1875 * 16777216 / 16777215)},
    };
    for (const auto& c : cases) {
        const Picture p(c.w, c.h, c.paint);
        expectValue(c.expected, c.fast(p.image), c.what);
        expectValue(c.expected, c.plain(p.image), std::string(c.what) + " (reference)");
    }
    // Rounding leaves some uniform pictures a variance just below zero: still 0, not NaN.
    for (const auto& [w, h] : {std::pair{352, 288}, {3, 7}, {1280, 720}})
        for (int v = 0; v < 256; ++v)
            ASSERT_EQ(contrastRMS(Picture(w, h, uint8_t(v)).image), 0.0) << w << " " << v;
}

TEST(TemporalActivity, HandComputed) {
    const Picture a(2, 2, {10, 20, 30, 40}), b(2, 2, {13, 16, 30, 40});  // sqrt((3^2 + 4^2) / 4)
    EXPECT_EQ(temporalActivity(a.image, b.image), 2.5);
    EXPECT_EQ(reference::temporalActivity(b.image, a.image), 2.5);
    EXPECT_EQ(temporalActivity(Picture(1920, 1080, 255).image, Picture(1920, 1080).image),
              255.0);  // past 32 bits
}

TEST(Freezing, FlagSequences) {
    // The flag rises once exact repeats last a tenth of a second, the
    // threshold formed in extended precision: the frozen frame that first
    // raises it at each rate.
    const double fps[] = {10, 12.5, 15, 23.976, 24, 25, 29.97, 30, 50, 59.94, 60, 100, 120};
    const int first[] = {2, 2, 2, 3, 3, 3, 3, 4, 6, 6, 7, 11, 13};
    for (size_t i = 0; i < std::size(fps); ++i) {
        TemporalState st = createTemporalState(16, 16);
        for (int frame = 1; frame <= first[i] + 2; ++frame)
            EXPECT_EQ(freezing(0.0, 0, fps[i], st), frame >= first[i])
                << fps[i] << " fps, " << frame;
        freeTemporalState(st);
    }
    const struct {
        double fps;
        std::vector<double> ta;
        std::vector<int32_t> blackout;
        std::vector<int> flags;
    } cases[] = {
        {10, {0, 0, 0, 0.5, 0, 0}, {0, 0, 0, 0, 0, 0}, {0, 1, 1, 0, 0, 1}},
        // A frozen black picture resets the count; only the low 8 bits of the flag count.
        {25, {0, 0, 0, 0, 0, 0, 0}, {0, 1, 1, 0, 256, 0, 0}, {0, 0, 0, 0, 0, 1, 1}},
        {10, {0, 0, kNaN, 0}, {0, 0, 0, 0}, {0, 1, 0, 0}},
        // A rate of 0 or less flags every frame; one that is not a number none.
        {0, {0, 3.0, kNaN, 0}, {0, 0, 0, 1}, {1, 1, 1, 1}},
        {-25, {1.0, 0}, {1, 0}, {1, 1}},
        {kNaN, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
    };
    for (const auto& c : cases) {
        TemporalState st = createTemporalState(16, 16);
        for (size_t i = 0; i < c.ta.size(); ++i)
            EXPECT_EQ(freezing(c.ta[i], c.blackout[i], c.fps, st), c.flags[i])
                << c.fps << " fps, call " << i + 1;
        freeTemporalState(st);
    }
}

TEST(Flickering, HandComputed) {
    // 16 calls; block (bx, by) changes by one sample on call `call` (from 1)
    // when `changed` says so; samples outside the block grid change on every
    // call and never count. Every eighth call rates the mean switch count of
    // the top k blocks (3 %, one fewer for multiples of 100) over 8; the
    // other calls give -1.
    using Changed = std::function<bool(int call, int bx, int by)>;
    const auto odd = [](int m, int bw) -> Changed {
        return [=](int call, int bx, int by) { return by * bw + bx < m && call % 2; };
    };
    const struct {
        const char* what;
        int w, h;
        Changed changed;
        double rating;
    } cases[] = {
        {"still", 69, 53, [](int, int, int) { return false; }, 0.0},
        {"changing everywhere", 64, 48, [](int, int, int) { return true; }, 0.125},
        {"switches on 1, 3, 5 and 6", 272, 8,
         [](int call, int bx, int) { return bx == 5 && 0x26 >> call % 8 & 1; }, 0.5},
        {"100 blocks: k = 2", 80, 80, odd(2, 10), 1.0},
        {"32400 blocks: k = 971", 1920, 1080, odd(971, 240), 1.0},
        {"32400 blocks: k > 970", 1920, 1080, odd(970, 240), 970.0 / 971},
        {"33 blocks: k = 0", 264, 8, odd(33, 33), kNaN},
    };
    for (const auto& c : cases)
        for (const auto fn : {&flickering, &reference::flickering}) {
            TemporalState st = createTemporalState(c.w, c.h);
            Picture prev(c.w, c.h, PAINT(texture(x, y)));
            for (int call = 1; call <= 16; ++call) {
                Picture cur = prev;
                for (int y = 0; y < c.h; ++y)
                    for (int x = 0; x < c.w; ++x)
                        if (x >= c.w / 8 * 8 || y >= c.h / 8 * 8)
                            cur.at(x, y) ^= 0x40;
                        else if (x % 8 == 3 && y % 8 == 5 && c.changed(call, x / 8, y / 8))
                            cur.at(x, y) ^= 1;
                expectValue(call % 8 ? -1.0 : c.rating, fn(cur.image, prev.image, st),
                            c.what + std::to_string(call));
                prev = cur;
            }
            freeTemporalState(st);
        }
}

TEST(Noise, DeviationBinsFromSpreadsForEveryReachableSpread) {
    // A block of 64 samples with sum s and sum of squares q has the spread
    // N = 64 q - s^2 (0 to 66,585,600). The block-deviation operation
    // computes sqrt((q - s^2 / 64) / 63), in which q - s^2 / 64 is exactly
    // N / 64; the integer bins must match its floor and rounding for every N,
    // on every vector target.
    constexpr uint32_t kLast = 64u * 32u * 255u * 255u - 32u * 255u * 32u * 255u;
    constexpr size_t kChunk = size_t{1} << 20;
    std::vector<uint32_t> spreads(kChunk);
    std::vector<uint16_t> doubled(kChunk);
    std::vector<uint8_t> wantFloors(kChunk), wantRounds(kChunk);
    const std::vector<std::string> targets = supportedSimdTargets();
    for (uint64_t first = 0; first <= kLast; first += kChunk) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, kLast + 1 - first));
        for (size_t i = 0; i < n; ++i) {
            spreads[i] = static_cast<uint32_t>(first + i);
            const double dev = std::sqrt((static_cast<double>(spreads[i]) / 64.0) / 63.0);
            wantFloors[i] = static_cast<uint8_t>(std::floor(dev));
            wantRounds[i] = static_cast<uint8_t>(std::round(dev));
        }
        for (const std::string& target : targets) {
            std::string error;
            ASSERT_TRUE(forceSimdTarget(target, error)) << error;
            noiseDoubledDeviations(spreads.data(), n, doubled.data());
            for (size_t i = 0; i < n; ++i) {
                ASSERT_EQ(doubled[i] >> 1, wantFloors[i]) << target << ", spread " << spreads[i];
                ASSERT_EQ((doubled[i] + 1) >> 1, wantRounds[i])
                    << target << ", spread " << spreads[i];
            }
        }
    }
    resetSimdTarget();
}
