// The inputs: Y4M files and pipes, raw video through a pipe and video files
// made with ffmpeg and decoded by the libav libraries. Each must give the log
// of the same frames read from a raw file; damaged streams keep the rows
// before the damage. Raw and Y4M sample layouts against ffmpeg's conversions.

#include <cstdlib>
#include <filesystem>
#include <limits>

#include "e2e_support.h"

namespace {

constexpr size_t kLuma = 352 * 288, kFrame = kLuma * 3 / 2;
constexpr int kFrames = 32;  // test card frames 100 to 131: lost block, black, frozen, recovery

struct Output {
    RunResult run;
    std::string log;
};

Output analyse(const TempDir& dir, const std::vector<std::string>& args,
               const std::string* input = nullptr) {
    std::filesystem::remove(dir.file("metricsResultsCSV.csv"));
    Output o{
        input != nullptr ? runLumaqcFed(args, dir.path(), *input) : runLumaqc(args, dir.path()),
        ""};
    o.log = readFile(dir.file("metricsResultsCSV.csv"));
    return o;
}

std::string opening(const std::string& path, const std::string& fps, const std::string& frames,
                    const std::string& start = "0") {
    return "Video file " + path +
           " opened successfully!\n\nWidth = 352, Height = 288, FPS = " + fps +
           ", Number of Frames = " + frames + ", Start Frame = " + start + "\n\n";
}

// The clip as raw 4:2:0 and the logs its raw file gives: all frames, 10
// frames from frame 5, and all at 60000/1001 frames per second.
struct Reference {
    std::string raw, log, partialLog, log60;
};

const Reference& reference() {
    static const Reference ref = [] {
        Reference r;
        TempDir dir;
        if (runProgram(LUMAQC_TESTCARD_BIN, {"card.yuv"}, dir.path()).status != 0) std::abort();
        r.raw = readFile(dir.file("card.yuv")).substr(100 * kFrame, kFrames * kFrame);
        writeFile(dir.file("clip.yuv"), r.raw);
        r.log = analyse(dir, {"clip.yuv", "352", "288"}).log;
        r.partialLog = analyse(dir, {"clip.yuv", "352", "288", "25", "10", "5"}).log;
        r.log60 = analyse(dir, {"clip.yuv", "352", "288", "59.940059940059939"}).log;
        return r;
    }();
    return ref;
}

// The clip as Y4M with the given header parameters and FRAME lines; mono
// frames carry the luma plane only.
std::string y4m(const std::string& parameters, const std::string& frameLine = "FRAME",
                bool mono = false) {
    std::string bytes = "YUV4MPEG2 " + parameters + "\n";
    for (int i = 0; i < kFrames; ++i)
        bytes += frameLine + "\n" + reference().raw.substr(i * kFrame, mono ? kLuma : kFrame);
    return bytes;
}

}  // namespace

TEST(Inputs, EveryFormGivesTheRowsOfTheRawFile) {
    const Reference& ref = reference();
    const std::string plain = y4m("W352 H288 F25:1"), rate60 = y4m("W352 H288 F60000:1001");
    const std::string ffmpeg = y4m("W352 H288 F25:1 Ip A1:1 C420jpeg XYSCSS=420JPEG", "FRAME Ip");
    const std::string paldv = y4m("C420paldv H288 W352 F50:2 It A128:117", "FRAME Ib XTAG=1");
    const std::string mono = y4m("W352 H288 F25:1 Cmono", "FRAME", true);
    const std::string tail = ref.raw + std::string(kFrame / 2, '\x10');  // a partial frame
    const struct {
        std::string name;  // written with `bytes`; "-" feeds them to standard input
        const std::string* bytes;
        std::vector<std::string> args;
        const std::string* log;
        std::string opened = "25.00 -1 0";  // FPS, frames and start of the opening lines
    } cases[] = {
        {"a.y4m", &plain, {"a.y4m"}, &ref.log},
        {"a.y4m", &ffmpeg, {"a.y4m"}, &ref.log},
        {"a.y4m", &paldv, {"a.y4m"}, &ref.log},
        {"a.y4m", &mono, {"a.y4m"}, &ref.log},
        {"a.yuv", &plain, {"a.yuv"}, &ref.log},  // by content, not name
        {"a.y4m", &rate60, {"a.y4m"}, &ref.log60, "59.94 -1 0"},
        {"a.y4m", &rate60, {"a.y4m", "--fps", "25"}, &ref.log},
        {"a.yuv",
         &ref.raw,
         {"--threads", "1", "--", "a.yuv", "352", "288", "25", "10", "5"},
         &ref.partialLog,
         "25.00 10 5"},
        // Standard input ends with the stream, inside a frame or before the
        // frames asked for.
        {"-", &tail, {"-", "352", "288", "--threads", "3"}, &ref.log},
        {"-", &tail, {"-", "352", "288", "25", "40", "--threads", "1"}, &ref.log, "25.00 40 0"},
        {"-", &ffmpeg, {"--frames", "10", "-", "--start", "5"}, &ref.partialLog, "25.00 10 5"},
        {"-", &ffmpeg, {"-", "--frames", "1000"}, &ref.log, "25.00 1000 0"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        if (c.name != "-") writeFile(dir.file(c.name), *c.bytes);
        const Output out = analyse(dir, c.args, c.name == "-" ? c.bytes : nullptr);
        const std::string what = c.bytes->substr(0, 50) + " " + c.args.back();
        ASSERT_EQ(out.run.status, 0) << what << ": " << out.run.err;
        EXPECT_EQ(out.run.err, "") << what;
        EXPECT_EQ(out.log, *c.log) << what;
        const std::vector<std::string> opened = fields(c.opened);
        EXPECT_EQ(out.run.out.substr(0, out.run.out.find("Frame: ")),
                  opening(c.name, opened[0], opened[1], opened[2]));
    }
}

TEST(Inputs, DamagedY4mKeepsTheRowsBeforeTheDamage) {
    const std::string whole = y4m("W352 H288 F25:1");
    const size_t frame7 = std::string("YUV4MPEG2 W352 H288 F25:1\n").size() + 7 * (6 + kFrame);
    std::string badTag = whole;
    badTag.replace(frame7, 5, "FRAMX");
    const std::string header = "the stream ends inside the FRAME header (truncated)\n";
    const struct {
        std::string bytes, start, error;
        int rows;
    } cases[] = {
        {whole.substr(0, frame7 + 6 + 1000), "0",
         "the stream ends inside the frame (1000 of 152064 bytes; truncated)\n", 7},
        {badTag, "0", "no FRAME header where the frame should start\n", 7},
        {whole.substr(0, frame7 + 3), "10", header, 0},  // among the frames skipped to the start
        {whole.substr(0, frame7 + 6 + 1000), "10",
         "the stream ends inside the frame (1000 of 152064 bytes; truncated)\n", 0},
    };
    TempDir dir;
    for (const auto& c : cases) {
        writeFile(dir.file("clip.y4m"), c.bytes);
        for (const std::string path : {"clip.y4m", "-"}) {
            const Output out =
                analyse(dir, {path, "--start", c.start}, path == "-" ? &c.bytes : nullptr);
            EXPECT_EQ(out.run.status, 255) << c.error;
            EXPECT_EQ(out.run.err, "Error reading frame 7 of " +
                                       (path == "-" ? "standard input" : path) + ": " + c.error);
            // No row, no log (not even its header).
            EXPECT_EQ(out.log, c.rows == 0 ? "" : logPrefix(reference().log, c.rows)) << c.error;
            EXPECT_EQ(consoleRows(out.run.out).size(), static_cast<size_t>(c.rows)) << c.error;
        }
    }
}

// Video files encoded here with ffmpeg; skipped without decoder support or ffmpeg.
class Decoder : public FfmpegTest {
  protected:
    void SetUp() override {
        FfmpegTest::SetUp();
        writeFile(dir_.file("clip.yuv"), reference().raw);
    }
    // Encodes clip.yuv (25 frames/s unless `rate` says otherwise) into `name` and reads it back.
    std::string encode(const std::string& name, std::vector<std::string> codec,
                       const std::string& rate = "25") {
        std::vector<std::string> args =
            fields("-f rawvideo -pix_fmt yuv420p -s 352x288 -r " + rate + " -i clip.yuv");
        args.insert(args.end(), codec.begin(), codec.end());
        args.push_back(name);
        ffmpeg(args);
        return readFile(dir_.file(name));
    }
};

TEST_F(Decoder, LosslessFilesGiveTheRowsOfTheRawFile) {
    const Reference& ref = reference();
    const std::vector<std::string> x264 = {"-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv420p"};
    // Closed groups of 4 pictures, which several decoders decode at once
    // (an open GOP cannot be cut: one decoder), B-pictures reordered.
    auto gop = [&](const std::string& params) {
        std::vector<std::string> codec = x264;
        for (const std::string& f : fields("-bf 3 -x264-params keyint=8:b-adapt=0:" + params))
            codec.push_back(f);
        return codec;
    };
    const struct {
        std::string name;
        std::vector<std::string> codec;
        std::string rate, path;  // "-" feeds the file to standard input
        const std::string* log;
        std::string fps = "25.00";
        std::string frames = "-1", start = "0", threads = "";
    } cases[] = {
        {"ffv1.mkv", {"-c:v", "ffv1"}, "25", "ffv1.mkv", &ref.log},
        {"x264.mp4", x264, "25", "x264.mp4", &ref.log},
        // The run ends while frames decoded ahead wait to be read.
        {"x264.mp4", x264, "25", "x264.mp4", &ref.partialLog, "25.00", "10", "5"},
        // 10-bit samples are reduced to 8 bits: here back to the very samples.
        {"10.mkv", {"-c:v", "ffv1", "-pix_fmt", "yuv420p10le"}, "25", "10.mkv", &ref.log},
        {"60.mkv", {"-c:v", "ffv1"}, "60000/1001", "60.mkv", &ref.log60, "59.94"},
        // Matroska, MPEG-TS, MP4 and Y4M written by ffmpeg, through a pipe,
        // decoded ahead; the run may end while the writer still writes.
        {"pipe.mkv", {"-c:v", "ffv1"}, "25", "-", &ref.log},
        {"pipe.ts", x264, "25", "-", &ref.log, "25.00", "-1", "0", "2"},
        {"pipe.ts", x264, "25", "-", &ref.partialLog, "25.00", "10", "5", "1"},
        {"pipe.mp4",
         {"-c:v", "libx264", "-qp", "0", "-movflags", "+faststart"},
         "25",
         "-",
         &ref.log,
         "25.00",
         "-1",
         "0",
         "2"},
        {"pipe.y4m", {"-f", "yuv4mpegpipe"}, "25", "-", &ref.log},
        {"gop.mp4", gop("b-pyramid=2"), "25", "gop.mp4", &ref.log, "25.00", "-1", "0", "3"},
        {"gop.mp4", gop("b-pyramid=2"), "25", "gop.mp4", &ref.partialLog, "25.00", "10", "5", "2"},
        {"gop.ts", gop("open-gop=0"), "25", "-", &ref.log, "25.00", "-1", "0", "2"},
        {"open.ts", gop("open-gop=1"), "25", "open.ts", &ref.log, "25.00", "-1", "0", "2"},
        {"hevc.mkv", fields("-c:v libx265 -x265-params lossless=1:keyint=4:open-gop=0:log-level=0"),
         "25", "hevc.mkv", &ref.log, "25.00", "-1", "0", "2"},
        {"utvideo.avi",
         {"-c:v", "utvideo"},
         "25",
         "utvideo.avi",
         &ref.log,
         "25.00",
         "-1",
         "0",
         "3"},
    };
    for (const auto& c : cases) {
        const std::string bytes = encode(c.name, c.codec, c.rate);
        std::vector<std::string> args = {c.path};
        if (c.frames != "-1") args.insert(args.end(), {"--frames", c.frames, "--start", c.start});
        if (!c.threads.empty()) args.insert(args.end(), {"--threads", c.threads});
        const Output out = analyse(dir_, args, c.path == "-" ? &bytes : nullptr);
        ASSERT_EQ(out.run.status, 0) << c.name << ": " << out.run.err;
        EXPECT_EQ(out.log, *c.log) << c.name;
        EXPECT_EQ(out.run.out.substr(0, out.run.out.find("Frame: ")),
                  opening(c.path, c.fps, c.frames, c.start))
            << c.name;
    }
    // With a size the input is raw video, whatever libavformat would make of it.
    EXPECT_NE(analyse(dir_, {"ffv1.mkv", "352", "288"}).log, ref.log);
    // The JSON document records what was decoded, and that samples were reduced.
    ASSERT_EQ(runLumaqc({"10.mkv", "--json", "d.json"}, dir_.path()).status, 0);
    const std::string doc = readFile(dir_.file("d.json"));
    EXPECT_NE(doc.find("\"container\":\"matroska,webm\",\"codec\":\"ffv1\",\"pixel_format\":"
                       "\"yuv420p10le\",\"bit_depth\":10,\"samples_reduced\":true,"
                       "\"duration_seconds\":1.28,\"frame_rate_kind\":\"constant\""),
              std::string::npos)
        << doc.substr(0, doc.find("\"indicators\""));
    // A container without a video stream says so (unknown content gets the usage).
    ffmpeg({"-f", "lavfi", "-i", "anullsrc", "-t", "1", "-c:a", "pcm_s16le", "audio.mkv"});
    const RunResult audio = runLumaqc({"audio.mkv"}, dir_.path());
    EXPECT_EQ(audio.status, 255);
    EXPECT_EQ(audio.err, "Cannot decode audio.mkv: it has no video stream\n");
}

// A numbered sequence of pictures (one file each, as scans and renders come)
// named by its pattern is decoded file after file from its lowest number;
// TIFF pictures of 4:2:0 hold the very samples of the raw file.
TEST_F(Decoder, NumberedPicturesGiveTheRowsOfTheRawFile) {
    const Reference& ref = reference();
    ffmpeg(
        fields("-f rawvideo -pix_fmt yuv420p -s 352x288 -i clip.yuv -c:v tiff -pix_fmt yuv420p "
               "-start_number 1001 pic_%04d.tif"));
    const struct {
        std::vector<std::string> args;
        const std::string* log;
        std::string frames = "-1", start = "0";
    } cases[] = {
        {{"pic_%04d.tif", "--threads", "1"}, &ref.log},
        {{"pic_%04d.tif", "--threads", "2"}, &ref.log},
        {{"pic_%04d.tif", "--frames", "10", "--start", "5"}, &ref.partialLog, "10", "5"},
    };
    for (const auto& c : cases) {
        const Output out = analyse(dir_, c.args);
        ASSERT_EQ(out.run.status, 0) << c.args[1] << ": " << out.run.err;
        EXPECT_EQ(out.log, *c.log) << c.args[1];
        EXPECT_EQ(out.run.out.substr(0, out.run.out.find("Frame: ")),
                  opening("pic_%04d.tif", "25.00", c.frames, c.start));
    }
    // A number missing inside the sequence refuses it (the pictures after
    // the gap would go unread); a pattern no file matches, or one with two
    // numbers, is a name like any other, and files numbered otherwise are
    // pointed to.
    ASSERT_TRUE(std::filesystem::remove(dir_.file("pic_1010.tif")));
    const struct {
        std::string path, error;
    } refusals[] = {
        {"pic_%04d.tif",
         "pic_1010.tif is missing from the sequence of pic_1001.tif to pic_1032.tif"},
        {"pic_%05d.tif",
         "No such file or directory (files such as pic_1001.tif are named by pic_%d.tif)"},
        {"img_%04d.tif", "No such file or directory "},
        {"pic_%04d_%d.tif", "No such file or directory "},
        {"pic_100%%.tif", "No such file or directory "},
    };
    for (const auto& r : refusals) {
        const RunResult run = runLumaqc({r.path}, dir_.path());
        EXPECT_EQ(run.status, 255) << r.path;
        EXPECT_EQ(run.err, "Error opening the file " + r.path + ": " + r.error + "\n");
    }
}

// FFmpeg's libraries are loaded only for input that needs them: raw and Y4M
// runs never load libavcodec (the dynamic loader's account, LD_DEBUG). When
// they cannot be loaded (an empty file first on the loader's path), decoded
// input fails with one line naming the library while raw and Y4M input are
// read as before, and --version says why decoding is missing.
TEST_F(Decoder, FfmpegIsLoadedOnlyForInputThatNeedsIt) {
    encode("x264.mp4", {"-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv420p"});
    encode("clip.y4m", {"-f", "yuv4mpegpipe"});
    const std::string version = runLumaqc({"--version"}, dir_.path()).out;
    const size_t major = version.find("libavformat ") + 12;
    const std::string soname =
        "libavformat.so." + version.substr(major, version.find('.', major) - major);
    const std::string broken = dir_.file("broken");
    std::filesystem::create_directory(broken);
    writeFile(broken + "/" + soname, "");
    const std::string refused =
        "cannot load " + soname + " (" + broken + "/" + soname + ": file too short)";
    const struct {
        std::vector<std::string> args;
        bool missing;  // run with the broken library first on the loader's path
        bool loads;    // libavcodec loaded (without `missing`)
        int status;
        std::string out = "", err = "";  // the whole of them, with `missing` (out: when given)
    } cases[] = {
        {{"clip.yuv", "352", "288"}, false, false, 0},
        {{"clip.y4m"}, false, false, 0},
        {{"x264.mp4"}, false, true, 0},
        {{"clip.yuv", "352", "288"}, true, false, 0},
        {{"clip.y4m"}, true, false, 0},
        {{"x264.mp4"}, true, false, 255, "", "Cannot decode x264.mp4: " + refused + "\n"},
        {{"--version"},
         true,
         false,
         0,
         version.substr(0, version.find('\n')) + "\ndecoder support: no (" + refused +
             "; raw and Y4M input only)\n"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(dir_.file("metricsResultsCSV.csv"));
        Launch launch{.args = c.args, .cwd = dir_.path()};
        launch.environment = {c.missing ? std::pair{"LD_LIBRARY_PATH", broken}
                                        : std::pair{"LD_DEBUG", "files"}};
        Child child(launch);
        const RunResult r = child.finish();
        const std::string what = c.args[0] + (c.missing ? " (missing)" : "");
        ASSERT_EQ(r.status, c.status) << what << ": " << r.err;
        if (c.missing) {
            if (!c.out.empty()) {
                EXPECT_EQ(r.out, c.out) << what;
            }
            EXPECT_EQ(r.err, c.err) << what;
        } else {
            EXPECT_EQ(r.err.find("file=libavcodec.so") != std::string::npos, c.loads) << what;
        }
        if (c.status == 0 && c.args[0] != "--version") {
            EXPECT_EQ(readFile(dir_.file("metricsResultsCSV.csv")), reference().log) << what;
        }
    }
}

TEST_F(Decoder, StopSignalWhileAPipeWriterStalls) {
    // Half a Matroska file, then the writer stalls with the pipe open: SIGTERM
    // ends the run at once (within a wide bound), keeping the rows done.
    const std::string bytes = encode("clip.mkv", {"-c:v", "ffv1"});
    for (const char* threads : {"1", "2"}) {
        Child child({{"-", "--threads", threads}, dir_.path(), true});
        child.feed(bytes.substr(0, bytes.size() / 2));
        ASSERT_TRUE(child.waitUntilBlockedReading()) << threads;
        child.signal(SIGTERM);
        const RunResult r = child.finish(std::chrono::seconds(60));
        const size_t rows = logRows(dir_.file("metricsResultsCSV.csv"));
        EXPECT_FALSE(child.hung || r.status != 128 + SIGTERM || rows == 0) << threads << r.err;
        EXPECT_EQ(r.err, "lumaqc: stopped by SIGTERM after " + std::to_string(rows) + " frames\n");
        EXPECT_EQ(readFile(dir_.file("metricsResultsCSV.csv")), logPrefix(reference().log, rows));
    }
}

TEST_F(Decoder, PicturesReadInPlaceGiveTheRowsOfTheirRawFile) {
    // 384 samples wide, the decoder's rows follow one another and are read
    // where they lie; 376 wide, they are copied. Either way, at one thread
    // and at three, the rows are those of the pictures ffmpeg decodes.
    for (const std::string w : {"384", "376"}) {
        encode(w + ".mp4", {"-vf", "pad=" + w + ":288", "-c:v", "libx264", "-preset", "ultrafast"});
        ffmpeg({"-i", w + ".mp4", "-f", "rawvideo", "-pix_fmt", "yuv420p", w + ".yuv"});
        const std::string raw = analyse(dir_, {w + ".yuv", w, "288"}).log;
        ASSERT_NE(raw, "") << w;
        for (const char* threads : {"1", "3"}) {
            EXPECT_EQ(analyse(dir_, {w + ".mp4", "--threads", threads}).log, raw) << w << threads;
        }
    }
}

TEST_F(Decoder, DamagedStreamsGiveTheSameRowsInEveryRun) {
    // A transport stream that lost one packet in 61 after its first third
    // or had bytes flipped in an IDR picture or in a P-picture that the
    // B-pictures shown before it refer to (H.264 files are decoded on frame
    // threads up to the damage, then again by one decoder; in groups when
    // the quantisers are read), and an MJPEG AVI
    // and H.264 and HEVC Matroska files with
    // bytes flipped here and there (the samples the damaged MJPEG and HEVC
    // pictures never get were those of earlier pictures): the concealed
    // pictures, and so the rows and the verdict, are the same in every run
    // and at every thread count.
    ffmpeg(
        fields("-f lavfi -i testsrc2=size=352x288:rate=25:duration=6 -c:v libx264 -preset "
               "ultrafast -pix_fmt yuv420p -g 25 -f mpegts whole.ts"));
    const std::string whole = readFile(dir_.file("whole.ts"));
    std::string damaged;
    const size_t packets = whole.size() / 188;
    for (size_t i = 0; i < packets; ++i) {
        if (i < packets / 3 || i % 61 != 7) damaged += whole.substr(i * 188, 188);
    }
    writeFile(dir_.file("damaged.ts"), damaged);
    // The fourth IDR picture damaged: its concealment draws on a picture of
    // the first group of pictures.
    std::string idr = whole;
    size_t at = 0;
    for (int i = 0; i < 4 && at != std::string::npos; ++i) {
        at = idr.find(std::string("\0\0\1\x65", 4), at + 1);
    }
    ASSERT_NE(at, std::string::npos);
    for (size_t i = at + 12; i / 188 == at / 188; i += 11) idr[i] ^= 0x5a;
    writeFile(dir_.file("idr.ts"), idr);
    ffmpeg(
        fields("-f lavfi -i testsrc2=size=352x288:rate=25:duration=6 -c:v libx264 -preset "
               "veryfast -pix_fmt yuv420p -f mpegts b.ts"));
    std::string p = readFile(dir_.file("b.ts"));
    at = 0;  // the 15th P-picture, frame 25
    for (int i = 0; i < 15 && at != std::string::npos; ++i) {
        at = p.find(std::string("\0\0\1\x41", 4), at + 1);
    }
    ASSERT_NE(at, std::string::npos);
    for (size_t i = at + 12; i / 188 == at / 188; i += 11) p[i] ^= 0x5a;
    writeFile(dir_.file("p.ts"), p);
    ffmpeg(
        fields("-f lavfi -i testsrc2=size=352x288:rate=25:duration=6 -c:v mjpeg -bsf:v "
               "noise=amount=2000 damaged.avi"));
    ffmpeg(
        fields("-f lavfi -i testsrc2=size=352x288:rate=25:duration=6 -c:v libx264 -g 50 -bsf:v "
               "noise=amount=20000 damaged264.mkv"));
    ffmpeg(
        fields("-f lavfi -i testsrc2=size=352x288:rate=25:duration=6 -c:v libx265 -x265-params "
               "log-level=none -bsf:v noise=amount=5000 damaged265.mkv"));
    // Clean, starved from its first picture: the profile's quantiser rule
    // holds from frame 0 or 1 (the quantisers come with the pictures).
    ffmpeg(
        fields("-f lavfi -i testsrc2=size=352x288:rate=25:duration=4 -c:v libx264 -b:v 40k "
               "-pix_fmt yuv420p starved.mp4"));
    // Without a profile the run ends at the damage, with the same rows and
    // message whether the file was decoded by one thread, on frame threads
    // or in groups of pictures at once; with one it goes on past the damage,
    // and its events are the same too.
    const struct {
        std::string file, profile;
        size_t lines;
    } cases[] = {
        {"damaged.ts", "default", 100},
        {"damaged.ts", "", 26},
        {"damaged.avi", "default", 140},
        {"damaged.avi", "", 2},
        {"damaged264.mkv", "default", 140},
        {"damaged265.mkv", "default", 140},
        {"idr.ts", "default", 140},
        {"p.ts", "default", 140},
        {"p.ts", "", 20},
        {"starved.mp4", "default", 100},
    };
    for (const auto& c : cases) {
        std::string first;
        for (const char* threads : {"1", "2", "3", "1", "2", "3"}) {
            std::vector<std::string> args = {c.file, "--quiet", "--threads", threads};
            if (!c.profile.empty()) {
                args.insert(args.end(), {"--profile", c.profile, "--events", "events.jsonl"});
            }
            const Output out = analyse(dir_, args);
            const std::string events = c.profile.empty() ? "" : readFile(dir_.file("events.jsonl"));
            if (first.empty()) first = out.log + out.run.err + events;
            EXPECT_EQ(out.log + out.run.err + events, first) << c.file << threads << c.profile;
        }
        EXPECT_GT(splitLines(first).size(), c.lines) << c.file << c.profile;
    }
}

TEST_F(Decoder, FileRenamedOverWhileItIsReadAgainKeepsItsRows) {
    // Under a profile, damage near the end of an H.264 file makes the run
    // decode it again from its start; another file renamed over its path
    // after the first row (the console's reader then waits, so that the run
    // stops short of the damage) changes no row.
    const std::string clip = "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 -f mpegts ";
    ffmpeg(fields("-f lavfi -i testsrc2=size=128x96:rate=25:duration=30 " + clip + "late.ts"));
    ffmpeg(fields("-f lavfi -i smptebars=size=128x96:rate=25:duration=30 " + clip + "other.ts"));
    std::string late = readFile(dir_.file("late.ts"));
    size_t at = 0;  // the 28th IDR picture, frame 675
    for (int i = 0; i < 28 && at != std::string::npos; ++i) {
        at = late.find(std::string("\0\0\1\x65", 4), at + 1);
    }
    ASSERT_NE(at, std::string::npos);
    for (size_t i = at + 12; i / 188 == at / 188; i += 11) late[i] ^= 0x5a;
    writeFile(dir_.file("late.ts"), late);
    const std::vector<std::string> args = {"late.ts", "--threads", "2", "--profile", "default"};
    const Output whole = analyse(dir_, args);
    Launch launch{args, dir_.path()};
    launch.pipeOutput = true;
    Child child(launch);
    ASSERT_TRUE(child.readRows(1));
    std::filesystem::rename(dir_.file("other.ts"), dir_.file("late.ts"));
    EXPECT_FALSE(child.readRows(std::numeric_limits<size_t>::max()));
    EXPECT_EQ(child.finish().status, whole.run.status);
    EXPECT_EQ(readFile(dir_.file("metricsResultsCSV.csv")), whole.log);
    EXPECT_GT(splitLines(whole.log).size(), 700u);
}

namespace {

// The sample layouts: raw input in FFmpeg's pixel formats (--pix-fmt) and
// Y4M in its colour spaces give the rows of the 8-bit clip ffmpeg converts
// from them, samples of more than 8 bits included. An odd height, so that
// subsampled chroma planes round up.
const std::string kSize = "160x95";

class Formats : public FfmpegTest {
  protected:
    bool needsDecoder() const override { return false; }
    void SetUp() override {
        FfmpegTest::SetUp();
        if (IsSkipped()) return;
        decoder_ = decoderSupport();
        // 16-bit samples that use all their bits: the test card scaled down
        // in 16-bit arithmetic.
        ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x190:r=25,format=yuv444p16le,scale=160:95",
                "-frames:v", "3", "-f", "rawvideo", "source.yuv"});
    }
    // `from` (raw, in `format`) converted by ffmpeg to `to`, `pixelFormat`.
    void convert(const std::string& from, const std::string& format, const std::string& to,
                 const std::string& pixelFormat, const char* container) {
        ffmpeg({"-f", "rawvideo", "-pix_fmt", format, "-s", kSize, "-i", from, "-pix_fmt",
                pixelFormat, "-strict", "-1", "-f", container, to});
    }
    // The log of a run (with `input` on its standard input when given), or
    // the run's error stream when it fails.
    std::string log(std::vector<std::string> args, const std::string* input = nullptr) {
        args.insert(args.end(), {"--log", "out.log"});
        const RunResult r = input != nullptr ? runLumaqcFed(args, dir_.path(), *input)
                                             : runLumaqc(args, dir_.path());
        return r.status == 0 ? readFile(dir_.file("out.log")) : r.err;
    }

    bool decoder_ = false;
};

}  // namespace

TEST_F(Formats, RawAndY4mGiveTheRowsOfFfmpegs8BitClip) {
    const struct {
        std::string format;
        bool y4m;  // ffmpeg writes it as Y4M too
        int depth;
    } cases[] = {
        {"yuv422p", true, 8},      {"yuv444p", true, 8},   {"nv12", false, 8},
        {"yuv420p10le", true, 10}, {"gray16le", true, 16}, {"p010le", false, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const bool reduced = c.depth > 8;
        const std::string raw = c.format + ".raw";
        convert("source.yuv", "yuv444p16le", raw, c.format, "rawvideo");
        // What ffmpeg makes of it in 8 bits, keeping the luma range.
        const bool grey = c.format.rfind("gray", 0) == 0;
        convert(raw, c.format, "reference.y4m", grey ? "gray" : "yuv420p", "yuv4mpegpipe");
        const std::string expected = log({"reference.y4m"});
        ASSERT_EQ(expected.find("Frame: "), 0u) << expected;

        std::vector<std::vector<std::string>> runs = {{raw, "160", "95", "--pix-fmt", c.format}};
        if (c.y4m) {
            convert(raw, c.format, "clip.y4m", c.format, "yuv4mpegpipe");
            runs.push_back({"clip.y4m"});
            runs.push_back({"clip.y4m", "160", "95", "--pix-fmt", c.format});
        }
        // The JSON document records the source's samples.
        if (!reduced || decoder_) {
            runLumaqc({raw, "160", "95", "--pix-fmt", c.format, "--json", "f.json"}, dir_.path());
            EXPECT_NE(readFile(dir_.file("f.json"))
                          .find("\"pixel_format\":\"" + c.format +
                                "\",\"bit_depth\":" + std::to_string(c.depth) +
                                ",\"samples_reduced\":" + (reduced ? "true" : "false")),
                      std::string::npos);
        }
        const std::string bytes = readFile(dir_.file(raw));
        runs.push_back({"-", "160", "95", "--pix-fmt", c.format});
        for (const std::vector<std::string>& args : runs) {
            const std::string out = log(args, args[0] == "-" ? &bytes : nullptr);
            if (reduced && !decoder_) {
                EXPECT_NE(out.find("it was built without libswscale"), std::string::npos) << out;
            } else {
                EXPECT_EQ(out, expected) << args[0];
            }
        }
    }
}
