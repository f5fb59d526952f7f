#ifdef LUMAQC_HAVE_DECODER

#include "io/decoded_luma.h"

#include <cstddef>
#include <cstring>

#include "io/ffmpeg_library.h"

namespace lumaqc {

namespace {

void copyRows(const uint8_t* plane, int linesize, int width, int height, uint8_t* luma) {
    for (int y = 0; y < height; ++y) {
        std::memcpy(luma + static_cast<size_t>(y) * width,
                    plane + static_cast<ptrdiff_t>(y) * linesize, static_cast<size_t>(width));
    }
}

}  // namespace

bool lumaIsPlane0(AVPixelFormat format) {
    const AVPixFmtDescriptor* desc = ffmpeg::api().av_pix_fmt_desc_get(format);
    if (desc == nullptr || desc->nb_components < 1) return false;
    constexpr uint64_t kNotLuma = AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL |
                                  AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL |
                                  AV_PIX_FMT_FLAG_BAYER | AV_PIX_FMT_FLAG_FLOAT;
    const AVComponentDescriptor& luma = desc->comp[0];
    return (desc->flags & kNotLuma) == 0 && luma.plane == 0 && luma.depth == 8 && luma.step == 1 &&
           luma.offset == 0 && luma.shift == 0;
}

const uint8_t* lumaInPlace(const AVFrame& frame, int width, int height) {
    const bool contiguous = frame.width == width && frame.height == height &&
                            frame.linesize[0] == width && frame.buf[0] != nullptr;
    if (!contiguous || !lumaIsPlane0(static_cast<AVPixelFormat>(frame.format))) return nullptr;
    return frame.data[0];
}

DecodedLuma::~DecodedLuma() {
    ffmpeg::api().sws_freeContext(sws_);
    ffmpeg::api().av_frame_free(&converted_);
}

bool DecodedLuma::prepare(const AVFrame& frame, int width, int height) {
    ffmpeg::api().sws_freeContext(sws_);
    sws_ = nullptr;
    ffmpeg::api().av_frame_free(&converted_);
    const auto format = static_cast<AVPixelFormat>(frame.format);
    format_ = format;
    sourceWidth_ = frame.width;
    sourceHeight_ = frame.height;
    width_ = width;
    height_ = height;
    static const AVPixelFormat kTargets[] = {
        AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUV440P,
        AV_PIX_FMT_YUV411P, AV_PIX_FMT_YUV410P, AV_PIX_FMT_GRAY8,   AV_PIX_FMT_NONE};
    const AVPixelFormat target =
        ffmpeg::api().avcodec_find_best_pix_fmt_of_list(kTargets, format, 0, nullptr);
    if (target == AV_PIX_FMT_NONE) return false;
    converted_ = ffmpeg::api().av_frame_alloc();
    if (converted_ == nullptr) return false;
    converted_->format = target;
    converted_->width = width;
    converted_->height = height;
    if (ffmpeg::api().av_frame_get_buffer(converted_, 0) < 0) return false;
    sws_ = ffmpeg::api().sws_getContext(frame.width, frame.height, format, width, height, target,
                                        SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (sws_ == nullptr) return false;
    const AVPixFmtDescriptor* desc = ffmpeg::api().av_pix_fmt_desc_get(format);
    const bool rgb = desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0;
    if (!rgb) {
        int* inverse = nullptr;
        int* table = nullptr;
        int srcRange = 0;
        int dstRange = 0;
        int brightness = 0;
        int contrast = 0;
        int saturation = 0;
        ffmpeg::api().sws_getColorspaceDetails(sws_, &inverse, &srcRange, &table, &dstRange,
                                               &brightness, &contrast, &saturation);
        const int range = frame.color_range == AVCOL_RANGE_JPEG ? 1 : srcRange;
        ffmpeg::api().sws_setColorspaceDetails(sws_, inverse, range, table, range, brightness,
                                               contrast, saturation);
    }
    return true;
}

bool DecodedLuma::extract(const AVFrame& frame, int width, int height, uint8_t* luma) {
    const auto format = static_cast<AVPixelFormat>(frame.format);
    const bool resized = frame.width != width || frame.height != height;
    if (!resized && lumaIsPlane0(format)) {
        copyRows(frame.data[0], frame.linesize[0], width, height, luma);
        return true;
    }
    if (sws_ == nullptr || format_ != format || sourceWidth_ != frame.width ||
        sourceHeight_ != frame.height || width_ != width || height_ != height) {
        if (!prepare(frame, width, height)) return false;
    }
    ffmpeg::api().sws_scale(sws_, frame.data, frame.linesize, 0, frame.height, converted_->data,
                            converted_->linesize);
    copyRows(converted_->data[0], converted_->linesize[0], width, height, luma);
    return true;
}

}  // namespace lumaqc

#endif
