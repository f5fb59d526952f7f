// The settings of live monitoring: network inputs, signal loss, metrics,
// event commands, rolling documents, log rotation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lumaqc {

// What a live run uses unless told otherwise (busy hosts run many channels).
inline constexpr double kLiveDefaultWindowSeconds = 300.0;
inline constexpr int64_t kLiveDefaultLogRotateBytes = 64LL << 20;

// Where the metrics are served.
struct Endpoint {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: any free port (the one chosen is printed)
};

struct LiveOptions {
    bool live = false;          // --live: also for inputs that are not live by nature
    double stallTimeout = 2.0;  // seconds without a picture that make a signal loss
    std::optional<Endpoint> metrics;
    double windowSeconds = kLiveDefaultWindowSeconds;  // what the documents of a live run cover
    double flushSeconds = 10.0;                        // how often they are rewritten
    // -1: not given (live runs rotate at kLiveDefaultLogRotateBytes, others
    // never); else the size a log may reach.
    int64_t logRotateBytes = -1;
    int logKeep = 5;              // rotated logs kept
    std::string execOnEvent;      // run for every event opened or closed; empty for none
    std::string channel;          // --channel: the `channel` label of every series
    std::string metricsPortFile;  // where the port of the metrics endpoint is written
    // Live inputs: decoding errors this close together are one decode_error
    // event, closed after this long without one.
    double decodeHoldOff = 5.0;
};

}  // namespace lumaqc
