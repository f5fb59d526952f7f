// Stream sources on in-memory input: peeking, Y4M frame layouts (odd sizes,
// mono, FRAME parameters) and raw frames read in order.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "io/input_stream.h"
#include "io/raw_stream_source.h"
#include "io/y4m_source.h"

using namespace lumaqc;

namespace {

// An input stream over a copy of `bytes`.
class MemoryInput {
  public:
    explicit MemoryInput(std::string bytes) : bytes_(std::move(bytes)) {}
    std::unique_ptr<InputStream> open() {
        FILE* file = fmemopen(bytes_.data(), bytes_.size(), "rb");
        EXPECT_NE(file, nullptr);
        return std::make_unique<InputStream>(file, "memory");
    }

  private:
    std::string bytes_;
};

// Frame i: luma samples all i + 1, then `chroma` bytes of 0xEE.
std::string frameBytes(int i, size_t luma, size_t chroma) {
    return std::string(luma, static_cast<char>(i + 1)) + std::string(chroma, '\xEE');
}

}  // namespace

TEST(InputStream, PeekedBytesAreReadAgain) {
    MemoryInput memory("YUV4MPEG2 W2\nrest of the stream");
    std::unique_ptr<InputStream> in = memory.open();
    EXPECT_EQ(in->peek(4), "YUV4");
    EXPECT_EQ(in->peek(10), "YUV4MPEG2 ");
    char three[3];
    ASSERT_EQ(in->read(three, 3), 3u);
    EXPECT_EQ(std::string(three, 3), "YUV");
    EXPECT_EQ(in->peek(3), "4MP");  // peeking again after a partial read
    std::string line;
    EXPECT_TRUE(in->readLine(line, 100));
    EXPECT_EQ(line, "4MPEG2 W2\n");
    EXPECT_EQ(in->skip(5), 5u);
    EXPECT_FALSE(in->readLine(line, 3));  // no line feed within the limit
    EXPECT_EQ(line, "of ");
    EXPECT_EQ(in->skip(100), 10u);  // only what is left
    EXPECT_EQ(in->peek(4), "");
    EXPECT_FALSE(in->readLine(line, 100));
    EXPECT_EQ(line, "");
    EXPECT_FALSE(in->failed());
}

TEST(Y4mSource, FrameLayouts) {
    const struct {
        int w, h;
        std::string colour;  // header parameter, may be empty
        size_t chroma;       // bytes after the luma plane of each frame
    } cases[] = {
        {7, 5, "C420", 2 * 4 * 3},  // chroma planes round up
        {7, 5, "", 2 * 4 * 3},
        {1, 1, "C420jpeg", 2},
        {16, 9, "C420mpeg2", 2 * 8 * 5},
        {33, 17, "C420paldv", 2 * 17 * 9},
        {7, 5, "Cmono", 0},
    };
    for (const auto& c : cases) {
        const size_t luma = static_cast<size_t>(c.w) * c.h;
        std::string bytes = "YUV4MPEG2 W" + std::to_string(c.w) + " H" + std::to_string(c.h) +
                            " F30:1 " + c.colour + "\n";
        for (int i = 0; i < 4; ++i) {
            bytes += (i == 2 ? "FRAME Ip XA=1\n" : "FRAME\n") + frameBytes(i, luma, c.chroma);
        }
        for (int start : {0, 2}) {
            MemoryInput memory(bytes);
            std::string error;
            std::unique_ptr<FrameSource> source = openY4mSource(memory.open(), "clip", error);
            ASSERT_NE(source, nullptr) << error;
            EXPECT_EQ(source->info().width, c.w);
            EXPECT_EQ(source->info().height, c.h);
            EXPECT_EQ(source->info().fps, 30.0);
            EXPECT_TRUE(source->info().fpsKnown);
            std::vector<uint8_t> picture(luma);
            for (int i = start; i < 4; ++i) {
                const ReadResult r = source->read(i, picture.data());
                ASSERT_EQ(r.status, ReadStatus::Ok) << c.colour << " frame " << i << r.message;
                EXPECT_EQ(picture, std::vector<uint8_t>(luma, static_cast<uint8_t>(i + 1)))
                    << c.w << "x" << c.h << " " << c.colour << " frame " << i;
            }
            EXPECT_EQ(source->read(4, picture.data()).status, ReadStatus::End);
        }
    }
}

TEST(RawStreamSource, FramesInOrderAndTheEnd) {
    // 3 x 3: frames of (9 * 3) / 2 = 13 bytes, 4 of them after the luma.
    std::string bytes;
    for (int i = 0; i < 3; ++i) bytes += frameBytes(i, 9, 4);
    bytes += std::string(12, '\x55');  // a partial frame
    for (int start : {0, 1, 2, 3, 5}) {
        MemoryInput memory(bytes);
        RawStreamSource source(memory.open(), "-", 3, 3);
        EXPECT_EQ(source.info().frames, -1);
        std::vector<uint8_t> picture(9);
        int i = start;
        for (; i < 3; ++i) {
            ASSERT_EQ(source.read(i, picture.data()).status, ReadStatus::Ok);
            EXPECT_EQ(picture, std::vector<uint8_t>(9, static_cast<uint8_t>(i + 1)));
        }
        EXPECT_EQ(source.read(i, picture.data()).status, ReadStatus::End) << "start " << start;
    }
}
