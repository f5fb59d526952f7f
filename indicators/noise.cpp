// Noise: residual of a Gaussian smoothing over the blocks whose local
// deviation lies at the frame's most common level.
//
// The 8x8 block sums come from one vector pass; each block keeps only the
// floor and the rounding of its deviation. The selected blocks are smoothed
// and measured straight from the picture, without a container strip or
// filtered pictures, in the same floating-point order as the plain
// composition.
#include "indicators/noise.h"

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

#include "indicators/indicators.h"

#ifndef LUMAQC_NOISE_SHARED
#define LUMAQC_NOISE_SHARED

namespace noise_detail {

constexpr int32_t NOISE_BLOCKSIZE = 8;

// Sums and sums of squares of blocks bx0 .. bx1-1 of block row `by`.
inline void blockSumsPlain(const uint8_t* src, int32_t w, int32_t bx0, int32_t bx1, int32_t by,
                           int32_t* sums, int32_t* squares) {
    for (int32_t bx = bx0; bx < bx1; ++bx) {
        int32_t s = 0;
        int32_t q = 0;
        for (int32_t r = 0; r < NOISE_BLOCKSIZE; ++r) {
            const uint8_t* p =
                src + static_cast<size_t>(by * NOISE_BLOCKSIZE + r) * static_cast<size_t>(w) +
                static_cast<size_t>(bx) * NOISE_BLOCKSIZE;
            for (int32_t i = 0; i < NOISE_BLOCKSIZE; ++i) {
                s += p[i];
                q += p[i] * p[i];
            }
        }
        sums[bx] = s;
        squares[bx] = q;
    }
}

// Floor and rounding (half away from zero) of the sample standard deviation
// of each block from its sums, as the block-deviation operation computes it.
inline void deviationsPlain(const int32_t* sums, const int32_t* squares, int32_t bx0, int32_t bx1,
                            int32_t* floors, int32_t* rounds) {
    const int32_t n = NOISE_BLOCKSIZE * NOISE_BLOCKSIZE;
    for (int32_t bx = bx0; bx < bx1; ++bx) {
        const int64_t s = sums[bx];
        const double s2 = static_cast<double>(s * s);
        const double dev = std::sqrt((static_cast<double>(squares[bx]) - s2 / n) / (n - 1.0));
        floors[bx] = static_cast<int32_t>(std::floor(dev));
        rounds[bx] = static_cast<int32_t>(std::round(dev));
    }
}

}  // namespace noise_detail

#endif  // LUMAQC_NOISE_SHARED

HWY_BEFORE_NAMESPACE();
namespace noise_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;
using namespace noise_detail;

// Block row `by`: sums and sums of squares of its blocksX 8x8 blocks, then
// the floor and the rounding of each block's deviation. The four arrays hold
// blocksX values plus room for one vector of doubles.
void BlockRowDeviations(const uint8_t* HWY_RESTRICT src, int32_t w, int32_t blocksX, int32_t by,
                        int32_t* HWY_RESTRICT sums, int32_t* HWY_RESTRICT squares,
                        int32_t* HWY_RESTRICT floors, int32_t* HWY_RESTRICT rounds) {
#if HWY_TARGET == HWY_SCALAR
    blockSumsPlain(src, w, 0, blocksX, by, sums, squares);
    deviationsPlain(sums, squares, 0, blocksX, floors, rounds);
#else
    // One block per 64-bit part of a vector: one sum of 8 samples and two
    // 32-bit sums of squares (4 samples each). Squares are formed lane by
    // lane, so every lane keeps its own samples.
    auto blocksOf = [&](auto d8, int32_t bx0) {
        const hn::Repartition<uint16_t, decltype(d8)> d16;
        const hn::Repartition<uint32_t, decltype(d8)> d32;
        const hn::Repartition<uint64_t, decltype(d8)> d64;
        const auto lowByte = hn::Set(d16, 0x00FF);
        const auto lowHalf = hn::Set(d32, 0xFFFF);
        auto sum = hn::Zero(d64);
        auto sq = hn::Zero(d32);
        const uint8_t* p = src +
                           static_cast<size_t>(by * NOISE_BLOCKSIZE) * static_cast<size_t>(w) +
                           static_cast<size_t>(bx0) * NOISE_BLOCKSIZE;
        for (int32_t r = 0; r < NOISE_BLOCKSIZE; ++r, p += w) {
            const auto v = hn::LoadU(d8, p);
            sum = hn::Add(sum, hn::SumsOf8(v));
            const auto wide = hn::BitCast(d16, v);
            const auto lo = hn::And(wide, lowByte);
            const auto hi = hn::ShiftRight<8>(wide);
            // 8-bit squares fit 16 bits; two of them per 32-bit lane.
            const auto q = hn::BitCast(d32, hn::Mul(lo, lo));
            const auto t = hn::BitCast(d32, hn::Mul(hi, hi));
            sq = hn::Add(sq, hn::Add(hn::Add(hn::And(q, lowHalf), hn::ShiftRight<16>(q)),
                                     hn::Add(hn::And(t, lowHalf), hn::ShiftRight<16>(t))));
        }
        HWY_ALIGN uint64_t s64[HWY_MAX_BYTES / sizeof(uint64_t)];
        HWY_ALIGN uint32_t q32[HWY_MAX_BYTES / sizeof(uint32_t)];
        hn::Store(sum, d64, s64);
        hn::Store(sq, d32, q32);
        const int32_t n = static_cast<int32_t>(hn::Lanes(d8)) / NOISE_BLOCKSIZE;
        for (int32_t b = 0; b < n; ++b) {
            sums[bx0 + b] = static_cast<int32_t>(s64[b]);
            squares[bx0 + b] = static_cast<int32_t>(q32[2 * b] + q32[2 * b + 1]);
        }
    };
    const hn::ScalableTag<uint8_t> d8;
    const hn::Full128<uint8_t> d8Pair;
    const int32_t perVector = static_cast<int32_t>(hn::Lanes(d8)) / NOISE_BLOCKSIZE;
    int32_t bx = 0;
    for (; bx + perVector <= blocksX; bx += perVector) blocksOf(d8, bx);
    for (; bx + 2 <= blocksX; bx += 2) blocksOf(d8Pair, bx);
    blockSumsPlain(src, w, bx, blocksX, by, sums, squares);

    // The deviation in double precision, every operation correctly rounded
    // as in the scalar formula: s * s is exact (below 2^53), then
    // (q - s^2 / 64) / 63 and its square root. Rounding half away from zero
    // adds 1 to the floor when the (exact) fraction is at least one half.
    const hn::ScalableTag<double> dd;
    const hn::Rebind<int32_t, decltype(dd)> di;
    const int32_t D = static_cast<int32_t>(hn::Lanes(dd));
    const auto count = hn::Set(dd, 64.0);
    const auto countLess1 = hn::Set(dd, 63.0);
    const auto half = hn::Set(dd, 0.5);
    const auto one = hn::Set(dd, 1.0);
    for (int32_t k = 0; k < blocksX; k += D) {
        const auto s = hn::PromoteTo(dd, hn::LoadU(di, sums + k));
        const auto q = hn::PromoteTo(dd, hn::LoadU(di, squares + k));
        const auto dev = hn::Sqrt(hn::Div(hn::Sub(q, hn::Div(hn::Mul(s, s), count)), countLess1));
        const auto f = hn::Floor(dev);
        const auto r = hn::IfThenElse(hn::Ge(hn::Sub(dev, f), half), hn::Add(f, one), f);
        hn::StoreU(hn::DemoteTo(di, f), di, floors + k);
        hn::StoreU(hn::DemoteTo(di, r), di, rounds + k);
    }
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace noise_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace noise_simd {
HWY_EXPORT(BlockRowDeviations);
}  // namespace noise_simd

namespace {

using namespace noise_detail;

// Per-block results reused from frame to frame by each thread: the floor and
// the rounding of each deviation (a deviation of 8-bit samples lies below
// 129, so both fit 8 bits), and one block row's sums and deviations.
struct NoiseScratch {
    std::vector<uint8_t> floors;
    std::vector<uint8_t> rounds;
    std::vector<int32_t> rowSums;
    std::vector<int32_t> rowSquares;
    std::vector<int32_t> rowFloors;
    std::vector<int32_t> rowRounds;
};

NoiseScratch& scratch() {
    thread_local NoiseScratch s;
    return s;
}

// Sample standard deviation of the smoothing residual over the 6x6 interior
// of the 8x8 block whose top-left sample is `block` (rows `stride` apart),
// in the order of the plain composition: each smoothed value is the kernel's
// weighted sum, row by row, from 0; the residual sums run over the interior
// rows, left to right, from 0.
double residualDeviation(const uint8_t* block, size_t stride, const double* kernel) {
    constexpr int32_t B = NOISE_BLOCKSIZE;
    constexpr int32_t K = GAUSSIAN_MASK_SIZE;
    constexpr int32_t half = K / 2;
    double s = 0.0;
    double q = 0.0;
    for (int32_t y = half; y < B - half; ++y) {
        for (int32_t x = half; x < B - half; ++x) {
            const uint8_t* window = block + static_cast<size_t>(y - half) * stride + (x - half);
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
    const double m = static_cast<double>((B - 2 * half) * (B - 2 * half));
    return std::sqrt((q - s * s / m) / (m - 1.0));
}

}  // namespace

int compare(const void* a, const void* b) {
    const double x = *static_cast<const double*>(a);
    const double y = *static_cast<const double*>(b);
    if (x < y) return -1;
    if (x > y) return 1;
    return 0;
}

double noise(const Image& img) {
    const int32_t B = NOISE_BLOCKSIZE;
    const int32_t W8 = static_cast<int32_t>(static_cast<uint32_t>(img.w) >> 3);
    const int32_t H8 = static_cast<int32_t>(static_cast<uint32_t>(img.h) >> 3);
    // No whole block: the centre is undefined and the frame counts as clean.
    if (W8 == 0 || H8 == 0) return 0.0;

    NoiseScratch& sc = scratch();
    const size_t nBlocks = static_cast<size_t>(W8) * static_cast<size_t>(H8);
    if (sc.floors.size() < nBlocks) {
        sc.floors.resize(nBlocks);
        sc.rounds.resize(nBlocks);
    }
    // Room for one vector of doubles (of any target) past the row.
    constexpr size_t kWidestVector = 256;
    const size_t rowSize = static_cast<size_t>(W8) + kWidestVector / sizeof(double);
    for (auto* v : {&sc.rowSums, &sc.rowSquares, &sc.rowFloors, &sc.rowRounds}) {
        if (v->size() < rowSize) v->assign(rowSize, 0);
    }

    // 1-3. Sample standard deviation of every 8x8 block, the histogram of the
    // rounded deviations and its mode; among equal counts the bin that
    // reached the count first wins.
    uint32_t hist[HISTOGRAM_ENTRIES] = {};
    int32_t mode = 0;
    for (int32_t by = 0; by < H8; ++by) {
        HWY_DYNAMIC_DISPATCH(noise_simd::BlockRowDeviations)
        (img.data, img.w, W8, by, sc.rowSums.data(), sc.rowSquares.data(), sc.rowFloors.data(),
         sc.rowRounds.data());
        uint8_t* floors = sc.floors.data() + static_cast<size_t>(by) * W8;
        uint8_t* rounds = sc.rounds.data() + static_cast<size_t>(by) * W8;
        for (int32_t bx = 0; bx < W8; ++bx) {
            const int32_t i = std::min(sc.rowRounds[bx], HISTOGRAM_ENTRIES - 2);
            floors[bx] = static_cast<uint8_t>(sc.rowFloors[bx]);
            rounds[bx] = static_cast<uint8_t>(sc.rowRounds[bx]);
            ++hist[i];
            if (hist[i] > hist[mode]) mode = i;
        }
    }

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
    const int32_t half = GAUSSIAN_MASK_SIZE / 2;
    for (int32_t i = -half; i <= half; ++i) {
        for (int32_t j = -half; j <= half; ++j) {
            const double e = std::exp(-(i * i + j * j) / twoR2);
            kernel[(i + half) * GAUSSIAN_MASK_SIZE + (j + half)] = e * scale;
        }
    }

    // 8-9 and 11-15. The first MAX_CONTAINER_WIDTH blocks (in storage order)
    // whose deviation lies in the unit window around the centre; the mean of
    // their residual deviations, NaN when no block qualified.
    const bool byFloor = f == r;
    const uint8_t* key = byFloor ? sc.floors.data() : sc.rounds.data();
    const int32_t target = byFloor ? f : r;
    const size_t stride = static_cast<size_t>(img.w);
    double total = 0.0;
    int32_t n = 0;
    for (size_t k = 0; k < nBlocks && n < MAX_CONTAINER_WIDTH; ++k) {
        if (key[k] != target) continue;
        const size_t by = k / static_cast<size_t>(W8);
        const size_t bx = k % static_cast<size_t>(W8);
        const uint8_t* block = img.data + by * B * stride + bx * B;
        total += residualDeviation(block, stride, kernel);
        ++n;
    }
    return total / n;
}

#endif  // HWY_ONCE
