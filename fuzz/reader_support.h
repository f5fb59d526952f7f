// The checks of the reader targets: fuzz bytes read as a file through the
// command line's opening and as a stream that cannot seek, with the promises
// every frame source makes whatever it reads.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "io/frame_source.h"
#include "io/input_stream.h"

using namespace lumaqc;

// Reads `count` frames from `start` on, as the frame loop does: a read
// delivers a frame, ends a stream, or fails with a message of whole lines;
// nothing is read after an end or an error.
inline void readFrames(FrameSource& source, int64_t start, int count) {
    const SourceInfo& info = source.info();
    require(info.width > 0 && info.height > 0, "a source without a picture size");
    require(int64_t{info.width} * info.height <= INT32_MAX,
            "a picture beyond 32-bit sample indices");
    std::vector<uint8_t> luma(static_cast<size_t>(info.width) * info.height);
    for (int64_t i = start; i < start + count; ++i) {
        const ReadResult read = source.read(i, luma.data());
        if (read.status == ReadStatus::Ok) continue;
        require(read.status == ReadStatus::End ||
                    (!read.message.empty() && read.message.back() == '\n'),
                "a read error without a message");
        break;
    }
}

// Opens the bytes as a file in memory with the command line's request (a
// size, or none); returns the source, or null after checking the refusal.
inline std::unique_ptr<FrameSource> openAsFile(const std::string& bytes, int32_t w, int32_t h,
                                               int& fd, const std::string& pixelFormat = "") {
    fd = memfd_create("lumaqc-fuzz", 0);
    require(fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()),
            "the memory file cannot be written");
    std::string error;
    SourceRequest request{"/proc/self/fd/" + std::to_string(fd), w, h};
    request.pixelFormat = pixelFormat;
    auto source = openFrameSource(request, error);
    require(source != nullptr || (!error.empty() && error.back() == '\n'),
            "a refused input without a message");
    return source;
}

// The bytes as a stream that cannot seek; null for no bytes.
inline std::unique_ptr<InputStream> asStream(std::string& bytes) {
    FILE* file = bytes.empty() ? nullptr : fmemopen(bytes.data(), bytes.size(), "rb");
    return file != nullptr ? std::make_unique<InputStream>(file, "stream") : nullptr;
}
