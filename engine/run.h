// The frame loop: reads frames in order, computes the indicators (on several
// threads when asked) and hands the rows to the sinks in frame order.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "io/frame_source.h"
#include "report/result_sink.h"

namespace lumaqc {

struct RunOptions {
    int64_t start = 0;
    int64_t frames = 0;     // frames to analyse from `start`
    bool untilEnd = false;  // ignore `frames` and stop when the source ends
    double fps = 25.0;
    int threads = 1;  // 1: everything on the calling thread, timed with the process clock
    // When set and non-zero, the run reads no further frame: the frames
    // already read are finished and emitted, and the sinks get end() with a
    // summary of the frames done. A signal handler may set it.
    const std::atomic<int>* stop = nullptr;
};

struct RunOutcome {
    int status = 0;       // 0, or -1 when the run stopped on an error
    std::string message;  // what to print for the error, line feed included
    bool messageOnStdout = false;
    int64_t framesDone = 0;
    bool stopped = false;  // the stop flag ended the run early (status stays 0)
};

// Runs the analysis. Sinks get begin() before the first frame and, unless a
// read or write error stops the run, end() after the last one (also when the
// stop flag ended it early).
RunOutcome runAnalysis(FrameSource& source, const RunOptions& options,
                       const std::vector<ResultSink*>& sinks);

}  // namespace lumaqc
