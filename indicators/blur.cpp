// Blur: the mean width, in pixels, of the intensity ramps around the pixels
// where the horizontal change peaks strongly.
//
// No scratch picture. One pass over the rows sums the squared horizontal
// differences (which set the edge threshold) and, with vector compares on
// 8-bit differences, finds the edge pixels among the candidates: those
// whose step exceeds the edge step of the previous frame (carried in a
// BlurState). Each row gives bit masks of its steps of each sign and of its
// edge pixels; an edge pixel's ramp widths are then runs of bits, counted
// with bit scans. Neither the peak test nor the widths depend on the
// threshold, so edge pixels are counted by step and the steps above this
// frame's edge step are added up at the end; when this frame's edge step is
// the smaller, a second pass examines the steps in between. Every frame
// gets the same value whatever came before it.
//
// The ramp threshold is a 16x16 block's standard deviation / 1024. A
// deviation of 8-bit samples is below 128, so the threshold lies in [0, 1/8)
// and an integer difference exceeds it exactly when it is at least 1: a ramp
// is a run of steps of one sign, and the block deviations need not be
// computed.
#include "indicators/indicators.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/blur.cpp"
#include <hwy/cache_control.h>
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

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

// Steps into columns p, p+dir, p+2*dir ... up to the first of another sign,
// at most cap.
inline int32_t runOf(const uint8_t* cur, int32_t p, int32_t dir, int32_t cap, bool falling) {
    int32_t n = 0;
    while (n < cap && stepIs(cur, p + dir * n, falling)) ++n;
    return n;
}

// Peak test and ramp widths at (x, y), 1 <= x <= w-2, 1 <= y <= h-2: -1
// when the pixel is no peak, else the sum of its two ramp widths.
// Differences and energies of row 0 and column 0 are 0.
inline int32_t rampWidth(const uint8_t* src, int32_t w, int32_t x, int32_t y) {
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
    return runOf(cur, x + 1, 1, w - 2 - x, falling) + runOf(cur, x, -1, x - 1, falling);
}

inline void examine(const uint8_t* src, int32_t w, int32_t x, int32_t y, int32_t step, Buckets& b) {
    const int32_t width = rampWidth(src, w, x, y);
    if (width < 0) return;
    ++b.count[step];
    b.total[step] += width;
}

// What one pass looks at: the energy sum over rows 1 .. h-1 (when `energy`),
// and the candidates of rows yBegin .. yEnd-1 (within 1 .. h-2), columns
// 1 .. w-2, whose absolute step lies in (lo, hi]; hi is 255 in a pass with
// the energy sum. Once more than `budget` candidates (edge pixels, in the
// vector kernel) were seen, the rows after the current one are not examined;
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
                examine(src, w, x, y, step, b);
            }
        }
        if (candidates && seen > range.budget) stopRow = y + 1;
    }
    return total;
}

// Row masks: bit i of a row's mask stands for column i + 1 (the step
// cur[i + 1] - cur[i]), 64 columns to a word. A ramp walk stops at a set
// bit of its sign's stop mask (a step of the other sign or none).

// The clear bits from bit j upwards, up to the first set one.
inline int32_t clearUp(const uint64_t* m, int32_t j) {
    const uint64_t* p = m + (j >> 6);
    const int32_t s = j & 63;
    const uint64_t v = *p >> s;
    if (v != 0) return std::countr_zero(v);
    int32_t n = 64 - s;
    while (*++p == 0) n += 64;
    return n + std::countr_zero(*p);
}

// The clear bits from bit j downwards, down to the first set one.
inline int32_t clearDown(const uint64_t* m, int32_t j) {
    const uint64_t* p = m + (j >> 6);
    const int32_t s = j & 63;
    const uint64_t v = *p << (63 - s);
    if (v != 0) return std::countl_zero(v);
    int32_t n = s + 1;
    while (*--p == 0) n += 64;
    return n + std::countl_zero(*p);
}

// clearUp and clearDown from the 57 or more bits around bit j that one
// unaligned load brings, word by word only past them. The bits read below
// the mask's first word or past its last belong to the word before it or to
// its spare word; a walk stops at a set bit before it reaches them.
inline int32_t clearAbove(const uint64_t* m, int32_t j) {
    uint64_t v;
    std::memcpy(&v, reinterpret_cast<const uint8_t*>(m) + (j >> 3), 8);
    v >>= j & 7;
    return v != 0 ? std::countr_zero(v) : clearUp(m, j);
}

inline int32_t clearBelow(const uint64_t* m, int32_t j) {
    uint64_t v;
    std::memcpy(&v, reinterpret_cast<const uint8_t*>(m) + (j >> 3) - 7, 8);
    v <<= 7 - (j & 7);
    return v != 0 ? std::countl_zero(v) : clearDown(m, j);
}

}  // namespace lumaqc::blur_detail

#endif  // LUMAQC_BLUR_SHARED

HWY_BEFORE_NAMESPACE();
namespace lumaqc::blur_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;
using namespace blur_detail;

#if HWY_TARGET != HWY_SCALAR

using D8 = hn::ScalableTag<uint8_t>;
using V8 = hn::Vec<D8>;
using M8 = hn::Mask<D8>;

// a <= b, lane by lane.
HWY_INLINE M8 notAbove(V8 a, V8 b) {
    return hn::Eq(hn::SaturatedSub(a, b), hn::Zero(D8()));
}

HWY_INLINE V8 absDiff(V8 a, V8 b) {
    return hn::Or(hn::SaturatedSub(a, b), hn::SaturatedSub(b, a));
}

// One pass over the rows, as ScanRange describes. Each row is one run of
// vectors giving the sum of its squared horizontal differences, its stop
// masks and its mask of edge pixels (candidate and peak tests on 8-bit
// differences); then each edge pixel's ramp widths are the runs of clear
// bits of its sign's stop mask on either side.
class RowScan {
  public:
    RowScan(const uint8_t* src, int32_t w, const ScanRange& range)
        : src_(src),
          w_(w),
          loStep_(hn::Set(D8(), static_cast<uint8_t>(range.lo))),
          hiStep_(hn::Set(D8(), static_cast<uint8_t>(range.hi))),
          // Three masks and a spare word each for the last vector's store,
          // after a word that the first mask's ramp walks may read.
          words_(static_cast<size_t>(w >> 6) + 2),
          masks_(1 + 3 * words_, 0) {}

    int64_t energy = 0;

    // Row y: the energy sum when kEnergy; the edge pixels, counted into `b`,
    // when kCandidates (1 <= y <= h-2). Returns the edge pixels counted.
    template <bool kEnergy, bool kCandidates, bool kBand>
    int64_t row(int32_t y, Buckets& b) {
        const D8 d8;
        const int32_t N = static_cast<int32_t>(hn::Lanes(d8));
        const int32_t w = w_;
        const uint8_t* cur = src_ + static_cast<size_t>(y) * static_cast<size_t>(w);
        const V8 zero = hn::Zero(d8);
        const V8 loStep = loStep_;
        const V8 hiStep = hiStep_;
        const size_t apart = words_ * 8;
        uint8_t* const masks = reinterpret_cast<uint8_t*>(masks_.data() + 1);
        bool anyPeak = false;
        constexpr int32_t kPrefetchAhead = 512;

        // The N columns from p on: their absolute steps, and, when
        // kCandidates, their bits of the two stop masks and of the edge
        // pixels stored at `out`, `apart` bytes apart.
        auto columns = [&](const uint8_t* p, uint8_t* out, size_t apart) HWY_ATTR {
            const V8 a = hn::LoadU(d8, p);
            const V8 c = hn::LoadU(d8, p - 1);
            const V8 rise = hn::SaturatedSub(a, c);
            const V8 fall = hn::SaturatedSub(c, a);
            const V8 step = hn::Or(rise, fall);
            if (!kCandidates) return step;
            // The peak test reads the row below here and there: fetch it
            // ahead, as the loads of the row itself are.
            hwy::Prefetch(p + w + kPrefetchAhead);
            hn::StoreMaskBits(d8, hn::Eq(rise, zero), out);
            hn::StoreMaskBits(d8, hn::Eq(fall, zero), out + apart);
            M8 outside = hn::Eq(hn::SaturatedSub(step, loStep), zero);
            if (kBand) outside = hn::Or(outside, hn::Not(notAbove(step, hiStep)));
            if (hn::AllTrue(d8, outside)) return step;
            // Neighbouring steps: left (0 at column 1), right, and those of
            // the rows above (0 in row 1) and below; the vertical step.
            V8 left = absDiff(c, hn::LoadU(d8, p - 2));
            if (p == cur + 1) left = hn::IfThenZeroElse(hn::FirstN(d8, 1), left);
            const V8 right = absDiff(hn::LoadU(d8, p + 1), a);
            const V8 vertical = absDiff(a, hn::LoadU(d8, p - w));
            const V8 above = y > 1 ? absDiff(hn::LoadU(d8, p - w), hn::LoadU(d8, p - w - 1)) : zero;
            const V8 below = absDiff(hn::LoadU(d8, p + w), hn::LoadU(d8, p + w - 1));
            // Of a plateau of equal values only the last (rightmost or
            // lowest) is a peak.
            const M8 horizontalPeak = hn::And(
                hn::AndNot(notAbove(step, right), notAbove(left, step)), notAbove(vertical, step));
            const M8 verticalPeak = hn::AndNot(notAbove(step, below), notAbove(above, step));
            const M8 peak = hn::AndNot(outside, hn::Or(horizontalPeak, verticalPeak));
            hn::StoreMaskBits(d8, peak, out + 2 * apart);
            anyPeak = anyPeak || !hn::AllFalse(d8, peak);
            return step;
        };

        // Each vector adds at most 4 * 127^2 to a 32-bit lane of Sums (when
        // all steps are below 128), 2 * 255^2 to one of ExactSums.
        constexpr int32_t kFlushVectors = 4096;
        Sums sums;
        int64_t rowEnergy = 0;
        int32_t x = 1;
        // No edge pixel until one is found.
        if (kCandidates) std::memset(masks + 2 * apart, 0, apart);
        while (x + N <= w) {
            const int32_t vectors = std::min((w - x) / N, kFlushVectors);
            const uint8_t* p = cur + x;
            uint8_t* out = masks + (x - 1) / 8;
            for (const uint8_t* end = p + vectors * N; p != end; p += N, out += N / 8) {
                const V8 step = columns(p, out, apart);
                if (kEnergy) sums.add(step);
            }
            x += vectors * N;
            if (kEnergy) sums.addTo(rowEnergy);
        }
        // The last vector overlaps the one before; its lanes from column x
        // on are stored from column x's bit, which is a whole byte.
        if (x < w) {
            const int32_t skip = x - (w - N);
            HWY_ALIGN uint8_t spill[3 * 8] = {};
            const V8 step = columns(cur + w - N, spill, 8);
            if (kEnergy) {
                sums.add(hn::IfThenZeroElse(hn::FirstN(d8, skip), step));
                sums.addTo(rowEnergy);
            }
            if (kCandidates) {
                const uint64_t lanes = N >= 64 ? ~uint64_t{0} : (uint64_t{1} << N) - 1;
                for (int k = 0; k < 3; ++k) {
                    uint64_t bits = 0;
                    std::memcpy(&bits, spill + 8 * k, static_cast<size_t>(N / 8));
                    bits >>= skip;
                    if (k < 2) bits |= ~(lanes >> skip);  // stop past the row
                    std::memcpy(masks + (x - 1) / 8 + apart * k, &bits, 8);
                }
            }
        }
        if (kEnergy) energy += sums.exact() ? rowEnergy : exactRow(cur);
        if (!kCandidates || !anyPeak) return 0;
        return ramps(cur, b);
    }

  private:
    using D32 = hn::Repartition<int32_t, D8>;

    // Squared steps, summed in 32-bit lanes: the even and the odd bytes.
    // A widening multiply-add may leave part of its products in its second
    // accumulator (the portable target puts the odd 16-bit lanes' there), so
    // each sum has two and both are added up.
    struct ExactSums {
        ExactSums()
            : even{hn::Zero(D32()), hn::Zero(D32())}, odd{hn::Zero(D32()), hn::Zero(D32())} {}
        hn::Vec<D32> even[2];
        hn::Vec<D32> odd[2];
        void add(V8 step) {
            const hn::Repartition<uint16_t, D8> d16;
            const hn::Repartition<int16_t, D8> di16;
            const auto wide = hn::BitCast(d16, step);
            const auto lo8 = hn::BitCast(di16, hn::And(wide, hn::Set(d16, 0x00FF)));
            const auto hi8 = hn::BitCast(di16, hn::ShiftRight<8>(wide));
            even[0] = hn::ReorderWidenMulAccumulate(D32(), lo8, lo8, even[0], even[1]);
            odd[0] = hn::ReorderWidenMulAccumulate(D32(), hi8, hi8, odd[0], odd[1]);
        }
        bool exact() const { return true; }
        void addTo(int64_t& total) {
            for (hn::Vec<D32>* pair : {even, odd})
                for (int k = 0; k < 2; ++k) {
                    total += laneSum(pair[k]);
                    pair[k] = hn::Zero(D32());
                }
        }
    };

#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_SSE4
    // On x86, steps below 128 are squared and added in pairs by one
    // multiply-add of unsigned by signed bytes (at most 2 * 127^2 in a
    // 16-bit lane) and the pairs in pairs by a second one. That reads a step
    // of 128 or more as a negative factor: `big` gathers the steps, and a
    // row that has one is summed again exactly.
    struct Sums {
        Sums() : squares(hn::Zero(D32())), big(hn::Zero(D8())) {}
        hn::Vec<D32> squares;
        V8 big;
        void add(V8 step) {
            big = hn::Or(big, step);
#if HWY_TARGET == HWY_AVX3
            const __m512i pairs = _mm512_maddubs_epi16(step.raw, step.raw);
            squares =
                hn::Add(squares, hn::Vec<D32>{_mm512_madd_epi16(pairs, _mm512_set1_epi16(1))});
#elif HWY_TARGET == HWY_AVX2
            const __m256i pairs = _mm256_maddubs_epi16(step.raw, step.raw);
            squares =
                hn::Add(squares, hn::Vec<D32>{_mm256_madd_epi16(pairs, _mm256_set1_epi16(1))});
#else  // HWY_SSE4
            const __m128i pairs = _mm_maddubs_epi16(step.raw, step.raw);
            squares = hn::Add(squares, hn::Vec<D32>{_mm_madd_epi16(pairs, _mm_set1_epi16(1))});
#endif
        }
        bool exact() const {
            const hn::Repartition<int8_t, D8> di8;
            return hn::AllFalse(di8, hn::Lt(hn::BitCast(di8, big), hn::Zero(di8)));
        }
        void addTo(int64_t& total) {
            total += laneSum(squares);
            squares = hn::Zero(D32());
        }
    };
#else
    using Sums = ExactSums;
#endif

    static int64_t laneSum(hn::Vec<D32> v) {
        const D32 d32;
        HWY_ALIGN int32_t lanes[HWY_MAX_BYTES / sizeof(int32_t)];
        hn::Store(v, d32, lanes);
        int64_t total = 0;
        for (size_t i = 0; i < hn::Lanes(d32); ++i) total += lanes[i];
        return total;
    }

    // The energy sum of row `cur` with ExactSums.
    int64_t exactRow(const uint8_t* cur) const {
        const D8 d8;
        const int32_t N = static_cast<int32_t>(hn::Lanes(d8));
        ExactSums sums;
        int64_t total = 0;
        int32_t x = 1;
        for (int32_t vectors = 0; x + N <= w_; x += N) {
            sums.add(absDiff(hn::LoadU(d8, cur + x), hn::LoadU(d8, cur + x - 1)));
            if (++vectors == 4096) {
                sums.addTo(total);
                vectors = 0;
            }
        }
        if (x < w_) {
            const V8 step = absDiff(hn::LoadU(d8, cur + w_ - N), hn::LoadU(d8, cur + w_ - N - 1));
            sums.add(hn::IfThenZeroElse(hn::FirstN(d8, x - (w_ - N)), step));
        }
        sums.addTo(total);
        return total;
    }

    // The ramp widths of the edge pixels of the row whose masks are stored
    // (a call of its own, whose registers the vector loop does not crowd).
    HWY_NOINLINE int64_t ramps(const uint8_t* cur, Buckets& b) {
        uint64_t* stopRising = masks_.data() + 1;
        uint64_t* stopFalling = stopRising + words_;
        uint64_t* peaks = stopFalling + words_;
        // Column w-1 has no right neighbour: no edge pixel. The ramps reach
        // right up to column w-2 and left down to column 2.
        const int32_t last = w_ - 2;  // the bit of column w-1
        peaks[last >> 6] &= ~(uint64_t{1} << (last & 63));
        stopRising[last >> 6] |= uint64_t{1} << (last & 63);
        stopFalling[last >> 6] |= uint64_t{1} << (last & 63);
        stopRising[0] |= 1;
        stopFalling[0] |= 1;
        int64_t found = 0;
        for (int32_t k = 0; k <= (last >> 6); ++k) {
            for (uint64_t bits = peaks[k]; bits != 0; bits &= bits - 1) {
                const int32_t i = k * 64 + std::countr_zero(bits);
                const int32_t x = i + 1;
                const int32_t dx = static_cast<int32_t>(cur[x]) - static_cast<int32_t>(cur[x - 1]);
                // The ramp follows the edge's own sign; both signs are about
                // as frequent, so the mask is chosen without a branch.
                const size_t falling = static_cast<size_t>(dx < 0) | (cur[x + 1] < cur[x]);
                const uint64_t* m = stopRising + words_ * falling;
                const int32_t step = std::abs(dx);
                ++b.count[step];
                b.total[step] += clearAbove(m, i + 1) + clearBelow(m, i);
                ++found;
            }
        }
        return found;
    }

    const uint8_t* src_;
    int32_t w_;
    V8 loStep_;
    V8 hiStep_;
    size_t words_;
    std::vector<uint64_t> masks_;
};

#endif  // HWY_TARGET != HWY_SCALAR

int64_t Scan(const uint8_t* HWY_RESTRICT src, int32_t w, int32_t h, const ScanRange& range,
             Buckets& b, int32_t& stopRow) {
#if HWY_TARGET == HWY_SCALAR
    return scanPlain(src, w, h, range, b, stopRow);
#else
    if (w <= static_cast<int32_t>(hn::Lanes(D8()))) return scanPlain(src, w, h, range, b, stopRow);
    RowScan scan(src, w, range);
    int64_t seen = 0;
    const int32_t yEnd = std::min(range.yEnd, h - 1);
    stopRow = range.yEnd;
    for (int32_t y = range.energy ? 1 : range.yBegin; y < (range.energy ? h : yEnd); ++y) {
        const bool candidates = y >= range.yBegin && y < yEnd && y < stopRow;
        if (candidates) {
            seen += range.energy     ? scan.row<true, true, false>(y, b)
                    : range.hi < 255 ? scan.row<false, true, true>(y, b)
                                     : scan.row<false, true, false>(y, b);
            if (seen > range.budget) stopRow = y + 1;
        } else if (range.energy) {
            scan.row<true, false, false>(y, b);
        }
    }
    return scan.energy;
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
