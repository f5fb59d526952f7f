// The raw 4:2:0 readers on any bytes and any small picture size: a file read
// at frame offsets (through the same opening as the command line) and a
// stream read front to back. The first bytes choose the size, the start frame
// and the number of frames; the rest is the video.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_input.h"
#include "fuzz/reader_support.h"
#include "io/frame_source.h"
#include "io/input_stream.h"
#include "io/raw_stream_source.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int32_t w = in.range(1, 96);
    const int32_t h = in.range(1, 96);
    const int64_t start = in.range(0, 4);
    const int count = in.range(0, 6);
    const uint8_t* video = in.rest();
    const size_t bytes = in.remaining();
    // A Y4M signature makes it Y4M input, whose header may declare any size.
    if (bytes >= 10 && std::memcmp(video, "YUV4MPEG2 ", 10) == 0) return 0;

    {
        MemoryFile file(video, bytes);
        SourceRequest request;
        request.path = file.path();
        request.width = w;
        request.height = h;
        std::string error;
        std::unique_ptr<FrameSource> source = openFrameSource(request, error);
        if (!source) {
            // Only a Y4M signature makes sized input anything but raw.
            require(!error.empty() && error.back() == '\n', "a refused input without a message");
            return 0;
        }
        if (source->info().kind == "raw") {
            const int64_t frameSize = static_cast<int64_t>(w) * h * 3 / 2;
            require(source->info().frames == static_cast<int64_t>(bytes) / frameSize,
                    "the frame count is not the number of whole frames");
        }
        readFrames(*source, start, count);
    }

    if (FILE* stream = memoryStream(video, bytes)) {
        RawStreamSource source(std::make_unique<InputStream>(stream, "stream"), "-", w, h);
        readFrames(source, start, count);
    }
    return 0;
}
