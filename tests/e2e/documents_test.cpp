// End-to-end tests of the documents as users take them away: each of them on
// standard output (the console table then on the error stream). The CSV read
// by Python's csv module is in outputs_test.cpp; output paths refused at the
// start in cli_test.cpp.

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "e2e_support.h"

namespace {

using Json = nlohmann::json;

const std::vector<std::string> kClip = {"card.yuv", "352", "288", "25", "40"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

}  // namespace

TEST(Documents, EachOnStandardOutput) {
    TempDir dir;
    ASSERT_EQ(runProgram(LUMAQC_TESTCARD_BIN, {"card.yuv"}, dir.path()).status, 0);
    // The documents as files, for comparison.
    const RunResult plain =
        runLumaqc(with(kClip, {"--json", "f.json", "--csv", "f.csv"}), dir.path());
    ASSERT_EQ(plain.status, 0) << plain.err;
    const std::vector<std::string> profile = {"--profile", "default", "--no-log"};
    const int judged =
        runLumaqc(with(kClip, with(profile, {"--events", "f.jsonl"})), dir.path()).status;
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
            const RunResult r = runLumaqc(args, dir.path());
            const std::string what = c.option[0] + (quiet ? " --quiet" : "");
            ASSERT_EQ(r.status, c.status < 0 ? judged : c.status) << what << ": " << r.err;
            if (c.file.empty()) {
                EXPECT_EQ(r.out.rfind("<!DOCTYPE html>", 0), 0u) << what;
                EXPECT_EQ(r.out.substr(r.out.size() - 8), "</html>\n") << what;
            } else if (c.file == "f.json") {  // the same but for the run's record
                Json piped = Json::parse(r.out), file = Json::parse(readFile(dir.file(c.file)));
                piped.erase("run");
                file.erase("run");
                EXPECT_EQ(piped, file);
            } else {
                EXPECT_EQ(r.out, readFile(dir.file(c.file))) << what;
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
