#include "live/metrics_server.h"

#include <httplib.h>
#include <netdb.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "io/live_source.h"

namespace lumaqc {

MetricsServer::MetricsServer() = default;

MetricsServer::~MetricsServer() {
    stop();
}

bool MetricsServer::start(const Endpoint& endpoint, std::function<std::string()> render,
                          std::string& error) {
    const std::string where =
        (endpoint.host.find(':') != std::string::npos ? "[" + endpoint.host + "]" : endpoint.host) +
        ":" + std::to_string(endpoint.port);
    // The host must be an address or a name this machine resolves.
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(endpoint.host.c_str(), nullptr, &hints, &found);
    if (resolved != 0) {
        error = "lumaqc: cannot serve metrics on " + where + ": " + gai_strerror(resolved);
        return false;
    }
    freeaddrinfo(found);

    server_ = std::make_unique<httplib::Server>();
    // Address reuse for a quick restart, but no sharing of the port with
    // another process (the library's default would allow it).
    server_->set_socket_options([](int socket) {
        int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server_->new_task_queue = [] { return new httplib::ThreadPool(2); };
    server_->Get("/metrics", [render](const httplib::Request&, httplib::Response& response) {
        response.set_content(render(), "text/plain; version=0.0.4; charset=utf-8");
    });
    errno = 0;
    if (endpoint.port == 0) {
        port_ = server_->bind_to_any_port(endpoint.host);
    } else if (server_->bind_to_port(endpoint.host, endpoint.port)) {
        port_ = endpoint.port;
    }
    if (port_ <= 0) {
        const int code = errno;
        error = "lumaqc: cannot serve metrics on " + where + ": " +
                (code != 0 ? std::strerror(code) : "the address cannot be bound");
        server_.reset();
        return false;
    }
    auto ended = std::make_shared<std::atomic<bool>>(false);
    thread_ = std::thread([this, ended] {
        keepStopSignalsAway();  // the pool's threads inherit it
        server_->listen_after_bind();
        ended->store(true);
    });
    // Until it runs, a stop would not reach it.
    while (!server_->is_running() && !ended->load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void MetricsServer::stop() {
    if (!server_) return;
    server_->stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
}

}  // namespace lumaqc
