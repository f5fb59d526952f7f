// One frame through the indicator registry, in three stages: the single-frame
// indicators and the pairwise one (temporal activity) may run for different
// frames at once; the sequential ones (freezing, flickering) keep state and
// must run once per frame, in frame order.
#pragma once

#include <time.h>

#include "indicators/registry.h"

namespace lumaqc {

// Reads `clock` in milliseconds.
double clockMs(clockid_t clock);

// The frame an indicator stage works on.
struct StageInput {
    const Image* current = nullptr;
    const Image* previous = nullptr;
    TemporalState* state = nullptr;
    double fps = 0.0;
};

// Runs the indicators of one stage in registry order, timing each call with
// `clock` into `seconds`. `values` holds the results of the earlier stages of
// the same frame (freezing reads temporal activity and blackout) and receives
// this stage's results.
void computeStage(Stage stage, const StageInput& input, FrameValues& values,
                  IndicatorSeconds& seconds, clockid_t clock);

// All stages of one frame in registry order; `first` leaves the temporal
// indicators at their initial zeros.
void computeFrame(const StageInput& input, bool first, FrameValues& values,
                  IndicatorSeconds& seconds, clockid_t clock);

}  // namespace lumaqc
