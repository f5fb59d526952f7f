// End-to-end tests of the inputs: Y4M files and pipes, raw video through a
// pipe and video files decoded by the libav libraries. Each is checked against
// the rows of the same frames read from a raw file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

constexpr int kW = 352;
constexpr int kH = 288;
constexpr size_t kLumaSize = static_cast<size_t>(kW) * kH;
constexpr size_t kFrameSize = kLumaSize * 3 / 2;
constexpr int kFrames = 32;
// Lost block, black, frozen and recovery scenes of the test card: blackout and
// freezing (which depends on the frame rate) both show.
constexpr int kFirstCardFrame = 100;

const char* const kLogHeader =
    "Frame: \tBlockiness: \tSA: \tLetterbox: \tPillarbox: \tBlockloss: \tBlur: \tTA: \tBlackout: "
    "\tFreezing: \tExposure(bri): \tContrast: \tInterlace: \tNoise: \tSlice: \tFlickering:\n";

struct RunOutput {
    RunResult run;
    std::string log;  // empty when no log was written
};

RunOutput analyse(const TempDir& dir, const std::vector<std::string>& args,
                  const std::string* input = nullptr) {
    std::remove(dir.file("metricsResultsCSV.csv").c_str());
    RunOutput output;
    output.run =
        input != nullptr ? runLumaqcFed(args, dir.path(), *input) : runLumaqc(args, dir.path());
    if (fileExists(dir.file("metricsResultsCSV.csv"))) {
        output.log = readFile(dir.file("metricsResultsCSV.csv"));
    }
    return output;
}

// The header and the first `rows` rows of a log.
std::string logPrefix(const std::string& log, int rows) {
    size_t end = log.find('\n');
    for (int i = 0; i < rows && end != std::string::npos; ++i) end = log.find('\n', end + 1);
    return log.substr(0, end + 1);
}

int logRowCount(const std::string& log) {
    int lines = 0;
    for (char c : log) lines += c == '\n';
    return lines - 1;
}

std::string openingLine(const std::string& path, const std::string& fps, const char* frames,
                        const char* start = "0") {
    return "Video file " + path +
           " opened successfully!\n\nWidth = 352, Height = 288, FPS = " + fps +
           ", Number of Frames = " + frames + ", Start Frame = " + start + "\n\n";
}

// The clip as raw 4:2:0 and what the raw file form makes of it.
struct Reference {
    std::string raw;
    std::string log;         // lumaqc clip.yuv 352 288
    std::string partialLog;  // lumaqc clip.yuv 352 288 25 10 5
    std::vector<std::string> consoleRows;
};

const Reference& reference() {
    static const Reference ref = [] {
        Reference r;
        TempDir dir;
        const RunResult card = runProgram(LUMAQC_TESTCARD_BIN, {dir.file("card.yuv")}, dir.path());
        if (card.status != 0) std::abort();
        r.raw = readFile(dir.file("card.yuv"))
                    .substr(kFirstCardFrame * kFrameSize, kFrames * kFrameSize);
        writeFile(dir.file("clip.yuv"), r.raw);
        const RunOutput full = analyse(dir, {"clip.yuv", "352", "288"});
        const RunOutput partial = analyse(dir, {"clip.yuv", "352", "288", "25", "10", "5"});
        if (full.run.status != 0 || partial.run.status != 0) std::abort();
        r.log = full.log;
        r.partialLog = partial.log;
        r.consoleRows = consoleRows(full.run.out);
        return r;
    }();
    return ref;
}

// The clip as Y4M with the given header parameters and FRAME lines; mono
// frames carry the luma plane only.
std::string y4m(const std::string& parameters, const std::string& frameLine = "FRAME",
                bool mono = false) {
    const std::string& raw = reference().raw;
    std::string bytes = "YUV4MPEG2 " + parameters + "\n";
    for (int i = 0; i < kFrames; ++i) {
        bytes += frameLine + "\n";
        bytes += raw.substr(i * kFrameSize, mono ? kLumaSize : kFrameSize);
    }
    return bytes;
}

std::string exactFps(double fps) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", fps);
    return text;
}

std::string usageText() {
    return std::string("Not enough parameters\n\nUsage : ") + LUMAQC_BIN +
           " nameOfTheMovie.yuv WIDTH HEIGHT [FPS] [NumberOfFrames] [startFrame]\n, where [***] "
           "is optional parameter.\n\n";
}

}  // namespace

TEST(Inputs, Y4mFilesGiveTheRowsOfTheRawFile) {
    const struct {
        std::string name, parameters, frameLine;
        bool mono;
        std::vector<std::string> extraArgs;
    } cases[] = {
        {"clip.y4m", "W352 H288 F25:1", "FRAME", false, {}},
        // ffmpeg's own header, with interlacing, aspect ratio and an extension.
        {"clip.y4m", "W352 H288 F25:1 Ip A1:1 C420jpeg XYSCSS=420JPEG", "FRAME", false, {}},
        {"clip.y4m", "C420paldv H288 W352 F50:2 It A128:117", "FRAME Ib XTAG=1", false, {}},
        {"clip.y4m", "W352 H288 F25:1 C420mpeg2", "FRAME", false, {"352", "288"}},
        {"clip.y4m", "W352 H288 C420", "FRAME", false, {}},  // no rate: 25
        {"clip.y4m", "W352 H288 F0:0", "FRAME", false, {}},  // unknown rate: 25
        {"clip.y4m", "W352 H288 F25:1 Cmono", "FRAME", true, {}},
        // Recognised by its signature, whatever the name.
        {"clip.yuv", "W352 H288 F25:1", "FRAME", false, {}},
        {"clip.yuv", "W352 H288 F25:1", "FRAME", false, {"352", "288", "25"}},
    };
    const Reference& ref = reference();
    TempDir dir;
    for (const auto& c : cases) {
        writeFile(dir.file(c.name), y4m(c.parameters, c.frameLine, c.mono));
        std::vector<std::string> args{c.name};
        args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
        const RunOutput out = analyse(dir, args);
        const std::string what = c.parameters + " / " + c.frameLine;
        ASSERT_EQ(out.run.status, 0) << what << ": " << out.run.err;
        EXPECT_EQ(out.run.err, "") << what;
        EXPECT_EQ(out.log, ref.log) << what;
        EXPECT_EQ(consoleRows(out.run.out), ref.consoleRows) << what;
        EXPECT_EQ(out.run.out.substr(0, out.run.out.find("Frame: ")),
                  openingLine(c.name, "25.00", "-1"))
            << what;
    }
}

TEST(Inputs, Y4mFrameRateSetsTheFreezeLength) {
    const Reference& ref = reference();
    TempDir dir;
    writeFile(dir.file("clip.y4m"), y4m("W352 H288 F60000:1001"));
    writeFile(dir.file("clip.yuv"), ref.raw);
    const RunOutput y4mRun = analyse(dir, {"clip.y4m"});
    ASSERT_EQ(y4mRun.run.status, 0) << y4mRun.run.err;
    EXPECT_NE(y4mRun.run.out.find("FPS = 59.94, Number of Frames = -1"), std::string::npos);
    const RunOutput rawRun = analyse(dir, {"clip.yuv", "352", "288", exactFps(60000.0 / 1001.0)});
    EXPECT_EQ(y4mRun.log, rawRun.log);
    EXPECT_NE(y4mRun.log, ref.log);  // a freeze takes more frames than at 25 frames/s

    // A rate given on the command line wins over the header's.
    EXPECT_EQ(analyse(dir, {"clip.y4m", "--fps", "25"}).log, ref.log);
    EXPECT_EQ(analyse(dir, {"clip.y4m", "352", "288", "25"}).log, ref.log);
}

TEST(Inputs, PipesGiveTheRowsOfTheFile) {
    const Reference& ref = reference();
    const std::string raw = ref.raw;
    const std::string y4mBytes = y4m("W352 H288 F25:1 C420jpeg", "FRAME Ip");
    const struct {
        const std::string* input;
        std::vector<std::string> args;
        const std::string* log;
        const char* frames;
        const char* start;
    } cases[] = {
        {&raw, {"-", "352", "288"}, &ref.log, "-1", "0"},
        {&y4mBytes, {"-"}, &ref.log, "-1", "0"},
        {&raw, {"-", "352", "288", "25", "10", "5"}, &ref.partialLog, "10", "5"},
        {&raw, {"-", "352", "288", "--start", "5", "--frames", "10"}, &ref.partialLog, "10", "5"},
        {&y4mBytes, {"-", "--start", "5", "--frames", "10"}, &ref.partialLog, "10", "5"},
        {&y4mBytes,
         {"--frames", "10", "-", "352", "288", "--start", "5"},
         &ref.partialLog,
         "10",
         "5"},
        // The stream ends before the frame count: the run ends with it.
        {&y4mBytes, {"-", "--frames", "1000"}, &ref.log, "1000", "0"},
        {&raw, {"-", "352", "288", "25", "1000"}, &ref.log, "1000", "0"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const RunOutput out = analyse(dir, c.args, c.input);
        std::string what;
        for (const std::string& a : c.args) what += a + " ";
        ASSERT_EQ(out.run.status, 0) << what << out.run.err;
        EXPECT_EQ(out.run.err, "") << what;
        EXPECT_EQ(out.log, *c.log) << what;
        EXPECT_EQ(out.run.out.substr(0, out.run.out.find("Frame: ")),
                  openingLine("-", "25.00", c.frames, c.start))
            << what;
    }

    // A trailing partial frame of a raw stream is ignored, as in a file.
    const std::string tail = raw + std::string(kFrameSize / 2, '\x10');
    EXPECT_EQ(analyse(dir, {"-", "352", "288"}, &tail).log, ref.log);
}

TEST(Inputs, Y4mOfOtherSampleFormatsIsRefused) {
    const struct {
        std::string parameters;
        std::string error;
    } cases[] = {
        {"W352 H288 F25:1 C422", "Unsupported Y4M colour space C422"},
        {"W352 H288 F25:1 C444", "Unsupported Y4M colour space C444"},
        {"W352 H288 F25:1 C420p10 XYSCSS=420P10", "Unsupported Y4M colour space C420p10"},
        {"W352 H288 F25:1 Cmono16", "Unsupported Y4M colour space Cmono16"},
        {"W352 H288 C444alpha", "Unsupported Y4M colour space C444alpha"},
    };
    TempDir dir;
    const std::string earlier = "rows of an earlier run\n";
    for (const auto& c : cases) {
        writeFile(dir.file("clip.y4m"), y4m(c.parameters).substr(0, 4096));
        writeFile(dir.file("metricsResultsCSV.csv"), earlier);
        const RunResult r = runLumaqc({"clip.y4m"}, dir.path());
        EXPECT_EQ(r.status, 255) << c.parameters;
        EXPECT_EQ(r.err, c.error +
                             " in clip.y4m: only 8-bit 4:2:0 (C420, C420jpeg, C420paldv, "
                             "C420mpeg2) and 8-bit mono (Cmono) are read\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(readFile(dir.file("metricsResultsCSV.csv")), earlier);
    }

    const std::string header = "YUV4MPEG2 W352 H288 F25:1 C422\nFRAME\n";
    const RunResult piped = runLumaqcFed({"-"}, dir.path(), header);
    EXPECT_EQ(piped.status, 255);
    EXPECT_EQ(piped.err.substr(0, piped.err.find(':')),
              "Unsupported Y4M colour space C422 in standard input");
}

TEST(Inputs, DamagedY4mHeadersAreRefused) {
    const struct {
        std::string bytes;
        std::string error;
    } cases[] = {
        {"YUV4MPEG2 W352 F25:1\n", "no picture size (W and H)"},
        {"YUV4MPEG2 Wabc H288\n", "bad width Wabc"},
        {"YUV4MPEG2 W352 H-288\n", "bad height H-288"},
        {"YUV4MPEG2 W352 H288 F25\n", "bad frame rate F25"},
        {"YUV4MPEG2 W352 H288 F25:0\n", "bad frame rate F25:0"},
        {"YUV4MPEG2 W70000 H70000\n", "picture size 70000 x 70000 is too large"},
        {"YUV4MPEG2 W352 H288", "no line feed at its end (truncated)"},
        {"YUV4MPEG2 " + std::string(5000, 'X'), "longer than 4096 bytes"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        writeFile(dir.file("clip.y4m"), c.bytes);
        const RunResult r = runLumaqc({"clip.y4m"}, dir.path());
        EXPECT_EQ(r.status, 255) << c.error;
        EXPECT_EQ(r.err, "Invalid Y4M header of clip.y4m: " + c.error + "\n");
        EXPECT_FALSE(fileExists(dir.file("metricsResultsCSV.csv")));
    }
}

TEST(Inputs, DamagedY4mKeepsTheRowsBeforeTheDamage) {
    const Reference& ref = reference();
    const std::string whole = y4m("W352 H288 F25:1");
    const size_t frame7 = std::string("YUV4MPEG2 W352 H288 F25:1\n").size() + 7 * (6 + kFrameSize);
    std::string badTag = whole;
    badTag.replace(frame7, 5, "FRAMX");
    const struct {
        std::string bytes;
        std::vector<std::string> extraArgs;
        int rows;
        std::string error;
    } cases[] = {
        {whole.substr(0, frame7 + 6 + 1000),
         {},
         7,
         "Error reading frame 7 of clip.y4m: the stream ends inside the frame (1000 of 152064 "
         "bytes; truncated)\n"},
        {whole.substr(0, frame7 + 6 + kLumaSize + 10),
         {},
         7,
         "Error reading frame 7 of clip.y4m: the stream ends inside the frame (101386 of 152064 "
         "bytes; truncated)\n"},
        {whole.substr(0, frame7 + 3),
         {},
         7,
         "Error reading frame 7 of clip.y4m: the stream ends inside the FRAME header "
         "(truncated)\n"},
        {badTag,
         {},
         7,
         "Error reading frame 7 of clip.y4m: no FRAME header where the frame should start\n"},
        // Damage among the frames skipped to reach the start frame.
        {whole.substr(0, frame7 + 3),
         {"--start", "10"},
         0,
         "Error reading frame 7 of clip.y4m: the stream ends inside the FRAME header "
         "(truncated)\n"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        writeFile(dir.file("clip.y4m"), c.bytes);
        std::vector<std::string> args{"clip.y4m"};
        args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
        for (bool piped : {false, true}) {
            if (piped) args[0] = "-";
            const RunOutput out = analyse(dir, args, piped ? &c.bytes : nullptr);
            EXPECT_EQ(out.run.status, 255) << c.error;
            std::string error = c.error;
            if (piped) error.replace(error.find("clip.y4m"), 8, "standard input");
            EXPECT_EQ(out.run.err, error);
            EXPECT_EQ(out.log, c.rows == 0 ? std::string(kLogHeader) : logPrefix(ref.log, c.rows));
            EXPECT_EQ(consoleRows(out.run.out).size(), static_cast<size_t>(c.rows));
        }
    }
}

TEST(Inputs, SizeGivenMustMatchTheY4mHeader) {
    TempDir dir;
    const std::string bytes = y4m("W352 H288 F25:1");
    writeFile(dir.file("clip.y4m"), bytes);
    const RunResult file = runLumaqc({"clip.y4m", "64", "48"}, dir.path());
    EXPECT_EQ(file.status, 255);
    EXPECT_EQ(file.err,
              "Picture size 64 x 48 does not match the Y4M header of clip.y4m (352 x 288)\n");
    EXPECT_EQ(file.out, "");
    EXPECT_FALSE(fileExists(dir.file("metricsResultsCSV.csv")));

    const RunResult piped = runLumaqcFed({"-", "352", "289", "25"}, dir.path(), bytes);
    EXPECT_EQ(piped.status, 255);
    EXPECT_EQ(piped.err,
              "Picture size 352 x 289 does not match the Y4M header of standard input (352 x "
              "288)\n");
}

TEST(Inputs, RawVideoWithoutItsSizePrintsTheUsage) {
    TempDir dir;
    writeFile(dir.file("clip.yuv"), reference().raw.substr(0, 4 * kFrameSize));
    writeFile(dir.file("notes.txt"), "not a video\n");
    for (const std::string name : {"clip.yuv", "notes.txt", "missing.mkv"}) {
        const RunResult r = runLumaqc({name}, dir.path());
        EXPECT_EQ(r.status, 255) << name;
        EXPECT_EQ(r.out, usageText()) << name;
        EXPECT_EQ(r.err, "") << name;
        EXPECT_FALSE(fileExists(dir.file("metricsResultsCSV.csv")));
    }
    const RunResult piped = runLumaqcFed({"-"}, dir.path(), reference().raw.substr(0, kFrameSize));
    EXPECT_EQ(piped.status, 255);
    EXPECT_EQ(piped.out, usageText());
}

TEST(Inputs, OptionsHelpAndVersion) {
    const Reference& ref = reference();
    TempDir dir;
    writeFile(dir.file("clip.yuv"), ref.raw);
    const struct {
        std::vector<std::string> args;
        std::string err;
    } errors[] = {
        {{"clip.yuv", "352", "288", "--bogus"},
         "lumaqc: The following argument was not expected: --bogus (see --help)\n"},
        {{"clip.yuv", "352", "288", "--frames", "ten"},
         "lumaqc: Could not convert: --frames = ten (see --help)\n"},
        {{"--fps", "fast", "clip.yuv", "352", "288"},
         "lumaqc: Could not convert: --fps = fast (see --help)\n"},
        {{"clip.yuv", "352", "288", "--start"},
         "lumaqc: --start: 1 required INT missing (see --help)\n"},
    };
    for (const auto& e : errors) {
        const RunResult r = runLumaqc(e.args, dir.path());
        EXPECT_EQ(r.status, 255) << e.err;
        EXPECT_EQ(r.err, e.err);
        EXPECT_EQ(r.out, "");
    }

    // Options may stand anywhere, and "--" ends them.
    EXPECT_EQ(analyse(dir, {"--start", "5", "clip.yuv", "--frames", "10", "352", "288"}).log,
              ref.partialLog);
    EXPECT_EQ(analyse(dir, {"--threads", "1", "--", "clip.yuv", "352", "288", "25", "10", "5"}).log,
              ref.partialLog);

    std::remove(dir.file("metricsResultsCSV.csv").c_str());
    for (const char* flag : {"--help", "-h"}) {
        const RunResult help = runLumaqc({flag}, dir.path());
        EXPECT_EQ(help.status, 0);
        for (const char* text : {"Inputs: raw planar YUV 4:2:0", "Y4M", "--fps", "--frames",
                                 "--start", "--version", "standard input"}) {
            EXPECT_NE(help.out.find(text), std::string::npos) << text;
        }
    }

    const RunResult version = runLumaqc({"--version"}, dir.path());
    EXPECT_EQ(version.status, 0);
    const std::vector<std::string> lines = splitLines(version.out);
    ASSERT_EQ(lines.size(), 2u) << version.out;
    EXPECT_EQ(lines[0].rfind("lumaqc ", 0), 0u);
    EXPECT_TRUE(lines[1] == "decoder support: no (raw and Y4M input only)" ||
                lines[1].rfind("decoder support: yes (libavformat ", 0) == 0)
        << lines[1];
    EXPECT_FALSE(fileExists(dir.file("metricsResultsCSV.csv")));
}

// Video files through libavformat and libavcodec. Clips are encoded here with
// ffmpeg; the tests are skipped without decoder support or without ffmpeg.
class Decoder : public ::testing::Test {
  protected:
    void SetUp() override {
        const RunResult version = runLumaqc({"--version"}, dir_.path());
        if (version.out.find("decoder support: yes") == std::string::npos) {
            GTEST_SKIP() << "built without decoder support";
        }
        ffmpeg_ = findInPath("ffmpeg");
        if (ffmpeg_.empty()) GTEST_SKIP() << "ffmpeg not found";
        writeFile(dir_.file("clip.yuv"), reference().raw);
    }

    // Encodes clip.yuv (25 frames/s unless `rate` says otherwise) into `name`.
    bool encode(const std::string& name, const std::vector<std::string>& codec,
                const std::string& rate = "25") {
        std::vector<std::string> args{"-v",       "error",   "-y",      "-f",      "rawvideo",
                                      "-pix_fmt", "yuv420p", "-s",      "352x288", "-r",
                                      rate,       "-i",      "clip.yuv"};
        args.insert(args.end(), codec.begin(), codec.end());
        args.push_back(name);
        const RunResult r = runProgram(ffmpeg_, args, dir_.path());
        return r.status == 0;
    }

    TempDir dir_;
    std::string ffmpeg_;
};

TEST_F(Decoder, LosslessFilesGiveTheRowsOfTheRawFile) {
    const Reference& ref = reference();
    const struct {
        std::string name;
        std::vector<std::string> codec;
    } cases[] = {
        {"ffv1.mkv", {"-c:v", "ffv1"}},
        {"x264.mp4", {"-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv420p"}},
        {"raw.avi", {"-c:v", "rawvideo"}},
        // 10-bit samples are reduced to 8 bits: here back to the very samples.
        {"ffv1-10bit.mkv", {"-c:v", "ffv1", "-pix_fmt", "yuv420p10le"}},
        {"ffv1-422.mov", {"-c:v", "ffv1", "-pix_fmt", "yuv422p"}},
    };
    for (const auto& c : cases) {
        if (!encode(c.name, c.codec)) {
            ADD_FAILURE() << "ffmpeg cannot encode " << c.name;
            continue;
        }
        const RunOutput out = analyse(dir_, {c.name});
        ASSERT_EQ(out.run.status, 0) << c.name << ": " << out.run.err;
        EXPECT_EQ(out.run.err, "");
        EXPECT_EQ(out.log, ref.log) << c.name;
        EXPECT_EQ(out.run.out.substr(0, out.run.out.find("Frame: ")),
                  openingLine(c.name, "25.00", "-1"));
    }

    EXPECT_EQ(analyse(dir_, {"ffv1.mkv", "--start", "5", "--frames", "10"}).log, ref.partialLog);
    // Matroska through a pipe.
    const std::string mkv = readFile(dir_.file("ffv1.mkv"));
    EXPECT_EQ(analyse(dir_, {"-"}, &mkv).log, ref.log);
    // With a size the input is raw video, whatever libavformat would make of it.
    const RunOutput asRaw = analyse(dir_, {"ffv1.mkv", "352", "288"});
    EXPECT_EQ(asRaw.run.status, 0);
    EXPECT_NE(asRaw.log, ref.log);
}

TEST_F(Decoder, Y4mFromFfmpegThroughAPipe) {
    ASSERT_TRUE(encode("movie.mkv", {"-c:v", "ffv1"}));
    // ffmpeg -i movie.mkv -f yuv4mpegpipe - | lumaqc -
    const RunResult y4mOut =
        runProgram(ffmpeg_, {"-v", "error", "-i", "movie.mkv", "-f", "yuv4mpegpipe", "movie.y4m"},
                   dir_.path());
    ASSERT_EQ(y4mOut.status, 0) << y4mOut.err;
    const std::string bytes = readFile(dir_.file("movie.y4m"));
    const RunOutput out = analyse(dir_, {"-"}, &bytes);
    ASSERT_EQ(out.run.status, 0) << out.run.err;
    EXPECT_EQ(out.log, reference().log);
}

TEST_F(Decoder, FrameRateComesFromTheStream) {
    ASSERT_TRUE(encode("rate.mkv", {"-c:v", "ffv1"}, "60000/1001"));
    const RunOutput decoded = analyse(dir_, {"rate.mkv"});
    ASSERT_EQ(decoded.run.status, 0) << decoded.run.err;
    EXPECT_NE(decoded.run.out.find("FPS = 59.94, Number of Frames = -1"), std::string::npos);
    const RunOutput raw = analyse(dir_, {"clip.yuv", "352", "288", exactFps(60000.0 / 1001.0)});
    EXPECT_EQ(decoded.log, raw.log);
    EXPECT_EQ(analyse(dir_, {"rate.mkv", "--fps", "25"}).log, reference().log);
}

TEST_F(Decoder, TruncatedMp4KeepsTheRowsBeforeTheDamage) {
    const Reference& ref = reference();
    // The index first, so that the samples come last and can be cut.
    ASSERT_TRUE(encode("whole.mp4", {"-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv420p",
                                     "-movflags", "+faststart"}));
    const std::string whole = readFile(dir_.file("whole.mp4"));
    writeFile(dir_.file("cut.mp4"), whole.substr(0, whole.size() * 6 / 10));
    const RunOutput out = analyse(dir_, {"cut.mp4"});
    EXPECT_EQ(out.run.status, 255);
    const int rows = logRowCount(out.log);
    EXPECT_GT(rows, 0);
    EXPECT_LT(rows, kFrames);
    EXPECT_EQ(out.log, logPrefix(ref.log, rows));
    EXPECT_EQ(out.run.err, "Error decoding frame " + std::to_string(rows) +
                               " of cut.mp4: the input is damaged or truncated\n");

    // Cut before its index (written last by default), the file cannot be read.
    ASSERT_TRUE(encode("late.mp4", {"-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv420p"}));
    const std::string late = readFile(dir_.file("late.mp4"));
    writeFile(dir_.file("late.mp4"), late.substr(0, late.size() / 2));
    const RunOutput noIndex = analyse(dir_, {"late.mp4"});
    EXPECT_EQ(noIndex.run.status, 255);
    EXPECT_EQ(noIndex.run.err,
              "Cannot read late.mp4 (mov,mp4,m4a,3gp,3g2,mj2): Invalid data found when processing "
              "input; the file may be damaged or truncated\n");
    EXPECT_EQ(noIndex.log, "");
}
