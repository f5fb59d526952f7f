// The per-frame values as the machine-readable outputs (JSON, HTML report)
// give them, and the run summary computed from them: statistics per
// indicator, frozen and blackout intervals, flicker ratings.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "indicators/indicator_id.h"

namespace lumaqc {

// One value as the machine-readable outputs give it, or nothing (null) when
// the frame has no value: NaN and infinities (JSON has no representation for
// them), the -1.0 "no value" markers of block loss, slice and flickering, and
// flickering on the first frame of a run (its 0 there is a start value, not a
// rating). Flags and truncated values (exposure) become the integers the rows
// print.
std::optional<double> outputValue(IndicatorId id, double value, bool firstFrame);

// count, mean and the order statistics of one indicator over the frames that
// have a value. Percentiles use the nearest-rank method: the p-th percentile
// of n sorted values is the value of rank ceil(p * n / 100) (at least 1).
// Everything but count is meaningless when count is 0.
struct IndicatorStats {
    int64_t count = 0;
    double mean = 0.0;
    double min = 0.0;
    double max = 0.0;
    double p5 = 0.0;
    double p50 = 0.0;
    double p95 = 0.0;
};

// Frames first..last, both included.
struct FrameInterval {
    int64_t first = 0;
    int64_t last = 0;
    int64_t frames() const { return last - first + 1; }
};

struct FlickerRating {
    int64_t frame = 0;
    std::optional<double> value;  // nothing when the rating is not a number
};

// Collects the rows of a run, in frame order, and derives the summary.
//
// A frozen interval is a picture held still: from the frame whose picture is
// repeated through the last frame flagged frozen. The freeze flag rises only
// once the repeats have lasted a tenth of a second, so the interval reaches
// back over the repeats counted until then. A blackout interval is a run of
// consecutive frames flagged as blackout.
class ResultsRecorder {
  public:
    void add(int64_t index, const FrameValues& values);

    size_t size() const { return indices_.size(); }
    int64_t frameIndex(size_t row) const { return indices_[row]; }
    std::optional<double> value(size_t row, IndicatorId id) const;

    IndicatorStats stats(IndicatorId id) const;
    const std::vector<FrameInterval>& frozenIntervals() const { return frozen_; }
    const std::vector<FrameInterval>& blackoutIntervals() const { return blackouts_; }
    const std::vector<FlickerRating>& flickerRatings() const { return ratings_; }

  private:
    std::vector<int64_t> indices_;
    std::vector<FrameValues> rows_;
    int32_t repeats_ = 0;  // consecutive exact repeats without blackout up to the latest frame
    std::vector<FrameInterval> frozen_;
    std::vector<FrameInterval> blackouts_;
    std::vector<FlickerRating> ratings_;
};

// Seconds that `frames` frames last at `fps`; nothing when the rate is not
// a positive number.
std::optional<double> durationSeconds(int64_t frames, double fps);

}  // namespace lumaqc
