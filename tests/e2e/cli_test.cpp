// End-to-end tests: the real binary on generated raw clips.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

constexpr int kW = 64;
constexpr int kH = 48;

// Writes `count` distinct textured frames of w x h.
std::string writeClip(const TempDir& dir, const std::string& name, int w, int h, int count,
                      const std::string& tail = "") {
    std::string bytes;
    for (int i = 0; i < count; ++i)
        bytes += rawFrame(texturedLuma(w, h, static_cast<uint32_t>(i)), w, h);
    writeFile(dir.file(name), bytes + tail);
    return name;
}

std::vector<std::string> logRows(const TempDir& dir) {
    std::vector<std::string> lines = splitLines(readFile(dir.file("metricsResultsCSV.csv")));
    if (!lines.empty()) lines.erase(lines.begin());
    return lines;
}

// Field n (0 = frame index) of every row.
std::vector<std::string> column(const std::vector<std::string>& rows, size_t n) {
    std::vector<std::string> values;
    for (const std::string& row : rows) values.push_back(fields(row).at(n));
    return values;
}

constexpr size_t kTemporalField = 7;
constexpr size_t kFreezingField = 9;
constexpr size_t kFlickeringField = 15;

const char* const kConsoleHeader =
    "Frame: \tBlockiness: \tSpatial Activity: \tLetterbox: \tPillarbox: \tBlockloss: \tBlur: "
    "\t\tTemporalAct: \tBlackout: \tFreezing: \tExposure(bri): \tContrast: \tInterlace: \tNoise: "
    "\t\tSlice: \t\tFlickering:\n";
const char* const kLogHeader =
    "Frame: \tBlockiness: \tSA: \tLetterbox: \tPillarbox: \tBlockloss: \tBlur: \tTA: \tBlackout: "
    "\tFreezing: \tExposure(bri): \tContrast: \tInterlace: \tNoise: \tSlice: \tFlickering:\n";

}  // namespace

TEST(Cli, TooFewArgumentsPrintsUsage) {
    TempDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"clip.yuv"}, {"clip.yuv", "64"}}) {
        const RunResult r = runLumaqc(args, dir.path());
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, std::string("Not enough parameters\n\nUsage : ") + LUMAQC_BIN +
                             " nameOfTheMovie.yuv WIDTH HEIGHT [FPS] [NumberOfFrames] "
                             "[startFrame]\n, where [***] is optional parameter.\n\n");
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(fileExists(dir.file("metricsResultsCSV.csv")));
    }
}

TEST(Cli, RejectedStartsLeaveAnExistingLogAlone) {
    TempDir dir;
    writeClip(dir, "clip.yuv", kW, kH, 2);
    const std::string earlier = "rows of an earlier run\n";
    writeFile(dir.file("metricsResultsCSV.csv"), earlier);
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"missing.yuv", "64", "48"},
         "Error opening the file missing.yuv: No such file or directory \n"},
        {{"clip.yuv", "0", "48"},
         "Invalid picture size 0 x 48: width and height must be positive\n"},
        {{"clip.yuv", "64", "-3"},
         "Invalid picture size 64 x -3: width and height must be positive\n"},
        {{"clip.yuv", "abc", "48"},
         "Invalid picture size 0 x 48: width and height must be positive\n"},
        {{"clip.yuv", "64", "48", "25", "2", "-1"},
         "Invalid start frame -1: it must be 0 or more\n"},
        {{"clip.yuv", "70000", "70000"}, "Picture size 70000 x 70000 is too large\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = runLumaqc(c.args, dir.path());
        EXPECT_EQ(r.status, 255) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(readFile(dir.file("metricsResultsCSV.csv")), earlier);
    }
}

TEST(Cli, WholeRunLayout) {
    TempDir dir;
    writeClip(dir, "clip.yuv", kW, kH, 3);
    const RunResult r = runLumaqc({"clip.yuv", "64", "48"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string opening =
        std::string(
            "Video file clip.yuv opened successfully!\n\nWidth = 64, Height = 48, FPS = "
            "25.00, Number of Frames = 3, Start Frame = 0\n\n") +
        kConsoleHeader;
    EXPECT_EQ(r.out.substr(0, opening.size()), opening);

    const std::string log = readFile(dir.file("metricsResultsCSV.csv"));
    EXPECT_EQ(log.substr(0, 163), kLogHeader);
    const auto console = consoleRows(r.out);
    const auto rows = logRows(dir);
    ASSERT_EQ(console.size(), 3u);
    ASSERT_EQ(rows.size(), 3u);
    for (size_t i = 0; i < rows.size(); ++i) {
        // Same values, different separators.
        EXPECT_EQ(fields(console[i]), fields(rows[i]));
        EXPECT_EQ(fields(rows[i]).size(), 16u);
        EXPECT_EQ(rows[i].find("\t\t"), std::string::npos);
        EXPECT_EQ(fields(rows[i])[0], "0000" + std::to_string(i));
    }

    const size_t summary = r.out.find("Calculation time: \t");
    ASSERT_NE(summary, std::string::npos);
    const std::string tail = r.out.substr(summary);
    EXPECT_NE(tail.find(" seconds overall \n \t\t\t"), std::string::npos);
    EXPECT_NE(tail.find(" milliseconds per frame\n\nAverage calculation time per frame for each "
                        "metric: \n\tBlockiness: "),
              std::string::npos);
    EXPECT_NE(tail.find(" \n \tFreezing : "), std::string::npos);
    const std::string ending = " ms\n\nFile stream closed\n\n";
    ASSERT_GE(tail.size(), ending.size());
    EXPECT_EQ(tail.substr(tail.size() - ending.size()), ending);
}

TEST(Cli, TemporalFieldsFirstRowAndFlickerCadence) {
    TempDir dir;
    writeClip(dir, "clip.yuv", kW, kH, 20);
    const RunResult r = runLumaqc({"clip.yuv", "64", "48", "25", "19", "1"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = logRows(dir);
    ASSERT_EQ(rows.size(), 19u);
    EXPECT_EQ(fields(rows[0])[0], "00001");
    EXPECT_EQ(fields(rows[0])[kTemporalField], "0.00000");
    EXPECT_EQ(fields(rows[0])[kFreezingField], "0");
    EXPECT_EQ(fields(rows[0])[kFlickeringField], "0.00000");
    EXPECT_NE(fields(rows[1])[kTemporalField], "0.00000");
    // Ratings on S + 8 and S + 16, -1 on every other frame from S + 1 on.
    for (size_t i = 1; i < rows.size(); ++i) {
        const std::string flicker = fields(rows[i])[kFlickeringField];
        if (i == 8 || i == 16) {
            EXPECT_NE(flicker, "-1.00000") << "row " << i;
        } else {
            EXPECT_EQ(flicker, "-1.00000") << "row " << i;
        }
    }
    EXPECT_EQ(consoleRows(r.out).size(), rows.size());
}

TEST(Cli, FreezeFlagsFollowTheFrameRate) {
    TempDir dir;
    const std::string frame = rawFrame(texturedLuma(kW, kH, 7), kW, kH);
    std::string bytes;
    for (int i = 0; i < 8; ++i) bytes += frame;
    writeFile(dir.file("still.yuv"), bytes);
    const struct {
        const char* fps;
        std::vector<std::string> flags;
    } cases[] = {
        {"25", {"0", "0", "0", "1", "1", "1", "1", "1"}},
        {"30", {"0", "0", "0", "0", "1", "1", "1", "1"}},
        {"10", {"0", "0", "1", "1", "1", "1", "1", "1"}},
        {"50", {"0", "0", "0", "0", "0", "0", "1", "1"}},
        {"0", {"0", "1", "1", "1", "1", "1", "1", "1"}},
    };
    for (const auto& c : cases) {
        const RunResult r = runLumaqc({"still.yuv", "64", "48", c.fps}, dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(column(logRows(dir), kFreezingField), c.flags) << "fps " << c.fps;
    }
}

TEST(Cli, FramesPastTheEndReuseTheAlternatingArrays) {
    TempDir dir;
    writeClip(dir, "clip.yuv", kW, kH, 3);
    const RunResult r = runLumaqc({"clip.yuv", "64", "48", "25", "4", "1"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = logRows(dir);
    ASSERT_EQ(column(rows, 0), (std::vector<std::string>{"00001", "00002", "00003", "00004"}));
    // Frame 3 is computed on frame 1's samples and frame 4 on frame 2's.
    for (size_t f : {1u, 2u, 3u, 4u, 5u, 6u, 10u, 11u, 12u, 13u, 14u}) {
        EXPECT_EQ(fields(rows[2])[f], fields(rows[0])[f]) << "field " << f;
        EXPECT_EQ(fields(rows[3])[f], fields(rows[1])[f]) << "field " << f;
    }

    // A start beyond the end computes every frame on zero samples.
    const RunResult beyond = runLumaqc({"clip.yuv", "64", "48", "25", "2", "50"}, dir.path());
    ASSERT_EQ(beyond.status, 0) << beyond.err;
    const auto zeroRows = logRows(dir);
    ASSERT_EQ(column(zeroRows, 0), (std::vector<std::string>{"00050", "00051"}));
    EXPECT_EQ(fields(zeroRows[1])[kTemporalField], "0.00000");
    EXPECT_EQ(fields(zeroRows[1])[8], "1");  // blackout
}

TEST(Cli, FrameCountComesFromWholeFrames) {
    TempDir dir;
    writeClip(dir, "clip.yuv", kW, kH, 3, std::string(100, 'x'));
    const RunResult r = runLumaqc({"clip.yuv", "64", "48", "29.97"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("FPS = 29.97, Number of Frames = 3, Start Frame = 0\n"),
              std::string::npos);
    EXPECT_EQ(logRows(dir).size(), 3u);
}

TEST(Cli, NoFrameStillPrintsTheSummary) {
    TempDir dir;
    writeClip(dir, "clip.yuv", kW, kH, 2);
    for (const char* n : {"0", "-5"}) {
        const RunResult r = runLumaqc({"clip.yuv", "64", "48", "25", n}, dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(consoleRows(r.out).empty());
        EXPECT_EQ(readFile(dir.file("metricsResultsCSV.csv")), kLogHeader);
        EXPECT_NE(r.out.find("Average calculation time per frame for each metric: \n"),
                  std::string::npos);
        EXPECT_NE(r.out.find("\nFile stream closed\n"), std::string::npos);
    }
}

TEST(Cli, SizesThatAreNotMultiplesOfTheBlocks) {
    const struct {
        int w, h;
    } sizes[] = {{1, 1},   {3, 3},    {7, 5},     {8, 8},    {17, 9},
                 {37, 29}, {100, 47}, {255, 257}, {258, 260}};
    for (const auto& s : sizes) {
        TempDir dir;
        writeClip(dir, "clip.yuv", s.w, s.h, 10);
        const RunResult r =
            runLumaqc({"clip.yuv", std::to_string(s.w), std::to_string(s.h)}, dir.path());
        ASSERT_EQ(r.status, 0) << s.w << "x" << s.h << ": " << r.err;
        const auto rows = logRows(dir);
        ASSERT_EQ(rows.size(), 10u) << s.w << "x" << s.h;
        const auto console = consoleRows(r.out);
        for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(fields(console[i]), fields(rows[i]));
    }
}

TEST(Cli, DirectoryIsRefusedLikeAFileThatCannotBeOpened) {
    TempDir dir;
    mkdir(dir.file("folder.yuv").c_str(), 0755);
    const RunResult r = runLumaqc({"folder.yuv", "8", "8", "25", "2"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Error opening the file folder.yuv: Is a directory \n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fileExists(dir.file("metricsResultsCSV.csv")));
}

TEST(Cli, LogThatCannotBeCreatedLeavesTheConsole) {
    TempDir dir;
    writeClip(dir, "clip.yuv", kW, kH, 2);
    const RunResult withLog = runLumaqc({"clip.yuv", "64", "48"}, dir.path());
    std::filesystem::remove(dir.file("metricsResultsCSV.csv"));
    mkdir(dir.file("metricsResultsCSV.csv").c_str(), 0755);
    const RunResult r = runLumaqc({"clip.yuv", "64", "48"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Cannot create the log file: Is a directory\n");
    EXPECT_EQ(consoleRows(r.out), consoleRows(withLog.out));
}
