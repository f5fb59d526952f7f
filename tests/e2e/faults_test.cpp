// Faults during a run: full disks, unwritable directories, inputs that
// shrink, fail or end early, and stop signals. Each must end with
// one clear message, the right status and every row computed before it kept.
//
// Faults at an exact frame come from a small library preloaded into the
// binary (tests/e2e/inject): it makes the read of a chosen frame fail, cuts
// the file just before it, raises a signal there, or turns the log into a
// full disk from a chosen size on.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "e2e_support.h"

namespace {

constexpr int kW = 64;
constexpr int kH = 48;
constexpr long long kFrameSize = kW * kH * 3 / 2;
constexpr const char* kLogName = "metricsResultsCSV.csv";

std::string clipBytes(int frames) {
    std::string bytes;
    for (int i = 0; i < frames; ++i)
        bytes += rawFrame(texturedLuma(kW, kH, static_cast<uint32_t>(i)), kW, kH);
    return bytes;
}

bool hasSummary(const std::string& out) {
    return out.find("Calculation time: \t") != std::string::npos &&
           out.find("Average calculation time per frame for each metric: \n") != std::string::npos;
}

// Memory figures are meaningless under a sanitizer or a wrapper like valgrind.
bool measurable() {
#ifdef LUMAQC_SANITIZED
    return false;
#else
    return programWrapper().empty();
#endif
}

// A sparse file of `size` bytes or more holding `bytes` at `at`; false when
// the file system has no room for it.
bool sparseFile(const std::string& path, off_t size, off_t at, const std::string& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool written =
        fd >= 0 && ftruncate(fd, size) == 0 &&
        pwrite(fd, bytes.data(), bytes.size(), at) == static_cast<ssize_t>(bytes.size());
    if (fd >= 0) close(fd);
    return written;
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
    // The console rows of the clean run before frame `n`.
    std::vector<std::string> firstRows(size_t n) const {
        return {cleanRows_.begin(), cleanRows_.begin() + static_cast<long>(n)};
    }
    void removeLog() const { std::remove(dir_.file(kLogName).c_str()); }
    // clip.yuv goes on for a million frames of zeros (a sparse file), so a
    // run over it lasts until it is stopped.
    void makeEndless() const {
        ASSERT_EQ(truncate(dir_.file("clip.yuv").c_str(), kFrameSize * 1000000), 0);
    }

    TempDir dir_;
    std::string cleanLog_;
    std::vector<std::string> cleanRows_;
};

}  // namespace

TEST_F(Faults, FaultAtAFrameKeepsTheRowsBeforeIt) {
    // Each fault strikes as frame 2 or 3 is read, or as the fourth log row is
    // written, at one and three threads: the run ends with its one message
    // and exactly the rows computed before it, in the log and on the console;
    // its JSON document is whole, marked incomplete. A file emptied takes
    // the samples of the frames in flight too: at one thread the run ends at
    // the frame being read; at more, at the first frame whose samples went,
    // which depends on the timing: the rows are those before it.
    const std::string at2 = std::to_string(2 * kFrameSize) + ":";
    const std::string at3 = std::to_string(3 * kFrameSize) + ":truncate=";
    const std::string shrank = "The file clip.yuv shrank during the run: frame ";
    const struct {
        std::string fault;
        int status;
        std::string err;
        size_t logRows, consoleRows;
        bool summary;
        std::string out = "";  // text the console must hold
        std::vector<const char*> threads = {"1", "3"};
        bool anyFrame = false;  // the error names a frame up to logRows; the rows before it
    } cases[] = {
        // The disk fills while the fourth row is written: the log keeps three
        // rows, the console shows the fourth too, and the run stops there.
        {std::to_string(logPrefix(cleanLog_, 3).size() + 1) + ":full", 255,
         "Cannot write the log file metricsResultsCSV.csv: No space left on device\n", 3, 4, false},
        // The file is cut just before frame 3 is read: at a frame boundary,
        // inside the luma plane, after the luma of frame 3, one byte short of
        // a whole frame, emptied.
        {at3 + std::to_string(3 * kFrameSize), 255, shrank + "3 is incomplete\n", 3, 3, false},
        {at3 + std::to_string(3 * kFrameSize + 100), 255, shrank + "3 is incomplete\n", 3, 3,
         false},
        {at3 + std::to_string(3 * kFrameSize + kW * kH), 255, shrank + "4 is incomplete\n", 4, 4,
         false},
        {at3 + std::to_string(4 * kFrameSize - 1), 255, shrank + "4 is incomplete\n", 4, 4, false},
        {at3 + "0", 255, shrank + "3 is incomplete\n", 3, 3, false, "", {"1"}},
        {at3 + "0", 255, shrank, 3, 3, false, "", {"2", "3"}, true},
        {at2 + "eio", 255, "", 2, 2, false,
         "Some error occurred when reading the 2 frame\nByte read = 0, Frame size = 3072\n\nError "
         "code: 5 \nError description: Input/output error \n"},
        // A stop signal while frame 3 is read: that frame is finished, no
        // further frame is read, and the summary covers the four frames done.
        {std::to_string(3 * kFrameSize) + ":signal=" + std::to_string(SIGINT), 128 + SIGINT,
         "lumaqc: stopped by SIGINT after 4 frames\n", 4, 4, true},
        {std::to_string(3 * kFrameSize) + ":signal=" + std::to_string(SIGTERM), 128 + SIGTERM,
         "lumaqc: stopped by SIGTERM after 4 frames\n", 4, 4, true},
    };
    for (const auto& c : cases) {
        for (const char* threads : c.threads) {
            writeFile(dir_.file("clip.yuv"), clipBytes(6));
            std::remove(dir_.file("j.json").c_str());
            removeLog();
            // The full disk strikes the first output written: no document there.
            const bool json = !c.fault.ends_with(":full");
            std::vector<std::string> args{"clip.yuv", "64", "48", "--threads", threads};
            if (json) args.insert(args.end(), {"--json", "j.json"});
            const RunResult r =
                Child({.args = args, .cwd = dir_.path(), .fault = c.fault}).finish();
            const std::string what = c.fault + " threads " + threads;
            EXPECT_EQ(r.status, c.status) << what;
            size_t logRows = c.logRows, rows = c.consoleRows;
            if (c.anyFrame) {
                ASSERT_TRUE(r.err.starts_with(c.err) && r.err.ends_with(" is incomplete\n"))
                    << what << r.err;
                logRows = rows = std::stoul(r.err.substr(c.err.size()));
                EXPECT_LE(rows, c.logRows) << what;
            } else {
                EXPECT_EQ(r.err, c.err) << what;
            }
            // A run that ends before its first row writes no output.
            const bool started = logRows > 0 || !c.anyFrame;
            EXPECT_EQ(log(), started ? logPrefix(cleanLog_, logRows) : "") << what;
            EXPECT_EQ(consoleRows(r.out), firstRows(rows)) << what;
            EXPECT_EQ(hasSummary(r.out), c.summary) << what;
            EXPECT_NE(r.out.find(c.out), std::string::npos) << what << r.out;
            EXPECT_EQ(r.out.find("File stream closed"), std::string::npos) << what;
            if (!json || !started) continue;
            const nlohmann::json doc = nlohmann::json::parse(readFile(dir_.file("j.json")));
            EXPECT_EQ(doc["complete"], false) << what;
            EXPECT_EQ(doc["frames_analysed"], rows) << what;
        }
    }
}

TEST_F(Faults, OutputsThatCannotBeWritten) {
    // A full disk for the log or the JSON document (no frame is read); a file
    // size limit (ulimit -f) crossed by the fourth row of the log, whose write
    // then fails with EFBIG instead of SIGXFSZ ending the run; standard output
    // on a full disk or closed, standard input closed. Closed descriptors are
    // taken by /dev/null, never by an output file, and a run that cannot
    // start leaves an earlier log as it was.
    const std::string ebadf = "Cannot write to standard output: Bad file descriptor\n";
    const std::string tooLarge =
        "Cannot write the log file metricsResultsCSV.csv: File too large\n";
    const rlim_t fourthRow = logPrefix(cleanLog_, 3).size() + 40;
    const struct {
        std::vector<std::string> args;
        std::string err;
        std::string stdoutPath = "";
        int logRows = -1;  // -1: the earlier log stays
        std::vector<int> closed = {};
        rlim_t fileSize = RLIM_INFINITY;
    } cases[] = {
        {{"clip.yuv", "64", "48", "--no-log", "--json", "/dev/full"},
         "Cannot write the JSON file /dev/full: No space left on device\n"},
        {{"clip.yuv", "64", "48", "--log", "/dev/full"},
         "Cannot write the log file /dev/full: No space left on device\n"},
        {{"clip.yuv", "64", "48"},
         "Cannot write to standard output: No space left on device\n",
         "/dev/full"},
        {{"clip.yuv", "64", "48"}, ebadf, "", -1, {1}},
        {{"clip.yuv", "64", "48", "--json", "j.json"}, ebadf, "", -1, {1}},
        {{"-", "64", "48", "--json", "j.json"}, "Standard input is empty\n", "", -1, {0, 1}},
        {{"-", "64", "48", "--json", "j.json"}, "Standard input is empty\n", "", -1, {0}},
        {{"clip.yuv", "64", "48", "--threads", "1"}, tooLarge, "", 3, {}, fourthRow},
        {{"clip.yuv", "64", "48", "--threads", "3"}, tooLarge, "", 3, {}, fourthRow},
    };
    for (const auto& c : cases) {
        writeFile(dir_.file(kLogName), "an earlier log\n");
        if (c.logRows >= 0) removeLog();
        std::remove(dir_.file("j.json").c_str());
        Launch launch{c.args, dir_.path()};
        launch.closed = c.closed;
        launch.stdoutPath = c.stdoutPath;
        launch.fileSize = c.fileSize;
        launch.pipeOutput = c.fileSize != RLIM_INFINITY;  // the console is no file
        const RunResult r = Child(launch).finish();
        const std::string what = c.err + " " + std::to_string(c.closed.size());
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 255) << what;
        EXPECT_EQ(r.err, c.err) << what;
        EXPECT_EQ(log(), c.logRows < 0 ? "an earlier log\n" : logPrefix(cleanLog_, c.logRows))
            << what;
        EXPECT_TRUE(consoleRows(r.out).empty()) << what;
        EXPECT_TRUE(c.err.empty() || !hasSummary(r.out)) << what;
        EXPECT_EQ(readFile(dir_.file("j.json")).find("Video file"), std::string::npos) << what;
    }
}

TEST_F(Faults, LogThatCannotBeCreatedLeavesTheConsole) {
    const std::string locked = unwritableDirectory(dir_);
    if (locked.empty()) GTEST_SKIP() << "every directory is writable here";
    const std::string video = dir_.file("clip.yuv");
    mkdir(dir_.file("folder").c_str(), 0755);
    const std::string cannot = "Cannot create the log file ";
    const struct {
        std::vector<std::string> args;
        std::string cwd, err;  // the start of the line
    } cases[] = {
        {{video, "64", "48"}, locked, cannot + "metricsResultsCSV.csv: "},
        {{video, "64", "48", "--log", locked + "/x.csv"},
         dir_.path(),
         cannot + locked + "/x.csv: "},
        {{video, "64", "48", "--log", "folder"}, dir_.path(), cannot + "folder: Is a directory\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = runLumaqc(c.args, c.cwd);
        EXPECT_EQ(r.status, 0) << c.err;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
        EXPECT_EQ(splitLines(r.err).size(), 1u) << r.err;
        EXPECT_EQ(consoleRows(r.out), cleanRows_);
        EXPECT_TRUE(hasSummary(r.out));
    }
}

TEST_F(Faults, FramesPastTheEndOfARawFileAreNotInvented) {
    // Half a frame after the sixth: the count covers the whole frames only.
    // A run stops after the last of them and says how many of the frames
    // asked for were there; the summary covers the frames analysed. A run
    // with none of them is refused and leaves the earlier outputs.
    writeFile(dir_.file("clip.yuv"), clipBytes(6) + std::string(kFrameSize / 2, '\x55'));
    const std::string only = "lumaqc: only ";
    const std::string tail = " exist in clip.yuv, which holds 6 whole frames\n";
    const std::string none = "lumaqc: no frame of clip.yuv\n";
    const struct {
        std::vector<std::string> args;
        int first, rows;
        std::string err;
    } cases[] = {
        {{}, 0, 6, ""},
        {{"25", "3", "2"}, 2, 3, ""},
        {{"25", "9"}, 0, 6, only + "6 of the 9 frames requested from frame 0" + tail},
        {{"25", "4", "4"}, 4, 2, only + "2 of the 4 frames requested from frame 4" + tail},
        {{"25", "5", "100"},
         0,
         0,
         only + "0 of the 5 frames requested from frame 100" + tail + none},
        {{"--start", "9223372036854775806", "--frames", "5"},
         0,
         0,
         only + "0 of the 5 frames requested from frame 9223372036854775806" + tail + none},
    };
    for (const auto& c : cases) {
        for (const char* threads : {"1", "3"}) {
            std::vector<std::string> args{"clip.yuv", "64", "48"};
            args.insert(args.end(), c.args.begin(), c.args.end());
            args.insert(args.end(), {"--threads", threads, "--json", "j.json"});
            writeFile(dir_.file(kLogName), "an earlier log\n");
            writeFile(dir_.file("j.json"), "an earlier document\n");
            const RunResult r = runLumaqc(args, dir_.path());
            const std::string what = std::to_string(c.rows) + " threads " + threads;
            EXPECT_EQ(r.status, c.rows == 0 ? 255 : 0) << what;
            EXPECT_EQ(r.err, c.err) << what;
            std::vector<std::string> indices;
            for (const std::string& row : consoleRows(r.out)) indices.push_back(fields(row)[0]);
            ASSERT_EQ(indices.size(), static_cast<size_t>(c.rows)) << what;
            if (c.rows > 0) {
                EXPECT_EQ(std::stoi(indices[0]), c.first) << what;
            }
            if (c.first == 0) {
                EXPECT_EQ(log(), c.rows == 0 ? "an earlier log\n" : logPrefix(cleanLog_, c.rows))
                    << what;
            }
            EXPECT_TRUE(hasSummary(r.out));
            if (c.rows == 0) {
                EXPECT_EQ(readFile(dir_.file("j.json")), "an earlier document\n") << what;
                continue;
            }
            const nlohmann::json doc = nlohmann::json::parse(readFile(dir_.file("j.json")));
            EXPECT_EQ(doc["frames_analysed"], c.rows) << what;
            EXPECT_EQ(doc["summary"]["stats"]["contrast"]["count"], c.rows) << what;
            EXPECT_EQ(doc["complete"], true) << what;
        }
    }
}

TEST_F(Faults, ConsoleReaderGoneEndsAnEndlessRun) {
    // As `lumaqc ... | head`, the console's reader goes away after three rows
    // and the next console write fails. The log keeps whole rows, the console
    // row that failed too. Stop signals are in FaultAtAFrameKeepsTheRowsBeforeIt
    // and StopSignalWhileTheInputWaits.
    makeEndless();
    for (const char* threads : {"1", "2", "3"}) {
        removeLog();
        Launch launch{{"clip.yuv", "64", "48", "--threads", threads}, dir_.path()};
        launch.pipeOutput = true;
        Child child(launch);
        ASSERT_TRUE(child.readRows(3)) << threads;
        child.closeOutput();
        const RunResult r = child.finish();
        const size_t rows = logRows(dir_.file(kLogName)), clean = std::min<size_t>(rows, 6);
        const std::string written = log();
        EXPECT_GE(rows, 3u) << threads;
        EXPECT_EQ(written.back(), '\n');
        EXPECT_EQ(logPrefix(written, clean), logPrefix(cleanLog_, clean)) << threads;
        EXPECT_EQ(r.status, 255) << threads;
        EXPECT_EQ(r.err, "Cannot write to standard output: Broken pipe\n");
    }
}

TEST_F(Faults, StopSignalWhileTheInputWaits) {
    // While standard input is probed, a Y4M header read, libavformat probes a
    // stalled stream, a FIFO waits for its writer, or after two frames the
    // writer stalls without closing the pipe: the signal interrupts the
    // blocked read. Before the first frame the run ends at once, writing
    // nothing; after two, with their rows and the summary.
    const bool decoder = decoderSupport();
    mkfifo(dir_.file("fifo").c_str(), 0644);
    const std::string ebml(
        "\x1a\x45\xdf\xa3\x9f\x42\x86\x81\x01\x42\xf7\x81\x01\x42\xf2\x81\x04"
        "\x42\xf3\x81\x08\x42\x82\x88matroska\x42\x87\x81\x04\x42\x85\x81\x02",
        40);
    const struct {
        std::vector<std::string> args;
        std::string fed;
    } cases[] = {
        {{"-"}, ""},
        {{"-", "64", "48"}, ""},
        {{"-"}, "YUV4MPEG2 W64 H48"},
        {{"-"}, decoder ? ebml : ""},
        {{"fifo", "64", "48"}, ""},
        {{"-", "64", "48", "--threads", "1"}, clipBytes(2)},
        {{"-", "64", "48", "--threads", "3"}, clipBytes(2)},
    };
    for (const auto& c : cases) {
        for (const int signo : {SIGINT, SIGTERM}) {
            writeFile(dir_.file(kLogName), "an earlier log\n");
            Child child({c.args, dir_.path(), c.args[0] == "-"});
            if (!c.fed.empty()) child.feed(c.fed);
            ASSERT_TRUE(child.waitUntilBlockedReading()) << c.fed.size();
            child.signal(signo);
            const RunResult r = child.finish();
            const size_t rows = c.fed.size() / kFrameSize;
            const std::string what = c.args.back() + " " + std::to_string(c.fed.size());
            EXPECT_EQ(r.status, 128 + signo) << what;
            EXPECT_EQ(r.err, "lumaqc: stopped by " +
                                 std::string(signo == SIGINT ? "SIGINT" : "SIGTERM") + " after " +
                                 std::to_string(rows) + " frames\n")
                << what;
            EXPECT_EQ(log(), rows == 0 ? "an earlier log\n" : logPrefix(cleanLog_, rows)) << what;
            EXPECT_EQ(rows == 0 ? r.out == "" : hasSummary(r.out), true) << what;
        }
    }
}

TEST_F(Faults, SecondRunOnALockedLogEndsAtStart) {
    // The first run locks its log before it reads its input: while it waits
    // for the first bytes of a pipe (raw or Y4M) as well as after two frames.
    // A second run in the same folder is refused meanwhile, and the first
    // run's log ends up with every row of its own.
    const std::string raw = clipBytes(6);
    std::string y4m = "YUV4MPEG2 W64 H48 F25:1 C420jpeg\n";
    for (int i = 0; i < 6; ++i) y4m += "FRAME\n" + raw.substr(i * kFrameSize, kFrameSize);
    const struct {
        std::vector<std::string> args;
        std::string before, after;  // fed before the second run, and after it
    } cases[] = {{{"-", "64", "48"}, raw.substr(0, 2 * kFrameSize), raw.substr(2 * kFrameSize)},
                 {{"-", "64", "48"}, "", raw},
                 {{"-"}, "", y4m}};
    for (const auto& c : cases) {
        writeFile(dir_.file(kLogName), "an earlier log\n");
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--threads", "1"});
        Child first({args, dir_.path(), true});
        if (!c.before.empty()) first.feed(c.before);
        ASSERT_TRUE(first.waitUntilBlockedReading());
        const size_t rows = c.before.size() / kFrameSize;
        const std::string held = rows > 0 ? logPrefix(cleanLog_, rows) : "an earlier log\n";
        const RunResult r = runLumaqc({"clip.yuv", "64", "48", "--json", "j.json"}, dir_.path());
        EXPECT_EQ(r.status, 255) << c.args.size() << " " << rows;
        EXPECT_EQ(r.err,
                  "lumaqc: the log file metricsResultsCSV.csv is being written by another "
                  "run (process " +
                      std::to_string(first.pid()) + ")\n");
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fileExists(dir_.file("j.json")));
        EXPECT_EQ(log(), held);
        first.feed(c.after);
        EXPECT_EQ(first.finish(std::chrono::seconds(120)).status, 0);
        EXPECT_FALSE(first.hung);
        EXPECT_EQ(log(), cleanLog_) << c.args.size() << " " << rows;
    }
}

TEST_F(Faults, ThreadsThatCannotBeStarted) {
    // The run goes on with the threads it got, says so once, and its rows
    // are the same.
    for (const int allowed : {0, 2}) {
        const RunResult r = Child({.args = {"clip.yuv", "64", "48", "--threads", "4"},
                                   .cwd = dir_.path(),
                                   .fault = "threads=" + std::to_string(allowed)})
                                .finish();
        const std::string got = std::to_string(allowed + 1);
        EXPECT_EQ(r.status, 0) << allowed;
        EXPECT_EQ(r.err, "lumaqc: only " + got +
                             " of the 4 threads asked for could be started (Resource temporarily "
                             "unavailable); the run goes on with " +
                             got + "\n");
        EXPECT_EQ(log(), cleanLog_);
        EXPECT_EQ(consoleRows(r.out), cleanRows_);
    }
}

TEST(Limits, LargestPicture) {
    // 8192 x 4320: two frames, mostly zero (a sparse file) with a textured band.
    constexpr int w = 8192;
    constexpr int h = 4320;
    constexpr off_t frame = static_cast<off_t>(w) * h * 3 / 2;
    TempDir dir;
    const std::vector<uint8_t> band = texturedLuma(w, 64, 5);
    ASSERT_TRUE(sparseFile(dir.file("uhd.yuv"), 2 * frame, static_cast<off_t>(w) * 1000,
                           std::string(band.begin(), band.end())));
    const RunResult r = runLumaqc({"uhd.yuv", "8192", "4320", "--threads", "2"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> rows = consoleRows(r.out);
    ASSERT_EQ(rows.size(), 2u);
    // The band makes the first frame busy; the second is flat black.
    EXPECT_NE(fields(rows[0])[2], "0.00000");
    EXPECT_EQ(fields(rows[1])[8], "1");
}

TEST(Limits, RunningOutOfMemoryIsAClearError) {
    if (!measurable()) GTEST_SKIP() << "address-space limits do not apply under a sanitizer";
    // One whole frame (a sparse file) within 1 GiB of address space: 46340 x
    // 46340 fits 32-bit sample indices but not one picture, 16000 x 16000
    // fits two pictures but not eight (three threads). Either way the earlier
    // log stays as it was.
    TempDir dir;
    writeFile(dir.file(kLogName), "an earlier log\n");
    for (const auto& [side, threads] : {std::pair{"46340", "1"}, {"46340", "2"}, {"16000", "3"}}) {
        const long long n = std::stoll(side);
        writeFile(dir.file("clip.yuv"), "");
        ASSERT_EQ(truncate(dir.file("clip.yuv").c_str(), n * n * 3 / 2), 0);
        Launch launch{{"clip.yuv", side, side, "--threads", threads}, dir.path()};
        launch.addressSpace = rlim_t{1} << 30;
        const RunResult r = Child(launch).finish();
        EXPECT_EQ(r.status, 255) << side << " " << threads;
        EXPECT_EQ(r.err, "lumaqc: not enough memory for pictures of " + std::string(side) + " x " +
                             side + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(readFile(dir.file(kLogName)), "an earlier log\n");
    }
}

TEST(Limits, StartFrameBeyondTwoGibibytesInASparseFile) {
    // Frame 466034 starts at byte 2147484672, past 2^31.
    constexpr off_t start = 466034;
    TempDir dir;
    const std::string frames = clipBytes(3);
    if (!sparseFile(dir.file("huge.yuv"), 0, start * kFrameSize, frames)) {
        GTEST_SKIP() << "no room for a sparse file over 2 GiB";
    }
    writeFile(dir.file("small.yuv"), frames);
    const RunResult small = runLumaqc({"small.yuv", "64", "48"}, dir.path());
    ASSERT_EQ(small.status, 0);
    const std::vector<std::string> expected = consoleRows(small.out);

    const RunResult r =
        runLumaqc({"huge.yuv", "64", "48", "25", "3", std::to_string(start)}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> rows = consoleRows(r.out);
    ASSERT_EQ(rows.size(), 3u);
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(fields(rows[i])[0], std::to_string(start + static_cast<off_t>(i)));
        EXPECT_EQ(rows[i].substr(rows[i].find(' ')), expected[i].substr(expected[i].find(' ')));
    }
}

TEST(Limits, MemoryDoesNotGrowWithTheLengthOfTheRun) {
    if (!measurable()) GTEST_SKIP() << "memory is not measurable under a sanitizer";
    TempDir dir;
    std::string bytes;
    for (uint32_t i = 0; i < 4; ++i) bytes += rawFrame(texturedLuma(176, 144, i), 176, 144);
    writeFile(dir.file("clip.yuv"), bytes);
    ASSERT_EQ(truncate(dir.file("clip.yuv").c_str(), 2000 * 176 * 144 * 3 / 2), 0);
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

// Where the FLV tag that holds byte `middle` ends (its previous-tag size
// included): a cut there leaves whole tags only.
size_t flvTagEnd(const std::string& flv, size_t middle) {
    size_t pos = 13;  // the file header and the first previous-tag size
    while (pos + 11 <= flv.size()) {
        const auto byte = [&flv, pos](size_t k) { return static_cast<uint8_t>(flv[pos + k]); };
        pos += 11 + static_cast<size_t>(byte(1) << 16 | byte(2) << 8 | byte(3)) + 4;
        if (pos >= middle) break;
    }
    return std::min(pos, flv.size());
}

TEST(Damage, TruncatedContainersAreDamagedInput) {
    // Matroska, WebM, FLV, AVI and MP4 (its index first) cut short end with the
    // damaged-input line that names the frame where the file ends, keeping the
    // rows before it; the complete files pass. An MP4 cut before its index
    // (written last by default) cannot be read at all.
    TempDir dir;
    const std::string ffmpeg = findInPath("ffmpeg");
    if (ffmpeg.empty() || !decoderSupport()) GTEST_SKIP() << "needs ffmpeg and decoder support";
    writeFile(dir.file("clip.yuv"), clipBytes(30));
    const struct {
        std::string name;
        std::vector<std::string> codec;
        size_t rows = 30;
    } files[] = {
        // AVI counts the empty chunks of dropped frames, which hold no packet.
        {"gaps.avi",
         {"-vf", "select='not(mod(n,3))'", "-fps_mode", "passthrough", "-c:v", "mjpeg"},
         10},
        {"x264.mkv", {"-c:v", "libx264", "-bf", "0"}},
        {"ffv1.mkv", {"-c:v", "ffv1"}},
        {"vp8.webm", {"-c:v", "libvpx"}},
        {"h264.flv", {"-c:v", "libx264", "-bf", "0"}},
        {"x264.mp4", {"-c:v", "libx264", "-qp", "0", "-movflags", "+faststart"}},
        {"late.mp4", {"-c:v", "libx264", "-qp", "0"}},
    };
    for (const auto& f : files) {
        std::vector<std::string> args{"-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "yuv420p",
                                      "-s", "64x48", "-r", "25", "-i",       "clip.yuv"};
        args.insert(args.end(), f.codec.begin(), f.codec.end());
        args.push_back(f.name);
        ASSERT_EQ(runProgram(ffmpeg, args, dir.path()).status, 0) << f.name;
        const std::string bytes = readFile(dir.file(f.name));
        if (f.name == "late.mp4") {
            writeFile(dir.file(f.name), bytes.substr(0, bytes.size() / 2));
            EXPECT_EQ(runLumaqc({f.name}, dir.path()).err,
                      "Cannot read late.mp4 (mov,mp4,m4a,3gp,3g2,mj2): Invalid data found when "
                      "processing input; the file may be damaged or truncated\n");
            continue;
        }
        const RunResult whole = runLumaqc({f.name}, dir.path());
        EXPECT_EQ(whole.status, 0) << f.name;
        EXPECT_EQ(whole.err, "");
        const std::string log = readFile(dir.file(kLogName));
        EXPECT_EQ(logRows(dir.file(kLogName)), f.rows) << f.name;
        std::vector<size_t> sizes;
        for (const size_t percent : {30, 55, 80, 99}) {
            // The last 1 % of that AVI is its index alone: every frame is there.
            if (f.rows == 30 || percent < 99) sizes.push_back(bytes.size() * percent / 100);
        }
        if (f.name.ends_with(".flv")) sizes.push_back(flvTagEnd(bytes, bytes.size() / 2));
        for (const size_t size : sizes) {
            const std::string cut = std::to_string(size) + f.name;
            writeFile(dir.file(cut), bytes.substr(0, size));
            std::remove(dir.file(kLogName).c_str());
            const RunResult r = runLumaqc({cut}, dir.path());
            const size_t rows = logRows(dir.file(kLogName));
            EXPECT_EQ(r.status, 255) << cut;
            EXPECT_EQ(r.err.rfind("Error decoding frame " + std::to_string(rows) + " of " + cut, 0),
                      0u)
                << r.err;
            EXPECT_NE(r.err.find("truncated"), std::string::npos) << r.err;
            if (rows > 0) {
                EXPECT_EQ(readFile(dir.file(kLogName)), logPrefix(log, rows)) << cut;
            }
        }
    }
    // Cut among B pictures, the pictures coded after the cut are missing
    // before the last ones shown: one truncated event tells that loss, with
    // no frames_lost event beside it.
    ASSERT_EQ(runProgram(ffmpeg,
                         {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25",
                          "-t", "4", "-c:v", "libx264", "-bf", "3", "-g", "50", "b.mkv"},
                         dir.path())
                  .status,
              0);
    const std::string bytes = readFile(dir.file("b.mkv"));
    for (const size_t percent : {50, 70, 90}) {
        writeFile(dir.file("cut.mkv"), bytes.substr(0, bytes.size() * percent / 100));
        const RunResult r = runLumaqc({"check", "cut.mkv"}, dir.path());
        EXPECT_EQ(r.status, 1) << percent;
        EXPECT_EQ(r.out.find("frames_lost"), std::string::npos) << r.out;
        const size_t cut = r.out.find("\n  error truncated (truncated)");
        EXPECT_NE(cut, std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\n  error truncated", cut + 1), std::string::npos) << r.out;
    }
}

TEST_F(Faults, OutputOnTheFileGivenAsStandardInputIsRefused) {
    // `lumaqc - --json victim.yuv < victim.yuv`: standard input is known by
    // its device and inode, like a named input, and the victim stays whole.
    // A pipe on standard input takes no file's place.
    const std::string victim = readFile(dir_.file("clip.yuv"));
    const std::string run = "exec '" + std::string(LUMAQC_BIN) + "' - 64 48 --quiet ";
    for (const char* options : {"--json clip.yuv", "--no-log --report ./clip.yuv"}) {
        const RunResult r =
            runProgram("/bin/sh", {"-c", run + options + " < clip.yuv"}, dir_.path());
        EXPECT_EQ(r.status, 255) << options;
        EXPECT_EQ(r.err.substr(r.err.find(") would")),
                  ") would overwrite the input file on standard input\n");
        EXPECT_EQ(readFile(dir_.file("clip.yuv")), victim) << options;
    }
    const RunResult piped =
        runProgram("/bin/sh", {"-c", "cat clip.yuv | " + run + "--json j.json"}, dir_.path());
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(log(), cleanLog_);
}

TEST_F(Faults, ProfilesThatCannotEndAreRefusedOrStopped) {
    // A profile from a FIFO whose writer never comes ends with the stop
    // signal; a device that never ends, or a profile far larger than any
    // real one (200,000 rules), is refused at once; the largest profile
    // read (1 MiB, some 19,000 rules) parses in linear time. Every run must
    // end within the bound.
    mkfifo(dir_.file("fifo.toml").c_str(), 0644);
    const auto rules = [](size_t count) {
        std::string text = "name = \"many\"\n";
        for (size_t i = 0; i < count; ++i) {
            text += "[[rule]]\nid = \"r" + std::to_string(1000000 + i) +
                    "\"\nevent = \"black\"\nmin_duration = 1\nseverity = \"warning\"\n";
        }
        return text;
    };
    writeFile(dir_.file("huge.toml"), rules(200000));
    writeFile(dir_.file("largest.toml"), rules(((size_t{1} << 20) - 20) / rules(1).size()));
    const std::string large = "is larger than 1 MiB\n";
    const struct {
        std::string profile;
        int signo;  // sent once the run waits, or 0
        int status;
        std::string err;
    } cases[] = {
        {"fifo.toml", SIGTERM, 143, "lumaqc: stopped by SIGTERM after 0 frames\n"},
        {"fifo.toml", SIGINT, 130, "lumaqc: stopped by SIGINT after 0 frames\n"},
        {"/dev/zero", 0, 255, "lumaqc: the profile /dev/zero " + large},
        {"huge.toml", 0, 255, "lumaqc: the profile huge.toml " + large},
        {"largest.toml", 0, 0, ""},
    };
    for (const auto& c : cases) {
        writeFile(dir_.file(kLogName), "an earlier log\n");
        Child child({{"clip.yuv", "64", "48", "--quiet", "--profile", c.profile}, dir_.path()});
        if (c.signo != 0) {
            ASSERT_TRUE(child.waitUntilBlockedReading()) << c.profile;
            child.signal(c.signo);
        }
        const RunResult r = child.finish(std::chrono::seconds(60));
        EXPECT_FALSE(child.hung) << c.profile;
        EXPECT_EQ(r.status, c.status) << c.profile;
        EXPECT_EQ(r.err, c.err) << c.profile;
        EXPECT_EQ(log(), c.status == 0 ? cleanLog_ : "an earlier log\n") << c.profile;
    }
}

TEST_F(Faults, FileNamesAreShownWithoutControlsOrLostBytes) {
    // A long name (1118 characters before it) with an escape sequence and a
    // byte that is not UTF-8: the console shows the whole name, the console,
    // the error stream and the JSON document \xNN instead of those bytes.
    std::string path;
    for (int i = 0; i < 555; ++i) path += "./";
    const std::string name = "a\x1b]0;owned\x07\xff.yuv";
    const std::string shown = "a\\x1b]0;owned\\x07\\xff.yuv";
    ASSERT_EQ(rename(dir_.file("clip.yuv").c_str(), dir_.file(name).c_str()), 0);
    const RunResult r = runLumaqc({path + name, "64", "48", "--json", "j.json"}, dir_.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Video file " + path + shown +
                              " opened successfully!\n\nWidth = 64, Height = 48, FPS = 25.00, "
                              "Number of Frames = 6, Start Frame = 0\n\nFrame: ",
                          0),
              0u);
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(log(), cleanLog_);
    const nlohmann::json doc = nlohmann::json::parse(readFile(dir_.file("j.json")));
    // JSON escapes the controls.
    EXPECT_EQ(doc["input"]["path"], path + "a\x1b]0;owned\x07\\xff.yuv");
    EXPECT_EQ(doc["run"]["command_line"][1], path + "a\x1b]0;owned\x07\\xff.yuv");
    const RunResult missing = runLumaqc({"x" + name, "64", "48"}, dir_.path());
    EXPECT_EQ(missing.err, "Error opening the file x" + shown + ": No such file or directory \n");
    const RunResult output =
        runLumaqc({name, "64", "48", "--json", "no/\x1b[2J.json"}, dir_.path());
    EXPECT_EQ(output.err,
              "Cannot create the JSON file no/\\x1b[2J.json: No such file or directory\n");
    // lumaqc check: raw video is no video file (the names on both streams).
    const RunResult check = runLumaqc({"check", name}, dir_.path());
    EXPECT_EQ(check.out + check.err,
              shown + ": NOT ANALYSED\nlumaqc: " + shown + " is not a video file\n");
}
