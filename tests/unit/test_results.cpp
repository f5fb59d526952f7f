// The statistics of the JSON document and the HTML report, the document's
// schema against the registry and the QC conditions, the progress bar's
// text and the text rows' numbers. (The values, intervals and ratings of the summary are checked
// end to end against the test card's scenes.)
#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "indicators/registry.h"
#include "qc/conditions.h"
#include "report/progress.h"
#include "report/results_summary.h"
#include "report/text_report.h"

using namespace lumaqc;

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}  // namespace

TEST(ResultsSummary, NearestRankStatistics) {
    // Contrast 20, 19, ..., 1 over twenty frames, and one NaN frame.
    ResultsRecorder r;
    for (int i = 0; i < 21; ++i) {
        lumaqc::FrameValues v{};
        v[kFlickering] = -1.0;
        v[kContrast] = i == 10 ? kNaN : 20 - i + (i > 10);
        r.add(i, v);
    }
    const IndicatorStats s = r.stats(kContrast);
    EXPECT_EQ(s.count, 20);
    EXPECT_EQ(s.mean, 10.5);
    EXPECT_EQ(std::vector<double>({s.min, s.max, s.p5, s.p50, s.p95}),
              std::vector<double>({1.0, 20.0, 1.0, 10.0, 19.0}));  // ranks 1, 10, 19
    EXPECT_EQ(r.stats(kBlockLoss).count, 21);                      // 0 is a value
    EXPECT_EQ(r.stats(kFlickering).count, 0);
}

// The schema lists the registry's keys in column order, with the value type
// of each kind, wherever it lists indicators, and the QC conditions' names.
TEST(Schema, IndicatorsAndConditionsAreTheTables) {
    std::ifstream file(LUMAQC_SOURCE_DIR "/schema/lumaqc-results.schema.json");
    const auto schema = nlohmann::ordered_json::parse(file);
    const nlohmann::ordered_json& defs = schema["$defs"];
    std::vector<std::string> keys, properties, required = {"frame"};
    nlohmann::ordered_json types = nlohmann::ordered_json::object();
    for (const IndicatorInfo* info : indicatorColumns()) {
        keys.push_back(info->key);
        required.push_back(info->key);
        types[info->key] = info->kind == ValueKind::Real   ? R"({"$ref":"#/$defs/real"})"_json
                           : info->kind == ValueKind::Flag ? R"({"$ref":"#/$defs/flag"})"_json
                                                           : R"({"type":["integer","null"]})"_json;
    }
    EXPECT_EQ(defs["indicatorKey"]["enum"], keys);
    EXPECT_EQ(defs["frame"]["required"], required);
    nlohmann::ordered_json frameTypes = defs["frame"]["properties"];
    frameTypes.erase("frame");
    frameTypes.erase("time");
    EXPECT_EQ(frameTypes, types);
    const nlohmann::ordered_json& list = schema["properties"]["indicators"];
    EXPECT_EQ(list["minItems"], kIndicatorCount);
    EXPECT_EQ(list["maxItems"], kIndicatorCount);
    std::vector<std::string> watches;
    for (const qc::Condition& c : qc::conditions()) watches.emplace_back(c.name);
    EXPECT_EQ(defs["rule"]["properties"]["watch"]["enum"], watches);
}

TEST(Progress, Text) {
    const struct {
        int64_t done, total;
        double seconds;
        int columns;
        std::string expected;
    } cases[] = {
        {50, 200, 2.0, 100,
         "50/200 frames [#######.......................]  25%  25.0 fps  0:06 left"},
        {0, 200, 0.0, 100, "0/200 frames [..............................]   0%  - fps  -:-- left"},
        {200, 200, 4.0, 100,
         "200/200 frames [##############################] 100%  50.0 fps  0:00 left"},
        // No room for the bar, then not even for the whole text.
        {50, 200, 2.0, 44, "50/200 frames   25%  25.0 fps  0:06 left"},
        {50, 200, 2.0, 20, "50/200 frames   25% "},
        // Hours; a partial second counts as a whole one.
        {1, 100000, 1.5, 100,
         "1/100000 frames [..............................]   0%  0.7 fps  41:39:59 left"},
        {10, -1, 2.0, 100, "10 frames  5.0 fps"},
        {0, 0, 1.0, 46, "0/0 frames [##########] 100%  - fps  -:-- left"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatProgress(c.done, c.total, c.seconds, c.columns), c.expected)
            << c.done << "/" << c.total;
}

TEST(TextRows, NumbersAsPrintfWritesThem) {
    // Every column of both row styles against the registry's printf
    // conversion: ties, signed zero and not-a-number, infinities, a
    // 300-digit value, values outside the 32-bit range of flag columns.
    const double values[] = {0.125,     -0.0,   kNaN,  -kNaN,    1.0 / 0.0, -1.0 / 0.0,
                             1e300,     2.5e-5, 1e-9,  -0.99999, 3e9,       -2147483648.5,
                             123.45675, 0.5,    1.0e6, 99999.5};
    for (const double v : values) {
        FrameValues row;
        row.fill(v);
        for (const RowStyle style : {RowStyle::Console, RowStyle::Log}) {
            char text[512];
            std::string expected = "00042";
            for (const IndicatorInfo* info : indicatorColumns()) {
                const TextLayout& t = info->text;
                expected +=
                    ' ' + std::string(style == RowStyle::Console ? t.consoleRowTabs : 1, '\t');
                const char* format = style == RowStyle::Console ? t.consoleFormat : t.logFormat;
                if (info->kind == ValueKind::Real) {
                    std::snprintf(text, sizeof text, format, v);
                } else {
                    std::snprintf(text, sizeof text, format, static_cast<int>(truncateToInt32(v)));
                }
                expected += text;
            }
            EXPECT_EQ(formatRow(style, 42, row), expected + "\n") << v;
        }
    }
}
