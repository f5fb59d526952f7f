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
#include <lumaqc/run.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "io/display_name.h"
#include "qc/profile.h"
#include "report/decision_sink.h"
#include "report/output_file.h"
#include "report/results_summary.h"

#ifdef LUMAQC_HAVE_DECODER
extern "C" {
#include <libavformat/avformat.h>
}
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
    bool frameAt(const FrameMeta& meta, const FrameValues& values) override {
        seconds_.push_back(meta.seconds);
        return frame(meta.index, values);
    }
    bool frame(int64_t index, const FrameValues& values) override {
        recorder_.add(index, values);
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

// Runs the engine on `path` and returns a dict: "input", "frame" (indices),
// "time" (presentation times, seconds), "values" (frames x 15, column order,
// NaN for null), "summary", "complete", "error" (the one-line message of an
// error that ended the run, else None) and, under a profile, "decision" (the
// JSON document's profile, verdict, events and decode_errors, as JSON text).
py::dict analyzeFile(const std::string& path, std::optional<int32_t> width,
                     std::optional<int32_t> height, std::optional<double> fps,
                     std::optional<int64_t> frames, std::optional<int64_t> start,
                     std::optional<int> threads, std::optional<std::string> jsonPath,
                     std::optional<std::string> reportPath,
                     std::optional<std::string> profileName) {
    if (path == "-") throw py::value_error("standard input cannot be analysed from Python");
    // Paths are bytes (os.fsencode); one with a NUL names no file: the
    // system would read it only up to the NUL.
    for (const auto& [what, name] :
         {std::pair{"path", std::optional<std::string>(path)}, std::pair{"json", jsonPath},
          std::pair{"report", reportPath}}) {
        if (name && name->find('\0') != std::string::npos) {
            throw py::value_error(std::string(what) + " " + readableName(*name) +
                                  " holds a NUL character, which no file name can hold");
        }
    }
    if (width.has_value() != height.has_value()) {
        throw py::value_error("width and height go together");
    }
    if (width && (*width <= 0 || *height <= 0)) {
        throw py::value_error("width and height must be positive");
    }
    if (start && *start < 0) throw py::value_error("start must not be negative");
    if (threads && *threads < 1) throw py::value_error("threads must be at least 1");

    // A profile is read, and refused, before anything else is read or written.
    std::optional<qc::Profile> profile;
    if (profileName) profile = loadProfile(*profileName);
    // Documents that would overwrite the input or each other are refused as
    // the program refuses them.
    std::vector<NamedOutput> outputs;
    if (jsonPath) outputs.push_back({"the JSON document (json=)", *jsonPath});
    if (reportPath) outputs.push_back({"the HTML report (report=)", *reportPath});
    const std::string clash = checkOutputs("lumaqc", path, outputs);
    if (!clash.empty()) raiseError(printableName(clash.substr(0, clash.size() - 1)));

    std::atomic<int> stop{0};
    AnalysisRequest request;
    request.path = path;
    request.width = width.value_or(0);
    request.height = height.value_or(0);
    request.fps = fps;
    request.frames = frames;
    request.start = start.value_or(0);
    request.threads = threads.value_or(0);
    request.stop = &stop;
    // Under a profile, damage is an event and the run goes on.
    request.continueAfterDamage = profile.has_value();
    std::string error;
    OpenStatus opened = OpenStatus::Ok;
    std::unique_ptr<Analysis> analysis;
    {
        py::gil_scoped_release release;
        analysis = Analysis::open(request, error, &opened);
    }
    if (!analysis) {
        if (error.empty()) {
            raiseError(printableName(path) +
                           " is not a video file that can be decoded; raw video needs width "
                           "and height",
                       notVideoType);
        }
        raiseError(error);
    }
    const SourceInfo& input = analysis->input();
    const RunOptions& run = analysis->options();

    if (profile && !(run.fps > 0.0 && std::isfinite(run.fps))) {
        char text[96];
        std::snprintf(text, sizeof text, "lumaqc: a QC profile needs a positive frame rate, not %g",
                      run.fps);
        raiseError(text);
    }

    // As the program does: the decision first, then the documents, created
    // once the input is open.
    std::unique_ptr<DecisionSink> decision;
    if (profile) {
        decision = std::make_unique<DecisionSink>(std::move(*profile), *profileName, false,
                                                  input.path, nullptr);
    }
    std::vector<std::unique_ptr<ResultSink>> documents;
    if (jsonPath) {
        auto json = std::make_unique<JsonSink>(*jsonPath);
        if (!json->ok()) raiseError(json->error());
        json->setDecision(decision.get());
        documents.push_back(std::move(json));
    }
    if (reportPath) {
        auto html = std::make_unique<HtmlSink>(*reportPath);
        if (!html->ok()) raiseError(html->error());
        html->setDecision(decision.get());
        documents.push_back(std::move(html));
    }
    CollectSink collect(stop);
    std::vector<ResultSink*> sinks;
    if (decision) sinks.push_back(decision.get());
    for (const auto& document : documents) sinks.push_back(document.get());
    sinks.push_back(&collect);

    RunOutcome outcome;
    // Why each document is not whole (a failed write or close), or nothing:
    // a caller renames only whole documents into place.
    std::vector<std::string> written;  // empty: whole
    {
        py::gil_scoped_release release;
        outcome = analysis->run(sinks);
        for (const auto& document : documents) written.push_back(document->error());
        documents.clear();
    }
    collect.rethrow();

    const ResultsRecorder& recorder = collect.recorder();
    const auto rows = static_cast<py::ssize_t>(recorder.size());
    py::array_t<int64_t> indices(rows);
    py::array_t<double> times(rows);
    py::array_t<double> values({rows, static_cast<py::ssize_t>(kIndicatorCount)});
    {
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
    }

    py::dict inputInfo;
    inputInfo["path"] = py::bytes(input.path);  // the package decodes it with os.fsdecode
    inputInfo["kind"] = input.kind;
    inputInfo["codec"] = input.kind == "decoder" ? input.codec : std::string("rawvideo");
    inputInfo["width"] = input.width;
    inputInfo["height"] = input.height;
    inputInfo["fps"] = run.fps;
    inputInfo["start_frame"] = run.start;
    inputInfo["frames_requested"] =
        run.untilEnd ? py::object(py::none()) : py::object(py::int_(run.frames));

    py::dict result;
    py::dict documentsWritten;
    size_t next = 0;
    if (jsonPath) documentsWritten["json"] = py::bytes(written[next++]);
    if (reportPath) documentsWritten["report"] = py::bytes(written[next++]);
    result["written"] = documentsWritten;
    result["input"] = inputInfo;
    result["frame"] = indices;
    result["time"] = times;
    result["values"] = values;
    result["summary"] = summaryOf(recorder, run.fps);
    result["complete"] = outcome.status == 0 && !outcome.stopped;
    std::string message = outcome.status != 0 ? outcome.message : std::string();
    if (decision) {
        // The document's profile, verdict, events and decode_errors, as JSON text.
        std::string members = decision->documentMembers();
        while (!members.empty() && (members.back() == '\n' || members.back() == ',')) {
            members.pop_back();
        }
        result["decision"] = "{" + members + "}";
        // Damaged input is a run error, whatever the verdict (as for the program).
        if (message.empty()) message = decision->damageSummary();
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    result["error"] = message.empty() ? py::object(py::none()) : py::object(py::str(message));
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
    std::vector<unsigned char> buffer(head.begin(), head.end());
    buffer.resize(head.size() + AVPROBE_PADDING_SIZE, 0);
    AVProbeData data{};
    data.filename = path.c_str();
    data.buf = buffer.data();
    data.buf_size = static_cast<int>(head.size());
    int score = 0;
    const AVInputFormat* format = av_probe_input_format3(&data, 1, &score);
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
    static py::exception<std::runtime_error> error(m, "Error", PyExc_RuntimeError);
    errorType = error.ptr();
    static py::exception<std::runtime_error> notVideo(m, "NotVideoError", error.ptr());
    notVideoType = notVideo.ptr();

    py::list indicators;
    for (const IndicatorId id : kColumns) {
        indicators.append(py::make_tuple(indicatorKey(id), indicatorName(id)));
    }
    m.attr("indicators") = indicators;
    m.attr("__version__") = lumaqc::version();
    m.attr("decoder") = !decoderLibraries().empty();

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

    m.def("analyze_file", &analyzeFile, py::arg("path"), py::arg("width") = py::none(),
          py::arg("height") = py::none(), py::arg("fps") = py::none(),
          py::arg("frames") = py::none(), py::arg("start") = py::none(),
          py::arg("threads") = py::none(), py::arg("json") = py::none(),
          py::arg("report") = py::none(), py::arg("profile") = py::none(),
          "Runs the engine on a file; the package's analyze_file() wraps the result.");
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
