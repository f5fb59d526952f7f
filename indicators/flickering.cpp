// Flickering: how often blocks switch between changing and standing still.
//
// Each call updates the per-block switch counters and change states kept in
// the caller's TemporalState. Every framePeriod calls the indicator reports
// the mean switch count per call of the 3 % most switching blocks and starts
// a new period with all blocks still; the other calls report -1.0.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "indicators/indicators.h"

// Read once, although the vector kernels below make the compiler pass over
// this file once per instruction set.
#ifndef LUMAQC_FLICKERING_CONSTANTS
#define LUMAQC_FLICKERING_CONSTANTS

namespace lumaqc {
namespace {

// Mean absolute difference per sample at which a still block becomes changing.
constexpr double CHANGE_THRESHOLD = 0.0111;
// Fraction of the blocks, the most switching ones, that the rating averages.
constexpr double TOP_FRACTION = 0.03;

// The smallest sum of absolute differences over a block whose mean per
// sample, sum / 64 (exact in double precision), reaches CHANGE_THRESHOLD;
// the mean is 0 exactly when the sum is.
constexpr uint64_t minChangingSum() {
    uint64_t sum = 0;
    while (static_cast<double>(sum) / static_cast<double>(BLOCKSIZE * BLOCKSIZE) < CHANGE_THRESHOLD)
        ++sum;
    return sum;
}
constexpr uint64_t CHANGING_SUM = minChangingSum();

// The vector update compares sums clamped to 8 bits.
static_assert(CHANGING_SUM >= 1 && CHANGING_SUM <= 255);

}  // namespace
}  // namespace lumaqc

#endif  // LUMAQC_FLICKERING_CONSTANTS

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/flickering.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumaqc::flickering_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// One block: a still block (0) whose sum of absolute differences reaches
// CHANGING_SUM starts changing, a changing one (1) whose sum is 0 comes to
// rest; either counts as a switch. Other states are left alone.
inline void updateBlock(uint64_t sum, uint8_t& changing, uint8_t& counter) {
    const uint8_t was = changing;
    const bool starts = sum >= CHANGING_SUM && was == 0;
    const bool rests = sum == 0 && was == 1;
    changing = starts ? 1 : rests ? 0 : was;
    counter = static_cast<uint8_t>(counter + (starts || rests ? 1 : 0));
}

// Updates the change states and switch counters of one row of 8x8 blocks
// from the sums of absolute differences of the two pictures over each block.
// Sums above 255 are clamped before the update, which tests them against 0
// and CHANGING_SUM only.
void UpdateBlockRow(const uint8_t* cur, const uint8_t* prev, std::ptrdiff_t stride, int32_t blocks,
                    uint8_t* changing, uint8_t* counters) {
    int32_t b = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint64_t, decltype(d8)> d64;
    const hn::Rebind<uint8_t, decltype(d64)> dBlocks;  // one byte per block
    const int32_t perVector = static_cast<int32_t>(hn::Lanes(d64));
    const auto clampAt = hn::Set(d64, 255);
    const auto zero = hn::Zero(dBlocks);
    const auto one = hn::Set(dBlocks, 1);
    const auto belowChanging = hn::Set(dBlocks, static_cast<uint8_t>(CHANGING_SUM - 1));
    for (; b + perVector <= blocks; b += perVector) {
        const std::ptrdiff_t x = static_cast<std::ptrdiff_t>(b) * 8;
        auto acc = hn::Zero(d64);
        for (int32_t r = 0; r < 8; ++r) {
            const auto va = hn::LoadU(d8, cur + x + r * stride);
            const auto vb = hn::LoadU(d8, prev + x + r * stride);
            acc = hn::Add(acc,
                          hn::SumsOf8(hn::Or(hn::SaturatedSub(va, vb), hn::SaturatedSub(vb, va))));
        }
        const auto sums = hn::TruncateTo(dBlocks, hn::Min(acc, clampAt));
        const auto was = hn::LoadU(dBlocks, changing + b);
        const auto starts = hn::And(hn::Gt(sums, belowChanging), hn::Eq(was, zero));
        const auto rests = hn::And(hn::Eq(sums, zero), hn::Eq(was, one));
        hn::StoreU(hn::IfThenElse(starts, one, hn::IfThenElse(rests, zero, was)), dBlocks,
                   changing + b);
        const auto switched = hn::IfThenElseZero(hn::Or(starts, rests), one);
        hn::StoreU(hn::Add(hn::LoadU(dBlocks, counters + b), switched), dBlocks, counters + b);
    }
#endif
    for (; b < blocks; ++b) {
        const std::ptrdiff_t x = static_cast<std::ptrdiff_t>(b) * 8;
        uint64_t sum = 0;
        for (int32_t r = 0; r < 8; ++r)
            for (int32_t i = 0; i < 8; ++i) {
                const std::ptrdiff_t o = x + r * stride + i;
                sum += static_cast<uint64_t>(std::abs(static_cast<int32_t>(cur[o]) - prev[o]));
            }
        updateBlock(sum, changing[b], counters[b]);
    }
}

// The update of UpdateBlockRow for n blocks from their clamped sums.
void UpdateFromChanges(const uint8_t* changes, size_t n, uint8_t* changing, uint8_t* counters) {
    size_t b = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d8;
    const size_t N = hn::Lanes(d8);
    const auto zero = hn::Zero(d8);
    const auto one = hn::Set(d8, 1);
    const auto belowChanging = hn::Set(d8, static_cast<uint8_t>(CHANGING_SUM - 1));
    for (; b + N <= n; b += N) {
        const auto sums = hn::LoadU(d8, changes + b);
        const auto was = hn::LoadU(d8, changing + b);
        const auto starts = hn::And(hn::Gt(sums, belowChanging), hn::Eq(was, zero));
        const auto rests = hn::And(hn::Eq(sums, zero), hn::Eq(was, one));
        hn::StoreU(hn::IfThenElse(starts, one, hn::IfThenElse(rests, zero, was)), d8, changing + b);
        const auto switched = hn::IfThenElseZero(hn::Or(starts, rests), one);
        hn::StoreU(hn::Add(hn::LoadU(d8, counters + b), switched), d8, counters + b);
    }
#endif
    for (; b < n; ++b) updateBlock(changes[b], changing[b], counters[b]);
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::flickering_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace lumaqc {

namespace flickering_simd {
HWY_EXPORT(UpdateBlockRow);
HWY_EXPORT(UpdateFromChanges);
}  // namespace flickering_simd

namespace {

// The end of every call: counts it and, at the end of a period, rates the
// period and starts the next one.
double endOfCall(TemporalState& state) {
    Image& counters = state.switchCounters;
    Image& states = state.changeStates;
    state.frameCount = state.frameCount + 1;
    if (state.frameCount != framePeriod) return -1.0;

    const uint32_t n = static_cast<uint32_t>(counters.w) * static_cast<uint32_t>(counters.h);
    // The product keeps the full 64-bit significand: the binary64 value of
    // 0.03 lies just below 3/100, so a block count that is a multiple of 100
    // yields one block fewer than 3 % (971 of 32,400).
    const auto k =
        static_cast<uint32_t>(static_cast<long double>(n) * static_cast<long double>(TOP_FRACTION));
    // The sum of the k largest counters, from a histogram of their values:
    // the same sum as over the first k of the counters sorted largest first.
    // Four partial histograms keep runs of equal counters from waiting on
    // one another.
    uint32_t partial[4][256] = {};
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (uint32_t j = 0; j < 4; ++j) ++partial[j][counters.data[i + j]];
    for (; i < n; ++i) ++partial[0][counters.data[i]];
    uint32_t histogram[256];
    for (uint32_t v = 0; v < 256; ++v)
        histogram[v] = partial[0][v] + partial[1][v] + partial[2][v] + partial[3][v];
    uint32_t sum = 0;
    uint32_t remaining = k;
    for (int32_t v = 255; v >= 0 && remaining > 0; --v) {
        const uint32_t take = histogram[v] < remaining ? histogram[v] : remaining;
        sum += take * static_cast<uint32_t>(v);
        remaining -= take;
    }

    state.frameCount = 0;
    // With no top block (fewer than 34 blocks) this is 0 / 0, not a number.
    const double result =
        static_cast<double>(sum) / static_cast<double>(k * static_cast<uint32_t>(framePeriod));

    if (n > 0) {
        std::memset(counters.data, 0, n);
        std::memset(states.data, 0, n);
    }
    return result;
}

}  // namespace

size_t flickeringBlocks(int32_t w, int32_t h) {
    const size_t bw = w <= 0 ? 0 : static_cast<size_t>(w / BLOCKSIZE);
    const size_t bh = h <= 0 ? 0 : static_cast<size_t>(h / BLOCKSIZE);
    return bw * bh;
}

double flickeringUpdate(const uint8_t* changes, TemporalState& state) {
    Image& counters = state.switchCounters;
    Image& states = state.changeStates;
    LUMAQC_CHECK(states.w == counters.w && states.h == counters.h);
    const size_t n = static_cast<size_t>(counters.w) * static_cast<size_t>(counters.h);
    if (n > 0) {
        HWY_DYNAMIC_DISPATCH(flickering_simd::UpdateFromChanges)
        (changes, n, states.data, counters.data);
    }
    return endOfCall(state);
}

double flickering(const Image& current, const Image& previous, TemporalState& state) {
    const int32_t bw = current.w <= 0 ? 0 : static_cast<int32_t>(current.w / BLOCKSIZE);
    const int32_t bh = current.h <= 0 ? 0 : static_cast<int32_t>(current.h / BLOCKSIZE);
    Image& counters = state.switchCounters;
    Image& states = state.changeStates;
    LUMAQC_CHECK(previous.w == current.w && previous.h == current.h);
    LUMAQC_CHECK(states.w == counters.w && states.h == counters.h);
    LUMAQC_CHECK(bw == counters.w && bh == counters.h);

    // Block sums of absolute differences one block row at a time, each block
    // updated at once: no picture of change levels is kept.
    const std::ptrdiff_t stride = current.w;
    for (int32_t by = 0; by < bh && bw > 0; ++by) {
        const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(by) * BLOCKSIZE * stride;
        const std::ptrdiff_t blockRow = static_cast<std::ptrdiff_t>(by) * bw;
        HWY_DYNAMIC_DISPATCH(flickering_simd::UpdateBlockRow)
        (current.data + row, previous.data + row, stride, bw, states.data + blockRow,
         counters.data + blockRow);
    }

    return endOfCall(state);
}

}  // namespace lumaqc

#endif  // HWY_ONCE
