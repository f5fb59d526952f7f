// Helpers for the end-to-end tests: temporary directories, generated raw
// clips and running the real binaries.
#pragma once

#include <cstdint>
#include <string>
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

// Runs `program` with `args` in directory `cwd`, standard input from
// /dev/null, or from a pipe fed with `input` (by a separate process, so a
// reader that stops early never blocks the test).
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd);
RunResult runLumaqc(const std::vector<std::string>& args, const std::string& cwd);
RunResult runLumaqcFed(const std::vector<std::string>& args, const std::string& cwd,
                       const std::string& input);
// Arms one fault of the fault library (tests/e2e/inject/fault_inject.cpp) in
// the environment of this process, for the program it is about to execute:
// call it in a child process between fork and exec.
void armFault(const std::string& fault);
// Runs lumaqc with one fault of the fault library (tests/e2e/inject) armed,
// for instance "9216:eio".
RunResult runLumaqcWithFault(const std::vector<std::string>& args, const std::string& cwd,
                             const std::string& fault);

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
// The header line of a log and its first `rows` rows (all of it when shorter).
std::string logPrefix(const std::string& log, size_t rows);
