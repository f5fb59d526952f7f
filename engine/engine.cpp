#include "engine/engine.h"

#include <algorithm>

namespace lumaqc {

double clockMs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1.0e6;
}

double elapsedMs(clockid_t clock, double startMs) {
    return std::max(0.0, clockMs(clock) - startMs);
}

Engine::Engine(int32_t width, int32_t height, double fps, clockid_t clock, Pictures pictures)
    : width_(width),
      height_(height),
      fps_(fps),
      clock_(clock),
      current_(pictures == Pictures::Owned ? Picture(width, height) : Picture()),
      previous_(pictures == Pictures::Owned ? Picture(width, height) : Picture()),
      temporal_(createTemporalState(width, height)),
      flickerChanges_(pictures == Pictures::Owned ? flickeringBlocks(width, height) : 0) {}

Engine::~Engine() {
    freeTemporalState(temporal_);
}

namespace {

// Points `frame` at `shared`, emptied for a new frame: the first indicator
// that reads each result computes it.
void shareFor(FrameContext& frame, Engine::Shared& shared) {
    shared.blockStats.ready = false;
    frame.blockStats = &shared.blockStats;
    shared.structure.ready = false;
    frame.structure = &shared.structure;
    shared.roberts.ready = false;
    frame.roberts = &shared.roberts;
}

// Makes the worker's blur step the latest, unless a later frame's is there.
void publishBlur(const Engine::Worker& worker) {
    const int32_t step = worker.blur.previousStep;
    if (step < -1 || step > 0xfffe || worker.frame < 0 || worker.frame >= int64_t{1} << 46) return;
    const int64_t mine = (worker.frame + 1) << 16 | (step + 1);
    int64_t latest = worker.latestBlur->load(std::memory_order_relaxed);
    while ((latest >> 16) < worker.frame + 1 &&
           !worker.latestBlur->compare_exchange_weak(latest, mine, std::memory_order_relaxed)) {
    }
}

}  // namespace

// Runs the indicators of one stage in registry order (blur aside in a
// parallel run, see below), timing each call. One reading of the clock ends
// a call and begins the next: a reading of a thread's CPU clock is a system
// call of about half a microsecond, a per cent of a 1080p frame when each
// call took two.
void Engine::computeStage(Stage stage, const FrameContext& frame, FrameValues& values,
                          IndicatorSeconds& seconds, Worker* worker) const {
    double mark = clockMs(clock_);
    const auto compute = [&](const IndicatorInfo& info) {
        values[info.id] = info.compute(frame);
        const double now = clockMs(clock_);
        seconds[info.id] += static_cast<float>(std::max(0.0, now - mark) / 1000.0);
        mark = now;
    };
    // In a parallel run, consecutive frames mostly go to different threads
    // and start almost together: blur comes first in even frames and last
    // in odd ones, so that an odd frame's blur finds its predecessor's step
    // (the values do not depend on the order).
    const bool shared = worker != nullptr && worker->latestBlur != nullptr;
    const bool blurFirst = shared && worker->frame % 2 == 0;
    const IndicatorInfo* blurInfo = nullptr;
    for (const IndicatorInfo& info : indicatorRegistry()) {
        if (info.stage != stage) continue;
        if (shared && info.id == kBlur) {
            blurInfo = &info;
            break;
        }
    }
    const auto computeBlur = [&] {
        const int64_t latest = worker->latestBlur->load(std::memory_order_relaxed);
        if (latest != 0) worker->blur.previousStep = static_cast<int32_t>(latest & 0xffff) - 1;
        compute(*blurInfo);
        publishBlur(*worker);
    };
    if (blurInfo != nullptr && blurFirst) computeBlur();
    for (const IndicatorInfo& info : indicatorRegistry()) {
        if (info.stage != stage || &info == blurInfo) continue;
        compute(info);
    }
    if (blurInfo != nullptr && !blurFirst) computeBlur();
}

const FrameValues& Engine::analyze() {
    FrameContext frame;
    frame.current = &current_.image();
    frame.previous = &previous_.image();
    frame.temporal = &temporal_;
    frame.blur = &blur_;
    frame.flickerChanges = flickerChanges_.data();
    shareFor(frame, shared_);
    frame.fps = fps_;
    frame.values = &values_;
    values_.fill(0.0);
    computeStage(Stage::Spatial, frame, values_, seconds_);
    if (frames_ > 0) {
        computeStage(Stage::Pairwise, frame, values_, seconds_);
        computeStage(Stage::Sequential, frame, values_, seconds_);
    }
    current_.swap(previous_);
    ++frames_;
    return values_;
}

void Engine::computeIndependent(const Image& current, const Image* previous, Worker& worker,
                                FrameValues& values, uint8_t* flickerChanges) const {
    FrameContext frame;
    frame.current = &current;
    frame.previous = previous;
    frame.blur = &worker.blur;
    frame.flickerChanges = flickerChanges;
    shareFor(frame, worker.shared);
    frame.fps = fps_;
    frame.values = &values;
    values.fill(0.0);
    computeStage(Stage::Spatial, frame, values, worker.seconds, &worker);
    if (previous == nullptr) return;
    computeStage(Stage::Pairwise, frame, values, worker.seconds);
}

void Engine::computeSequential(const Image& current, const Image& previous, FrameValues& values,
                               uint8_t* flickerChanges) {
    FrameContext frame;
    frame.current = &current;
    frame.previous = &previous;
    frame.temporal = &temporal_;
    frame.flickerChanges = flickerChanges;
    frame.fps = fps_;
    frame.values = &values;
    computeStage(Stage::Sequential, frame, values, seconds_);
}

}  // namespace lumaqc
