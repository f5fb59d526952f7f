#include "io/raw_stream_source.h"

#include <cstring>
#include <utility>
#include <vector>

#include "io/colour_picture.h"

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
    size_t got = input_->read(target, lumaSize);
    // The report's thumbnails: the chroma is read, not skipped.
    std::vector<uint8_t> chroma(keepColour_
                                    ? chromaBytes(*layout_.format, info_.width, info_.height,
                                                  layout_.frameBytes, layout_.lumaBytes)
                                    : 0);
    if (got == lumaSize && !chroma.empty()) got += input_->read(chroma.data(), chroma.size());
    const size_t rest = got == lumaSize + chroma.size() ? input_->skip(frameSize - got) : 0;
    if (input_->failed()) return failure(index);
    if (got + rest < frameSize) return ReadResult{ReadStatus::End, "", false};
    layout_.deliver(target, luma);
    ++next_;
    ReadResult result;
    if (!chroma.empty()) {
        result.colour = colourOf(*layout_.format, info_.width, info_.height, std::move(chroma));
    }
    return result;
}

}  // namespace lumaqc
