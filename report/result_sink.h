// Where results go. Every output format (console table, log, JSON, HTML)
// implements this interface: a start, one call per frame in frame order, and
// an end with the run's summary.
#pragma once

#include <cstdint>
#include <string>

#include "indicators/indicator_id.h"
#include "io/frame_source.h"

namespace lumaqc {

struct RunInfo {
    const SourceInfo* source = nullptr;
    double fps = 0.0;
    int64_t frames = 0;  // frames requested (as printed); -1 for "to the end of the stream"
    int64_t start = 0;
    int threads = 1;
};

struct RunSummary {
    double overallSeconds = 0.0;  // process CPU time with one thread, wall-clock time with more
    int64_t frames = 0;           // the divisor of the per-frame averages
    int64_t framesDone = 0;       // rows delivered
    IndicatorSeconds seconds{};   // per indicator, CPU time of its own calls
    bool complete = true;         // false when the run stopped early
};

class ResultSink {
  public:
    virtual ~ResultSink() = default;
    // Each returns false when the output cannot be written; error() says why.
    virtual bool begin(const RunInfo& run) = 0;
    virtual bool frame(int64_t index, const FrameValues& values) = 0;
    virtual bool end(const RunSummary& summary) = 0;
    virtual std::string error() const { return error_; }
    // True for outputs that are worth completing when the run stops on an
    // error (the JSON document, the HTML report): they then get end() with
    // RunSummary::complete false.
    virtual bool keepsPartialResults() const { return false; }

  protected:
    std::string error_;
};

}  // namespace lumaqc
