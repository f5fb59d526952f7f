// The outputs beside the console table and the log: the JSON document, the
// CSV (as Python's csv module reads it), the HTML report, --quiet, --log and
// --no-log, and each document on standard output (the console table then on
// the error stream). Output paths refused at the start are in cli_test.cpp.

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "e2e_support.h"

namespace {

using Json = nlohmann::json;

class Outputs : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(runProgram(LUMAQC_TESTCARD_BIN, {"card.yuv"}, dir_.path()).status, 0);
    }
    // Runs the test card with `args` and returns the console up to its timing figures.
    std::string run(std::vector<std::string> args) {
        args.insert(args.begin(), {"card.yuv", "352", "288"});
        std::filesystem::remove(dir_.file("metricsResultsCSV.csv"));
        const RunResult r = runLumaqc(args, dir_.path());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");  // no progress bar: standard error is not a terminal
        return r.out.substr(0, r.out.find("Calculation time:"));
    }
    Json json(const std::string& name) { return Json::parse(readFile(dir_.file(name))); }
    TempDir dir_;
};

const std::vector<std::string> kClip = {"card.yuv", "352", "288", "25", "40"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

Json interval(int first, int last, const Json& seconds) {
    return {{"first_frame", first},
            {"last_frame", last},
            {"frames", last - first + 1},
            {"duration_seconds", seconds}};
}

}  // namespace

// Every value of the JSON document is the log's: with the log's conversion it
// gives the log's text, and it is null exactly where the log has a no-value
// marker (-1 of block loss, slice and flickering), a value that is not a
// number, or the first frame's flickering. The CSV, as Python's csv module
// reads it: the JSON keys as columns, the log's values with the log's digits,
// empty fields where the JSON has null.
TEST_F(Outputs, JsonAndCsvFramesAreTheLogRows) {
    run({"--json", "card.json", "--csv", "card.csv"});
    const Json doc = json("card.json");
    std::vector<std::string> rows = splitLines(readFile(dir_.file("metricsResultsCSV.csv")));
    rows.erase(rows.begin());
    ASSERT_EQ(doc["frames"].size(), rows.size());
    EXPECT_EQ(doc["complete"], true);
    // What was measured and how: the input's file, samples and duration; the
    // program, its command line, times and host.
    Json input = doc["input"];
    const std::string modified = input["modified_time"];
    input.erase("modified_time");
    Json expected = R"({"path": "card.yuv", "kind": "raw", "width": 352, "height": 288,
        "fps": 25.0, "start_frame": 0, "frames_requested": 137, "size_bytes": 20832768,
        "container": "raw", "codec": "rawvideo", "pixel_format": "yuv420p", "bit_depth": 8,
        "samples_reduced": false, "duration_seconds": 5.48, "frame_rate_kind": "constant"})"_json;
    expected["absolute_path"] = (std::filesystem::canonical(dir_.path()) / "card.yuv").string();
    EXPECT_EQ(input, expected);
    const Json& run = doc["run"];
    EXPECT_EQ(run["command_line"], Json({LUMAQC_BIN, "card.yuv", "352", "288", "--json",
                                         "card.json", "--csv", "card.csv"}));
    EXPECT_EQ(modified.size(), 20u) << modified;  // 2024-05-01T10:20:30Z
    EXPECT_LE(modified.substr(0, 19), run["start_time"].get<std::string>().substr(0, 19));
    EXPECT_LE(run["start_time"], run["end_time"]);
    EXPECT_EQ(run["version"], doc["tool"]["version"]);
    EXPECT_GE(run["threads"], 1);
    int nulls = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::vector<std::string> log = fields(rows[i]);
        const Json& frame = doc["frames"][i];
        EXPECT_EQ(frame["frame"], std::stoi(log[0]));
        ASSERT_EQ(log.size(), doc["indicators"].size() + 1);
        for (size_t c = 0; c + 1 < log.size(); ++c) {
            const std::string key = doc["indicators"][c]["key"], text = log[c + 1];
            const size_t dot = text.find('.');
            const int decimals =
                dot == std::string::npos ? 0 : static_cast<int>(text.size() - dot - 1);
            const bool marker = (key == "block_loss" || key == "slice" || key == "flickering") &&
                                text == "-1.00000";
            if (marker || !std::isfinite(std::stod(text)) || (key == "flickering" && i == 0)) {
                EXPECT_TRUE(frame[key].is_null())
                    << "frame " << i << " " << key << ": " << frame[key];
                nulls += 1;
                continue;
            }
            ASSERT_TRUE(decimals > 0 ? frame[key].is_number() : frame[key].is_number_integer())
                << key;
            char expected[64];
            std::snprintf(expected, sizeof expected, "%.*f", decimals, frame[key].get<double>());
            EXPECT_EQ(expected, text) << "frame " << i << " " << key;
        }
    }
    EXPECT_GT(nulls, 100);  // flickering between its ratings at least

    const RunResult python = runProgram(
        "/usr/bin/python3",
        {"-c",
         "import csv, json, sys\n"
         "with open(sys.argv[1], newline='') as f: print(json.dumps(list(csv.reader(f))))",
         "card.csv"},
        dir_.path());
    ASSERT_EQ(python.status, 0) << python.err;
    const Json table = Json::parse(python.out);
    ASSERT_EQ(table.size(), rows.size() + 1);
    std::vector<std::string> header{"frame", "time"};
    for (const Json& indicator : doc["indicators"]) header.push_back(indicator["key"]);
    EXPECT_EQ(table[0], Json(header));
    EXPECT_NE(readFile(dir_.file("card.csv")).find("flickering\r\n0,0.000000,"), std::string::npos);
    for (size_t i = 1; i < table.size(); ++i) {
        const std::vector<std::string> log = fields(rows[i - 1]);
        const Json& row = table[i];
        ASSERT_EQ(row.size(), log.size() + 1) << "frame " << i - 1;
        EXPECT_EQ(row[0], std::to_string(i - 1));
        char time[32];
        std::snprintf(time, sizeof time, "%.6f", static_cast<double>(i - 1) / 25.0);
        EXPECT_EQ(row[1], time);
        for (size_t k = 2; k < row.size(); ++k) {
            const bool null = doc["frames"][i - 1][header[k]].is_null();
            EXPECT_EQ(row[k], null ? "" : log[k - 1]) << "frame " << i - 1 << " " << header[k];
        }
    }
}

// The frozen interval is the test card's frozen scene (frames 117 to 128) and
// the blackout interval its black scene (105 to 116), whatever the start
// frame and frame rate; flicker ratings come every eighth frame from the
// second analysed one.
TEST_F(Outputs, JsonIntervalsAreTheTestcardScenes) {
    const struct {
        std::vector<std::string> args;
        int start;
        Json frozen, black;
    } cases[] = {
        {{}, 0, Json::array({interval(117, 128, 0.48)}), Json::array({interval(105, 116, 0.48)})},
        {{"30", "27", "105", "--threads", "2"},
         105,
         Json::array({interval(117, 128, 0.4)}),
         Json::array({interval(105, 116, 0.4)})},
        // Starting on a repeated picture: the freeze is held from the first frame.
        {{"25", "17", "120"}, 120, Json::array({interval(120, 128, 0.36)}), Json::array()},
        // At 0 frames per second every frame after the first counts as frozen; no duration.
        {{"0", "20"}, 0, Json::array({interval(1, 19, nullptr)}), Json::array()},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--quiet", "--no-log", "--json", "out.json"});
        run(args);
        const Json doc = json("out.json");
        EXPECT_EQ(doc["summary"]["frozen_intervals"], c.frozen) << c.start;
        EXPECT_EQ(doc["summary"]["blackout_intervals"], c.black) << c.start;
        Json ratings = Json::array();
        for (size_t i = 8; i < doc["frames"].size(); i += 8)
            ratings.push_back({{"frame", c.start + static_cast<int>(i)},
                               {"value", doc["frames"][i]["flickering"]}});
        EXPECT_EQ(doc["summary"]["flicker_ratings"], ratings) << c.start;
    }
}

// --quiet drops only the rows; --log moves the log, --no-log drops it; the
// documents change neither the console nor the log. A run of no frame still
// writes the log's header and the console's summary.
TEST_F(Outputs, QuietLogAndNoLog) {
    const std::string plain = run({"25", "40"}), log = readFile(dir_.file("metricsResultsCSV.csv"));
    ASSERT_EQ(splitLines(log).size(), 41u);
    std::string rowless;
    for (const std::string& line : splitLines(plain))
        if (consoleRows(line).empty()) rowless += line + "\n";
    EXPECT_EQ(run({"25", "40", "--quiet"}), rowless);
    EXPECT_EQ(readFile(dir_.file("metricsResultsCSV.csv")), log);
    std::filesystem::create_directory(dir_.file("logs"));
    EXPECT_EQ(run({"25", "40", "--log", "logs/run.tsv", "--json", "a.json", "--report", "a.html"}),
              plain);
    EXPECT_EQ(readFile(dir_.file("logs/run.tsv")), log);
    EXPECT_EQ(run({"25", "40", "--no-log", "--json", "b.json"}), plain);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("metricsResultsCSV.csv")));
    Json a = json("a.json"), b = json("b.json");  // the same but for the run's record
    EXPECT_NE(a["run"], b["run"]);
    a.erase("run");
    b.erase("run");
    EXPECT_EQ(a, b);
    for (const char* none : {"0", "-2"}) {
        const std::string console = run({"25", none});
        EXPECT_EQ(splitLines(readFile(dir_.file("metricsResultsCSV.csv"))).size(), 1u) << none;
        // The count is printed as given.
        EXPECT_NE(console.find(std::string("Number of Frames = ") + none + ","), std::string::npos);
    }
}

// A run stopped by a read error writes both documents whole, marked
// incomplete; the report escapes text from the input and loads nothing.
TEST_F(Outputs, IncompleteDocumentsAndTheReportsText) {
    std::filesystem::rename(dir_.file("card.yuv"), dir_.file("a<b>&'c\".yuv"));
    const std::vector<std::string> args = {"a<b>&'c\".yuv", "352",    "288",      "25",    "2",
                                           "--json",        "f.json", "--report", "f.html"};
    // The read of the second frame fails.
    const RunResult r = Child({.args = args, .cwd = dir_.path(), .fault = "152064:eio"}).finish();
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(json("f.json")["complete"], false);
    EXPECT_EQ(json("f.json")["frames_analysed"], 1);
    const std::string html = readFile(dir_.file("f.html"));
    EXPECT_NE(html.find("id=\"lumaqc-incomplete\""), std::string::npos);
    EXPECT_NE(html.find("a&lt;b&gt;&amp;&#39;c&quot;.yuv"), std::string::npos);
    EXPECT_EQ(html.find("a<b>"), std::string::npos);
    for (const char* external : {" src=", " href=", "<link", "@import", "url("})
        EXPECT_EQ(html.find(external), std::string::npos) << external;
    // The input and the run, as the JSON document records them.
    for (const char* field : {"<th>Pixel format</th><td>yuv420p</td>", "<th>Build: compiler</th>",
                              "&#39;a&lt;b&gt;&amp;&#39;\\&#39;&#39;c&quot;.yuv&#39; 352 288"})
        EXPECT_NE(html.find(field), std::string::npos) << field;
}

// Each document on standard output: what its file would hold, the console
// table (and the verdict) on the error stream, or nothing at all with --quiet.
TEST_F(Outputs, EachDocumentOnStandardOutput) {
    // The documents as files, for comparison.
    const RunResult plain =
        runLumaqc(with(kClip, {"--json", "f.json", "--csv", "f.csv"}), dir_.path());
    ASSERT_EQ(plain.status, 0) << plain.err;
    const std::vector<std::string> profile = {"--profile", "default", "--no-log"};
    const int judged =
        runLumaqc(with(kClip, with(profile, {"--events", "f.jsonl"})), dir_.path()).status;
    const std::vector<std::string> rows = consoleRows(plain.out);
    ASSERT_EQ(rows.size(), 40u);
    const struct {
        std::vector<std::string> option;
        std::string file;  // what the document holds when written to a file
        int status = 0;    // -1: the status of the judged run
    } cases[] = {
        {{"--log", "-"}, "metricsResultsCSV.csv"},
        {{"--json", "-", "--no-log"}, "f.json"},
        {{"--csv", "-", "--json", "/dev/null"}, "f.csv"},  // /dev/null takes any output
        {{"--report", "-", "--no-log"}, ""},
        {with(profile, {"--events", "-"}), "f.jsonl", -1},
    };
    for (const auto& c : cases) {
        for (const bool quiet : {false, true}) {
            std::vector<std::string> args = with(kClip, c.option);
            if (quiet) args.push_back("--quiet");
            const RunResult r = runLumaqc(args, dir_.path());
            const std::string what = c.option[0] + (quiet ? " --quiet" : "");
            ASSERT_EQ(r.status, c.status < 0 ? judged : c.status) << what << ": " << r.err;
            if (c.file.empty()) {
                EXPECT_EQ(r.out.rfind("<!DOCTYPE html>", 0), 0u) << what;
                EXPECT_EQ(r.out.substr(r.out.size() - 8), "</html>\n") << what;
            } else if (c.file == "f.json") {  // the same but for the run's record
                Json piped = Json::parse(r.out), file = Json::parse(readFile(dir_.file(c.file)));
                piped.erase("run");
                file.erase("run");
                EXPECT_EQ(piped, file);
            } else {
                EXPECT_EQ(r.out, readFile(dir_.file(c.file))) << what;
            }
            // The console table (and the verdict) on the error stream, or nothing at all.
            if (quiet) {
                EXPECT_EQ(r.err, "") << what;
            } else {
                EXPECT_EQ(consoleRows(r.err), rows) << what;
                EXPECT_EQ(r.err.rfind("Video file card.yuv opened successfully!", 0), 0u);
                EXPECT_NE(r.err.find(c.status < 0 ? "QC verdict: " : "\nFile stream closed\n"),
                          std::string::npos)
                    << what;
            }
        }
    }
}
