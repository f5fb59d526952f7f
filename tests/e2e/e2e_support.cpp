#include "e2e_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

TempDir::TempDir() {
    std::string pattern = ::testing::TempDir() + "lumaqc-e2e-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) std::abort();
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

namespace {

std::string slurp(int fd) {
    std::string text;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    return text;
}

// Reads back what the child wrote to its output files and removes them.
void collectOutput(RunResult& result, int outFd, int errFd, const char* outName,
                   const char* errName) {
    lseek(outFd, 0, SEEK_SET);
    lseek(errFd, 0, SEEK_SET);
    result.out = slurp(outFd);
    result.err = slurp(errFd);
    close(outFd);
    close(errFd);
    unlink(outName);
    unlink(errName);
}

}  // namespace

std::vector<std::string> programWrapper() {
    const char* wrapper = std::getenv("LUMAQC_E2E_WRAPPER");
    std::vector<std::string> words;
    std::istringstream in(wrapper != nullptr ? wrapper : "");
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

void armFault(const std::string& fault) {
    setenv("LUMAQC_FAULT", fault.c_str(), 1);
    setenv("LD_PRELOAD", LUMAQC_FAULT_INJECT, 1);
    // The fault library loads ahead of a sanitizer runtime.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string options =
        std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
}

namespace {

RunResult runArmed(const std::string& program, const std::vector<std::string>& args,
                   const std::string& cwd, const std::string& fault) {
    // Output goes to files, so large outputs never block on a full pipe.
    char outName[] = "/tmp/lumaqc-out-XXXXXX";
    char errName[] = "/tmp/lumaqc-err-XXXXXX";
    const int outFd = mkstemp(outName);
    const int errFd = mkstemp(errName);
    RunResult result;
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(127);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
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
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    collectOutput(result, outFd, errFd, outName, errName);
    return result;
}

}  // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd) {
    return runArmed(program, args, cwd, "");
}

RunResult runLumaqc(const std::vector<std::string>& args, const std::string& cwd) {
    return runProgram(LUMAQC_BIN, args, cwd);
}

RunResult runLumaqcWithFault(const std::vector<std::string>& args, const std::string& cwd,
                             const std::string& fault) {
    return runArmed(LUMAQC_BIN, args, cwd, fault);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool fileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

std::string rawFrame(const std::vector<uint8_t>& luma, int w, int h) {
    const size_t frameSize = static_cast<size_t>(w) * static_cast<size_t>(h) * 3 / 2;
    std::string bytes(frameSize, static_cast<char>(128));
    for (size_t i = 0; i < luma.size() && i < frameSize; ++i) bytes[i] = static_cast<char>(luma[i]);
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

std::vector<uint8_t> flatLuma(int w, int h, uint8_t value) {
    return std::vector<uint8_t>(static_cast<size_t>(w) * static_cast<size_t>(h), value);
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::vector<std::string> fields(const std::string& row) {
    std::vector<std::string> out;
    std::istringstream in(row);
    std::string f;
    while (in >> f) out.push_back(f);
    return out;
}

std::vector<std::string> consoleRows(const std::string& out) {
    std::vector<std::string> rows;
    for (const std::string& line : splitLines(out)) {
        if (line.size() >= 5 && std::isdigit(static_cast<unsigned char>(line[0])) &&
            line.find(" \t") != std::string::npos) {
            rows.push_back(line);
        }
    }
    return rows;
}

RunResult runProgramFed(const std::string& program, const std::vector<std::string>& args,
                        const std::string& cwd, const std::string& input) {
    char outName[] = "/tmp/lumaqc-out-XXXXXX";
    char errName[] = "/tmp/lumaqc-err-XXXXXX";
    const int outFd = mkstemp(outName);
    const int errFd = mkstemp(errName);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) std::abort();
    const pid_t feeder = fork();
    if (feeder == 0) {
        signal(SIGPIPE, SIG_IGN);
        close(pipeFds[0]);
        size_t done = 0;
        while (done < input.size()) {
            const ssize_t n = write(pipeFds[1], input.data() + done, input.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(pipeFds[1]);
    RunResult result;
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(127);
        dup2(pipeFds[0], 0);
        close(pipeFds[0]);
        dup2(outFd, 1);
        dup2(errFd, 2);
        std::vector<std::string> words = programWrapper();
        words.push_back(program);
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    int feederStatus = 0;
    waitpid(feeder, &feederStatus, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    collectOutput(result, outFd, errFd, outName, errName);
    return result;
}

RunResult runLumaqcFed(const std::vector<std::string>& args, const std::string& cwd,
                       const std::string& input) {
    return runProgramFed(LUMAQC_BIN, args, cwd, input);
}

std::string findInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}
