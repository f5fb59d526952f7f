// The command-line options of live monitoring (see live/options.h) and the
// parsers of their values, which print nothing so that they can be checked
// on any text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "live/options.h"

namespace CLI {
class App;
}

namespace lumaqc {

// The options' text as given, before checking.
struct LiveOptionText {
    bool live = false;
    std::string stallTimeout;
    std::string metrics;
    std::string window;
    std::string flushInterval;
    std::string logRotate;
    int logKeep = 5;
    std::string execOnEvent;
    std::string channel;
    std::string metricsPortFile;
};

// Declares the options on `app`, to be read into `text`.
void addLiveOptions(CLI::App& app, LiveOptionText& text);
// Checks and converts them; false with a one-line message (no line feed) in
// `error` when a value is malformed.
bool finishLiveOptions(const LiveOptionText& text, LiveOptions& options, std::string& error);

// A duration: a number of seconds, or a number followed by ms, s, m or h
// ("500ms", "60s", "10m", "1h", "1.5"). Nothing when malformed, negative or
// not finite.
std::optional<double> parseDuration(const std::string& text);
// A size in bytes: a whole number, or followed by K, M or G (powers of 1024;
// "512K", "100M", "1G"). Nothing when malformed or beyond 2^62.
std::optional<int64_t> parseSize(const std::string& text);
// HOST:PORT, :PORT or PORT (the host defaults to 127.0.0.1); an IPv6 host is
// written in brackets ("[::1]:9100"). Nothing when malformed or the port is
// beyond 65535.
std::optional<Endpoint> parseEndpoint(const std::string& text);

}  // namespace lumaqc
