// The whole analysis of an input, as the lumaqc program runs it, into outputs
// of the caller's choice: the program's own (JSON document, CSV, HTML report,
// log) made by the factories below, or any class implementing Sink.
//
//   lumaqc::VideoOptions options;
//   options.path = "clip.y4m";                 // raw video needs width and height
//   std::string error;
//   auto analysis = lumaqc::VideoAnalysis::open(options, error);
//   if (!analysis) { /* `error`: one line for the user */ }
//   auto json = lumaqc::makeJsonSink("clip.json", error);
//   if (!json) { /* `error` */ }
//   const lumaqc::RunResult result = analysis->run({json.get()});
//   if (!result.ok) { /* result.message */ }
#pragma once

#include <lumaqc/indicators.h>
#include <lumaqc/version.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lumaqc {

// What to analyse; unset values come from the input.
struct VideoOptions {
    std::string path{};  // a file, or "-" for standard input
    // Raw video's size and sample layout (FFmpeg's name, "yuv422p10le";
    // empty for yuv420p); Y4M and video files give theirs.
    int32_t width = 0;
    int32_t height = 0;
    std::string pixelFormat{};
    double fps = 0.0;     // 0: the input's rate, else 25
    int64_t frames = -1;  // -1: every frame to the end of the input
    int64_t start = 0;    // the first frame, counted from 0
    int threads = 0;      // 0: every hardware thread; the values are the same for any
    // When set and non-zero (a signal handler may set it), the run reads no
    // further frame and ends with the frames in flight.
    const std::atomic<int>* stop = nullptr;
};

// The input as opened, and the run's settings completed from it.
struct VideoInfo {
    std::string path;
    std::string kind;         // "raw", "raw stream", "y4m", "decoder"
    std::string codec;        // "rawvideo", or the decoder's name ("h264")
    std::string pixelFormat;  // FFmpeg's name of the samples read
    int32_t width = 0;
    int32_t height = 0;
    double fps = 0.0;
    int64_t start = 0;
    int64_t frames = -1;  // frames to analyse (a file's whole frames); -1: to the end of a stream
};

struct FrameInfo {
    int64_t index = 0;
    double seconds = 0.0;  // presentation time: the stream's, else index / fps
    int damage = 0;        // decoding errors reported for this frame
};

struct RunResult {
    bool ok = true;       // false: the run stopped on an error
    std::string message;  // then the one line for the user
    int64_t framesDone = 0;
    bool complete = true;  // false when the run ended early (an error, the stop flag)
};

// Where results go: a start, one call per frame in frame order, an end.
// Each returns false when the output cannot be written, error() saying why;
// the run then stops.
class Sink {
  public:
    virtual ~Sink();
    virtual bool begin(const VideoInfo& video) = 0;
    virtual bool frame(const FrameInfo& frame, const FrameValues& values) = 0;
    virtual bool end(const RunResult& result) = 0;
    virtual std::string error() const;
};

// The program's outputs, byte for byte as the program writes them ("-":
// standard output). Null, with one line in `error`, when the file cannot be
// created. An earlier file keeps its bytes until the first frame: a run
// without one leaves it as it was (and removes a file made for it). They
// are run by VideoAnalysis::run(), not called directly.
std::unique_ptr<Sink> makeJsonSink(const std::string& path, std::string& error);
std::unique_ptr<Sink> makeCsvSink(const std::string& path, std::string& error);
std::unique_ptr<Sink> makeHtmlSink(const std::string& path, std::string& error);
std::unique_ptr<Sink> makeLogSink(const std::string& path, std::string& error);

class VideoAnalysis {
  public:
    // Opens the input; null with one line for the user in `error` when it
    // cannot (raw video without its size among them).
    static std::unique_ptr<VideoAnalysis> open(const VideoOptions& options, std::string& error);
    ~VideoAnalysis();
    VideoAnalysis(const VideoAnalysis&) = delete;
    VideoAnalysis& operator=(const VideoAnalysis&) = delete;

    const VideoInfo& info() const;
    // Runs the analysis into `sinks`, in their order. After a read or write
    // error the JSON document and the HTML report are completed with the
    // frames done, marked incomplete. Throws std::bad_alloc when the pictures
    // cannot be allocated, before any sink has begun.
    RunResult run(const std::vector<Sink*>& sinks);

  private:
    struct State;
    explicit VideoAnalysis(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace lumaqc
