// Temporal activity, freezing and flickering, with their per-analysis state.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "indicators/indicators.h"
#include "reference/reference.h"

using namespace lumaqc;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

Image wrap(std::vector<uint8_t>& v, int32_t w, int32_t h) {
    return makeImage(w, h, v.data());
}

// Owns a TemporalState for the duration of a test.
struct State {
    TemporalState s;
    State(int32_t w, int32_t h) : s(createTemporalState(w, h)) {}
    ~State() { freeTemporalState(s); }
};

TEST(TemporalState, ReducedPicturesAreZeroedBlockGrids) {
    const int32_t cases[][4] = {
        {1920, 1080, 240, 135}, {276, 12, 34, 1}, {7, 7, 0, 0}, {0, 0, 0, 0}, {15, 16, 1, 2}};
    for (const auto& c : cases) {
        State st(c[0], c[1]);
        EXPECT_EQ(st.s.freezingTemp, 0);
        EXPECT_EQ(st.s.frameCount, 0);
        EXPECT_EQ(st.s.switchCounters.w, c[2]);
        EXPECT_EQ(st.s.switchCounters.h, c[3]);
        EXPECT_EQ(st.s.changeStates.w, c[2]);
        EXPECT_EQ(st.s.changeStates.h, c[3]);
        for (int32_t i = 0; i < c[2] * c[3]; ++i) {
            ASSERT_EQ(st.s.switchCounters.data[i], 0);
            ASSERT_EQ(st.s.changeStates.data[i], 0);
        }
    }
}

TEST(TemporalActivity, RootMeanSquareDifference) {
    std::vector<uint8_t> a(16 * 9), b(16 * 9);
    for (size_t i = 0; i < a.size(); ++i) {
        a[i] = static_cast<uint8_t>(i * 7);
        b[i] = static_cast<uint8_t>(a[i] == 255 ? 254 : a[i] + 1);
    }
    EXPECT_EQ(temporalActivity(wrap(a, 16, 9), wrap(a, 16, 9)), 0.0);
    EXPECT_EQ(temporalActivity(wrap(a, 16, 9), wrap(b, 16, 9)), 1.0);
    std::vector<uint8_t> c = {10, 20, 30, 40}, d = {13, 16, 30, 40};
    EXPECT_EQ(temporalActivity(wrap(c, 2, 2), wrap(d, 2, 2)), 2.5);
    // Empty pictures: 0 / 0.
    EXPECT_TRUE(std::isnan(temporalActivity(wrap(c, 0, 0), wrap(d, 0, 0))));
}

TEST(Freezing, FirstFlagDependsOnExtendedPrecisionThreshold) {
    // Frame rate, and the frozen frame on which the flag first becomes 1.
    const struct {
        double fps;
        int32_t first;
    } cases[] = {{10, 2}, {12.5, 2}, {15, 2},    {23.976, 3}, {24, 3},   {25, 3},  {29.97, 3},
                 {30, 4}, {50, 6},   {59.94, 6}, {60, 7},     {100, 11}, {120, 13}};
    for (const auto& c : cases) {
        State st(16, 16);
        for (int32_t frame = 1; frame <= c.first + 5; ++frame) {
            const uint8_t expected = frame >= c.first ? 1 : 0;
            ASSERT_EQ(freezing(0.0, 0, c.fps, st.s), expected)
                << c.fps << " fps, frozen frame " << frame;
        }
    }
}

TEST(Freezing, FlagSequences) {
    const struct {
        double fps;
        std::vector<double> ta;
        std::vector<int32_t> blackout;
        std::vector<uint8_t> flags;
    } cases[] = {
        {25, {0, 0, 0, 0, 7.1, 0}, {0, 0, 0, 0, 0, 0}, {0, 0, 1, 1, 0, 0}},
        {30, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 1}},
        {10, {0, 0, 0, 0.5, 0, 0}, {0, 0, 0, 0, 0, 0}, {0, 1, 1, 0, 0, 1}},
        // A frozen black screen resets the count for as long as it lasts.
        {25, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 1, 1, 1, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 1}},
        // Only the low 8 bits of the blackout flag matter.
        {25, {0, 0, 0}, {256, 256, 256}, {0, 0, 1}},
        // A temporal activity that is not a number is not a frozen frame.
        {10, {0, 0, kNaN, 0}, {0, 0, 0, 0}, {0, 1, 0, 0}},
        // Frame rates of 0 or below raise the flag on every call, frozen or not.
        {0, {0, 3.0, kNaN, 0}, {0, 0, 0, 1}, {1, 1, 1, 1}},
        {-25, {1.0, 0}, {1, 0}, {1, 1}},
        // A frame rate that is not a number never raises it.
        {kNaN, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
    };
    for (const auto& c : cases) {
        State st(16, 16);
        for (size_t i = 0; i < c.ta.size(); ++i) {
            EXPECT_EQ(freezing(c.ta[i], c.blackout[i], c.fps, st.s), c.flags[i])
                << c.fps << " fps, call " << i + 1;
        }
    }
}

// A w x h pair of pictures for flickering: `previous` is all 0, and `changed`
// differs from it by 1 in one sample of each chosen block.
struct FlickerClip {
    int32_t w, h;
    std::vector<uint8_t> still, changed;
    FlickerClip(int32_t w_, int32_t h_)
        : w(w_), h(h_), still(static_cast<size_t>(w_) * h_ + 1), changed(still) {}
    void markBlock(int32_t bx, int32_t by) {
        changed[static_cast<size_t>(by * 8 + 3) * w + bx * 8 + 5] = 1;
    }
    double call(TemporalState& s, bool change) {
        return flickering(makeImage(w, h, change ? changed.data() : still.data()),
                          makeImage(w, h, still.data()), s);
    }
};

// Runs one period; `change(c)` tells whether call c (1 to 8) changes.
template <typename F>
double period(FlickerClip& clip, TemporalState& s, F change) {
    for (int32_t c = 1; c < framePeriod; ++c) {
        const double r = clip.call(s, change(c));
        EXPECT_EQ(r, -1.0) << "call " << c;
    }
    return clip.call(s, change(framePeriod));
}

TEST(Flickering, StillVideoRatesZeroEveryEighthCall) {
    FlickerClip clip(64, 48);
    State st(64, 48);
    for (int32_t p = 0; p < 3; ++p)
        EXPECT_EQ(period(clip, st.s, [](int32_t) { return false; }), 0.0);
}

TEST(Flickering, ChangingEverywhereSwitchesOncePerPeriod) {
    // 400 blocks, k = 11. States are cleared at the end of each period, so the
    // first call of the next period switches every block again.
    FlickerClip clip(160, 160);
    for (auto& v : clip.changed) v = 9;
    State st(160, 160);
    for (int32_t p = 0; p < 3; ++p)
        EXPECT_EQ(period(clip, st.s, [](int32_t) { return true; }), 0.125);
}

TEST(Flickering, AlternatingBlocksSwitchOnEveryCall) {
    FlickerClip clip(64, 48);
    for (int32_t bx = 0; bx < 8; ++bx) clip.markBlock(bx, 2);
    State st(64, 48);
    EXPECT_EQ(period(clip, st.s, [](int32_t c) { return c % 2 == 1; }), 1.0);
    // Starting still, the first switch comes on call 2: 7 switches.
    EXPECT_EQ(period(clip, st.s, [](int32_t c) { return c % 2 == 0; }), 7.0 / 8.0);
}

TEST(Flickering, SwitchCounterFollowsStateMachine) {
    // 34 blocks, k = 1. Block 5 changes on calls 1, 2 and 5: it switches on
    // calls 1 (to changing), 3 (still), 5 (changing) and 6 (still).
    FlickerClip clip(272, 8);
    clip.markBlock(5, 0);
    State st(272, 8);
    const auto change = [](int32_t c) { return c == 1 || c == 2 || c == 5; };
    for (int32_t c = 1; c < framePeriod; ++c) ASSERT_EQ(clip.call(st.s, change(c)), -1.0);
    EXPECT_EQ(st.s.switchCounters.data[5], 4);
    EXPECT_EQ(st.s.changeStates.data[5], 0);
    EXPECT_EQ(st.s.frameCount, 7);
    EXPECT_EQ(clip.call(st.s, change(framePeriod)), 0.5);
    EXPECT_EQ(st.s.frameCount, 0);
    for (int32_t i = 0; i < 34; ++i) {
        EXPECT_EQ(st.s.switchCounters.data[i], 0);
        EXPECT_EQ(st.s.changeStates.data[i], 0);
    }
}

TEST(Flickering, TopBlockCountUsesExtendedPrecision) {
    // Block grid, and k: 3 % of the blocks rounded down, one fewer for
    // multiples of 100. With m alternating blocks (8 switches each) the
    // rating is min(m, k) / k, so m = k and m = k - 1 pin k down.
    const struct {
        int32_t bw, bh, k;
    } cases[] = {{34, 1, 1}, {10, 10, 2}, {44, 36, 47}, {160, 90, 431}, {240, 135, 971}};
    for (const auto& c : cases) {
        for (const int32_t m : {c.k, c.k - 1}) {
            FlickerClip clip(c.bw * 8, c.bh * 8);
            const int32_t n = c.bw * c.bh;
            for (int32_t j = 0; j < m; ++j) clip.markBlock((n - 1 - j) % c.bw, (n - 1 - j) / c.bw);
            State st(clip.w, clip.h);
            const double expected =
                static_cast<double>(m * framePeriod) / static_cast<double>(c.k * framePeriod);
            EXPECT_EQ(period(clip, st.s, [](int32_t cl) { return cl % 2 == 1; }), expected)
                << n << " blocks, " << m << " alternating";
        }
    }
}

TEST(Flickering, TooFewBlocksGiveNotANumber) {
    // 33 and 30 blocks (k = 0), and pictures without a whole block.
    const int32_t sizes[][2] = {{264, 8}, {40, 48}, {7, 7}, {100, 7}, {0, 0}};
    for (const auto& s : sizes) {
        FlickerClip clip(s[0], s[1]);
        for (auto& v : clip.changed) v = 1;
        State st(s[0], s[1]);
        for (int32_t p = 0; p < 2; ++p) {
            EXPECT_TRUE(std::isnan(period(clip, st.s, [](int32_t c) { return c % 2 == 1; })))
                << s[0] << "x" << s[1];
        }
    }
}

TEST(Flickering, SamplesOutsideWholeBlocksAreIgnored) {
    // 276 x 12: 34 x 1 blocks; only the 4 right columns and 4 bottom rows change.
    FlickerClip clip(276, 12);
    for (int32_t y = 0; y < 12; ++y)
        for (int32_t x = 0; x < 276; ++x)
            if (x >= 272 || y >= 8) clip.changed[static_cast<size_t>(y) * 276 + x] = 200;
    State st(276, 12);
    EXPECT_EQ(period(clip, st.s, [](int32_t c) { return c % 2 == 1; }), 0.0);
}

TEST(TemporalState, AnalysesDoNotShareCounts) {
    FlickerClip clip(272, 8);
    clip.markBlock(0, 0);
    State a(272, 8), b(272, 8);
    for (int32_t c = 1; c < framePeriod; ++c) {
        ASSERT_EQ(clip.call(a.s, c % 2 == 1), -1.0);
        ASSERT_EQ(freezing(0.0, 0, 25, a.s), c >= 3 ? 1 : 0);
    }
    // A fresh analysis starts its own period and its own frozen-frame count.
    EXPECT_EQ(clip.call(b.s, true), -1.0);
    EXPECT_EQ(freezing(0.0, 0, 25, b.s), 0);
    EXPECT_EQ(b.s.switchCounters.data[0], 1);
    EXPECT_EQ(clip.call(a.s, false), 1.0);
    EXPECT_EQ(freezing(0.0, 0, 25, a.s), 1);
}

TEST(CalculateFlickering, ChangeLevelAndThreeWayRule) {
    // 2 x 2 blocks, threshold 0.5; a 7 x 5 picture gives a 3 x 2 grid (the
    // last column and row are ignored).
    std::vector<uint8_t> prev(7 * 5, 100), cur = prev;
    const auto set = [&](int32_t x, int32_t y, int v) { cur[static_cast<size_t>(y) * 7 + x] = v; };
    set(0, 0, 101);  // block 0: sum 2 -> level 0.5, meets the threshold
    set(1, 1, 99);
    set(2, 0, 101);  // block 1: sum 1 -> level 0.25, neither rule applies
    set(5, 3, 0);    // block 5: sum 100 -> level 25
    set(6, 0, 0);    // ignored column
    set(0, 4, 0);    // ignored row
    std::vector<uint8_t> counters = {0, 0, 0, 0, 255, 0}, states = {0, 1, 0, 1, 1, 1};
    std::vector<double> levels(6, 0.0);
    Image c = makeImage(3, 2, counters.data()), s = makeImage(3, 2, states.data());
    ImageDouble l = makeImageDouble(3, 2, levels.data());
    calculateFlickering(makeImage(7, 5, cur.data()), makeImage(7, 5, prev.data()), c, s, l, 2, 0.5);
    EXPECT_EQ(levels, (std::vector<double>{0.5, 0.25, 0.0, 0.0, 0.0, 25.0}));
    // Block 0 becomes changing; block 1 keeps its state at level 0.25;
    // blocks 3 and 4 become still (block 4's counter wraps); block 5 stays
    // changing.
    EXPECT_EQ(states, (std::vector<uint8_t>{1, 1, 0, 0, 0, 1}));
    EXPECT_EQ(counters, (std::vector<uint8_t>{1, 0, 0, 1, 0, 0}));
}

}  // namespace
