// QC profiles end to end: clips with known defects made by ffmpeg, judged by
// the built-in profile; damaged and variable-frame-rate files (profiles that
// are refused: tests/unit/test_refusals.cpp). Without --profile the outputs are those of the golden
// tests.

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "e2e_support.h"

namespace {

using Json = nlohmann::json;

class Decisions : public FfmpegTest {
  protected:
    // A testsrc2 clip of `seconds` at 25 frames/s, with the filters `filters`
    // (a -filter_complex graph), encoded with x264 at CRF 20.
    void testsrc(const std::string& name, const std::string& size, int seconds,
                 const std::string& filters, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{
            "-f", "lavfi", "-i",
            "testsrc2=size=" + size + ":rate=25:duration=" + std::to_string(seconds)};
        if (!filters.empty()) args.insert(args.end(), {"-filter_complex", filters});
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {"-c:v", "libx264", "-crf", "20", "-pix_fmt", "yuv420p", name});
        ffmpeg(args);
    }

    Json json(const std::string& name) { return Json::parse(readFile(dir_.file(name))); }
};

// Frames of an event, with a tolerance of two frames.
void expectNear(const Json& event, int first, int last) {
    EXPECT_NEAR(event["first_frame"].get<int>(), first, 2) << event.dump();
    EXPECT_NEAR(event["last_frame"].get<int>(), last, 2) << event.dump();
}

TEST_F(Decisions, DefectsFailTheFile) {
    // Black from frame 50 to 112 (2.52 s), the picture of frame 150 held to frame 224 (3 s).
    testsrc("defects.mp4", "320x240", 10,
            "drawbox=x=0:y=0:w=iw:h=ih:color=black:t=fill:enable='between(n,50,112)',split[a][b];"
            "[a][b]freezeframes=first=150:last=224:replace=150");
    const RunResult defects = runLumaqc({"defects.mp4", "--quiet", "--no-log", "--json", "d.json",
                                         "--profile", "default", "--events", "events.jsonl"},
                                        dir_.path());
    ASSERT_EQ(defects.status, 1) << defects.err;
    EXPECT_EQ(defects.err, "");
    const Json doc = json("d.json");
    EXPECT_EQ(doc["verdict"],
              Json::parse(R"({"result": "fail", "errors": 2, "warnings": 0, "infos": 0})"));
    ASSERT_EQ(doc["events"].size(), 2u) << doc["events"].dump();
    const Json& black = doc["events"][0];
    const Json& freeze = doc["events"][1];
    EXPECT_EQ(black["type"], "black");
    EXPECT_EQ(black["severity"], "error");
    EXPECT_EQ(black["ebu_item"]["name"], "Constant Colour Frames");
    expectNear(black, 50, 112);
    EXPECT_EQ(freeze["type"], "freeze");
    EXPECT_EQ(freeze["rule"], "freeze_error");
    expectNear(freeze, 150, 224);
    EXPECT_DOUBLE_EQ(freeze["start_seconds"].get<double>(),
                     freeze["first_frame"].get<int>() / 25.0);
    EXPECT_EQ(doc["frames"][100]["time"], 4.0);
    const std::string builtIn = runLumaqc({"--print-profile"}, dir_.path()).out;
    size_t rules = 0;
    for (size_t at = builtIn.find("\n[[rule]]"); at != std::string::npos;
         at = builtIn.find("\n[[rule]]", at + 1)) {
        ++rules;
    }
    EXPECT_EQ(doc["profile"]["rules"].size(), rules);
    EXPECT_NE(defects.out.find("\nQC verdict: FAIL (profile default): 2 errors, 0 warnings\n  "
                               "error black (black_error), 00:00:02:00-"),
              std::string::npos)
        << defects.out;

    // The events as they happened: each opens as a warning, escalates, closes.
    std::vector<std::string> records;
    Json closed = Json::array();
    for (const std::string& line : splitLines(readFile(dir_.file("events.jsonl")))) {
        Json record = Json::parse(line);
        records.push_back(record["record"].get<std::string>() + " " +
                          record.value("rule", std::string()));
        if (record["record"] == "close") {
            record.erase("record");
            closed.push_back(record);
        }
    }
    EXPECT_EQ(closed, doc["events"]);
    EXPECT_EQ(records, (std::vector<std::string>{"open black_warning", "escalate black_error",
                                                 "close black_error", "open freeze_warning",
                                                 "escalate freeze_error", "close freeze_error",
                                                 "verdict "}));
}

TEST_F(Decisions, WarningsFailOnlyWhenAskedTo) {
    // Blurred all along: a blur warning, no error.
    testsrc("blurred.mp4", "320x240", 2, "gblur=sigma=3");
    const std::vector<std::string> run{"blurred.mp4", "--quiet", "--no-log", "--profile",
                                       "default"};
    const RunResult passes = runLumaqc(run, dir_.path());
    EXPECT_EQ(passes.status, 0);
    EXPECT_NE(passes.out.find("QC verdict: PASS (profile default): 0 errors, 1 warning\n  warning "
                              "blur (blur), 00:00:00:00-00:00:02:00 (0.000-2.000 s), frames 0-49: "
                              "blur above 7 for 2.00 s"),
              std::string::npos)
        << passes.out;
    std::vector<std::string> strict = run;
    strict.insert(strict.end(), {"--fail-on", "warning"});
    EXPECT_EQ(runLumaqc(strict, dir_.path()).status, 1);
}

TEST_F(Decisions, DamagedStreamIsAnalysedToItsEnd) {
    testsrc("clean.ts", "320x240", 4, "", {"-g", "25", "-x264-params", "slices=4", "-f", "mpegts"});
    // Scramble the payload of three 188-byte packets in six places.
    std::string ts = readFile(dir_.file("clean.ts"));
    uint32_t seed = 7;
    for (int hit = 1; hit <= 6; ++hit) {
        const size_t packet = ts.size() / 188 * hit / 7;
        for (size_t i = packet * 188 + 4; i < (packet + 3) * 188; ++i) {
            seed = seed * 1103515245u + 12345u;
            if (i % 188 >= 4) ts[i] = static_cast<char>(seed >> 24);
        }
    }
    writeFile(dir_.file("damaged.ts"), ts);
    const RunResult counted =
        runProgram(findInPath("ffprobe"),
                   {"-v", "error", "-count_frames", "-select_streams", "v", "-show_entries",
                    "stream=nb_read_frames", "-of", "csv=p=0", "damaged.ts"},
                   dir_.path());
    const int decodable = std::atoi(counted.out.c_str());

    // Without a profile the damage ends the run, as always.
    const RunResult stops =
        runLumaqc({"damaged.ts", "--quiet", "--no-log", "--json", "s.json"}, dir_.path());
    EXPECT_EQ(stops.status, 255);
    EXPECT_LT(json("s.json")["frames_analysed"].get<int>(), decodable);

    const RunResult goesOn =
        runLumaqc({"damaged.ts", "--quiet", "--no-log", "--json", "d.json", "--profile", "default"},
                  dir_.path());
    // Under a profile the damage is in the verdict: the file fails (status 1).
    EXPECT_EQ(goesOn.status, 1);
    const Json doc = json("d.json");
    EXPECT_EQ(doc["frames_analysed"], decodable);
    EXPECT_EQ(doc["complete"], true);
    int errors = 0;
    for (const Json& e : doc["events"]) {
        EXPECT_TRUE(e["type"] == "decode_error" || e["type"] == "frames_lost") << e.dump();
        EXPECT_EQ(e["severity"], "error");
        if (e["type"] == "decode_error") errors += e["decode_errors"].get<int>();
    }
    EXPECT_GT(errors, 0);
    EXPECT_EQ(doc["decode_errors"]["count"], errors);
    // The error stream: at most three reports, then a count, then the sum.
    const std::vector<std::string> lines = splitLines(goesOn.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(lines.size(), 5u) << goesOn.err;
    EXPECT_EQ(
        lines.back().rfind(
            "lumaqc: damaged.ts is damaged: " + std::to_string(errors) + " decoding error", 0),
        0u)
        << goesOn.err;
}

TEST_F(Decisions, VariableFrameRateTimesAreTheStreamsTimestamps) {
    // 10 frames/s for 3.2 s, then 50 frames/s; black from 3.2 s for 4 s.
    ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25", "-frames:v", "252", "-vf",
            "drawbox=x=0:y=0:w=iw:h=ih:color=black:t=fill:enable='between(n,32,231)',"
            "settb=1/1000,setpts='if(lt(N,32),N/10,3.2+(N-32)/50)/TB'",
            "-fps_mode", "passthrough", "-enc_time_base:v", "1/1000", "-c:v", "libx264",
            "vfr.mkv"});
    const RunResult probed = runProgram(findInPath("ffprobe"),
                                        {"-v", "error", "-select_streams", "v", "-show_entries",
                                         "frame=pts_time", "-of", "csv=p=0", "vfr.mkv"},
                                        dir_.path());
    std::vector<double> times;  // one line per frame (ffprobe adds an empty one after the first)
    for (const std::string& line : splitLines(probed.out)) {
        if (!line.empty()) times.push_back(std::atof(line.c_str()));
    }
    ASSERT_EQ(runLumaqc({"vfr.mkv", "--quiet", "--no-log", "--json", "v.json", "--profile",
                         "default", "--csv", "v.csv"},
                        dir_.path())
                  .status,
              1);
    const Json doc = json("v.json");
    ASSERT_EQ(doc["frames"].size(), times.size());
    const std::vector<std::string> csv = splitLines(readFile(dir_.file("v.csv")));
    ASSERT_EQ(csv.size(), times.size() + 1);
    for (size_t i = 0; i < times.size(); ++i) {
        EXPECT_NEAR(doc["frames"][i]["time"].get<double>(), times[i], 1e-9) << i;
        char line[64];  // the CSV's time column: six decimals of the same time
        std::snprintf(line, sizeof line, "%zu,%.6f,", i, times[i]);
        EXPECT_EQ(csv[i + 1].rfind(line, 0), 0u) << csv[i + 1];
    }
    ASSERT_EQ(doc["events"].size(), 1u);
    EXPECT_NEAR(doc["events"][0]["start_seconds"].get<double>(), 3.2, 1e-9);
    EXPECT_NEAR(doc["events"][0]["end_seconds"].get<double>(), 7.2, 1e-9);
}

}  // namespace
