#include "engine/run.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/engine.h"

namespace lumaqc {

void (*runEndedOnUnreadFrame)() = nullptr;

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

// The frame's time and damage as the source reported them; inputs without
// timestamps are timed by their index and the frame rate.
FrameMeta frameMeta(int64_t index, const ReadResult& read, double fps) {
    FrameMeta meta;
    meta.index = index;
    meta.seconds = read.seconds;
    if (std::isnan(meta.seconds) && fps > 0.0) meta.seconds = static_cast<double>(index) / fps;
    meta.damage = read.damage;
    meta.damageMessage = read.damageMessage;
    meta.quantiser = read.quantiser;
    meta.fullRange = read.fullRange;
    meta.colour = read.colour;
    return meta;
}

// The error that ended the input, with the damage it reported.
void readFailure(const ReadResult& read, RunOutcome& outcome) {
    outcome.status = -1;
    outcome.inputFailed = true;
    outcome.message = read.message;
    outcome.messageOnStdout = read.messageOnStdout;
    outcome.damage = read.damage;
    outcome.damageMessage = read.damageMessage;
}

RunOutcome sinkFailure(const ResultSink& sink, int64_t done) {
    RunOutcome outcome;
    outcome.status = -1;
    outcome.message = sink.error() + "\n";
    outcome.framesDone = done;
    return outcome;
}

bool beginSinks(const std::vector<ResultSink*>& sinks, const RunInfo& info, RunOutcome& outcome) {
    for (ResultSink* sink : sinks) {
        if (!sink->begin(info)) {
            outcome = sinkFailure(*sink, 0);
            return false;
        }
    }
    return true;
}

// Once a frame was computed from `current` and `previous`: the error that
// ends the input at it when the samples of either went away meanwhile (a
// mapped file that shrank), else Ok. The frame is the one named, even when
// only its previous picture's samples went (their row was emitted before).
ReadResult lostSamples(const HeldLuma& current, const HeldLuma* previous) {
    const ReadResult before =
        previous != nullptr && previous->lost ? previous->lost(false) : ReadResult{};
    const bool previousLost = before.status != ReadStatus::Ok;
    if (current.lost) return current.lost(previousLost);
    return before;
}

LumaPicture lumaOf(const Image& picture) {
    return LumaPicture{picture.data, picture.w, picture.h, picture.w};
}

// What the sinks measure on a frame's picture besides the indicators: one
// PictureWork per sink, null for those that measure nothing, in the sinks'
// order. A frame in flight has its own.
using PictureWorks = std::vector<std::unique_ptr<PictureWork>>;

PictureWorks pictureWorks(const std::vector<ResultSink*>& sinks) {
    PictureWorks works;
    works.reserve(sinks.size());
    for (const ResultSink* sink : sinks) works.push_back(sink->pictureWork());
    return works;
}

// The sinks' measures of a frame, on the thread that computes its
// indicators; `previous` as for Engine::computeIndependent().
void measurePicture(PictureWorks& works, const Image& current, const Image* previous,
                    const FrameValues& values) {
    const LumaPicture before = previous != nullptr ? lumaOf(*previous) : LumaPicture{};
    for (const std::unique_ptr<PictureWork>& work : works) {
        if (work) work->measure(lumaOf(current), previous != nullptr ? &before : nullptr, values);
    }
}

// Hands the row to every sink, even after one has failed, so that an output
// that fails (a closed pipe, a full disk) costs no other output this row; the
// first failure then stops the run.
// Sinks that asked for pictures get the frame's luma plane first. Samples
// held where the source keeps them (`current`, and `previous` unless the
// frame is the first) are then read no more: if they went away, no row is
// emitted and the input ends with the error lostSamples() gives. Sinks that
// measure pictures get the frame's `works` with its row.
bool emit(const std::vector<ResultSink*>& sinks, const FrameMeta& meta, const FrameValues& values,
          const PictureWorks& works, const Image& picture, RunOutcome& outcome,
          const HeldLuma& current, const HeldLuma* previous) {
    for (ResultSink* sink : sinks) {
        if (sink->wantsPictures()) sink->picture(meta, lumaOf(picture));
    }
    if (const ReadResult lost = lostSamples(current, previous); lost.status != ReadStatus::Ok) {
        readFailure(lost, outcome);
        return false;
    }
    const ResultSink* failed = nullptr;
    for (size_t k = 0; k < sinks.size(); ++k) {
        if (works[k]) sinks[k]->measured(meta, *works[k]);
        if (!sinks[k]->frame(meta, values) && failed == nullptr) failed = sinks[k];
    }
    if (failed != nullptr) {
        outcome = sinkFailure(*failed, outcome.framesDone);
        return false;
    }
    ++outcome.framesDone;
    return true;
}

// The picture a source handed over in place, as the indicators read it (they
// never write to their input).
Image heldImage(const HeldLuma& held, const Image& size) {
    return Image{size.w, size.h, const_cast<uint8_t*>(held.data)};
}

// One thread, from a source that reads concurrently (a raw or Y4M file): a
// helper thread copies the frame after the one being computed out of the
// page cache, so that reading it costs the computing thread nothing, and
// its first pass finds the samples in the caches the copy left them in
// (mapping the frame instead, the page tables of its pages leave the
// computing thread too, but the first pass then reads the samples from
// memory: slower by some 90 us a 1080p frame). Reads are asked for and taken
// in frame order, one at a time.
class ReadAhead {
  public:
    explicit ReadAhead(FrameSource& source) : source_(source), thread_([this] { work(); }) {}
    ~ReadAhead() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ending_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Starts reading frame `index` into `luma`.
    void ask(int64_t index, uint8_t* luma) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            index_ = index;
            luma_ = luma;
            asked_ = true;
            done_ = false;
        }
        changed_.notify_all();
    }

    // The result of the read asked for last, once it is done.
    ReadResult take() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return done_; });
        if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
        return std::move(result_);
    }

  private:
    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return asked_ || ending_; });
            if (ending_) return;
            asked_ = false;
            lock.unlock();
            ReadResult result;
            std::exception_ptr failure;
            try {
                result = source_.read(index_, luma_);
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            result_ = std::move(result);
            failure_ = failure;
            done_ = true;
            changed_.notify_all();
        }
    }

    FrameSource& source_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int64_t index_ = 0;
    uint8_t* luma_ = nullptr;
    bool asked_ = false;
    bool done_ = false;
    bool ending_ = false;
    ReadResult result_;
    std::exception_ptr failure_;
    std::thread thread_;  // last: starts once the rest is set
};

// Whether the process may run on more than one processor: where this thread
// is the only one that can run, a helper would only take turns with it.
bool processorToSpare() {
    cpu_set_t allowed;
    return sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) > 1;
}

// One thread: the frame loop as plainly as it can be written. The frame and
// the one before take turns in pictures, or stay where the source keeps them
// (a decoded picture read in place); from a file, the frame after them is
// read meanwhile (ReadAhead), into a third picture.
RunOutcome runSingle(FrameSource& source, const RunOptions& options, const RunInfo& run,
                     const std::vector<ResultSink*>& sinks, RunSummary& summary) {
    const SourceInfo& info = source.info();
    // Each indicator's time is this thread's alone, whatever reads meanwhile.
    Engine engine(info.width, info.height, options.fps, CLOCK_THREAD_CPUTIME_ID,
                  Engine::Pictures::Caller);
    const size_t turns = options.readAhead && source.readsConcurrently() ? 3 : 2;
    std::vector<Picture> pictures;
    for (size_t k = 0; k < turns; ++k) pictures.emplace_back(info.width, info.height);
    HeldLuma held[3];
    // After what it reads into: it ends (its read done) before they go.
    std::unique_ptr<ReadAhead> ahead;
    try {
        if (turns == 3 && processorToSpare()) ahead = std::make_unique<ReadAhead>(source);
    } catch (const std::system_error&) {
        // No thread to spare: this one reads each frame in turn.
    }
    const auto image = [&](size_t k) {
        return held[k].data != nullptr ? heldImage(held[k], pictures[k].image())
                                       : pictures[k].image();
    };
    std::vector<uint8_t> flickerChanges(flickeringBlocks(info.width, info.height));
    PictureWorks works = pictureWorks(sinks);
    Engine::Worker worker;
    FrameValues values{};
    RunOutcome outcome;
    const double start = clockMs(CLOCK_PROCESS_CPUTIME_ID);
    const int64_t end = beginSinks(sinks, run, outcome) ? endIndex(options) : options.start;
    // With ReadAhead, a stop is looked at as the next read is asked for.
    bool asked = false;  // frame i is being read
    if (ahead && options.start < end && !stopRequested(options)) {
        ahead->ask(options.start, pictures[0].image().data);
        asked = true;
    }
    for (int64_t i = options.start; i < end; ++i) {
        if (ahead ? !asked : stopRequested(options)) {
            outcome.stopped = true;
            break;
        }
        const auto k = static_cast<size_t>(i - options.start) % turns;
        const size_t p = (k + turns - 1) % turns;
        const size_t n = (k + 1) % turns;
        const ReadResult read =
            ahead ? ahead->take() : source.readHeld(i, pictures[k].image().data, held[k]);
        // A signal that interrupted a blocked read stops the run; it is no read error.
        if (read.status != ReadStatus::Ok && stopRequested(options)) {
            outcome.stopped = true;
            break;
        }
        if (read.status == ReadStatus::End) break;
        if (read.status == ReadStatus::Error) {
            readFailure(read, outcome);
            break;
        }
        asked = ahead && i + 1 < end && !stopRequested(options);
        if (asked) ahead->ask(i + 1, pictures[n].image().data);
        const Image current = image(k);
        const Image previous = image(p);
        const bool first = i == options.start;
        engine.computeIndependent(current, first ? nullptr : &previous, worker, values,
                                  flickerChanges.data());
        measurePicture(works, current, first ? nullptr : &previous, values);
        if (!first) engine.computeSequential(current, previous, values, flickerChanges.data());
        if (!emit(sinks, frameMeta(i, read, options.fps), values, works, current, outcome, held[k],
                  first ? nullptr : &held[p])) {
            break;
        }
    }
    summary.overallSeconds = elapsedMs(CLOCK_PROCESS_CPUTIME_ID, start) / 1000.0;
    summary.seconds = engine.seconds();
    for (size_t i = 0; i < worker.seconds.size(); ++i) summary.seconds[i] += worker.seconds[i];
    return outcome;
}

// Several threads: the calling thread and threads - 1 workers, so that as
// many threads are busy as asked for. The calling thread reads frames in
// order into a ring of slots and queues them; workers compute the
// single-frame and pairwise indicators of queued frames (whose predecessor is
// in its slot too) and the sinks' picture measures (PictureWork), and the
// calling thread helps while it cannot read. From
// a source that reads concurrently (a raw or Y4M file), the calling thread only
// queues the frames there are, and the thread that takes a frame reads it
// into its slot, in frame order (after the frame before was read), or maps
// it where the source can: the copy out of the page cache, or the mapping,
// is shared among the threads and the samples are in the cache of the
// thread that computes them. The
// thread that completes the next frame to emit runs the sequential
// indicators and emits the rows strictly in frame order, so a row never waits
// for the reading of a later frame (a live stream that stalls shows every
// frame it delivered).
//
// The pictures of frames read by the thread that computes them are not tied
// to the slots: that thread takes the picture freed last (a stack), as it
// starts to read, and a frame's picture is freed once the frame after it was
// emitted. So a run cycles through as few pictures as are in use at once
// (three or four for two threads, whatever the window), which stay in the
// caches, instead of every slot's in turn: each picture the cycle adds made
// the first pass over a new frame and temporal activity's pass over the
// previous one slower on both cores. Frames read ahead by the calling thread
// (pipes, decoded input) need a picture each as they are read, and keep the
// slots' own. Runs of consecutive frames per thread, so that the previous
// picture comes from the same core, were measured too and left out: they
// need a window, and so a ring of pictures, several runs long, and with the
// same ring temporal activity was no cheaper when its previous picture came
// from the same core.
class ParallelRun {
  public:
    ParallelRun(FrameSource& source, const RunOptions& options,
                const std::vector<ResultSink*>& sinks)
        : source_(source),
          options_(options),
          sinks_(sinks),
          engine_(source.info().width, source.info().height, options.fps, CLOCK_THREAD_CPUTIME_ID,
                  Engine::Pictures::Caller) {
        const SourceInfo& info = source.info();
        slots_.resize(static_cast<size_t>(options.threads) * 2 + 2);
        pooled_ = source.readsConcurrently();
        spare_.reserve(slots_.size());  // never more: the window bounds the pictures in use
        for (Slot& slot : slots_) {
            if (pooled_) {
                spare_.emplace_back(info.width, info.height);
            } else {
                slot.picture = Picture(info.width, info.height);
            }
            slot.flickerChanges.resize(flickeringBlocks(info.width, info.height));
            slot.works = pictureWorks(sinks);
        }
        workers_.resize(static_cast<size_t>(options.threads - 1));
        nextRead_ = nextEmit_ = readTurn_ = options.start;
    }

    // Rethrows what a worker threw (std::bad_alloc, say) once every thread
    // has ended. The sinks begin once the threads are started.
    RunOutcome run(const RunInfo& info, RunSummary& summary) {
        std::vector<std::thread> threads;
        const double start = clockMs(CLOCK_MONOTONIC);
        RunOutcome outcome;
        std::exception_ptr failure;
        try {
            for (size_t t = 0; t < workers_.size(); ++t) {
                try {
                    threads.emplace_back([this, t] { work(workers_[t].worker); });
                } catch (const std::system_error& e) {
                    // The threads started share the frames; the output is the same.
                    const std::string got = std::to_string(t + 1);
                    if (options_.notice) {
                        options_.notice("lumaqc: only " + got + " of the " +
                                        std::to_string(options_.threads) +
                                        " threads asked for could be started (" +
                                        e.code().message() + "); the run goes on with " + got);
                    }
                    break;
                }
            }
            if (beginSinks(sinks_, info, outcome)) outcome = loop();
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            if (!failure) failure = failure_;
        }
        workAvailable_.notify_all();
        for (std::thread& thread : threads) thread.join();
        if (failure) std::rethrow_exception(failure);
        summary.overallSeconds = elapsedMs(CLOCK_MONOTONIC, start) / 1000.0;
        for (const auto& [worker] : workers_) {
            for (size_t i = 0; i < worker.seconds.size(); ++i)
                summary.seconds[i] += worker.seconds[i];
        }
        const Engine::Worker& main = main_.worker;
        for (size_t i = 0; i < main.seconds.size(); ++i) summary.seconds[i] += main.seconds[i];
        for (size_t i = 0; i < engine_.seconds().size(); ++i) {
            summary.seconds[i] += engine_.seconds()[i];
        }
        return outcome;
    }

  private:
    // On cache lines of its own: the thread that computes a frame writes its
    // values while others update the flags of the slots beside it.
    struct alignas(64) Slot {
        // The slot's own picture, or one of spare_ from the frame's read
        // until the frame after it was emitted.
        Picture picture;
        // The frame where the source keeps it, instead of in `picture`.
        HeldLuma held;
        Image view{0, 0, nullptr};
        int64_t index = -1;
        FrameMeta meta;
        FrameValues values{};
        // Flickering's block changes against the frame before, computed by
        // the worker so that the ordered stage only updates the state.
        std::vector<uint8_t> flickerChanges;
        // The sinks' measures of the picture, also taken by that worker.
        PictureWorks works;
        bool fetch = false;  // the thread that computes the frame reads it first
        // The frame read by a worker was not: its read failed or found the
        // end of the input (`read`), or a stop came first (`stopped`). The
        // run ends before it.
        bool unread = false;
        bool stopped = false;
        ReadResult read;
        bool done = false;

        Image& image() { return held.data != nullptr ? view : picture.image(); }
    };

    Slot& slotOf(int64_t index) {
        return slots_[static_cast<size_t>(index - options_.start) % slots_.size()];
    }

    void work(Engine::Worker& worker) {
        // Stop signals go to the reading thread, where they can interrupt a
        // blocked read. Workers that read never wait for input: a signal
        // may come to them, and is seen before the next frame is read.
        if (!source_.readsConcurrently()) {
            sigset_t stopSignals;
            sigemptyset(&stopSignals);
            sigaddset(&stopSignals, SIGINT);
            sigaddset(&stopSignals, SIGTERM);
            pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
        }
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            workAvailable_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            computeQueued(lock, worker);
            lock.unlock();
            emitReady();
            lock.lock();
        }
    }

    // Takes the first queued frame and computes its single-frame and pairwise
    // indicators with the lock released; `lock` holds mutex_ on entry and on
    // return. What the computation throws is kept for run() to rethrow, and
    // the frame counts as done so that nobody waits for it.
    void computeQueued(std::unique_lock<std::mutex>& lock, Engine::Worker& worker) {
        const int64_t index = queue_.front();
        queue_.pop_front();
        Slot& slot = slotOf(index);
        const bool first = index == options_.start;
        std::exception_ptr failure;
        if (slot.fetch) fetch(lock, index, slot, failure);
        // Once the frame before was read: whether it is held in place is
        // known then.
        const Image* previous = first ? nullptr : &slotOf(index - 1).image();
        lock.unlock();
        worker.latestBlur = &latestBlur_;
        worker.frame = index - options_.start;

        try {
            if (!slot.unread) {
                engine_.computeIndependent(slot.image(), previous, worker, slot.values,
                                           slot.flickerChanges.data());
                measurePicture(slot.works, slot.image(), previous, slot.values);
            }
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }

        lock.lock();
        if (failure && !failure_) failure_ = failure;
        slot.done = true;
        frameDone_.notify_all();
    }

    // Reads frame `index` into its slot, in the picture freed last, once the
    // frame before was read, or marks it unread when a stop came, or a read
    // before failed; `lock` holds mutex_ on entry and on return. Frames come
    // out of the queue in order, so the frame before is being read by then:
    // the wait ends.
    void fetch(std::unique_lock<std::mutex>& lock, int64_t index, Slot& slot,
               std::exception_ptr& failure) {
        readDone_.wait(lock, [&] { return readTurn_ == index; });
        slot.picture = std::move(spare_.back());
        spare_.pop_back();
        slot.unread = readsEnded_ || stopRequested(options_);
        slot.stopped = slot.unread;
        if (slot.unread) slot.held = {};
        if (!slot.unread) {
            lock.unlock();
            try {
                // In place where the source keeps the frame (a mapped file,
                // io/mapped_frames.h). A file cut with frames in flight
                // takes their samples away: the emission finds it, and the
                // run ends at the first frame whose samples went.
                slot.read = source_.readHeld(index, slot.picture.image().data, slot.held);
                slot.view = heldImage(slot.held, slot.picture.image());
            } catch (...) {
                failure = std::current_exception();
                slot.read.status = ReadStatus::End;
            }
            lock.lock();
            slot.unread = slot.read.status != ReadStatus::Ok;
        }
        readsEnded_ = readsEnded_ || slot.unread;
        ++readTurn_;
        readDone_.notify_all();
    }

    // Emits, in frame order, every frame from the next one on whose
    // indicators are done, running their sequential indicators first. One
    // thread emits at a time; the others wait their turn, then find nothing
    // left or carry on.
    void emitReady() {
        std::lock_guard<std::mutex> emitting(emitMutex_);
        for (;;) {
            int64_t index = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (failed_ || failure_ || nextEmit_ == nextRead_ || !slotOf(nextEmit_).done) {
                    return;
                }
                index = nextEmit_;
                Slot& slot = slotOf(index);
                if (slot.unread) {
                    // The input ends here: a stop, the read's error or the
                    // end of a file that shrank.
                    if (slot.stopped) {
                        stopped_ = true;
                    } else if (slot.read.status == ReadStatus::Error) {
                        pendingError_ = slot.read;
                        errorAt_ = index;
                    }
                    failed_ = true;
                    queue_.clear();
                    frameDone_.notify_all();
                    if (runEndedOnUnreadFrame != nullptr) runEndedOnUnreadFrame();
                    return;
                }
            }
            Slot& slot = slotOf(index);
            const bool first = index == options_.start;
            if (!first) {
                engine_.computeSequential(slot.image(), slotOf(index - 1).image(), slot.values,
                                          slot.flickerChanges.data());
            }
            const bool emitted =
                emit(sinks_, slot.meta, slot.values, slot.works, slot.image(), outcome_, slot.held,
                     first ? nullptr : &slotOf(index - 1).held);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (emitted) {
                    ++nextEmit_;
                    // The frame before served its last: as previous picture
                    // and with its row.
                    if (pooled_ && index != options_.start) {
                        spare_.push_back(std::move(slotOf(index - 1).picture));
                    }
                } else {
                    failed_ = true;
                    queue_.clear();
                }
            }
            frameDone_.notify_all();
            if (!emitted) return;
        }
    }

    // Reads and dispatches, helping with the computing while it cannot read;
    // returns when every frame read was emitted.
    //
    // Whether the reader may read, and its wait when it may not, are decided
    // under one hold of mutex_: the wait's predicate names every change that
    // lets the reader go on (a frame queued to help with, a frame emitted, a
    // failure), and each of those changes is made under mutex_ and notified
    // on frameDone_. Deciding "the window is full" in one section and waiting
    // in another would let the other threads emit every frame in flight in
    // between, and the reader would then wait for an emission that cannot
    // come. A stop request ends the reading; what is in flight is finished by
    // computations that always end, so every wait ends with it.
    RunOutcome loop() {
        const int64_t end = endIndex(options_);
        bool sourceEnded = false;
        bool stopped = false;
        // A slot is free once the frame after it was emitted (it served as
        // that frame's previous picture), so at most slots - 1 frames are in
        // flight beyond the last emitted one.
        const int64_t window = static_cast<int64_t>(slots_.size()) - 1;
        // nextRead_ and sourceEnded change on this thread only; nextEmit_
        // under mutex_.
        const auto canRead = [&] {
            return !sourceEnded && nextRead_ < end && nextRead_ - nextEmit_ < window;
        };
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (failed_ || failure_) break;  // run() rethrows a failure
            if (canRead()) {
                lock.unlock();
                if (readNext(sourceEnded, stopped)) workAvailable_.notify_one();
                lock.lock();
                continue;
            }
            if (nextEmit_ == nextRead_) break;  // everything read was emitted
            if (!queue_.empty()) {
                // Help with a queued frame, then emit what is ready.
                computeQueued(lock, main_.worker);
                lock.unlock();
                emitReady();
                lock.lock();
                continue;
            }
            frameDone_.wait(lock, [&] {
                return failed_ || failure_ || !queue_.empty() || canRead() ||
                       nextEmit_ == nextRead_;
            });
        }
        lock.unlock();
        std::lock_guard<std::mutex> emitting(emitMutex_);
        RunOutcome outcome = outcome_;
        if (outcome.status == 0) {
            outcome.stopped = stopped || stopped_;
            if (errorAt_ >= 0) readFailure(pendingError_, outcome);
        }
        return outcome;
    }

    // Reads frame nextRead_ into its slot (free: the window is not full) and
    // queues it; true when a frame was queued. A stop request, the end of
    // the input or a read error end the reading. Called without mutex_.
    bool readNext(bool& sourceEnded, bool& stopped) {
        if (stopRequested(options_)) {
            stopped = true;
            sourceEnded = true;
            return false;
        }
        // The slot is free: its earlier frame, read in place or not, is let go.
        Slot& slot = slotOf(nextRead_);
        const bool fetch = pooled_;
        const ReadResult read =
            fetch ? ReadResult{source_.has(nextRead_), "", false}
                  : source_.readHeld(nextRead_, slot.picture.image().data, slot.held);
        if (!fetch) slot.view = heldImage(slot.held, slot.picture.image());
        if (read.status != ReadStatus::Ok) {
            sourceEnded = true;
            if (stopRequested(options_)) {
                stopped = true;
            } else if (read.status == ReadStatus::Error) {
                pendingError_ = read;
                errorAt_ = nextRead_;
            }
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        // The run ended while this frame was looked at (a worker emitted a
        // frame its read found unreadable and emptied the queue): queued now,
        // the frame would wait forever for the read of a frame taken out.
        if (failed_) return false;
        slot.meta = frameMeta(nextRead_, read, options_.fps);
        slot.index = nextRead_;
        slot.fetch = fetch;
        slot.unread = false;
        slot.done = false;
        queue_.push_back(nextRead_);
        ++nextRead_;
        return true;
    }

    FrameSource& source_;
    const RunOptions& options_;
    const std::vector<ResultSink*>& sinks_;
    // The sequential stage, written by the emitting thread, away from what
    // every thread reads (the slots' addresses).
    alignas(64) Engine engine_;
    alignas(64) std::vector<Slot> slots_;
    // A thread's own state, written after each indicator, on cache lines of
    // its own.
    struct alignas(64) ThreadState {
        Engine::Worker worker;
    };
    std::vector<ThreadState> workers_;  // one per worker thread
    ThreadState main_;                  // the calling thread's
    alignas(64) Engine::BlurHint latestBlur_{0};
    alignas(64) std::mutex mutex_;  // guards the queue, the slots' flags and what follows
    std::condition_variable workAvailable_;
    std::condition_variable frameDone_;
    std::condition_variable readDone_;  // readTurn_ moved on
    std::deque<int64_t> queue_;
    bool stopping_ = false;
    int64_t nextRead_ = 0;  // written by the reading thread only
    int64_t nextEmit_ = 0;  // written by the emitting thread only
    // A sink failed, or the frame to emit was not read: nothing more is
    // emitted.
    bool failed_ = false;
    std::exception_ptr failure_;  // the first exception a computation threw
    std::mutex emitMutex_;        // one emitting thread at a time; guards outcome_ and engine_
    RunOutcome outcome_;
    // The read error that ends the input, and at which frame; set by the
    // reading thread or, for frames read by workers, the emitting one.
    ReadResult pendingError_;
    int64_t errorAt_ = -1;
    int64_t readTurn_ = 0;     // the next frame a worker may read
    bool readsEnded_ = false;  // a frame read by a worker was not: no later one is
    bool stopped_ = false;     // a stop came before a worker read a frame
    // The threads that compute frames read them, into pictures of spare_
    // (the freed pictures, the one freed last at the back) instead of the
    // slots' own.
    bool pooled_ = false;
    std::vector<Picture> spare_;
};

// The run itself: begin, the frames, end.
RunOutcome runSinks(FrameSource& source, const RunOptions& options,
                    const std::vector<ResultSink*>& sinks) {
    RunInfo info;
    info.source = &source.info();
    info.fps = options.fps;
    info.frames = options.untilEnd ? -1 : options.frames;
    info.noFrameAsked = !options.untilEnd && options.frames <= 0;
    info.start = options.start;
    info.threads = options.threads;
    RunSummary summary;
    RunOutcome outcome;
    if (options.threads <= 1) {
        outcome = runSingle(source, options, info, sinks, summary);
    } else {
        ParallelRun run(source, options, sinks);
        outcome = run.run(info, summary);
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

}  // namespace

RunOutcome runAnalysis(FrameSource& source, const RunOptions& options,
                       const std::vector<ResultSink*>& sinks) {
    RunOutcome outcome = runSinks(source, options, sinks);
    if (outcome.status == 0) return outcome;
    // The outputs that keep partial results get the frames done, marked
    // incomplete; one that already failed is not reported a second time.
    RunSummary partial;
    partial.complete = false;
    partial.framesDone = outcome.framesDone;
    partial.frames = outcome.framesDone;
    partial.damage = outcome.damage;
    partial.damageMessage = outcome.damageMessage;
    if (outcome.inputFailed) partial.inputError = outcome.message;
    for (ResultSink* sink : sinks) {
        if (!sink->keepsPartialResults() || sink->end(partial)) continue;
        const std::string error = sink->error() + "\n";
        if (error != outcome.message) outcome.laterErrors.push_back(error);
    }
    return outcome;
}

namespace {

// The threads a request asks for: every hardware thread unless a number.
int threadsOf(const AnalysisRequest& request) {
    return request.threads > 0
               ? request.threads
               : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace

Analysis::Analysis(std::unique_ptr<FrameSource> source, const AnalysisRequest& request)
    : source_(std::move(source)) {
    const SourceInfo& input = source_->info();
    options_.fps = request.fps ? *request.fps : input.fpsKnown ? input.fps : 25.0;
    options_.start = request.start;
    options_.frames = request.frames ? *request.frames : input.frames;
    options_.untilEnd = !request.frames && input.frames < 0;
    options_.stop = request.stop;
    options_.notice = request.notice;
    options_.readAhead = request.readAhead;
    options_.threads = threadsOf(request);
}

AnalysisRequest analysisRequest(const Settings& settings) {
    AnalysisRequest request;
    request.path = settings.input;
    request.width = static_cast<int32_t>(settings.width);
    request.height = static_cast<int32_t>(settings.height);
    request.pixelFormat = settings.pixelFormat;
    request.fps = settings.fps;
    request.frames = settings.frames;
    request.start = settings.start;
    request.threads = settings.threads;
    // Under a profile, damage is an event and the run goes on.
    request.continueAfterDamage = !settings.profile.empty();
    // The report's thumbnails (under a profile) show the pictures in colour.
    request.keepColour = !settings.profile.empty() && !settings.reportPath.empty();
    return request;
}

SourceRequest sourceRequest(const AnalysisRequest& request) {
    SourceRequest source;
    source.path = request.path;
    source.width = request.width;
    source.height = request.height;
    source.continueAfterDamage = request.continueAfterDamage;
    source.quantisers = request.quantisers;
    source.stop = request.stop;
    source.pixelFormat = request.pixelFormat;
    source.mapFrames = request.mapFrames;
    source.threads = threadsOf(request);
    return source;
}

std::unique_ptr<Analysis> Analysis::open(const AnalysisRequest& request, std::string& error,
                                         OpenStatus* status) {
    std::unique_ptr<FrameSource> opened = openFrameSource(sourceRequest(request), error, status);
    if (!opened) return nullptr;
    if (request.keepColour) opened->keepColour();
    return std::unique_ptr<Analysis>(new Analysis(std::move(opened), request));
}

std::unique_ptr<Analysis> Analysis::of(std::unique_ptr<FrameSource> source,
                                       const AnalysisRequest& request) {
    return std::unique_ptr<Analysis>(new Analysis(std::move(source), request));
}

RunOutcome Analysis::run(const std::vector<ResultSink*>& sinks) {
    return runAnalysis(*source_, options_, sinks);
}

}  // namespace lumaqc
