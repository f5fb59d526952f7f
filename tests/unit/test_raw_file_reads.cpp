// Raw file reads past the end of the file show the samples of the frame read
// two before (whole frames go straight to the caller, only the last two pass
// through the source's own buffers).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "io/frame_source.h"

using namespace lumaqc;

namespace {

constexpr int32_t W = 16;
constexpr int32_t H = 8;
constexpr size_t kLuma = W * H;
constexpr size_t kFrame = kLuma * 3 / 2;

// `frames` whole frames, luma of frame k all k + 1, then `tail` bytes of 99.
std::string writeClip(int frames, size_t tail) {
    const std::string path =
        (std::filesystem::temp_directory_path() /
         ("lumaqc_raw_reads_" + std::to_string(frames) + "_" + std::to_string(tail) + ".yuv"))
            .string();
    std::string bytes;
    for (int k = 0; k < frames; ++k) {
        bytes.append(kLuma, static_cast<char>(k + 1));
        bytes.append(kFrame - kLuma, static_cast<char>(128));
    }
    bytes.append(tail, static_cast<char>(99));
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
}

}  // namespace

TEST(RawFileReads, FramesPastTheEndRepeatTheFrameReadTwoBefore) {
    for (const size_t tail : {size_t{0}, size_t{50}}) {
        const int frames = 7;
        const std::string path = writeClip(frames, tail);
        for (const int64_t start : {0, 1, 4, 5, 6, 9}) {
            std::string error;
            auto source = openFrameSource(SourceRequest{path, W, H}, error);
            ASSERT_TRUE(source) << error;
            // What each read should deliver: a model of two buffers taking
            // the reads in turn, a read past the end overwriting only what
            // the file still holds.
            std::vector<std::vector<uint8_t>> model(2, std::vector<uint8_t>(kLuma, 0));
            for (int64_t i = start; i < start + 10; ++i) {
                std::vector<uint8_t>& expected = model[(i - start) % 2];
                if (i < frames) {
                    expected.assign(kLuma, static_cast<uint8_t>(i + 1));
                } else if (i == frames) {
                    for (size_t k = 0; k < tail; ++k) expected[k] = 99;
                }
                std::vector<uint8_t> luma(kLuma, 200);
                const ReadResult r = source->read(i, luma.data());
                ASSERT_EQ(r.status, ReadStatus::Ok) << r.message;
                EXPECT_EQ(luma, expected)
                    << "tail " << tail << ", start " << start << ", frame " << i;
            }
        }
        std::filesystem::remove(path);
    }
}
