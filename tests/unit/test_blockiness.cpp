// Blockiness: edge sharpness of the 8x8 grid against the texture inside.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "indicators/indicators.h"
#include "reference/reference.h"

using namespace lumaqc;

namespace {

struct Picture {
    std::vector<uint8_t> samples;
    Image img;
};

// A w x h picture with samples f(x, y).
Picture picture(int32_t w, int32_t h, const std::function<uint8_t(int32_t, int32_t)>& f) {
    Picture p;
    p.samples.resize(static_cast<size_t>(w) * h + 1);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) p.samples[static_cast<size_t>(y) * w + x] = f(x, y);
    p.img = makeImage(w, h, p.samples.data());
    return p;
}

TEST(Blockiness, NoDifferenceOrNoEdgeGivesOne) {
    // Uniform pictures of many sizes, and noisy pictures too small to have an
    // edge (fewer than 16 samples in both directions).
    const int32_t sizes[][2] = {{0, 0}, {1, 1}, {8, 8}, {15, 15}, {16, 16}, {64, 48}, {37, 29}};
    for (const auto& s : sizes) {
        Picture flat = picture(s[0], s[1], [](int32_t, int32_t) { return uint8_t{77}; });
        EXPECT_EQ(blockiness(flat.img), 1.0) << s[0] << "x" << s[1];
    }
    for (const auto& s : {std::pair{15, 15}, std::pair{7, 3}, std::pair{1, 1}}) {
        Picture noisy = picture(s.first, s.second, [](int32_t x, int32_t y) {
            return static_cast<uint8_t>((x * 97 + y * 31) * 13);
        });
        EXPECT_EQ(blockiness(noisy.img), 1.0) << s.first << "x" << s.second;
    }
}

TEST(Blockiness, ChangesOnlyAcrossOrOnlyInsideEdges) {
    // Constant inside every block, different from block to block: Inner = 0.
    Picture blocks = picture(64, 48, [](int32_t x, int32_t y) {
        return static_cast<uint8_t>((x / 8) * 20 + (y / 8) * 7);
    });
    EXPECT_EQ(blockiness(blocks.img), 0.0);
    // First and last row and column of every block 200, the rest 50: the two
    // samples on either side of each edge are equal, while the last two rows
    // (columns) before it differ: Across = 0.
    Picture inside = picture(64, 48, [](int32_t x, int32_t y) {
        const bool last = x % 8 == 7 || y % 8 == 7;
        const bool first = x % 8 == 0 || y % 8 == 0;
        return static_cast<uint8_t>(last || first ? 200 : 50);
    });
    EXPECT_EQ(blockiness(inside.img), std::numeric_limits<double>::infinity());
}

// Columns: 10 at x = 7, 50 from x = 16 on, 0 elsewhere. The edge at 8 has
// inner 10 and across 10 per row; an edge at 16 adds across 50 per row.
uint8_t columnPattern(int32_t x) {
    return x == 7 ? 10 : (x >= 16 ? 50 : 0);
}

TEST(Blockiness, EdgeCountsOnlyWithAWholeBlockAfterIt) {
    // Running sums after edge 8: in 10, across 10; after edge 16: in 10,
    // across 60. Two edges: totals 20 / 70; one edge: 10 / 10.
    const struct {
        int32_t size;
        double expected;
    } cases[] = {{24, 2.0 / 7.0}, {31, 2.0 / 7.0}, {23, 1.0}, {20, 1.0}, {16, 1.0}};
    for (const auto& c : cases) {
        // Vertical edges only (fewer than 16 rows), then the transposed picture
        // with horizontal edges only.
        Picture v = picture(c.size, 5, [](int32_t x, int32_t) { return columnPattern(x); });
        EXPECT_EQ(blockiness(v.img), c.expected) << "width " << c.size;
        Picture h = picture(5, c.size, [](int32_t, int32_t y) { return columnPattern(y); });
        EXPECT_EQ(blockiness(h.img), c.expected) << "height " << c.size;
    }
}

TEST(Blockiness, EarlierEdgesWeighMore) {
    // 8 x 24: edges at rows 8 and 16, none vertical. Edge 8: inner 80,
    // across 0 (rows 6, 7, 8 = 0, 10, 10); edge 16: inner 0, across 80
    // (rows 14, 15, 16 = 0, 0, 10). Running sums give 2 * 80 / 80.
    Picture p = picture(8, 24, [](int32_t, int32_t y) {
        return static_cast<uint8_t>(y == 7 || y == 8 || y == 16 ? 10 : 0);
    });
    EXPECT_EQ(blockiness(p.img), 2.0);
}

TEST(Blockiness, FullHdTotalsDoNotWrap) {
    // Per column within a block: offset 6 = 128, offset 7 = 255, else 0. Each
    // of the 239 vertical edges adds 127 inner and 255 across per row; the
    // weighted totals (1080 * 255 * 239 * 240 / 2 across) pass 2^32.
    Picture p = picture(1920, 1080, [](int32_t x, int32_t) {
        const int32_t o = x % 8;
        return static_cast<uint8_t>(o == 7 ? 255 : (o == 6 ? 128 : 0));
    });
    const uint64_t weight = 1080ULL * 239 * 240 / 2;
    ASSERT_GT(255 * weight, 0xFFFFFFFFULL);
    EXPECT_EQ(blockiness(p.img),
              static_cast<double>(127 * weight) / static_cast<double>(255 * weight));
    EXPECT_EQ(blockiness(p.img), 127.0 / 255.0);
}

TEST(BlockToMOS, LinearAboveZero) {
    EXPECT_NEAR(blockToMOS(1.0), 3.74, 1e-12);
    EXPECT_EQ(blockToMOS(1.0), (17.86 - 10.38) * 0.5);
    EXPECT_EQ(blockToMOS(0.5), 0.0);
    EXPECT_EQ(blockToMOS(0.0), 0.0);
    EXPECT_EQ(blockToMOS(std::nan("")), 0.0);
    EXPECT_EQ(blockToMOS(std::numeric_limits<double>::infinity()),
              std::numeric_limits<double>::infinity());
}

}  // namespace
