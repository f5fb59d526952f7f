// The compiled part of the Python package `lumaqc` (imported as lumaqc._lumaqc;
// the package's __init__.py wraps it). It binds the library:
//
//   Analyzer        one picture at a time, from a 2-D uint8 numpy array
//   analyze_file()  the whole engine on a file, with the library's own JSON
//                   document and HTML report as optional outputs
//   probe()         whether a file looks like video, from its first bytes
//
// Long computations release the GIL. Values that the JSON document gives as
// null are NaN here.
#include <lumaqc/lumaqc.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <CLI/CLI.hpp>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <variant>
#include <vector>

#include "engine/run.h"
#include "io/decoder_source.h"
#include "io/display_name.h"
#include "qc/profile.h"
#include "report/decision_sink.h"
#include "report/output_paths.h"
#include "report/outputs.h"
#include "report/results_summary.h"
#include "settings/bind_options.h"
#include "settings/settings.h"

#ifdef LUMAQC_HAVE_DECODER
#include "io/ffmpeg_library.h"
#endif

namespace py = pybind11;

namespace {

using namespace lumaqc;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The indicators in the log's and the JSON document's column order.
constexpr auto kColumns = [] {
    std::array<IndicatorId, kIndicatorCount> ids{};
    for (int i = 0; i < kIndicatorCount; ++i) ids[i] = static_cast<IndicatorId>(i);
    return ids;
}();

// Raised for inputs that cannot be read and runs that stop on an error; its
// text is the program's one-line message.
PyObject* errorType = nullptr;
// Its subclass for a file that holds no video (only a raw file given with
// its size could be read).
PyObject* notVideoType = nullptr;
// Its subclass for a run that `time_limit` stopped.
PyObject* timeLimitType = nullptr;

[[noreturn]] void raiseError(std::string message, PyObject* type = errorType) {
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

double valueOrNaN(const std::optional<double>& value) {
    return value ? *value : kNaN;
}

py::object valueOrNone(const std::optional<double>& value) {
    return value ? py::object(py::float_(*value)) : py::object(py::none());
}

// ---------------------------------------------------------------- Analyzer

// A picture of the array's size with rows `stride` bytes apart, without a copy.
struct PlaneView {
    const uint8_t* data = nullptr;
    ptrdiff_t stride = 0;
    int32_t width = 0;
    int32_t height = 0;
};

PlaneView planeOf(const py::object& object) {
    if (!py::isinstance<py::array>(object)) {
        throw py::type_error("luma must be a 2-D numpy array of uint8");
    }
    const auto array = py::reinterpret_borrow<py::array>(object);
    if (array.ndim() != 2 || !array.dtype().is(py::dtype::of<uint8_t>())) {
        throw py::type_error("luma must be a 2-D numpy array of uint8, not " +
                             std::to_string(array.ndim()) + "-D " +
                             std::string(py::str(array.dtype())));
    }
    const ptrdiff_t rows = array.shape(0);
    const ptrdiff_t columns = array.shape(1);
    if (rows == 0 || columns == 0) {
        throw py::value_error("luma is empty (" + std::to_string(rows) + " x " +
                              std::to_string(columns) +
                              " samples): give the picture, height x width samples");
    }
    if (columns > 1 && array.strides(1) != 1) {
        throw py::value_error(
            "luma rows must be contiguous (samples 1 byte apart, top to bottom; got strides " +
            std::to_string(array.strides(0)) + ", " + std::to_string(array.strides(1)) +
            "): pass numpy.ascontiguousarray(luma)");
    }
    if (rows > 1 && array.strides(0) < columns) {
        throw py::value_error(
            "luma rows must be contiguous (samples 1 byte apart, top to bottom; got strides " +
            std::to_string(array.strides(0)) + ", " + std::to_string(array.strides(1)) +
            "): pass numpy.ascontiguousarray(luma)");
    }
    if (rows > INT32_MAX || columns > INT32_MAX) throw py::value_error("luma is too large");
    PlaneView view;
    view.data = static_cast<const uint8_t*>(array.data());
    view.stride = rows > 1 ? array.strides(0) : columns;
    view.width = static_cast<int32_t>(columns);
    view.height = static_cast<int32_t>(rows);
    return view;
}

class PyAnalyzer {
  public:
    PyAnalyzer(int32_t width, int32_t height, double fps) : analyzer_(width, height, fps) {}

    py::dict analyze(const py::object& luma) {
        const PlaneView plane = planeOf(luma);
        lumaqc::FrameValues values{};
        bool first = false;
        {
            // The array stays referenced by the caller while the GIL is released;
            // one analyser computes one frame at a time.
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex_);
            values = analyzer_.analyze(plane.data, plane.stride, plane.width, plane.height);
            first = analyzer_.frames() == 1;
        }
        py::dict result;
        for (const IndicatorId id : kColumns) {
            result[indicatorKey(id)] = valueOrNaN(outputValue(id, values[id], first));
        }
        return result;
    }

    int32_t width() const { return analyzer_.width(); }
    int32_t height() const { return analyzer_.height(); }
    int64_t frames() const { return analyzer_.frames(); }

  private:
    lumaqc::Analyzer analyzer_;
    std::mutex mutex_;
};

// ------------------------------------------------------------ analyze_file

// Keeps every row for the arrays and the summary, and lets Python's signal
// handlers run now and then: Ctrl-C stops the run after the frames in flight.
class CollectSink : public ResultSink {
  public:
    explicit CollectSink(std::atomic<int>& stop) : stop_(stop) {}

    bool begin(const RunInfo&) override { return true; }
    bool frame(const FrameMeta& meta, const FrameValues& values) override {
        seconds_.push_back(meta.seconds);
        recorder_.add(meta.index, values);
        const auto now = std::chrono::steady_clock::now();
        if (now - lastCheck_ > std::chrono::milliseconds(100)) {
            lastCheck_ = now;
            py::gil_scoped_acquire acquire;
            if (PyErr_CheckSignals() != 0) {
                stop_.store(1);
                // The exception is raised once the run is over.
                pending_ = std::make_unique<py::error_already_set>();
            }
        }
        return true;
    }
    bool end(const RunSummary&) override { return true; }

    const ResultsRecorder& recorder() const { return recorder_; }
    // Presentation time of each row, in seconds.
    const std::vector<double>& seconds() const { return seconds_; }
    void rethrow() {
        if (pending_) {
            std::unique_ptr<py::error_already_set> pending = std::move(pending_);
            pending->restore();
            throw py::error_already_set();
        }
    }

  private:
    std::atomic<int>& stop_;
    ResultsRecorder recorder_;
    std::vector<double> seconds_;
    std::chrono::steady_clock::time_point lastCheck_ = std::chrono::steady_clock::now();
    std::unique_ptr<py::error_already_set> pending_;
};

// Sets the stop flag once `seconds` have passed, from a thread of its own,
// so that a run that takes too long ends between frames as on Ctrl-C. A read
// blocked inside the decoder is not interrupted: the run ends after it.
class TimeLimit {
  public:
    TimeLimit(std::optional<double> seconds, std::atomic<int>& stop) {
        if (!seconds) return;
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(*seconds));
        thread_ = std::thread([this, until, &stop] {
            std::unique_lock lock(mutex_);
            if (!ended_.wait_until(lock, until, [this] { return over_; })) {
                expired_.store(true);
                stop.store(1);
            }
        });
    }
    TimeLimit(const TimeLimit&) = delete;
    TimeLimit& operator=(const TimeLimit&) = delete;
    ~TimeLimit() { end(); }

    // The run is over: the flag is not set from now on.
    void end() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard lock(mutex_);
            over_ = true;
        }
        ended_.notify_one();
        thread_.join();
    }
    bool expired() const { return expired_.load(); }

  private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool over_ = false;
    std::atomic<bool> expired_{false};
    std::thread thread_;
};

// The seconds of `time_limit=` (None: no limit), refused unless positive and
// at most a thousand days.
std::optional<double> timeLimitOf(const py::handle& value) {
    if (value.is_none()) return std::nullopt;
    if (py::isinstance<py::bool_>(value) ||
        (!py::isinstance<py::float_>(value) && !py::isinstance<py::int_>(value))) {
        throw py::type_error("time_limit must be a number of seconds, not " +
                             std::string(py::str(py::type::of(value).attr("__name__"))));
    }
    const double seconds = value.cast<double>();
    constexpr double kMost = 86400.0 * 1000;
    if (!(seconds > 0 && seconds <= kMost)) {
        throw py::value_error(
            "time_limit must be seconds from more than 0 to 86400000 (1000 days), not " +
            std::string(py::str(value)));
    }
    return seconds;
}

std::string timeLimitMessage(double seconds) {
    char text[96];
    std::snprintf(text, sizeof text, "lumaqc: analysis stopped after %g s (time_limit)", seconds);
    return text;
}

py::list intervalsOf(const std::vector<FrameInterval>& intervals, double fps) {
    py::list out;
    for (const FrameInterval& interval : intervals) {
        py::dict item;
        item["first_frame"] = interval.first;
        item["last_frame"] = interval.last;
        item["frames"] = interval.frames();
        item["duration_seconds"] = valueOrNone(durationSeconds(interval.frames(), fps));
        out.append(item);
    }
    return out;
}

// The summary as the JSON document has it, with None for null.
py::dict summaryOf(const ResultsRecorder& recorder, double fps) {
    py::dict stats;
    for (const IndicatorId id : kColumns) {
        const IndicatorStats s = recorder.stats(id);
        py::dict item;
        item["count"] = s.count;
        for (const auto& [name, v] :
             {std::pair{"mean", s.mean}, std::pair{"min", s.min}, std::pair{"max", s.max},
              std::pair{"p5", s.p5}, std::pair{"p50", s.p50}, std::pair{"p95", s.p95}}) {
            item[name] = s.count > 0 ? py::object(py::float_(v)) : py::object(py::none());
        }
        stats[indicatorKey(id)] = item;
    }
    py::list ratings;
    for (const FlickerRating& rating : recorder.flickerRatings()) {
        py::dict item;
        item["frame"] = rating.frame;
        item["value"] = valueOrNone(rating.value);
        ratings.append(item);
    }
    py::dict summary;
    summary["stats"] = stats;
    summary["frozen_intervals"] = intervalsOf(recorder.frozenIntervals(), fps);
    summary["blackout_intervals"] = intervalsOf(recorder.blackoutIntervals(), fps);
    summary["flicker_ratings"] = ratings;
    return summary;
}

// The built-in profile by its name, or a TOML file, as the program reads them.
qc::Profile loadProfile(const std::string& name) {
    std::string error;
    std::optional<qc::Profile> profile = qc::loadProfile(name, error);
    if (!profile) raiseError("lumaqc: " + error);
    return std::move(*profile);
}

// Stores a keyword argument in the setting the program's option of that name
// sets (see settings/settings.h); None leaves the default.
void setSetting(Settings& settings, const SettingField& field, const py::handle& value) {
    std::visit(
        [&](auto member) {
            auto& target = settings.*member;
            using Target = std::remove_reference_t<decltype(target)>;
            if constexpr (std::is_same_v<Target, std::string>) {
                // Paths are the system's bytes (os.fsencode), whatever their encoding.
                target = py::module_::import("os").attr("fsencode")(value).cast<std::string>();
                if (target.find('\0') != std::string::npos) {
                    throw py::value_error(std::string(field.keyword) + " " + printableName(target) +
                                          " holds a NUL character, which no file name can hold");
                }
                // Refused as the program's parser refuses it.
                if (const std::string why = field.check ? field.check(target) : ""; !why.empty()) {
                    raiseError(std::string("lumaqc: ") + field.option + ": " + why +
                               " (see --help)");
                }
            } else if constexpr (std::is_same_v<Target, bool>) {
                target = value.cast<bool>();
            } else if constexpr (std::is_same_v<Target, std::optional<double>>) {
                target = value.cast<double>();
            } else if constexpr (std::is_same_v<Target, std::optional<int64_t>>) {
                target = value.cast<int64_t>();
            } else {
                target = value.cast<Target>();
            }
        },
        field.member);
}

// Reads option words ("--frames", "5", "--fail-on", "warning" ...) as the
// program reads its command line: the same parser, checks and refusals, then
// validate(). Returns the options given by keyword, with their values as
// analyze_file() takes them; raises Error with the program's message.
py::dict parseOptions(const std::vector<std::string>& words) {
    Settings settings;
    CLI::App app{"", "lumaqc"};
    app.set_help_flag();
    bindSettings(app, settings);
    std::vector<const char*> argv{"lumaqc"};
    for (const std::string& word : words) argv.push_back(word.c_str());
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError& e) {
        raiseError(std::string("lumaqc: ") + e.what() + " (see --help)");
    }
    if (const std::string error = validate(settings); !error.empty()) raiseError(error);
    py::dict given;
    for (const SettingField& field : settingFields()) {
        if (app.count(field.option) == 0) continue;
        std::visit(
            [&](auto member) {
                const auto& value = settings.*member;
                if constexpr (std::is_same_v<std::remove_cvref_t<decltype(value)>, std::string>) {
                    given[field.keyword] = py::bytes(value);  // paths: the system's bytes
                } else {
                    given[field.keyword] = value;
                }
            },
            field.member);
    }
    return given;
}

// The settings of analyze_file(path, **options): the program's named options
// by their keywords (pix_fmt, fail_on, log_rotate, ...), width and height for
// its positional size. Python writes no log unless `log` is given.
Settings settingsOf(const std::string& path, const py::dict& options) {
    if (path == "-") throw py::value_error("standard input cannot be analysed from Python");
    // One with a NUL names no file: the system would read it up to the NUL.
    if (path.find('\0') != std::string::npos) {
        throw py::value_error("path " + printableName(path) +
                              " holds a NUL character, which no file name can hold");
    }
    Settings settings;
    settings.input = path;
    settings.noLog = true;
    std::optional<int64_t> width;
    std::optional<int64_t> height;
    bool noLogGiven = false;
    for (const auto& [key, value] : options) {
        const std::string name = py::str(key);
        if (value.is_none()) continue;
        if (name == "width" || name == "height") {
            (name == "width" ? width : height) = value.cast<int64_t>();
            continue;
        }
        const SettingField* field = findSettingField(name);
        if (field == nullptr) {
            throw py::type_error("analyze_file() got an unexpected keyword argument '" + name +
                                 "'");
        }
        if (name == "print_profile") {
            throw py::value_error("print_profile: read a profile with check_profile()");
        }
        setSetting(settings, *field, value);
        if (name == "no_log") noLogGiven = true;
        if (name == "log" && !noLogGiven) settings.noLog = false;
    }
    if (noLogGiven) settings.noLog = options["no_log"].cast<bool>();
    if (width.has_value() != height.has_value()) {
        throw py::value_error("width and height go together");
    }
    if (width) {
        settings.width = *width;
        settings.height = *height;
        settings.sizeText = std::to_string(*width) + " x " + std::to_string(*height);
    }
    const std::string error = validate(settings);
    if (!error.empty()) raiseError(error);
    if (settings.live.live || settings.live.metrics || !settings.live.execOnEvent.empty()) {
        raiseError(
            "lumaqc: live monitoring (live, metrics, exec_on_event) needs the lumaqc "
            "program");
    }
    return settings;
}

// The profile of `profile=`, read (and refused) before anything else is
// read or written, with the ignore_head / ignore_tail of the keywords; none
// without one.
std::optional<qc::Profile> profileOf(const Settings& settings) {
    if (settings.profile.empty()) return std::nullopt;
    qc::Profile profile = loadProfile(settings.profile);
    if (!settings.ignoreHead.empty()) profile.ignoreHead = settings.ignoreHead;
    if (!settings.ignoreTail.empty()) profile.ignoreTail = settings.ignoreTail;
    return profile;
}

// The input opened as the program opens it (without the GIL); raises Error,
// or NotVideoError for a file that holds no video the decoder knows.
std::unique_ptr<Analysis> openInput(const Settings& settings,
                                    const std::optional<qc::Profile>& profile,
                                    std::atomic<int>& stop) {
    AnalysisRequest request = analysisRequest(settings);
    request.stop = &stop;
    request.quantisers = profile && qc::watchesQuantiser(*profile);
    std::string error;
    OpenStatus opened = OpenStatus::Ok;
    std::unique_ptr<Analysis> analysis;
    {
        py::gil_scoped_release release;
        analysis = Analysis::open(request, error, &opened);
    }
    if (analysis) return analysis;
    if (error.empty()) {
        raiseError(printableName(settings.input) +
                       " is not a video file that can be decoded; raw video needs width "
                       "and height",
                   notVideoType);
    }
    raiseError(error);
}

// The result's "frame", "time" and "values" arrays from the rows collected.
void addRows(py::dict& result, const CollectSink& collect) {
    const ResultsRecorder& recorder = collect.recorder();
    const auto rows = static_cast<py::ssize_t>(recorder.size());
    py::array_t<int64_t> indices(rows);
    py::array_t<double> times(rows);
    py::array_t<double> values({rows, static_cast<py::ssize_t>(kIndicatorCount)});
    auto index = indices.mutable_unchecked<1>();
    auto time = times.mutable_unchecked<1>();
    auto value = values.mutable_unchecked<2>();
    for (py::ssize_t row = 0; row < rows; ++row) {
        index(row) = recorder.frameIndex(static_cast<size_t>(row));
        time(row) = collect.seconds()[static_cast<size_t>(row)];
        py::ssize_t column = 0;
        for (const IndicatorId id : kColumns) {
            value(row, column++) = valueOrNaN(recorder.value(static_cast<size_t>(row), id));
        }
    }
    result["frame"] = indices;
    result["time"] = times;
    result["values"] = values;
}

// The result's "input": the input as opened, and the run's settings.
py::dict inputOf(const SourceInfo& input, const RunOptions& run) {
    py::dict info;
    info["path"] = py::bytes(input.path);  // the package decodes it with os.fsdecode
    info["kind"] = input.kind;
    info["codec"] = input.kind == "decoder" ? input.codec : std::string("rawvideo");
    info["width"] = input.width;
    info["height"] = input.height;
    info["fps"] = run.fps;
    info["start_frame"] = run.start;
    info["frames_requested"] =
        run.untilEnd ? py::object(py::none()) : py::object(py::int_(run.frames));
    // As the JSON document's input record: the container's declared duration,
    // else a file's whole frames at the run's rate; None when unknown.
    double declared = input.durationSeconds;
    if (declared < 0 && input.frames >= 0 && run.fps > 0 && std::isfinite(run.fps)) {
        declared = static_cast<double>(input.frames) / run.fps;
    }
    info["duration_seconds"] =
        declared >= 0 ? py::object(py::float_(declared)) : py::object(py::none());
    return info;
}

// Runs the engine on `path` with the program's options (see settingsOf) and
// returns a dict: "input", "frame" (indices), "time" (presentation times,
// seconds), "values" (frames x 15, column order, NaN for null), "summary",
// "complete", "error" (the one-line message of an error that ended the run,
// else None) and, under a profile, "decision" (the JSON document's profile,
// verdict, events and decode_errors, as one JSON object's text). With
// `time_limit` (seconds) a run still going then is stopped between frames:
// "error" says so and "timed_out" is True.
py::dict analyzeFile(const std::string& path, const py::kwargs& keywords) {
    py::dict options = keywords.attr("copy")();
    const std::optional<double> seconds =
        timeLimitOf(options.attr("pop")("time_limit", py::none()));
    const Settings settings = settingsOf(path, options);
    // Outputs that would destroy the input or each other stop the start.
    if (const std::string clash = checkOutputPaths(settings); !clash.empty()) {
        raiseError(printableName(clash.substr(0, clash.size() - 1)));
    }
    std::optional<qc::Profile> profile = profileOf(settings);
    std::atomic<int> stop{0};
    TimeLimit limit(seconds, stop);
    std::unique_ptr<Analysis> analysis;
    try {
        analysis = openInput(settings, profile, stop);
    } catch (const py::error_already_set&) {
        // An open that the stop flag cut short failed for want of time.
        if (limit.expired()) raiseError(timeLimitMessage(*seconds), timeLimitType);
        throw;
    }
    const SourceInfo& input = analysis->input();
    const RunOptions& run = analysis->options();
    if (profile && !(run.fps > 0.0 && std::isfinite(run.fps))) {
        char text[96];
        std::snprintf(text, sizeof text, "lumaqc: a QC profile needs a positive frame rate, not %g",
                      run.fps);
        raiseError(text);
    }
    if (const std::string bad = profile ? qc::timecodeBeyondRate(*profile, run.fps) : "";
        !bad.empty()) {
        raiseError("lumaqc: " + bad);
    }

    // As the program does: the decision first, then the documents, created
    // once the input is open.
    Outputs outputs;
    std::string error;
    if (!outputs.create(settings, std::move(profile), input.path, OutputsFor::Library, nullptr,
                        error)) {
        raiseError(error);
    }
    CollectSink collect(stop);
    std::vector<ResultSink*> sinks = outputs.sinks();
    sinks.push_back(&collect);
    RunOutcome outcome;
    std::string unwritten;
    {
        py::gil_scoped_release release;
        outcome = analysis->run(sinks);
        limit.end();
        // Why a document is not whole (a failed write or close), or nothing:
        // a caller renames only whole documents into place.
        unwritten = outputs.closeDocuments();
    }
    collect.rethrow();

    py::dict result;
    result["unwritten"] = py::bytes(unwritten);
    result["input"] = inputOf(input, run);
    addRows(result, collect);
    result["summary"] = summaryOf(collect.recorder(), run.fps);
    result["complete"] = outcome.status == 0 && !outcome.stopped;
    std::string message = outcome.status != 0 ? outcome.message : std::string();
    if (const DecisionSink* decision = outputs.decision()) {
        // The document's profile, verdict, events and decode_errors.
        result["decision"] = decision->document().dump(
            -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        // Under a profile, damage and an input that ended early after frames
        // were analysed are in the verdict (as for the program): no error.
        if (outcome.inputFailed && outcome.framesDone > 0) message.clear();
    }
    // No frame, no verdict and no document (as the program and `lumaqc
    // check` say), unless none was asked for.
    const bool askedForFrames = outputs.decision() || run.untilEnd || run.frames > 0;
    if (outcome.framesDone == 0 && !outcome.stopped && message.empty() && askedForFrames) {
        message = "lumaqc: no frame of " + printableName(path);
    }
    // Stopped by the time limit, not by an error of its own.
    const bool timedOut = outcome.stopped && limit.expired() && message.empty();
    if (timedOut) message = timeLimitMessage(*seconds);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    result["error"] = message.empty() ? py::object(py::none()) : py::object(py::str(message));
    result["timed_out"] = timedOut;
    return result;
}

// ------------------------------------------------------------------- probe

// "y4m" for a Y4M signature, the name of the container libavformat
// recognises in the first bytes (and the name), or None: pictures (JPEG,
// PNG, ... pipes and image sequences), text, raw samples (known by their name
// only) and unknown content are not video.
py::object probe(const std::string& path) {
    if (path.find('\0') != std::string::npos) return py::none();  // names no file
    std::string head(4096, '\0');
    {
        py::gil_scoped_release release;
        FILE* file = std::fopen(path.c_str(), "rb");
        if (file == nullptr) {
            head.clear();
        } else {
            head.resize(std::fread(head.data(), 1, head.size(), file));
            std::fclose(file);
        }
    }
    if (head.empty()) return py::none();
    if (head.compare(0, 10, "YUV4MPEG2 ") == 0) return py::str("y4m");
#ifdef LUMAQC_HAVE_DECODER
    if (!ffmpeg::load()) return py::none();
    std::vector<unsigned char> buffer(head.begin(), head.end());
    buffer.resize(head.size() + AVPROBE_PADDING_SIZE, 0);
    AVProbeData data{};
    data.filename = path.c_str();
    data.buf = buffer.data();
    data.buf_size = static_cast<int>(head.size());
    int score = 0;
    const AVInputFormat* format = ffmpeg::api().av_probe_input_format3(&data, 1, &score);
    if (format == nullptr || score < AVPROBE_SCORE_RETRY) return py::none();
    const std::string name = format->name;
    const auto endsWith = [&](const char* suffix) {
        const size_t n = std::strlen(suffix);
        return name.size() >= n && name.compare(name.size() - n, n, suffix) == 0;
    };
    if (endsWith("_pipe") || name == "image2" || name == "tty" || name == "rawvideo") {
        return py::none();
    }
    return py::str(name);
#else
    return py::none();
#endif
}

}  // namespace

PYBIND11_MODULE(_lumaqc, m) {
    m.doc() = "Compiled core of the lumaqc package (use the package `lumaqc`).";
    // The decoding libraries' messages stay off Python's error stream, and
    // truncated files are recognised, as in the program.
    installDecoderLogHandler();
    static py::exception<std::runtime_error> error(m, "Error", PyExc_RuntimeError);
    errorType = error.ptr();
    static py::exception<std::runtime_error> notVideo(m, "NotVideoError", error.ptr());
    notVideoType = notVideo.ptr();
    static py::exception<std::runtime_error> timeLimit(m, "TimeLimitError", error.ptr());
    timeLimitType = timeLimit.ptr();

    py::list indicators;
    for (const IndicatorId id : kColumns) {
        indicators.append(py::make_tuple(indicatorKey(id), indicatorName(id)));
    }
    m.attr("indicators") = indicators;
    m.attr("__version__") = lumaqc::version();
    // `decoder` loads FFmpeg's libraries to answer, so only when asked.
    m.def("__getattr__", [](const std::string& name) -> py::object {
        if (name == "decoder") return py::bool_(!decoderLibraries().empty());
        throw py::attribute_error("module 'lumaqc._lumaqc' has no attribute '" + name + "'");
    });

    py::class_<PyAnalyzer>(m, "Analyzer", R"doc(
Analyses a video one luma plane at a time.

Analyzer(width, height, fps=25.0) keeps the frame-to-frame state of the
temporal indicators (previous picture, freeze counter, flicker counters);
frames must come in order. Several analysers can run side by side.
)doc")
        .def(py::init([](int32_t width, int32_t height, double fps) {
                 try {
                     return std::make_unique<PyAnalyzer>(width, height, fps);
                 } catch (const std::invalid_argument& e) {
                     throw py::value_error(e.what());
                 }
             }),
             py::arg("width"), py::arg("height"), py::arg("fps") = 25.0)
        .def(
            "analyze",
            [](PyAnalyzer& self, const py::object& luma) {
                try {
                    return self.analyze(luma);
                } catch (const std::invalid_argument& e) {
                    throw py::value_error(e.what());
                }
            },
            py::arg("luma"), R"doc(
Analyses the next frame.

luma: 2-D numpy array of uint8, height x width, the analyser's size. Any row
stride works (slices and views of larger pictures are read in place), but the
samples of a row must be contiguous. The GIL is released while it computes.

Returns the fifteen values keyed by their JSON keys, in column order; NaN
where the JSON document has null (no value).
)doc")
        .def_property_readonly("width", &PyAnalyzer::width)
        .def_property_readonly("height", &PyAnalyzer::height)
        .def_property_readonly("frames", &PyAnalyzer::frames, "Frames analysed so far.");

    m.def("analyze_file", &analyzeFile, py::arg("path"),
          "Runs the engine on a file with the program's options as keyword arguments (and "
          "time_limit, seconds); the package's analyze_file() wraps the result.");
    py::list options;
    py::list optionTable;
    for (const SettingField& field : settingFields()) {
        options.append(field.keyword);
        const bool flag = std::holds_alternative<bool Settings::*>(field.member);
        optionTable.append(
            py::make_tuple(field.option, field.keyword, topicName(field.topic), field.help, flag));
    }
    m.attr("options") = options;
    // (option, keyword, --help topic, help line, flag) of each, for lumaqc-batch.
    m.attr("option_table") = optionTable;
    m.def("parse_options", &parseOptions, py::arg("words"),
          "Reads the program's option words as it does: the options given by keyword, or Error.");
    m.def(
        "check_profile",
        [](const std::string& name) {
            const qc::Profile profile = loadProfile(name);
            return profile.name;
        },
        py::arg("profile"),
        "Reads a profile (a built-in name or a TOML file): its name, or Error.");
    m.def(
        "printable_name", [](const py::bytes& name) { return printableName(std::string(name)); },
        py::arg("name"), "The name as lumaqc shows it: non-UTF-8 bytes and controls as \\xNN.");
    m.def("probe", &probe, py::arg("path"),
          "'y4m', the container name libavformat recognises, or None.");
}
