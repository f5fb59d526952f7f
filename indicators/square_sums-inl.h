// Sums of squares of 8-bit values in vectors, for the kernels that add them
// up over a picture (temporal activity's differences, the block statistics'
// samples). Included once per vector target by a file that goes through
// hwy/foreach_target.h, after hwy/highway.h.
#if defined(LUMAQC_SQUARE_SUMS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LUMAQC_SQUARE_SUMS_INL_H_
#undef LUMAQC_SQUARE_SUMS_INL_H_
#else
#define LUMAQC_SQUARE_SUMS_INL_H_
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumaqc::square_sums {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR
// The squares of a vector of 8-bit values `v`, added pairwise into the
// 32-bit lanes of `even` and `odd` (even and odd samples in 16-bit lanes,
// without shuffles). Each call adds at most 4 * 255^2 to a lane. Both
// accumulators matter: x86 targets add every product into `even`, the
// portable emu128 target puts the odd lanes' products into `odd`.
template <class D8, class V32>
HWY_INLINE void AddSquares(D8, hn::Vec<D8> v, V32& even, V32& odd) {
    const hn::Repartition<uint16_t, D8> du16;
    const hn::Repartition<int16_t, D8> d16;
    const hn::Repartition<int32_t, D8> d32;
    const auto pairs = hn::BitCast(d16, v);
    const auto lo = hn::And(pairs, hn::Set(d16, 0xFF));
    const auto hi = hn::BitCast(d16, hn::ShiftRight<8>(hn::BitCast(du16, pairs)));
    even = hn::ReorderWidenMulAccumulate(d32, lo, lo, even, odd);
    even = hn::ReorderWidenMulAccumulate(d32, hi, hi, even, odd);
}

// `even` and `odd` folded into the 64-bit lanes of `total`.
template <class D8, class V32, class V64>
HWY_INLINE V64 FoldSquares(D8, V32 even, V32 odd, V64 total) {
    const hn::Repartition<int32_t, D8> d32;
    const hn::Half<decltype(d32)> dh32;
    const hn::Repartition<int64_t, D8> d64;
    const auto both = hn::Add(even, odd);
    total = hn::Add(total, hn::PromoteTo(d64, hn::LowerHalf(dh32, both)));
    return hn::Add(total, hn::PromoteTo(d64, hn::UpperHalf(dh32, both)));
}
#endif

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::square_sums
HWY_AFTER_NAMESPACE();

#endif  // LUMAQC_SQUARE_SUMS_INL_H_
