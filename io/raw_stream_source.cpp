#include "io/raw_stream_source.h"

#include <cstring>
#include <utility>

namespace lumaqc {

RawStreamSource::RawStreamSource(std::unique_ptr<InputStream> input, const std::string& path,
                                 int32_t width, int32_t height, FrameLayout layout,
                                 const InputFile& facts)
    : input_(std::move(input)), layout_(std::move(layout)) {
    info_.path = path;
    info_.kind = "raw stream";
    info_.file = facts;
    info_.container = "raw";
    info_.codec = "rawvideo";
    info_.frameRateKind = "constant";
    info_.width = width;
    info_.height = height;
    info_.frames = -1;
    layout_.describe(info_);
    if (layout_.reducer) samples_.resize(static_cast<size_t>(layout_.lumaBytes));
}

ReadResult RawStreamSource::failure(int64_t index) const {
    return ReadResult{ReadStatus::Error,
                      "Error reading frame " + std::to_string(index) + " of " + input_->name() +
                          ": " + std::strerror(input_->errorNumber()) + "\n",
                      false};
}

// A trailing partial frame ends the stream, as it is not counted in a file.
ReadResult RawStreamSource::read(int64_t index, uint8_t* luma) {
    const size_t frameSize = static_cast<size_t>(layout_.frameBytes);
    const size_t lumaSize = static_cast<size_t>(layout_.lumaBytes);
    for (; next_ < index; ++next_) {
        if (input_->skip(frameSize) < frameSize) {
            if (input_->failed()) return failure(next_);
            return ReadResult{ReadStatus::End, "", false};
        }
    }
    uint8_t* target = layout_.reducer ? samples_.data() : luma;
    const size_t got = input_->read(target, lumaSize);
    const size_t rest = got == lumaSize ? input_->skip(frameSize - lumaSize) : 0;
    if (input_->failed()) return failure(index);
    if (got + rest < frameSize) return ReadResult{ReadStatus::End, "", false};
    layout_.deliver(target, luma);
    ++next_;
    return ReadResult{};
}

}  // namespace lumaqc
