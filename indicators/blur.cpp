// Blur: the mean width, in pixels, of the intensity ramps around the pixels
// where the horizontal change peaks strongly.
//
// No scratch picture. One pass over the rows sums the squared horizontal
// differences (which set the edge threshold) and, with vector compares on
// 8-bit differences, flags the candidate pixels: those whose step exceeds
// the edge step of the previous frame (carried in a BlurState). Each candidate
// gets the peak test, and its ramp widths are run lengths of steps of one
// sign, counted 16 to 64 steps at a time from vector compares. Neither
// depends on the threshold, so edge pixels are counted by step and the
// steps above this frame's edge step are added up at the end; when this
// frame's edge step is the smaller, a second pass examines the steps in
// between. Every frame gets the same value whatever came before it.
//
// The ramp threshold is a 16x16 block's standard deviation / 1024. A
// deviation of 8-bit samples is below 128, so the threshold lies in [0, 1/8)
// and an integer difference exceeds it exactly when it is at least 1: a ramp
// is a run of steps of one sign, and the block deviations need not be
// computed.
#include "indicators/indicators.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/blur.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#ifndef LUMAQC_BLUR_SHARED
#define LUMAQC_BLUR_SHARED

namespace lumaqc::blur_detail {

// An edge pixel's squared change must exceed this multiple of the frame's mean
// squared horizontal difference.
constexpr double EDGE_FACTOR = 16.0;

// Edge pixels and the sum of their ramp widths, by the absolute horizontal
// step of the pixel (0 .. 255). The peak test and the ramp widths do not
// depend on the edge threshold, which only decides the steps counted.
struct Buckets {
    int64_t count[256] = {};
    int64_t total[256] = {};
};

// Whether the step into column k (cur[k] - cur[k - 1]) has the given sign.
inline bool stepIs(const uint8_t* cur, int32_t k, bool falling) {
    return falling ? cur[k] < cur[k - 1] : cur[k] > cur[k - 1];
}

// Run lengths of steps of one sign, one step at a time.
struct PlainRuns {
    // Steps into columns p, p+1, ... up to the first of another sign, at most cap.
    int32_t up(const uint8_t* cur, int32_t p, int32_t cap, bool falling) const {
        int32_t n = 0;
        while (n < cap && stepIs(cur, p + n, falling)) ++n;
        return n;
    }
    // Steps into columns p, p-1, ... down to the first of another sign, at most cap.
    int32_t down(const uint8_t* cur, int32_t p, int32_t cap, bool falling) const {
        int32_t n = 0;
        while (n < cap && stepIs(cur, p - n, falling)) ++n;
        return n;
    }
};

// Peak test and ramp widths at (x, y), 1 <= x <= w-2, 1 <= y <= h-2: -1
// when the pixel is no peak, else the sum of its two ramp widths.
// Differences and energies of row 0 and column 0 are 0.
template <class Runs>
inline int32_t rampWidth(const uint8_t* src, int32_t w, int32_t x, int32_t y, const Runs& runs) {
    const uint8_t* cur = src + static_cast<size_t>(y) * static_cast<size_t>(w);
    const uint8_t* up = cur - w;
    const uint8_t* down = cur + w;
    const int32_t dx = static_cast<int32_t>(cur[x]) - static_cast<int32_t>(cur[x - 1]);
    const int32_t v = dx * dx;
    const int32_t left =
        x > 1 ? static_cast<int32_t>(cur[x - 1]) - static_cast<int32_t>(cur[x - 2]) : 0;
    const int32_t right = static_cast<int32_t>(cur[x + 1]) - static_cast<int32_t>(cur[x]);
    const int32_t dy = static_cast<int32_t>(cur[x]) - static_cast<int32_t>(up[x]);
    // Of a plateau of equal values only the last (rightmost or lowest) is a peak.
    const bool horizontalPeak =
        left * left <= v && v > right * right && std::abs(dx) >= std::abs(dy);
    if (!horizontalPeak) {
        const int32_t upDx =
            y > 1 ? static_cast<int32_t>(up[x]) - static_cast<int32_t>(up[x - 1]) : 0;
        const int32_t downDx = static_cast<int32_t>(down[x]) - static_cast<int32_t>(down[x - 1]);
        const bool verticalPeak = upDx * upDx <= v && v > downDx * downDx;
        if (!verticalPeak) return -1;
    }
    // The ramp follows the edge's own sign: a falling edge is walked on the
    // falling steps. It reaches right up to column w-2 and left down to
    // column 2.
    const bool falling = dx < 0 || right < 0;
    return runs.up(cur, x + 1, w - 2 - x, falling) + runs.down(cur, x, x - 1, falling);
}

template <class Runs>
inline void examine(const uint8_t* src, int32_t w, int32_t x, int32_t y, int32_t step,
                    const Runs& runs, Buckets& b) {
    const int32_t width = rampWidth(src, w, x, y, runs);
    if (width < 0) return;
    ++b.count[step];
    b.total[step] += width;
}

// What one pass looks at: the energy sum over rows 1 .. h-1 (when `energy`),
// and the candidates of rows yBegin .. yEnd-1 (within 1 .. h-2), columns
// 1 .. w-2, whose absolute step lies in (lo, hi]. Once more than `budget`
// candidates were seen, the rows after the current one are not examined;
// `stopRow` receives the first row not examined (yEnd when all were).
struct ScanRange {
    bool energy;
    int32_t yBegin;
    int32_t yEnd;
    int32_t lo;
    int32_t hi;
    int64_t budget;
};

// The kernel below, plainly.
inline int64_t scanPlain(const uint8_t* src, int32_t w, int32_t h, const ScanRange& range,
                         Buckets& b, int32_t& stopRow) {
    int64_t total = 0;
    int64_t seen = 0;
    const int32_t yEnd = std::min(range.yEnd, h - 1);
    stopRow = range.yEnd;
    for (int32_t y = range.energy ? 1 : range.yBegin; y < (range.energy ? h : yEnd); ++y) {
        const uint8_t* cur = src + static_cast<size_t>(y) * static_cast<size_t>(w);
        const bool candidates = y >= range.yBegin && y < yEnd && y < stopRow;
        for (int32_t x = 1; x < w; ++x) {
            const int32_t d = static_cast<int32_t>(cur[x]) - static_cast<int32_t>(cur[x - 1]);
            if (range.energy) total += d * d;
            const int32_t step = std::abs(d);
            if (candidates && x < w - 1 && step > range.lo && step <= range.hi) {
                ++seen;
                examine(src, w, x, y, step, PlainRuns{}, b);
            }
        }
        if (candidates && seen > range.budget) stopRow = y + 1;
    }
    return total;
}

}  // namespace lumaqc::blur_detail

#endif  // LUMAQC_BLUR_SHARED

HWY_BEFORE_NAMESPACE();
namespace lumaqc::blur_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;
using namespace blur_detail;

// Run lengths of steps of one sign, up to a vector of steps at a time.
struct VectorRuns {
    int32_t w;

    static uint64_t bitsOf(decltype(hn::FirstN(hn::ScalableTag<uint8_t>(), 0)) m) {
        uint64_t bits = 0;
        hn::StoreMaskBits(hn::ScalableTag<uint8_t>(), m, reinterpret_cast<uint8_t*>(&bits));
        return bits;
    }
    // Bit i: the step into column q + i has the sign.
    static uint64_t stepsFrom(const uint8_t* cur, int32_t q, bool falling) {
        const hn::ScalableTag<uint8_t> d8;
        const auto a = hn::LoadU(d8, cur + q);
        const auto b = hn::LoadU(d8, cur + q - 1);
        return bitsOf(falling ? hn::Lt(a, b) : hn::Gt(a, b));
    }
    int32_t up(const uint8_t* cur, int32_t p, int32_t cap, bool falling) const {
        const int32_t N = static_cast<int32_t>(hn::Lanes(hn::ScalableTag<uint8_t>()));
        int32_t n = 0;
        while (n < cap) {
            const int32_t q = p + n;
            if (q + N > w) return n + PlainRuns{}.up(cur, q, cap - n, falling);
            const int ones = std::countr_one(stepsFrom(cur, q, falling));
            n += ones;
            if (ones < N) break;
        }
        return std::min(n, cap);
    }
    int32_t down(const uint8_t* cur, int32_t p, int32_t cap, bool falling) const {
        const int32_t N = static_cast<int32_t>(hn::Lanes(hn::ScalableTag<uint8_t>()));
        int32_t n = 0;
        while (n < cap) {
            const int32_t q = p - n;  // steps into q - N + 1 .. q, the last in bit N - 1
            if (q - N < 0) return n + PlainRuns{}.down(cur, q, cap - n, falling);
            const int ones = std::countl_one(stepsFrom(cur, q - N + 1, falling) << (64 - N));
            n += ones;
            if (ones < N) break;
        }
        return std::min(n, cap);
    }
};

// One pass over the rows, as ScanRange describes: the sum of the squared
// horizontal differences and the edge pixels among the candidates, found by
// vector compares, into `b`.
int64_t Scan(const uint8_t* HWY_RESTRICT src, int32_t w, int32_t h, const ScanRange& range,
             Buckets& b, int32_t& stopRow) {
#if HWY_TARGET == HWY_SCALAR
    return scanPlain(src, w, h, range, b, stopRow);
#else
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint16_t, decltype(d8)> d16;
    const hn::Repartition<int16_t, decltype(d8)> di16;
    const hn::Repartition<int32_t, decltype(d8)> d32;
    const int32_t N = static_cast<int32_t>(hn::Lanes(d8));
    if (w <= N) return scanPlain(src, w, h, range, b, stopRow);
    const bool energy = range.energy;
    const auto lowByte = hn::Set(d16, 0x00FF);
    const auto loStep = hn::Set(d8, static_cast<uint8_t>(range.lo));
    const auto hiStep = hn::Set(d8, static_cast<uint8_t>(range.hi));
    const VectorRuns runs{w};
    // Each vector adds at most 2 * 255^2 to a 32-bit lane.
    constexpr int32_t kFlushSteps = 4096;
    HWY_ALIGN int32_t lanes[HWY_MAX_BYTES / sizeof(int32_t)];
    int64_t total = 0;
    int64_t seen = 0;
    const int32_t yEnd = std::min(range.yEnd, h - 1);
    stopRow = range.yEnd;
    for (int32_t y = energy ? 1 : range.yBegin; y < (energy ? h : yEnd); ++y) {
        const uint8_t* cur = src + static_cast<size_t>(y) * static_cast<size_t>(w);
        const bool candidates = y >= range.yBegin && y < yEnd && y < stopRow;
        auto acc0 = hn::Zero(d32);
        auto acc1 = hn::Zero(d32);
        auto flush = [&]() {
            hn::Store(hn::RearrangeToOddPlusEven(acc0, acc1), d32, lanes);
            for (size_t i = 0; i < hn::Lanes(d32); ++i) total += lanes[i];
            acc0 = hn::Zero(d32);
            acc1 = hn::Zero(d32);
        };
        // Columns x .. x+N-1, of which the first `skip` were done before.
        auto columns = [&](int32_t x, int32_t skip) {
            const auto a = hn::LoadU(d8, cur + x);
            const auto c = hn::LoadU(d8, cur + x - 1);
            auto step = hn::Or(hn::SaturatedSub(a, c), hn::SaturatedSub(c, a));
            if (skip > 0) step = hn::IfThenElseZero(hn::Not(hn::FirstN(d8, skip)), step);
            if (energy) {
                const auto wide = hn::BitCast(d16, step);
                const auto lo8 = hn::BitCast(di16, hn::And(wide, lowByte));
                const auto hi8 = hn::BitCast(di16, hn::ShiftRight<8>(wide));
                acc0 = hn::ReorderWidenMulAccumulate(d32, lo8, lo8, acc0, acc1);
                acc0 = hn::ReorderWidenMulAccumulate(d32, hi8, hi8, acc0, acc1);
            }
            if (!candidates) return;
            const auto m = hn::AndNot(hn::Gt(step, hiStep), hn::Gt(step, loStep));
            if (hn::AllFalse(d8, m)) return;
            uint64_t bits = VectorRuns::bitsOf(m);
            // Column w-1 has no right neighbour: no candidate.
            if (x + N > w - 1) bits &= ~(uint64_t{1} << (w - 1 - x));
            seen += std::popcount(bits);
            HWY_ALIGN uint8_t steps[HWY_MAX_BYTES];
            hn::Store(step, d8, steps);
            while (bits != 0) {
                const int i = std::countr_zero(bits);
                examine(src, w, x + i, y, steps[i], runs, b);
                bits &= bits - 1;
            }
        };
        int32_t x = 1;
        int32_t vectors = 0;
        for (; x + N <= w; x += N) {
            columns(x, 0);
            if (++vectors == kFlushSteps) {
                flush();
                vectors = 0;
            }
        }
        // The last vector overlaps the one before.
        if (x < w) columns(w - N, x - (w - N));
        if (energy) flush();
        if (candidates && seen > range.budget) stopRow = y + 1;
    }
    return total;
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::blur_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace lumaqc {

namespace blur_simd {
HWY_EXPORT(Scan);
}  // namespace blur_simd

namespace {

using namespace blur_detail;

// Candidates the first pass examines at most: a guess far below the frame's
// edge step (after a cut from a flat or blurred scene) would make nearly
// every pixel a candidate; beyond this many, the rest of the rows wait for
// the second pass, which knows the edge step.
int64_t candidateBudget(int32_t w, int32_t h) {
    return static_cast<int64_t>(w) * static_cast<int64_t>(h) / 64;
}

}  // namespace

double blur(const Image& src) {
    BlurState noHint;
    return blur(src, noHint);
}

double blur(const Image& src, BlurState& state) {
    int32_t& previousStep = state.previousStep;
    const int32_t W = src.w;
    const int32_t H = src.h;
    // Candidates need a pixel on every side.
    if (W < 3 || H < 3) return 0.0;

    // One pass: the energy sum and, when the step of the previous frame is
    // known, the edge pixels whose step exceeds it.
    const int32_t guess = previousStep;
    previousStep = -1;
    Buckets b;
    int32_t stopRow = 1;
    const ScanRange first{
        true, 1, guess < 0 ? 1 : H - 1, guess < 0 ? 255 : guess, 255, candidateBudget(W, H)};
    const int64_t scanned =
        HWY_DYNAMIC_DISPATCH(blur_simd::Scan)(src.data, W, H, first, b, stopRow);
    // The energy sum as a 32-bit sample count sees it: a picture of 2^31
    // samples or more counts no samples at all.
    const uint32_t area = static_cast<uint32_t>(W) * static_cast<uint32_t>(H);
    const int64_t energySum = area > static_cast<uint32_t>(INT32_MAX) ? 0 : scanned;
    const double edgeThreshold = static_cast<double>(energySum) /
                                 (static_cast<double>(W) * static_cast<double>(H)) * EDGE_FACTOR;
    // A squared 8-bit difference exceeds the threshold exactly when it
    // exceeds the threshold's integer part L, i.e. when the absolute
    // difference exceeds the largest s with s * s <= L.
    const double floorThreshold = std::floor(edgeThreshold);
    if (!(floorThreshold < 255.0 * 255.0)) return 0.0;  // no edge pixel
    const int32_t limit = static_cast<int32_t>(floorThreshold);
    int32_t minStep = static_cast<int32_t>(std::sqrt(static_cast<double>(limit)));
    while (minStep * minStep > limit) --minStep;
    while ((minStep + 1) * (minStep + 1) <= limit) ++minStep;
    previousStep = minStep;

    // What the first pass left: in the rows it examined, the steps between
    // this frame's edge step and the guess; the rows after it, whole.
    int32_t unused = 0;
    if (stopRow > 1 && minStep < first.lo) {
        const ScanRange band{false, 1, stopRow, minStep, first.lo, INT64_MAX};
        HWY_DYNAMIC_DISPATCH(blur_simd::Scan)(src.data, W, H, band, b, unused);
    }
    if (stopRow < H - 1) {
        const ScanRange rest{false, stopRow, H - 1, minStep, 255, INT64_MAX};
        HWY_DYNAMIC_DISPATCH(blur_simd::Scan)(src.data, W, H, rest, b, unused);
    }
    int64_t count = 0;
    int64_t total = 0;
    for (int32_t step = minStep + 1; step < 256; ++step) {
        count += b.count[step];
        total += b.total[step];
    }
    return total == 0 ? 0.0 : static_cast<double>(total) / static_cast<double>(count);
}

double blurToMOS(double blurValue) {
    const double z = 2.87 - 1.5 * blurValue;
    const double ez = std::exp(z);
    const double p = std::pow(ez / (ez + 1.0), 0.14);
    const double score = 5.0 * p;
    // A value that is not a number fails the comparison and gives 0.
    return score > 0.0 ? score : 0.0;
}

}  // namespace lumaqc

#endif  // HWY_ONCE
