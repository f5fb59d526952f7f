// The settings of live monitoring: network inputs, signal loss, metrics,
// event commands, rolling documents, log rotation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lumaqc {

// Where the metrics are served.
struct Endpoint {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: any free port (the one chosen is printed)
};

struct LiveOptions {
    bool live = false;          // --live: also for inputs that are not live by nature
    double stallTimeout = 2.0;  // seconds without a picture that make a signal loss
    std::optional<Endpoint> metrics;
    double windowSeconds = 3600.0;  // what the documents of a live run cover
    double flushSeconds = 10.0;     // how often they are rewritten
    int64_t logRotateBytes = 0;     // 0: the log is never rotated
    int logKeep = 5;                // rotated logs kept
    std::string execOnEvent;        // run for every event opened or closed; empty for none
};

}  // namespace lumaqc
