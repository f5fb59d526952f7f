// The public library API: analysers side by side give the command line's values.
#include <gtest/gtest.h>
#include <lumaqc/lumaqc.h>
#include <lumaqc/run.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/run.h"
#include "testcard/testcard.h"

using namespace lumaqc;

namespace {

using lumaqc::FrameValues;
using Rows = std::vector<FrameValues>;

// The test card at w x h, frames first..last (or last..first), as a frame source.
struct Clip : FrameSource {
    Clip(int w, int h, int first, int last) {
        info_ = {.path = "memory", .kind = "raw", .width = w, .height = h};
        for (int i = first; i != last + (last > first ? 1 : -1); i += last > first ? 1 : -1) {
            planes.emplace_back(static_cast<size_t>(w) * h);
            renderTestcardFrame(i, w, h, planes.back().data());
        }
        info_.frames = static_cast<int64_t>(planes.size());
    }
    const SourceInfo& info() const override { return info_; }
    ReadResult read(int64_t index, uint8_t* luma) override {
        std::memcpy(luma, planes.at(static_cast<size_t>(index)).data(), planes[0].size());
        return {};
    }
    std::vector<std::vector<uint8_t>> planes;
    SourceInfo info_;
};

struct RowsSink : ResultSink {
    bool begin(const RunInfo&) override { return true; }
    bool frame(const FrameMeta&, const FrameValues& values) override {
        rows.push_back(values);
        return true;
    }
    bool end(const RunSummary&) override { return true; }
    Rows rows;
};

Rows commandLineRows(Clip& clip, double fps, int threads) {
    RowsSink sink;
    const RunOutcome outcome =
        runAnalysis(clip, {.frames = clip.info().frames, .fps = fps, .threads = threads}, {&sink});
    EXPECT_EQ(outcome.status, 0) << outcome.message;
    return sink.rows;
}

Rows analyzerRows(const Clip& clip, double fps) {
    lumaqc::Analyzer analyzer(clip.info_.width, clip.info_.height, fps);
    Rows rows;
    for (const auto& plane : clip.planes)
        rows.push_back(analyzer.analyze(plane.data(), clip.info_.width));
    return rows;
}

// Bit for bit, so that NaN values compare equal to themselves.
bool same(const Rows& a, const Rows& b) {
    return a.size() == b.size() &&
           std::memcmp(a.data(), b.data(), a.size() * sizeof(FrameValues)) == 0;
}

}  // namespace

// Two analysers fed alternately keep their own previous picture, freeze
// counter and flicker counters: each gives the rows of a run of its clip
// alone, and those are the command line's rows on any number of threads.
TEST(Analyzer, InterleavedAnalysersGiveTheRowsOfSeparateRuns) {
    // The test card's last scenes (lost block, black, frozen, recovery) and,
    // smaller and backwards, at another frame rate.
    Clip cif(352, 288, 88, testcardFrameCount() - 1);
    Clip small(176, 144, testcardFrameCount() - 1, 88);
    lumaqc::Analyzer a(352, 288, 25.0), b(176, 144, 30.0);
    Rows rowsA, rowsB;
    for (size_t i = 0; i < cif.planes.size(); ++i) {
        rowsA.push_back(a.analyze(cif.planes[i].data(), 352));
        rowsB.push_back(b.analyze(small.planes[i].data(), 176, 176, 144));
    }
    EXPECT_EQ(a.frames(), static_cast<int64_t>(cif.planes.size()));
    EXPECT_TRUE(same(rowsA, analyzerRows(cif, 25.0))) << "clip A alone";
    EXPECT_TRUE(same(rowsB, analyzerRows(small, 30.0))) << "clip B alone";
    EXPECT_TRUE(same(rowsA, commandLineRows(cif, 25.0, 1))) << "clip A, command line, 1 thread";
    EXPECT_TRUE(same(rowsB, commandLineRows(small, 30.0, 2))) << "clip B, command line, 2 threads";
    // The clips exercise the temporal state: freezes and flicker ratings occur.
    for (const Rows* rows : {&rowsA, &rowsB}) {
        EXPECT_TRUE(std::any_of(rows->begin(), rows->end(),
                                [](auto& v) { return v[lumaqc::kFreezing] == 1.0; }));
        EXPECT_TRUE(std::any_of(rows->begin(), rows->end(),
                                [](auto& v) { return v[lumaqc::kFlickering] > 0.0; }));
    }
}

TEST(Analyzer, RejectsWhatItCannotAnalyse) {
    for (const auto [w, h] : {std::array{0, 10}, {10, -5}, {65536, 65536}, {INT32_MAX, 2}})
        EXPECT_THROW(lumaqc::Analyzer(w, h, 25.0), std::invalid_argument) << w << "x" << h;
    lumaqc::Analyzer analyzer(16, 16, 25.0);
    const std::vector<uint8_t> plane(16 * 16, 128);
    EXPECT_THROW(analyzer.analyze(nullptr, 16), std::invalid_argument);
    EXPECT_THROW(analyzer.analyze(plane.data(), 15), std::invalid_argument);
    EXPECT_THROW(analyzer.analyze(plane.data(), 16, 16, 15), std::invalid_argument);
    EXPECT_EQ(analyzer.frames(), 0);  // refused planes are not frames
}

// The public run interface: a caller's Sink gets the Analyzer's values with
// the input's description; the built-in outputs are made by the factories,
// and what cannot start says so in one line.
TEST(VideoAnalysis, RunsAnInputIntoCallersAndBuiltInSinks) {
    // A folder of its own: runs of the suite side by side must not share files.
    std::string dir = ::testing::TempDir() + "lumaqc-api-XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    const Clip clip(96, 64, 0, 11);
    const std::string path = dir + "/video_analysis.yuv";
    {
        std::ofstream file(path, std::ios::binary);
        for (const auto& plane : clip.planes)
            file << std::string(plane.begin(), plane.end()) << std::string(96 * 64 / 2, '\x80');
    }
    struct Collect : lumaqc::Sink {
        bool begin(const VideoInfo& video) override {
            info = video;
            return true;
        }
        bool frame(const FrameInfo& frame, const FrameValues& values) override {
            seconds.push_back(frame.seconds);
            rows.push_back(values);
            return true;
        }
        bool end(const lumaqc::RunResult& result) override {
            ended = result.complete;
            return true;
        }
        VideoInfo info;
        std::vector<double> seconds;
        Rows rows;
        bool ended = false;
    } collect;

    std::string error;
    auto analysis =
        VideoAnalysis::open({.path = path, .width = 96, .height = 64, .fps = 50.0}, error);
    ASSERT_TRUE(analysis) << error;
    auto csv = makeCsvSink(dir + "/video_analysis.csv", error);
    ASSERT_TRUE(csv) << error;
    const lumaqc::RunResult result = analysis->run({csv.get(), &collect});
    EXPECT_TRUE(result.ok && result.complete) << result.message;
    EXPECT_EQ(result.framesDone, 12);
    EXPECT_TRUE(same(collect.rows, analyzerRows(clip, 50.0)));
    EXPECT_TRUE(collect.ended);
    EXPECT_EQ(collect.seconds.at(3), 3 / 50.0);
    EXPECT_EQ(collect.info.kind, "raw");
    EXPECT_EQ(collect.info.codec, "rawvideo");
    EXPECT_EQ(collect.info.frames, 12);  // every whole frame of the file
    EXPECT_EQ(collect.info.fps, 50.0);
    csv.reset();
    std::ifstream written(dir + "/video_analysis.csv");
    EXPECT_EQ(std::count(std::istreambuf_iterator<char>(written), {}, '\n'), 13);  // header, rows

    EXPECT_FALSE(VideoAnalysis::open({.path = dir + "/missing.mkv"}, error));
    EXPECT_NE(error.find("missing.mkv"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_FALSE(makeJsonSink(dir + "/no/such/dir/x.json", error));
    EXPECT_NE(error.find("x.json"), std::string::npos) << error;
    EXPECT_STREQ(lumaqc::version(), LUMAQC_VERSION_STRING);
    EXPECT_EQ(lumaqc::versionNumber(), LUMAQC_VERSION_NUMBER);
    std::filesystem::remove_all(dir);
}

// The smallest and thinnest pictures (down to 1 x 1, one row or one column of
// 4320): ten frames each analysed without error, the same bits on one thread
// and on three.
TEST(Analyzer, SmallestAndThinnestPictures) {
    const struct {
        int w, h;
    } sizes[] = {{1, 1}, {1, 2}, {2, 1},   {2, 2},   {3, 3},    {1, 17},   {17, 1},   {7, 9},
                 {8, 8}, {9, 8}, {15, 17}, {16, 16}, {8192, 1}, {1, 4320}, {255, 257}};
    for (const auto& size : sizes) {
        Clip clip(size.w, size.h, 40, 49);
        const Rows one = commandLineRows(clip, 25.0, 1);
        EXPECT_EQ(one.size(), 10u) << size.w << "x" << size.h;
        EXPECT_TRUE(same(one, commandLineRows(clip, 25.0, 3))) << size.w << "x" << size.h;
    }
}
