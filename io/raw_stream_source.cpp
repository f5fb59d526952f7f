#include "io/raw_stream_source.h"

#include <cstring>

namespace lumaqc {

RawStreamSource::RawStreamSource(std::unique_ptr<InputStream> input, const std::string& path,
                                 int32_t width, int32_t height)
    : input_(std::move(input)) {
    info_.path = path;
    info_.kind = "raw stream";
    info_.width = width;
    info_.height = height;
    info_.frames = -1;
    lumaSize_ = static_cast<int64_t>(width) * height;
    // The same frame size as a raw file: (w x h x 3) / 2, the half byte dropped.
    chromaSize_ = lumaSize_ * 3 / 2 - lumaSize_;
}

ReadResult RawStreamSource::failure(int64_t index) const {
    return ReadResult{ReadStatus::Error,
                      "Error reading frame " + std::to_string(index) + " of " + input_->name() +
                          ": " + std::strerror(input_->errorNumber()) + "\n",
                      false};
}

// A trailing partial frame ends the stream, as it is not counted in a file.
ReadResult RawStreamSource::read(int64_t index, uint8_t* luma) {
    const size_t frameSize = static_cast<size_t>(lumaSize_ + chromaSize_);
    for (; next_ < index; ++next_) {
        if (input_->skip(frameSize) < frameSize) {
            if (input_->failed()) return failure(next_);
            return ReadResult{ReadStatus::End, "", false};
        }
    }
    const size_t got = input_->read(luma, static_cast<size_t>(lumaSize_));
    const size_t chroma =
        got == static_cast<size_t>(lumaSize_) ? input_->skip(static_cast<size_t>(chromaSize_)) : 0;
    if (input_->failed()) return failure(index);
    if (got + chroma < frameSize) return ReadResult{ReadStatus::End, "", false};
    ++next_;
    return ReadResult{};
}

}  // namespace lumaqc
