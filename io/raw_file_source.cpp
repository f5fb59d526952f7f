#include "io/raw_file_source.h"

#include <sys/types.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace lumaqc {

RawFileSource::RawFileSource(FILE* file, const std::string& path, int32_t width, int32_t height)
    : file_(file) {
    info_.path = path;
    info_.kind = "raw";
    info_.width = width;
    info_.height = height;
    lumaSize_ = static_cast<int64_t>(width) * height;
    frameSize_ = lumaSize_ * 3 / 2;
    // Whole frames only: a trailing partial frame is not counted.
    if (fseeko(file_, 0, SEEK_END) == 0) {
        const off_t size = ftello(file_);
        info_.frames = size > 0 ? static_cast<int64_t>(size) / frameSize_ : 0;
    } else {
        info_.frames = 0;
    }
    for (auto& buffer : buffers_) buffer.assign(static_cast<size_t>(lumaSize_), 0);
}

RawFileSource::~RawFileSource() {
    std::fclose(file_);
}

ReadResult RawFileSource::read(int64_t index, uint8_t* luma) {
    std::vector<uint8_t>& buffer = buffers_[turn_];
    turn_ ^= 1;
    // Only the last two whole frames can be shown again by a read past the
    // end (frames are read in order); every earlier frame goes straight into
    // `luma`, without the copy through its buffer.
    const bool direct = index >= 0 && index < info_.frames - 2;
    uint8_t* target = direct ? luma : buffer.data();
    // A frame whose offset lies beyond any possible file reads nothing, like
    // any other frame past the end.
    int64_t offset = 0;
    size_t got = 0;
    if (!__builtin_mul_overflow(frameSize_, index, &offset)) {
        fseeko(file_, static_cast<off_t>(offset), SEEK_SET);
        got = std::fread(target, 1, buffer.size(), file_);
    }
    if (std::ferror(file_)) {
        const int error = errno;
        char text[512];
        std::snprintf(
            text, sizeof text,
            "Some error occurred when reading the %lld frame\nByte read = %zu, Frame size "
            "= %lld\n\nError code: %d \nError description: %s \n",
            static_cast<long long>(index), got, static_cast<long long>(lumaSize_), error,
            std::strerror(error));
        return ReadResult{ReadStatus::Error, text, true};
    }
    // A frame that was whole when the file was opened and now comes short
    // means the file shrank (was truncated or rewritten) during the run.
    if (index < info_.frames && got < buffer.size()) {
        return ReadResult{ReadStatus::Error,
                          "The file " + info_.path + " shrank during the run: frame " +
                              std::to_string(index) + " is incomplete\n",
                          false};
    }
    std::clearerr(file_);
    if (!direct) std::memcpy(luma, buffer.data(), buffer.size());
    return ReadResult{};
}

}  // namespace lumaqc
