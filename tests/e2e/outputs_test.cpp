// The outputs beyond the console table and the log: the JSON document, the
// HTML report, --quiet / --log / --no-log, the progress bar on a terminal,
// and the example program of the library API.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Json = nlohmann::json;

// The log's columns: JSON key and the decimals of the log's conversion
// (0 for the integer columns).
struct Column {
    const char* key;
    int decimals;
};
const std::vector<Column> kColumns = {{"blockiness", 5},
                                      {"spatial_activity", 5},
                                      {"letterbox", 5},
                                      {"pillarbox", 5},
                                      {"block_loss", 5},
                                      {"blur", 3},
                                      {"temporal_activity", 5},
                                      {"blackout", 0},
                                      {"freezing", 0},
                                      {"exposure", 0},
                                      {"contrast", 5},
                                      {"interlace", 5},
                                      {"noise", 4},
                                      {"slice", 3},
                                      {"flickering", 5}};

struct Scene {
    int first = -1;
    int last = -1;
};

// Writes the test card into `dir` and returns its scenes, as the generator prints them.
std::map<std::string, Scene> writeTestcard(const TempDir& dir, const std::string& name) {
    const RunResult r = runProgram(LUMAQC_TESTCARD_BIN, {name}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, Scene> scenes;
    for (const std::string& line : splitLines(r.out)) {
        std::istringstream in(line);
        std::string scene;
        Scene s;
        if (in >> scene >> s.first >> s.last) scenes[scene] = s;
    }
    return scenes;
}

Json readJson(const std::string& path) {
    return Json::parse(readFile(path));
}

std::vector<std::string> logRows(const std::string& path) {
    std::vector<std::string> lines = splitLines(readFile(path));
    if (!lines.empty()) lines.erase(lines.begin());  // the header
    return lines;
}

// The console output without its timing lines, which vary from run to run.
std::string withoutTimes(const std::string& out) {
    std::string kept;
    for (const std::string& line : splitLines(out)) {
        if (line.find(" ms") == std::string::npos && line.find("seconds") == std::string::npos &&
            line.find("milliseconds") == std::string::npos) {
            kept += line + "\n";
        }
    }
    return kept;
}

Json interval(int first, int last, const Json& seconds) {
    return Json{{"first_frame", first},
                {"last_frame", last},
                {"frames", last - first + 1},
                {"duration_seconds", seconds}};
}

std::string fixed(double v, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

}  // namespace

// Every frame's JSON values are the log's: formatted with the log's
// conversion they give the log's text, and null exactly where the log has a
// "no value" marker, a value that is not a number, or the first frame's
// flickering.
TEST(Outputs, JsonFramesAreTheLogRows) {
    TempDir dir;
    writeTestcard(dir, "card.yuv");
    const RunResult r = runLumaqc({"card.yuv", "352", "288", "--json", "card.json"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const Json doc = readJson(dir.file("card.json"));
    const std::vector<std::string> rows = logRows(dir.file("metricsResultsCSV.csv"));
    ASSERT_EQ(doc["frames"].size(), rows.size());
    EXPECT_EQ(doc["frames_analysed"], rows.size());
    EXPECT_EQ(doc["complete"], true);
    EXPECT_EQ(doc["input"], (Json{{"path", "card.yuv"},
                                  {"kind", "raw"},
                                  {"width", 352},
                                  {"height", 288},
                                  {"fps", 25.0},
                                  {"start_frame", 0},
                                  {"frames_requested", 137}}));
    for (size_t c = 0; c < kColumns.size(); ++c) {
        EXPECT_EQ(doc["indicators"][c]["key"], kColumns[c].key);
    }

    int nulls = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::vector<std::string> log = fields(rows[i]);
        const Json& frame = doc["frames"][i];
        ASSERT_EQ(log.size(), kColumns.size() + 1);
        EXPECT_EQ(frame["frame"], std::stoi(log[0]));
        for (size_t c = 0; c < kColumns.size(); ++c) {
            const std::string& text = log[c + 1];
            const Json& value = frame[kColumns[c].key];
            const std::string key = kColumns[c].key;
            const bool marker = (key == "block_loss" || key == "slice" || key == "flickering") &&
                                std::stod(text) == -1.0;
            const bool notANumber = !std::isfinite(std::strtod(text.c_str(), nullptr));
            const bool firstFlicker = key == "flickering" && i == 0;
            if (marker || notANumber || firstFlicker) {
                EXPECT_TRUE(value.is_null()) << "frame " << i << " " << key << ": " << value;
                ++nulls;
            } else if (kColumns[c].decimals == 0) {
                ASSERT_TRUE(value.is_number_integer()) << "frame " << i << " " << key;
                EXPECT_EQ(std::to_string(value.get<int64_t>()), text)
                    << "frame " << i << " " << key;
            } else {
                ASSERT_TRUE(value.is_number()) << "frame " << i << " " << key << ": " << value;
                EXPECT_EQ(fixed(value.get<double>(), kColumns[c].decimals), text)
                    << "frame " << i << " " << key;
            }
        }
    }
    EXPECT_GT(nulls, 100);  // flickering between its ratings at least
}

// The frozen interval is the test card's frozen scene and the blackout
// interval its black scene, whatever the start frame and frame rate; the
// flicker ratings are every eighth frame from the second analysed one.
TEST(Outputs, JsonIntervalsAreTheTestcardScenes) {
    TempDir dir;
    const std::map<std::string, Scene> scenes = writeTestcard(dir, "card.yuv");
    const Scene frozen = scenes.at("frozen");
    const Scene black = scenes.at("black");
    ASSERT_GE(frozen.first, 0);
    ASSERT_GE(black.first, 0);
    const int frames = frozen.last + 1 + 3;

    struct Case {
        std::string label;
        std::vector<std::string> args;
        double fps;
        int start;
        Json frozen;
        Json blackouts;
    };
    const auto span = [](const Scene& s) { return s.last - s.first + 1; };
    const std::vector<Case> cases = {
        {"whole clip",
         {"card.yuv", "352", "288"},
         25.0,
         0,
         Json::array({interval(frozen.first, frozen.last, span(frozen) / 25.0)}),
         Json::array({interval(black.first, black.last, span(black) / 25.0)})},
        {"from the black scene at 30 fps, 2 threads",
         {"card.yuv", "352", "288", "30", std::to_string(frames - black.first),
          std::to_string(black.first), "--threads", "2"},
         30.0,
         black.first,
         Json::array({interval(frozen.first, frozen.last, span(frozen) / 30.0)}),
         Json::array({interval(black.first, black.last, span(black) / 30.0)})},
        // Starting on a repeated picture: the freeze is held from the first frame.
        {"from inside the frozen scene",
         {"card.yuv", "352", "288", "25", "20", std::to_string(frozen.first + 3)},
         25.0,
         frozen.first + 3,
         Json::array({interval(frozen.first + 3, frozen.last, (span(frozen) - 3) / 25.0)}),
         Json::array()},
        // At 0 fps every frame after the first counts as frozen; no duration.
        {"frame rate 0",
         {"card.yuv", "352", "288", "0", "20"},
         0.0,
         0,
         Json::array({interval(1, 19, nullptr)}),
         Json::array()},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        for (const char* a : {"--quiet", "--no-log", "--json", "out.json"}) args.push_back(a);
        const RunResult r = runLumaqc(args, dir.path());
        ASSERT_EQ(r.status, 0) << c.label << ": " << r.err;
        const Json doc = readJson(dir.file("out.json"));
        const Json& summary = doc["summary"];
        EXPECT_EQ(summary["frozen_intervals"], c.frozen) << c.label;
        EXPECT_EQ(summary["blackout_intervals"], c.blackouts) << c.label;

        // Ratings on frames start + 8k (k >= 1), with that frame's value.
        const Json& all = doc["frames"];
        Json ratings = Json::array();
        for (size_t i = 8; i < all.size(); i += 8) {
            ratings.push_back(
                Json{{"frame", c.start + static_cast<int>(i)}, {"value", all[i]["flickering"]}});
        }
        EXPECT_EQ(summary["flicker_ratings"], ratings) << c.label;
        EXPECT_TRUE(all[0]["flickering"].is_null()) << c.label;
    }
}

// count, mean, min, max and the nearest-rank percentiles of every indicator,
// recomputed from the document's own frames.
TEST(Outputs, JsonStatisticsFollowTheFrames) {
    TempDir dir;
    writeTestcard(dir, "card.yuv");
    ASSERT_EQ(
        runLumaqc({"card.yuv", "352", "288", "--quiet", "--json", "card.json"}, dir.path()).status,
        0);
    const Json doc = readJson(dir.file("card.json"));
    for (const Column& column : kColumns) {
        std::vector<double> values;
        double sum = 0.0;
        for (const Json& frame : doc["frames"]) {
            if (frame[column.key].is_null()) continue;
            values.push_back(frame[column.key].get<double>());
            sum += values.back();
        }
        const Json& stats = doc["summary"]["stats"][column.key];
        ASSERT_EQ(stats["count"], values.size()) << column.key;
        ASSERT_FALSE(values.empty()) << column.key;
        std::sort(values.begin(), values.end());
        const auto rank = [&values](double p) {
            const auto r =
                static_cast<size_t>(std::ceil(p * static_cast<double>(values.size()) / 100.0));
            return values[std::max<size_t>(r, 1) - 1];
        };
        EXPECT_DOUBLE_EQ(stats["mean"].get<double>(), sum / static_cast<double>(values.size()))
            << column.key;
        EXPECT_EQ(stats["min"].get<double>(), values.front()) << column.key;
        EXPECT_EQ(stats["max"].get<double>(), values.back()) << column.key;
        EXPECT_EQ(stats["p5"].get<double>(), rank(5)) << column.key;
        EXPECT_EQ(stats["p50"].get<double>(), rank(50)) << column.key;
        EXPECT_EQ(stats["p95"].get<double>(), rank(95)) << column.key;
    }
    EXPECT_EQ(doc["summary"]["stats"]["flickering"]["count"], 17);
}

// --quiet drops only the rows; --log moves the log, --no-log drops it; the
// documents change neither the console nor the log.
TEST(Outputs, QuietLogAndNoLog) {
    TempDir dir;
    writeTestcard(dir, "card.yuv");
    mkdir(dir.file("logs").c_str(), 0755);
    const std::vector<std::string> clip = {"card.yuv", "352", "288", "25", "40"};
    const auto runWith = [&](std::vector<std::string> extra) {
        std::filesystem::remove(dir.file("metricsResultsCSV.csv"));
        std::vector<std::string> args = clip;
        args.insert(args.end(), extra.begin(), extra.end());
        const RunResult r = runLumaqc(args, dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");  // no progress bar: standard error is not a terminal
        return r;
    };

    const RunResult plain = runWith({});
    const std::string log = readFile(dir.file("metricsResultsCSV.csv"));
    ASSERT_EQ(consoleRows(plain.out).size(), 40u);
    ASSERT_EQ(splitLines(log).size(), 41u);

    const RunResult quiet = runWith({"--quiet"});
    EXPECT_TRUE(consoleRows(quiet.out).empty());
    std::string withoutRows;
    for (const std::string& line : splitLines(withoutTimes(plain.out))) {
        const std::vector<std::string> rows = consoleRows(line + "\n");
        if (rows.empty()) withoutRows += line + "\n";
    }
    EXPECT_EQ(withoutTimes(quiet.out), withoutRows);
    EXPECT_NE(quiet.out.find("Calculation time:"), std::string::npos);
    EXPECT_EQ(readFile(dir.file("metricsResultsCSV.csv")), log);

    const RunResult moved = runWith({"--log", "logs/run.tsv"});
    EXPECT_FALSE(fileExists(dir.file("metricsResultsCSV.csv")));
    EXPECT_EQ(readFile(dir.file("logs/run.tsv")), log);
    EXPECT_EQ(withoutTimes(moved.out), withoutTimes(plain.out));

    const RunResult none = runWith({"--no-log", "--json", "a.json", "--report", "a.html"});
    EXPECT_FALSE(fileExists(dir.file("metricsResultsCSV.csv")));
    EXPECT_EQ(withoutTimes(none.out), withoutTimes(plain.out));
    EXPECT_EQ(readJson(dir.file("a.json"))["frames"].size(), 40u);

    const RunResult documents = runWith({"--json", "b.json", "--report", "b.html", "--quiet"});
    EXPECT_EQ(readFile(dir.file("metricsResultsCSV.csv")), log);
    EXPECT_EQ(readFile(dir.file("a.json")), readFile(dir.file("b.json")));
}

// A document that cannot be created stops the start with one line and leaves
// an earlier log alone; a run stopped by a read error still writes both
// documents, marked incomplete.
TEST(Outputs, DocumentFailuresAndIncompleteRuns) {
    TempDir dir;
    writeFile(dir.file("clip.yuv"), rawFrame(texturedLuma(64, 48, 1), 64, 48));
    writeFile(dir.file("metricsResultsCSV.csv"), "earlier log\n");
    struct Case {
        std::vector<std::string> option;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{"--json", "missing/out.json"},
         "Cannot create the JSON file missing/out.json: No such file or directory\n"},
        {{"--report", "missing/out.html"},
         "Cannot create the HTML report missing/out.html: No such file or directory\n"},
        {{"--json", "."}, "Cannot create the JSON file .: Is a directory\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"clip.yuv", "64", "48"};
        args.insert(args.end(), c.option.begin(), c.option.end());
        const RunResult r = runLumaqc(args, dir.path());
        EXPECT_EQ(r.status, 255) << c.error;
        EXPECT_EQ(r.err, c.error);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(readFile(dir.file("metricsResultsCSV.csv")), "earlier log\n");
    }

    // Every read of the input fails (an injected I/O error).
    const RunResult r = runLumaqcWithFault(
        {"clip.yuv", "64", "48", "25", "2", "--json", "f.json", "--report", "f.html"}, dir.path(),
        "0:eio");
    EXPECT_EQ(r.status, 255);
    const Json doc = readJson(dir.file("f.json"));
    EXPECT_EQ(doc["complete"], false);
    EXPECT_EQ(doc["frames_analysed"], 0);
    EXPECT_NE(readFile(dir.file("f.html")).find("id=\"lumaqc-incomplete\""), std::string::npos);
}

// A run stopped by SIGTERM while it waits for input writes whole documents
// of the frames done, marked incomplete; until then the JSON file already
// holds every finished frame.
TEST(Outputs, StopSignalKeepsWholeDocuments) {
    TempDir dir;
    constexpr int kFrames = 10;
    std::string clip;
    for (int i = 0; i < kFrames; ++i) clip += rawFrame(texturedLuma(32, 32, i), 32, 32);
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.path().c_str()) != 0) _exit(127);
        const int null = open("/dev/null", O_WRONLY);
        dup2(input[0], 0);
        dup2(null, 1);
        dup2(null, 2);
        close(input[1]);
        execl(LUMAQC_BIN, LUMAQC_BIN, "-", "32", "32", "--threads", "1", "--no-log", "--json",
              "s.json", "--report", "s.html", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(input[0]);
    ASSERT_EQ(write(input[1], clip.data(), clip.size()), static_cast<ssize_t>(clip.size()));
    // Wait (at most 30 s) until every frame is in the file, the next read blocking.
    const std::string frameKey = "{\"frame\":";
    int streamed = 0;
    for (int wait = 0; wait < 3000 && streamed < kFrames; ++wait) {
        usleep(10000);
        const std::string partial = readFile(dir.file("s.json"));
        streamed = 0;
        for (size_t at = partial.find(frameKey); at != std::string::npos;
             at = partial.find(frameKey, at + 1)) {
            ++streamed;
        }
    }
    EXPECT_EQ(streamed, kFrames);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    close(input[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;

    const Json doc = readJson(dir.file("s.json"));
    EXPECT_EQ(doc["complete"], false);
    EXPECT_EQ(doc["frames_analysed"], kFrames);
    EXPECT_EQ(doc["input"]["path"], "-");
    EXPECT_TRUE(doc["input"]["frames_requested"].is_null());
    EXPECT_NE(readFile(dir.file("s.html")).find("id=\"lumaqc-incomplete\""), std::string::npos);
}

// The report is one file that loads nothing: chart library, script, style and
// data are inline; text from the input is escaped.
TEST(Outputs, HtmlReportIsSelfContained) {
    TempDir dir;
    writeTestcard(dir, "card.yuv");
    std::filesystem::rename(dir.file("card.yuv"), dir.file("a<b>&'c\".yuv"));
    const RunResult r = runLumaqc(
        {"a<b>&'c\".yuv", "352", "288", "25", "30", "--quiet", "--report", "r.html"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string html = readFile(dir.file("r.html"));
    EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(html.find("a&lt;b&gt;&amp;&#39;c&quot;.yuv"), std::string::npos);
    EXPECT_EQ(html.find("a<b>"), std::string::npos);
    for (const char* external : {" src=", " href=", "<link", "@import", "url("}) {
        EXPECT_EQ(html.find(external), std::string::npos) << external;
    }
    EXPECT_NE(html.find("Permission is hereby granted"),
              std::string::npos);  // the library's licence
    EXPECT_NE(html.find("var uPlot="), std::string::npos);
    for (const Column& column : kColumns) {
        EXPECT_NE(html.find(std::string("{\"key\":\"") + column.key + "\""), std::string::npos)
            << column.key;
    }
    EXPECT_EQ(std::count(html.begin(), html.end(), '\0'), 0);
}

namespace {

// Runs lumaqc with standard error on a pseudo-terminal (standard output to a
// file); returns what the terminal received.
RunResult runOnTerminal(const std::vector<std::string>& args, const std::string& cwd) {
    RunResult result;
    int master = -1;
    int slave = -1;
    winsize size{};
    size.ws_col = 100;
    size.ws_row = 30;
    if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return result;
    const std::string outPath = cwd + "/terminal-stdout.txt";
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(127);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(slave, 2);
        close(master);
        std::vector<char*> argv{const_cast<char*>(LUMAQC_BIN)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(LUMAQC_BIN, argv.data());
        _exit(127);
    }
    // The slave stays open here until the child has exited, so nothing the
    // child wrote is dropped when it closes its end before we read.
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    char buffer[4096];
    int status = 0;
    bool exited = false;
    for (;;) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) {
            result.err.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (exited) break;  // drained after the child's exit
        exited = waitpid(pid, &status, WNOHANG) == pid;
        if (!exited) {
            pollfd p{master, POLLIN, 0};
            poll(&p, 1, 20);
        }
    }
    close(slave);
    close(master);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = readFile(outPath);
    return result;
}

}  // namespace

// On a terminal the bar shows frames done of the total, frames per second and
// the time left, and is wiped at the end; the rows on standard output stay
// exactly those of a run without a terminal.
TEST(Outputs, ProgressBarOnlyOnATerminal) {
    TempDir dir;
    writeTestcard(dir, "one.yuv");
    const std::string one = readFile(dir.file("one.yuv"));
    writeFile(dir.file("card.yuv"), one + one + one);  // long enough for several redraws
    const std::vector<std::string> args = {"card.yuv", "352", "288", "--threads", "1", "--no-log"};

    const RunResult terminal = runOnTerminal(args, dir.path());
    ASSERT_EQ(terminal.status, 0) << terminal.err;
    EXPECT_NE(terminal.err.find("/411 frames ["), std::string::npos) << terminal.err;
    EXPECT_NE(terminal.err.find(" fps "), std::string::npos) << terminal.err;
    EXPECT_NE(terminal.err.find(" left"), std::string::npos) << terminal.err;
    EXPECT_EQ(terminal.err.substr(terminal.err.size() - 4), "\r\033[K");  // wiped at the end
    EXPECT_EQ(terminal.out.find('\033'), std::string::npos);

    const RunResult file = runLumaqc(args, dir.path());
    ASSERT_EQ(file.status, 0);
    EXPECT_EQ(file.err, "");
    EXPECT_EQ(consoleRows(terminal.out), consoleRows(file.out));
}

// The example program of the library API prints the exact values the command
// line's JSON document holds.
TEST(Outputs, ExampleProgramMatchesTheCommandLine) {
    TempDir dir;
    writeTestcard(dir, "card.yuv");
    const RunResult example =
        runProgram(LUMAQC_EXAMPLE_BIN, {"card.yuv", "352", "288"}, dir.path());
    ASSERT_EQ(example.status, 0) << example.err;
    ASSERT_EQ(
        runLumaqc({"card.yuv", "352", "288", "--quiet", "--no-log", "--json", "c.json"}, dir.path())
            .status,
        0);
    const Json doc = readJson(dir.file("c.json"));
    std::vector<std::string> lines = splitLines(example.out);
    ASSERT_EQ(lines.size(), doc["frames"].size() + 1);
    // The header names the values in the library's order.
    std::vector<std::string> keys;
    std::istringstream header(lines[0]);
    for (std::string key; std::getline(header, key, ',');) keys.push_back(key);
    ASSERT_EQ(keys.size(), kColumns.size() + 1);
    for (size_t i = 1; i < lines.size(); ++i) {
        std::istringstream row(lines[i]);
        std::string cell;
        const Json& frame = doc["frames"][i - 1];
        for (size_t k = 0; std::getline(row, cell, ','); ++k) {
            const Json& expected = k == 0 ? frame["frame"] : frame[keys[k]];
            if (expected.is_null())
                continue;  // markers and NaN: compared through the log elsewhere
            // Integer columns (flags, exposure) hold the integer part, as the log does.
            const double value = std::strtod(cell.c_str(), nullptr);
            EXPECT_EQ(expected.is_number_integer() ? std::trunc(value) : value,
                      expected.get<double>())
                << "frame " << i - 1 << " " << keys[k];
        }
    }
    EXPECT_NE(example.err.find("137 frames with lumaqc"), std::string::npos) << example.err;
}
