// One analysis: the current and the previous picture, their swap after each
// frame, and the state the indicators carry from frame to frame (freezing's
// repeat count, flickering's block counters, blur's edge-step hint).
//
// A frame goes through the indicator registry in three stages: the
// single-frame indicators and the pairwise one (temporal activity) may run
// for different frames at once; the sequential ones (freezing, flickering)
// keep state and run once per frame, in frame order. lumaqc::Analyzer hands
// the engine one frame at a time (input(), then analyze()); the frame loops
// keep their own pictures (or the decoder's, read in place) and compute the
// first two stages with a Worker state per thread and the sequential stage
// here, in frame order.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "indicators/registry.h"

namespace lumaqc {

// Reads `clock` in milliseconds.
double clockMs(clockid_t clock);

// The milliseconds from `startMs` (a reading of clockMs(clock)) to now,
// never negative: on some virtual machines the processors' clocks differ by
// a millisecond or more, and a thread moved from one to the other between
// its two readings would see time run backwards.
double elapsedMs(clockid_t clock, double startMs);

// A picture that releases its samples.
class Picture {
  public:
    Picture() = default;
    // Zero-filled; throws std::bad_alloc when it cannot be allocated.
    Picture(int32_t width, int32_t height) : image_(callocImage(width, height)) {}
    ~Picture() { freeImage(image_); }
    Picture(Picture&& other) noexcept : image_(other.image_) { other.image_ = Image{}; }
    Picture& operator=(Picture&& other) noexcept {
        std::swap(image_, other.image_);
        return *this;
    }
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    Image& image() { return image_; }
    const Image& image() const { return image_; }
    void swap(Picture& other) noexcept { std::swap(image_.data, other.image_.data); }

  private:
    Image image_{0, 0, nullptr};
};

class Engine {
  public:
    // Whether the engine keeps the two pictures (frame by frame use) or the
    // caller keeps them (the parallel loop).
    enum class Pictures { Owned, Caller };

    // An analysis of width x height pictures at `fps` frames per second; the
    // indicators' times are measured with `clock`. Throws std::bad_alloc when
    // the pictures or the state cannot be allocated.
    Engine(int32_t width, int32_t height, double fps, clockid_t clock,
           Pictures pictures = Pictures::Owned);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // The picture the next frame's luma goes into (owned pictures only).
    Image& input() { return current_.image(); }

    // Computes every indicator of the frame in input(), the temporal ones
    // against the frame before (they stay 0 on the first frame), then swaps
    // the pictures. The values stay valid until the next call.
    const FrameValues& analyze();
    // The picture analyze() last computed (after its swap), until the next
    // frame is read into input() and analysed.
    const Image& analysed() const { return previous_.image(); }

    // What the indicators of the frame being computed share: the block
    // statistics, the structure sums and block loss's Roberts energies. Each
    // is computed once per frame, by the first indicator that reads it (or,
    // for the Roberts energies, spatial activity's pass), and its time
    // counts as that indicator's (exposure's, blockiness's, spatial
    // activity's).
    struct Shared {
        BlockStats blockStats;
        StructureSums structure;
        RobertsShare roberts;
    };
    // The edge step of the latest frame whose blur is done, shared by the
    // threads of a parallel run: each starts its blur from it (the hint only
    // saves work, the value is the same), so that the hint comes from the
    // frame just before rather than from the thread's own last frame. Holds
    // (frame + 1) << 16 | (step + 1), 0 when no frame is done.
    using BlurHint = std::atomic<int64_t>;
    // What one thread of the parallel loop keeps: blur's hint, the shared
    // results and the time of its own calls.
    struct Worker {
        BlurState blur;
        Shared shared;
        IndicatorSeconds seconds{};
        BlurHint* latestBlur = nullptr;  // with `frame`, the frame being computed
        int64_t frame = 0;
    };
    // The single-frame and pairwise indicators of a frame, on any thread;
    // `previous` is null for the first frame, whose temporal values stay 0.
    // With `flickerChanges` (flickeringBlocks() bytes), temporal activity
    // leaves flickering's block changes there, off the sequential stage.
    void computeIndependent(const Image& current, const Image* previous, Worker& worker,
                            FrameValues& values, uint8_t* flickerChanges = nullptr) const;
    // The sequential indicators of a frame after the first, in frame order;
    // `values` holds the frame's other values.
    // `flickerChanges`: what computeIndependent() left there for this frame,
    // or null.
    void computeSequential(const Image& current, const Image& previous, FrameValues& values,
                           uint8_t* flickerChanges = nullptr);

    // Time spent in each indicator by analyze() and computeSequential().
    const IndicatorSeconds& seconds() const { return seconds_; }
    // Frames analysed by analyze().
    int64_t frames() const { return frames_; }
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    clockid_t clock() const { return clock_; }

  private:
    void computeStage(Stage stage, const FrameContext& frame, FrameValues& values,
                      IndicatorSeconds& seconds, Worker* worker = nullptr) const;

    int32_t width_;
    int32_t height_;
    double fps_;
    clockid_t clock_;
    Picture current_;
    Picture previous_;
    TemporalState temporal_;
    BlurState blur_;
    Shared shared_;                        // analyze()'s
    std::vector<uint8_t> flickerChanges_;  // analyze()'s, from one stage to the next
    FrameValues values_{};
    IndicatorSeconds seconds_{};
    int64_t frames_ = 0;
};

}  // namespace lumaqc
