// Faults during a run: full disks, unwritable directories, inputs that are
// directories, shrink, fail or end early, and stop signals. Each must end with
// one clear message, the right status and every row computed before it kept.
//
// Faults at an exact frame come from a small library preloaded into the
// binary (tests/e2e/inject): it makes the read of a chosen frame fail, cuts
// the file just before it, raises a signal there, or turns the log into a
// full disk from a chosen size on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace {

constexpr int kW = 64;
constexpr int kH = 48;
constexpr long long kFrameSize = kW * kH * 3 / 2;
constexpr const char* kLogName = "metricsResultsCSV.csv";

std::string clipBytes(int frames) {
    std::string bytes;
    for (int i = 0; i < frames; ++i) {
        bytes += rawFrame(texturedLuma(kW, kH, static_cast<uint32_t>(i)), kW, kH);
    }
    return bytes;
}

std::vector<std::string> lines(const std::string& text) {
    return splitLines(text);
}

// The log header and its first `rows` rows.
std::string logPrefix(const std::string& log, size_t rows) {
    size_t end = log.find('\n');
    for (size_t i = 0; i < rows && end != std::string::npos; ++i) end = log.find('\n', end + 1);
    return end == std::string::npos ? log : log.substr(0, end + 1);
}

size_t logRows(const std::string& path) {
    const size_t count = lines(readFile(path)).size();
    return count > 0 ? count - 1 : 0;
}

bool hasSummary(const std::string& out) {
    return out.find("Calculation time: \t") != std::string::npos &&
           out.find("Average calculation time per frame for each metric: \n") != std::string::npos;
}

// The binary under test started in the background, its output going to
// files, optionally with standard input from a pipe that the test holds.
struct Launch {
    std::vector<std::string> args;
    std::string cwd;
    bool pipeInput = false;
    bool pipeOutput = false;              // standard output to a pipe that the test reads
    rlim_t addressSpace = RLIM_INFINITY;  // bytes of address space the child may use
};

class Child {
  public:
    explicit Child(const Launch& launch) : cwd_(launch.cwd) {
        std::vector<std::string> words = programWrapper();
        words.push_back(LUMAQC_BIN);
        words.insert(words.end(), launch.args.begin(), launch.args.end());

        int input[2] = {-1, -1};
        int output[2] = {-1, -1};
        if (launch.pipeInput && pipe(input) != 0) std::abort();
        if (launch.pipeOutput && pipe(output) != 0) std::abort();
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(cwd_.c_str()) != 0) _exit(127);
            const struct rlimit limit = {launch.addressSpace, launch.addressSpace};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(127);
            const int in = launch.pipeInput ? input[0] : open("/dev/null", O_RDONLY);
            if (launch.pipeInput) close(input[1]);
            if (launch.pipeOutput) close(output[0]);
            const int out = launch.pipeOutput
                                ? output[1]
                                : open(outPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open(errPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
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

    ~Child() {
        closeInput();
        closeOutput();
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void feed(const std::string& bytes) {
        ASSERT_EQ(write(input_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    void closeInput() {
        if (input_ >= 0) close(input_);
        input_ = -1;
    }

    // Reads the piped standard output until it holds `rows` rows; false if
    // it ends first.
    bool readRows(size_t rows) {
        char buffer[4096];
        while (consoleRows(piped_).size() < rows) {
            const ssize_t n = read(output_, buffer, sizeof buffer);
            if (n <= 0) return false;
            piped_.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    // The reader goes away: later writes to standard output fail.
    void closeOutput() {
        if (output_ >= 0) close(output_);
        output_ = -1;
    }

    // Waits until the log in the working directory has `rows` rows.
    bool waitForLogRows(size_t rows) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (std::chrono::steady_clock::now() < deadline) {
            if (logRows(cwd_ + "/" + kLogName) >= rows) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Waits until the child has read everything fed to it and waits for more.
    bool waitUntilBlockedReading() {
        const std::string wchan = "/proc/" + std::to_string(pid_) + "/wchan";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (std::chrono::steady_clock::now() < deadline) {
            int unread = 0;
            if (ioctl(input_, FIONREAD, &unread) == 0 && unread == 0 &&
                readFile(wchan).find("pipe_read") != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    void signal(int signo) { kill(pid_, signo); }

    RunResult finish() {
        closeInput();
        int status = 0;
        struct rusage usage {};
        wait4(pid_, &status, 0, &usage);
        pid_ = -1;
        maxRssKb_ = usage.ru_maxrss;
        RunResult result;
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = output_ >= 0 || !piped_.empty() ? piped_ : readFile(outPath());
        result.err = readFile(errPath());
        return result;
    }

    long maxRssKb() const { return maxRssKb_; }

  private:
    std::string outPath() const { return cwd_ + "/lumaqc-out.txt"; }
    std::string errPath() const { return cwd_ + "/lumaqc-err.txt"; }

    std::string cwd_;
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string piped_;
    long maxRssKb_ = 0;
};

// Memory figures are meaningless under a sanitizer or a wrapper like valgrind.
bool measurable() {
#ifdef LUMAQC_SANITIZED
    return false;
#else
    return programWrapper().empty();
#endif
}

// A directory in which no file can be created, or empty when there is none
// (the superuser may write into a directory without write permission).
std::string unwritableDirectory(const TempDir& dir) {
    const std::string own = dir.file("locked");
    mkdir(own.c_str(), 0555);
    for (const std::string& candidate : {own, std::string("/sys"), std::string("/proc")}) {
        const std::string probe = candidate + "/lumaqc-probe";
        const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0) return candidate;
        close(fd);
        unlink(probe.c_str());
    }
    return "";
}

// A clip of 6 textured frames and the log of its clean run.
class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        writeFile(dir_.file("clip.yuv"), clipBytes(6));
        const RunResult clean = runLumaqc({"clip.yuv", "64", "48", "--threads", "1"}, dir_.path());
        ASSERT_EQ(clean.status, 0) << clean.err;
        cleanLog_ = readFile(dir_.file(kLogName));
        cleanRows_ = consoleRows(clean.out);
        ASSERT_EQ(cleanRows_.size(), 6u);
        removeLog();
    }

    std::string log() const { return readFile(dir_.file(kLogName)); }
    void removeLog() const { std::remove(dir_.file(kLogName).c_str()); }

    TempDir dir_;
    std::string cleanLog_;
    std::vector<std::string> cleanRows_;
};

}  // namespace

TEST_F(Faults, JsonOnAFullDiskIsOneError) {
    const RunResult r =
        runLumaqc({"clip.yuv", "64", "48", "--no-log", "--json", "/dev/full"}, dir_.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Cannot write the JSON file /dev/full: No space left on device\n");
}

TEST_F(Faults, LogOnAFullDiskIsAnError) {
    // Full from the start: the header cannot be written, so no frame is read.
    RunResult r = runLumaqc({"clip.yuv", "64", "48", "--log", "/dev/full"}, dir_.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Cannot write the log file /dev/full: No space left on device\n");
    EXPECT_TRUE(consoleRows(r.out).empty());
    EXPECT_FALSE(hasSummary(r.out));

    // The disk fills while the fourth row is written: the log keeps three
    // rows, the console shows the fourth too, and the run stops there.
    const size_t threeRows = logPrefix(cleanLog_, 3).size();
    for (const char* threads : {"1", "3"}) {
        r = runLumaqcWithFault({"clip.yuv", "64", "48", "--threads", threads}, dir_.path(),
                               std::to_string(threeRows + 1) + ":full");
        EXPECT_EQ(r.status, 255) << threads;
        EXPECT_EQ(r.err,
                  "Cannot write the log file metricsResultsCSV.csv: No space left on device\n")
            << threads;
        EXPECT_EQ(log(), logPrefix(cleanLog_, 3)) << threads;
        EXPECT_EQ(consoleRows(r.out),
                  std::vector<std::string>(cleanRows_.begin(), cleanRows_.begin() + 4))
            << threads;
        EXPECT_FALSE(hasSummary(r.out)) << threads;
    }
}

TEST_F(Faults, ConsoleOnAFullDiskIsAnError) {
    const RunResult r = runProgram(
        "/bin/sh", {"-c", "exec \"$0\" clip.yuv 64 48 >/dev/full", LUMAQC_BIN}, dir_.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Cannot write to standard output: No space left on device\n");
}

TEST_F(Faults, ConsoleReaderThatGoesAway) {
    // As `lumaqc ... | head`: the reader stops after three rows of an endless
    // run. The next console write fails; the log has that row too.
    for (const char* threads : {"1", "3"}) {
        removeLog();
        Launch launch{{"clip.yuv", "64", "48", "--frames", "1000000000000", "--threads", threads},
                      dir_.path()};
        launch.pipeOutput = true;
        Child child(launch);
        ASSERT_TRUE(child.readRows(3)) << threads;
        child.closeOutput();
        const RunResult r = child.finish();
        EXPECT_EQ(r.status, 255) << threads;
        EXPECT_EQ(r.err, "Cannot write to standard output: Broken pipe\n");
        const std::string written = log();
        const size_t rows = std::min<size_t>(logRows(dir_.file(kLogName)), 6);
        EXPECT_GE(rows, 3u);
        EXPECT_EQ(written.back(), '\n');
        EXPECT_EQ(logPrefix(written, rows), logPrefix(cleanLog_, rows));
    }
}

TEST_F(Faults, LogInAnUnwritableDirectoryLeavesTheConsole) {
    const std::string locked = unwritableDirectory(dir_);
    if (locked.empty()) GTEST_SKIP() << "every directory is writable here";
    const std::string video = dir_.file("clip.yuv");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{video, "64", "48"},
          std::vector<std::string>{video, "64", "48", "--log", locked + "/x.csv"}}) {
        const RunResult r = runLumaqc(args, args.size() == 3 ? locked : dir_.path());
        EXPECT_EQ(r.status, 0) << args.size();
        EXPECT_EQ(r.err.rfind("Cannot create the log file: ", 0), 0u) << r.err;
        EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
        EXPECT_EQ(consoleRows(r.out), cleanRows_);
        EXPECT_TRUE(hasSummary(r.out));
    }
}

TEST_F(Faults, VideoPathThatIsADirectoryIsRefused) {
    mkdir(dir_.file("folder.yuv").c_str(), 0755);
    writeFile(dir_.file(kLogName), "an earlier log\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"folder.yuv", "64", "48"},
          std::vector<std::string>{"folder.yuv", "64", "48", "25", "3", "1"},
          std::vector<std::string>{"folder.yuv"}}) {
        const RunResult r = runLumaqc(args, dir_.path());
        EXPECT_EQ(r.status, 255) << args.size();
        EXPECT_EQ(r.err, "Error opening the file folder.yuv: Is a directory \n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(log(), "an earlier log\n");
    }
}

TEST_F(Faults, FileThatShrinksDuringTheRun) {
    const struct {
        long long cutAt;  // new size of the file, cut just before frame 3 is read
        int incomplete;   // first frame that is no longer whole
    } cases[] = {
        {3 * kFrameSize, 3},                   // at a frame boundary
        {3 * kFrameSize + 100, 3},             // inside the luma plane
        {3 * kFrameSize + kW * kH, 4},         // luma of frame 3 whole, its chroma gone
        {3 * kFrameSize + kFrameSize - 1, 4},  // one byte short of a whole frame
        {0, 3},                                // emptied
    };
    for (const auto& c : cases) {
        for (const char* threads : {"1", "3"}) {
            writeFile(dir_.file("clip.yuv"), clipBytes(6));
            const RunResult r = runLumaqcWithFault(
                {"clip.yuv", "64", "48", "--threads", threads}, dir_.path(),
                std::to_string(3 * kFrameSize) + ":truncate=" + std::to_string(c.cutAt));
            const std::string what = std::to_string(c.cutAt) + " threads " + threads;
            EXPECT_EQ(r.status, 255) << what;
            EXPECT_EQ(r.err, "The file clip.yuv shrank during the run: frame " +
                                 std::to_string(c.incomplete) + " is incomplete\n")
                << what;
            const size_t done = static_cast<size_t>(c.incomplete);
            EXPECT_EQ(log(), logPrefix(cleanLog_, done)) << what;
            EXPECT_EQ(consoleRows(r.out),
                      std::vector<std::string>(cleanRows_.begin(), cleanRows_.begin() + done))
                << what;
        }
    }
}

TEST_F(Faults, FileThatEndsInsideAFrame) {
    // Half a frame after the sixth: the count covers the whole frames only.
    writeFile(dir_.file("clip.yuv"), clipBytes(6) + std::string(kFrameSize / 2, '\x55'));
    RunResult r = runLumaqc({"clip.yuv", "64", "48"}, dir_.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(log(), cleanLog_);

    // Frames asked for beyond the end are analysed on the pictures last read.
    r = runLumaqc({"clip.yuv", "64", "48", "25", "9"}, dir_.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(consoleRows(r.out).size(), 9u);
    EXPECT_EQ(logPrefix(log(), 6), cleanLog_);
}

TEST_F(Faults, ReadErrorInTheMiddleOfARun) {
    for (const char* threads : {"1", "3"}) {
        const RunResult r =
            runLumaqcWithFault({"clip.yuv", "64", "48", "--threads", threads}, dir_.path(),
                               std::to_string(2 * kFrameSize) + ":eio");
        EXPECT_EQ(r.status, 255) << threads;
        EXPECT_NE(r.out.find("Some error occurred when reading the 2 frame\nByte read = 0, Frame "
                             "size = 3072\n\nError code: 5 \nError description: Input/output "
                             "error \n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(log(), logPrefix(cleanLog_, 2)) << threads;
        EXPECT_EQ(consoleRows(r.out),
                  std::vector<std::string>(cleanRows_.begin(), cleanRows_.begin() + 2));
        EXPECT_FALSE(hasSummary(r.out));
    }
}

TEST_F(Faults, SignalStopsAfterTheFramesInFlight) {
    // The signal arrives while frame 3 is read: that frame is finished, no
    // further frame is read, and the summary covers the four frames done.
    for (const int signo : {SIGINT, SIGTERM}) {
        for (const char* threads : {"1", "3"}) {
            const RunResult r = runLumaqcWithFault(
                {"clip.yuv", "64", "48", "--threads", threads}, dir_.path(),
                std::to_string(3 * kFrameSize) + ":signal=" + std::to_string(signo));
            const std::string name = signo == SIGINT ? "SIGINT" : "SIGTERM";
            EXPECT_EQ(r.status, 128 + signo) << name << " threads " << threads;
            EXPECT_EQ(r.err, "lumaqc: stopped by " + name + " after 4 frames\n");
            EXPECT_EQ(log(), logPrefix(cleanLog_, 4));
            EXPECT_EQ(consoleRows(r.out),
                      std::vector<std::string>(cleanRows_.begin(), cleanRows_.begin() + 4));
            EXPECT_TRUE(hasSummary(r.out));
            EXPECT_EQ(r.out.find("File stream closed"), std::string::npos);
        }
    }
}

TEST_F(Faults, SignalFromOutsideDuringAnEndlessRun) {
    // Far more frames than the file holds: the run would go on for days.
    for (const char* threads : {"1", "2"}) {
        removeLog();
        Child child({{"clip.yuv", "64", "48", "--frames", "1000000000000", "--threads", threads},
                     dir_.path()});
        ASSERT_TRUE(child.waitForLogRows(20)) << threads;
        child.signal(SIGTERM);
        const RunResult r = child.finish();
        EXPECT_EQ(r.status, 128 + SIGTERM) << threads;
        const size_t rows = logRows(dir_.file(kLogName));
        EXPECT_GE(rows, 20u);
        EXPECT_EQ(consoleRows(r.out).size(), rows);
        EXPECT_EQ(r.err, "lumaqc: stopped by SIGTERM after " + std::to_string(rows) + " frames\n");
        EXPECT_TRUE(hasSummary(r.out));
    }
}

TEST_F(Faults, SignalWhileWaitingForStandardInput) {
    // Two frames arrive, then the writer stalls without closing the pipe: the
    // signal interrupts the blocked read.
    for (const char* threads : {"1", "3"}) {
        removeLog();
        Child child({{"-", "64", "48", "--threads", threads}, dir_.path(), true});
        child.feed(clipBytes(2));
        ASSERT_TRUE(child.waitUntilBlockedReading()) << threads;
        child.signal(SIGINT);
        const RunResult r = child.finish();
        EXPECT_EQ(r.status, 128 + SIGINT) << threads;
        EXPECT_EQ(r.err, "lumaqc: stopped by SIGINT after 2 frames\n");
        EXPECT_EQ(log(), logPrefix(cleanLog_, 2));
        EXPECT_TRUE(hasSummary(r.out));
    }
}

TEST_F(Faults, StandardInputClosedEarly) {
    // The writer goes away in the middle of frame 3 of the 10 asked for: the
    // run ends with the stream, keeping the three whole frames.
    for (const char* threads : {"1", "3"}) {
        Child child({{"-", "64", "48", "25", "10", "--threads", threads}, dir_.path(), true});
        child.feed(clipBytes(4).substr(0, 3 * kFrameSize + 1000));
        child.closeInput();
        const RunResult r = child.finish();
        EXPECT_EQ(r.status, 0) << threads << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(log(), logPrefix(cleanLog_, 3));
        EXPECT_EQ(consoleRows(r.out).size(), 3u);
        EXPECT_TRUE(hasSummary(r.out));
    }
}

TEST(Limits, SmallestAndThinnestPictures) {
    const struct {
        int w, h;
    } sizes[] = {{1, 1}, {1, 2}, {2, 1},   {2, 2},   {3, 3},    {1, 17},   {17, 1},   {7, 9},
                 {8, 8}, {9, 8}, {15, 17}, {16, 16}, {8192, 1}, {1, 4320}, {255, 257}};
    TempDir dir;
    for (const auto& size : sizes) {
        std::string bytes;
        for (uint32_t i = 0; i < 10; ++i)
            bytes += rawFrame(texturedLuma(size.w, size.h, i), size.w, size.h);
        writeFile(dir.file("clip.yuv"), bytes);
        const std::string w = std::to_string(size.w);
        const std::string h = std::to_string(size.h);
        const RunResult one = runLumaqc({"clip.yuv", w, h, "--threads", "1"}, dir.path());
        ASSERT_EQ(one.status, 0) << w << "x" << h << ": " << one.err;
        EXPECT_EQ(one.err, "");
        EXPECT_EQ(consoleRows(one.out).size(), 10u) << w << "x" << h;
        const std::string log = readFile(dir.file(kLogName));
        const RunResult three = runLumaqc({"clip.yuv", w, h, "--threads", "3"}, dir.path());
        EXPECT_EQ(three.status, 0);
        EXPECT_EQ(readFile(dir.file(kLogName)), log) << w << "x" << h;
    }
}

TEST(Limits, LargestPicture) {
    // 8192 x 4320: two frames, mostly zero (a sparse file) with a textured band.
    constexpr int w = 8192;
    constexpr int h = 4320;
    constexpr off_t frame = static_cast<off_t>(w) * h * 3 / 2;
    TempDir dir;
    const std::string path = dir.file("uhd.yuv");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 2 * frame), 0);
    const std::vector<uint8_t> band = texturedLuma(w, 64, 5);
    ASSERT_EQ(pwrite(fd, band.data(), band.size(), static_cast<off_t>(w) * 1000),
              static_cast<ssize_t>(band.size()));
    close(fd);
    const RunResult r = runLumaqc({"uhd.yuv", "8192", "4320", "--threads", "2"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> rows = consoleRows(r.out);
    ASSERT_EQ(rows.size(), 2u);
    // The band makes the first frame busy; the second is flat black.
    EXPECT_NE(fields(rows[0])[2], "0.00000");
    EXPECT_EQ(fields(rows[1])[8], "1");
}

TEST(Limits, PicturesTooLargeAreRefused) {
    const struct {
        const char* w;
        const char* h;
        const char* error;
    } cases[] = {
        {"70000", "70000", "Picture size 70000 x 70000 is too large\n"},
        {"65536", "65536", "Picture size 65536 x 65536 is too large\n"},
        {"46341", "46341", "Picture size 46341 x 46341 is too large\n"},
        {"2147483647", "2", "Picture size 2147483647 x 2 is too large\n"},
        {"2147483648", "1",
         "Invalid picture size 2147483648 x 1: width and height must be positive\n"},
        {"99999999999999999999", "1",
         "Invalid picture size 9223372036854775807 x 1: width and height must be positive\n"},
        {"-64", "48", "Invalid picture size -64 x 48: width and height must be positive\n"},
    };
    TempDir dir;
    writeFile(dir.file("clip.yuv"), clipBytes(1));
    writeFile(dir.file(kLogName), "an earlier log\n");
    for (const auto& c : cases) {
        const RunResult r = runLumaqc({"clip.yuv", c.w, c.h}, dir.path());
        EXPECT_EQ(r.status, 255) << c.w << "x" << c.h;
        EXPECT_EQ(r.err, c.error);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(readFile(dir.file(kLogName)), "an earlier log\n");
    }
}

TEST(Limits, RunningOutOfMemoryIsAClearError) {
    if (!measurable()) GTEST_SKIP() << "address-space limits do not apply under a sanitizer";
    TempDir dir;
    writeFile(dir.file("clip.yuv"), clipBytes(1));
    for (const char* threads : {"1", "2"}) {
        // 46340 x 46340 fits 32-bit sample indices but not in 1 GiB.
        Launch launch{{"clip.yuv", "46340", "46340", "--threads", threads}, dir.path()};
        launch.addressSpace = rlim_t{1} << 30;
        Child child(launch);
        const RunResult r = child.finish();
        EXPECT_EQ(r.status, 255) << threads;
        const bool named = r.err == "lumaqc: not enough memory for pictures of 46340 x 46340\n" ||
                           r.err == "Cannot allocate a 46340 x 46340 picture of 1-byte samples\n";
        EXPECT_TRUE(named) << r.err;
        EXPECT_TRUE(consoleRows(r.out).empty());
    }
}

TEST(Limits, FrameCountsAndStartsFarBeyondTheFile) {
    TempDir dir;
    writeFile(dir.file("clip.yuv"), clipBytes(2));
    // Frames past the end are analysed on the pictures last read.
    RunResult r = runLumaqc({"clip.yuv", "64", "48", "25", "40"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(consoleRows(r.out).size(), 40u);

    const struct {
        std::vector<std::string> args;
        std::vector<std::string> indices;
    } cases[] = {
        {{"--start", "1000000000000000", "--frames", "2"},
         {"1000000000000000", "1000000000000001"}},
        // Offsets beyond 64 bits and an end beyond the largest index.
        {{"--start", "9223372036854775806", "--frames", "5"}, {"9223372036854775806"}},
        {{"--start", "4611686018427387904", "--frames", "1"}, {"4611686018427387904"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"clip.yuv", "64", "48"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        r = runLumaqc(args, dir.path());
        EXPECT_EQ(r.status, 0) << c.args[1] << r.err;
        std::vector<std::string> indices;
        for (const std::string& row : consoleRows(r.out)) indices.push_back(fields(row)[0]);
        EXPECT_EQ(indices, c.indices);
    }
}

TEST(Limits, StartFrameBeyondTwoGibibytesInASparseFile) {
    // Frame 466034 starts at byte 2147484672, past 2^31.
    constexpr off_t start = 466034;
    TempDir dir;
    const std::string path = dir.file("huge.yuv");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string frames = clipBytes(3);
    if (pwrite(fd, frames.data(), frames.size(), start * kFrameSize) !=
        static_cast<ssize_t>(frames.size())) {
        close(fd);
        GTEST_SKIP() << "no room for a sparse file over 2 GiB";
    }
    close(fd);
    writeFile(dir.file("small.yuv"), frames);
    const RunResult small = runLumaqc({"small.yuv", "64", "48"}, dir.path());
    ASSERT_EQ(small.status, 0);
    const std::vector<std::string> expected = consoleRows(small.out);

    const std::string s = std::to_string(start);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"huge.yuv", "64", "48", "25", "3", s},
          std::vector<std::string>{"huge.yuv", "64", "48", "--start", s, "--frames", "3"}}) {
        const RunResult r = runLumaqc(args, dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> rows = consoleRows(r.out);
        ASSERT_EQ(rows.size(), 3u);
        for (size_t i = 0; i < rows.size(); ++i) {
            std::vector<std::string> got = fields(rows[i]);
            std::vector<std::string> want = fields(expected[i]);
            EXPECT_EQ(got[0], std::to_string(start + static_cast<off_t>(i)));
            got.erase(got.begin());
            want.erase(want.begin());
            EXPECT_EQ(got, want) << i;
        }
    }
}

TEST(Limits, MemoryDoesNotGrowWithTheLengthOfTheRun) {
    if (!measurable()) GTEST_SKIP() << "memory is not measurable under a sanitizer";
    TempDir dir;
    std::string bytes;
    for (uint32_t i = 0; i < 4; ++i) bytes += rawFrame(texturedLuma(176, 144, i), 176, 144);
    writeFile(dir.file("clip.yuv"), bytes);
    for (const char* threads : {"1", "3"}) {
        long peak[2] = {0, 0};
        const char* counts[2] = {"10", "2000"};
        for (int i = 0; i < 2; ++i) {
            Child child(
                {{"clip.yuv", "176", "144", "25", counts[i], "--threads", threads}, dir.path()});
            const RunResult r = child.finish();
            ASSERT_EQ(r.status, 0) << r.err;
            peak[i] = child.maxRssKb();
        }
        EXPECT_LT(peak[1] - peak[0], 2048) << threads << " threads: " << peak[0] << " KiB for 10 "
                                           << "frames, " << peak[1] << " KiB for 2000";
    }
}
