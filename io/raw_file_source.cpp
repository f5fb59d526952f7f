#include "io/raw_file_source.h"

#include <sys/types.h>

#include <algorithm>
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
    if (fseeko(file_, 0, SEEK_END) == 0) fileSize_ = std::max<int64_t>(ftello(file_), 0);
    info_.frames = fileSize_ / frameSize_;
}

RawFileSource::~RawFileSource() {
    std::fclose(file_);
}

ReadResult RawFileSource::read(int64_t index, uint8_t* luma) {
    if (index < 0 || index >= info_.frames) return ReadResult{ReadStatus::End, "", false};
    const auto size = static_cast<size_t>(lumaSize_);
    size_t got = 0;
    if (fseeko(file_, static_cast<off_t>(frameSize_ * index), SEEK_SET) == 0) {
        got = std::fread(luma, 1, size, file_);
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
    if (got < size) {
        return ReadResult{ReadStatus::Error,
                          "The file " + info_.path + " shrank during the run: frame " +
                              std::to_string(index) + " is incomplete\n",
                          false};
    }
    return ReadResult{};
}

}  // namespace lumaqc
