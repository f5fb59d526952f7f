// Helpers for the end-to-end tests: temporary directories, generated raw
// clips and running the real binaries.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct RunResult {
    int status = -1;  // exit status (0..255), or -1 when the process did not exit normally
    std::string out;
    std::string err;
};

// A fresh directory under the test temporary directory, removed at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// The words of the environment variable LUMAQC_E2E_WRAPPER (for instance
// "valgrind --leak-check=full --error-exitcode=99"), a command that then runs
// every program the tests start; empty when it is not set.
std::vector<std::string> programWrapper();

// How a program is started in the background (Child).
struct Launch {
    std::vector<std::string> args;
    std::string cwd;
    bool pipeInput = false;               // standard input from a pipe the test feeds
    bool pipeOutput = false;              // standard output to a pipe that the test reads
    rlim_t addressSpace = RLIM_INFINITY;  // bytes of address space the child may use
    rlim_t fileSize = RLIM_INFINITY;      // largest file the child may write (ulimit -f)
    std::string stdoutPath{};             // standard output to this file instead
    std::string stderrPath{};             // the error stream to this file instead
    std::string stdinPath = "/dev/null";  // standard input, unless piped
    std::vector<int> closed{};            // standard descriptors left closed
    std::string fault{};                  // one fault of tests/e2e/inject armed ("9216:eio")
    std::vector<std::pair<std::string, std::string>> environment{};  // variables set for it
    std::string program = LUMAQC_BIN;
};

// A program (under the wrapper) running in the background, its standard
// output and error stream in temporary files (unless told otherwise), killed
// when it goes out of scope.
class Child {
  public:
    explicit Child(const Launch& launch);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void feed(const std::string& bytes);
    // Feeds `bytes` from a thread of its own, then closes the pipe, so that a
    // reader that stops early never blocks the test.
    void feedAll(std::string bytes);
    void closeInput();
    // Reads the piped standard output until it holds `rows` rows; false if
    // it ends first.
    bool readRows(size_t rows);
    // The reader goes away: later writes to standard output fail.
    void closeOutput();
    // Waits until the child has read everything fed to it and waits for
    // more, or waits for a writer to open a FIFO.
    bool waitUntilBlockedReading();
    void signal(int signo) const;
    pid_t pid() const { return pid_; }
    // Still running (not ended, or ended but not waited for yet).
    bool running() const;
    std::string err() const;  // the error stream so far
    // Waits for the end and collects the outputs. A child still running
    // after `limit` is killed and `hung` set: a hang ends the test instead of
    // the test run.
    RunResult finish(std::chrono::seconds limit = std::chrono::seconds(600));
    long maxRssKb() const { return maxRssKb_; }  // the peak, once finished
    bool hung = false;

  private:
    std::string outPath_, errPath_;
    bool ownErr_;
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string piped_;
    std::thread feeder_;
    long maxRssKb_ = 0;
};

// Runs `program` with `args` in directory `cwd`, standard input from
// /dev/null, or from a pipe fed with `input`.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd);
RunResult runLumaqc(const std::vector<std::string>& args, const std::string& cwd);
RunResult runLumaqcFed(const std::vector<std::string>& args, const std::string& cwd,
                       const std::string& input);
// Asks `ready` every 20 ms until it holds, for at most `seconds`.
bool waitFor(double seconds, const std::function<bool()>& ready);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);

// One raw 4:2:0 frame, (w * h * 3) / 2 bytes: the given luma followed by
// neutral chroma.
std::string rawFrame(const std::vector<uint8_t>& luma, int w, int h);
// Deterministic textured luma that differs from frame to frame with `seed`.
std::vector<uint8_t> texturedLuma(int w, int h, uint32_t seed);

std::vector<std::string> splitLines(const std::string& text);
// Whitespace-separated fields of a row.
std::vector<std::string> fields(const std::string& row);
// The rows of a console output: the lines that start with a frame index.
std::vector<std::string> consoleRows(const std::string& out);
// The full path of `name` found in PATH, or empty.
std::string findInPath(const std::string& name);
// Whether the binary was built with the decoder libraries (asked once).
bool decoderSupport();
// End-to-end tests on clips that ffmpeg makes in the test's directory;
// skipped without ffmpeg and, unless `needsDecoder()` says otherwise, without
// the decoder libraries.
class FfmpegTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ffmpeg_ = findInPath("ffmpeg");
        if (ffmpeg_.empty()) GTEST_SKIP() << "ffmpeg not found";
        if (needsDecoder() && !decoderSupport()) GTEST_SKIP() << "built without decoder support";
    }
    virtual bool needsDecoder() const { return true; }
    // ffmpeg -v error -y ARGS..., in the test directory.
    void ffmpeg(std::vector<std::string> args) {
        args.insert(args.begin(), {"-v", "error", "-y"});
        const RunResult r = runProgram(ffmpeg_, args, dir_.path());
        ASSERT_EQ(r.status, 0) << r.err;
    }
    TempDir dir_;
    std::string ffmpeg_;
};

// The header line of a log and its first `rows` rows (all of it when shorter).
std::string logPrefix(const std::string& log, size_t rows);
// The rows of the log at `path` (its lines but the header).
size_t logRows(const std::string& path);
