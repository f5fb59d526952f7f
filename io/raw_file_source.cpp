#include "io/raw_file_source.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "io/colour_picture.h"
#include "io/display_name.h"
#include "io/mapped_frames.h"
#include "io/read_ahead.h"
namespace lumaqc {

RawFileSource::RawFileSource(FILE* file, const std::string& path, int32_t width, int32_t height,
                             FrameLayout layout, const InputFile& facts, bool mapFrames)
    : file_(file), layout_(std::move(layout)), mapFrames_(mapFrames) {
    info_.path = path;
    info_.kind = "raw";
    info_.file = facts;
    info_.container = "raw";
    info_.codec = "rawvideo";
    info_.frameRateKind = "constant";
    info_.width = width;
    info_.height = height;
    layout_.describe(info_);
    if (layout_.reducer) samples_.resize(static_cast<size_t>(layout_.lumaBytes));
    // Whole frames only: a trailing partial frame is not counted.
    if (fseeko(file_, 0, SEEK_END) == 0) fileSize_ = std::max<int64_t>(ftello(file_), 0);
    info_.frames = fileSize_ / layout_.frameBytes;
    readOnlyWhatIsAskedFor(fileno(file_));
}

void RawFileSource::readAhead(int64_t index) {
    const int64_t bytes = keepColour_ ? layout_.frameBytes : layout_.lumaBytes;
    const int64_t last = std::min(index + framesAhead(layout_.frameBytes), info_.frames - 1);
    for (int64_t next = std::max(readAhead_.exchange(last + 1), index); next <= last; ++next) {
        askAhead(fileno(file_), layout_.frameBytes * next, bytes);
    }
}

RawFileSource::~RawFileSource() {
    std::fclose(file_);
}

// A frame that was whole when the file was opened and now comes short
// means the file shrank (was truncated or rewritten) during the run.
ReadResult RawFileSource::shrank(int64_t index) const {
    return ReadResult{ReadStatus::Error,
                      "The file " + printableName(info_.path) + " shrank during the run: frame " +
                          std::to_string(index) + " is incomplete\n",
                      false};
}

ReadResult RawFileSource::readHeld(int64_t index, uint8_t* luma, HeldLuma& held) {
    held = {};
    if (mapFrames_ && !layout_.reducer && !keepColour_ && has(index) == ReadStatus::Ok) {
        readAhead(index);
        const int64_t offset = layout_.frameBytes * index;
        if (mapFrame(fileno(file_), offset, layout_.lumaBytes, offset + layout_.lumaBytes, held,
                     [this, index] { return shrank(index); })) {
            return {};
        }
    }
    return read(index, luma);
}

ReadResult RawFileSource::read(int64_t index, uint8_t* luma) {
    if (has(index) != ReadStatus::Ok) return ReadResult{ReadStatus::End, "", false};
    readAhead(index);
    const auto size = static_cast<size_t>(layout_.lumaBytes);
    uint8_t* target = layout_.reducer ? samples_.data() : luma;
    size_t got = 0;
    const auto offset = static_cast<off_t>(layout_.frameBytes * index);
    while (got < size) {
        const ssize_t n =
            ::pread(fileno(file_), target + got, size - got, offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            char text[512];
            std::snprintf(
                text, sizeof text,
                "Some error occurred when reading the %lld frame\nByte read = %zu, Frame size "
                "= %lld\n\nError code: %d \nError description: %s \n",
                static_cast<long long>(index), got, static_cast<long long>(size), error,
                std::strerror(error));
            return ReadResult{ReadStatus::Error, text, true};
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    if (got < size) return shrank(index);
    layout_.deliver(target, luma);
    // The report's thumbnails: the chroma after the luma plane (a picture
    // whose chroma cannot be read stays grey).
    ReadResult result;
    std::vector<uint8_t> chroma(keepColour_
                                    ? chromaBytes(*layout_.format, info_.width, info_.height,
                                                  layout_.frameBytes, layout_.lumaBytes)
                                    : 0);
    for (size_t have = 0; have < chroma.size();) {
        const ssize_t n = ::pread(fileno(file_), chroma.data() + have, chroma.size() - have,
                                  offset + static_cast<off_t>(size + have));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return result;
        have += static_cast<size_t>(n);
    }
    if (!chroma.empty()) {
        result.colour = colourOf(*layout_.format, info_.width, info_.height, std::move(chroma));
    }
    return result;
}

}  // namespace lumaqc
