// The public library API: Analyzer, indicator keys and names, version.
#include <gtest/gtest.h>
#include <lumaqc/lumaqc.h>

#include <cstring>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/run.h"
#include "testcard/testcard.h"

using namespace lumaqc;

namespace {

using lumaqc::FrameValues;

struct Clip {
    int w;
    int h;
    std::vector<std::vector<uint8_t>> planes;
};

// The test card at w x h, frames in the order given.
Clip testcardClip(int w, int h, const std::vector<int>& order) {
    Clip clip{w, h, {}};
    for (const int index : order) {
        std::vector<uint8_t> plane(static_cast<size_t>(w) * static_cast<size_t>(h));
        renderTestcardFrame(index, w, h, plane.data());
        clip.planes.push_back(std::move(plane));
    }
    return clip;
}

std::vector<int> range(int first, int last) {
    std::vector<int> out;
    for (int i = first; i <= last; ++i) out.push_back(i);
    return out;
}

// Frames from memory, for the command line's frame loop.
class MemorySource : public FrameSource {
  public:
    explicit MemorySource(const Clip& clip) : clip_(clip) {
        info_.path = "memory";
        info_.kind = "raw";
        info_.width = clip.w;
        info_.height = clip.h;
        info_.frames = static_cast<int64_t>(clip.planes.size());
    }
    const SourceInfo& info() const override { return info_; }
    ReadResult read(int64_t index, uint8_t* luma) override {
        const std::vector<uint8_t>& plane = clip_.planes.at(static_cast<size_t>(index));
        std::memcpy(luma, plane.data(), plane.size());
        return {};
    }

  private:
    const Clip& clip_;
    SourceInfo info_;
};

class RowsSink : public ResultSink {
  public:
    bool begin(const RunInfo&) override { return true; }
    bool frame(int64_t, const FrameValues& values) override {
        rows.push_back(values);
        return true;
    }
    bool end(const RunSummary&) override { return true; }
    std::vector<FrameValues> rows;
};

std::vector<FrameValues> pipelineRows(const Clip& clip, double fps, int threads) {
    MemorySource source(clip);
    RowsSink sink;
    RunOptions options;
    options.frames = static_cast<int64_t>(clip.planes.size());
    options.fps = fps;
    options.threads = threads;
    const RunOutcome outcome = runAnalysis(source, options, {&sink});
    EXPECT_EQ(outcome.status, 0) << outcome.message;
    return sink.rows;
}

std::vector<FrameValues> analyzerRows(const Clip& clip, double fps) {
    lumaqc::Analyzer analyzer(clip.w, clip.h, fps);
    std::vector<FrameValues> rows;
    for (const std::vector<uint8_t>& plane : clip.planes) {
        rows.push_back(analyzer.analyze(plane.data(), clip.w));
    }
    return rows;
}

// Bit-for-bit equality, so that NaN rows compare equal to themselves.
void expectSameRows(const std::vector<FrameValues>& actual,
                    const std::vector<FrameValues>& expected, const std::string& what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (size_t row = 0; row < actual.size(); ++row) {
        for (int id = 0; id < lumaqc::kIndicatorCount; ++id) {
            const double a = actual[row][static_cast<size_t>(id)];
            const double e = expected[row][static_cast<size_t>(id)];
            EXPECT_EQ(std::memcmp(&a, &e, sizeof a), 0)
                << what << ": frame " << row << ", "
                << lumaqc::indicatorKey(static_cast<lumaqc::IndicatorId>(id)) << ": " << a
                << " != " << e;
        }
    }
}

}  // namespace

// Two analysers fed alternately keep their own previous picture, freeze
// counter and flicker counters: each gives the rows of a run of its clip
// alone, and those are the command line's rows on any number of threads.
TEST(Analyzer, InterleavedAnalysersGiveTheRowsOfSeparateRuns) {
    // The test card's last scenes: lost block, black, frozen, recovery.
    const std::vector<int> frames = range(88, testcardFrameCount() - 1);
    const Clip cif = testcardClip(352, 288, frames);
    // A different clip: another size, frames in reverse order, another frame rate.
    std::vector<int> reversed = frames;
    std::reverse(reversed.begin(), reversed.end());
    const Clip small = testcardClip(176, 144, reversed);

    lumaqc::Analyzer a(cif.w, cif.h, 25.0);
    lumaqc::Analyzer b(small.w, small.h, 30.0);
    std::vector<FrameValues> rowsA;
    std::vector<FrameValues> rowsB;
    for (size_t i = 0; i < cif.planes.size(); ++i) {
        rowsA.push_back(a.analyze(cif.planes[i].data(), cif.w));
        rowsB.push_back(b.analyze(small.planes[i].data(), small.w, small.w, small.h));
    }
    EXPECT_EQ(a.frames(), static_cast<int64_t>(cif.planes.size()));

    expectSameRows(rowsA, analyzerRows(cif, 25.0), "clip A alone");
    expectSameRows(rowsB, analyzerRows(small, 30.0), "clip B alone");
    expectSameRows(rowsA, pipelineRows(cif, 25.0, 1), "clip A, command line, 1 thread");
    expectSameRows(rowsB, pipelineRows(small, 30.0, 2), "clip B, command line, 2 threads");

    // The clips exercise the temporal state: freezes and flicker ratings occur.
    const auto count = [](const std::vector<FrameValues>& rows, lumaqc::IndicatorId id, auto pred) {
        return std::count_if(rows.begin(), rows.end(),
                             [&](const FrameValues& v) { return pred(v[id]); });
    };
    EXPECT_GT(count(rowsA, lumaqc::kFreezing, [](double v) { return v == 1.0; }), 0);
    EXPECT_GT(count(rowsB, lumaqc::kFreezing, [](double v) { return v == 1.0; }), 0);
    EXPECT_GT(count(rowsA, lumaqc::kFlickering, [](double v) { return v > 0.0; }), 0);
}

TEST(Analyzer, PaddedRowsGiveTheSameValuesAsTightRows) {
    const Clip clip = testcardClip(97, 61, range(0, 9));  // odd size
    const int stride = 128;
    lumaqc::Analyzer padded(clip.w, clip.h, 25.0);
    std::vector<FrameValues> rows;
    for (const std::vector<uint8_t>& plane : clip.planes) {
        std::vector<uint8_t> wide(static_cast<size_t>(stride) * clip.h, 0xEE);
        for (int y = 0; y < clip.h; ++y) {
            std::memcpy(&wide[static_cast<size_t>(y) * stride],
                        &plane[static_cast<size_t>(y) * clip.w], static_cast<size_t>(clip.w));
        }
        rows.push_back(padded.analyze(wide.data(), stride));
    }
    expectSameRows(rows, analyzerRows(clip, 25.0), "stride 128");
}

TEST(Analyzer, RejectsWhatItCannotAnalyse) {
    struct Size {
        int32_t w;
        int32_t h;
    };
    for (const Size size : {Size{0, 10}, Size{10, 0}, Size{-1, 10}, Size{10, -5},
                            Size{65536, 65536}, Size{INT32_MAX, 2}}) {
        EXPECT_THROW(lumaqc::Analyzer(size.w, size.h, 25.0), std::invalid_argument)
            << size.w << "x" << size.h;
    }

    lumaqc::Analyzer analyzer(16, 16, 25.0);
    std::vector<uint8_t> plane(16 * 16, 128);
    EXPECT_THROW(analyzer.analyze(nullptr, 16), std::invalid_argument);
    EXPECT_THROW(analyzer.analyze(plane.data(), 15), std::invalid_argument);
    EXPECT_THROW(analyzer.analyze(plane.data(), 16, 16, 15), std::invalid_argument);
    EXPECT_THROW(analyzer.analyze(plane.data(), 16, 8, 16), std::invalid_argument);
    EXPECT_EQ(analyzer.frames(), 0);  // refused planes are not frames

    // The smallest picture works, and the first frame has no temporal change.
    lumaqc::Analyzer tiny(1, 1, 25.0);
    const uint8_t sample = 7;
    const FrameValues& v = tiny.analyze(&sample, 1, 1, 1);
    EXPECT_EQ(v[lumaqc::kTemporalActivity], 0.0);
    EXPECT_EQ(v[lumaqc::kFreezing], 0.0);
    EXPECT_EQ(tiny.frames(), 1);
}

TEST(Analyzer, KeysNamesAndVersion) {
    const std::regex snake("[a-z]+(_[a-z]+)*");
    std::set<std::string> keys;
    std::set<std::string> names;
    for (int id = 0; id < lumaqc::kIndicatorCount; ++id) {
        const auto indicator = static_cast<lumaqc::IndicatorId>(id);
        const std::string key = lumaqc::indicatorKey(indicator);
        EXPECT_TRUE(std::regex_match(key, snake)) << key;
        keys.insert(key);
        names.insert(lumaqc::indicatorName(indicator));
    }
    EXPECT_EQ(keys.size(), static_cast<size_t>(lumaqc::kIndicatorCount));
    EXPECT_EQ(names.size(), static_cast<size_t>(lumaqc::kIndicatorCount));
    // The keys are a stable interface of the JSON output.
    EXPECT_STREQ(lumaqc::indicatorKey(lumaqc::kBlockLoss), "block_loss");
    EXPECT_STREQ(lumaqc::indicatorKey(lumaqc::kTemporalActivity), "temporal_activity");
    EXPECT_TRUE(std::regex_match(lumaqc::version(), std::regex("[0-9]+\\.[0-9]+\\.[0-9]+")));
}
