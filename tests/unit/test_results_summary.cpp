// The summary behind the JSON document and the HTML report: output values,
// nearest-rank statistics, frozen and blackout intervals, flicker ratings;
// and the progress bar's text.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>

#include "report/progress.h"
#include "report/results_summary.h"

using namespace lumaqc;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A frame with the given temporal activity and flags; other values 0.
lumaqc::FrameValues frameWith(double ta, double blackout, double freezing, double flicker = -1.0) {
    lumaqc::FrameValues v{};
    v[kTemporalActivity] = ta;
    v[kBlackout] = blackout;
    v[kFreezing] = freezing;
    v[kFlickering] = flicker;
    return v;
}

}  // namespace

TEST(ResultsSummary, OutputValues) {
    struct Case {
        IndicatorId id;
        double value;
        bool first;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {kBlockiness, 0.5, false, 0.5},
        {kBlockiness, -1.0, false, -1.0},  // -1 is a marker only where the indicator says so
        {kBlockLoss, -1.0, false, std::nullopt},
        {kSlice, -1.0, false, std::nullopt},
        {kFlickering, -1.0, false, std::nullopt},
        {kFlickering, 0.0, true, std::nullopt},  // the first frame's start value
        {kFlickering, 0.25, false, 0.25},
        {kTemporalActivity, 0.0, true, 0.0},
        {kContrast, kNaN, false, std::nullopt},
        {kContrast, -kInf, false, std::nullopt},
        {kExposure, 135.75, false, 135.0},  // the integer part the rows print
        {kExposure, -0.5, false, 0.0},
        {kExposure, 3e9, false, std::nullopt},  // beyond what the rows can print
        {kBlackout, 1.0, false, 1.0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(outputValue(c.id, c.value, c.first), c.expected)
            << indicatorKey(c.id) << " " << c.value;
    }
}

TEST(ResultsSummary, NearestRankStatistics) {
    ResultsRecorder recorder;
    // Contrast 20, 19, ..., 1 over twenty frames, and one NaN frame.
    for (int i = 0; i < 21; ++i) {
        lumaqc::FrameValues v = frameWith(1.0, 0.0, 0.0);
        v[kContrast] = i == 10 ? kNaN : static_cast<double>(20 - i + (i > 10 ? 1 : 0));
        recorder.add(i, v);
    }
    const IndicatorStats s = recorder.stats(kContrast);
    EXPECT_EQ(s.count, 20);
    EXPECT_EQ(s.mean, 10.5);
    EXPECT_EQ(s.min, 1.0);
    EXPECT_EQ(s.max, 20.0);
    EXPECT_EQ(s.p5, 1.0);    // rank ceil(1.0) = 1
    EXPECT_EQ(s.p50, 10.0);  // rank 10
    EXPECT_EQ(s.p95, 19.0);  // rank 19

    ResultsRecorder one;
    lumaqc::FrameValues v = frameWith(0.0, 0.0, 0.0);
    v[kNoise] = 7.0;
    one.add(5, v);
    const IndicatorStats single = one.stats(kNoise);
    EXPECT_EQ(single.count, 1);
    EXPECT_EQ(single.p5, 7.0);
    EXPECT_EQ(single.p95, 7.0);
    EXPECT_EQ(one.stats(kBlockLoss).count, 1);  // 0 is a value
    EXPECT_EQ(one.stats(kFlickering).count, 0);
}

// Frozen intervals reach back over the repeats counted before the flag
// rose; a blackout between repeats, or a change, ends them.
TEST(ResultsSummary, Intervals) {
    ResultsRecorder r;
    int64_t i = 10;
    r.add(i++, frameWith(0.0, 0.0, 0.0));  // first frame: not a repeat
    r.add(i++, frameWith(5.0, 0.0, 0.0));  // 11 changes
    r.add(i++, frameWith(0.0, 0.0, 0.0));  // 12 repeats 11
    r.add(i++, frameWith(0.0, 0.0, 0.0));
    r.add(i++, frameWith(0.0, 0.0, 1.0));  // 14 flagged after three repeats
    r.add(i++, frameWith(0.0, 0.0, 1.0));  // 15
    r.add(i++, frameWith(9.0, 1.0, 0.0));  // 16 black
    r.add(i++, frameWith(0.0, 1.0, 0.0));  // 17 black, repeated
    r.add(i++, frameWith(0.0, 0.0, 0.0));  // 18 repeats a black picture, not black
    r.add(i++, frameWith(3.0, 1.0, 0.0));  // 19 black again
    EXPECT_EQ(r.frozenIntervals().size(), 1u);
    EXPECT_EQ(r.frozenIntervals()[0].first, 11);
    EXPECT_EQ(r.frozenIntervals()[0].last, 15);
    ASSERT_EQ(r.blackoutIntervals().size(), 2u);
    EXPECT_EQ(r.blackoutIntervals()[0].first, 16);
    EXPECT_EQ(r.blackoutIntervals()[0].last, 17);
    EXPECT_EQ(r.blackoutIntervals()[1].first, 19);
    EXPECT_EQ(r.blackoutIntervals()[1].frames(), 1);

    EXPECT_EQ(durationSeconds(12, 25.0), 0.48);
    EXPECT_EQ(durationSeconds(12, 0.0), std::nullopt);
    EXPECT_EQ(durationSeconds(12, -25.0), std::nullopt);
    EXPECT_EQ(durationSeconds(12, kNaN), std::nullopt);
    EXPECT_EQ(durationSeconds(12, kInf), std::nullopt);
}

TEST(ResultsSummary, FlickerRatings) {
    ResultsRecorder r;
    r.add(0, frameWith(0.0, 0.0, 0.0, 0.0));  // start value, not a rating
    r.add(1, frameWith(1.0, 0.0, 0.0, -1.0));
    r.add(8, frameWith(1.0, 0.0, 0.0, 0.5));
    r.add(16, frameWith(1.0, 0.0, 0.0, kNaN));
    ASSERT_EQ(r.flickerRatings().size(), 2u);
    EXPECT_EQ(r.flickerRatings()[0].frame, 8);
    EXPECT_EQ(r.flickerRatings()[0].value, 0.5);
    EXPECT_EQ(r.flickerRatings()[1].frame, 16);
    EXPECT_EQ(r.flickerRatings()[1].value, std::nullopt);
}

TEST(Progress, Text) {
    struct Case {
        int64_t done;
        int64_t total;
        double seconds;
        int columns;
        std::string expected;
    };
    const Case cases[] = {
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
    for (const Case& c : cases) {
        EXPECT_EQ(formatProgress(c.done, c.total, c.seconds, c.columns), c.expected)
            << c.done << "/" << c.total << " in " << c.columns << " columns";
    }
}

// The bar draws on the first frame and then at most every tenth of a second;
// the eraser wipes it before a row and it comes back with the next frame;
// nothing is drawn after the end.
TEST(Progress, DrawsAndWipes) {
    FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    ProgressBar bar(stream);
    SourceInfo source;
    RunInfo run;
    run.source = &source;
    run.frames = 4;
    const lumaqc::FrameValues values{};
    bar.begin(run);
    bar.eraser().frame(0, values);  // nothing shown yet: nothing to wipe
    bar.frame(0, values);           // the first frame always draws
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    bar.eraser().frame(1, values);
    bar.frame(1, values);  // draws
    bar.eraser().frame(2, values);
    bar.frame(2, values);  // redrawn at once: the row wiped it
    bar.eraser().end(RunSummary{});
    bar.end(RunSummary{});
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    bar.frame(3, values);  // after the end: never drawn

    std::rewind(stream);
    std::string text(512, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), stream));
    std::fclose(stream);
    const std::string erase = "\r\033[K";
    ASSERT_EQ(text.substr(0, erase.size()), erase);
    EXPECT_EQ(text.substr(erase.size(), 12), "1/4 frames [");
    EXPECT_NE(text.find(erase + "2/4 frames ["), std::string::npos);
    EXPECT_NE(text.find(erase + "3/4 frames ["), std::string::npos);
    EXPECT_EQ(text.find("4/4 frames ["), std::string::npos);    // after the end
    EXPECT_EQ(text.substr(text.size() - erase.size()), erase);  // wiped at the end
}

TEST(Progress, RedrawsAtMostEveryTenthOfASecond) {
    FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    ProgressBar bar(stream);
    SourceInfo source;
    RunInfo run;
    run.source = &source;
    run.frames = 3;
    const lumaqc::FrameValues values{};
    bar.begin(run);
    for (int64_t i = 0; i < 3; ++i) bar.frame(i, values);  // in quick succession
    std::rewind(stream);
    std::string text(512, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), stream));
    std::fclose(stream);
    EXPECT_NE(text.find("1/3 frames ["), std::string::npos);
    EXPECT_EQ(text.find("2/3 frames ["), std::string::npos);
    EXPECT_EQ(text.find("3/3 frames ["), std::string::npos);
}
