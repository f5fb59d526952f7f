// The field measures of a row, vectorised: every lane an even column, in
// 16-bit integers (no value exceeds 510 in magnitude); the sums are integers,
// the same on every target.
#include "qc/picture_fields.h"

#include <algorithm>
#include <cstdlib>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "qc/picture_fields.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace lumaqc::qc::fields_simd {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// Whether the sample combs against the other field (see kComb); the test of
// both signs without a branch: min(up, down) > 0 when it stands above both
// neighbours, -max(up, down) > 0 when below both, never both. The own
// field's distance is halved and truncated, so twice it is |..| & ~1.
inline int32_t combs(const uint8_t* p, std::ptrdiff_t stride) {
    const int32_t c = p[0];
    const int32_t up = c - p[-stride];
    const int32_t down = c - p[stride];
    const int32_t zig = std::max(0, std::min(up, down)) + std::max(0, -std::max(up, down));
    const int32_t own2 = std::abs(2 * c - p[-2 * stride] - p[2 * stride]) & ~1;
    return static_cast<int32_t>(zig > kComb) & static_cast<int32_t>(zig > own2);
}

#if HWY_TARGET != HWY_SCALAR
using D16 = hn::ScalableTag<int16_t>;

// The even columns of the 2 x Lanes bytes at p, one per 16-bit lane (the
// low byte of each pair: x86 is little-endian).
inline hn::Vec<D16> evens(D16 d16, const uint8_t* p) {
    const hn::Repartition<uint8_t, D16> d8;
    return hn::And(hn::BitCast(d16, hn::LoadU(d8, p)), hn::Set(d16, 0xFF));
}

// The odd columns of the same bytes: p[1], p[3] ... (the high byte of each
// pair).
inline hn::Vec<D16> odds(D16 d16, const uint8_t* p) {
    const hn::Repartition<uint8_t, D16> d8;
    const hn::RebindToUnsigned<D16> du16;
    return hn::BitCast(d16, hn::ShiftRight<8>(hn::BitCast(du16, hn::LoadU(d8, p))));
}

inline hn::Mask<D16> combsV(D16 d16, hn::Vec<D16> c, hn::Vec<D16> up1, hn::Vec<D16> down1,
                            hn::Vec<D16> up2, hn::Vec<D16> down2) {
    const auto zero = hn::Zero(d16);
    const auto up = hn::Sub(c, up1);
    const auto down = hn::Sub(c, down1);
    const auto zig =
        hn::Add(hn::Max(zero, hn::Min(up, down)), hn::Max(zero, hn::Sub(zero, hn::Max(up, down))));
    const auto own2 =
        hn::And(hn::Abs(hn::Sub(hn::Add(c, c), hn::Add(up2, down2))), hn::Set(d16, ~1));
    return hn::And(hn::Gt(zig, hn::Set(d16, kComb)), hn::Gt(zig, own2));
}

// Adds the 16-bit lanes (each below 2^15) into 32-bit ones.
inline hn::Vec<hn::Repartition<uint32_t, D16>> widened(hn::Vec<D16> v) {
    const hn::Repartition<uint32_t, D16> d32;
    const auto pairs = hn::BitCast(d32, v);
    return hn::Add(hn::And(pairs, hn::Set(d32, 0xFFFFu)), hn::ShiftRight<16>(pairs));
}
#endif

void AddFieldRow(const uint8_t* row, const uint8_t* before, std::ptrdiff_t s, std::ptrdiff_t w,
                 int32_t width, FieldRowSums& sums) {
    int32_t x = 0;
#if HWY_TARGET != HWY_SCALAR
    const D16 d16;
    const hn::Repartition<uint32_t, D16> d32;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d16));
    // Runs of 2^16 columns at most, so that the sums over all lanes stay
    // below 2^15 x 510 < 2^32; 64 vectors at most between widenings of the
    // 16-bit sums: 64 x 510 < 2^15.
    while (x + 2 * lanes <= width) {
        auto moving32 = hn::Zero(d32), combed32 = hn::Zero(d32), away32 = hn::Zero(d32);
        for (const int32_t end = x + (1 << 16); x < end && x + 2 * lanes <= width;) {
            auto moving = hn::Zero(d16), combed = hn::Zero(d16), away = hn::Zero(d16);
            const auto one = hn::Set(d16, 1);
            const auto motion = hn::Set(d16, kMotion);
            for (int32_t k = 0; k < 64 && x + 2 * lanes <= width; ++k, x += 2 * lanes) {
                const uint8_t* p = row + x;
                const auto c = evens(d16, p);
                const auto then = evens(d16, before + x);
                const auto mov = hn::Gt(hn::Abs(hn::Sub(c, then)), motion);
                // Every sum counts moving samples only: a still stretch
                // adds nothing.
                if (hn::AllFalse(d16, mov)) continue;
                const auto up2 = evens(d16, p - 2 * s), up1 = evens(d16, p - s);
                const auto down1 = evens(d16, p + s), down2 = evens(d16, p + 2 * s);
                const auto down3 = evens(d16, p + 3 * s);
                const auto thenUp = evens(d16, before + x - w);
                const auto thenDown = evens(d16, before + x + w);
                const auto comb = hn::And(combsV(d16, c, up1, down1, up2, down2),
                                          combsV(d16, down1, c, down2, up1, down3));
                const auto a = hn::Abs(hn::Sub(hn::Add(c, c), hn::Add(thenUp, thenDown)));
                moving = hn::Add(moving, hn::IfThenElseZero(mov, one));
                combed = hn::Add(combed, hn::IfThenElseZero(hn::And(mov, comb), one));
                away = hn::Add(away, hn::IfThenElseZero(mov, a));
            }
            moving32 = hn::Add(moving32, widened(moving));
            combed32 = hn::Add(combed32, widened(combed));
            away32 = hn::Add(away32, widened(away));
        }
        sums.moving += hn::GetLane(hn::SumOfLanes(d32, moving32));
        sums.combed += hn::GetLane(hn::SumOfLanes(d32, combed32));
        sums.away += hn::GetLane(hn::SumOfLanes(d32, away32));
    }
#endif
    for (; x < width; x += 2) {
        const int32_t c = row[x];
        if (std::abs(c - before[x]) <= kMotion) continue;
        ++sums.moving;
        sums.combed += combs(row + x, s) & combs(row + x + s, s);
        sums.away += std::abs(2 * c - before[x - w] - before[x + w]);
    }
}

// Adds the moving sample at column x (even) to the moves it matches.
inline void addShiftSample(const uint8_t* row, const uint8_t* before, std::ptrdiff_t w,
                           int32_t width, int32_t x, ShiftSums& sums) {
    const int32_t c = row[x];
    if (std::abs(c - before[x]) <= kMotion) return;
    const auto near = [c](int32_t then) {
        return static_cast<int64_t>(std::abs(c - then) <= kMotion);
    };
    sums[kUpDown] += near(before[x - w]) | near(before[x + w]);
    if (x > 0) {
        sums[kUpDownLeft] += near(before[x - w - 1]) | near(before[x + w - 1]);
        sums[kSideLeft] += near(before[x - 1]);
    }
    if (x + 1 < width) {
        sums[kUpDownRight] += near(before[x - w + 1]) | near(before[x + w + 1]);
        sums[kSideRight] += near(before[x + 1]);
    }
}

void AddShiftRow(const uint8_t* row, const uint8_t* before, std::ptrdiff_t w, int32_t width,
                 ShiftSums& sums) {
    int32_t x = 0;
#if HWY_TARGET != HWY_SCALAR
    // Column 0 has no column to its left: sample by sample, and the vectors
    // from column 2 read the previous picture's column to the left within
    // the row (the odd bytes of the pairs from x - 2); the last lane's
    // column to the right is still below width.
    if (width > 0) {
        addShiftSample(row, before, w, width, 0, sums);
        x = 2;
    }
    const D16 d16;
    const hn::Repartition<uint32_t, D16> d32;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d16));
    // The same runs as the field sums: counts of 64 vectors at most in 16
    // bits, of 2^16 columns at most in 32.
    while (x + 2 * lanes <= width) {
        hn::Vec<decltype(d32)> sums32[kShifts];
        for (auto& v : sums32) v = hn::Zero(d32);
        for (const int32_t end = x + (1 << 16); x < end && x + 2 * lanes <= width;) {
            hn::Vec<D16> counts[kShifts];
            for (auto& v : counts) v = hn::Zero(d16);
            const auto one = hn::Set(d16, 1);
            const auto motion = hn::Set(d16, kMotion);
            const auto nearer = hn::Set(d16, kMotion + 1);
            for (int32_t k = 0; k < 64 && x + 2 * lanes <= width; ++k, x += 2 * lanes) {
                const auto c = evens(d16, row + x);
                const auto mov = hn::Gt(hn::Abs(hn::Sub(c, evens(d16, before + x))), motion);
                if (hn::AllFalse(d16, mov)) continue;
                // Within kMotion of either sample: of the nearer one.
                const auto near2 = [&](hn::Vec<D16> a, hn::Vec<D16> b) {
                    return hn::Gt(nearer, hn::Min(hn::Abs(hn::Sub(c, a)), hn::Abs(hn::Sub(c, b))));
                };
                const auto near = [&](hn::Vec<D16> a) {
                    return hn::Gt(nearer, hn::Abs(hn::Sub(c, a)));
                };
                const uint8_t* up = before + x - w;
                const uint8_t* down = before + x + w;
                const hn::Mask<D16> match[kShifts] = {
                    near2(odds(d16, up - 2), odds(d16, down - 2)),
                    near2(evens(d16, up), evens(d16, down)),
                    near2(odds(d16, up), odds(d16, down)),
                    near(odds(d16, before + x - 2)),
                    near(odds(d16, before + x)),
                };
                for (int i = 0; i < kShifts; ++i) {
                    counts[i] = hn::Add(counts[i], hn::IfThenElseZero(hn::And(mov, match[i]), one));
                }
            }
            for (int i = 0; i < kShifts; ++i) sums32[i] = hn::Add(sums32[i], widened(counts[i]));
        }
        for (int i = 0; i < kShifts; ++i) sums[i] += hn::GetLane(hn::SumOfLanes(d32, sums32[i]));
    }
#endif
    for (; x < width; x += 2) addShiftSample(row, before, w, width, x, sums);
}

}  // namespace HWY_NAMESPACE
}  // namespace lumaqc::qc::fields_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumaqc::qc {

namespace fields_simd {
HWY_EXPORT(AddFieldRow);
HWY_EXPORT(AddShiftRow);
}  // namespace fields_simd

void addFieldRow(const uint8_t* row, const uint8_t* before, std::ptrdiff_t stride,
                 std::ptrdiff_t previousStride, int32_t width, FieldRowSums& sums) {
    HWY_DYNAMIC_DISPATCH(fields_simd::AddFieldRow)
    (row, before, stride, previousStride, width, sums);
}

void addShiftRow(const uint8_t* row, const uint8_t* before, std::ptrdiff_t previousStride,
                 int32_t width, ShiftSums& sums) {
    HWY_DYNAMIC_DISPATCH(fields_simd::AddShiftRow)(row, before, previousStride, width, sums);
}

}  // namespace lumaqc::qc
#endif  // HWY_ONCE
