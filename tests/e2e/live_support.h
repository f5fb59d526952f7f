// What the live tests share: lumaqc started in the background with its
// output in files, waiting for a condition, free ports, JSON Lines, samples
// of the metrics.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

// lumaqc (under LUMAQC_E2E_WRAPPER, if set) running in `cwd` with its output
// in files there, standard input from `input`.
class Lumaqc {
  public:
    // `fileSizeLimit` > 0: the process may not write files beyond it
    // (RLIMIT_FSIZE), as on a full disk.
    Lumaqc(const std::vector<std::string>& args, const std::string& cwd,
           const std::string& input = "/dev/null", long fileSizeLimit = 0)
        : cwd_(cwd) {
        std::vector<std::string> command = programWrapper();
        command.push_back(LUMAQC_BIN);
        command.insert(command.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : command) argv.push_back(word.data());
        argv.push_back(nullptr);
        if ((pid_ = fork()) != 0) return;
        if (fileSizeLimit > 0) {
            const rlimit limit{static_cast<rlim_t>(fileSizeLimit),
                               static_cast<rlim_t>(fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        const int in = open(input.c_str(), O_RDONLY);
        const int out = open((cwd + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open((cwd + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(cwd.c_str()) != 0) {
            _exit(127);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    ~Lumaqc() {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0) wait();
    }
    void signal(int signo) const { kill(pid_, signo); }
    // The exit status (-1 when killed), and the peak resident memory in KiB.
    int wait(long* maxRssKb = nullptr) {
        int status = 0;
        rusage usage{};
        wait4(std::exchange(pid_, -1), &status, 0, &usage);
        if (maxRssKb != nullptr) *maxRssKb = usage.ru_maxrss;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string err() const { return readFile(cwd_ + "/stderr"); }
    pid_t pid() const { return pid_; }
    // Still running (not ended, or ended but not waited for yet).
    bool running() const {
        siginfo_t info{};
        return pid_ > 0 &&
               waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0;
    }

  private:
    std::string cwd_;
    pid_t pid_ = -1;
};

inline bool waitFor(double seconds, const std::function<bool()>& ready) {
    for (const auto end = Clock::now() + std::chrono::duration<double>(seconds); Clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        if (ready()) return true;
    }
    return ready();
}

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

inline std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
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

inline size_t logRows(const std::string& path) {
    const size_t lines = splitLines(readFile(path)).size();
    return lines > 0 ? lines - 1 : 0;
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
