// The HTTP endpoint of live monitoring:
//   GET /metrics       the Prometheus text exposition format
//   GET /              the live page: every channel's latest picture and open events
//   GET /status.json   what the live page shows, as JSON
// everything else is 404.
//
// One thread of its own serves every connection with poll(), so that slow
// or idle clients cannot starve a scrape: a request must arrive whole within
// kHeaderSeconds of the connection, at most kMaxConnections connections are
// held, and when they are all taken the oldest one still waiting for its
// request is dropped to make room, so a new scrape always gets in. Every
// answer closes its connection. The thread never receives the stop signals.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "settings/settings.h"

namespace lumaqc {

class MetricsServer {
  public:
    static constexpr double kHeaderSeconds = 2.0;
    static constexpr double kAnswerSeconds = 10.0;  // to send an answer
    static constexpr size_t kMaxConnections = 32;
    static constexpr size_t kMaxRequestBytes = 8192;

    struct Pages {
        std::function<std::string()> metrics;
        std::function<std::string()> status;  // status.json; may be empty (404)
    };

    MetricsServer() = default;
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Binds the address at once and starts serving. False, with a one-line
    // message (no line feed) in `error`, when the address cannot be used
    // (taken, not local, malformed host).
    bool start(const Endpoint& endpoint, Pages pages, std::string& error);
    // The port bound (the one chosen when 0 was asked for).
    int port() const { return port_; }
    // Writes the port to `portFile` (unless empty; whole, renamed into place,
    // for a supervisor that asked for port 0) and says the address on the
    // error stream. False, with the message (no line feed), when the file
    // cannot be written.
    bool announce(const std::string& portFile, std::string& error) const;
    void stop();

  private:
    void serve();
    Pages pages_;
    std::string host_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    int port_ = 0;
};

// The live page (HTML, with its script; it reads /status.json).
const std::string& livePage();

}  // namespace lumaqc
