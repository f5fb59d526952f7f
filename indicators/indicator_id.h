// The fifteen indicators by identity, and one frame's values: the public
// <lumaqc/indicators.h>, plus what only the library uses. They are computed
// in another order than their columns (see indicators/registry.h).
#pragma once

#include <lumaqc/indicators.h>

#include <array>

namespace lumaqc {

// Seconds spent in each indicator, indexed by IndicatorId, accumulated in
// single precision call by call.
using IndicatorSeconds = std::array<float, kIndicatorCount>;

}  // namespace lumaqc
