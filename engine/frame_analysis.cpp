#include "engine/frame_analysis.h"

namespace lumaqc {

double clockMs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1.0e6;
}

void computeStage(Stage stage, const StageInput& input, FrameValues& values,
                  IndicatorSeconds& seconds, clockid_t clock) {
    FrameContext frame;
    frame.current = input.current;
    frame.previous = input.previous;
    frame.state = input.state;
    frame.fps = input.fps;
    frame.values = &values;
    for (const IndicatorInfo& info : indicatorRegistry()) {
        if (info.stage != stage) continue;
        const double before = clockMs(clock);
        values[info.id] = info.compute(frame);
        const double after = clockMs(clock);
        seconds[info.id] += static_cast<float>((after - before) / 1000.0);
    }
}

void computeFrame(const StageInput& input, bool first, FrameValues& values,
                  IndicatorSeconds& seconds, clockid_t clock) {
    values.fill(0.0);
    computeStage(Stage::Spatial, input, values, seconds, clock);
    if (first) return;
    computeStage(Stage::Pairwise, input, values, seconds, clock);
    computeStage(Stage::Sequential, input, values, seconds, clock);
}

}  // namespace lumaqc
