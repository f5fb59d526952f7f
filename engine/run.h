// Running the analysis: the frame loop, which reads frames in order, computes
// the indicators (on several threads when asked) and hands the rows to the
// sinks in frame order, and the entry point that opens an input and runs it.
//
// The entry point is what the lumaqc program does, without printing:
//
//   lumaqc::AnalysisRequest request;
//   request.path = "clip.y4m";                  // or raw video with its size
//   std::string error;
//   auto analysis = lumaqc::Analysis::open(request, error);
//   if (!analysis) { /* error: one line for the user */ }
//   MySink sink;                                // any ResultSink (results/result_sink.h)
//   const lumaqc::RunOutcome outcome = analysis->run({&sink});
//   if (outcome.status != 0) { /* outcome.message, then outcome.laterErrors */ }
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "io/frame_source.h"
#include "results/result_sink.h"
#include "settings/settings.h"

namespace lumaqc {

struct RunOptions {
    int64_t start = 0;
    int64_t frames = 0;     // frames to analyse from `start`
    bool untilEnd = false;  // ignore `frames` and stop when the source ends
    double fps = 25.0;
    int threads = 1;  // 1: everything on the calling thread, timed with its own clock
    // One thread over a source that reads concurrently (raw and Y4M files):
    // a helper thread reads the next frame while the calling thread analyses
    // one. Faster where a core is spare, a few percent more CPU time in all;
    // the program asks for it, a host's one thread stays one thread.
    bool readAhead = false;
    // When set and non-zero, the run reads no further frame: the frames
    // already read are finished and emitted, and the sinks get end() with a
    // summary of the frames done. A signal handler may set it.
    const std::atomic<int>* stop = nullptr;
    // Told once, before the first frame, when fewer threads than asked for
    // could be started (the run goes on with those); may be empty.
    std::function<void(const std::string&)> notice{};
};

struct RunOutcome {
    int status = 0;       // 0, or -1 when the run stopped on an error
    std::string message;  // what to print for the error, line feed included
    bool messageOnStdout = false;
    int64_t framesDone = 0;
    bool stopped = false;  // the stop flag ended the run early (status stays 0)
    // After an error: what went wrong besides, while the sinks that keep
    // partial results were completed (line feeds included).
    std::vector<std::string> laterErrors;
    // When the input ended on damage it reported (ReadResult::damage).
    int damage = 0;
    std::string damageMessage{};
    // The error came from the input (not from an output): the frames read
    // before it were analysed.
    bool inputFailed = false;
};

// Runs the analysis. Sinks get begin() once the pictures are allocated and
// the threads started (so a run that cannot start leaves every output as it
// was), before the first frame and, unless a read or write error stops the
// run, end() after the last one (also when the stop flag or the end of the
// input ended it early). After such an error the sinks that keep partial
// results (ResultSink::keepsPartialResults) get end() with a summary of the
// frames done, marked incomplete. Throws std::bad_alloc, before any sink has
// begun, when the pictures cannot be allocated.
RunOutcome runAnalysis(FrameSource& source, const RunOptions& options,
                       const std::vector<ResultSink*>& sinks);

// For the frame loop's tests (null otherwise): called, with the loop's lock
// held, when a run of several threads ends on a frame its worker could not
// read, once the frames queued after it were dropped.
extern void (*runEndedOnUnreadFrame)();

// What to analyse and how; unset values come from the input.
struct AnalysisRequest {
    std::string path;  // a file, or "-" for standard input
    // Raw 4:2:0 video needs its size; Y4M and decoded video give theirs (a
    // size given for them must match).
    int32_t width = 0;
    int32_t height = 0;
    // Raw video's sample layout, FFmpeg's name ("yuv422p10le"; see
    // io/pixel_format.h); empty for yuv420p in frames of (w x h x 3) / 2 bytes.
    std::string pixelFormat;
    std::optional<double> fps;      // default: the input's rate, else 25
    std::optional<int64_t> frames;  // default: every frame to the end of the input
    int64_t start = 0;              // the first frame, counted from 0
    int threads = 0;                // 0: every hardware thread
    // As RunOptions::stop; it also ends waits for input while the input is
    // opened.
    const std::atomic<int>* stop = nullptr;
    std::function<void(const std::string&)> notice{};  // as RunOptions::notice
    // A decoder that reports damage goes on (SourceRequest::continueAfterDamage).
    bool continueAfterDamage = false;
    // The frames carry their picture's colour (FrameMeta::colour) for the
    // sinks that show pictures.
    bool keepColour = false;
    // The pictures' quantisers are read (SourceRequest::quantisers).
    bool quantisers = true;
    // Files' frames analysed from a mapping (SourceRequest::mapFrames).
    bool mapFrames = false;
    bool readAhead = false;  // as RunOptions::readAhead
};

// The request of a run's settings: input, size, layout, frame rate, frames,
// start and threads; under a profile, damage is an event and the run goes on.
AnalysisRequest analysisRequest(const Settings& settings);

// The frame source an analysis request asks for.
SourceRequest sourceRequest(const AnalysisRequest& request);

class Analysis {
  public:
    // Opens the input. On failure returns null, sets `error` to one line for
    // the user (line feed included) and `status` (when given) to the reason:
    // OpenStatus::NeedsSize for raw video given without its size.
    static std::unique_ptr<Analysis> open(const AnalysisRequest& request, std::string& error,
                                          OpenStatus* status = nullptr);
    // An input opened otherwise (a live source, say), run as the request says.
    static std::unique_ptr<Analysis> of(std::unique_ptr<FrameSource> source,
                                        const AnalysisRequest& request);

    const SourceInfo& input() const { return source_->info(); }
    // The run's settings: the request's, completed from the input.
    const RunOptions& options() const { return options_; }

    // Runs the analysis into `sinks`, in their order (see runAnalysis).
    RunOutcome run(const std::vector<ResultSink*>& sinks);

  private:
    Analysis(std::unique_ptr<FrameSource> source, const AnalysisRequest& request);
    std::unique_ptr<FrameSource> source_;
    RunOptions options_;
};

}  // namespace lumaqc
