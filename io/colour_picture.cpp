#include "io/colour_picture.h"

#ifdef LUMAQC_HAVE_DECODER
#include "io/ffmpeg_library.h"
#endif

namespace lumaqc {

#ifdef LUMAQC_HAVE_DECODER

namespace {

// Cb and Cr of a picture scaled to width x height (see ColourPicture).
bool scaleChroma(const uint8_t* const planes[], const int strides[], AVPixelFormat format,
                 int sourceWidth, int sourceHeight, int width, int height, uint8_t* cb,
                 uint8_t* cr) {
    if (width <= 0 || height <= 0) return false;
    SwsContext* scaler =
        ffmpeg::api().sws_getContext(sourceWidth, sourceHeight, format, width, height,
                                     AV_PIX_FMT_YUV444P, SWS_AREA, nullptr, nullptr, nullptr);
    if (scaler == nullptr) return false;
    std::vector<uint8_t> luma(static_cast<size_t>(width) * height);
    uint8_t* target[4] = {luma.data(), cb, cr, nullptr};
    const int targetStrides[4] = {width, width, width, 0};
    const int rows =
        ffmpeg::api().sws_scale(scaler, planes, strides, 0, sourceHeight, target, targetStrides);
    ffmpeg::api().sws_freeContext(scaler);
    return rows == height;
}

class FrameColour final : public ColourPicture {
  public:
    explicit FrameColour(AVFrame* frame) : frame_(frame) {}
    ~FrameColour() override { ffmpeg::api().av_frame_free(&frame_); }
    FrameColour(const FrameColour&) = delete;
    FrameColour& operator=(const FrameColour&) = delete;

    bool chroma(int width, int height, uint8_t* cb, uint8_t* cr) const override {
        return scaleChroma(frame_->data, frame_->linesize,
                           static_cast<AVPixelFormat>(frame_->format), frame_->width,
                           frame_->height, width, height, cb, cr);
    }

  private:
    AVFrame* frame_;
};

// The chroma planes of a raw or Y4M frame; the luma and alpha planes the
// scaler also reads are blank (only the chroma comes out).
class PlanesColour final : public ColourPicture {
  public:
    PlanesColour(const PixelFormat& format, int32_t width, int32_t height,
                 std::vector<uint8_t> chroma)
        : format_(format), width_(width), height_(height), chroma_(std::move(chroma)) {}

    bool chroma(int width, int height, uint8_t* cb, uint8_t* cr) const override {
        if (!ffmpeg::load()) return false;
        const AVPixelFormat format = ffmpeg::api().av_get_pix_fmt(format_.name);
        if (format == AV_PIX_FMT_NONE) return false;
        const int bytes = format_.bytesPerSample();
        const int chromaWidth = -((-width_) >> format_.shiftX) * bytes;
        const int chromaHeight = -((-height_) >> format_.shiftY);
        const std::vector<uint8_t> blank(static_cast<size_t>(width_) * height_ * bytes);
        const int lumaStride = width_ * bytes;
        const uint8_t* planes[4] = {blank.data(), chroma_.data(), nullptr, blank.data()};
        int strides[4] = {lumaStride, chromaWidth, 0, lumaStride};
        if (format_.chroma == ChromaPlanes::Planar) {
            planes[2] = chroma_.data() + static_cast<size_t>(chromaWidth) * chromaHeight;
            strides[2] = chromaWidth;
        } else {
            strides[1] = 2 * chromaWidth;
        }
        return scaleChroma(planes, strides, format, width_, height_, width, height, cb, cr);
    }

  private:
    PixelFormat format_;
    int32_t width_;
    int32_t height_;
    std::vector<uint8_t> chroma_;
};

}  // namespace

std::shared_ptr<const ColourPicture> colourOf(const AVFrame& frame) {
    const AVPixFmtDescriptor* format =
        ffmpeg::api().av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
    if (format == nullptr || format->nb_components < 3) return nullptr;
    AVFrame* reference = ffmpeg::api().av_frame_clone(&frame);
    if (reference == nullptr) return nullptr;
    return std::make_shared<FrameColour>(reference);
}

size_t chromaBytes(const PixelFormat& format, int32_t width, int32_t height, int64_t frameBytes,
                   int64_t lumaBytes) {
    if (format.grey() || width <= 0 || height <= 0) return 0;
    const int64_t chromaWidth = -((-int64_t{width}) >> format.shiftX);
    const int64_t chromaHeight = -((-int64_t{height}) >> format.shiftY);
    const int64_t bytes = 2 * chromaWidth * chromaHeight * format.bytesPerSample();
    return lumaBytes + bytes <= frameBytes ? static_cast<size_t>(bytes) : 0;
}

std::shared_ptr<const ColourPicture> colourOf(const PixelFormat& format, int32_t width,
                                              int32_t height, std::vector<uint8_t> chroma) {
    return std::make_shared<PlanesColour>(format, width, height, std::move(chroma));
}

#else

std::shared_ptr<const ColourPicture> colourOf(const AVFrame&) {
    return nullptr;
}

size_t chromaBytes(const PixelFormat&, int32_t, int32_t, int64_t, int64_t) {
    return 0;
}

std::shared_ptr<const ColourPicture> colourOf(const PixelFormat&, int32_t, int32_t,
                                              std::vector<uint8_t>) {
    return nullptr;
}

#endif

}  // namespace lumaqc
