// The console table, the log and the timing summary against their exact texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "report/text_report.h"

using namespace lumaqc;

namespace {

const char* const kConsoleHeader =
    "Frame: \tBlockiness: \tSpatial Activity: \tLetterbox: \tPillarbox: \tBlockloss: \tBlur: "
    "\t\tTemporalAct: \tBlackout: \tFreezing: \tExposure(bri): \tContrast: \tInterlace: \tNoise: "
    "\t\tSlice: \t\tFlickering:";
const char* const kLogHeader =
    "Frame: \tBlockiness: \tSA: \tLetterbox: \tPillarbox: \tBlockloss: \tBlur: \tTA: \tBlackout: "
    "\tFreezing: \tExposure(bri): \tContrast: \tInterlace: \tNoise: \tSlice: \tFlickering:\n";
const char* const kConsoleRow =
    "%05i \t%-5.5f \t%-5.5f \t\t%-5.5f \t%-5.5f \t%-5.5f \t%-7.3f \t%-5.5f \t%-d \t\t%-d \t\t%-6i "
    "\t\t%-5.5f \t%-5.5f \t%-8.4f \t%-7.3f \t%-5.5f\n";
const char* const kLogRow =
    "%05i \t%-5.5f \t%-5.5f \t%-5.5f \t%-5.5f \t%-5.5f \t%-5.3f \t%-5.5f \t%-d \t%-d \t%-6i "
    "\t%-5.5f "
    "\t%-5.5f \t%-8.4f \t%-7.3f \t%-5.5f\n";
const char* const kTiming =
    "\tBlockiness: %02.6f ms \tSpatialAct: %02.6f ms \tLetterbox: %02.6f ms \n\tPillarbox: %02.6f "
    "ms \t\tBlockLoss: %02.6f ms \t\tBlur: %02.6f ms \n \tExposure: %02.6f ms \t\tInterlace: "
    "%02.6f ms \t\tNoise: %02.6f ms \n \tSlice: %02.6f ms\t\tBlackout: %02.6f ms \t\tTemporal: "
    "%02.6f ms \n \tFreezing : %02.6f ms\t\tFlickering: %02.6f ms \tContrast: %02.6f ms\n";

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
std::string expectedRow(const char* format, int frame,
                        const std::array<double, kIndicatorCount>& v) {
    char buffer[1024];
    std::snprintf(buffer, sizeof buffer, format, frame, v[kBlockiness], v[kSpatialActivity],
                  v[kLetterbox], v[kPillarbox], v[kBlockLoss], v[kBlur], v[kTemporalActivity],
                  static_cast<int>(v[kBlackout]), static_cast<int>(v[kFreezing]),
                  static_cast<int>(v[kExposure]), v[kContrast], v[kInterlace], v[kNoise], v[kSlice],
                  v[kFlickering]);
    return buffer;
}
#pragma GCC diagnostic pop

}  // namespace

TEST(Report, HeadersAreExact) {
    EXPECT_EQ(columnHeader(RowStyle::Console), kConsoleHeader);
    EXPECT_EQ(columnHeader(RowStyle::Log), kLogHeader);
    EXPECT_EQ(columnHeader(RowStyle::Log).size(), 163u);
}

TEST(Report, RowsMatchTheirFormats) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        int frame;
        std::array<double, kIndicatorCount> values;  // indexed by IndicatorId (column order)
    };
    const Case cases[] = {
        {0, {}},
        {7, {1.5, 12.25, 0.0, 0.1, -1.0, 3.14159, 1.75, 1.0, 0, 99.9, 40.5, 0.25, 2.5, -1.0, -1.0}},
        {12345,
         {123456.789, 1e9, 1, 1, 0.5, 123.4567, 3.0, 0, 1, 255.0, 0.0, 1e-7, 16.0, inf, 1.0}},
        {99999, {2.0, 3.0, 0.0, 0.0, -1.0, 2.0, 0.0, 1, 0, -0.5, 12.0, 0.0, 0.0, 7.0, 0.125}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatRow(RowStyle::Console, c.frame, c.values),
                  expectedRow(kConsoleRow, c.frame, c.values))
            << "frame " << c.frame;
        EXPECT_EQ(formatRow(RowStyle::Log, c.frame, c.values),
                  expectedRow(kLogRow, c.frame, c.values))
            << "frame " << c.frame;
    }
    // Leading zeros, truncated exposure, fields never cut.
    std::array<double, kIndicatorCount> v{};
    v[kExposure] = 99.9;
    v[kBlur] = 1234567.0;
    EXPECT_EQ(formatRow(RowStyle::Log, 7, v).substr(0, 5), "00007");
    EXPECT_NE(formatRow(RowStyle::Log, 7, v).find(" \t99     \t"), std::string::npos);
    EXPECT_NE(formatRow(RowStyle::Log, 7, v).find("1234567.000"), std::string::npos);
    EXPECT_EQ(formatRow(RowStyle::Log, 123456, v).substr(0, 6), "123456");
}

TEST(Report, NonNumbersPrintAsThePlatformPrintsThem) {
    std::array<double, kIndicatorCount> v{};
    volatile double zero = 0.0;
    v[kSlice] = zero / zero;
    v[kFlickering] = 1.0 / zero;
    v[kExposure] = zero / zero;  // an exposure that is not a number prints INT32_MIN, as on x86-64
    char nanText[32];
    std::snprintf(nanText, sizeof nanText, "%-7.3f", static_cast<double>(v[kSlice]));
    const std::string row = formatRow(RowStyle::Log, 1, v);
    EXPECT_NE(row.find(nanText), std::string::npos);
    EXPECT_NE(row.find("inf"), std::string::npos);
    EXPECT_NE(row.find("-2147483648"), std::string::npos);
}

TEST(Report, TruncationTowardZero) {
    const struct {
        double in;
        int32_t out;
    } cases[] = {{99.9, 99},
                 {-0.5, 0},
                 {127.5, 127},
                 {-3.99, -3},
                 {2147483647.9, 2147483647},
                 {-2147483648.5, -2147483647 - 1},
                 {4e9, INT32_MIN},
                 {-4e9, INT32_MIN},
                 {std::nan(""), INT32_MIN}};
    for (const auto& c : cases) EXPECT_EQ(truncateToInt32(c.in), c.out) << c.in;
}

TEST(Report, TimingSummaryIsExact) {
    std::array<float, kIndicatorCount> seconds{};
    for (int i = 0; i < kIndicatorCount; ++i) seconds[i] = 0.001f * static_cast<float>(i + 1);
    auto avg = [&](IndicatorId id) { return static_cast<double>(seconds[id]) / 10.0f * 1000.0; };
    char expected[2048];
    std::snprintf(expected, sizeof expected, kTiming, avg(kBlockiness), avg(kSpatialActivity),
                  avg(kLetterbox), avg(kPillarbox), avg(kBlockLoss), avg(kBlur), avg(kExposure),
                  avg(kInterlace), avg(kNoise), avg(kSlice), avg(kBlackout), avg(kTemporalActivity),
                  avg(kFreezing), avg(kFlickering), avg(kContrast));
    EXPECT_EQ(timingText(seconds, 10), expected);
    // No frame: every average is a division by zero, printed as the platform prints it.
    const std::string none = timingText(seconds, 0);
    EXPECT_NE(none.find("inf ms"), std::string::npos);
}
