// The HTTP endpoint of the metrics: GET /metrics answers with the text
// exposition format; everything else is 404. It serves from two threads of
// its own, which never receive the stop signals.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "settings/settings.h"

namespace httplib {
class Server;
}

namespace lumaqc {

class MetricsServer {
  public:
    MetricsServer();
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Binds the address at once and starts serving `render()`. False, with a
    // one-line message (no line feed) in `error`, when the address cannot be
    // used (taken, not local, malformed host).
    bool start(const Endpoint& endpoint, std::function<std::string()> render, std::string& error);
    // The port bound (the one chosen when 0 was asked for).
    int port() const { return port_; }
    void stop();

  private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
};

}  // namespace lumaqc
