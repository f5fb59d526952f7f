// The whole log and console output of the built-in test card, byte for byte
// (the console's timing figures aside), for every thread count and every
// vector target this CPU runs (LUMAQC_SIMD).

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <utility>

#include "e2e_support.h"

TEST(Golden, TestcardOutputIsByteIdenticalForEveryThreadCount) {
    TempDir dir;
    ASSERT_EQ(runProgram(LUMAQC_TESTCARD_BIN, {"card.yuv"}, dir.path()).status, 0);
    const std::string golden =
        std::string(LUMAQC_SOURCE_DIR) + "/tests/e2e/golden/testcard_352x288";
    const std::string log = readFile(golden + ".log"), console = readFile(golden + ".console");
    ASSERT_FALSE(log.empty() || console.empty());
    std::string targets;
    const std::pair<const char*, const char*> runs[] = {
        {"1", ""},     {"2", ""},     {"3", ""},     {"8", ""},
        {"2", "avx3"}, {"2", "avx2"}, {"2", "sse4"}, {"1", "scalar"}};
    for (const auto& [threads, simd] : runs) {
        setenv("LUMAQC_SIMD", simd, 1);
        const RunResult r = runLumaqc({"card.yuv", "352", "288", "--threads", threads}, dir.path());
        unsetenv("LUMAQC_SIMD");
        if (r.err.find("not supported by this CPU") != std::string::npos) continue;
        targets += simd;
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(readFile(dir.file("metricsResultsCSV.csv")), log)
            << threads << " threads " << simd;
        const size_t timing = std::min(r.out.find("Calculation time:"), r.out.size());
        const std::regex figure("[0-9]+\\.[0-9]+");
        EXPECT_EQ(r.out.substr(0, timing) + std::regex_replace(r.out.substr(timing), figure, "#"),
                  console)
            << threads << " threads " << simd;
    }
    EXPECT_NE(targets.find("sse4scalar"),
              std::string::npos);  // an x86-64 CPU of this century has SSE4
}
