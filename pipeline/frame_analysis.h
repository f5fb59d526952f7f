// One frame through the indicator table, in three stages: the single-frame
// indicators and the pairwise one (temporal activity) may run for different
// frames at once; the sequential ones (freezing, flickering) keep state and
// must run once per frame, in frame order.
#pragma once

#include <time.h>

#include <array>

#include "report/indicator_table.h"

// Seconds spent in each indicator, indexed by IndicatorId, accumulated in
// single precision call by call.
using IndicatorSeconds = std::array<float, kIndicatorCount>;

// Reads `clock` in milliseconds.
double clockMs(clockid_t clock);

enum class Stage {
    Spatial,     // current picture only
    Pairwise,    // current and previous picture, no state
    Sequential,  // previous picture and the temporal state; in frame order
};

// The frame an indicator stage works on. `values` holds the results of the
// earlier stages of the same frame (freezing reads temporal activity and
// blackout) and receives this stage's results.
struct StageInput {
    const Image* current = nullptr;
    const Image* previous = nullptr;
    TemporalState* state = nullptr;
    double fps = 0.0;
};

// Runs the indicators of one stage in table order, timing each call with
// `clock` into `seconds`.
void computeStage(Stage stage, const StageInput& input, lumaqc::FrameValues& values,
                  IndicatorSeconds& seconds, clockid_t clock);

// All stages of one frame in table order; `first` leaves the temporal
// indicators at their initial zeros.
void computeFrame(const StageInput& input, bool first, lumaqc::FrameValues& values,
                  IndicatorSeconds& seconds, clockid_t clock);
