// The threaded frame loop's hand-over between the reading thread and the
// workers: whoever is slow (the input, the outputs, both by turns), whatever
// stops the run (a stop request, a failing output, a read error), every run
// ends, emits its rows in order and gives the rows of a one-thread run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/run.h"

using namespace lumaqc;

namespace {

constexpr int kSide = 8;

// Waits of 0 to `max` microseconds, or none; some are bare yields.
struct Jitter {
    explicit Jitter(int maxMicros, uint32_t seed) : max(maxMicros), random(seed) {}
    void operator()() {
        if (max <= 0) return;
        const int micros = static_cast<int>(random() % static_cast<uint32_t>(max + 1));
        if (micros < max / 4) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(micros));
        }
    }
    int max;
    std::minstd_rand random;
};

// `frames` small textured pictures; may raise the stop flag or fail at a frame.
struct JitteredSource : FrameSource {
    JitteredSource(int frames, int readMicros, uint32_t seed) : jitter(readMicros, seed) {
        info_ = {.path = "memory", .kind = "raw", .width = kSide, .height = kSide};
        info_.frames = frames;
    }
    const SourceInfo& info() const override { return info_; }
    ReadResult read(int64_t index, uint8_t* luma) override {
        jitter();
        if (index == stopAt) stop.store(15);
        if (index == errorAt) {
            ReadResult error;
            error.status = ReadStatus::Error;
            error.message = "broken\n";
            return error;
        }
        if (index >= info_.frames) {
            ReadResult end;
            end.status = ReadStatus::End;
            return end;
        }
        for (int i = 0; i < kSide * kSide; ++i) {
            luma[i] = static_cast<uint8_t>((i * 37 + index * 11 + (i * i) % 13) & 0xff);
        }
        return {};
    }
    SourceInfo info_;
    Jitter jitter;
    int64_t stopAt = -1;
    int64_t errorAt = -1;
    std::atomic<int> stop{0};
};

struct JitteredSink : ResultSink {
    JitteredSink(int emitMicros, uint32_t seed) : jitter(emitMicros, seed) {}
    bool begin(const RunInfo&) override { return true; }
    bool frame(int64_t index, const FrameValues& values) override {
        jitter();
        if (index != static_cast<int64_t>(rows.size())) outOfOrder = true;
        if (index == failAt) {
            error_ = "cannot write";
            return false;
        }
        rows.push_back(values);
        return true;
    }
    bool end(const RunSummary& summary) override {
        ended = true;
        complete = summary.complete;
        return true;
    }
    Jitter jitter;
    int64_t failAt = -1;
    std::vector<FrameValues> rows;
    bool outOfOrder = false;
    bool ended = false;
    bool complete = false;
};

bool sameRows(const std::vector<FrameValues>& a, const std::vector<FrameValues>& b, size_t n) {
    return a.size() >= n && b.size() >= n &&
           std::memcmp(a.data(), b.data(), n * sizeof(FrameValues)) == 0;
}

}  // namespace

TEST(FrameLoop, EveryHandOverEnds) {
    constexpr int kFrames = 1500;
    JitteredSource plain(kFrames, 0, 1);
    JitteredSink reference(0, 1);
    ASSERT_EQ(runAnalysis(plain, {.frames = kFrames, .threads = 1}, {&reference}).status, 0);
    ASSERT_EQ(reference.rows.size(), static_cast<size_t>(kFrames));

    const struct {
        const char* what;
        int frames, runs;  // runs at each thread count
        int readMicros, emitMicros;
        int64_t stopAt, errorAt, failAt;
    } cases[] = {
        // More threads than cores, nobody slow: the threads are preempted
        // anywhere, between a decision and its wait too.
        {"fast input and outputs", kFrames, 6, 0, 0, -1, -1, -1},
        {"slow outputs: the window fills", 40, 3, 0, 300, -1, -1, -1},
        {"slow input: the workers wait", 40, 3, 300, 0, -1, -1, -1},
        {"both slow by turns", 40, 3, 200, 200, -1, -1, -1},
        {"stop while the window is full", 40, 3, 0, 300, 25, -1, -1},
        {"stop while the workers wait", 40, 3, 300, 0, 25, -1, -1},
        {"read error with frames in flight", 40, 3, 0, 300, -1, 25, -1},
        {"an output fails with frames in flight", 40, 3, 50, 50, -1, -1, 20},
    };
    uint32_t seed = 7;
    for (const auto& c : cases) {
        for (int threads = 2; threads <= 8; ++threads) {
            for (int rep = 0; rep < c.runs; ++rep) {
                ++seed;
                JitteredSource source(c.frames, c.readMicros, seed);
                source.stopAt = c.stopAt;
                source.errorAt = c.errorAt;
                JitteredSink sink(c.emitMicros, seed * 3);
                sink.failAt = c.failAt;
                RunOptions options{.frames = c.frames, .threads = threads};
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
                                         " threads, seed " + std::to_string(seed);
                ASSERT_FALSE(sink.outOfOrder) << what;
                const size_t rows = sink.rows.size();
                EXPECT_EQ(outcome.framesDone, static_cast<int64_t>(rows)) << what;
                EXPECT_TRUE(sameRows(sink.rows, reference.rows, rows)) << what;
                if (c.stopAt >= 0) {
                    // The frame read as the stop came is finished; no later one is read.
                    EXPECT_EQ(outcome.status, 0) << what;
                    EXPECT_TRUE(outcome.stopped) << what;
                    EXPECT_EQ(rows, static_cast<size_t>(c.stopAt) + 1) << what;
                    EXPECT_TRUE(sink.ended && !sink.complete) << what;
                } else if (c.errorAt >= 0) {
                    EXPECT_EQ(outcome.status, -1) << what;
                    EXPECT_EQ(outcome.message, "broken\n") << what;
                    EXPECT_EQ(rows, static_cast<size_t>(c.errorAt)) << what;
                } else if (c.failAt >= 0) {
                    EXPECT_EQ(outcome.status, -1) << what;
                    EXPECT_EQ(outcome.message, "cannot write\n") << what;
                    EXPECT_EQ(rows, static_cast<size_t>(c.failAt)) << what;
                } else {
                    EXPECT_EQ(outcome.status, 0) << what;
                    EXPECT_EQ(rows, static_cast<size_t>(c.frames)) << what;
                    EXPECT_TRUE(sink.ended && sink.complete) << what;
                }
            }
        }
    }
}
