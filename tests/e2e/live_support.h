// What the live tests share: lumaqc and other programs started in the
// background, free ports, JSON Lines, samples of the metrics.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e_support.h"

namespace live_support {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// lumaqc (under LUMAQC_E2E_WRAPPER, if set) running in `cwd`, standard input
// from `input`, its output in the files stdout and stderr there;
// `fileSizeLimit` > 0: it may not write files beyond it (RLIMIT_FSIZE), as
// on a full disk.
class Lumaqc : public Child {
  public:
    Lumaqc(const std::vector<std::string>& args, const std::string& cwd,
           const std::string& input = "/dev/null", long fileSizeLimit = 0)
        : Child({.args = args,
                 .cwd = cwd,
                 .fileSize = fileSizeLimit > 0 ? static_cast<rlim_t>(fileSizeLimit) : RLIM_INFINITY,
                 .stdoutPath = cwd + "/stdout",
                 .stderrPath = cwd + "/stderr",
                 .stdinPath = input}) {}
    // The exit status (-1 when killed), and the peak resident memory in KiB.
    int wait(long* maxRssKb = nullptr) {
        const int status = finish().status;
        if (maxRssKb != nullptr) *maxRssKb = this->maxRssKb();
        return status;
    }
};

// A socket of `type` bound to a free port of 127.0.0.1; the port in `port`.
inline int boundSocket(int type, int& port) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return fd;
}

inline std::vector<Json> jsonLines(const std::string& path) {
    std::vector<Json> lines;
    for (const std::string& line : splitLines(readFile(path))) {
        if (!line.empty()) lines.push_back(Json::parse(line));
    }
    return lines;
}

// The value of the sample written exactly as `sample` ("name{labels}").
inline double sampleOf(const std::string& text, const std::string& sample) {
    const size_t at = text.find("\n" + sample + " ");
    return at == std::string::npos ? -1.0 : std::stod(text.substr(at + sample.size() + 2));
}

// A program running in the background (ffmpeg as a source, a web server),
// ended with SIGKILL when it goes out of scope; its error stream in `log`.
class Background {
  public:
    Background(const std::string& program, const std::vector<std::string>& args,
               const std::string& cwd, const std::string& log = "/dev/null") {
        std::vector<std::string> command{program};
        command.insert(command.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : command) argv.push_back(word.data());
        argv.push_back(nullptr);
        if ((pid_ = fork()) != 0) return;
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 || chdir(cwd.c_str()) != 0) {
            _exit(127);
        }
        setpgid(0, 0);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    ~Background() { stop(SIGKILL); }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    // The exit status (-1 when killed by a signal).
    int wait() {
        int status = 0;
        if (pid_ <= 0) return -1;
        waitpid(std::exchange(pid_, -1), &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void stop(int signo) {
        if (pid_ > 0 && kill(pid_, signo) == 0) wait();
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
};

// A free port of 127.0.0.1 for `type` (SOCK_DGRAM, SOCK_STREAM).
inline int freePort(int type) {
    int port = 0;
    close(boundSocket(type, port));
    return port;
}

// Forwards the datagrams sent to its port to port `to` of 127.0.0.1, on a
// thread of its own, leaving out those `drop` picks. It counts the bursts
// (a datagram after a pause of more than `pause` seconds begins one): the
// pictures of a slow sender.
class Relay {
  public:
    explicit Relay(int to, std::function<bool()> drop = {}, double pause = 0.5)
        : socket_(boundSocket(SOCK_DGRAM, port_)) {
        forward_ = std::thread([this, to, drop, pause] {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(to));
            auto last = Clock::now() - std::chrono::hours(1);
            char buffer[2048];
            while (!stop_) {
                pollfd p{socket_, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0) continue;
                const ssize_t got = recv(socket_, buffer, sizeof buffer, 0);
                if (got <= 0) continue;
                const auto now = Clock::now();
                if (std::chrono::duration<double>(now - last).count() > pause) ++bursts_;
                last = now;
                if (drop && drop()) {
                    ++dropped_;
                    continue;
                }
                sendto(socket_, buffer, static_cast<size_t>(got), 0,
                       reinterpret_cast<sockaddr*>(&address), sizeof address);
            }
        });
    }
    ~Relay() {
        stop_ = true;
        forward_.join();
        close(socket_);
    }
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;
    int port() const { return port_; }
    long bursts() const { return bursts_; }
    long dropped() const { return dropped_; }

  private:
    int port_ = 0;
    int socket_;
    std::atomic<bool> stop_{false};
    std::atomic<long> bursts_{0};
    std::atomic<long> dropped_{0};
    std::thread forward_;
};

// True once a UDP socket here is bound to `port` (lumaqc opened its input):
// what is sent before that is lost, however long a busy machine took.
inline bool udpBound(int port) {
    char local[8];
    std::snprintf(local, sizeof local, ":%04X", port);
    for (const std::string& line : splitLines(readFile("/proc/net/udp"))) {
        std::istringstream fields(line);
        std::string slot, address;
        if (fields >> slot >> address && address.size() > 5 &&
            address.compare(address.size() - 5, 5, local) == 0) {
            return true;
        }
    }
    return false;
}

// The port lumaqc announced for its metrics, once it has.
inline int metricsPort(const Lumaqc& lumaqc, double seconds = 20) {
    int port = 0;
    waitFor(seconds, [&] {
        const std::string err = lumaqc.err();
        const size_t at = err.find("metrics at http://127.0.0.1:");
        if (at != std::string::npos) port = std::stoi(err.substr(at + 28));
        return port > 0;
    });
    return port;
}

}  // namespace live_support
