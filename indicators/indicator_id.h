// The fifteen indicators by identity, and one frame's values.
//
// Part of the public library interface (installed next to lumaqc/lumaqc.h),
// so it includes nothing of the library.
#pragma once

#include <array>

namespace lumaqc {

// The fifteen indicators, in the column order of the log and of the JSON
// document. They are computed in another order (see indicators/registry.h).
enum IndicatorId : int {
    kBlockiness,
    kSpatialActivity,
    kLetterbox,
    kPillarbox,
    kBlockLoss,
    kBlur,
    kTemporalActivity,
    kBlackout,
    kFreezing,
    kExposure,
    kContrast,
    kInterlace,
    kNoise,
    kSlice,
    kFlickering,
    kIndicatorCount
};

// One frame's values, indexed by IndicatorId. Blackout and freezing are 0 or
// 1; block loss, slice and flickering use -1.0 for "no value" (picture too
// small, or not the end of an eight-frame flicker period); some degenerate
// pictures give NaN or infinity.
using FrameValues = std::array<double, kIndicatorCount>;

// Seconds spent in each indicator, indexed by IndicatorId, accumulated in
// single precision call by call.
using IndicatorSeconds = std::array<float, kIndicatorCount>;

// Stable snake_case key of an indicator ("block_loss"), for machine-readable output.
const char* indicatorKey(IndicatorId id);
// Human-readable name ("Block loss").
const char* indicatorName(IndicatorId id);

}  // namespace lumaqc
