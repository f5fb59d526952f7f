// The per-sample part of the field measures (see PictureMeasures): on every
// other column of a row, whether the sample moves against the previous
// picture, whether it and the sample below comb, and its distance to the
// previous picture's other field; apart, which moves of one row or column
// of the previous picture a moving sample matches.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumaqc::qc {

// A sample moves when it differs from the previous picture's by more than
// kMotion; a row combs at a sample when it stands more than kComb levels
// above (or below) both neighbouring rows, the other field's, and more than
// twice as far from them as from the mean of its own field's neighbours.
constexpr int kMotion = 10;
constexpr int kComb = 12;

// The moves of at most one row and one column a moving sample is matched
// against: the previous picture's row above or below at the column to the
// left, at the same column, at the column to the right; its own row at the
// column to the left, to the right. Each counts apart: one motion of the
// whole picture explains it, not a match somewhere around each sample.
enum Shift : int { kUpDownLeft, kUpDown, kUpDownRight, kSideLeft, kSideRight, kShifts };

struct FieldRowSums {
    int64_t moving = 0;  // moving samples
    int64_t combed = 0;  // moving samples combed on their row and the next
    int64_t away = 0;    // moving samples' |2c - a - b| against the previous picture
};

// Per move (see Shift), the moving samples within kMotion of the previous
// picture moved so; a column outside the picture matches nothing.
using ShiftSums = int64_t[kShifts];

// Adds the row's columns 0, 2, 4 ... below `width` to `sums`. The rows from
// two above `row` to three below it and `before` (the previous picture's
// row) with the rows above and below it must exist.
void addFieldRow(const uint8_t* row, const uint8_t* before, std::ptrdiff_t stride,
                 std::ptrdiff_t previousStride, int32_t width, FieldRowSums& sums);

// Adds the row's moving samples on columns 0, 2, 4 ... below `width` to the
// moves they match; `before` with the rows above and below it must exist.
void addShiftRow(const uint8_t* row, const uint8_t* before, std::ptrdiff_t previousStride,
                 int32_t width, ShiftSums& sums);

}  // namespace lumaqc::qc
