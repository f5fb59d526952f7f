// Frame sources: Y4M frame layouts (odd sizes, mono, FRAME parameters).
#include <gtest/gtest.h>

#include <cstdio>
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
