#include "live/metrics.h"

#include <dirent.h>
#include <lumaqc/lumaqc.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "indicators/registry.h"
#include "io/frame_source.h"
#include "report/results_summary.h"
#include "tools/simd.h"

namespace lumaqc {

namespace {

constexpr double kMeanWindows[] = {10.0, 60.0};
constexpr const char* kMeanWindowNames[] = {"10s", "60s"};
constexpr double kRateSeconds = 10.0;
// The means' rows: 60 s of frames at up to 120 frames a second, whatever
// rate the input claims.
constexpr size_t kRecentRows = 7200;
// The live page's picture: this wide at most, refreshed this often.
constexpr int kPictureWidth = 320;
constexpr double kPictureSeconds = 1.0;

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

Metrics::Metrics(std::vector<std::pair<std::string, std::string>> eventTypes, std::string channel)
    : channel_(std::move(channel)) {
    for (const auto& [type, severity] : eventTypes) declare(type, severity);
}

void Metrics::signalLost() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++stalls_;
    lost_ = true;
}

void Metrics::signalBack() {
    std::lock_guard<std::mutex> lock(mutex_);
    lost_ = false;
    lagBase_.reset();  // the timeline jumped over the gap
}

void Metrics::reconnect() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++reconnects_;
}

void Metrics::formatChanged() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++formatChanges_;
}

void Metrics::outputError() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++outputErrors_;
}

void Metrics::down() {
    std::lock_guard<std::mutex> lock(mutex_);
    down_ = true;
}

void Metrics::picture(std::shared_ptr<const SmallPicture> picture) {
    std::lock_guard<std::mutex> lock(mutex_);
    picture_ = std::move(picture);
}

void Metrics::countDroppedWith(std::function<long()> dropped) {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped_ = std::move(dropped);
}

void Metrics::onLag(std::function<void(int64_t, double, double)> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    lagListener_ = std::move(listener);
}

void Metrics::declare(const std::string& type, const std::string& severity) {
    std::lock_guard<std::mutex> lock(mutex_);
    eventsOpened_.try_emplace({type, severity}, 0);
    activeEvents_.try_emplace(type, "");
    std::string& known = severities_[type];
    if (known.find("," + severity + ",") == std::string::npos) {
        known += (known.empty() ? "," : "") + severity + ",";
    }
}

void Metrics::begin(int64_t firstFrame, double) {
    std::lock_guard<std::mutex> lock(mutex_);
    firstFrame_ = firstFrame;
}

void Metrics::frame(int64_t index, const lumaqc::FrameValues& values, double time, int damage) {
    const double monotonic = now(CLOCK_MONOTONIC);
    const double unix = now(CLOCK_REALTIME);
    std::function<void(int64_t, double, double)> listener;
    double lag = 0.0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++frames_;
        decodeErrors_ += damage;
        latest_ = values;
        latestFirst_ = index == firstFrame_;
        lastFrameUnix_ = unix;
        recent_.push_back(Row{time, latestFirst_, values});
        while (recent_.front().time <= time - kMeanWindows[1] || recent_.size() > kRecentRows) {
            recent_.pop_front();
        }
        const auto tenth = static_cast<int64_t>(std::floor(monotonic * 10.0));
        auto& slot = rate_[static_cast<size_t>(tenth % static_cast<int64_t>(rate_.size()))];
        if (slot.first != tenth) slot = {tenth, 0};
        ++slot.second;
        // Real time runs on while the input's timeline does: what exceeds the
        // smallest difference seen is how far behind the analysis is.
        const double behind = monotonic - time;
        if (std::isfinite(behind)) {
            if (!lagBase_ || behind < *lagBase_) lagBase_ = behind;
            lag_ = behind - *lagBase_;
        }
        lag = lag_;
        listener = lagListener_;
    }
    if (listener) listener(index, time, lag);
}

void Metrics::onEvent(const LiveEvent& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (event.change == "open" || event.change == "escalate") {
        ++eventsOpened_[{event.type, event.severity}];
        activeEvents_[event.type] = event.severity;
        std::string& known = severities_[event.type];
        if (known.find("," + event.severity + ",") == std::string::npos) {
            known += (known.empty() ? "," : "") + event.severity + ",";
        }
    } else {
        activeEvents_[event.type].clear();
    }
}

std::vector<Metrics::Family> Metrics::families() const {
    const double monotonic = now(CLOCK_MONOTONIC);
    std::lock_guard<std::mutex> lock(mutex_);
    const Exposition::Labels channel =
        channel_.empty() ? Exposition::Labels{} : Exposition::Labels{{"channel", channel_}};
    const auto with = [&channel](Exposition::Labels more) {
        Exposition::Labels labels = channel;
        labels.insert(labels.end(), more.begin(), more.end());
        return labels;
    };
    std::vector<Family> out;
    const auto family = [&out](const char* name, const char* type, const std::string& help) {
        out.push_back(Family{name, type, help, {}});
        return &out.back().samples;
    };
    const auto counter = [&](const char* name, const char* help, double value) {
        family(name, "counter", help)->push_back({channel, value});
    };
    family("lumaqc_up", "gauge",
           "1 while the monitor of the channel runs (also during a signal loss).")
        ->push_back({channel, down_ ? 0 : 1});
    family("lumaqc_receiving", "gauge",
           "1 while the input delivers pictures; 0 before the first one and during a signal "
           "loss.")
        ->push_back({channel, frames_ > 0 && !lost_ && !down_ ? 1 : 0});
    counter("lumaqc_frames_total", "Frames analysed.", static_cast<double>(frames_));
    counter("lumaqc_stalls_total", "Signal losses: times no picture came for the stall timeout.",
            static_cast<double>(stalls_));
    counter("lumaqc_decode_errors_total", "Decoding errors reported by the decoder.",
            static_cast<double>(decodeErrors_));
    counter("lumaqc_reconnects_total",
            "Attempts to open the input again: after it broke or stalled, or after a failed first "
            "attempt.",
            static_cast<double>(reconnects_));
    counter("lumaqc_format_changes_total",
            "Changes of the input's picture size, pixel format or codec.",
            static_cast<double>(formatChanges_));
    counter("lumaqc_output_errors_total", "Writes of an output (log, documents) that failed.",
            static_cast<double>(outputErrors_));
    counter("lumaqc_hook_dropped_total",
            "Events not handed to the --exec-on-event command (it was too far behind).",
            dropped_ ? static_cast<double>(dropped_()) : 0.0);
    family("lumaqc_lag_seconds", "gauge",
           "How far behind real time the analysis runs: the delay of the latest frame beyond "
           "the smallest seen; NaN while no picture arrives.")
        ->push_back({channel, lagNow()});
    auto* events = family("lumaqc_events_total", "counter",
                          "Events that reached each severity (opened or escalated), by type.");
    for (const auto& [key, count] : eventsOpened_) {
        events->push_back(
            {with({{"type", key.first}, {"severity", key.second}}), static_cast<double>(count)});
    }
    auto* active = family("lumaqc_event_active", "gauge",
                          "1 while an event of the type is open at that severity, else 0.");
    for (const auto& [type, severity] : activeEvents_) {
        const auto known = severities_.find(type);
        std::string list = known != severities_.end() ? known->second : "";
        for (size_t at = 1; at < list.size();) {
            const size_t comma = list.find(',', at);
            const std::string each = list.substr(at, comma - at);
            active->push_back({with({{"type", type}, {"severity", each}}), severity == each});
            at = comma + 1;
        }
    }
    const auto valueOf = [this](const IndicatorInfo* info) {
        const std::optional<double> v =
            latest_ ? outputValue(info->id, (*latest_)[info->id], latestFirst_) : std::nullopt;
        return v ? *v : NAN;
    };
    for (const IndicatorInfo* info : indicatorColumns()) {
        out.push_back(Family{std::string("lumaqc_") + info->key,
                             "gauge",
                             std::string(info->name) +
                                 " of the latest frame, as in the log's column; NaN when that "
                                 "frame has none.",
                             {{channel, valueOf(info)}}});
    }
    auto* indicator = family("lumaqc_indicator", "gauge",
                             "Value of each indicator on the latest frame; NaN when that frame "
                             "has none (the same values as lumaqc_<indicator>).");
    for (const IndicatorInfo* info : indicatorColumns()) {
        indicator->push_back({with({{"name", info->key}}), valueOf(info)});
    }
    auto* means = family("lumaqc_indicator_mean", "gauge",
                         "Mean of each indicator over the frames of the last 10 s and 60 s of the "
                         "input's timeline, up to the latest frame; NaN when none has a value.");
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
            means->push_back({with({{"name", info->key}, {"window", kMeanWindowNames[w]}}),
                              count > 0 ? sum / static_cast<double>(count) : NAN});
        }
    }
    const auto tenth = static_cast<int64_t>(std::floor(monotonic * 10.0));
    int64_t counted = 0;
    for (const auto& [slot, count] : rate_) {
        if (slot > tenth - static_cast<int64_t>(rate_.size())) counted += count;
    }
    family("lumaqc_fps", "gauge", "Frames analysed per second over the last 10 s.")
        ->push_back({channel, static_cast<double>(counted) / kRateSeconds});
    family("lumaqc_last_frame_timestamp_seconds", "gauge",
           "When the latest frame was analysed, in seconds since 1970 (UTC); 0 before the first.")
        ->push_back({channel, lastFrameUnix_});
    return out;
}

// While no picture arrives (before the first, during a signal loss, once
// the channel is down) nothing is analysed late or in time: the lag is not
// known, rather than the last one, which would show a healthy channel (and
// not a growing one, which would blame the host for the source's fault).
double Metrics::lagNow() const {
    return frames_ > 0 && !lost_ && !down_ ? lag_ : NAN;
}

ChannelStatus Metrics::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    ChannelStatus status;
    status.channel = channel_;
    status.receiving = frames_ > 0 && !lost_ && !down_;
    status.frames = frames_;
    status.lagSeconds = lagNow();
    for (const auto& [type, severity] : activeEvents_) {
        if (!severity.empty()) status.openEvents.emplace_back(type, severity);
    }
    status.picture = picture_;
    return status;
}

namespace {

// The process's own series, as Prometheus's client libraries name them.
void processFamilies(Exposition& out) {
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name (which may hold spaces), from field 3 on.
    const size_t close = text.rfind(')');
    std::vector<std::string> fields;
    if (close != std::string::npos) {
        std::istringstream rest(text.substr(close + 2));
        for (std::string field; rest >> field;) fields.push_back(field);
    }
    const auto field = [&fields](size_t number) {  // 1-based as in proc(5)
        return number >= 3 && number - 3 < fields.size() ? std::atof(fields[number - 3].c_str())
                                                         : NAN;
    };
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
    double bootUnix = NAN;
    std::ifstream uptime("/proc/uptime");
    if (double up = 0.0; uptime >> up) bootUnix = now(CLOCK_REALTIME) - up;
    int fds = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') ++fds;
        }
        closedir(dir);
        --fds;  // the directory's own
    }
    out.family("process_cpu_seconds_total", "counter", "User and system CPU time in seconds.");
    out.sample((field(14) + field(15)) / ticks);
    out.family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    out.sample(field(24) * page);
    out.family("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.");
    out.sample(field(23));
    out.family("process_start_time_seconds", "gauge",
               "Start time of the process since 1970 (UTC) in seconds.");
    out.sample(bootUnix + field(22) / ticks);
    out.family("process_open_fds", "gauge", "Open file descriptors.");
    out.sample(fds);
    out.family("process_max_fds", "gauge", "Most file descriptors the process may open.");
    out.sample(static_cast<double>(sysconf(_SC_OPEN_MAX)));
}

}  // namespace

std::string renderMetrics(const std::vector<const Metrics*>& channels) {
    Exposition out;
    out.family("lumaqc_build_info", "gauge",
               "Version and build of lumaqc, as labels; the value is always 1.");
    const std::string decoder = decoderLibraries();
    out.sample({{"version", lumaqc::version()},
                {"decoder", decoder.empty() ? "none" : decoder},
                {"simd", activeSimdTarget()}},
               1);
    std::vector<std::vector<Metrics::Family>> all;
    for (const Metrics* channel : channels) all.push_back(channel->families());
    for (size_t f = 0; !all.empty() && f < all.front().size(); ++f) {
        const Metrics::Family& first = all.front()[f];
        out.family(first.name, first.type, first.help);
        for (const auto& channel : all) {
            for (const auto& [labels, value] : channel[f].samples) out.sample(labels, value);
        }
    }
    processFamilies(out);
    return out.text();
}

std::string Metrics::render() const {
    return renderMetrics({this});
}

bool MetricsSink::begin(const RunInfo& run) {
    metrics_.begin(run.start, run.fps);
    return true;
}

bool MetricsSink::frame(const FrameMeta& meta, const FrameValues& values) {
    metrics_.frame(meta.index, values, meta.seconds, meta.damage);
    return true;
}

bool MetricsSink::wantsPictures() const {
    return thumbnailsAvailable();
}

void MetricsSink::picture(const FrameMeta& meta, const LumaPicture& luma) {
    const double monotonic = now(CLOCK_MONOTONIC);
    if (monotonic - lastPicture_ < kPictureSeconds) return;
    lastPicture_ = monotonic;
    metrics_.picture(scaleDown(luma, meta.index, kPictureWidth));
}

}  // namespace lumaqc
