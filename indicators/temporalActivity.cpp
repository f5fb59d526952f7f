// Temporal activity: root-mean-square sample difference between the current
// and the previous picture. The same pass can give flickering its block
// changes (the sums of absolute differences over each 8x8 block), so that
// the two pictures are read once for both.
#include <cmath>
#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/temporalActivity.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "indicators/square_sums-inl.h"

HWY_BEFORE_NAMESPACE();
namespace lumaqc::temporal_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR
using square_sums::HWY_NAMESPACE::AddSquares;
using square_sums::HWY_NAMESPACE::FoldSquares;
#endif

// Sum of (a - b)^2 over n samples. The squares of absolute differences are
// added pairwise in 32-bit lanes, folded into 64-bit totals before they can
// overflow.
uint64_t SquaredDifferences(const uint8_t* a, const uint8_t* b, size_t n) {
    uint64_t sum = 0;
    size_t i = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<int32_t, decltype(d8)> d32;
    const hn::Repartition<int64_t, decltype(d8)> d64;
    const size_t lanes = hn::Lanes(d8);
    // Each vector adds at most 4 * 255^2 to a 32-bit lane.
    constexpr size_t FLUSH = 2048;

    auto total = hn::Zero(d64);
    while (i + lanes <= n) {
        auto even = hn::Zero(d32);
        auto odd = hn::Zero(d32);
        for (size_t k = 0; k < FLUSH && i + lanes <= n; ++k, i += lanes) {
            const auto va = hn::LoadU(d8, a + i);
            const auto vb = hn::LoadU(d8, b + i);
            AddSquares(d8, hn::Or(hn::SaturatedSub(va, vb), hn::SaturatedSub(vb, va)), even, odd);
        }
        total = FoldSquares(d8, even, odd, total);
    }
    sum = static_cast<uint64_t>(hn::GetLane(hn::SumOfLanes(d64, total)));
#endif
    for (; i < n; ++i) {
        const int32_t d = static_cast<int32_t>(a[i]) - static_cast<int32_t>(b[i]);
        sum += static_cast<uint64_t>(d * d);
    }
    return sum;
}

#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_SSE4
// On x86, differences below 128 are squared and added in pairs by one
// multiply-add of unsigned by signed bytes (at most 2 * 127^2 in a 16-bit
// lane) and the pairs in pairs by a second one: at most 4 * 127^2 in each
// 32-bit lane. A difference of 128 or more reads as a negative factor, so
// the 8 rows of a vector of blocks that hold one are summed again exactly.
#undef LUMAQC_TEMPORAL_BYTE_SQUARES
#define LUMAQC_TEMPORAL_BYTE_SQUARES 1
template <class V8>
HWY_INLINE auto ByteSquares(V8 v) {
    const hn::Repartition<int32_t, hn::DFromV<V8>> d32;
#if HWY_TARGET == HWY_AVX3
    return hn::Vec<decltype(d32)>{
        _mm512_madd_epi16(_mm512_maddubs_epi16(v.raw, v.raw), _mm512_set1_epi16(1))};
#elif HWY_TARGET == HWY_AVX2
    return hn::Vec<decltype(d32)>{
        _mm256_madd_epi16(_mm256_maddubs_epi16(v.raw, v.raw), _mm256_set1_epi16(1))};
#else
    return hn::Vec<decltype(d32)>{
        _mm_madd_epi16(_mm_maddubs_epi16(v.raw, v.raw), _mm_set1_epi16(1))};
#endif
}
#else
#undef LUMAQC_TEMPORAL_BYTE_SQUARES
#define LUMAQC_TEMPORAL_BYTE_SQUARES 0
#endif

// One row of 8x8 blocks: 8 picture rows of `width` samples, `blocks` of
// them in whole blocks. Stores each block's sum of absolute differences,
// clamped to 255, in `changes` and returns the sum of squared differences
// over all the samples of the 8 rows.
uint64_t BlockRowDifferences(const uint8_t* a, const uint8_t* b, std::ptrdiff_t stride,
                             int32_t width, int32_t blocks, uint8_t* changes) {
    constexpr int32_t kRows = 8;
    uint64_t sum = 0;
    int32_t block = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<int32_t, decltype(d8)> d32;
    const hn::Repartition<int64_t, decltype(d8)> d64;
    const hn::Repartition<uint64_t, decltype(d8)> du64;
    const hn::Rebind<uint8_t, decltype(du64)> dBlocks;  // one byte per block
    [[maybe_unused]] const hn::Repartition<int8_t, decltype(d8)> di8;
    const auto perVector = static_cast<int32_t>(hn::Lanes(du64));
    // Each row of a vector adds at most 4 * 255^2 to a 32-bit lane.
    constexpr int32_t FLUSH = 2048 / kRows;
    const auto clampAt = hn::Set(du64, 255);
    auto total = hn::Zero(d64);
    while (block + perVector <= blocks) {
        auto even = hn::Zero(d32);
        auto odd = hn::Zero(d32);
        for (int32_t k = 0; k < FLUSH && block + perVector <= blocks; ++k, block += perVector) {
            const std::ptrdiff_t x = static_cast<std::ptrdiff_t>(block) * 8;
            auto sad = hn::Zero(du64);
#if LUMAQC_TEMPORAL_BYTE_SQUARES
            auto squares = hn::Zero(d32);
            auto big = hn::Zero(d8);
            for (int32_t r = 0; r < kRows; ++r) {
                const auto va = hn::LoadU(d8, a + x + r * stride);
                const auto vb = hn::LoadU(d8, b + x + r * stride);
                const auto diff = hn::Or(hn::SaturatedSub(va, vb), hn::SaturatedSub(vb, va));
                sad = hn::Add(sad, hn::SumsOf8(diff));
                squares = hn::Add(squares, ByteSquares(diff));
                big = hn::Or(big, diff);
            }
            if (HWY_LIKELY(hn::AllFalse(di8, hn::Lt(hn::BitCast(di8, big), hn::Zero(di8))))) {
                even = hn::Add(even, squares);
            } else {
                for (int32_t r = 0; r < kRows; ++r) {
                    const auto va = hn::LoadU(d8, a + x + r * stride);
                    const auto vb = hn::LoadU(d8, b + x + r * stride);
                    AddSquares(d8, hn::Or(hn::SaturatedSub(va, vb), hn::SaturatedSub(vb, va)), even,
                               odd);
                }
            }
#else
            for (int32_t r = 0; r < kRows; ++r) {
                const auto va = hn::LoadU(d8, a + x + r * stride);
                const auto vb = hn::LoadU(d8, b + x + r * stride);
                const auto diff = hn::Or(hn::SaturatedSub(va, vb), hn::SaturatedSub(vb, va));
                sad = hn::Add(sad, hn::SumsOf8(diff));
                AddSquares(d8, diff, even, odd);
            }
#endif
            hn::StoreU(hn::TruncateTo(dBlocks, hn::Min(sad, clampAt)), dBlocks, changes + block);
        }
        total = FoldSquares(d8, even, odd, total);
    }
    sum = static_cast<uint64_t>(hn::GetLane(hn::SumOfLanes(d64, total)));
#endif
    for (; block < blocks; ++block) {
        uint64_t sad = 0;
        for (int32_t r = 0; r < kRows; ++r) {
            for (int32_t i = 0; i < 8; ++i) {
                const std::ptrdiff_t o = static_cast<std::ptrdiff_t>(block) * 8 + r * stride + i;
                const int32_t d = static_cast<int32_t>(a[o]) - static_cast<int32_t>(b[o]);
                sad += static_cast<uint64_t>(d < 0 ? -d : d);
                sum += static_cast<uint64_t>(d * d);
            }
        }
        changes[block] = static_cast<uint8_t>(sad < 255 ? sad : 255);
    }
    // The columns right of the last whole block.
    for (int32_t r = 0; r < kRows; ++r) {
        const std::ptrdiff_t row = r * stride;
        for (int32_t x = blocks * 8; x < width; ++x) {
            const int32_t d = static_cast<int32_t>(a[row + x]) - static_cast<int32_t>(b[row + x]);
            sum += static_cast<uint64_t>(d * d);
        }
    }
    return sum;
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::temporal_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include "indicators/indicators.h"

namespace lumaqc {

namespace temporal_simd {
HWY_EXPORT(SquaredDifferences);
HWY_EXPORT(BlockRowDifferences);
}  // namespace temporal_simd

namespace {

// Root mean square from the sum of squared differences over n samples;
// empty pictures give 0 / 0, which freezing treats as not frozen.
double rootMeanSquare(uint64_t sum, uint32_t n) {
    return std::sqrt(static_cast<double>(sum)) / std::sqrt(static_cast<double>(n));
}

}  // namespace

double temporalActivity(const Image& current, const Image& previous) {
    // The square root of the exact integer energy, as temporalAct gives it,
    // from one vectorised pass.
    uint64_t sum = 0;
    if (current.w > 0 && current.h > 0) {
        LUMAQC_CHECK(static_cast<int64_t>(previous.w) * previous.h >=
                     static_cast<int64_t>(current.w) * current.h);
        const size_t n = static_cast<size_t>(current.w) * static_cast<size_t>(current.h);
        sum =
            HWY_DYNAMIC_DISPATCH(temporal_simd::SquaredDifferences)(current.data, previous.data, n);
    }
    return rootMeanSquare(sum, static_cast<uint32_t>(current.w) * static_cast<uint32_t>(current.h));
}

double temporalActivity(const Image& current, const Image& previous, uint8_t* changes) {
    LUMAQC_CHECK(previous.w == current.w && previous.h == current.h);
    const int32_t w = current.w > 0 ? current.w : 0;
    const int32_t h = current.h > 0 ? current.h : 0;
    const auto blocks = static_cast<int32_t>(static_cast<uint32_t>(w) / BLOCKSIZE);
    const auto blockRows = static_cast<int32_t>(static_cast<uint32_t>(h) / BLOCKSIZE);
    const std::ptrdiff_t stride = w;
    uint64_t sum = 0;
    for (int32_t by = 0; by < blockRows; ++by) {
        const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(by) * BLOCKSIZE * stride;
        sum += HWY_DYNAMIC_DISPATCH(temporal_simd::BlockRowDifferences)(
            current.data + row, previous.data + row, stride, w, blocks,
            changes + static_cast<std::ptrdiff_t>(by) * blocks);
    }
    // The rows below the last whole block row.
    const std::ptrdiff_t done = static_cast<std::ptrdiff_t>(blockRows) * BLOCKSIZE * stride;
    const auto rest = static_cast<size_t>(w) * static_cast<size_t>(h) - static_cast<size_t>(done);
    if (rest > 0) {
        sum += HWY_DYNAMIC_DISPATCH(temporal_simd::SquaredDifferences)(current.data + done,
                                                                       previous.data + done, rest);
    }
    return rootMeanSquare(sum, static_cast<uint32_t>(current.w) * static_cast<uint32_t>(current.h));
}

}  // namespace lumaqc

#endif  // HWY_ONCE
