#include "cli/live_options.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <cmath>
#include <cstdlib>

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

}  // namespace

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

void addLiveOptions(CLI::App& app, LiveOptionText& text) {
    app.add_flag("--live", text.live,
                 "Live monitoring (automatic for URLs and pipes): rows as soon as computed, "
                 "signal loss, rolling documents");
    app.add_option("--stall-timeout", text.stallTimeout,
                   "Seconds without a picture that make a signal loss (default 2)");
    app.add_option("--metrics", text.metrics,
                   "Serve Prometheus metrics at http://HOST:PORT/metrics (HOST:PORT, :PORT or "
                   "PORT; host 127.0.0.1 by default)");
    app.add_option("--window", text.window,
                   "Live runs: the JSON document and the report cover this much of the end of "
                   "the stream (default 5m; 60s, 10m, 1h ...)");
    app.add_option("--flush-interval", text.flushInterval,
                   "Live runs: how often the JSON document and the report are rewritten "
                   "(default 10s)");
    app.add_option("--log-rotate", text.logRotate,
                   "Start a new log when it would grow beyond this size (512K, 100M, 1G ...; "
                   "live runs: 64M unless given)");
    app.add_option("--log-keep", text.logKeep,
                   "Rotated logs kept, as LOG.1 (the newest) to LOG.N (default 5)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--channel", text.channel,
                   "Live runs: the channel's name, the `channel` label of every metric and the "
                   "name on the live page");
    app.add_option("--metrics-port-file", text.metricsPortFile,
                   "Write the port of the metrics endpoint to this file (for --metrics 0)");
    app.add_option("--exec-on-event", text.execOnEvent,
                   "Run this command (with /bin/sh -c) for every event opened or closed, the "
                   "event as one JSON line on its standard input");
}

bool finishLiveOptions(const LiveOptionText& text, LiveOptions& options, std::string& error) {
    options.live = text.live;
    const auto duration = [&error](const std::string& value, const char* name, double& out) {
        if (value.empty()) return true;
        const std::optional<double> seconds = parseDuration(value);
        if (!seconds || *seconds <= 0.0) {
            error = std::string("lumaqc: invalid ") + name + " " + value +
                    ": give a positive duration such as 500ms, 2, 60s, 10m or 1h";
            return false;
        }
        out = *seconds;
        return true;
    };
    if (!duration(text.stallTimeout, "--stall-timeout", options.stallTimeout) ||
        !duration(text.window, "--window", options.windowSeconds) ||
        !duration(text.flushInterval, "--flush-interval", options.flushSeconds)) {
        return false;
    }
    if (!text.metrics.empty()) {
        options.metrics = parseEndpoint(text.metrics);
        if (!options.metrics) {
            error = "lumaqc: invalid --metrics " + text.metrics +
                    ": give HOST:PORT, :PORT or PORT (a port from 0 to 65535)";
            return false;
        }
    }
    if (!text.logRotate.empty()) {
        const std::optional<int64_t> bytes = parseSize(text.logRotate);
        if (!bytes || *bytes <= 0) {
            error = "lumaqc: invalid --log-rotate " + text.logRotate +
                    ": give a size such as 512K, 100M or 1G";
            return false;
        }
        options.logRotateBytes = *bytes;
    }
    options.logKeep = text.logKeep;
    options.execOnEvent = text.execOnEvent;
    options.channel = text.channel;
    options.metricsPortFile = text.metricsPortFile;
    if (!options.metricsPortFile.empty() && !options.metrics) {
        error = "lumaqc: --metrics-port-file needs --metrics";
        return false;
    }
    return true;
}

}  // namespace lumaqc
