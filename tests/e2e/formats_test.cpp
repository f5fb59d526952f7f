// End-to-end tests of the sample layouts: raw input in FFmpeg's pixel formats
// (--pix-fmt) and Y4M in its colour spaces give the rows of the 8-bit clip
// ffmpeg converts from them, samples of more than 8 bits included.

#include "e2e_support.h"

namespace {

// An odd height, so that subsampled chroma planes round up.
const std::string kSize = "160x95";

class Formats : public FfmpegTest {
  protected:
    bool needsDecoder() const override { return false; }
    void SetUp() override {
        FfmpegTest::SetUp();
        if (IsSkipped()) return;
        decoder_ = decoderSupport();
        // 16-bit samples that use all their bits: the test card scaled down
        // in 16-bit arithmetic.
        ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x190:r=25,format=yuv444p16le,scale=160:95",
                "-frames:v", "3", "-f", "rawvideo", "source.yuv"});
    }
    // `from` (raw, in `format`) converted by ffmpeg to `to`, `pixelFormat`.
    void convert(const std::string& from, const std::string& format, const std::string& to,
                 const std::string& pixelFormat, const char* container) {
        ffmpeg({"-f", "rawvideo", "-pix_fmt", format, "-s", kSize, "-i", from, "-pix_fmt",
                pixelFormat, "-strict", "-1", "-f", container, to});
    }
    // The log of a run (with `input` on its standard input when given), or
    // the run's error stream when it fails.
    std::string log(std::vector<std::string> args, const std::string* input = nullptr) {
        args.insert(args.end(), {"--log", "out.log"});
        const RunResult r = input != nullptr ? runLumaqcFed(args, dir_.path(), *input)
                                             : runLumaqc(args, dir_.path());
        return r.status == 0 ? readFile(dir_.file("out.log")) : r.err;
    }

    bool decoder_ = false;
};

}  // namespace

TEST_F(Formats, RawAndY4mGiveTheRowsOfFfmpegs8BitClip) {
    const struct {
        std::string format;
        bool y4m;  // ffmpeg writes it as Y4M too
        int depth;
    } cases[] = {
        {"yuv422p", true, 8},      {"yuv444p", true, 8},   {"nv12", false, 8},
        {"yuv420p10le", true, 10}, {"gray16le", true, 16}, {"p010le", false, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const bool reduced = c.depth > 8;
        const std::string raw = c.format + ".raw";
        convert("source.yuv", "yuv444p16le", raw, c.format, "rawvideo");
        // What ffmpeg makes of it in 8 bits, keeping the luma range.
        const bool grey = c.format.rfind("gray", 0) == 0;
        convert(raw, c.format, "reference.y4m", grey ? "gray" : "yuv420p", "yuv4mpegpipe");
        const std::string expected = log({"reference.y4m"});
        ASSERT_EQ(expected.find("Frame: "), 0u) << expected;

        std::vector<std::vector<std::string>> runs = {{raw, "160", "95", "--pix-fmt", c.format}};
        if (c.y4m) {
            convert(raw, c.format, "clip.y4m", c.format, "yuv4mpegpipe");
            runs.push_back({"clip.y4m"});
            runs.push_back({"clip.y4m", "160", "95", "--pix-fmt", c.format});
        }
        // The JSON document records the source's samples.
        if (!reduced || decoder_) {
            runLumaqc({raw, "160", "95", "--pix-fmt", c.format, "--json", "f.json"}, dir_.path());
            EXPECT_NE(readFile(dir_.file("f.json"))
                          .find("\"pixel_format\":\"" + c.format +
                                "\",\"bit_depth\":" + std::to_string(c.depth) +
                                ",\"samples_reduced\":" + (reduced ? "true" : "false")),
                      std::string::npos);
        }
        const std::string bytes = readFile(dir_.file(raw));
        runs.push_back({"-", "160", "95", "--pix-fmt", c.format});
        for (const std::vector<std::string>& args : runs) {
            const std::string out = log(args, args[0] == "-" ? &bytes : nullptr);
            if (reduced && !decoder_) {
                EXPECT_NE(out.find("it was built without libswscale"), std::string::npos) << out;
            } else {
                EXPECT_EQ(out, expected) << args[0];
            }
        }
    }
}
