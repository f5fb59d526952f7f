#include "live/metrics.h"

#include <lumaqc/lumaqc.h>
#include <time.h>

#include <charconv>
#include <cmath>

#include "indicators/registry.h"
#include "io/frame_source.h"
#include "report/results_summary.h"
#include "tools/simd.h"

namespace lumaqc {

namespace {

constexpr double kMeanWindows[] = {10.0, 60.0};
constexpr const char* kMeanWindowNames[] = {"10s", "60s"};
constexpr double kRateSeconds = 10.0;

double now(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

std::string escapeLabelValue(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string escapeHelp(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string sampleValue(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

void Exposition::family(const std::string& name, const std::string& type, const std::string& help) {
    name_ = name;
    text_ += "# HELP " + name + " " + escapeHelp(help) + "\n# TYPE " + name + " " + type + "\n";
}

void Exposition::sample(const Labels& labels, double value) {
    text_ += name_;
    if (!labels.empty()) {
        text_ += '{';
        for (size_t i = 0; i < labels.size(); ++i) {
            if (i > 0) text_ += ',';
            text_ += labels[i].first + "=\"" + escapeLabelValue(labels[i].second) + '"';
        }
        text_ += '}';
    }
    text_ += ' ' + sampleValue(value) + '\n';
}

Metrics::Metrics(std::vector<std::pair<std::string, std::string>> eventTypes) {
    for (const auto& [type, severity] : eventTypes) {
        eventsOpened_[{type, severity}] = 0;
        activeEvents_[type] = 0;
    }
}

void Metrics::signalLost() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++stalls_;
    lost_ = true;
}

void Metrics::signalBack() {
    std::lock_guard<std::mutex> lock(mutex_);
    lost_ = false;
}

void Metrics::declare(const std::string& type, const std::string& severity) {
    std::lock_guard<std::mutex> lock(mutex_);
    eventsOpened_.try_emplace({type, severity}, 0);
    activeEvents_.try_emplace(type, 0);
}

void Metrics::begin(int64_t firstFrame, double) {
    std::lock_guard<std::mutex> lock(mutex_);
    firstFrame_ = firstFrame;
}

void Metrics::frame(int64_t index, const lumaqc::FrameValues& values, double time) {
    const double monotonic = now(CLOCK_MONOTONIC);
    const double unix = now(CLOCK_REALTIME);
    std::lock_guard<std::mutex> lock(mutex_);
    ++frames_;
    latest_ = values;
    latestFirst_ = index == firstFrame_;
    lastFrameUnix_ = unix;
    recent_.push_back(Row{time, latestFirst_, values});
    while (recent_.front().time <= time - kMeanWindows[1]) recent_.pop_front();
    const auto tenth = static_cast<int64_t>(std::floor(monotonic * 10.0));
    auto& slot = rate_[static_cast<size_t>(tenth % static_cast<int64_t>(rate_.size()))];
    if (slot.first != tenth) slot = {tenth, 0};
    ++slot.second;
}

void Metrics::onEvent(const LiveEvent& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (event.change == "open") {
        ++eventsOpened_[{event.type, event.severity}];
        ++activeEvents_[event.type];
    } else if (event.change == "escalate") {
        ++eventsOpened_[{event.type, event.severity}];
    } else if (activeEvents_[event.type] > 0) {
        --activeEvents_[event.type];
    }
}

std::string Metrics::render() const {
    const double monotonic = now(CLOCK_MONOTONIC);
    std::lock_guard<std::mutex> lock(mutex_);
    Exposition out;
    out.family("lumaqc_build_info", "gauge",
               "Version and build of lumaqc, as labels; the value is always 1.");
    const std::string decoder = decoderLibraries();
    out.sample({{"version", lumaqc::version()},
                {"decoder", decoder.empty() ? "none" : decoder},
                {"simd", activeSimdTarget()}},
               1);
    out.family("lumaqc_up", "gauge",
               "1 while the input delivers pictures; 0 before the first one and during a signal "
               "loss.");
    out.sample(frames_ > 0 && !lost_ ? 1 : 0);
    out.family("lumaqc_frames_total", "counter", "Frames analysed.");
    out.sample(static_cast<double>(frames_));
    out.family("lumaqc_stalls_total", "counter",
               "Signal losses: times no picture came for the stall timeout.");
    out.sample(static_cast<double>(stalls_));
    out.family("lumaqc_events_total", "counter",
               "Events that reached each severity (opened or escalated), by type.");
    for (const auto& [key, count] : eventsOpened_) {
        out.sample({{"type", key.first}, {"severity", key.second}}, static_cast<double>(count));
    }
    out.family("lumaqc_event_active", "gauge", "1 while an event of the type is open, else 0.");
    for (const auto& [type, count] : activeEvents_) out.sample({{"type", type}}, count > 0);

    out.family("lumaqc_indicator", "gauge",
               "Value of each indicator on the latest frame; NaN when that frame has none.");
    for (const IndicatorInfo* info : indicatorColumns()) {
        const std::optional<double> v =
            latest_ ? outputValue(info->id, (*latest_)[info->id], latestFirst_) : std::nullopt;
        out.sample({{"name", info->key}}, v ? *v : NAN);
    }
    out.family("lumaqc_indicator_mean", "gauge",
               "Mean of each indicator over the frames of the last 10 s and 60 s of the input's "
               "timeline, up to the latest frame; NaN when none has a value.");
    const double latestTime = recent_.empty() ? 0.0 : recent_.back().time;
    for (const IndicatorInfo* info : indicatorColumns()) {
        for (size_t w = 0; w < 2; ++w) {
            double sum = 0.0;
            int64_t count = 0;
            for (auto row = recent_.rbegin(); row != recent_.rend(); ++row) {
                if (row->time <= latestTime - kMeanWindows[w]) break;
                if (const std::optional<double> v =
                        outputValue(info->id, row->values[info->id], row->first)) {
                    sum += *v;
                    ++count;
                }
            }
            out.sample({{"name", info->key}, {"window", kMeanWindowNames[w]}},
                       count > 0 ? sum / static_cast<double>(count) : NAN);
        }
    }
    out.family("lumaqc_fps", "gauge", "Frames analysed per second over the last 10 s.");
    const auto tenth = static_cast<int64_t>(std::floor(monotonic * 10.0));
    int64_t counted = 0;
    for (const auto& [slot, count] : rate_) {
        if (slot > tenth - static_cast<int64_t>(rate_.size())) counted += count;
    }
    out.sample(static_cast<double>(counted) / kRateSeconds);
    out.family("lumaqc_last_frame_timestamp_seconds", "gauge",
               "When the latest frame was analysed, in seconds since 1970 (UTC); 0 before the "
               "first.");
    out.sample(lastFrameUnix_);
    return out.text();
}

bool MetricsSink::begin(const RunInfo& run) {
    fps_ = run.fps;
    metrics_.begin(run.start, run.fps);
    return true;
}

bool MetricsSink::frame(int64_t index, const FrameValues& values) {
    FrameMeta meta;
    meta.index = index;
    meta.seconds = fps_ > 0.0 && std::isfinite(fps_) ? static_cast<double>(index) / fps_ : 0.0;
    return frameAt(meta, values);
}

bool MetricsSink::frameAt(const FrameMeta& meta, const FrameValues& values) {
    metrics_.frame(meta.index, values, meta.seconds);
    return true;
}

}  // namespace lumaqc
