// Helpers of the reader targets: fuzz bytes as a file with a path, as a
// stream, and the checks every frame source must pass whatever it reads.
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

using namespace lumaqc;

// The bytes as a file in memory, reachable through a path.
class MemoryFile {
  public:
    MemoryFile(const uint8_t* data, size_t size) {
        fd_ = memfd_create("lumaqc-fuzz", 0);
        require(fd_ >= 0, "memfd_create failed");
        size_t done = 0;
        while (done < size) {
            const ssize_t n = write(fd_, data + done, size - done);
            require(n > 0, "writing the memory file failed");
            done += static_cast<size_t>(n);
        }
    }
    ~MemoryFile() { close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

  private:
    int fd_ = -1;
};

// The bytes as a stream that cannot seek; null for no bytes.
inline FILE* memoryStream(const uint8_t* data, size_t size) {
    if (size == 0) return nullptr;
    return fmemopen(const_cast<uint8_t*>(data), size, "rb");
}

// Reads `count` frames from `start` on, as the frame loop does, checking
// what every source promises: a read delivers a frame, ends a stream, or
// fails with a message of whole lines; nothing is read after an end or an
// error.
inline void readFrames(FrameSource& source, int64_t start, int count) {
    const SourceInfo& info = source.info();
    require(info.width > 0 && info.height > 0, "a source without a picture size");
    require(static_cast<int64_t>(info.width) * info.height <= INT32_MAX,
            "a picture beyond 32-bit sample indices");
    std::vector<uint8_t> luma(static_cast<size_t>(info.width) * info.height);
    for (int64_t i = start; i < start + count; ++i) {
        const ReadResult read = source.read(i, luma.data());
        if (read.status == ReadStatus::Ok) continue;
        if (read.status == ReadStatus::Error) {
            require(!read.message.empty() && read.message.back() == '\n',
                    "a read error without a message");
        }
        break;
    }
}
