#include "e2e_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

TempDir::TempDir() {
    std::string pattern = ::testing::TempDir() + "lumaqc-e2e-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> programWrapper() {
    const char* wrapper = std::getenv("LUMAQC_E2E_WRAPPER");
    return fields(wrapper != nullptr ? wrapper : "");
}

namespace {

// Arms one fault of the fault library (tests/e2e/inject/fault_inject.cpp) in
// the environment of this process, for the program it is about to execute:
// in a child process between fork and exec.
void armFault(const std::string& fault) {
    setenv("LUMAQC_FAULT", fault.c_str(), 1);
    setenv("LD_PRELOAD", LUMAQC_FAULT_INJECT, 1);
    // The fault library loads ahead of a sanitizer runtime.
    const char* asan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS",
           (std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
}

std::string temporaryFile(const char* what) {
    std::string name = "/tmp/lumaqc-" + std::string(what) + "-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) std::abort();
    close(fd);
    return name;
}

}  // namespace

Child::Child(const Launch& launch)
    : outPath_(temporaryFile("out")),
      errPath_(launch.stderrPath.empty() ? temporaryFile("err") : launch.stderrPath),
      ownErr_(launch.stderrPath.empty()) {
    writeFile(errPath_, "");
    std::vector<std::string> words = programWrapper();
    words.push_back(launch.program);
    words.insert(words.end(), launch.args.begin(), launch.args.end());
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    if (launch.pipeInput && pipe(input) != 0) std::abort();
    if (launch.pipeOutput && pipe(output) != 0) std::abort();
    // Writes to a reader that ended fail instead of ending the test.
    ::signal(SIGPIPE, SIG_IGN);
    const std::string& outFile = launch.stdoutPath.empty() ? outPath_ : launch.stdoutPath;
    pid_ = fork();
    if (pid_ == 0) {
        if (chdir(launch.cwd.c_str()) != 0) _exit(127);
        const struct rlimit memory = {launch.addressSpace, launch.addressSpace};
        const struct rlimit files = {launch.fileSize, launch.fileSize};
        if (setrlimit(RLIMIT_AS, &memory) != 0 || setrlimit(RLIMIT_FSIZE, &files) != 0) _exit(127);
        const int in = launch.pipeInput ? input[0] : open(launch.stdinPath.c_str(), O_RDONLY);
        if (launch.pipeInput) close(input[1]);
        if (launch.pipeOutput) close(output[0]);
        const int out = launch.pipeOutput
                            ? output[1]
                            : open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(open(errPath_.c_str(), O_WRONLY | O_TRUNC), 2);
        for (const int fd : launch.closed) close(fd);
        if (!launch.fault.empty()) armFault(launch.fault);
        for (const auto& [name, value] : launch.environment) setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (launch.pipeInput) {
        close(input[0]);
        input_ = input[1];
    }
    if (launch.pipeOutput) {
        close(output[1]);
        output_ = output[0];
    }
}

Child::~Child() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        finish();
    }
    closeOutput();
    unlink(outPath_.c_str());
    if (ownErr_) unlink(errPath_.c_str());
}

void Child::feed(const std::string& bytes) {
    ASSERT_EQ(write(input_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

void Child::feedAll(std::string bytes) {
    const int fd = std::exchange(input_, -1);
    feeder_ = std::thread([fd, bytes = std::move(bytes)] {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        close(fd);
    });
}

void Child::closeInput() {
    if (input_ >= 0) close(std::exchange(input_, -1));
}

bool Child::readRows(size_t rows) {
    char buffer[4096];
    while (consoleRows(piped_).size() < rows) {
        const ssize_t n = read(output_, buffer, sizeof buffer);
        if (n <= 0) return false;
        piped_.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

void Child::closeOutput() {
    if (output_ >= 0) close(std::exchange(output_, -1));
}

bool Child::waitUntilBlockedReading() {
    const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
    // A thread of the child in a read of the pipe, in poll() on it (decoded
    // input) or in the opening of a FIFO.
    const auto waiting = [&] {
        std::error_code ignored;
        for (const auto& task : std::filesystem::directory_iterator(tasks, ignored)) {
            const std::string where = readFile(task.path().string() + "/wchan");
            for (const char* call : {"pipe_read", "partner", "poll"}) {
                if (where.find(call) != std::string::npos) return true;
            }
        }
        return false;
    };
    return waitFor(120, [&] {
        int unread = 0;
        return (input_ < 0 || (ioctl(input_, FIONREAD, &unread) == 0 && unread == 0)) && waiting();
    });
}

void Child::signal(int signo) const {
    kill(pid_, signo);
}

bool Child::running() const {
    siginfo_t info{};
    return pid_ > 0 &&
           waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

std::string Child::err() const {
    return readFile(errPath_);
}

RunResult Child::finish(std::chrono::seconds limit) {
    closeInput();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    struct rusage usage {};
    while (wait4(pid_, &status, WNOHANG, &usage) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            hung = true;
            kill(pid_, SIGKILL);
            wait4(pid_, &status, 0, &usage);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    if (feeder_.joinable()) feeder_.join();
    maxRssKb_ = usage.ru_maxrss;
    const bool piped = output_ >= 0 || !piped_.empty();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, piped ? piped_ : readFile(outPath_),
            readFile(errPath_)};
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd) {
    return Child({.args = args, .cwd = cwd, .program = program}).finish();
}

RunResult runLumaqc(const std::vector<std::string>& args, const std::string& cwd) {
    return Child({.args = args, .cwd = cwd}).finish();
}

RunResult runLumaqcFed(const std::vector<std::string>& args, const std::string& cwd,
                       const std::string& input) {
    Child child({.args = args, .cwd = cwd, .pipeInput = true});
    child.feedAll(input);
    return child.finish();
}

bool waitFor(double seconds, const std::function<bool()>& ready) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        if (ready()) return true;
    }
    return ready();
}

size_t logRows(const std::string& path) {
    const size_t lines = splitLines(readFile(path)).size();
    return lines > 0 ? lines - 1 : 0;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool fileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

std::string rawFrame(const std::vector<uint8_t>& luma, int w, int h) {
    std::string bytes(luma.begin(), luma.end());
    bytes.resize(static_cast<size_t>(w) * static_cast<size_t>(h) * 3 / 2, static_cast<char>(128));
    return bytes;
}

std::vector<uint8_t> texturedLuma(int w, int h, uint32_t seed) {
    std::vector<uint8_t> luma(static_cast<size_t>(w) * static_cast<size_t>(h));
    uint32_t state = seed * 2654435761u + 12345u;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            // Smooth gradient plus noise, moving with the seed.
            const int base = ((x + static_cast<int>(seed) * 3) * 5 + y * 3) % 200;
            luma[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(base + 20 + (state & 15));
        }
    }
    return luma;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> fields(const std::string& row) {
    std::vector<std::string> out;
    std::istringstream in(row);
    for (std::string f; in >> f;) out.push_back(f);
    return out;
}

std::vector<std::string> consoleRows(const std::string& out) {
    std::vector<std::string> rows;
    for (const std::string& line : splitLines(out))
        if (line.size() >= 5 && std::isdigit(static_cast<unsigned char>(line[0])) &&
            line.find(" \t") != std::string::npos)
            rows.push_back(line);
    return rows;
}

std::string findInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (access(((dir.empty() ? "." : dir) + "/" + name).c_str(), X_OK) == 0)
            return (dir.empty() ? "." : dir) + "/" + name;
    return "";
}

bool decoderSupport() {
    static const bool yes = [] {
        TempDir dir;
        return runLumaqc({"--version"}, dir.path()).out.find("decoder support: yes") !=
               std::string::npos;
    }();
    return yes;
}

std::string logPrefix(const std::string& log, size_t rows) {
    size_t end = log.find('\n');
    for (size_t i = 0; i < rows && end != std::string::npos; ++i) end = log.find('\n', end + 1);
    return end == std::string::npos ? log : log.substr(0, end + 1);
}
