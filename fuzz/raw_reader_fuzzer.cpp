// The raw readers on any bytes, any small picture size and a few sample
// layouts: a file read at frame offsets (through the same opening as the
// command line) and a stream read front to back. The first bytes choose the
// size, the start frame, the number of frames and the layout; the rest is the
// video.
#include <iterator>

#include "fuzz/reader_support.h"
#include "io/pixel_format.h"
#include "io/raw_stream_source.h"
#include "io/sample_reducer.h"

namespace {

// The default layout first; then others that differ in chroma planes,
// subsampling, sample size and the bits samples are kept in.
const char* const kFormats[] = {"",       "yuv420p",  "yuv422p",     "nv21",
                                "gray",   "gray10le", "yuv420p10le", "p010le",
                                "p416le", "yuva444p", "yuv444p16le", "yuv411p"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int32_t w = in.range(1, 96), h = in.range(1, 96);
    const int64_t start = in.range(0, 4);
    const int count = in.range(0, 6);
    const std::string pixelFormat =
        kFormats[in.range(0, static_cast<int32_t>(std::size(kFormats)) - 1)];
    std::string video(reinterpret_cast<const char*>(in.rest()), in.remaining());
    // A Y4M signature makes it Y4M input, whose header may declare any size.
    if (video.rfind("YUV4MPEG2 ", 0) == 0) return 0;
    const PixelFormat* format = findPixelFormat(pixelFormat);
    int fd = -1;
    if (auto source = openAsFile(video, w, h, fd, pixelFormat)) {
        const int64_t frameSize = format ? frameBytes(*format, w, h) : defaultRawFrameBytes(w, h);
        require(source->info().frames == static_cast<int64_t>(video.size()) / frameSize,
                "the frame count is not the number of whole frames");
        readFrames(*source, start, count);
    }
    close(fd);
    FrameLayout layout;
    std::string error;
    if (!makeFrameLayout(format, w, h, layout, error)) return 0;  // no libswscale
    if (auto stream = asStream(video)) {
        RawStreamSource source(std::move(stream), "-", w, h, std::move(layout));
        readFrames(source, start, count);
    }
    return 0;
}
