// The raw 4:2:0 readers on any bytes and any small picture size: a file read
// at frame offsets (through the same opening as the command line) and a
// stream read front to back. The first bytes choose the size, the start frame
// and the number of frames; the rest is the video.
#include "fuzz/reader_support.h"
#include "io/raw_stream_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int32_t w = in.range(1, 96), h = in.range(1, 96);
    const int64_t start = in.range(0, 4);
    const int count = in.range(0, 6);
    std::string video(reinterpret_cast<const char*>(in.rest()), in.remaining());
    // A Y4M signature makes it Y4M input, whose header may declare any size.
    if (video.rfind("YUV4MPEG2 ", 0) == 0) return 0;
    int fd = -1;
    if (auto source = openAsFile(video, w, h, fd)) {
        require(
            source->info().frames == static_cast<int64_t>(video.size()) / (int64_t{w} * h * 3 / 2),
            "the frame count is not the number of whole frames");
        readFrames(*source, start, count);
    }
    close(fd);
    if (auto stream = asStream(video)) {
        RawStreamSource source(std::move(stream), "-", w, h);
        readFrames(source, start, count);
    }
    return 0;
}
