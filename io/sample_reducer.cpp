#include "io/sample_reducer.h"

#include <algorithm>
#include <cstring>

namespace lumaqc {

void FrameLayout::deliver(const uint8_t* bytes, uint8_t* luma) const {
    if (reducer) {
        reducer->reduce(bytes, luma);
    } else if (bytes != luma) {
        std::memcpy(luma, bytes, static_cast<size_t>(lumaBytes));
    }
}

void FrameLayout::describe(SourceInfo& info) const {
    info.pixelFormat = format->name;
    info.bitDepth = format->depth;
    info.samplesReduced = reducer != nullptr;
}

bool makeFrameLayout(const PixelFormat* format, int32_t width, int32_t height, FrameLayout& layout,
                     std::string& error) {
    layout.format = format != nullptr ? format : &defaultRawFormat();
    layout.lumaBytes = lumaBytes(*layout.format, width, height);
    layout.frameBytes = format != nullptr ? frameBytes(*format, width, height)
                                          : defaultRawFrameBytes(width, height);
    layout.reducer.reset();
    if (layout.format->depth > 8) {
        layout.reducer = createSampleReducer(*layout.format, width, height, error);
        if (!layout.reducer) return false;
    }
    return true;
}

#ifndef LUMAQC_HAVE_DECODER

std::unique_ptr<SampleReducer> createSampleReducer(const PixelFormat& format, int32_t, int32_t,
                                                   std::string& error) {
    error = std::string("samples of ") + format.name +
            " have more than 8 bits, which this build cannot reduce: it was built without "
            "libswscale (LUMAQC_DECODER=OFF)";
    return nullptr;
}

#else

}  // namespace lumaqc

#include "io/ffmpeg_library.h"

namespace lumaqc {

namespace {

class SwscaleReducer : public SampleReducer {
  public:
    ~SwscaleReducer() override {
        ffmpeg::api().sws_freeContext(sws_);
        ffmpeg::api().av_frame_free(&target_);
        ffmpeg::api().av_free(samples_);
        ffmpeg::api().av_free(chroma_);
    }

    bool open(const PixelFormat& format, int32_t width, int32_t height) {
        width_ = width;
        height_ = height;
        const AVPixelFormat source = ffmpeg::api().av_get_pix_fmt(format.name);
        const AVPixelFormat target = format.grey() ? AV_PIX_FMT_GRAY8 : AV_PIX_FMT_YUV420P;
        if (source == AV_PIX_FMT_NONE) return false;
        // The planes packed as read, as FFmpeg's raw video decoder hands them
        // over. The chroma (and alpha) planes all read one buffer of zeros.
        if (ffmpeg::api().av_image_fill_linesizes(strides_, source, width) < 0) return false;
        lumaStride_ = static_cast<size_t>(strides_[0]);
        size_t chromaSize = 0;
        for (int plane = 1; plane < 4; ++plane) {
            chromaSize = std::max(chromaSize, static_cast<size_t>(strides_[plane]));
        }
        chromaSize *= static_cast<size_t>(height);
        // Padded as FFmpeg pads its packets: vector code may read a little
        // past the last row.
        constexpr size_t kPadding = 64;
        samples_ = static_cast<uint8_t*>(
            ffmpeg::api().av_mallocz(lumaStride_ * static_cast<size_t>(height) + kPadding));
        chroma_ = static_cast<uint8_t*>(ffmpeg::api().av_mallocz(chromaSize + kPadding));
        target_ = ffmpeg::api().av_frame_alloc();
        if (samples_ == nullptr || chroma_ == nullptr || target_ == nullptr) return false;
        target_->format = target;
        target_->width = width;
        target_->height = height;
        if (ffmpeg::api().av_frame_get_buffer(target_, 0) < 0) return false;
        // Bicubic is the ffmpeg command's default; at an unchanged size it
        // only selects the conversion, which keeps the range of the luma.
        sws_ = ffmpeg::api().sws_getContext(width, height, source, width, height, target,
                                            SWS_BICUBIC, nullptr, nullptr, nullptr);
        return sws_ != nullptr;
    }

    void reduce(const uint8_t* samples, uint8_t* luma) override {
        std::memcpy(samples_, samples, lumaStride_ * static_cast<size_t>(height_));
        const uint8_t* planes[4] = {samples_, chroma_, chroma_, chroma_};
        ffmpeg::api().sws_scale(sws_, planes, strides_, 0, height_, target_->data,
                                target_->linesize);
        for (int32_t y = 0; y < height_; ++y) {
            std::memcpy(luma + static_cast<size_t>(y) * static_cast<size_t>(width_),
                        target_->data[0] + static_cast<ptrdiff_t>(y) * target_->linesize[0],
                        static_cast<size_t>(width_));
        }
    }

  private:
    int32_t width_ = 0;
    int32_t height_ = 0;
    int strides_[4] = {};
    size_t lumaStride_ = 0;
    uint8_t* samples_ = nullptr;
    uint8_t* chroma_ = nullptr;
    AVFrame* target_ = nullptr;
    SwsContext* sws_ = nullptr;
};

}  // namespace

std::unique_ptr<SampleReducer> createSampleReducer(const PixelFormat& format, int32_t width,
                                                   int32_t height, std::string& error) {
    std::string why;
    if (!ffmpeg::load(&why)) {
        error = std::string("samples of ") + format.name + " have more than 8 bits, which need " +
                "libswscale to be reduced: " + why;
        return nullptr;
    }
    auto reducer = std::make_unique<SwscaleReducer>();
    if (!reducer->open(format, width, height)) {
        error = std::string("libswscale cannot reduce samples of ") + format.name +
                " to 8 bits at " + std::to_string(width) + " x " + std::to_string(height);
        return nullptr;
    }
    return reducer;
}

#endif

}  // namespace lumaqc
