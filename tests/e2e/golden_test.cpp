// The whole log of the built-in test card, byte for byte, for every thread count.
#include <gtest/gtest.h>

#include <string>

#include "e2e_support.h"

TEST(Golden, TestcardLogIsByteIdenticalForEveryThreadCount) {
    TempDir dir;
    const RunResult card = runProgram(LUMAQC_TESTCARD_BIN, {"card.yuv"}, dir.path());
    ASSERT_EQ(card.status, 0) << card.err;
    const std::string golden =
        readFile(std::string(LUMAQC_SOURCE_DIR) + "/tests/e2e/golden/testcard_352x288.log");
    ASSERT_FALSE(golden.empty());
    std::vector<std::string> firstConsole;
    for (const char* threads : {"1", "2", "3", "8"}) {
        const RunResult r = runLumaqc({"card.yuv", "352", "288", "--threads", threads}, dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(readFile(dir.file("metricsResultsCSV.csv")), golden) << threads << " threads";
        const auto console = consoleRows(r.out);
        if (firstConsole.empty()) firstConsole = console;
        EXPECT_EQ(console, firstConsole) << threads << " threads";
    }
    // The console carries the same values as the log.
    const auto logLines = splitLines(golden);
    ASSERT_EQ(firstConsole.size() + 1, logLines.size());
    for (size_t i = 0; i < firstConsole.size(); ++i) {
        EXPECT_EQ(fields(firstConsole[i]), fields(logLines[i + 1]));
    }
}
