#include "engine/run.h"

#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>

#include "engine/frame_analysis.h"

namespace lumaqc {

namespace {

// Last index (exclusive) of the run; counts near the 64-bit limit stop there.
int64_t endIndex(const RunOptions& options) {
    if (options.untilEnd) return std::numeric_limits<int64_t>::max();
    if (options.frames <= 0) return options.start;
    if (options.start > std::numeric_limits<int64_t>::max() - options.frames) {
        return std::numeric_limits<int64_t>::max();
    }
    return options.start + options.frames;
}

bool stopRequested(const RunOptions& options) {
    return options.stop != nullptr && options.stop->load() != 0;
}

RunOutcome sinkFailure(const ResultSink& sink, int64_t done) {
    return RunOutcome{-1, sink.error() + "\n", false, done};
}

// Hands the row to every sink, even after one has failed, so that an output
// that fails (a closed pipe, a full disk) costs no other output this row; the
// first failure then stops the run.
bool emit(const std::vector<ResultSink*>& sinks, int64_t index, const lumaqc::FrameValues& values,
          RunOutcome& outcome) {
    const ResultSink* failed = nullptr;
    for (ResultSink* sink : sinks) {
        if (!sink->frame(index, values) && failed == nullptr) failed = sink;
    }
    if (failed != nullptr) {
        outcome = sinkFailure(*failed, outcome.framesDone);
        return false;
    }
    ++outcome.framesDone;
    return true;
}

// One thread: the frame loop as plainly as it can be written. The current and
// the previous picture exchange their arrays after every frame.
RunOutcome runSingle(FrameSource& source, const RunOptions& options,
                     const std::vector<ResultSink*>& sinks, RunSummary& summary) {
    const SourceInfo& info = source.info();
    Image current = callocImage(info.width, info.height);
    Image previous = callocImage(info.width, info.height);
    TemporalState temporal = createTemporalState(info.width, info.height);
    RunOutcome outcome;
    lumaqc::FrameValues values{};
    const double start = clockMs(CLOCK_PROCESS_CPUTIME_ID);
    const int64_t end = endIndex(options);
    for (int64_t i = options.start; i < end; ++i) {
        if (stopRequested(options)) {
            outcome.stopped = true;
            break;
        }
        const ReadResult read = source.read(i, current.data);
        // A signal that interrupted a blocked read stops the run; it is no read error.
        if (read.status != ReadStatus::Ok && stopRequested(options)) {
            outcome.stopped = true;
            break;
        }
        if (read.status == ReadStatus::End) break;
        if (read.status == ReadStatus::Error) {
            outcome = RunOutcome{-1, read.message, read.messageOnStdout, outcome.framesDone};
            break;
        }
        const StageInput input{&current, &previous, &temporal, options.fps};
        computeFrame(input, i == options.start, values, summary.seconds, CLOCK_PROCESS_CPUTIME_ID);
        if (!emit(sinks, i, values, outcome)) break;
        std::swap(current.data, previous.data);
    }
    summary.overallSeconds = (clockMs(CLOCK_PROCESS_CPUTIME_ID) - start) / 1000.0;
    freeImage(current);
    freeImage(previous);
    freeTemporalState(temporal);
    return outcome;
}

// Several threads: the calling thread and threads - 1 workers, so that as
// many threads are busy as asked for. The calling thread reads frames in
// order into a ring of slots and queues them; workers compute the
// single-frame and pairwise indicators of queued frames (whose predecessor is
// in its slot too). While the next frame to emit is not done, the calling
// thread computes queued frames itself; it then runs the sequential
// indicators and emits the rows strictly in frame order.
class ParallelRun {
  public:
    ParallelRun(FrameSource& source, const RunOptions& options,
                const std::vector<ResultSink*>& sinks)
        : source_(source), options_(options), sinks_(sinks) {
        const SourceInfo& info = source.info();
        slots_.resize(static_cast<size_t>(options.threads) * 2 + 2);
        for (Slot& slot : slots_) slot.picture = callocImage(info.width, info.height);
        temporal_ = createTemporalState(info.width, info.height);
        workerSeconds_.resize(static_cast<size_t>(options.threads - 1));
    }

    ~ParallelRun() {
        for (Slot& slot : slots_) freeImage(slot.picture);
        freeTemporalState(temporal_);
    }

    RunOutcome run(RunSummary& summary) {
        std::vector<std::thread> workers;
        for (int t = 0; t + 1 < options_.threads; ++t) {
            workers.emplace_back([this, t] { work(t); });
        }
        const double start = clockMs(CLOCK_MONOTONIC);
        RunOutcome outcome = loop();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        workAvailable_.notify_all();
        for (std::thread& worker : workers) worker.join();
        summary.overallSeconds = (clockMs(CLOCK_MONOTONIC) - start) / 1000.0;
        for (const IndicatorSeconds& seconds : workerSeconds_) {
            for (size_t i = 0; i < seconds.size(); ++i) summary.seconds[i] += seconds[i];
        }
        for (size_t i = 0; i < mainSeconds_.size(); ++i) summary.seconds[i] += mainSeconds_[i];
        return outcome;
    }

  private:
    struct Slot {
        Image picture{};
        int64_t index = -1;
        lumaqc::FrameValues values{};
        bool queued = false;
        bool done = false;
    };

    Slot& slotOf(int64_t index) {
        return slots_[static_cast<size_t>(index - options_.start) % slots_.size()];
    }

    void work(int t) {
        // Stop signals go to the reading thread, where they can interrupt a
        // blocked read.
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
        IndicatorSeconds& seconds = workerSeconds_[static_cast<size_t>(t)];
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            workAvailable_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            computeQueued(lock, seconds);
        }
    }

    // Takes the first queued frame and computes its single-frame and pairwise
    // indicators with the lock released; `lock` holds mutex_ on entry and on
    // return.
    void computeQueued(std::unique_lock<std::mutex>& lock, IndicatorSeconds& seconds) {
        const int64_t index = queue_.front();
        queue_.pop_front();
        Slot& slot = slotOf(index);
        const bool first = index == options_.start;
        const Image* previous = first ? nullptr : &slotOf(index - 1).picture;
        lock.unlock();

        StageInput input{&slot.picture, previous, nullptr, options_.fps};
        slot.values.fill(0.0);
        computeStage(Stage::Spatial, input, slot.values, seconds, CLOCK_THREAD_CPUTIME_ID);
        if (!first) {
            computeStage(Stage::Pairwise, input, slot.values, seconds, CLOCK_THREAD_CPUTIME_ID);
        }

        lock.lock();
        slot.done = true;
        frameDone_.notify_all();
    }

    // Reads, dispatches and emits; returns when the run is over.
    RunOutcome loop() {
        RunOutcome outcome;
        const int64_t end = endIndex(options_);
        int64_t nextRead = options_.start;
        int64_t nextEmit = options_.start;
        bool sourceEnded = false;
        // A slot is free once the frame after it was emitted (it served as
        // that frame's previous picture), so at most slots - 1 frames are in
        // flight beyond the last emitted one.
        const int64_t window = static_cast<int64_t>(slots_.size()) - 1;
        for (;;) {
            while (!sourceEnded && nextRead < end && nextRead - nextEmit < window) {
                if (stopRequested(options_)) {
                    outcome.stopped = true;
                    sourceEnded = true;
                    break;
                }
                Slot& slot = slotOf(nextRead);
                const ReadResult read = source_.read(nextRead, slot.picture.data);
                if (read.status != ReadStatus::Ok) {
                    sourceEnded = true;
                    if (stopRequested(options_)) {
                        outcome.stopped = true;
                    } else if (read.status == ReadStatus::Error) {
                        pendingError_ = read;
                        errorAt_ = nextRead;
                    }
                    break;
                }
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    slot.index = nextRead;
                    slot.done = false;
                    queue_.push_back(nextRead);
                }
                workAvailable_.notify_one();
                ++nextRead;
            }
            if (nextEmit == nextRead) break;  // everything read was emitted

            Slot& slot = slotOf(nextEmit);
            {
                // Help with queued frames until the next one to emit is done.
                std::unique_lock<std::mutex> lock(mutex_);
                while (!slot.done) {
                    if (!queue_.empty()) {
                        computeQueued(lock, mainSeconds_);
                    } else {
                        frameDone_.wait(lock,
                                        [&slot, this] { return slot.done || !queue_.empty(); });
                    }
                }
            }
            if (nextEmit != options_.start) {
                StageInput input{&slot.picture, &slotOf(nextEmit - 1).picture, &temporal_,
                                 options_.fps};
                computeStage(Stage::Sequential, input, slot.values, mainSeconds_,
                             CLOCK_THREAD_CPUTIME_ID);
            }
            if (!emit(sinks_, nextEmit, slot.values, outcome)) return outcome;
            ++nextEmit;
        }
        if (errorAt_ >= 0) {
            outcome.status = -1;
            outcome.message = pendingError_.message;
            outcome.messageOnStdout = pendingError_.messageOnStdout;
        }
        return outcome;
    }

    FrameSource& source_;
    const RunOptions& options_;
    const std::vector<ResultSink*>& sinks_;
    std::vector<Slot> slots_;
    TemporalState temporal_{};
    std::vector<IndicatorSeconds> workerSeconds_;
    IndicatorSeconds mainSeconds_{};
    std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::condition_variable frameDone_;
    std::deque<int64_t> queue_;
    bool stopping_ = false;
    ReadResult pendingError_;
    int64_t errorAt_ = -1;
};

}  // namespace

RunOutcome runAnalysis(FrameSource& source, const RunOptions& options,
                       const std::vector<ResultSink*>& sinks) {
    RunInfo info;
    info.source = &source.info();
    info.fps = options.fps;
    info.frames = options.untilEnd ? -1 : options.frames;
    info.start = options.start;
    info.threads = options.threads;
    for (ResultSink* sink : sinks) {
        if (!sink->begin(info)) return sinkFailure(*sink, 0);
    }

    RunSummary summary;
    RunOutcome outcome;
    if (options.threads <= 1) {
        outcome = runSingle(source, options, sinks, summary);
    } else {
        ParallelRun run(source, options, sinks);
        outcome = run.run(summary);
    }
    if (outcome.status != 0) return outcome;

    summary.framesDone = outcome.framesDone;
    // A stream that ended before the frames asked for, or a stop, leaves
    // fewer frames to average over.
    const bool endedEarly = options.frames > 0 && outcome.framesDone < options.frames;
    summary.frames = options.untilEnd || endedEarly ? outcome.framesDone : options.frames;
    summary.complete = !outcome.stopped;
    for (ResultSink* sink : sinks) {
        if (!sink->end(summary)) return sinkFailure(*sink, outcome.framesDone);
    }
    return outcome;
}

}  // namespace lumaqc
