#include "live/metrics_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <vector>

#include "io/live_source.h"

namespace lumaqc {

namespace {

struct Connection {
    int fd = -1;
    double since = 0.0;  // accepted (monotonic seconds)
    std::string request;
    std::string answer;  // once the request is whole
    size_t sent = 0;
};

std::string answerFor(const std::string& request, const MetricsServer::Pages& pages) {
    const size_t space = request.find(' ');
    const size_t second = space == std::string::npos ? space : request.find(' ', space + 1);
    const std::string method = request.substr(0, space);
    std::string target =
        second == std::string::npos ? "" : request.substr(space + 1, second - space - 1);
    target = target.substr(0, target.find('?'));
    const auto reply = [&method](const char* status, const char* type, const std::string& body) {
        std::string head = std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
                           "\r\nContent-Length: " + std::to_string(body.size()) +
                           "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
        return method == "HEAD" ? head : head + body;
    };
    if (method != "GET" && method != "HEAD") {
        return reply("405 Method Not Allowed", "text/plain; charset=utf-8", "GET only\n");
    }
    if (target == "/metrics" && pages.metrics) {
        return reply("200 OK", "text/plain; version=0.0.4; charset=utf-8", pages.metrics());
    }
    if (target == "/status.json" && pages.status) {
        return reply("200 OK", "application/json", pages.status());
    }
    if (target == "/" && pages.status) {
        return reply("200 OK", "text/html; charset=utf-8", livePage());
    }
    return reply("404 Not Found", "text/plain; charset=utf-8", "not found\n");
}

}  // namespace

MetricsServer::~MetricsServer() {
    stop();
}

bool MetricsServer::announce(const std::string& portFile, std::string& error) const {
    if (!portFile.empty()) {
        // Whole or not at all.
        const std::string temporary = portFile + ".tmp-" + std::to_string(getpid());
        FILE* file = std::fopen(temporary.c_str(), "w");
        bool ok = file != nullptr && std::fprintf(file, "%d\n", port_) > 0;
        if (file != nullptr) ok = std::fclose(file) == 0 && ok;
        if (ok) ok = std::rename(temporary.c_str(), portFile.c_str()) == 0;
        if (!ok) {
            error = "lumaqc: cannot write the metrics port to " + portFile + ": " +
                    std::strerror(errno);
            std::remove(temporary.c_str());
            return false;
        }
    }
    const bool v6 = host_.find(':') != std::string::npos;
    std::fprintf(stderr, "lumaqc: metrics at http://%s%s%s:%d/metrics\n", v6 ? "[" : "",
                 host_.c_str(), v6 ? "]" : "", port_);
    return true;
}

bool MetricsServer::start(const Endpoint& endpoint, Pages pages, std::string& error) {
    const std::string where =
        (endpoint.host.find(':') != std::string::npos ? "[" + endpoint.host + "]" : endpoint.host) +
        ":" + std::to_string(endpoint.port);
    host_ = endpoint.host;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int resolved =
        getaddrinfo(endpoint.host.c_str(), std::to_string(endpoint.port).c_str(), &hints, &found);
    if (resolved != 0) {
        error = "lumaqc: cannot serve metrics on " + where + ": " + gai_strerror(resolved);
        return false;
    }
    int code = 0;
    for (addrinfo* at = found; at != nullptr && listener_ < 0; at = at->ai_next) {
        const int fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) {
            code = errno;
            continue;
        }
        // Address reuse for a quick restart, but no sharing of the port with
        // another process.
        int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (bind(fd, at->ai_addr, at->ai_addrlen) == 0 && listen(fd, 128) == 0) {
            listener_ = fd;
            sockaddr_storage bound{};
            socklen_t size = sizeof bound;
            getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
            port_ = bound.ss_family == AF_INET6
                        ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                        : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        } else {
            code = errno;
            close(fd);
        }
    }
    freeaddrinfo(found);
    if (listener_ < 0) {
        error = "lumaqc: cannot serve metrics on " + where + ": " +
                (code != 0 ? std::strerror(code) : "the address cannot be bound");
        return false;
    }
    fcntl(listener_, F_SETFL, fcntl(listener_, F_GETFL) | O_NONBLOCK);
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = "lumaqc: cannot serve metrics on " + where + ": " + std::strerror(errno);
        close(listener_);
        listener_ = -1;
        return false;
    }
    pages_ = std::move(pages);
    thread_ = std::thread([this] {
        keepStopSignalsAway();
        serve();
    });
    return true;
}

void MetricsServer::serve() {
    std::list<Connection> connections;
    std::vector<pollfd> polled;
    std::vector<Connection*> owners;
    for (;;) {
        const double now = monotonicSeconds();
        // Drop the connections past their time.
        for (auto c = connections.begin(); c != connections.end();) {
            const double limit = c->answer.empty() ? kHeaderSeconds : kAnswerSeconds;
            if (now - c->since > limit) {
                close(c->fd);
                c = connections.erase(c);
            } else {
                ++c;
            }
        }
        polled.assign({{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}});
        owners.assign(2, nullptr);
        for (Connection& c : connections) {
            polled.push_back({c.fd, static_cast<short>(c.answer.empty() ? POLLIN : POLLOUT), 0});
            owners.push_back(&c);
        }
        if (poll(polled.data(), polled.size(), 200) < 0 && errno != EINTR) return;
        if ((polled[0].revents & POLLIN) != 0) break;
        for (size_t i = 2; i < polled.size(); ++i) {
            Connection& c = *owners[i];
            if (polled[i].revents == 0) continue;
            bool done = false;
            if (c.answer.empty()) {
                char buffer[4096];
                const ssize_t got = recv(c.fd, buffer, sizeof buffer, 0);
                if (got <= 0) {
                    done = got == 0 || (errno != EAGAIN && errno != EINTR);
                } else {
                    c.request.append(buffer, static_cast<size_t>(got));
                    if (c.request.find("\r\n\r\n") != std::string::npos ||
                        c.request.find("\n\n") != std::string::npos) {
                        c.answer = answerFor(c.request, pages_);
                        c.since = monotonicSeconds();
                    } else if (c.request.size() > kMaxRequestBytes) {
                        done = true;
                    }
                }
            }
            if (!c.answer.empty() && !done) {
                const ssize_t sent =
                    send(c.fd, c.answer.data() + c.sent, c.answer.size() - c.sent, MSG_NOSIGNAL);
                if (sent > 0) c.sent += static_cast<size_t>(sent);
                done = c.sent >= c.answer.size() || (sent < 0 && errno != EAGAIN && errno != EINTR);
            }
            if (done) {
                shutdown(c.fd, SHUT_WR);
                close(c.fd);
                c.fd = -1;
            }
        }
        connections.remove_if([](const Connection& c) { return c.fd < 0; });
        if ((polled[1].revents & POLLIN) != 0) {
            for (int accepted = 0; accepted < 64; ++accepted) {
                const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) break;
                if (connections.size() >= kMaxConnections) {
                    // Room for the newcomer: the oldest still waiting for its
                    // request goes (answers being sent are finished).
                    auto oldest = connections.end();
                    for (auto c = connections.begin(); c != connections.end(); ++c) {
                        if (c->answer.empty() &&
                            (oldest == connections.end() || c->since < oldest->since)) {
                            oldest = c;
                        }
                    }
                    if (oldest == connections.end()) {
                        close(fd);
                        continue;
                    }
                    close(oldest->fd);
                    connections.erase(oldest);
                }
                connections.push_back(Connection{fd, monotonicSeconds(), {}, {}, 0});
            }
        }
    }
    for (Connection& c : connections) close(c.fd);
}

void MetricsServer::stop() {
    if (thread_.joinable()) {
        const char byte = 1;
        if (write(wake_[1], &byte, 1) < 0) {
            // The pipe is ours and empty: cannot fail.
        }
        thread_.join();
    }
    for (int* fd : {&listener_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

}  // namespace lumaqc
