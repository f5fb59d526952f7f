// The fast flickering against its reference composition: the same result of
// every call and the same carried state, over sequences of frames, with every
// vector target.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "identity_pictures.h"
#include "indicators/indicators.h"
#include "reference/reference.h"

using namespace lumaqc;

namespace {

// A sequence of frames in which each 8x8 block either stands still, changes
// by a single sample step, or changes strongly, with its own rhythm, so that
// blocks switch between still and changing at different rates.
std::vector<std::vector<uint8_t>> flickeringSequence(int32_t w, int32_t h, int frames,
                                                     uint32_t seed) {
    const IdentityPicture base = makeIdentityPicture(w, h, IdentityContent::NoisyGradient, seed);
    std::mt19937 rng(seed + 17);
    const int32_t bw = (w + 7) / 8;
    const int32_t bh = (h + 7) / 8;
    std::vector<uint32_t> rhythm(static_cast<size_t>(bw) * bh);
    for (auto& r : rhythm) r = rng() % 6;  // 0: still; else changes every r-th frame
    std::vector<std::vector<uint8_t>> out;
    std::vector<uint8_t> frame = base.samples;
    for (int t = 0; t < frames; ++t) {
        for (int32_t by = 0; by < bh; ++by)
            for (int32_t bx = 0; bx < bw; ++bx) {
                const uint32_t r = rhythm[static_cast<size_t>(by) * bw + bx];
                if (r == 0 || t % static_cast<int>(r) != 0) continue;
                const bool strong = (bx + by + t) % 3 == 0;
                const int32_t x0 = bx * 8 + static_cast<int32_t>(rng() % 8);
                const int32_t y0 = by * 8 + static_cast<int32_t>(rng() % 8);
                for (int32_t y = by * 8; y < std::min(h, by * 8 + 8); ++y)
                    for (int32_t x = bx * 8; x < std::min(w, bx * 8 + 8); ++x) {
                        uint8_t& s = frame[static_cast<size_t>(y) * w + x];
                        if (strong)
                            s = static_cast<uint8_t>(255 - s);
                        else if (x == x0 && y == y0)
                            s = static_cast<uint8_t>(s ^ 1);
                    }
            }
        out.push_back(frame);
    }
    return out;
}

void expectSameState(const TemporalState& a, const TemporalState& b, const std::string& where) {
    EXPECT_EQ(a.freezingTemp, b.freezingTemp) << where;
    EXPECT_EQ(a.frameCount, b.frameCount) << where;
    ASSERT_EQ(a.switchCounters.w, b.switchCounters.w) << where;
    ASSERT_EQ(a.switchCounters.h, b.switchCounters.h) << where;
    const size_t n = static_cast<size_t>(a.switchCounters.w) * a.switchCounters.h;
    if (n == 0) return;
    EXPECT_EQ(std::memcmp(a.switchCounters.data, b.switchCounters.data, n), 0) << where;
    EXPECT_EQ(std::memcmp(a.changeStates.data, b.changeStates.data, n), 0) << where;
}

}  // namespace

TEST(FlickeringIdentity, SequencesMatchReferenceCallByCall) {
    // Sizes from no whole block to several hundred blocks; 10x10 blocks give
    // a top count of 2 (0.03 * 100 rounds down), 35 blocks a count of 1.
    const std::vector<std::pair<int32_t, int32_t>> sizes = {
        {1, 1},   {7, 9},    {8, 8},     {17, 15},   {80, 80}, {56, 40},
        {81, 87}, {100, 37}, {203, 177}, {352, 288}, {520, 64}};
    forEachSimdTarget([&](const std::string& target) {
        uint32_t seed = 0;
        for (const auto& [w, h] : sizes) {
            const auto frames = flickeringSequence(w, h, 27, ++seed);
            TemporalState fast = createTemporalState(w, h);
            TemporalState ref = createTemporalState(w, h);
            for (size_t t = 1; t < frames.size(); ++t) {
                const Image cur{w, h, const_cast<uint8_t*>(frames[t].data())};
                const Image prev{w, h, const_cast<uint8_t*>(frames[t - 1].data())};
                const std::string where = target + " " + std::to_string(w) + "x" +
                                          std::to_string(h) + " frame " + std::to_string(t);
                EXPECT_EQ(doubleBits(flickering(cur, prev, fast)),
                          doubleBits(reference::flickering(cur, prev, ref)))
                    << where;
                expectSameState(fast, ref, where);
            }
            freeTemporalState(fast);
            freeTemporalState(ref);
        }
    });
}

// Counters that wrap past 255 within a period: every block switches on every
// call (changing, then still), starting from counters near the wrap.
TEST(FlickeringIdentity, CountersThatWrapMatchReference) {
    const int32_t w = 96;
    const int32_t h = 72;
    std::vector<uint8_t> still(static_cast<size_t>(w) * h, 100);
    std::vector<uint8_t> moved = still;
    for (size_t i = 0; i < moved.size(); i += 3) moved[i] = 101;
    forEachSimdTarget([&](const std::string& target) {
        TemporalState fast = createTemporalState(w, h);
        TemporalState ref = createTemporalState(w, h);
        const size_t n = static_cast<size_t>(fast.switchCounters.w) * fast.switchCounters.h;
        for (size_t i = 0; i < n; ++i) {
            fast.switchCounters.data[i] = static_cast<uint8_t>(240 + i % 16);
            ref.switchCounters.data[i] = static_cast<uint8_t>(240 + i % 16);
        }
        for (int t = 0; t < 24; ++t) {
            const Image cur{w, h, (t % 2 == 0 ? moved : still).data()};
            const Image prev{w, h, still.data()};
            EXPECT_EQ(doubleBits(flickering(cur, prev, fast)),
                      doubleBits(reference::flickering(cur, prev, ref)))
                << target << " frame " << t;
            expectSameState(fast, ref, target + " frame " + std::to_string(t));
        }
        freeTemporalState(fast);
        freeTemporalState(ref);
    });
}
