// The threaded frame loop's hand-over between the reading thread and the
// workers, and with a source the workers read themselves (into pictures they
// pass on among them; one thread then reads the next frame meanwhile):
// whoever is slow (the input, the outputs, both by turns), whatever stops the
// run (a stop request, a failing output, a read error), every run ends, emits
// its rows in order and gives the rows of a one-thread run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/run.h"

using namespace lumaqc;

namespace {

constexpr int kSide = 8;

// Waits of 0 to `max` microseconds, the shortest as bare yields.
struct Jitter {
    void operator()() {
        const int micros = max > 0 ? static_cast<int>(random() % (max + 1u)) : -1;
        if (micros >= max / 4) std::this_thread::sleep_for(std::chrono::microseconds(micros));
        if (micros >= 0 && micros < max / 4) std::this_thread::yield();
    }
    int max;
    std::minstd_rand random;
};

// `frames` small textured pictures; may raise the stop flag or fail at a
// frame; read by the workers when `concurrent`. With `heldAt`, the reading
// thread is held between looking at that frame and queueing it until the run
// has ended, and the failing read waits for it to be held there.
struct JitteredSource : FrameSource {
    JitteredSource(int frames, Jitter j) : jitter(j) {
        info_ = {
            .path = "memory", .kind = "raw", .width = kSide, .height = kSide, .frames = frames};
    }
    const SourceInfo& info() const override { return info_; }
    bool readsConcurrently() const override { return concurrent; }
    ReadStatus has(int64_t index) const override {
        std::unique_lock<std::mutex> lock(mutex);
        held = index == heldAt;
        changed.notify_all();
        changed.wait(lock, [&] { return !held || ended; });
        return index < info_.frames ? ReadStatus::Ok : ReadStatus::End;
    }
    void endRun() {
        std::lock_guard<std::mutex> lock(mutex);
        ended = true;
        changed.notify_all();
    }
    ReadResult read(int64_t index, uint8_t* luma) override {
        jitter();
        if (index == errorAt && heldAt >= 0) {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return held; });
        }
        if (index == stopAt) stop.store(15);
        ReadResult result;
        if (index == errorAt || index >= info_.frames) {
            result.status = index == errorAt ? ReadStatus::Error : ReadStatus::End;
            result.message = "broken\n";
        }
        for (int i = 0; i < kSide * kSide; ++i) luma[i] = static_cast<uint8_t>(i * 37 + index * 11);
        return result;
    }
    SourceInfo info_;
    Jitter jitter;
    int64_t stopAt = -1, errorAt = -1, heldAt = -1;
    bool concurrent = false;
    std::atomic<int> stop{0};
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    mutable bool held = false;
    bool ended = false;
};

JitteredSource* running = nullptr;  // the run under way

struct JitteredSink : ResultSink {
    explicit JitteredSink(Jitter j) : jitter(j) {}
    bool begin(const RunInfo&) override { return true; }
    bool frame(const FrameMeta& meta, const FrameValues& values) override {
        const int64_t index = meta.index;
        jitter();
        outOfOrder = outOfOrder || index != static_cast<int64_t>(rows.size());
        if (index == failAt) error_ = "cannot write";
        if (index != failAt) rows.push_back(values);
        return index != failAt;
    }
    bool end(const RunSummary& summary) override {
        ended = true;
        complete = summary.complete;
        return true;
    }
    Jitter jitter;
    int64_t failAt = -1;
    std::vector<FrameValues> rows;
    bool outOfOrder = false, ended = false, complete = false;
};

bool sameRows(const std::vector<FrameValues>& a, const std::vector<FrameValues>& b, size_t n) {
    // No rows compare equal; memcmp must not see the null data() of an empty vector.
    return a.size() >= n && b.size() >= n &&
           (n == 0 || std::memcmp(a.data(), b.data(), n * sizeof(FrameValues)) == 0);
}

}  // namespace

TEST(FrameLoop, EveryHandOverEnds) {
    constexpr int kFrames = 1500;
    JitteredSource plain(kFrames, {0, {}});
    JitteredSink reference({0, {}});
    ASSERT_EQ(runAnalysis(plain, {.frames = kFrames, .threads = 1}, {&reference}).status, 0);
    ASSERT_EQ(reference.rows.size(), static_cast<size_t>(kFrames));

    const struct {
        const char* what;
        int frames, runs;  // runs at each thread count
        int readMicros, emitMicros;
        int64_t stopAt, errorAt, failAt;
        size_t rows;  // emitted
        int status;
        const char* message;
        int64_t heldAt = -1;  // with the workers reading: see JitteredSource
    } cases[] = {
        // More threads than cores, nobody slow: the threads are preempted
        // anywhere, between a decision and its wait too.
        {"fast input and outputs", kFrames, 6, 0, 0, -1, -1, -1, kFrames, 0, ""},
        {"slow outputs: the window fills", 40, 3, 0, 300, -1, -1, -1, 40, 0, ""},
        {"slow input: the workers wait", 40, 3, 300, 0, -1, -1, -1, 40, 0, ""},
        {"both slow by turns", 40, 3, 200, 200, -1, -1, -1, 40, 0, ""},
        // The frame read as the stop came is finished; no later one is read.
        {"stop while the window is full", 40, 3, 0, 300, 25, -1, -1, 26, 0, ""},
        {"stop while the workers wait", 40, 3, 300, 0, 25, -1, -1, 26, 0, ""},
        {"read error with frames in flight", 40, 3, 0, 300, -1, 25, -1, 25, -1, "broken\n"},
        {"an output fails", 40, 3, 50, 50, -1, -1, 20, 20, -1, "cannot write\n"},
        // Frame 1 queued and frame 2 looked at as the only worker's read of
        // frame 0 ends the run (with more workers one takes frame 1 first).
        {"read error while a frame is queued", 40, 1, 0, 0, -1, 0, -1, 0, -1, "broken\n", 2},
    };
    runEndedOnUnreadFrame = [] { running->endRun(); };
    struct Unhook {
        ~Unhook() { runEndedOnUnreadFrame = nullptr; }
    } unhook;
    uint32_t seed = 7;
    for (const auto& c : cases) {
        for (int mode = 0; mode < 16; ++mode) {
            const int threads = 1 + mode % 8;  // one thread reads ahead from a concurrent source
            const bool concurrent = mode >= 8;
            for (int rep = 0; rep < c.runs; ++rep) {
                ++seed;
                JitteredSource source(c.frames, {c.readMicros, std::minstd_rand(seed)});
                source.stopAt = c.stopAt;
                source.errorAt = c.errorAt;
                source.concurrent = concurrent;
                source.heldAt = concurrent && threads > 1 ? c.heldAt : -1;
                running = &source;
                JitteredSink sink({c.emitMicros, std::minstd_rand(seed * 3)});
                sink.failAt = c.failAt;
                RunOptions options{.frames = c.frames, .threads = threads, .readAhead = concurrent};
                options.stop = &source.stop;
                auto run = std::async(std::launch::async,
                                      [&] { return runAnalysis(source, options, {&sink}); });
                if (run.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
                    // A hung run cannot be taken back: end the test binary.
                    std::fprintf(stderr, "the frame loop hung: %s, %d threads\n", c.what, threads);
                    std::abort();
                }
                const RunOutcome outcome = run.get();
                const std::string what = std::string(c.what) + ", " + std::to_string(threads) +
                                         (concurrent ? " reading" : "") + " threads, seed " +
                                         std::to_string(seed);
                ASSERT_FALSE(sink.outOfOrder) << what;
                const size_t rows = sink.rows.size();
                EXPECT_EQ(outcome.framesDone, static_cast<int64_t>(rows)) << what;
                EXPECT_TRUE(sameRows(sink.rows, reference.rows, rows)) << what;
                EXPECT_EQ(rows, c.rows) << what;
                EXPECT_EQ(outcome.status, c.status) << what;
                EXPECT_EQ(outcome.message, c.message) << what;
                EXPECT_EQ(outcome.stopped, c.stopAt >= 0) << what;
                EXPECT_EQ(sink.ended && sink.complete, c.status == 0 && c.stopAt < 0) << what;
            }
        }
    }
}
