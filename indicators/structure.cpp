// The structure sums: one walk down the picture in bands of 16 rows. A band
// with a strip below it is read once, column by column, for all three
// indicators; the columns past the last whole vector of all three, and the
// bands at the bottom, go to each indicator's own band function. Slice also
// reads the band below, which the next band then finds in cache. The block
// statistics, when asked for, are summed band by band in the same walk,
// from the rows the band's counts have just brought into the caches.
#include "indicators/structure.h"

#include <bit>
#include <cstddef>
#include <cstdint>

#include "indicators/indicators.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/structure.cpp"
#include <hwy/cache_control.h>
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

// Once, ahead of the per-target passes over this file.
#ifndef LUMAQC_STRUCTURE_BAND_COUNTS
#define LUMAQC_STRUCTURE_BAND_COUNTS
namespace lumaqc {
// What the shared vector step counts in one band.
struct BandCounts {
    uint64_t rowInner[2];  // blockiness: the horizontal edges below rows 7 and 15
    uint64_t rowAcross[2];
    uint64_t vertical;  // slice: the strip's matches downwards and sideways
    uint64_t horizontal;
    uint64_t combed;  // interlace
};
}  // namespace lumaqc
#endif

HWY_BEFORE_NAMESPACE();
namespace lumaqc::structure_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// The 16 rows from `band` (w samples apart, 32 rows readable, w > 16) in
// whole vectors, as far as every vector is whole for all three indicators:
// blockiness's column sums added to inner[] and across[] (columnEdges
// vertical edges) and its two horizontal edges, slice's counts against the
// rows 16 below and the columns 16 to the right (past a row's end into the
// next row, as its own kernel counts them), interlace's combed groups.
// Returns the columns counted, a multiple of the vector size.
int32_t CountBand(const uint8_t* HWY_RESTRICT band, int32_t w, int32_t columnEdges,
                  uint64_t* HWY_RESTRICT inner, uint64_t* HWY_RESTRICT across, BandCounts* out) {
    *out = BandCounts{};
#if HWY_TARGET == HWY_SCALAR
    (void)band;
    (void)w;
    (void)columnEdges;
    (void)inner;
    (void)across;
    return 0;
#else
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint16_t, decltype(d8)> d16;
    [[maybe_unused]] const hn::Repartition<uint32_t, decltype(d8)> d32;
    const hn::Repartition<uint64_t, decltype(d8)> d64;
    const auto N = static_cast<std::ptrdiff_t>(hn::Lanes(d8));
    const std::ptrdiff_t stride = w;
    const std::ptrdiff_t below = 16 * stride;  // slice's strip below
    // Blockiness needs the edges of a vector to be edges of the picture,
    // interlace its groups to be whole; slice's whole vectors follow.
    const std::ptrdiff_t groupsEnd = static_cast<std::ptrdiff_t>(w / 4) * 4;
    const std::ptrdiff_t edgesEnd = static_cast<std::ptrdiff_t>(columnEdges) * 8;
    const std::ptrdiff_t limit = groupsEnd < edgesEnd ? groupsEnd : edgesEnd;
    const std::ptrdiff_t end = limit - limit % N;
    [[maybe_unused]] const auto allOnes = hn::Set(d32, 0xFFFFFFFFu);
    const auto lowWord = hn::Set(d64, 0xFFFFu);
    auto rowInner0 = hn::Zero(d64);
    auto rowAcross0 = hn::Zero(d64);
    auto rowInner1 = hn::Zero(d64);
    auto rowAcross1 = hn::Zero(d64);
    auto vertical = hn::Zero(d64);
    auto horizontal = hn::Zero(d64);
    uint64_t combed = 0;
    auto absDiff = [](auto a, auto b) {
        return hn::Or(hn::SaturatedSub(a, b), hn::SaturatedSub(b, a));
    };
    // One more in each byte counter whose lane is in the mask. With AVX-512
    // the compares give mask registers: a masked add takes one operation
    // where a mask turned into a vector and subtracted takes two.
    auto countIf = [&](auto counts, auto mask) HWY_ATTR {
#if HWY_TARGET == HWY_AVX3
        return decltype(counts){
            _mm512_mask_add_epi8(counts.raw, mask.raw, counts.raw, _mm512_set1_epi8(1))};
#else
        return hn::Sub(counts, hn::VecFromMask(d8, mask));
#endif
    };
    // The groups of four columns (bytes 4 k .. 4 k + 3) that zigzag in all
    // four of them down rows s[0] .. s[3]. With AVX-512 the tests stay in
    // mask registers and the groups are counted in the mask's bits.
    auto zigzagGroups = [&](const auto* s) HWY_ATTR -> uint64_t {
#if HWY_TARGET == HWY_AVX3
        const auto upDownUp =
            hn::And(hn::And(hn::Lt(s[0], s[1]), hn::Gt(s[1], s[2])), hn::Lt(s[2], s[3]));
        const auto downUpDown =
            hn::And(hn::And(hn::Gt(s[0], s[1]), hn::Lt(s[1], s[2])), hn::Gt(s[2], s[3]));
        const uint64_t m = static_cast<uint64_t>(hn::Or(upDownUp, downUpDown).raw);
        const uint64_t whole = m & (m >> 1) & (m >> 2) & (m >> 3) & 0x1111111111111111u;
        return static_cast<uint64_t>(std::popcount(whole));
#else
        const auto upDownUp = hn::And(hn::And(hn::VecFromMask(d8, hn::Lt(s[0], s[1])),
                                              hn::VecFromMask(d8, hn::Gt(s[1], s[2]))),
                                      hn::VecFromMask(d8, hn::Lt(s[2], s[3])));
        const auto downUpDown = hn::And(hn::And(hn::VecFromMask(d8, hn::Gt(s[0], s[1])),
                                                hn::VecFromMask(d8, hn::Lt(s[1], s[2]))),
                                        hn::VecFromMask(d8, hn::Gt(s[2], s[3])));
        const auto zigzag = hn::BitCast(d32, hn::Or(upDownUp, downUpDown));
        return hn::CountTrue(d32, hn::Eq(zigzag, allOnes));
#endif
    };
    for (std::ptrdiff_t x = 0; x < end; x += N) {
        const uint8_t* p = band + x;
        auto both = hn::Zero(d16);
        auto sumAcross = hn::Zero(d64);
        auto countV = hn::Zero(d8);
        auto countH = hn::Zero(d8);
        auto row6 = hn::Zero(d8);
        auto row7 = hn::Zero(d8);
        auto row14 = hn::Zero(d8);
        auto row15 = hn::Zero(d8);
        auto row16 = hn::Zero(d8);
        for (int32_t g = 0; g < 4; ++g) {
            hn::Vec<decltype(d8)> s[4];
            for (int32_t i = 0; i < 4; ++i, p += stride) {
                // The band below is read here for the first time: fetch it
                // a few cache lines ahead.
                hwy::Prefetch(p + below + 256);
                const auto v0 = hn::LoadU(d8, p);
                s[i] = v0;
                // Blockiness: the differences between neighbours.
                const auto d = absDiff(v0, hn::LoadU(d8, p + 1));
                both = hn::Add(both, hn::BitCast(d16, d));
                sumAcross = hn::Add(sumAcross, hn::ShiftRight<56>(hn::BitCast(d64, d)));
                // Slice: equal samples 16 rows below and 16 columns right.
                const auto down = hn::LoadU(d8, p + below);
                if (g == 0 && i == 0) row16 = down;
                countV = countIf(countV, hn::Eq(v0, down));
                countH = countIf(countH, hn::Eq(v0, hn::LoadU(d8, p + 16)));
            }
            // Interlace: a group counts when all four of its columns zigzag.
            combed += zigzagGroups(s);
            // Blockiness's horizontal edges: rows 6 and 7 against 8, 14 and
            // 15 against 16.
            if (g == 1 || g == 3) {
                (g == 1 ? row6 : row14) = s[2];
                (g == 1 ? row7 : row15) = s[3];
            }
            if (g == 2) {
                rowInner0 = hn::Add(rowInner0, hn::SumsOf8(absDiff(row7, row6)));
                rowAcross0 = hn::Add(rowAcross0, hn::SumsOf8(absDiff(row7, s[0])));
            }
        }
        rowInner1 = hn::Add(rowInner1, hn::SumsOf8(absDiff(row15, row14)));
        rowAcross1 = hn::Add(rowAcross1, hn::SumsOf8(absDiff(row15, row16)));
        // As blockiness's own kernel: the top 16-bit part of 64-bit lane j
        // holds inner + 256 across of edge x / 8 + j, modulo 2^16.
        const auto sumInner = hn::And(
            hn::Sub(hn::ShiftRight<48>(hn::BitCast(d64, both)), hn::ShiftLeft<8>(sumAcross)),
            lowWord);
        uint64_t* in = inner + x / 8;
        uint64_t* ac = across + x / 8;
        hn::StoreU(hn::Add(hn::LoadU(d64, in), sumInner), d64, in);
        hn::StoreU(hn::Add(hn::LoadU(d64, ac), sumAcross), d64, ac);
        vertical = hn::Add(vertical, hn::SumsOf8(countV));
        horizontal = hn::Add(horizontal, hn::SumsOf8(countH));
    }
    out->rowInner[0] = hn::GetLane(hn::SumOfLanes(d64, rowInner0));
    out->rowAcross[0] = hn::GetLane(hn::SumOfLanes(d64, rowAcross0));
    out->rowInner[1] = hn::GetLane(hn::SumOfLanes(d64, rowInner1));
    out->rowAcross[1] = hn::GetLane(hn::SumOfLanes(d64, rowAcross1));
    out->vertical = hn::GetLane(hn::SumOfLanes(d64, vertical));
    out->horizontal = hn::GetLane(hn::SumOfLanes(d64, horizontal));
    out->combed = combed;
    return static_cast<int32_t>(end);
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::structure_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace lumaqc {

namespace structure_simd {
HWY_EXPORT(CountBand);
}  // namespace structure_simd

namespace {

// Slice's strips, blockiness's edges and interlace's groups all fit in it.
constexpr int32_t kBand = SLICE_BLOCKSIZE;
static_assert(kBand % 8 == 0 && kBand % INTERLACE_BLOCKSIZE == 0);

}  // namespace

void computeStructureSums(const Image& img, StructureSums& sums, BlockStats* stats) {
    if (stats != nullptr) startBlockStats(img, *stats);
    sums.w = img.w;
    sums.h = img.h;
    BlockinessSums& blocks = sums.blockiness;
    startBlockiness(img, blocks);
    startSlice(img, sums.slice);
    // The bands with a strip below, when slice counts at all.
    const bool sliceCounts = img.h > 47 && img.w > SLICE_BLOCKSIZE;
    const int32_t shared = sliceCounts ? (img.h / kBand - 1) * kBand : 0;
    uint64_t combed = 0;
    for (int32_t y = 0; y < img.h; y += kBand) {
        const int32_t y1 = img.h - y > kBand ? y + kBand : img.h;
        int32_t from = 0;
        if (y < shared) {
            BandCounts c;
            from = HWY_DYNAMIC_DISPATCH(structure_simd::CountBand)(
                img.data + static_cast<std::ptrdiff_t>(y) * img.w, img.w,
                static_cast<int32_t>(blocks.columnEdges), blocks.columns.data(),
                blocks.columns.data() + blocks.columnEdges, &c);
            for (int32_t e = 0; e < 2; ++e) {
                const int64_t k = y / 8 + e;
                if (k >= blocks.rowEdges) break;
                const auto weight = static_cast<uint64_t>(blocks.rowEdges - k);
                blocks.rowInner += weight * c.rowInner[e];
                blocks.rowAcross += weight * c.rowAcross[e];
            }
            addSliceRows(img, y, y1, sums.slice, from);
            const auto strip = static_cast<size_t>(y / kBand);
            sums.slice.vertical[strip] += static_cast<int32_t>(c.vertical);
            sums.slice.horizontal[strip] += static_cast<int32_t>(c.horizontal);
            combed += c.combed;
        } else {
            addSliceRows(img, y, y1, sums.slice);
        }
        addBlockinessRows(img, y, y1, blocks, from);
        combed += combedGroups(img, y, y1, from);
        // The band's blocks, while its rows are in the nearest caches.
        if (stats != nullptr) addBlockStatsRows(img, y / 8, y1 / 8, *stats);
    }
    if (stats != nullptr) finishBlockStats(img, *stats);
    sums.combedGroups = combed;
    sums.ready = true;
}

}  // namespace lumaqc

#endif  // HWY_ONCE
