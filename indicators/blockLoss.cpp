// Block loss: strong intensity steps along long stretches of both the
// horizontal and the vertical lines of the 16-pixel block grid, counted per
// 256 x 256 region; the result is the mean over the regions of the product of
// the horizontal and the vertical run counts.
//
// No Roberts picture is stored:
//  1. one pass over the picture sums the Roberts energy over every position
//     (vector kernel), which sets the threshold, and keeps the energies on the
//     vertical grid lines, saturated to 16 bits, in a table of one value per
//     row and grid column;
//  2. along the horizontal grid lines, one bit per position (energy above the
//     threshold), runs found word by word in each region's 256 bits;
//  3. along the vertical grid lines, the table row by row, one run counter per
//     grid column.
// Energies are exact integers; a position is strong when its energy exceeds
// the threshold, i.e. exceeds the threshold's integer part. A threshold that
// 16-bit energies cannot decide (rare: pictures of strong noise) takes the
// exact plain path for 2 and 3.
#include "indicators/indicators.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/blockLoss.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#ifndef LUMAQC_BLOCKLOSS_SHARED
#define LUMAQC_BLOCKLOSS_SHARED

namespace lumaqc::blockloss_detail {

// Grid lines per region and region side.
constexpr int32_t kLinesPerRegion = BLOCKPROC_BLOCKSIZE / BLOCKLOSS_BLOCKSIZE;  // 16
constexpr int32_t kWordsPerRegion = BLOCKPROC_BLOCKSIZE / 64;                   // 4
// Energies at or above this saturate the 16-bit vector arithmetic; thresholds
// from here on take the exact plain path.
constexpr int64_t kSaturated = 65535;
// Largest Roberts energy: two squared 8-bit differences.
constexpr int64_t kMaxEnergy = 2 * 255 * 255;

inline int32_t robertsEnergy(const uint8_t* up, const uint8_t* cur, ptrdiff_t x) {
    const int32_t a = static_cast<int32_t>(up[x - 1]) - static_cast<int32_t>(cur[x]);
    const int32_t b = static_cast<int32_t>(up[x]) - static_cast<int32_t>(cur[x - 1]);
    return a * a + b * b;
}

// Counts the maximal runs of at least `length` set bits among `words` (bit i
// of word k is position 64 k + i). A run is counted once, when it reaches
// `length`.
inline int32_t countLongRuns(const uint64_t* words, int32_t nWords, int32_t length) {
    int32_t count = 0;
    int32_t run = 0;  // set bits ending just before the current position
    for (int32_t k = 0; k < nWords; ++k) {
        const uint64_t v = words[k];
        if (v == 0) {
            run = 0;
            continue;
        }
        int pos = 0;
        while (pos < 64) {
            const uint64_t rest = v >> pos;
            const int ones = std::countr_zero(~rest);  // at most 64 - pos
            if (ones > 0) {
                if (run < length && run + ones >= length) ++count;
                run += ones;
                pos += ones;
                if (pos >= 64) break;
            }
            run = 0;
            const uint64_t after = v >> pos;  // bit 0 is clear
            if (after == 0) break;
            pos += std::countr_zero(after);
        }
    }
    return count;
}

// Exact plain passes 2 and 3 for any threshold: strong means energy > limit.
inline void gridRowBitsPlain(const uint8_t* src, int32_t w, int32_t row, int32_t cols,
                             int64_t limit, uint64_t* words) {
    const uint8_t* cur = src + static_cast<size_t>(row) * static_cast<size_t>(w);
    const uint8_t* up = cur - w;
    std::memset(words, 0, static_cast<size_t>(cols / 64) * sizeof(uint64_t));
    for (int32_t x = 1; x < cols; ++x) {
        if (robertsEnergy(up, cur, x) > limit) words[x >> 6] |= uint64_t{1} << (x & 63);
    }
}

// One source row of the vertical grid lines: counters[c] is the run counter
// of grid column c; hits of the run length are added to runs[c / 16].
inline void gridColumnRowPlain(const uint8_t* src, int32_t w, int32_t y, int32_t gridCols,
                               int64_t limit, uint16_t* counters, int32_t* runs) {
    const uint8_t* cur = src + static_cast<size_t>(y) * static_cast<size_t>(w);
    const uint8_t* up = cur - w;
    for (int32_t c = 1; c < gridCols; ++c) {
        uint16_t& k = counters[c];
        if (robertsEnergy(up, cur, static_cast<ptrdiff_t>(c) * BLOCKLOSS_BLOCKSIZE) > limit) {
            if (++k == EDGE_LENGTH) ++runs[c / kLinesPerRegion];
        } else {
            k = 0;
        }
    }
}

// Energies of the vertical grid lines of one row, saturated to 16 bits, into
// table[c0 .. gridCols-1] (grid column c at source column 16 c).
inline void gridColumnEnergiesPlain(const uint8_t* up, const uint8_t* cur, int32_t c0,
                                    int32_t gridCols, uint16_t* table) {
    for (int32_t c = c0; c < gridCols; ++c) {
        const int32_t e = robertsEnergy(up, cur, static_cast<ptrdiff_t>(c) * BLOCKLOSS_BLOCKSIZE);
        table[c] = static_cast<uint16_t>(std::min<int32_t>(e, kSaturated));
    }
}

// Pass 3 on one row of the table, plainly.
inline void columnRunsPlain(const uint16_t* table, int32_t gridCols, int32_t limit,
                            uint16_t* counters, int32_t* runs) {
    for (int32_t c = 0; c < gridCols; ++c) {
        if (table[c] > limit) {
            if (++counters[c] == EDGE_LENGTH) ++runs[c / kLinesPerRegion];
        } else {
            counters[c] = 0;
        }
    }
}

}  // namespace lumaqc::blockloss_detail

#endif  // LUMAQC_BLOCKLOSS_SHARED

HWY_BEFORE_NAMESPACE();
namespace lumaqc::blockloss_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;
using namespace blockloss_detail;

// Sum of the Roberts energy over rows 1 .. h-1 and columns 1 .. w-1. For rows
// 1 .. tableRows-1, the energies of grid columns 0 .. gridCols-1 (column 0
// has none: 0), saturated to 16 bits, go to table[y * gridCols + c]; row 0 of
// the table is left alone.
int64_t RobertsEnergySum(const uint8_t* HWY_RESTRICT src, int32_t w, int32_t h, int32_t tableRows,
                         int32_t gridCols, uint16_t* HWY_RESTRICT table) {
    int64_t total = 0;
#if HWY_TARGET == HWY_SCALAR
    for (int32_t y = 1; y < h; ++y) {
        const uint8_t* cur = src + static_cast<size_t>(y) * static_cast<size_t>(w);
        const uint8_t* up = cur - w;
        int64_t rowSum = 0;
        for (int32_t x = 1; x < w; ++x) rowSum += robertsEnergy(up, cur, x);
        total += rowSum;
        if (y < tableRows) {
            uint16_t* row = table + static_cast<size_t>(y) * static_cast<size_t>(gridCols);
            row[0] = 0;
            gridColumnEnergiesPlain(up, cur, 1, gridCols, row);
        }
    }
#else
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint16_t, decltype(d8)> d16;
    const hn::Repartition<int16_t, decltype(d8)> di16;
    const hn::Repartition<int32_t, decltype(d8)> d32;
    const hn::Repartition<uint32_t, decltype(d8)> du32;
    const hn::Repartition<uint64_t, decltype(d8)> d64;
    const hn::Rebind<uint16_t, decltype(du32)> dTable;
    const int32_t N = static_cast<int32_t>(hn::Lanes(d8));
    const auto lowByte = hn::Set(d16, 0x00FF);
    // Each vector adds at most 4 * 2 * 255^2 to a 32-bit lane; flush well
    // before 2^31.
    constexpr int32_t kFlushSteps = 1024;
    HWY_ALIGN int32_t lanes[HWY_MAX_BYTES / sizeof(int32_t)];
    auto acc0 = hn::Zero(d32);
    auto acc1 = hn::Zero(d32);
    int32_t steps = 0;
    auto flush = [&]() {
        // The two accumulators take turns (the multiplies need not wait for
        // each other's sums); together they hold the energy.
        hn::Store(hn::Add(acc0, acc1), d32, lanes);
        for (size_t i = 0; i < hn::Lanes(d32); ++i) total += lanes[i];
        acc0 = hn::Zero(d32);
        acc1 = hn::Zero(d32);
        steps = 0;
    };
    auto count = [&](int32_t added) {
        steps += added;
        if (steps >= kFlushSteps) flush();
    };

    auto absDiff = [](auto a, auto b) {
        return hn::Or(hn::SaturatedSub(a, b), hn::SaturatedSub(b, a));
    };
    // The two differences of a grid column, one per byte 15 of each 128-bit
    // block, in the high 16 bits of every second 64-bit lane.
    using V16 = hn::Vec<decltype(d16)>;
    struct Odd {
        V16 e1, e2;
    };

    for (int32_t y = 1; y < h; ++y) {
        const uint8_t* cur = src + static_cast<size_t>(y) * static_cast<size_t>(w);
        const uint8_t* up = cur - w;
        uint16_t* row = y < tableRows
                            ? table + static_cast<size_t>(y) * static_cast<size_t>(gridCols)
                            : nullptr;
        // Columns x .. x+N-1 (the first `skip` already done): energy into the
        // accumulators; returns the differences of the odd columns.
        auto columns = [&](int32_t x, int32_t skip) {
            auto e1 = absDiff(hn::LoadU(d8, up + x - 1), hn::LoadU(d8, cur + x));
            auto e2 = absDiff(hn::LoadU(d8, up + x), hn::LoadU(d8, cur + x - 1));
            if (skip > 0) {
                const auto keep = hn::Not(hn::FirstN(d8, static_cast<size_t>(skip)));
                e1 = hn::IfThenElseZero(keep, e1);
                e2 = hn::IfThenElseZero(keep, e2);
            }
            const auto w1 = hn::BitCast(d16, e1);
            const auto w2 = hn::BitCast(d16, e2);
            const auto hi1 = hn::ShiftRight<8>(w1);
            const auto hi2 = hn::ShiftRight<8>(w2);
            const auto slo1 = hn::BitCast(di16, hn::And(w1, lowByte));
            const auto slo2 = hn::BitCast(di16, hn::And(w2, lowByte));
            const auto shi1 = hn::BitCast(di16, hi1);
            const auto shi2 = hn::BitCast(di16, hi2);
            acc0 = hn::ReorderWidenMulAccumulate(d32, slo1, slo1, acc0, acc1);
            acc1 = hn::ReorderWidenMulAccumulate(d32, shi1, shi1, acc1, acc0);
            acc0 = hn::ReorderWidenMulAccumulate(d32, slo2, slo2, acc0, acc1);
            acc1 = hn::ReorderWidenMulAccumulate(d32, shi2, shi2, acc1, acc0);
            return Odd{hi1, hi2};
        };
        // Lanes 7, 15, .. of four vectors' odd differences, in the high 16
        // bits of each 32-bit lane.
        auto gather = [&](V16 v0, V16 v1, V16 v2, V16 v3) {
            const auto a = hn::ConcatOdd(d64, hn::BitCast(d64, v1), hn::BitCast(d64, v0));
            const auto b = hn::ConcatOdd(d64, hn::BitCast(d64, v3), hn::BitCast(d64, v2));
            return hn::BitCast(d16,
                               hn::ConcatOdd(du32, hn::BitCast(du32, b), hn::BitCast(du32, a)));
        };
        int32_t x = 1;
        // Groups of four vectors from column 1 cover grid columns
        // 1 + g N/4 .. (g+1) N/4; their energies are gathered into one vector.
        int32_t nextGrid = 1;  // first grid column not yet in the table
        for (; x + 4 * N <= w; x += 4 * N) {
            const Odd v0 = columns(x, 0);
            const Odd v1 = columns(x + N, 0);
            const Odd v2 = columns(x + 2 * N, 0);
            const Odd v3 = columns(x + 3 * N, 0);
            count(4);
            if (row != nullptr && nextGrid < gridCols) {
                const auto g1 = gather(v0.e1, v1.e1, v2.e1, v3.e1);
                const auto g2 = gather(v0.e2, v1.e2, v2.e2, v3.e2);
                const auto pairs =
                    hn::BitCast(du32, hn::SaturatedAdd(hn::Mul(g1, g1), hn::Mul(g2, g2)));
                // The last group may reach past the row's end, into the next
                // row (written after) or the table's slack.
                hn::StoreU(hn::DemoteTo(dTable, hn::BitCast(d32, hn::ShiftRight<16>(pairs))),
                           dTable, row + nextGrid);
                nextGrid += N / 4;
            }
        }
        for (; x + N <= w; x += N) {
            columns(x, 0);
            count(1);
        }
        if (x < w) {
            if (w > N) {
                // The last vector overlaps the previous one; its first lanes
                // are dropped.
                columns(w - N, x - (w - N));
                count(1);
            } else {
                for (; x < w; ++x) total += robertsEnergy(up, cur, x);
            }
        }
        if (row != nullptr) {
            row[0] = 0;
            if (nextGrid < gridCols) gridColumnEnergiesPlain(up, cur, nextGrid, gridCols, row);
        }
    }
    flush();
#endif
    return total;
}

// Pass 2 for one grid row (source row `row`, 16 or more): bit x of `words`
// is set when the energy at column x (1 <= x < cols) exceeds `limit`
// (< kSaturated). cols is a multiple of 256.
void GridRowBits(const uint8_t* HWY_RESTRICT src, int32_t w, int32_t row, int32_t cols,
                 int32_t limit, uint64_t* HWY_RESTRICT words) {
#if HWY_TARGET == HWY_SCALAR
    gridRowBitsPlain(src, w, row, cols, limit, words);
#else
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint16_t, decltype(d8)> d16;
    const int32_t N = static_cast<int32_t>(hn::Lanes(d8));
    const uint8_t* cur = src + static_cast<size_t>(row) * static_cast<size_t>(w);
    const uint8_t* up = cur - w;
    const auto lowByte = hn::Set(d16, 0x00FF);
    const auto highByte = hn::Set(d16, 0xFF00);
    const auto lim = hn::Set(d16, static_cast<uint16_t>(limit));
    auto absDiff = [](auto a, auto b) {
        return hn::Or(hn::SaturatedSub(a, b), hn::SaturatedSub(b, a));
    };
    uint8_t* bytes = reinterpret_cast<uint8_t*>(words);
    // Column 0 reads the last samples of the two rows above; its bit is
    // cleared afterwards (the grid has no pair there).
    for (int32_t x = 0; x < cols; x += N) {
        const auto e1 =
            hn::BitCast(d16, absDiff(hn::LoadU(d8, up + x - 1), hn::LoadU(d8, cur + x)));
        const auto e2 =
            hn::BitCast(d16, absDiff(hn::LoadU(d8, up + x), hn::LoadU(d8, cur + x - 1)));
        const auto lo1 = hn::And(e1, lowByte);
        const auto lo2 = hn::And(e2, lowByte);
        const auto hi1 = hn::ShiftRight<8>(e1);
        const auto hi2 = hn::ShiftRight<8>(e2);
        const auto even = hn::SaturatedAdd(hn::Mul(lo1, lo1), hn::Mul(lo2, lo2));
        const auto odd = hn::SaturatedAdd(hn::Mul(hi1, hi1), hn::Mul(hi2, hi2));
        // Flags back in column order: even columns in the low byte of each
        // 16-bit lane, odd ones in the high byte.
        const auto flags = hn::Or(hn::And(hn::VecFromMask(d16, hn::Gt(even, lim)), lowByte),
                                  hn::And(hn::VecFromMask(d16, hn::Gt(odd, lim)), highByte));
        hn::StoreMaskBits(d8, hn::MaskFromVec(hn::BitCast(d8, flags)), bytes + x / 8);
    }
    words[0] &= ~uint64_t{1};
#endif
}

// Pass 3 on rows [y0, y1) of the table: counters[c] is the run counter of grid
// column c; hits are added to runs[c / 16]. gridCols is a multiple of 16.
void ColumnRuns(const uint16_t* HWY_RESTRICT table, int32_t y0, int32_t y1, int32_t gridCols,
                int32_t limit, uint16_t* HWY_RESTRICT counters, int32_t* HWY_RESTRICT runs) {
#if HWY_TARGET == HWY_SCALAR
    for (int32_t y = y0; y < y1; ++y) {
        columnRunsPlain(table + static_cast<size_t>(y) * static_cast<size_t>(gridCols), gridCols,
                        limit, counters, runs);
    }
#else
    // At most one region (16 grid columns) per vector.
    const hn::CappedTag<uint16_t, kLinesPerRegion> d;
    const int32_t L = static_cast<int32_t>(hn::Lanes(d));
    const int32_t perRegion = kLinesPerRegion / L;
    const auto lim = hn::Set(d, static_cast<uint16_t>(limit));
    const auto one = hn::Set(d, 1);
    const auto runLength = hn::Set(d, static_cast<uint16_t>(EDGE_LENGTH));
    const int32_t vectors = gridCols / L;
    // Down the rows two vectors of grid columns at a time (the second
    // walks while the first waits for its counters), their counters and
    // hits (at most one per row) held in registers.
    auto step = [&](const uint16_t* at, hn::Vec<decltype(d)>& counter, hn::Vec<decltype(d)>& hits) {
        counter = hn::IfThenElseZero(hn::Gt(hn::LoadU(d, at), lim), hn::Add(counter, one));
        hits = hn::Sub(hits, hn::VecFromMask(d, hn::Eq(counter, runLength)));
    };
    auto finish = [&](int32_t v, hn::Vec<decltype(d)> counter, hn::Vec<decltype(d)> hits) {
        hn::StoreU(counter, d, counters + static_cast<size_t>(v) * L);
        runs[v / perRegion] += static_cast<int32_t>(hn::GetLane(hn::SumOfLanes(d, hits)));
    };
    const size_t pitch = static_cast<size_t>(gridCols);
    int32_t v = 0;
    for (; v + 2 <= vectors; v += 2) {
        const uint16_t* column =
            table + static_cast<size_t>(y0) * pitch + static_cast<size_t>(v) * L;
        auto c0 = hn::LoadU(d, counters + static_cast<size_t>(v) * L);
        auto c1 = hn::LoadU(d, counters + static_cast<size_t>(v + 1) * L);
        auto h0 = hn::Zero(d);
        auto h1 = hn::Zero(d);
        for (int32_t y = y0; y < y1; ++y, column += pitch) {
            step(column, c0, h0);
            step(column + L, c1, h1);
        }
        finish(v, c0, h0);
        finish(v + 1, c1, h1);
    }
    if (v < vectors) {
        const uint16_t* column =
            table + static_cast<size_t>(y0) * pitch + static_cast<size_t>(v) * L;
        auto c0 = hn::LoadU(d, counters + static_cast<size_t>(v) * L);
        auto h0 = hn::Zero(d);
        for (int32_t y = y0; y < y1; ++y, column += pitch) step(column, c0, h0);
        finish(v, c0, h0);
    }
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::blockloss_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace lumaqc {

namespace blockloss_simd {
HWY_EXPORT(RobertsEnergySum);
HWY_EXPORT(GridRowBits);
HWY_EXPORT(ColumnRuns);
}  // namespace blockloss_simd

namespace {

using namespace blockloss_detail;

constexpr size_t kTableSlack = HWY_MAX_BYTES / 4;

// Scratch reused from frame to frame by each thread.
struct BlockLossScratch {
    std::vector<uint64_t> bits;      // one grid row, a bit per column
    std::vector<uint16_t> table;     // vertical grid line energies, row by grid column
    std::vector<uint16_t> counters;  // vertical run counter per grid column
    std::vector<int32_t> rowRuns;    // per region of the current region row
    std::vector<int32_t> colRuns;
};

BlockLossScratch& scratch() {
    thread_local BlockLossScratch s;
    return s;
}

// Block loss, with the Roberts energies of the Sobel pass when `shared` is
// set, else from a pass of its own.
double blockLossFrom(const Image& src, const RobertsShare* shared) {
    const int32_t w = src.w;
    const int32_t h = src.h;
    if (h < BLOCKPROC_BLOCKSIZE || w < BLOCKPROC_BLOCKSIZE) {
        return -1.0;
    }

    const int32_t regionsX = w / BLOCKPROC_BLOCKSIZE;
    const int32_t regionsY = h / BLOCKPROC_BLOCKSIZE;
    const int32_t cols = regionsX * BLOCKPROC_BLOCKSIZE;  // columns inside whole regions
    const int32_t gridCols = regionsX * kLinesPerRegion;  // grid columns inside them

    BlockLossScratch& s = scratch();
    const int32_t tableRows = regionsY * BLOCKPROC_BLOCKSIZE;
    int64_t scanned = 0;
    const uint16_t* table = nullptr;
    if (shared != nullptr) {
        scanned = shared->energySum;
        table = shared->table.data();
    } else {
        const size_t tableSize = static_cast<size_t>(tableRows) * static_cast<size_t>(gridCols);
        // A row's last group of energies may be stored past its end.
        if (s.table.size() < tableSize + kTableSlack) s.table.resize(tableSize + kTableSlack);
        std::fill(s.table.begin(), s.table.begin() + gridCols, 0);  // row 0 has no pairs
        scanned = HWY_DYNAMIC_DISPATCH(blockloss_simd::RobertsEnergySum)(src.data, w, h, tableRows,
                                                                         gridCols, s.table.data());
        table = s.table.data();
    }
    // The energy sum as a 32-bit sample count sees it: a picture of 2^31
    // samples or more counts no samples at all.
    const uint32_t area = static_cast<uint32_t>(w) * static_cast<uint32_t>(h);
    const int64_t energySum = area > static_cast<uint32_t>(INT32_MAX) ? 0 : scanned;
    // The energy sum and six times it stay below 2^53, so only the division
    // rounds: the threshold is the double nearest to 6 * sum / (w * h).
    const double threshold = static_cast<double>(energySum) *
                             static_cast<double>(BLOCKLOSS_EDGE_FACTOR) / static_cast<double>(area);
    // An integer energy exceeds the threshold exactly when it exceeds its
    // integer part.
    const double floorThreshold = std::floor(threshold);
    if (!(floorThreshold < static_cast<double>(kMaxEnergy))) return 0.0;  // nothing is strong
    const int64_t limit = static_cast<int64_t>(floorThreshold);
    // 16-bit energies decide every threshold below their saturation.
    const bool vector = limit < kSaturated;

    s.bits.assign(static_cast<size_t>(cols / 64), 0);
    s.counters.assign(static_cast<size_t>(gridCols), 0);
    s.rowRuns.assign(static_cast<size_t>(regionsX), 0);
    s.colRuns.assign(static_cast<size_t>(regionsX), 0);

    int64_t productSum = 0;
    for (int32_t ry = 0; ry < regionsY; ++ry) {
        std::fill(s.rowRuns.begin(), s.rowRuns.end(), 0);
        std::fill(s.colRuns.begin(), s.colRuns.end(), 0);

        // Horizontal grid lines of this region row; grid row 0 has no pairs.
        for (int32_t line = 0; line < kLinesPerRegion; ++line) {
            const int32_t gridRow = ry * kLinesPerRegion + line;
            if (gridRow == 0) continue;
            const int32_t row = gridRow * BLOCKLOSS_BLOCKSIZE;
            if (vector) {
                HWY_DYNAMIC_DISPATCH(blockloss_simd::GridRowBits)
                (src.data, w, row, cols, static_cast<int32_t>(limit), s.bits.data());
            } else {
                gridRowBitsPlain(src.data, w, row, cols, limit, s.bits.data());
            }
            for (int32_t rx = 0; rx < regionsX; ++rx) {
                s.rowRuns[rx] += countLongRuns(s.bits.data() + rx * kWordsPerRegion,
                                               kWordsPerRegion, EDGE_LENGTH);
            }
        }

        // Vertical grid lines: rows of this region row.
        const int32_t y0 = ry * BLOCKPROC_BLOCKSIZE;
        const int32_t y1 = y0 + BLOCKPROC_BLOCKSIZE;
        if (vector) {
            HWY_DYNAMIC_DISPATCH(blockloss_simd::ColumnRuns)
            (table, y0, y1, gridCols, static_cast<int32_t>(limit), s.counters.data(),
             s.colRuns.data());
        } else {
            // Source row 0 has no pairs.
            for (int32_t y = y0 == 0 ? 1 : y0; y < y1; ++y) {
                gridColumnRowPlain(src.data, w, y, gridCols, limit, s.counters.data(),
                                   s.colRuns.data());
            }
        }
        // A run never continues into the next region row.
        std::fill(s.counters.begin(), s.counters.end(), 0);

        for (int32_t rx = 0; rx < regionsX; ++rx) {
            productSum += static_cast<int32_t>(static_cast<uint32_t>(s.rowRuns[rx]) *
                                               static_cast<uint32_t>(s.colRuns[rx]));
        }
    }
    return static_cast<double>(productSum) / static_cast<double>(regionsX * regionsY);
}

}  // namespace

double blockLoss(const Image& src) {
    return blockLossFrom(src, nullptr);
}

double blockLoss(const Image& src, const RobertsShare& roberts) {
    const bool usable = roberts.ready && roberts.w == src.w && roberts.h == src.h;
    return blockLossFrom(src, usable ? &roberts : nullptr);
}

}  // namespace lumaqc

#endif  // HWY_ONCE
