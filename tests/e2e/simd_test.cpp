// The vector kernels: the test card's whole log with every vector target this
// CPU runs forced in turn (LUMAQC_SIMD), with one and with two threads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

// Sets LUMAQC_SIMD for the programs started while it lives.
class SimdEnvironment {
  public:
    explicit SimdEnvironment(const std::string& value) { setenv("LUMAQC_SIMD", value.c_str(), 1); }
    ~SimdEnvironment() { unsetenv("LUMAQC_SIMD"); }
    SimdEnvironment(const SimdEnvironment&) = delete;
    SimdEnvironment& operator=(const SimdEnvironment&) = delete;
};

}  // namespace

TEST(Simd, EveryTargetWritesTheSameLog) {
    TempDir dir;
    const RunResult card = runProgram(LUMAQC_TESTCARD_BIN, {"card.yuv"}, dir.path());
    ASSERT_EQ(card.status, 0) << card.err;
    const std::string golden =
        readFile(std::string(LUMAQC_SOURCE_DIR) + "/tests/e2e/golden/testcard_352x288.log");
    ASSERT_FALSE(golden.empty());

    std::vector<std::string> ran;
    std::vector<std::string> firstConsole;
    for (const char* target : {"avx3", "avx2", "sse4", "scalar"}) {
        const SimdEnvironment simd(target);
        for (const char* threads : {"1", "2"}) {
            const RunResult r =
                runLumaqc({"card.yuv", "352", "288", "--threads", threads}, dir.path());
            if (r.status == 255 && r.err.find("not supported by this CPU") != std::string::npos) {
                break;  // this CPU lacks the target
            }
            ASSERT_EQ(r.status, 0) << target << ": " << r.err;
            EXPECT_EQ(readFile(dir.file("metricsResultsCSV.csv")), golden)
                << target << ", " << threads << " threads";
            const auto console = consoleRows(r.out);
            if (firstConsole.empty()) firstConsole = console;
            EXPECT_EQ(console, firstConsole) << target << ", " << threads << " threads";
            if (threads[0] == '1') ran.push_back(target);
        }
    }
    // The plain fallback runs everywhere; an x86-64 CPU of this century has SSE4.
    ASSERT_GE(ran.size(), 2u);
    EXPECT_EQ(ran.back(), "scalar");
}

TEST(Simd, UnknownTargetIsRefusedBeforeAnythingIsWritten) {
    TempDir dir;
    writeFile(dir.file("clip.yuv"), rawFrame(texturedLuma(64, 48, 1), 64, 48));
    writeFile(dir.file("metricsResultsCSV.csv"), "earlier log\n");
    const SimdEnvironment simd("neon");
    const RunResult r = runLumaqc({"clip.yuv", "64", "48"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(splitLines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("LUMAQC_SIMD"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(dir.file("metricsResultsCSV.csv")), "earlier log\n");
}
