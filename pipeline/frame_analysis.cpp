#include "pipeline/frame_analysis.h"

namespace {

Stage stageOf(const IndicatorInfo& info) {
    if (!info.temporal) return Stage::Spatial;
    return info.sequential ? Stage::Sequential : Stage::Pairwise;
}

}  // namespace

double clockMs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1.0e6;
}

void computeStage(Stage stage, const StageInput& input, lumaqc::FrameValues& values,
                  IndicatorSeconds& seconds, clockid_t clock) {
    FrameContext frame;
    frame.current = input.current;
    frame.previous = input.previous;
    frame.state = input.state;
    frame.fps = input.fps;
    frame.values = values;
    for (const IndicatorInfo& info : indicatorTable()) {
        if (stageOf(info) != stage) continue;
        const double before = clockMs(clock);
        frame.values[info.id] = info.compute(frame);
        const double after = clockMs(clock);
        seconds[info.id] += static_cast<float>((after - before) / 1000.0);
    }
    values = frame.values;
}

void computeFrame(const StageInput& input, bool first, lumaqc::FrameValues& values,
                  IndicatorSeconds& seconds, clockid_t clock) {
    values.fill(0.0);
    computeStage(Stage::Spatial, input, values, seconds, clock);
    if (first) return;
    computeStage(Stage::Pairwise, input, values, seconds, clock);
    computeStage(Stage::Sequential, input, values, seconds, clock);
}
