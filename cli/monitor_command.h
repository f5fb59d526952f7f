// `lumaqc monitor CHANNELS.toml`: every channel of the file watched live in
// one process, each by the live session a single live run uses, behind one
// metrics endpoint whose series carry each channel's name. A channel that
// cannot start or whose input fails for good stops alone (its lumaqc_up
// goes to 0); SIGHUP reads the file again and starts, stops or restarts the
// channels that changed (the others reopen their logs, as a live run does);
// SIGTERM and SIGINT stop every channel and print each one's verdict.
//
//   threads = 4                   # analysis threads shared by the channels
//   metrics = "127.0.0.1:9100"    # the one endpoint (optional)
//   [[channel]]
//   name = "news"                 # the channel label
//   url = "udp://239.1.1.1:5000"
//   profile = "default"           # and the live options by their keywords
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "qc/profile.h"
#include "settings/settings.h"

namespace lumaqc {

struct MonitorChannel {
    std::string name;
    Settings settings;  // validated; its threads set when it starts
    std::optional<qc::Profile> profile;
    std::string canonical;  // what a reload compares to restart it
};

struct MonitorConfig {
    int threads = 0;  // 0: one analysis thread per channel
    std::optional<Endpoint> metrics;
    std::string metricsPortFile;
    std::vector<MonitorChannel> channels;
};

// Reads and checks the channels file. Nothing, with one line (no line feed)
// naming the file, the line and the key, when it is refused.
std::optional<MonitorConfig> readMonitorConfig(const std::string& path, std::string& error);

// `lumaqc monitor [--check] CHANNELS` (argv[0] is "monitor"); returns the
// exit status.
// `stop` is set by SIGINT and SIGTERM, `hangups` counts SIGHUPs.
int runMonitorCommand(int argc, const char* const* argv, const std::atomic<int>* stop,
                      const std::atomic<int>* hangups);

}  // namespace lumaqc
