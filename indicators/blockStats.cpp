// Block statistics: eight rows at a time, one block per 64-bit part of a
// vector. Sums come from sums of 8 samples; squares from 16-bit pair
// products added into 32-bit lanes, then folded per block. Every figure is
// an exact integer, whatever the target.
#include "indicators/blockStats.h"

#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/blockStats.cpp"
#include <hwy/cache_control.h>
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "indicators/square_sums-inl.h"

HWY_BEFORE_NAMESPACE();
namespace lumaqc::block_stats_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// Blocks b0 .. b1-1 of the block row whose top-left sample is `rows`.
inline void blocksPlain(const uint8_t* rows, std::ptrdiff_t stride, int32_t b0, int32_t b1,
                        uint32_t* sums, uint32_t* squares, uint64_t& sum, uint64_t& squareSum) {
    for (int32_t b = b0; b < b1; ++b) {
        uint32_t s = 0;
        uint32_t q = 0;
        for (int32_t r = 0; r < 8; ++r) {
            const uint8_t* p = rows + r * stride + static_cast<std::ptrdiff_t>(b) * 8;
            for (int32_t k = 0; k < 8; ++k) {
                s += p[k];
                q += static_cast<uint32_t>(p[k]) * p[k];
            }
        }
        sums[b] = s;
        squares[b] = q;
        sum += s;
        squareSum += q;
    }
}

// Every whole block of the picture: sums and squares per block, and their
// totals added to sum and squareSum.
void Blocks(const uint8_t* HWY_RESTRICT src, std::ptrdiff_t stride, int32_t blocksX,
            int32_t blocksY, uint32_t* HWY_RESTRICT sums, uint32_t* HWY_RESTRICT squares,
            uint64_t* sum, uint64_t* squareSum) {
    uint64_t s = 0;
    uint64_t q = 0;
#if HWY_TARGET == HWY_SCALAR
    for (int32_t by = 0; by < blocksY; ++by) {
        const size_t row = static_cast<size_t>(by) * static_cast<size_t>(blocksX);
        blocksPlain(src + by * 8 * stride, stride, 0, blocksX, sums + row, squares + row, s, q);
    }
#else
    // The blocks of one vector (two blocks for d8Pair) starting at block b0
    // of the block row at `rows`; returns their sums and squares, one block
    // per 64-bit lane. A 32-bit lane adds 4 squares of 8 rows, below 2^22.
    // `ahead`: the distance to the rows of the next block row, to be
    // fetched meanwhile, or 0.
    auto group = [](auto d8, const uint8_t* rows, std::ptrdiff_t rowStride, std::ptrdiff_t ahead,
                    int32_t b0, uint32_t* blockSums, uint32_t* blockSquares, auto& sumOut,
                    auto& squaresOut) {
        const hn::Repartition<uint16_t, decltype(d8)> d16;
        const hn::Repartition<int16_t, decltype(d8)> di16;
        const hn::Repartition<int32_t, decltype(d8)> di32;
        const hn::Repartition<uint64_t, decltype(d8)> d64;
        const hn::Rebind<uint32_t, decltype(d64)> d32;
        const auto lowByte = hn::Set(d16, 0x00FF);
        auto blockSum = hn::Zero(d64);
        auto sq0 = hn::Zero(di32);
        auto sq1 = hn::Zero(di32);
        const uint8_t* p = rows + static_cast<std::ptrdiff_t>(b0) * 8;
        for (int32_t r = 0; r < 8; ++r, p += rowStride) {
            if (ahead != 0) hwy::Prefetch(p + ahead);
            const auto v = hn::LoadU(d8, p);
            blockSum = hn::Add(blockSum, hn::SumsOf8(v));
            const auto wide = hn::BitCast(d16, v);
            const auto lo = hn::BitCast(di16, hn::And(wide, lowByte));
            const auto hi = hn::BitCast(di16, hn::ShiftRight<8>(wide));
            sq0 = hn::ReorderWidenMulAccumulate(di32, lo, lo, sq0, sq1);
            sq0 = hn::ReorderWidenMulAccumulate(di32, hi, hi, sq0, sq1);
        }
        const auto pairs = hn::BitCast(d64, hn::RearrangeToOddPlusEven(sq0, sq1));
        const auto blockSquares64 =
            hn::Add(hn::And(pairs, hn::Set(d64, 0xFFFFFFFFu)), hn::ShiftRight<32>(pairs));
        hn::StoreU(hn::TruncateTo(d32, blockSum), d32, blockSums + b0);
        hn::StoreU(hn::TruncateTo(d32, blockSquares64), d32, blockSquares + b0);
        sumOut = hn::Add(sumOut, blockSum);
        squaresOut = hn::Add(squaresOut, blockSquares64);
    };
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint64_t, decltype(d8)> d64;
    const hn::Full128<uint8_t> d8Pair;
    const hn::Full128<uint64_t> d64Pair;
    const int32_t perVector = static_cast<int32_t>(hn::Lanes(d8)) / 8;
    auto sumV = hn::Zero(d64);
    auto squaresV = hn::Zero(d64);
    auto sumPair = hn::Zero(d64Pair);
    auto squaresPair = hn::Zero(d64Pair);
    // Fetching the next block row while summing this one takes a fifth off
    // at 1920 x 1080 (whose plane stays in the caches); at 3840 x 2160 the
    // pass already runs at the speed of a plain read and the fetches only
    // slow it down.
    constexpr std::ptrdiff_t kFetchAheadWidth = 2048;
    for (int32_t by = 0; by < blocksY; ++by) {
        const uint8_t* rows = src + by * 8 * stride;
        const std::ptrdiff_t ahead =
            stride <= kFetchAheadWidth && by + 1 < blocksY ? 8 * stride : 0;
        uint32_t* rowSums = sums + static_cast<size_t>(by) * static_cast<size_t>(blocksX);
        uint32_t* rowSquares = squares + static_cast<size_t>(by) * static_cast<size_t>(blocksX);
        int32_t b = 0;
        for (; b + perVector <= blocksX; b += perVector) {
            group(d8, rows, stride, ahead, b, rowSums, rowSquares, sumV, squaresV);
        }
        for (; b + 2 <= blocksX; b += 2) {
            group(d8Pair, rows, stride, ahead, b, rowSums, rowSquares, sumPair, squaresPair);
        }
        blocksPlain(rows, stride, b, blocksX, rowSums, rowSquares, s, q);
    }
    s += hn::GetLane(hn::SumOfLanes(d64, sumV)) + hn::GetLane(hn::SumOfLanes(d64Pair, sumPair));
    q += hn::GetLane(hn::SumOfLanes(d64, squaresV)) +
         hn::GetLane(hn::SumOfLanes(d64Pair, squaresPair));
#endif
    *sum += s;
    *squareSum += q;
}

// Sum and square sum of n samples. Squares of sample pairs are added in
// 32-bit lanes, which are folded into 64-bit totals before they can overflow.
void SampleSums(const uint8_t* p, size_t n, uint64_t* sum, uint64_t* squares) {
    uint64_t s = 0;
    uint64_t q = 0;
    size_t i = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint64_t, decltype(d8)> d64;
    const hn::Repartition<int32_t, decltype(d8)> d32;
    const hn::Repartition<int64_t, decltype(d8)> di64;
    const size_t lanes = hn::Lanes(d8);
    // Each vector adds at most 4 * 255^2 to a 32-bit lane.
    constexpr size_t FLUSH = 2048;

    auto sums = hn::Zero(d64);
    auto total = hn::Zero(di64);
    while (i + lanes <= n) {
        auto even = hn::Zero(d32);
        auto odd = hn::Zero(d32);
        for (size_t k = 0; k < FLUSH && i + lanes <= n; ++k, i += lanes) {
            const auto v = hn::LoadU(d8, p + i);
            sums = hn::Add(sums, hn::SumsOf8(v));
            square_sums::HWY_NAMESPACE::AddSquares(d8, v, even, odd);
        }
        total = square_sums::HWY_NAMESPACE::FoldSquares(d8, even, odd, total);
    }
    s = hn::GetLane(hn::SumOfLanes(d64, sums));
    q = static_cast<uint64_t>(hn::GetLane(hn::SumOfLanes(di64, total)));
#endif
    for (; i < n; ++i) {
        const uint32_t v = p[i];
        s += v;
        q += v * v;
    }
    *sum = s;
    *squares = q;
}

// The positions of the values of p[0 .. n) below low or above high, in
// order; returns how many. The values and the bounds are below 2^31.
size_t Outside(const uint32_t* HWY_RESTRICT p, size_t n, uint32_t low, uint32_t high,
               uint32_t* HWY_RESTRICT at) {
    size_t found = 0;
    size_t i = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<int32_t> d;
    const size_t lanes = hn::Lanes(d);
    const auto lo = hn::Set(d, static_cast<int32_t>(low));
    const auto hi = hn::Set(d, static_cast<int32_t>(high));
    for (; i + lanes <= n; i += lanes) {
        const auto v = hn::BitCast(d, hn::LoadU(hn::RebindToUnsigned<decltype(d)>(), p + i));
        const auto out = hn::Or(hn::Lt(v, lo), hn::Gt(v, hi));
        if (HWY_LIKELY(hn::AllFalse(d, out))) continue;
        uint8_t bits[HWY_MAX_BYTES / 4 / 8 + 8] = {};
        hn::StoreMaskBits(d, out, bits);
        for (size_t k = 0; k < lanes; ++k) {
            at[found] = static_cast<uint32_t>(i + k);
            found += (bits[k / 8] >> (k % 8)) & 1;
        }
    }
#endif
    for (; i < n; ++i) {
        at[found] = static_cast<uint32_t>(i);
        found += p[i] < low || p[i] > high;
    }
    return found;
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::block_stats_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace lumaqc {

namespace block_stats_simd {
HWY_EXPORT(Blocks);
HWY_EXPORT(SampleSums);
HWY_EXPORT(Outside);
}  // namespace block_stats_simd

size_t valuesOutside(const uint32_t* p, size_t n, uint32_t low, uint32_t high, uint32_t* at) {
    return HWY_DYNAMIC_DISPATCH(block_stats_simd::Outside)(p, n, low, high, at);
}

void sampleSums(const uint8_t* p, size_t n, uint64_t* sum, uint64_t* squares) {
    HWY_DYNAMIC_DISPATCH(block_stats_simd::SampleSums)(p, n, sum, squares);
}

void startBlockStats(const Image& img, BlockStats& stats) {
    const int32_t w = img.w > 0 && img.h > 0 ? img.w : 0;
    const int32_t h = w > 0 ? img.h : 0;
    stats.w = img.w;
    stats.h = img.h;
    stats.blocksX = w / 8;
    stats.blocksY = h / 8;
    const size_t n = static_cast<size_t>(stats.blocksX) * static_cast<size_t>(stats.blocksY);
    if (stats.sums.size() < n) {
        stats.sums.resize(n);
        stats.squares.resize(n);
    }
    stats.sum = 0;
    stats.squareSum = 0;
    stats.ready = false;
}

void addBlockStatsRows(const Image& img, int32_t by0, int32_t by1, BlockStats& stats) {
    if (by1 > stats.blocksY) by1 = stats.blocksY;
    if (by0 >= by1) return;
    const std::ptrdiff_t stride = img.w;
    const size_t first = static_cast<size_t>(by0) * static_cast<size_t>(stats.blocksX);
    uint64_t sum = 0;
    uint64_t squareSum = 0;
    HWY_DYNAMIC_DISPATCH(block_stats_simd::Blocks)
    (img.data + static_cast<std::ptrdiff_t>(by0) * 8 * stride, stride, stats.blocksX, by1 - by0,
     stats.sums.data() + first, stats.squares.data() + first, &sum, &squareSum);
    // The samples right of the last whole block column.
    for (int32_t y = by0 * 8; y < by1 * 8; ++y) {
        for (int32_t x = stats.blocksX * 8; x < img.w; ++x) {
            const uint32_t v = img.data[y * stride + x];
            sum += v;
            squareSum += v * v;
        }
    }
    stats.sum += sum;
    stats.squareSum += squareSum;
}

void finishBlockStats(const Image& img, BlockStats& stats) {
    // The rows below the last whole block row.
    const int32_t w = img.w > 0 && img.h > 0 ? img.w : 0;
    const int32_t h = w > 0 ? img.h : 0;
    const int32_t blockRowsEnd = stats.blocksY * 8;
    if (w > 0 && h > blockRowsEnd) {
        uint64_t s = 0;
        uint64_t q = 0;
        sampleSums(img.data + static_cast<std::ptrdiff_t>(blockRowsEnd) * w,
                   static_cast<size_t>(h - blockRowsEnd) * static_cast<size_t>(w), &s, &q);
        stats.sum += s;
        stats.squareSum += q;
    }
    stats.ready = true;
}

void computeBlockStats(const Image& img, BlockStats& stats) {
    startBlockStats(img, stats);
    addBlockStatsRows(img, 0, stats.blocksY, stats);
    finishBlockStats(img, stats);
}

}  // namespace lumaqc

#endif  // HWY_ONCE
