// Frame sources: Y4M frame layouts (odd sizes, mono, FRAME parameters) and
// raw file reads past the end of the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "io/frame_source.h"
#include "io/input_stream.h"
#include "io/y4m_source.h"

using namespace lumaqc;

TEST(Y4mSource, FrameLayouts) {
    const struct {
        int w, h;
        std::string colour;  // header parameter, may be empty
        size_t chroma;       // bytes after the luma plane of each frame (planes round up)
    } cases[] = {{7, 5, "C420", 2 * 4 * 3},
                 {7, 5, "", 2 * 4 * 3},
                 {1, 1, "C420jpeg", 2},
                 {7, 5, "Cmono", 0}};
    for (const auto& c : cases) {
        const size_t luma = static_cast<size_t>(c.w) * c.h;
        std::string bytes = "YUV4MPEG2 W" + std::to_string(c.w) + " H" + std::to_string(c.h) +
                            " F30:1 " + c.colour + "\n";
        for (int i = 0; i < 4; ++i)  // luma samples all i + 1, chroma 0xEE
            bytes += (i == 2 ? "FRAME Ip XA=1\n" : "FRAME\n") + std::string(luma, char(i + 1)) +
                     std::string(c.chroma, '\xEE');
        for (const int start : {0, 3}) {
            std::string error;
            auto source = openY4mSource(
                std::make_unique<InputStream>(fmemopen(bytes.data(), bytes.size(), "rb"), "m"),
                "clip", error);
            ASSERT_NE(source, nullptr) << error;
            EXPECT_EQ(source->info().fps, 30.0);
            std::vector<uint8_t> picture(luma);
            for (int i = start; i < 4; ++i) {
                ASSERT_EQ(source->read(i, picture.data()).status, ReadStatus::Ok)
                    << c.colour << " frame " << i;
                EXPECT_EQ(picture, std::vector<uint8_t>(luma, uint8_t(i + 1)))
                    << c.w << "x" << c.h << c.colour << i;
            }
            EXPECT_EQ(source->read(4, picture.data()).status, ReadStatus::End);
        }
    }
}

// Whole frames go straight to the caller; only the last two pass through the
// source's own two buffers, which reads past the end of the file then show.
TEST(RawFileReads, FramesPastTheEndRepeatTheFrameReadTwoBefore) {
    constexpr size_t kLuma = 16 * 8, kFrame = kLuma * 3 / 2;
    const std::string path = ::testing::TempDir() + "lumaqc_raw_reads.yuv";
    for (const size_t tail : {size_t{0}, size_t{50}}) {
        std::string bytes;  // 7 frames of luma k + 1, then `tail` bytes of 99
        for (int k = 0; k < 7; ++k)
            bytes += std::string(kLuma, char(k + 1)) + std::string(kFrame - kLuma, '\x80');
        bytes += std::string(tail, char(99));
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        std::fclose(f);
        for (const int64_t start : {0, 1, 5, 6, 9}) {
            std::string error;
            auto source = openFrameSource(SourceRequest{path, 16, 8}, error);
            ASSERT_TRUE(source) << error;
            // A model of two buffers taking the reads in turn; a read past the
            // end overwrites only what the file still holds.
            std::vector<std::vector<uint8_t>> model(2, std::vector<uint8_t>(kLuma, 0));
            for (int64_t i = start; i < start + 10; ++i) {
                std::vector<uint8_t>& expected = model[(i - start) % 2];
                if (i < 7) expected.assign(kLuma, uint8_t(i + 1));
                if (i == 7) std::fill_n(expected.begin(), tail, uint8_t{99});
                std::vector<uint8_t> luma(kLuma, 200);
                ASSERT_EQ(source->read(i, luma.data()).status, ReadStatus::Ok);
                EXPECT_EQ(luma, expected)
                    << "tail " << tail << ", start " << start << ", frame " << i;
            }
        }
    }
    std::filesystem::remove(path);
}
