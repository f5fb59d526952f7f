// Noise: residual of a Gaussian smoothing over the blocks whose local
// deviation lies at the frame's most common level.
//
// The 8x8 block deviations come from the block statistics (integer sums and
// sums of squares, blockStats.h); each block keeps only the floor and the rounding of its
// deviation, which integer comparisons on the block's spread decide exactly (no division or
// double-precision square root per block). The selected blocks are smoothed
// and measured straight from the picture, several blocks at once (one block
// per vector lane), without a container strip or filtered pictures, every
// lane in the same floating-point order as the plain composition.
#include "indicators/indicators.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/noise.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#ifndef LUMAQC_NOISE_SHARED
#define LUMAQC_NOISE_SHARED

namespace lumaqc::noise_detail {

constexpr int32_t NOISE_BLOCKSIZE = 8;
// Interior of a block: the samples the 3x3 smoothing fills.
constexpr int32_t HALF = GAUSSIAN_MASK_SIZE / 2;
constexpr int32_t INTERIOR = NOISE_BLOCKSIZE - 2 * HALF;

// The spread of a block of n = 64 samples, N = n * (sum of squares) - sum^2,
// an integer from 0 to 66,585,600 (half the samples 0, half 255). The
// deviation is sqrt((q - s^2 / 64) / 63); q - s^2 / 64 is exactly N / 64 in
// double precision (both terms are multiples of 1/64 below 2^22), so the
// deviation is sqrt(N / 4032) correctly rounded at each step, and its floor
// and rounding (half away from zero) follow from N alone:
//   floor k: the largest k with 4032 k^2 <= N;
//   rounding: k + 1 when 4 N >= 4032 (2k + 1)^2 (the deviation is at least
//   k + 1/2), else k.
// Both follow from J = floor(2 * deviation), the largest J with
// 1008 J^2 <= N (4032 / 4 = 1008): the floor is J / 2 and the rounding
// (J + 1) / 2, as 1008 (2k)^2 = 4032 k^2 and 1008 (2k + 1)^2 are the bounds
// above. No rounding of the double path can move it across these bounds:
// the nearest N on the other side of a bound is a whole unit away, far
// beyond a few units in the last place. A test checks every N in the range.
constexpr uint32_t SPREAD_SCALE = 64 * 63;              // 4032
constexpr uint32_t HALF_STEP_SCALE = SPREAD_SCALE / 4;  // 1008

// Floor and rounding of the deviation of a block of spread n.
inline void floorAndRound(uint32_t n, uint8_t& floorOut, uint8_t& roundOut) {
    uint32_t j = static_cast<uint32_t>(std::sqrt(static_cast<double>(n) / HALF_STEP_SCALE));
    while (HALF_STEP_SCALE * (j + 1) * (j + 1) <= n) ++j;
    while (HALF_STEP_SCALE * j * j > n) --j;
    floorOut = static_cast<uint8_t>(j >> 1);
    roundOut = static_cast<uint8_t>((j + 1) >> 1);
}

// Sample standard deviation of the smoothing residual over the interior of
// the 8x8 block whose top-left sample is `block` (rows `stride` apart), in
// the order of the plain composition: each smoothed value is the kernel's
// weighted sum, row by row, from 0; the residual sums run over the interior
// rows, left to right, from 0.
inline double residualDeviation(const uint8_t* block, size_t stride, const double* kernel) {
    constexpr int32_t K = GAUSSIAN_MASK_SIZE;
    double s = 0.0;
    double q = 0.0;
    for (int32_t y = HALF; y < NOISE_BLOCKSIZE - HALF; ++y) {
        for (int32_t x = HALF; x < NOISE_BLOCKSIZE - HALF; ++x) {
            const uint8_t* window = block + static_cast<size_t>(y - HALF) * stride + (x - HALF);
            double smoothed = 0.0;
            for (int32_t i = 0; i < K; ++i) {
                const uint8_t* row = window + static_cast<size_t>(i) * stride;
                const double* weights = kernel + i * K;
                for (int32_t j = 0; j < K; ++j) {
                    smoothed += static_cast<double>(row[j]) * weights[j];
                }
            }
            const double v =
                static_cast<double>(block[static_cast<size_t>(y) * stride + x]) - smoothed;
            s += v;
            q += v * v;
        }
    }
    const double m = static_cast<double>(INTERIOR * INTERIOR);
    return std::sqrt((q - s * s / m) / (m - 1.0));
}

}  // namespace lumaqc::noise_detail

#endif  // LUMAQC_NOISE_SHARED

HWY_BEFORE_NAMESPACE();
namespace lumaqc::noise_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;
using namespace noise_detail;

// Floor and rounding of the deviation of each of the n blocks whose spreads
// are given, as floorAndRound gives them: J from a single-precision square
// root (off by at most one), corrected by exact integer comparisons with
// one multiplication (1008 x is (x << 10) - (x << 4)).
// With kFromSums, `values` holds the blocks' sums, and each spread is
// 64 * squares - sum^2; otherwise it holds the spreads.
template <bool kFromSums>
HWY_INLINE void FloorsAndRoundsOf(const uint32_t* HWY_RESTRICT values,
                                  const uint32_t* HWY_RESTRICT squares, size_t n,
                                  uint8_t* HWY_RESTRICT floors, uint8_t* HWY_RESTRICT rounds) {
    size_t i = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<float> df;
    const hn::Rebind<int32_t, decltype(df)> di;
    const hn::Rebind<uint8_t, decltype(df)> d8;
    const size_t N = hn::Lanes(df);
    const auto inverse = hn::Set(df, 1.0f / static_cast<float>(HALF_STEP_SCALE));
    const auto one = hn::Set(di, 1);
    auto scaled = [](auto x) { return hn::Sub(hn::ShiftLeft<10>(x), hn::ShiftLeft<4>(x)); };
    for (; i + N <= n; i += N) {
        // Spreads are below 2^27: they fit a signed lane, and so does
        // 1008 (J + 1)^2 for J up to 258.
        const hn::Rebind<uint32_t, decltype(df)> du;
        auto loaded = hn::LoadU(du, values + i);
        if constexpr (kFromSums) {
            loaded = hn::Sub(hn::ShiftLeft<6>(hn::LoadU(du, squares + i)), hn::Mul(loaded, loaded));
        }
        const auto spread = hn::BitCast(di, loaded);
        const auto j = hn::ConvertTo(di, hn::Sqrt(hn::Mul(hn::ConvertTo(df, spread), inverse)));
        // Masks are -1 where true. When j is one too large, 1008 j^2 > N
        // (and then 1008 (j + 1)^2 > N as well); when it is one too small,
        // 1008 (j + 1)^2 <= N.
        const auto jNext = hn::Add(j, one);
        const auto square = hn::Mul(j, j);
        const auto nextSquare = hn::Add(square, hn::Add(j, jNext));
        const auto tooLarge = hn::VecFromMask(di, hn::Gt(scaled(square), spread));
        const auto notTooSmall = hn::VecFromMask(di, hn::Gt(scaled(nextSquare), spread));
        const auto exact = hn::Add(jNext, hn::Add(tooLarge, notTooSmall));
        hn::StoreU(hn::DemoteTo(d8, hn::ShiftRight<1>(exact)), d8, floors + i);
        hn::StoreU(hn::DemoteTo(d8, hn::ShiftRight<1>(hn::Add(exact, one))), d8, rounds + i);
    }
#endif
    for (; i < n; ++i) {
        const uint32_t spread = kFromSums ? (squares[i] << 6) - values[i] * values[i] : values[i];
        floorAndRound(spread, floors[i], rounds[i]);
    }
}

void FloorsAndRounds(const uint32_t* HWY_RESTRICT spreads, size_t n, uint8_t* HWY_RESTRICT floors,
                     uint8_t* HWY_RESTRICT rounds) {
    FloorsAndRoundsOf<false>(spreads, nullptr, n, floors, rounds);
}

// The same from the blocks' sums and sums of squares.
void FloorsAndRoundsFromSums(const uint32_t* HWY_RESTRICT sums,
                             const uint32_t* HWY_RESTRICT squares, size_t n,
                             uint8_t* HWY_RESTRICT floors, uint8_t* HWY_RESTRICT rounds) {
    FloorsAndRoundsOf<true>(sums, squares, n, floors, rounds);
}

// Residual deviations of the n blocks whose top-left samples lie at
// src + offsets[k]; out[k] receives block k's.
void ResidualDeviations(const uint8_t* HWY_RESTRICT src, size_t stride,
                        const size_t* HWY_RESTRICT offsets, int32_t n,
                        const double* HWY_RESTRICT kernel, double* HWY_RESTRICT out) {
#if HWY_TARGET == HWY_SCALAR
    for (int32_t k = 0; k < n; ++k) out[k] = residualDeviation(src + offsets[k], stride, kernel);
#else
    constexpr int32_t B = NOISE_BLOCKSIZE;
    constexpr int32_t K = GAUSSIAN_MASK_SIZE;
    const hn::ScalableTag<double> dd;
    const hn::Rebind<int32_t, decltype(dd)> di32;
    const hn::Rebind<uint8_t, decltype(dd)> du8;
    const int32_t D = static_cast<int32_t>(hn::Lanes(dd));
    constexpr int32_t kMaxLanes = HWY_MAX_BYTES / sizeof(double);
    // Samples of D blocks, transposed: sample p of the block in lane l at
    // [p * D + l], first as bytes, then as doubles.
    HWY_ALIGN uint8_t bytes[B * B * kMaxLanes];
    HWY_ALIGN double samples[B * B * kMaxLanes];
    HWY_ALIGN double devs[kMaxLanes];
    decltype(hn::Zero(dd)) weights[K * K];
    for (int32_t t = 0; t < K * K; ++t) weights[t] = hn::Set(dd, kernel[t]);
    const double m = static_cast<double>(INTERIOR * INTERIOR);
    const auto count = hn::Set(dd, m);
    const auto countLess1 = hn::Set(dd, m - 1.0);
    auto at = [&](int32_t y, int32_t x) { return hn::Load(dd, samples + (y * B + x) * D); };

    for (int32_t g = 0; g < n; g += D) {
        // Lanes past the last block repeat it; their results are dropped.
        for (int32_t l = 0; l < D; ++l) {
            const uint8_t* block = src + offsets[std::min(g + l, n - 1)];
            for (int32_t r = 0; r < B; ++r) {
                const uint8_t* row = block + static_cast<size_t>(r) * stride;
                for (int32_t c = 0; c < B; ++c) bytes[(r * B + c) * D + l] = row[c];
            }
        }
        for (int32_t p = 0; p < B * B; ++p) {
            hn::Store(hn::PromoteTo(dd, hn::PromoteTo(di32, hn::LoadU(du8, bytes + p * D))), dd,
                      samples + p * D);
        }
        auto s = hn::Zero(dd);
        auto q = hn::Zero(dd);
        for (int32_t y = HALF; y < B - HALF; ++y) {
            for (int32_t x = HALF; x < B - HALF; ++x) {
                auto smoothed = hn::Zero(dd);
                for (int32_t i = 0; i < K; ++i) {
                    for (int32_t j = 0; j < K; ++j) {
                        smoothed = hn::Add(
                            smoothed, hn::Mul(at(y - HALF + i, x - HALF + j), weights[i * K + j]));
                    }
                }
                const auto v = hn::Sub(at(y, x), smoothed);
                s = hn::Add(s, v);
                q = hn::Add(q, hn::Mul(v, v));
            }
        }
        hn::Store(hn::Sqrt(hn::Div(hn::Sub(q, hn::Div(hn::Mul(s, s), count)), countLess1)), dd,
                  devs);
        for (int32_t l = 0; l < D && g + l < n; ++l) out[g + l] = devs[l];
    }
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::noise_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace lumaqc {

namespace noise_simd {
HWY_EXPORT(FloorsAndRounds);
HWY_EXPORT(FloorsAndRoundsFromSums);
HWY_EXPORT(ResidualDeviations);
}  // namespace noise_simd

void noiseDeviationFloorsAndRounds(const uint32_t* spreads, size_t n, uint8_t* floors,
                                   uint8_t* rounds) {
    HWY_DYNAMIC_DISPATCH(noise_simd::FloorsAndRounds)(spreads, n, floors, rounds);
}

namespace {

using namespace noise_detail;

// Reused from frame to frame by each thread: the block statistics of the
// standalone function, the floor and the rounding of every block's
// deviation, the selected blocks and their residual deviations.
struct NoiseScratch {
    BlockStats stats;
    std::vector<uint8_t> floors;
    std::vector<uint8_t> rounds;
    std::vector<size_t> offsets;
    std::vector<double> residuals;
};

NoiseScratch& scratch() {
    thread_local NoiseScratch s;
    return s;
}

// The mode of the histogram of the rounded deviations `bins` (one per block,
// in storage order) as counting block by block finds it: the bin with the
// largest count, and among equal counts the bin that reached the count
// first. Fills hist.
int32_t histogramMode(const uint8_t* bins, size_t n, uint32_t* hist) {
    constexpr int32_t kLast = HISTOGRAM_ENTRIES - 2;  // bins above are kept in the last
    // Four partial histograms keep consecutive increments independent.
    uint32_t part[4][HISTOGRAM_ENTRIES] = {};
    size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        ++part[0][std::min<int32_t>(bins[k], kLast)];
        ++part[1][std::min<int32_t>(bins[k + 1], kLast)];
        ++part[2][std::min<int32_t>(bins[k + 2], kLast)];
        ++part[3][std::min<int32_t>(bins[k + 3], kLast)];
    }
    for (; k < n; ++k) ++part[0][std::min<int32_t>(bins[k], kLast)];
    uint32_t top = 0;
    int32_t mode = 0;
    int32_t ties = 0;
    for (int32_t i = 0; i < HISTOGRAM_ENTRIES; ++i) {
        hist[i] = part[0][i] + part[1][i] + part[2][i] + part[3][i];
        if (hist[i] > top) {
            top = hist[i];
            mode = i;
            ties = 1;
        } else if (hist[i] == top && top > 0) {
            ++ties;
        }
    }
    if (ties <= 1) return mode;
    // Several bins share the top count: the first to reach it wins.
    uint32_t running[HISTOGRAM_ENTRIES] = {};
    for (k = 0; k < n; ++k) {
        const int32_t i = std::min<int32_t>(bins[k], kLast);
        if (hist[i] == top && ++running[i] == top) return i;
    }
    return mode;
}

}  // namespace

double noise(const Image& img) {
    BlockStats& stats = scratch().stats;
    computeBlockStats(img, stats);
    return noise(img, stats);
}

double noise(const Image& img, const BlockStats& stats) {
    const int32_t B = NOISE_BLOCKSIZE;
    const int32_t W8 = stats.blocksX;
    const int32_t H8 = stats.blocksY;
    // No whole block: the centre is undefined and the frame counts as clean.
    if (W8 == 0 || H8 == 0) return 0.0;

    NoiseScratch& sc = scratch();
    const size_t nBlocks = static_cast<size_t>(W8) * static_cast<size_t>(H8);
    if (sc.floors.size() < nBlocks) {
        sc.floors.resize(nBlocks);
        sc.rounds.resize(nBlocks);
    }

    // 1-3. Sample standard deviation of every 8x8 block, the histogram of the
    // rounded deviations and its mode.
    HWY_DYNAMIC_DISPATCH(noise_simd::FloorsAndRoundsFromSums)
    (stats.sums.data(), stats.squares.data(), nBlocks, sc.floors.data(), sc.rounds.data());
    uint32_t hist[HISTOGRAM_ENTRIES];
    const int32_t mode = histogramMode(sc.rounds.data(), nBlocks, hist);

    // 4-6. Count-weighted centre of the mode bin and its two neighbours.
    const uint32_t m = mode == 0 ? 1u : static_cast<uint32_t>(mode);
    const uint32_t nBelow = hist[m - 1];
    const uint32_t nAt = hist[m];
    const uint32_t nAbove = hist[m + 1];
    const uint32_t numerator = (m - 1) * nBelow + m * nAt + (m + 1) * nAbove;
    const uint32_t denominator = nBelow + nAt + nAbove;
    const double centre = static_cast<double>(numerator) / static_cast<double>(denominator);
    const int32_t f = static_cast<int32_t>(std::floor(centre));
    const int32_t r = static_cast<int32_t>(std::round(centre));

    // 7. A centre below one half: a flat frame, nothing to measure.
    if (r == 0) return 0.0;

    // 10. Gaussian weights with sigma = r, deliberately not normalised to 1.
    const uint32_t r2 = static_cast<uint32_t>(r) * static_cast<uint32_t>(r);
    const double scale = 1.0 / (6.28 * r2);
    const double twoR2 = 2.0 * r2;
    double kernel[GAUSSIAN_MASK_SIZE * GAUSSIAN_MASK_SIZE];
    for (int32_t i = -HALF; i <= HALF; ++i) {
        for (int32_t j = -HALF; j <= HALF; ++j) {
            const double e = std::exp(-(i * i + j * j) / twoR2);
            kernel[(i + HALF) * GAUSSIAN_MASK_SIZE + (j + HALF)] = e * scale;
        }
    }

    // 8-9. The first MAX_CONTAINER_WIDTH blocks (in storage order) whose
    // deviation lies in the unit window around the centre.
    const bool byFloor = f == r;
    const uint8_t* key = byFloor ? sc.floors.data() : sc.rounds.data();
    const int32_t target = byFloor ? f : r;
    const size_t stride = static_cast<size_t>(img.w);
    sc.offsets.clear();
    for (size_t k = 0; k < nBlocks && sc.offsets.size() < MAX_CONTAINER_WIDTH; ++k) {
        if (key[k] != target) continue;
        const size_t by = k / static_cast<size_t>(W8);
        const size_t bx = k % static_cast<size_t>(W8);
        sc.offsets.push_back(by * B * stride + bx * B);
    }
    const int32_t n = static_cast<int32_t>(sc.offsets.size());

    // 11-15. Mean over the blocks of the residual deviation of each interior,
    // summed in block order; NaN when no block qualified.
    sc.residuals.resize(sc.offsets.size());
    HWY_DYNAMIC_DISPATCH(noise_simd::ResidualDeviations)
    (img.data, stride, sc.offsets.data(), n, kernel, sc.residuals.data());
    double total = 0.0;
    for (int32_t k = 0; k < n; ++k) total += sc.residuals[k];
    return total / n;
}

}  // namespace lumaqc

#endif  // HWY_ONCE
