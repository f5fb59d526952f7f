// The fifteen indicators, in the column order of the log and of the JSON
// document, and one frame's values.
#pragma once

#include <array>

namespace lumaqc {

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

// Stable snake_case key of an indicator ("block_loss"), for machine-readable
// output, and its human-readable name ("Block loss").
const char* indicatorKey(IndicatorId id);
const char* indicatorName(IndicatorId id);

}  // namespace lumaqc
