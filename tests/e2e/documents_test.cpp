// End-to-end tests of the documents as users take them away: each of them on
// standard output (the console table then on the error stream), the CSV read
// by Python's csv module, and the output paths refused at the start.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using Json = nlohmann::json;

const std::vector<std::string> kClip = {"card.yuv", "352", "288", "25", "40"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// The JSON document without what differs from run to run (times, command line).
Json withoutRun(Json doc) {
    doc.erase("run");
    return doc;
}

}  // namespace

TEST(Documents, EachOnStandardOutput) {
    TempDir dir;
    ASSERT_EQ(runProgram(LUMAQC_TESTCARD_BIN, {"card.yuv"}, dir.path()).status, 0);
    const RunResult plain =
        runLumaqc(with(kClip, {"--json", "f.json", "--csv", "f.csv"}), dir.path());
    ASSERT_EQ(plain.status, 0) << plain.err;
    const std::vector<std::string> rows = consoleRows(plain.out);
    ASSERT_EQ(rows.size(), 40u);
    const struct {
        std::vector<std::string> option;
        std::string file;  // what the document holds when written to a file
    } cases[] = {
        {{"--log", "-"}, "metricsResultsCSV.csv"},
        {{"--json", "-", "--no-log"}, "f.json"},
        {{"--csv", "-"}, "f.csv"},
        {{"--report", "-", "--no-log"}, ""},
    };
    for (const auto& c : cases) {
        for (const bool quiet : {false, true}) {
            std::vector<std::string> args = with(kClip, c.option);
            if (quiet) args.push_back("--quiet");
            const RunResult r = runLumaqc(args, dir.path());
            const std::string what = c.option[0] + (quiet ? " --quiet" : "");
            ASSERT_EQ(r.status, 0) << what << ": " << r.err;
            if (c.file.empty()) {
                EXPECT_EQ(r.out.rfind("<!DOCTYPE html>", 0), 0u) << what;
                EXPECT_EQ(r.out.substr(r.out.size() - 8), "</html>\n") << what;
            } else if (c.file == "f.json") {
                EXPECT_EQ(withoutRun(Json::parse(r.out)),
                          withoutRun(Json::parse(readFile(dir.file(c.file)))))
                    << what;
            } else {
                EXPECT_EQ(r.out, readFile(dir.file(c.file))) << what;
            }
            // The console table on the error stream, or nothing at all.
            if (quiet) {
                EXPECT_EQ(r.err, "") << what;
            } else {
                EXPECT_EQ(consoleRows(r.err), rows) << what;
                EXPECT_EQ(r.err.rfind("Video file card.yuv opened successfully!", 0), 0u);
                EXPECT_NE(r.err.find("\nFile stream closed\n"), std::string::npos) << what;
            }
        }
    }
}

// The CSV as Python's csv module reads it: the JSON keys as columns, the
// log's values with the log's digits, empty fields where the JSON has null.
TEST(Documents, CsvReadByPythonHoldsTheLogsValues) {
    TempDir dir;
    ASSERT_EQ(runProgram(LUMAQC_TESTCARD_BIN, {"card.yuv"}, dir.path()).status, 0);
    const RunResult r =
        runLumaqc({"card.yuv", "352", "288", "--quiet", "--csv", "card.csv", "--json", "card.json"},
                  dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const RunResult python = runProgram(
        "/usr/bin/python3",
        {"-c",
         "import csv, json, sys\n"
         "with open(sys.argv[1], newline='') as f: print(json.dumps(list(csv.reader(f))))",
         "card.csv"},
        dir.path());
    ASSERT_EQ(python.status, 0) << python.err;
    const Json table = Json::parse(python.out);
    const Json doc = Json::parse(readFile(dir.file("card.json")));
    const std::vector<std::string> log = splitLines(readFile(dir.file("metricsResultsCSV.csv")));
    ASSERT_EQ(table.size(), log.size());
    ASSERT_EQ(table.size(), 138u);

    std::vector<std::string> header{"frame", "time"};
    for (const Json& indicator : doc["indicators"]) header.push_back(indicator["key"]);
    EXPECT_EQ(table[0], Json(header));
    EXPECT_NE(readFile(dir.file("card.csv")).find("flickering\r\n0,0.000000,"), std::string::npos);
    int empty = 0;
    for (size_t i = 1; i < table.size(); ++i) {
        const std::vector<std::string> values = fields(log[i]);
        const Json& row = table[i];
        ASSERT_EQ(row.size(), values.size() + 1) << "frame " << i - 1;
        EXPECT_EQ(row[0], std::to_string(i - 1));
        char time[32];
        std::snprintf(time, sizeof time, "%.6f", static_cast<double>(i - 1) / 25.0);
        EXPECT_EQ(row[1], time);
        for (size_t k = 2; k < row.size(); ++k) {
            const std::string cell = row[k];
            const bool null = doc["frames"][i - 1][header[k]].is_null();
            EXPECT_EQ(cell, null ? "" : values[k - 1]) << "frame " << i - 1 << " " << header[k];
            empty += cell.empty();
        }
    }
    EXPECT_GT(empty, 100);  // flickering between its ratings at least
}

TEST(Documents, OutputsThatWouldClashAreRefused) {
    TempDir dir;
    writeFile(dir.file("clip.yuv"), rawFrame(texturedLuma(64, 48, 1), 64, 48));
    ASSERT_EQ(link(dir.file("clip.yuv").c_str(), dir.file("same.yuv").c_str()), 0);
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    const std::vector<std::string> clip = {"clip.yuv", "64", "48"};
    const struct {
        std::vector<std::string> options;
        std::string error;
    } cases[] = {
        {{"--json", "-", "--csv", "-"},
         "the JSON document (--json) and the CSV document (--csv) cannot both go to standard "
         "output (-)"},
        {{"--log", "-", "--report", "-"},
         "the log (--log) and the HTML report (--report) cannot both go to standard output (-)"},
        {{"--csv", "./clip.yuv"}, "the CSV document (--csv) would overwrite the input clip.yuv"},
        {{"--json", "same.yuv"}, "the JSON document (--json) would overwrite the input clip.yuv"},
        {{"--log", "sub/../clip.yuv"}, "the log (--log) would overwrite the input clip.yuv"},
        {{"--json", "metricsResultsCSV.csv"},
         "the log (--log) and the JSON document (--json) would both be written to "
         "metricsResultsCSV.csv"},
        {{"--no-log", "--json", "new.json", "--report", "sub/../new.json"},
         "the JSON document (--json) and the HTML report (--report) would both be written to "
         "sub/../new.json"},
    };
    for (const auto& c : cases) {
        writeFile(dir.file("metricsResultsCSV.csv"), "earlier rows\n");
        const RunResult r = runLumaqc(with(clip, c.options), dir.path());
        EXPECT_EQ(r.status, 255) << c.error;
        EXPECT_EQ(r.err, "lumaqc: " + c.error + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(readFile(dir.file("metricsResultsCSV.csv")), "earlier rows\n");
        EXPECT_FALSE(fileExists(dir.file("new.json")));
        EXPECT_EQ(readFile(dir.file("clip.yuv")).size(), 64u * 48 * 3 / 2);
    }
    // Character devices take any number of outputs.
    const RunResult discarded =
        runLumaqc(with(clip, {"--json", "/dev/null", "--csv", "/dev/null", "--log", "/dev/null"}),
                  dir.path());
    EXPECT_EQ(discarded.status, 0) << discarded.err;
}
