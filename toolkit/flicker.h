// Per-block change detection for the flicker indicator.
#pragma once

#include <cstdint>

#include "tools/definitions.h"

namespace lumaqc {

// Updates the per-block switch counters and change states from one pair of
// pictures. The counter picture decides the grid: counters.w x counters.h
// blocks of bs x bs samples tiling the pictures from their top-left corner;
// columns and rows beyond the last whole block are ignored. For each block the
// mean absolute difference m of current and previous is left in `levels`
// (which must start zeroed). A still block (state 0) with m >= threshold
// becomes changing; a changing block (state 1) with m == 0 becomes still; each
// such switch adds 1 to the block's 8-bit counter, wrapping at 256. The states,
// the levels and the counters have the same size; previous matches current.
void calculateFlickering(const Image& current, const Image& previous, Image& counters,
                         Image& states, ImageDouble& levels, int32_t bs, double threshold);

}  // namespace lumaqc
