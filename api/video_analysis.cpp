// The public run interface (<lumaqc/run.h>) over the engine's Analysis and
// the report's sinks. A caller's Sink is adapted to a ResultSink; the
// built-in sinks carry their ResultSink, which the run uses directly.
#include <lumaqc/run.h>

#include <cmath>

#include "engine/run.h"
#include "report/csv_sink.h"
#include "report/html_sink.h"
#include "report/json_sink.h"
#include "report/text_sinks.h"

namespace lumaqc {

namespace {

VideoInfo videoInfo(const SourceInfo& input, const RunOptions& run) {
    VideoInfo info;
    info.path = input.path;
    info.kind = input.kind;
    info.codec = input.kind == "decoder" ? input.codec : std::string("rawvideo");
    info.pixelFormat = input.pixelFormat;
    info.width = input.width;
    info.height = input.height;
    info.fps = run.fps;
    info.start = run.start;
    info.frames = run.untilEnd ? -1 : run.frames;
    return info;
}

// A built-in output: its ResultSink, run as is.
class BuiltinSink : public Sink {
  public:
    explicit BuiltinSink(std::unique_ptr<ResultSink> sink) : sink_(std::move(sink)) {}
    ResultSink& inner() { return *sink_; }
    bool begin(const VideoInfo&) override { return refuse(); }
    bool frame(const FrameInfo&, const FrameValues&) override { return refuse(); }
    bool end(const RunResult&) override { return refuse(); }
    std::string error() const override { return error_.empty() ? sink_->error() : error_; }

  private:
    bool refuse() {
        error_ = "lumaqc: a built-in output is run by VideoAnalysis::run()";
        return false;
    }
    std::unique_ptr<ResultSink> sink_;
    std::string error_;
};

// A caller's Sink, seen by the frame loop.
class SinkAdapter : public ResultSink {
  public:
    SinkAdapter(Sink& sink, VideoInfo info) : sink_(sink), info_(std::move(info)) {}
    bool begin(const RunInfo&) override { return sink_.begin(info_); }
    bool frame(const FrameMeta& meta, const FrameValues& values) override {
        return sink_.frame(FrameInfo{meta.index, meta.seconds, meta.damage}, values);
    }
    bool end(const RunSummary& summary) override {
        RunResult result;
        result.framesDone = summary.framesDone;
        result.complete = summary.complete;
        return sink_.end(result);
    }
    std::string error() const override { return sink_.error(); }

  private:
    Sink& sink_;
    VideoInfo info_;
};

template <typename Made>
std::unique_ptr<Sink> builtin(std::unique_ptr<Made> sink, std::string& error) {
    if (!sink->ok()) {
        error = sink->error();
        return nullptr;
    }
    return std::make_unique<BuiltinSink>(std::move(sink));
}

}  // namespace

Sink::~Sink() = default;

std::string Sink::error() const {
    return "";
}

std::unique_ptr<Sink> makeJsonSink(const std::string& path, std::string& error) {
    return builtin(std::make_unique<JsonSink>(path), error);
}

std::unique_ptr<Sink> makeCsvSink(const std::string& path, std::string& error) {
    return builtin(std::make_unique<CsvSink>(path), error);
}

std::unique_ptr<Sink> makeHtmlSink(const std::string& path, std::string& error) {
    return builtin(std::make_unique<HtmlSink>(path), error);
}

std::unique_ptr<Sink> makeLogSink(const std::string& path, std::string& error) {
    auto log = std::make_unique<LogSink>(path);
    if (log->busy()) {
        error = log->error();
        return nullptr;
    }
    return std::make_unique<BuiltinSink>(std::move(log));
}

struct VideoAnalysis::State {
    std::unique_ptr<Analysis> analysis;
    VideoInfo info;
};

VideoAnalysis::VideoAnalysis(std::unique_ptr<State> state) : state_(std::move(state)) {}
VideoAnalysis::~VideoAnalysis() = default;

std::unique_ptr<VideoAnalysis> VideoAnalysis::open(const VideoOptions& options,
                                                   std::string& error) {
    AnalysisRequest request;
    request.path = options.path;
    request.width = options.width;
    request.height = options.height;
    request.pixelFormat = options.pixelFormat;
    if (options.fps > 0.0) request.fps = options.fps;
    if (options.frames >= 0) request.frames = options.frames;
    request.start = options.start;
    request.threads = options.threads;
    request.stop = options.stop;
    OpenStatus status = OpenStatus::Ok;
    auto state = std::make_unique<State>();
    state->analysis = Analysis::open(request, error, &status);
    if (!state->analysis) {
        if (status == OpenStatus::NeedsSize) {
            error = options.path +
                    " is not a video file that can be decoded; raw video needs "
                    "its width and height";
        }
        while (!error.empty() && error.back() == '\n') error.pop_back();
        return nullptr;
    }
    state->info = videoInfo(state->analysis->input(), state->analysis->options());
    return std::unique_ptr<VideoAnalysis>(new VideoAnalysis(std::move(state)));
}

const VideoInfo& VideoAnalysis::info() const {
    return state_->info;
}

RunResult VideoAnalysis::run(const std::vector<Sink*>& sinks) {
    std::vector<std::unique_ptr<SinkAdapter>> adapters;
    std::vector<ResultSink*> resultSinks;
    for (Sink* sink : sinks) {
        if (auto* made = dynamic_cast<BuiltinSink*>(sink)) {
            resultSinks.push_back(&made->inner());
        } else {
            adapters.push_back(std::make_unique<SinkAdapter>(*sink, state_->info));
            resultSinks.push_back(adapters.back().get());
        }
    }
    const RunOutcome outcome = state_->analysis->run(resultSinks);
    RunResult result;
    result.ok = outcome.status == 0;
    result.message = outcome.message;
    while (!result.message.empty() && result.message.back() == '\n') result.message.pop_back();
    result.framesDone = outcome.framesDone;
    result.complete = result.ok && !outcome.stopped;
    return result;
}

}  // namespace lumaqc
