// Noise: residual of a Gaussian smoothing over the blocks whose local
// deviation lies at the frame's most common level.
//
// The 8x8 block deviations come from the block statistics (integer sums and
// sums of squares, blockStats.h); each block keeps only twice its deviation,
// floored, which holds both its floor and its rounding and which integer
// comparisons on the block's spread decide exactly (no division or
// double-precision square root per block). The histogram counts those, and
// the selected blocks are found among them a vector at a time. The selected
// blocks are smoothed and measured straight from the picture, several
// blocks at once (one block per vector lane), without a container strip or
// filtered pictures, every lane in the same floating-point order as the
// plain composition.
#include "indicators/indicators.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/noise.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

// J = floor(2 * deviation) of a block of spread n: its floor is J / 2, its
// rounding (J + 1) / 2. Spreads stay within 66,585,600, so J <= 257 and the
// rounding <= 129, the last histogram bin (1008 * 258^2 exceeds the range).
constexpr int32_t kLastDoubled = 257;
inline uint32_t doubledDeviation(uint32_t n) {
    uint32_t j = static_cast<uint32_t>(std::sqrt(static_cast<double>(n) / HALF_STEP_SCALE));
    while (HALF_STEP_SCALE * (j + 1) * (j + 1) <= n) ++j;
    while (HALF_STEP_SCALE * j * j > n) --j;
    return j;
}

// The histogram of J (bins J = 2k - 1 and 2k make rounding k), counted in
// eight partial tables so that consecutive increments stay independent.
constexpr int32_t kDoubledBins = 2 * (HISTOGRAM_ENTRIES - 2) + 1;
static_assert(kLastDoubled < kDoubledBins);
constexpr size_t kParts = 8;

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

// J = floor(2 * deviation) of each of the n blocks whose spreads are given,
// as doubledDeviation gives it. An estimate of the square root, within 0.45
// of it (the reciprocal square root instructions are good to 2^-11 at
// least, the portable one to 0.2 %, and the root is at most 257), rounded
// to the nearest integer, is within one of J; exact integer comparisons with
// one multiplication (1008 x is (x << 10) - (x << 4)) correct it. A test
// checks every spread on every target.
// With kFromSums, `values` holds the blocks' sums, and each spread is
// 64 * squares - sum^2; otherwise it holds the spreads. With `counts`
// (kParts tables of kDoubledBins), each J is also counted there, block i in
// table i % kParts: the increments go to the load and store ports while
// the next vector's arithmetic goes to the vector ones.
template <bool kFromSums>
HWY_INLINE void DoubledOf(const uint32_t* HWY_RESTRICT values, const uint32_t* HWY_RESTRICT squares,
                          size_t n, uint16_t* HWY_RESTRICT doubled, uint32_t* HWY_RESTRICT counts) {
    size_t i = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<float> df;
    const hn::Rebind<int32_t, decltype(df)> di;
    const hn::Rebind<uint32_t, decltype(df)> du;
    const hn::Rebind<uint16_t, decltype(df)> d16;
    const hn::Repartition<int16_t, decltype(di)> di16;
    const size_t N = hn::Lanes(df);
    const auto inverse = hn::Set(df, 1.0f / static_cast<float>(HALF_STEP_SCALE));
    const auto oneF = hn::Set(df, 1.0f);
    // Adding 2^23 rounds a float from 0 to 2^22 to an integer, which its
    // low mantissa bits then hold.
    const auto shift = hn::Set(df, 8388608.0f);
    const auto shiftBits = hn::BitCast(di, shift);
    const auto one = hn::Set(di, 1);
    auto scaled = [](auto x) { return hn::Sub(hn::ShiftLeft<10>(x), hn::ShiftLeft<4>(x)); };
    // x^2 for 0 <= x < 2^15 (the upper 16 bits of the lane are zero): one
    // 16-bit multiply-add, both of its accumulators added.
    auto square = [&](auto x) {
        const auto x16 = hn::BitCast(di16, x);
        auto odd = hn::Zero(di);
        const auto even = hn::ReorderWidenMulAccumulate(di, x16, x16, hn::Zero(di), odd);
        return hn::Add(even, odd);
    };
    constexpr size_t kLag = 4;
    auto count = [&](size_t from, size_t to) {
        for (size_t k = from; k < to; ++k) ++counts[(k % kParts) * kDoubledBins + doubled[k]];
    };
    for (; i + N <= n; i += N) {
        // Spreads are below 2^27: they fit a signed lane, and so does
        // 1008 (J + 1)^2 for J up to 258. Sums are below 2^14.
        auto spread = hn::BitCast(di, hn::LoadU(du, values + i));
        if constexpr (kFromSums) {
            const auto q = hn::BitCast(di, hn::LoadU(du, squares + i));
            spread = hn::Sub(hn::ShiftLeft<6>(q), square(spread));
        }
        // Below 1, the root's estimate is the value itself (J = 0).
        const auto x = hn::Mul(hn::ConvertTo(df, spread), inverse);
        const auto root = hn::Mul(x, hn::ApproximateReciprocalSqrt(hn::Max(x, oneF)));
        const auto j = hn::Sub(hn::BitCast(di, hn::Add(root, shift)), shiftBits);
        // Masks are -1 where true. When j is too large, 1008 j^2 > N (and
        // then 1008 (j + 1)^2 > N as well); when it is too small,
        // 1008 (j + 1)^2 <= N.
        const auto jNext = hn::Add(j, one);
        const auto jSquare = square(j);
        const auto nextSquare = hn::Add(jSquare, hn::Add(j, jNext));
        const auto tooLarge = hn::VecFromMask(di, hn::Gt(scaled(jSquare), spread));
        const auto notTooSmall = hn::VecFromMask(di, hn::Gt(scaled(nextSquare), spread));
        const auto exact = hn::Add(jNext, hn::Add(tooLarge, notTooSmall));
        hn::StoreU(hn::DemoteTo(d16, exact), d16, doubled + i);
        // The values stored kLag vectors before, which have left the store
        // buffer by then: a load of part of a vector still there waits for
        // the whole store.
        if (counts != nullptr && i >= kLag * N) count(i - kLag * N, i - (kLag - 1) * N);
    }
    if (counts != nullptr) count(i >= kLag * N ? i - kLag * N : 0, i);
#endif
    for (; i < n; ++i) {
        const uint32_t spread = kFromSums ? (squares[i] << 6) - values[i] * values[i] : values[i];
        doubled[i] = static_cast<uint16_t>(doubledDeviation(spread));
        if (counts != nullptr) ++counts[(i % kParts) * kDoubledBins + doubled[i]];
    }
}

void Doubled(const uint32_t* HWY_RESTRICT spreads, size_t n, uint16_t* HWY_RESTRICT doubled) {
    DoubledOf<false>(spreads, nullptr, n, doubled, nullptr);
}

// The same from the blocks' sums and sums of squares, counted into
// `counts` (zeroed kParts tables of kDoubledBins).
void DoubledFromSums(const uint32_t* HWY_RESTRICT sums, const uint32_t* HWY_RESTRICT squares,
                     size_t n, uint16_t* HWY_RESTRICT doubled, uint32_t* HWY_RESTRICT counts) {
    DoubledOf<true>(sums, squares, n, doubled, counts);
}

// Indices of the first values among v[0 .. n-1] equal to lo or lo + 1, in
// ascending order, at most `limit` of them; returns how many.
size_t FirstOfPair(const uint16_t* HWY_RESTRICT v, size_t n, uint16_t lo, size_t limit,
                   uint32_t* HWY_RESTRICT out) {
    size_t found = 0;
    size_t k = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint16_t> d;
    const size_t N = hn::Lanes(d);
    const auto first = hn::Set(d, lo);
    const auto second = hn::Set(d, static_cast<uint16_t>(lo + 1));
    for (; k + N <= n && found < limit; k += N) {
        const auto x = hn::LoadU(d, v + k);
        const auto hit = hn::Or(hn::Eq(x, first), hn::Eq(x, second));
        if (hn::AllFalse(d, hit)) continue;
        uint8_t bytes[8] = {};  // at most 64 lanes of 16 bits
        hn::StoreMaskBits(d, hit, bytes);
        uint64_t bits = 0;
        for (size_t b = 0; b < sizeof(bytes); ++b) bits |= uint64_t{bytes[b]} << (8 * b);
        for (; bits != 0 && found < limit; bits &= bits - 1) {
            out[found++] = static_cast<uint32_t>(k + static_cast<size_t>(std::countr_zero(bits)));
        }
    }
#endif
    for (; k < n && found < limit; ++k) {
        if (v[k] == lo || v[k] == lo + 1) out[found++] = static_cast<uint32_t>(k);
    }
    return found;
}

// Residual deviations of the n blocks whose top-left samples lie at
// src + offsets[k]; out[k] receives block k's. The kernel is symmetric.
void ResidualDeviations(const uint8_t* HWY_RESTRICT src, size_t stride,
                        const size_t* HWY_RESTRICT offsets, int32_t n,
                        const double* HWY_RESTRICT kernel, double* HWY_RESTRICT out) {
#if HWY_TARGET == HWY_SCALAR
    for (int32_t k = 0; k < n; ++k) out[k] = residualDeviation(src + offsets[k], stride, kernel);
#else
    constexpr int32_t B = NOISE_BLOCKSIZE;
    constexpr int32_t K = GAUSSIAN_MASK_SIZE;
    const hn::ScalableTag<double> dd;
    const hn::RebindToUnsigned<decltype(dd)> du;
    const int32_t D = static_cast<int32_t>(hn::Lanes(dd));
    constexpr int32_t kMaxLanes = HWY_MAX_BYTES / sizeof(double);
    // Rows of D blocks, 8 samples to a 64-bit word: row r of the block in
    // lane l at [r * D + l]; then every sample as a double, transposed:
    // sample p of the block in lane l at [p * D + l].
    HWY_ALIGN uint64_t rows[B * kMaxLanes];
    // The kernel has three weights: its corners, its edges and its centre.
    // Each sample's products with them are formed once (the 3 x 3 windows
    // share them) and added in the kernel's order; a product is never -0,
    // so the sum may start from the first one instead of from 0.
    HWY_ALIGN double samples[B * B * kMaxLanes];
    HWY_ALIGN double byCorner[B * B * kMaxLanes];
    HWY_ALIGN double byEdge[B * B * kMaxLanes];
    HWY_ALIGN double byCentre[B * B * kMaxLanes];
    HWY_ALIGN double devs[kMaxLanes];
    const auto corner = hn::Set(dd, kernel[0]);
    const auto edge = hn::Set(dd, kernel[1]);
    const auto centre = hn::Set(dd, kernel[K + 1]);
    const double m = static_cast<double>(INTERIOR * INTERIOR);
    const auto count = hn::Set(dd, m);
    const auto countLess1 = hn::Set(dd, m - 1.0);
    const hn::Repartition<uint8_t, decltype(du)> d8;
    // Byte c of each word moved to the word's lowest byte, the others
    // cleared: the sample as an integer.
    HWY_ALIGN uint8_t pick[B][HWY_MAX_BYTES];
    for (int32_t c = 0; c < B; ++c) {
        for (size_t i = 0; i < HWY_MAX_BYTES; ++i) {
            pick[c][i] = i % 8 == 0 ? static_cast<uint8_t>(i % 16 + c) : 0x80;
        }
    }
    // As a double: converted where the target has the instruction; else a
    // byte b in the low bits of the double 2^52 is 2^52 + b, and
    // subtracting 2^52 gives b exactly.
    const auto bias = hn::Set(dd, 4503599627370496.0);  // 2^52
    const auto biasBits = hn::BitCast(du, bias);
    auto toDouble = [&](auto word) {
#if HWY_TARGET <= HWY_AVX3
        (void)biasBits;
        return hn::ConvertTo(dd, hn::BitCast(hn::RebindToSigned<decltype(du)>(), word));
#else
        return hn::Sub(hn::BitCast(dd, hn::Or(word, biasBits)), bias);
#endif
    };

    for (int32_t g = 0; g < n; g += D) {
        // Lanes past the last block repeat it; their results are dropped.
        for (int32_t l = 0; l < D; ++l) {
            const uint8_t* block = src + offsets[std::min(g + l, n - 1)];
            for (int32_t r = 0; r < B; ++r) {
                uint64_t word;
                std::memcpy(&word, block + static_cast<size_t>(r) * stride, sizeof(word));
                if constexpr (std::endian::native == std::endian::big) {
                    word = __builtin_bswap64(word);
                }
                rows[r * D + l] = word;
            }
        }
        for (int32_t r = 0; r < B; ++r) {
            const auto word = hn::BitCast(d8, hn::Load(du, rows + r * D));
            for (int32_t c = 0; c < B; ++c) {
                const auto byte = hn::TableLookupBytesOr0(word, hn::Load(d8, pick[c]));
                const auto sample = toDouble(hn::BitCast(du, byte));
                const int32_t p = (r * B + c) * D;
                hn::Store(hn::Mul(sample, corner), dd, byCorner + p);
                hn::Store(hn::Mul(sample, edge), dd, byEdge + p);
                const bool inside = r >= HALF && r < B - HALF && c >= HALF && c < B - HALF;
                if (inside) {
                    hn::Store(sample, dd, samples + p);
                    hn::Store(hn::Mul(sample, centre), dd, byCentre + p);
                }
            }
        }
        auto s = hn::Zero(dd);
        auto q = hn::Zero(dd);
        for (int32_t y = HALF; y < B - HALF; ++y) {
            for (int32_t x = HALF; x < B - HALF; ++x) {
                const int32_t p = (y * B + x) * D;
                const int32_t up = p - B * D;
                const int32_t down = p + B * D;
                auto smoothed = hn::Load(dd, byCorner + up - D);
                smoothed = hn::Add(smoothed, hn::Load(dd, byEdge + up));
                smoothed = hn::Add(smoothed, hn::Load(dd, byCorner + up + D));
                smoothed = hn::Add(smoothed, hn::Load(dd, byEdge + p - D));
                smoothed = hn::Add(smoothed, hn::Load(dd, byCentre + p));
                smoothed = hn::Add(smoothed, hn::Load(dd, byEdge + p + D));
                smoothed = hn::Add(smoothed, hn::Load(dd, byCorner + down - D));
                smoothed = hn::Add(smoothed, hn::Load(dd, byEdge + down));
                smoothed = hn::Add(smoothed, hn::Load(dd, byCorner + down + D));
                const auto v = hn::Sub(hn::Load(dd, samples + p), smoothed);
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
HWY_EXPORT(Doubled);
HWY_EXPORT(DoubledFromSums);
HWY_EXPORT(FirstOfPair);
HWY_EXPORT(ResidualDeviations);
}  // namespace noise_simd

void noiseDoubledDeviations(const uint32_t* spreads, size_t n, uint16_t* doubled) {
    HWY_DYNAMIC_DISPATCH(noise_simd::Doubled)(spreads, n, doubled);
}

namespace {

using namespace noise_detail;

// Reused from frame to frame by each thread: the block statistics of the
// standalone function, every block's doubled deviation, the selected blocks
// and their residual deviations.
struct NoiseScratch {
    BlockStats stats;
    std::vector<uint16_t> doubled;
    std::vector<uint32_t> selected;
    std::vector<size_t> offsets;
    std::vector<double> residuals;
};

NoiseScratch& scratch() {
    thread_local NoiseScratch s;
    return s;
}

// The histogram of the rounded deviations of the blocks whose doubled
// deviations J are given (in storage order; the rounding is (J + 1) / 2)
// and counted in `part`, and its mode as counting block by block finds it:
// the bin with the largest count, and among equal counts the bin that
// reached the count first. Fills hist.
int32_t histogramMode(const uint16_t* doubled, size_t n, const uint32_t (*part)[kDoubledBins],
                      uint32_t* hist) {
    auto at = [part](int32_t j) {
        uint32_t sum = 0;
        for (size_t i = 0; i < kParts; ++i) sum += part[i][j];
        return sum;
    };
    hist[0] = at(0);
    for (int32_t i = 1; i < HISTOGRAM_ENTRIES - 1; ++i) hist[i] = at(2 * i - 1) + at(2 * i);
    hist[HISTOGRAM_ENTRIES - 1] = 0;
    uint32_t top = 0;
    int32_t mode = 0;
    int32_t ties = 0;
    for (int32_t i = 0; i < HISTOGRAM_ENTRIES; ++i) {
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
    for (size_t k = 0; k < n; ++k) {
        const int32_t i = (doubled[k] + 1) >> 1;
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
    if (sc.doubled.size() < nBlocks) sc.doubled.resize(nBlocks);

    // 1-3. Sample standard deviation of every 8x8 block (twice it, floored),
    // the histogram of the rounded deviations and its mode.
    uint32_t counts[kParts][kDoubledBins] = {};
    HWY_DYNAMIC_DISPATCH(noise_simd::DoubledFromSums)
    (stats.sums.data(), stats.squares.data(), nBlocks, sc.doubled.data(), &counts[0][0]);
    uint32_t hist[HISTOGRAM_ENTRIES];
    const int32_t mode = histogramMode(sc.doubled.data(), nBlocks, counts, hist);

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
    // deviation lies in the unit window around the centre: a floor of f is
    // J = 2f or 2f + 1, a rounding of r is J = 2r - 1 or 2r.
    const bool byFloor = f == r;
    const uint16_t lo = static_cast<uint16_t>(byFloor ? 2 * f : 2 * r - 1);
    if (sc.selected.size() < MAX_CONTAINER_WIDTH) sc.selected.resize(MAX_CONTAINER_WIDTH);
    const size_t found = HWY_DYNAMIC_DISPATCH(noise_simd::FirstOfPair)(
        sc.doubled.data(), nBlocks, lo, MAX_CONTAINER_WIDTH, sc.selected.data());
    const size_t stride = static_cast<size_t>(img.w);
    sc.offsets.resize(found);
    size_t rowStart = 0;  // the first block of block row `by`
    size_t by = 0;
    for (size_t i = 0; i < found; ++i) {
        const size_t k = sc.selected[i];
        while (k >= rowStart + static_cast<size_t>(W8)) {
            rowStart += static_cast<size_t>(W8);
            ++by;
        }
        sc.offsets[i] = by * B * stride + (k - rowStart) * B;
    }
    const int32_t n = static_cast<int32_t>(found);

    // 11-15. Mean over the blocks of the residual deviation of each interior,
    // summed in block order; NaN when no block qualified.
    sc.residuals.resize(found);
    HWY_DYNAMIC_DISPATCH(noise_simd::ResidualDeviations)
    (img.data, stride, sc.offsets.data(), n, kernel, sc.residuals.data());
    double total = 0.0;
    for (int32_t k = 0; k < n; ++k) total += sc.residuals[k];
    return total / n;
}

}  // namespace lumaqc

#endif  // HWY_ONCE
