// The calibration set: clips a delivery desk meets, made with ffmpeg, judged
// by `lumaqc check` under the default profile. Each clip has its verdict and
// its events, located within two frames of the truth (blur within a second);
// the clean clips raise nothing but notes.

#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "e2e_support.h"

namespace {

using Json = nlohmann::json;

struct Expected {
    std::string type;
    std::string severity;
    int first;  // frames; for events between frames, the frame after
    int last;   // -1: an event that covers no frame (a gap, the missing end)
    int tolerance = 2;
};

struct Clip {
    std::string name;
    std::vector<std::string> ffmpeg;  // arguments before the output name
    std::string verdict;
    std::vector<Expected> events;
    // Types of further warnings tolerated (heavy damage or compression shows
    // in more than one indicator); empty: none.
    std::vector<std::string> alsoWarnings = {};
};

const std::string kX264[] = {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"};

std::vector<std::string> testsrc(const std::string& size, int seconds, const std::string& filter,
                                 const std::string& crf = "20") {
    std::vector<std::string> args{
        "-f", "lavfi", "-i",
        "testsrc2=size=" + size + ":rate=25:duration=" + std::to_string(seconds)};
    if (!filter.empty()) args.insert(args.end(), {"-filter_complex", filter});
    args.insert(args.end(), std::begin(kX264), std::end(kX264));
    args.insert(args.end(), {"-crf", crf});
    return args;
}

class Calibration : public FfmpegTest {
  protected:
    void make(const std::string& name, std::vector<std::string> args) {
        args.push_back(name);
        ffmpeg(args);
    }

    // Frame times ffprobe decodes, for the truth of damaged clips.
    std::vector<double> frameTimes(const std::string& name) {
        const RunResult r = runProgram(findInPath("ffprobe"),
                                       {"-v", "quiet", "-select_streams", "v", "-show_entries",
                                        "frame=best_effort_timestamp_time", "-of", "csv=p=0", name},
                                       dir_.path());
        std::vector<double> times;
        for (const std::string& line : splitLines(r.out)) {
            if (!line.empty() && line != "N/A") times.push_back(std::atof(line.c_str()));
        }
        return times;
    }
};

TEST_F(Calibration, DefaultProfileFindsEachDefectAndPassesCleanClips) {
    std::vector<Clip> clips = {
        // A delivery: 3 s of bars, 1 s of black, programme. Bars are a note,
        // the black after them is the leader.
        {"bars.mp4",
         fields("-f lavfi -i smptebars=size=352x288:rate=25:duration=3 -f lavfi -i "
                "color=black:size=352x288:rate=25:duration=1 -f lavfi -i "
                "testsrc2=size=352x288:rate=25:duration=3 -filter_complex [0][1][2]concat=n=3 "
                "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -crf 20"),
         "pass",
         {{"bars", "info", 0, 74}}},
        // Black from 3 s to 6 s with a white logo on 1.9 % of the picture.
        {"logo.mp4",
         testsrc("352x288", 8,
                 "drawbox=x=0:y=0:w=iw:h=ih:color=black:t=fill:enable='between(t,3,6)',"
                 "drawbox=x=290:y=20:w=48:h=40:color=white:t=fill"),
         "fail",
         {{"black", "error", 75, 150}}},
        // The picture of frame 74 held to frame 150, at CRF 18 and 28.
        {"hold18.mp4",
         testsrc("352x288", 8, "split[a][b];[a][b]freezeframes=first=75:last=150:replace=74", "18"),
         "fail",
         {{"freeze", "error", 74, 150}}},
        {"hold28.mp4",
         testsrc("352x288", 8, "split[a][b];[a][b]freezeframes=first=75:last=150:replace=74", "28"),
         "fail",
         {{"freeze", "error", 74, 150}}},
        // 4 s of blur in SD and in HD: found within a second of its bounds.
        {"blursd.mp4",
         testsrc("352x288", 10, "boxblur=6:enable='between(t,3,7)'"),
         "pass",
         {{"blur", "warning", 75, 175, 25}}},
        {"blurhd.mp4",
         testsrc("1280x720", 8, "boxblur=12:enable='between(t,2,6)'"),
         "pass",
         {{"blur", "warning", 50, 150, 25}}},
        // Visibly blocky: x264 at QP 48 (its damaged macroblocks read as block loss too).
        {"qp48.mp4",
         fields("-f lavfi -i testsrc2=size=352x288:rate=25:duration=3 -c:v libx264 -preset "
                "ultrafast -pix_fmt yuv420p -qp 48"),
         "pass",
         {{"blocking", "warning", 0, 74}},
         {"block_loss"}},
        // A slow hand-held shot: moving, never a held picture.
        {"handheld.mp4",
         testsrc("704x576", 6,
                 "crop=352:288:'176+20*sin(t*1.3)+t*4':'144+12*sin(t*1.7)',gblur=sigma=1"),
         "pass",
         {}},
        // Clean programme: nothing at all.
        {"clean.mp4", testsrc("352x288", 6, ""), "pass", {}},
    };
    for (const Clip& clip : clips) make(clip.name, clip.ffmpeg);
    // A file cut short: the first 60 % of a 6 s MP4 with its index first.
    make("full.mp4", [] {
        std::vector<std::string> a = testsrc("352x288", 6, "");
        a.insert(a.end(), {"-movflags", "+faststart"});
        return a;
    }());
    const std::string full = readFile(dir_.file("full.mp4"));
    writeFile(dir_.file("cut.mp4"), full.substr(0, full.size() * 6 / 10));
    // A transport stream that lost an eighth of its packets in the middle.
    make("whole.ts", [] {
        std::vector<std::string> a = testsrc("352x288", 6, "");
        a.insert(a.end(), {"-g", "25", "-f", "mpegts"});
        return a;
    }());
    const std::string ts = readFile(dir_.file("whole.ts"));
    const size_t packets = ts.size() / 188;
    writeFile(dir_.file("lost.ts"),
              ts.substr(0, packets / 2 * 188) + ts.substr((packets / 2 + packets / 8) * 188));

    // The truth of the damaged clips, from ffprobe's own decoding: where the
    // timestamps jump, and how many frames the cut file holds.
    const std::vector<double> lostTimes = frameTimes("lost.ts");
    int gapAfter = -1;
    for (size_t i = 1; i < lostTimes.size(); ++i) {
        if (lostTimes[i] - lostTimes[i - 1] > 0.06) gapAfter = static_cast<int>(i);
    }
    ASSERT_GT(gapAfter, 0);
    const int cutFrames = static_cast<int>(frameTimes("cut.mp4").size());
    clips.push_back({"lost.ts",
                     {},
                     "fail",
                     {{"frames_lost", "error", gapAfter, -1}},
                     {"decode_error", "block_loss", "slice_loss", "luma_levels"}});
    clips.push_back(
        {"cut.mp4", {}, "fail", {{"truncated", "error", cutFrames, -1}}, {"decode_error"}});

    std::vector<std::string> args{"check", "--json-dir", "out", "--threads", "2"};
    for (const Clip& clip : clips) args.push_back(clip.name);
    const RunResult run = runLumaqc(args, dir_.path());
    EXPECT_EQ(run.status, 1) << run.out << run.err;

    for (const Clip& clip : clips) {
        SCOPED_TRACE(clip.name);
        const Json doc = Json::parse(readFile(dir_.file("out/" + clip.name + ".json")));
        EXPECT_EQ(doc["verdict"]["result"], clip.verdict) << doc["events"].dump(1);
        std::vector<bool> found(clip.events.size(), false);
        for (const Json& e : doc["events"]) {
            bool matched = false;
            for (size_t i = 0; i < clip.events.size(); ++i) {
                const Expected& x = clip.events[i];
                if (found[i] || e["type"] != x.type) continue;
                found[i] = matched = true;
                EXPECT_EQ(e["severity"], x.severity) << e.dump();
                EXPECT_NEAR(e["first_frame"].get<int>(), x.first, x.tolerance) << e.dump();
                if (x.last >= 0) {
                    EXPECT_NEAR(e["last_frame"].get<int>(), x.last, x.tolerance) << e.dump();
                } else {
                    EXPECT_EQ(e["frames"], 0) << e.dump();
                }
                break;
            }
            if (matched) continue;
            const bool tolerated =
                e["severity"] == "info" ||
                std::find(clip.alsoWarnings.begin(), clip.alsoWarnings.end(),
                          e["type"].get<std::string>()) != clip.alsoWarnings.end();
            EXPECT_TRUE(tolerated) << "unexpected " << e.dump();
        }
        for (size_t i = 0; i < found.size(); ++i) {
            EXPECT_TRUE(found[i]) << "missing " << clip.events[i].type;
        }
    }
    // The console: one verdict line per file, errors first, with timecode.
    EXPECT_NE(run.out.find("logo.mp4: FAIL (profile default): 1 error, 0 warnings\n  error black "
                           "(black_error), 00:00:03:00-00:00:06:01 (3.000-6.040 s), frames 75-150"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("bars.mp4: PASS (profile default): 0 errors, 0 warnings, 1 note\n"),
              std::string::npos)
        << run.out;
}

// What `lumaqc check` says and returns for inputs it cannot judge, and its
// documents.
TEST_F(Calibration, CheckStatusesAndOutputs) {
    make("clean.mp4", testsrc("160x120", 1, ""));
    writeFile(dir_.file("notes.txt"), "not a video\n");
    RunResult r = runLumaqc({"check", "clean.mp4"}, dir_.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "clean.mp4: PASS (profile default): 0 errors, 0 warnings\n");
    EXPECT_FALSE(fileExists(dir_.file("metricsResultsCSV.csv")));
    r = runLumaqc({"check", "clean.mp4", "notes.txt", "--report-dir", "r", "--json-dir", "j"},
                  dir_.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "lumaqc: notes.txt is not a video file\n");
    EXPECT_NE(r.out.find("notes.txt: NOT ANALYSED\n"), std::string::npos) << r.out;
    EXPECT_TRUE(fileExists(dir_.file("r/clean.mp4.html")));
    const Json doc = Json::parse(readFile(dir_.file("j/clean.mp4.json")));
    EXPECT_EQ(doc["stream"]["scan_type"], "progressive");
    EXPECT_EQ(doc["stream"]["declared_duration_seconds"], 1.0);
    EXPECT_EQ(doc["stream"]["analysed_duration_seconds"], 1.0);
    // Asked for: the rows and the log.
    r = runLumaqc({"check", "clean.mp4", "--rows", "--log", "rows.log"}, dir_.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(consoleRows(r.out).size(), 25u);
    EXPECT_EQ(splitLines(readFile(dir_.file("rows.log"))).size(), 26u);
    // Refusals: an unknown profile, a bad time.
    r = runLumaqc({"check", "clean.mp4", "--profile", "missing.toml"}, dir_.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err.rfind("lumaqc: cannot read the profile missing.toml", 0), 0u) << r.err;
    r = runLumaqc({"check", "clean.mp4", "--ignore-head", "5 s"}, dir_.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("5 s is neither seconds"), std::string::npos) << r.err;
}

}  // namespace
