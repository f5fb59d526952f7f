#include "e2e_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

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

void armFault(const std::string& fault) {
    setenv("LUMAQC_FAULT", fault.c_str(), 1);
    setenv("LD_PRELOAD", LUMAQC_FAULT_INJECT, 1);
    // The fault library loads ahead of a sanitizer runtime.
    const char* asan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS",
           (std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
}

namespace {

// Reads back what the child wrote to an output file and removes it.
std::string collect(int fd, const char* name) {
    lseek(fd, 0, SEEK_SET);
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    close(fd);
    unlink(name);
    return text;
}

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& cwd, const std::string& fault, const std::string* input) {
    // Output goes to files, so large outputs never block on a full pipe.
    char outName[] = "/tmp/lumaqc-out-XXXXXX";
    char errName[] = "/tmp/lumaqc-err-XXXXXX";
    const int outFd = mkstemp(outName);
    const int errFd = mkstemp(errName);
    int fds[2] = {-1, -1};
    if (input != nullptr && pipe(fds) != 0) std::abort();
    const pid_t feeder = input != nullptr ? fork() : -1;
    if (feeder == 0) {
        signal(SIGPIPE, SIG_IGN);
        close(fds[0]);
        for (size_t done = 0; done < input->size();) {
            const ssize_t n = write(fds[1], input->data() + done, input->size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        _exit(0);
    }
    if (input != nullptr) close(fds[1]);
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(127);
        dup2(input != nullptr ? fds[0] : open("/dev/null", O_RDONLY), 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        if (!fault.empty()) armFault(fault);
        std::vector<std::string> words = programWrapper();
        words.push_back(program);
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (input != nullptr) close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (feeder > 0) waitpid(feeder, nullptr, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, collect(outFd, outName),
            collect(errFd, errName)};
}

}  // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd) {
    return run(program, args, cwd, "", nullptr);
}

RunResult runLumaqc(const std::vector<std::string>& args, const std::string& cwd) {
    return run(LUMAQC_BIN, args, cwd, "", nullptr);
}

RunResult runLumaqcFed(const std::vector<std::string>& args, const std::string& cwd,
                       const std::string& input) {
    return run(LUMAQC_BIN, args, cwd, "", &input);
}

RunResult runLumaqcWithFault(const std::vector<std::string>& args, const std::string& cwd,
                             const std::string& fault) {
    return run(LUMAQC_BIN, args, cwd, fault, nullptr);
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
