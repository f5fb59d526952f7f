// Block-row sums: one sum per 8-sample row segment, added over the eight rows
// of the block row. Every sum is an exact integer.
#include "indicators/blockRows.h"

#include <cstddef>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "indicators/blockRows.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumaqc::block_rows_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

void Sums8(const uint8_t* rows, std::ptrdiff_t stride, int32_t blocks, uint64_t* out) {
    int32_t b = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint8_t> d8;
    const hn::Repartition<uint64_t, decltype(d8)> d64;
    const int32_t perVector = static_cast<int32_t>(hn::Lanes(d64));
    for (; b + perVector <= blocks; b += perVector) {
        const uint8_t* p = rows + static_cast<std::ptrdiff_t>(b) * 8;
        auto acc = hn::SumsOf8(hn::LoadU(d8, p));
        for (int32_t r = 1; r < 8; ++r)
            acc = hn::Add(acc, hn::SumsOf8(hn::LoadU(d8, p + r * stride)));
        hn::StoreU(acc, d64, out + b);
    }
#endif
    for (; b < blocks; ++b) {
        const uint8_t* p = rows + static_cast<std::ptrdiff_t>(b) * 8;
        uint64_t sum = 0;
        for (int32_t r = 0; r < 8; ++r)
            for (int32_t k = 0; k < 8; ++k) sum += p[r * stride + k];
        out[b] = sum;
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::block_rows_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumaqc {

namespace block_rows_simd {
HWY_EXPORT(Sums8);
}  // namespace block_rows_simd

void blockRowSums8(const uint8_t* rows, std::ptrdiff_t stride, int32_t blocks, uint64_t* out) {
    HWY_DYNAMIC_DISPATCH(block_rows_simd::Sums8)(rows, stride, blocks, out);
}

}  // namespace lumaqc

#endif  // HWY_ONCE
