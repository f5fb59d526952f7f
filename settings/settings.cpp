#include "settings/settings.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "io/pixel_format.h"

namespace lumaqc {

namespace {

// A whole or decimal number without sign or exponent, then `unit`.
std::optional<double> number(const std::string& text, std::string& unit) {
    const auto isDigit = [&text](size_t at) {
        return at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) != 0;
    };
    size_t i = 0;
    size_t digits = 0;
    for (; isDigit(i); ++i) ++digits;
    if (i < text.size() && text[i] == '.') {
        for (++i; isDigit(i); ++i) ++digits;
    }
    if (digits == 0) return std::nullopt;
    unit = text.substr(i);
    return std::strtod(text.substr(0, i).c_str(), nullptr);
}

// The ranges of the live values: wide enough for any real use, narrow
// enough that every wait and every count they set ends in reasonable time.
constexpr double kMinSeconds = 0.001;
constexpr double kMaxSeconds = 7 * 24 * 3600.0;  // a week
constexpr int64_t kMaxLogBytes = int64_t{1} << 40;

// The live settings as written, converted; "" or the message (no line feed).
std::string finishLive(Settings& s) {
    LiveOptions& options = s.live;
    options.live = s.liveRequested;
    std::string error;
    const auto duration = [&error](const std::string& value, const char* name, double& out) {
        if (value.empty()) return true;
        const std::optional<double> seconds = parseDuration(value);
        if (!seconds || *seconds <= 0.0) {
            error = std::string("lumaqc: invalid ") + name + " " + value +
                    ": give a positive duration such as 500ms, 2, 60s, 10m or 1h";
            return false;
        }
        if (*seconds < kMinSeconds || *seconds > kMaxSeconds) {
            error = std::string("lumaqc: ") + name + " " + value +
                    " is out of range: give a duration from 1ms to 168h (a week)";
            return false;
        }
        out = *seconds;
        return true;
    };
    if (!duration(s.stallTimeout, "--stall-timeout", options.stallTimeout) ||
        !duration(s.window, "--window", options.windowSeconds) ||
        !duration(s.flushInterval, "--flush-interval", options.flushSeconds)) {
        return error;
    }
    if (!s.metrics.empty()) {
        options.metrics = parseEndpoint(s.metrics);
        if (!options.metrics) {
            return "lumaqc: invalid --metrics " + s.metrics +
                   ": give HOST:PORT, :PORT or PORT (a port from 0 to 65535)";
        }
    }
    if (!s.logRotate.empty()) {
        const std::optional<int64_t> bytes = parseSize(s.logRotate);
        if (!bytes || *bytes <= 0) {
            return "lumaqc: invalid --log-rotate " + s.logRotate +
                   ": give a size such as 512K, 100M or 1G";
        }
        if (*bytes > kMaxLogBytes) {
            return "lumaqc: --log-rotate " + s.logRotate +
                   " is out of range: give a size from 1 byte to 1024G";
        }
        options.logRotateBytes = *bytes;
    }
    if (const std::string why = checkLogKeep(std::to_string(s.logKeep)); !why.empty()) {
        return "lumaqc: --log-keep: " + why;
    }
    options.logKeep = s.logKeep;
    options.execOnEvent = s.execOnEvent;
    options.channel = s.channel;
    options.metricsPortFile = s.metricsPortFile;
    return "";
}

std::string checkFailOn(const std::string& text) {
    if (text == "error" || text == "warning") return "";
    return text + " not in {error,warning}";
}

}  // namespace

std::string checkTime(const std::string& text) {
    int hh = 0, mm = 0, ss = 0, ff = 0, used = 0;
    char a = 0, b = 0, c = 0;
    if (std::sscanf(text.c_str(), "%2d%c%2d%c%2d%c%3d%n", &hh, &a, &mm, &b, &ss, &c, &ff, &used) ==
            7 &&
        static_cast<size_t>(used) == text.size() && a == ':' && b == ':' &&
        (c == ':' || c == ';') && hh >= 0 && mm >= 0 && mm < 60 && ss >= 0 && ss < 60 && ff >= 0) {
        return "";
    }
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (!text.empty() && end == text.c_str() + text.size() && std::isfinite(v) && v >= 0.0) {
        return "";
    }
    return text + " is neither seconds (0 or more) nor a timecode HH:MM:SS:FF";
}

std::string checkThreads(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || end == text.c_str() || *end != '\0') return text + " is not a number";
    if (errno == ERANGE || n < 0 || n > kMaxThreads) {
        return text + " is out of range, must be 0 to " + std::to_string(kMaxThreads);
    }
    return "";
}

std::string checkPath(const std::string& text) {
    return text.empty() ? "an empty path names no file" : "";
}

std::string checkLogKeep(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || end == text.c_str() || *end != '\0') return text + " is not a number";
    if (errno == ERANGE || n < 0 || n > kMaxLogKeep) {
        return text + " is out of range, must be 0 to " + std::to_string(kMaxLogKeep);
    }
    return "";
}

std::string validate(Settings& s) {
    const auto line = [](const std::string& text) { return text + "\n"; };
    // What the option parsers check while reading, for front ends without them.
    if (const std::string why = checkThreads(std::to_string(s.threads)); !why.empty()) {
        return line("lumaqc: --threads: " + why);
    }
    if (const std::string why = checkFailOn(s.failOn); !why.empty()) {
        return line("lumaqc: --fail-on: " + why);
    }
    if (s.profile.empty()) {
        if (!s.eventsPath.empty()) return line("lumaqc: --events requires --profile");
        if (s.failOn != "error") return line("lumaqc: --fail-on requires --profile");
    }
    if (s.printProfile) return "";

    if (const std::string error = finishLive(s); !error.empty()) return line(error);

    const bool sized = !s.sizeText.empty() || s.width != 0 || s.height != 0;
    const int64_t w = s.width;
    const int64_t h = s.height;
    constexpr int64_t kMaxSide = std::numeric_limits<int32_t>::max();
    if (sized && (w <= 0 || h <= 0)) {
        return line("Invalid picture size " + std::to_string(w) + " x " + std::to_string(h) +
                    ": width and height must be positive");
    }
    if (sized && (w > kMaxSide || h > kMaxSide)) {
        const std::string shown =
            s.sizeText.empty() ? std::to_string(w) + " x " + std::to_string(h) : s.sizeText;
        return line("Invalid picture size " + shown + ": width and height must be at most " +
                    std::to_string(kMaxSide) + " (out of range)");
    }
    // Pictures are indexed with 32-bit sample positions.
    if (w * h > std::numeric_limits<int32_t>::max()) {
        return line("Picture size " + std::to_string(w) + " x " + std::to_string(h) +
                    " is too large");
    }
    if (!s.pixelFormat.empty() && findPixelFormat(s.pixelFormat) == nullptr) {
        return line("lumaqc: unknown pixel format " + s.pixelFormat +
                    " for --pix-fmt; accepted: " + pixelFormatNames());
    }
    if (s.start < 0) {
        return line("Invalid start frame " + std::to_string(s.start) + ": it must be 0 or more");
    }
    return "";
}

std::optional<double> parseDuration(const std::string& text) {
    std::string unit;
    const std::optional<double> value = number(text, unit);
    if (!value) return std::nullopt;
    double scale = 0.0;
    if (unit.empty() || unit == "s") {
        scale = 1.0;
    } else if (unit == "ms") {
        scale = 0.001;
    } else if (unit == "m") {
        scale = 60.0;
    } else if (unit == "h") {
        scale = 3600.0;
    } else {
        return std::nullopt;
    }
    const double seconds = *value * scale;
    if (!std::isfinite(seconds)) return std::nullopt;
    return seconds;
}

std::optional<int64_t> parseSize(const std::string& text) {
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
        ++digits;
    }
    if (digits == 0 || digits > 19) return std::nullopt;
    const std::string unit = text.substr(digits);
    int shift = 0;
    if (unit == "K") {
        shift = 10;
    } else if (unit == "M") {
        shift = 20;
    } else if (unit == "G") {
        shift = 30;
    } else if (!unit.empty()) {
        return std::nullopt;
    }
    const unsigned long long value = std::strtoull(text.substr(0, digits).c_str(), nullptr, 10);
    constexpr unsigned long long kLimit = 1ULL << 62;
    if (value > (kLimit >> shift)) return std::nullopt;
    return static_cast<int64_t>(value << shift);
}

std::optional<Endpoint> parseEndpoint(const std::string& text) {
    Endpoint endpoint;
    std::string port = text;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find("]:");
        if (close == std::string::npos || close == 1) return std::nullopt;
        endpoint.host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        if (text.find(':') != colon) return std::nullopt;  // IPv6 needs brackets
        if (colon > 0) endpoint.host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    endpoint.port = std::atoi(port.c_str());
    if (endpoint.port > 65535) return std::nullopt;
    return endpoint;
}

const char* topicName(SettingTopic topic) {
    switch (topic) {
        case SettingTopic::Input:
            return "Input";
        case SettingTopic::Analysis:
            return "Analysis";
        case SettingTopic::Outputs:
            return "Outputs";
        case SettingTopic::Qc:
            return "Quality control";
        case SettingTopic::Live:
            return "Live monitoring";
    }
    return "";
}

// In the order --help lists them within their topic.
const std::vector<SettingField>& settingFields() {
    using T = SettingTopic;
    using S = Settings;
    static const std::vector<SettingField> fields = {
        {.option = "--fps",
         .keyword = "fps",
         .topic = T::Input,
         .help = "Frame rate (default: the input's, else 25); sets how long a freeze lasts",
         .member = &S::fps},
        {.option = "--frames",
         .keyword = "frames",
         .topic = T::Input,
         .help = "Frames to analyse (default: every whole frame of the input, up to the end of a "
                 "stream)",
         .member = &S::frames},
        {.option = "--start",
         .keyword = "start",
         .topic = T::Input,
         .help = "First frame, counted from 0 (default 0)",
         .member = &S::start},
        {.option = "--pix-fmt",
         .keyword = "pix_fmt",
         .topic = T::Input,
         .help = "Sample layout of raw input, FFmpeg's name (default yuv420p): yuv422p, yuv444p, "
                 "gray, nv12, yuv420p10le, gray16le, p010le...; samples of more than 8 bits are "
                 "reduced to 8 as ffmpeg reduces them",
         .member = &S::pixelFormat},
        {.option = "--threads",
         .keyword = "threads",
         .topic = T::Analysis,
         .help = "Worker threads (default 0: every hardware thread; live runs 1); output is "
                 "identical for any number",
         .member = &S::threads,
         .check = checkThreads,
         .range = "0 to 1024"},
        {.option = "--log",
         .keyword = "log",
         .topic = T::Outputs,
         .help = "Write the log here instead of metricsResultsCSV.csv (- : standard output)",
         .member = &S::logPath,
         .check = checkPath},
        {.option = "--no-log",
         .keyword = "no_log",
         .topic = T::Outputs,
         .help = "Write no log file",
         .member = &S::noLog},
        {.option = "--quiet",
         .keyword = "quiet",
         .topic = T::Outputs,
         .help = "Leave the per-frame rows out of the console output",
         .member = &S::quiet},
        {.option = "--json",
         .keyword = "json",
         .topic = T::Outputs,
         .help = "Also write the values and a summary as one JSON document to this file (- : "
                 "standard output)",
         .member = &S::jsonPath,
         .check = checkPath},
        {.option = "--csv",
         .keyword = "csv",
         .topic = T::Outputs,
         .help = "Also write the values as CSV (RFC 4180) to this file (- : standard output)",
         .member = &S::csvPath,
         .check = checkPath},
        {.option = "--report",
         .keyword = "report",
         .topic = T::Outputs,
         .help = "Also write a self-contained HTML report with charts to this file (- : standard "
                 "output)",
         .member = &S::reportPath,
         .check = checkPath},
        {.option = "--profile",
         .keyword = "profile",
         .topic = T::Qc,
         .help = "Judge the video by a QC profile: \"default\" (built in) or a TOML file; prints "
                 "the verdict and the events, exit status 1 when it fails",
         .member = &S::profile},
        {.option = "--print-profile",
         .keyword = "print_profile",
         .topic = T::Qc,
         .help = "Print the profile (default: the built-in one) as TOML and stop",
         .member = &S::printProfile},
        {.option = "--fail-on",
         .keyword = "fail_on",
         .topic = T::Qc,
         .help = "Severity that fails the file: error (default) or warning",
         .member = &S::failOn,
         .choices = "error,warning",
         .needs = "--profile"},
        {.option = "--ignore-head",
         .keyword = "ignore_head",
         .topic = T::Qc,
         .help = "Seconds or HH:MM:SS:FF at the head that the profile does not judge (replaces "
                 "its ignore_head)",
         .member = &S::ignoreHead,
         .check = checkTime,
         .needs = "--profile"},
        {.option = "--ignore-tail",
         .keyword = "ignore_tail",
         .topic = T::Qc,
         .help = "Seconds or HH:MM:SS:FF at the tail that the profile does not judge (replaces "
                 "its ignore_tail)",
         .member = &S::ignoreTail,
         .check = checkTime,
         .needs = "--profile"},
        {.option = "--events",
         .keyword = "events",
         .topic = T::Qc,
         .help = "Write the events as JSON Lines to this file (- for standard output) as they "
                 "open and close",
         .member = &S::eventsPath,
         .check = checkPath,
         .needs = "--profile"},
        {.option = "--live",
         .keyword = "live",
         .topic = T::Live,
         .help = "Live monitoring (automatic for URLs and pipes): rows as soon as computed, "
                 "signal loss, rolling documents",
         .member = &S::liveRequested},
        {.option = "--stall-timeout",
         .keyword = "stall_timeout",
         .topic = T::Live,
         .help = "Seconds without a picture that make a signal loss (default 2)",
         .member = &S::stallTimeout},
        {.option = "--metrics",
         .keyword = "metrics",
         .topic = T::Live,
         .help = "Serve Prometheus metrics at http://HOST:PORT/metrics (HOST:PORT, :PORT or PORT; "
                 "host 127.0.0.1 by default)",
         .member = &S::metrics},
        {.option = "--window",
         .keyword = "window",
         .topic = T::Live,
         .help = "Live runs: the JSON document and the report cover this much of the end of the "
                 "stream (default 5m; 60s, 10m, 1h ...)",
         .member = &S::window},
        {.option = "--flush-interval",
         .keyword = "flush_interval",
         .topic = T::Live,
         .help = "Live runs: how often the JSON document and the report are rewritten (default "
                 "10s)",
         .member = &S::flushInterval},
        {.option = "--log-rotate",
         .keyword = "log_rotate",
         .topic = T::Live,
         .help = "Start a new log when it would grow beyond this size (512K, 100M, 1G ...; live "
                 "runs: 64M unless given)",
         .member = &S::logRotate},
        {.option = "--log-keep",
         .keyword = "log_keep",
         .topic = T::Live,
         .help = "Rotated logs kept, as LOG.1 (the newest) to LOG.N (default 5, at most 1000)",
         .member = &S::logKeep,
         .check = checkLogKeep,
         .range = "0 to 1000"},
        {.option = "--exec-on-event",
         .keyword = "exec_on_event",
         .topic = T::Live,
         .help = "Run this command (with /bin/sh -c) for every event opened or closed, the event "
                 "as one JSON line on its standard input",
         .member = &S::execOnEvent},
        {.option = "--channel",
         .keyword = "channel",
         .topic = T::Live,
         .help = "Live runs: the channel's name, the channel label of every metric and its name "
                 "on the live page",
         .member = &S::channel},
        {.option = "--metrics-port-file",
         .keyword = "metrics_port_file",
         .topic = T::Live,
         .help = "Write the port of the metrics endpoint to this file (useful with --metrics 0)",
         .member = &S::metricsPortFile,
         .needs = "--metrics"},
    };
    return fields;
}

const SettingField* findSettingField(const std::string& keyword) {
    for (const SettingField& field : settingFields()) {
        if (keyword == field.keyword) return &field;
    }
    return nullptr;
}

}  // namespace lumaqc
