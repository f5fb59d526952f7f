#include "live/exec_hook.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "io/live_source.h"

extern char** environ;

namespace lumaqc {

namespace {

constexpr size_t kQueueLimit = 100;
constexpr double kKillGrace = 2.0;

// Names only: letters, digits and underscores.
bool isName(const std::string& text) {
    if (text.empty()) return false;
    for (const char c : text) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_')) {
            return false;
        }
    }
    return true;
}

}  // namespace

ExecHook::ExecHook(std::string command, double timeoutSeconds)
    : command_(std::move(command)), timeout_(timeoutSeconds) {
    worker_ = std::thread([this] { work(); });
}

ExecHook::~ExecHook() {
    finish(0.0);
}

void ExecHook::onEvent(const LiveEvent& event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finishing_) return;
        const bool close = event.change == "close";
        if (close) {
            if (droppedOpen_.erase(event.type) > 0) {
                drop(event);
                return;
            }
        } else if (opens_ >= kQueueLimit) {
            droppedOpen_.insert(event.type);
            drop(event);
            return;
        } else {
            ++opens_;
        }
        queue_.push_back(boundedEvent(event));
    }
    wake_.notify_all();
}

// Under the lock: counts the drop and says so at once, at most a line every 5 s.
void ExecHook::drop(const LiveEvent& event) {
    ++dropped_;
    const double now = monotonicSeconds();
    if (now - lastTold_ < 5.0) return;
    lastTold_ = now;
    std::fprintf(stderr,
                 "lumaqc: --exec-on-event: the command is behind; a %s %s event was not handed "
                 "to it (%ld so far)\n",
                 event.type.substr(0, 64).c_str(), event.change.c_str(), dropped_);
    droppedTold_ = dropped_;
}

long ExecHook::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

void ExecHook::finish(double seconds) {
    if (!worker_.joinable()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    finishing_ = true;
    wake_.notify_all();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    if (!wake_.wait_until(lock, deadline, [this] { return queue_.empty() && !running_; })) {
        abandon_ = true;
        dropped_ += static_cast<long>(queue_.size());
        queue_.clear();
        wake_.notify_all();
    }
    lock.unlock();
    worker_.join();
    if (dropped_ > droppedTold_) {
        std::fprintf(stderr, "lumaqc: --exec-on-event: %ld event%s not handed to the command\n",
                     dropped_, dropped_ == 1 ? "" : "s");
    }
}

void ExecHook::work() {
    keepStopSignalsAway();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return finishing_ || !queue_.empty(); });
        if (queue_.empty()) return;
        const LiveEvent event = queue_.front();
        queue_.pop_front();
        if (event.change != "close" && opens_ > 0) --opens_;
        running_ = true;
        lock.unlock();
        run(event);
        lock.lock();
        running_ = false;
        wake_.notify_all();
    }
}

void ExecHook::run(const LiveEvent& event) {
    int input[2];
    if (pipe2(input, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "lumaqc: --exec-on-event: cannot make a pipe: %s\n",
                     std::strerror(errno));
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<std::string> added;
    if (isName(event.change)) added.push_back("LUMAQC_EVENT=" + event.change);
    if (isName(event.type)) added.push_back("LUMAQC_EVENT_TYPE=" + event.type);
    if (isName(event.severity)) added.push_back("LUMAQC_EVENT_SEVERITY=" + event.severity);
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "LUMAQC_EVENT", 12) != 0) environment.push_back(*entry);
    }
    for (std::string& entry : added) environment.push_back(entry.data());
    environment.push_back(nullptr);
    std::string shell = "/bin/sh";
    std::string dashC = "-c";
    std::string command = command_;
    char* const argv[] = {shell.data(), dashC.data(), command.data(), nullptr};

    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, shell.c_str(), &actions, &attributes, argv, environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(input[0]);
    if (spawned != 0) {
        close(input[1]);
        std::fprintf(stderr, "lumaqc: --exec-on-event: cannot run /bin/sh: %s\n",
                     std::strerror(spawned));
        return;
    }
    // The line goes in as the command reads it, without ever blocking: a
    // command that does not read is ended all the same.
    const std::string line = event.json + "\n";
    size_t sent = 0;
    int writer = input[1];
    fcntl(writer, F_SETFL, fcntl(writer, F_GETFL) | O_NONBLOCK);

    // Wait, ending the command when it runs too long or the run is over.
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    int signalled = 0;
    for (;;) {
        while (writer >= 0 && sent < line.size()) {
            const ssize_t written = ::write(writer, line.data() + sent, line.size() - sent);
            if (written > 0) {
                sent += static_cast<size_t>(written);
            } else if (written < 0 && errno == EINTR) {
                continue;
            } else {
                if (written < 0 && errno != EAGAIN) sent = line.size();  // it closed its input
                break;
            }
        }
        if (writer >= 0 && sent >= line.size()) {
            close(writer);
            writer = -1;
        }
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) break;
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        bool abandon = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            abandon = abandon_;
        }
        if (signalled == 0 && (elapsed > timeout_ || abandon)) {
            kill(-pid, SIGTERM);
            signalled = 1;
        } else if (signalled == 1 && (elapsed > timeout_ + kKillGrace || abandon)) {
            kill(-pid, SIGKILL);
            signalled = 2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (writer >= 0) close(writer);
    if (signalled != 0) {
        std::fprintf(stderr, "lumaqc: --exec-on-event: the command for a %s event was ended\n",
                     event.type.c_str());
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        std::fprintf(stderr,
                     "lumaqc: --exec-on-event: the command for a %s event exited with status %d\n",
                     event.type.c_str(), WEXITSTATUS(status));
    }
}

}  // namespace lumaqc
