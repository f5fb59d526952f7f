// Frame sources: Y4M frame layouts (odd sizes, mono, FRAME parameters), and
// files cut while their frames are analysed in a mapping.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/run.h"
#include "io/frame_source.h"
#include "io/input_stream.h"
#include "io/mapped_frames.h"
#include "io/y4m_source.h"

using namespace lumaqc;

TEST(Y4mSource, FrameLayouts) {
    const struct {
        int w, h;
        std::string colour;  // header parameter, may be empty
        size_t chroma;       // bytes after the luma plane of each frame (planes round up)
    } cases[] = {
        {7, 5, "C420", 2 * 4 * 3}, {7, 5, "", 2 * 4 * 3},     {1, 1, "C420jpeg", 2},
        {7, 5, "Cmono", 0},        {7, 5, "C422", 2 * 4 * 5}, {7, 5, "C411", 2 * 2 * 5},
        {7, 5, "C440", 2 * 7 * 3}, {7, 5, "C444", 2 * 7 * 5}, {7, 5, "C444alpha", 3 * 7 * 5}};
    for (const auto& c : cases) {
        const size_t luma = static_cast<size_t>(c.w) * c.h;
        std::string bytes = "YUV4MPEG2 W" + std::to_string(c.w) + " H" + std::to_string(c.h) +
                            " F30:1 " + c.colour + "\n";
        // Luma samples all i + 1; Cb 0x40, Cr 0xC0, alpha 0xEE.
        const size_t plane = c.chroma / (c.colour.ends_with("alpha") ? 3 : 2);
        for (int i = 0; i < 4; ++i)
            bytes += (i == 2 ? "FRAME Ip XA=1\n" : "FRAME\n") + std::string(luma, char(i + 1)) +
                     std::string(plane, '\x40') + std::string(plane, '\xC0') +
                     std::string(c.chroma - 2 * plane, '\xEE');
        // Read in order, as from a pipe, and at offsets from a file.
        for (const int start : {0, 3, 10, 13}) {
            FILE* file = start < 10 ? fmemopen(bytes.data(), bytes.size(), "rb") : std::tmpfile();
            if (start >= 10) {
                std::fwrite(bytes.data(), 1, bytes.size(), file);
                std::rewind(file);
            }
            std::string error;
            auto source =
                openY4mSource(std::make_unique<InputStream>(file, "m"), "clip", error,
                              start < 10 ? InputFile{} : InputFile{"f", int64_t(bytes.size())});
            ASSERT_NE(source, nullptr) << error;
            EXPECT_EQ(source->info().fps, 30.0);
            std::vector<uint8_t> picture(luma);
            // Kept for the report, the colour scales to any size (none for mono).
            if (start % 10 > 0) source->keepColour();
            for (int i = start % 10; i < 4; ++i) {
                const ReadResult read = source->read(i, picture.data());
                ASSERT_EQ(read.status, ReadStatus::Ok) << c.colour << " frame " << i;
                std::vector<uint8_t> cb(6), cr(6);
                EXPECT_EQ(read.colour && read.colour->chroma(3, 2, cb.data(), cr.data()),
                          start % 10 > 0 && c.chroma > 0 && !decoderLibraries().empty());
                EXPECT_EQ(cb, std::vector<uint8_t>(6, read.colour ? 0x40 : 0)) << c.colour;
                EXPECT_EQ(cr, std::vector<uint8_t>(6, read.colour ? 0xC0 : 0)) << c.colour;
                EXPECT_EQ(picture, std::vector<uint8_t>(luma, uint8_t(i + 1)))
                    << c.w << "x" << c.h << c.colour << i;
            }
            EXPECT_EQ(source->has(4), start < 10 ? ReadStatus::Ok : ReadStatus::End);
            EXPECT_EQ(source->read(4, picture.data()).status, ReadStatus::End);
        }
    }
}

namespace {

// A file source that cuts its file to `cutTo` bytes once frame `cutAt` was
// handed over, before it is analysed.
struct CuttingSource : FrameSource {
    const SourceInfo& info() const override { return inner->info(); }
    ReadResult read(int64_t index, uint8_t* luma) override { return inner->read(index, luma); }
    bool readsConcurrently() const override { return inner->readsConcurrently(); }
    ReadStatus has(int64_t index) const override { return inner->has(index); }
    ReadResult readHeld(int64_t index, uint8_t* luma, HeldLuma& held) override {
        const ReadResult result = inner->readHeld(index, luma, held);
        if (index == cutAt) {
            mappedCut = held.data != nullptr;
            EXPECT_EQ(truncate(path.c_str(), cutTo), 0) << std::strerror(errno);
        }
        return result;
    }
    std::unique_ptr<FrameSource> inner;
    std::string path;
    int64_t cutAt = -1, cutTo = 0;
    bool mappedCut = false;
};

struct Rows : ResultSink {
    bool begin(const RunInfo&) override { return true; }
    bool frame(const FrameMeta&, const FrameValues& values) override {
        rows.push_back(values);
        return true;
    }
    bool end(const RunSummary&) override { return true; }
    std::vector<FrameValues> rows;
};

}  // namespace

TEST(MappedFrames, FileCutWhileAFrameIsAnalysedEndsTheRunAsAShortRead) {
    // 128 x 96 frames (luma 3 pages) of a raw file and a Y4M file, cut right
    // after frame 2 was mapped: inside its first page (the pages after it
    // fault), inside its last page (zeros, no fault), inside its chroma (the
    // luma is whole: the next frame is short). The run ends as a short read
    // of that frame ends it, the rows before it kept, at two and three
    // threads (frames mapped by the threads that compute them; one thread
    // has them copied by a helper).
    constexpr int kW = 128, kH = 96, kLuma = kW * kH, kFrame = kLuma * 3 / 2;
    ASSERT_TRUE(guardMappedFrames());
    std::string raw, y4m = "YUV4MPEG2 W128 H96 F25:1 C420\n";
    for (int i = 0; i < 6; ++i) {
        std::string frame(kFrame, '\x80');
        for (int p = 0; p < kLuma; ++p)
            frame[p] = static_cast<char>((p * 7 + i * 13 + p / kW) % 251);
        raw += frame;
        y4m += "FRAME\n" + frame;
    }
    const int64_t y4mFrame2 = 30 + 2 * (6 + kFrame) + 6;  // its samples
    char name[] = "/tmp/lumaqc-mapped-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string shrank = "The file " + std::string(name) + " shrank during the run: frame ";
    const auto y4mCut = [&](int frame) {
        return "Error reading frame " + std::to_string(frame) + " of " + std::string(name) +
               ": the stream ends inside the frame (";
    };
    const struct {
        bool y4m;
        int64_t cutTo;
        size_t rows;
        std::string error;
    } cases[] = {
        {false, 2 * kFrame + 100, 2, shrank + "2 is incomplete\n"},
        {false, 2 * kFrame + kLuma - 1, 2, shrank + "2 is incomplete\n"},
        {false, 2 * kFrame + kLuma + 10, 3, shrank + "3 is incomplete\n"},
        {true, y4mFrame2 + 5000, 2, y4mCut(2) + "5000 of 18432 bytes; truncated)\n"},
        {true, y4mFrame2 + kLuma + 10, 3, y4mCut(3) + "0 of 18432 bytes; truncated)\n"},
    };
    const auto open = [&](const std::string& bytes, bool map) {
        FILE* file = std::fopen(name, "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
        std::string error;
        auto source =
            openFrameSource({.path = name, .width = kW, .height = kH, .mapFrames = map}, error);
        EXPECT_NE(source, nullptr) << error;
        return source;
    };
    for (const auto& c : cases) {
        for (const int threads : {2, 3}) {
            const std::string& bytes = c.y4m ? y4m : raw;
            Rows clean;
            ASSERT_EQ(
                runAnalysis(*open(bytes, false), {.frames = 6, .threads = 1}, {&clean}).status, 0);
            CuttingSource source;
            source.inner = open(bytes, true);
            source.path = name;
            source.cutAt = 2;
            source.cutTo = c.cutTo;
            Rows cut;
            const RunOutcome outcome =
                runAnalysis(source, {.frames = 6, .threads = threads}, {&cut});
            EXPECT_TRUE(source.mappedCut) << c.cutTo << " " << threads;
            EXPECT_NE(outcome.status, 0) << c.cutTo << " " << threads;
            EXPECT_EQ(outcome.message, c.error) << c.cutTo << " " << threads;
            ASSERT_EQ(cut.rows.size(), c.rows) << c.cutTo << " " << threads;
            EXPECT_EQ(std::memcmp(cut.rows.data(), clean.rows.data(), c.rows * sizeof(FrameValues)),
                      0)
                << c.cutTo << " " << threads;
        }
    }
    std::remove(name);
}
