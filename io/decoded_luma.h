// The 8-bit luma of decoded pictures at the run's picture size. A picture
// whose first plane is that luma (8-bit planar and semi-planar YUV, grey) is
// copied; any other is converted with libswscale to the nearest 8-bit planar
// YUV or grey format, the way format conversions to 8 bits are usually done,
// keeping the luma range (video-range luma stays video range), and scaled
// when its size is not the run's (live URLs whose pictures change size).
// Used by the decoder source only, in builds with decoder support.
#pragma once

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <cstdint>

struct SwsContext;

namespace lumaqc {

// True when the first component of `format` is 8-bit luma stored one byte
// per sample in plane 0, which is then read as it is.
bool lumaIsPlane0(AVPixelFormat format);

// The luma plane of `frame` where it lies, when it can be read in place:
// 8-bit luma in plane 0 of `width` x `height` samples whose rows follow one
// another (stride `width`); else null.
const uint8_t* lumaInPlace(const AVFrame& frame, int width, int height);

class DecodedLuma {
  public:
    DecodedLuma() = default;
    ~DecodedLuma();
    DecodedLuma(const DecodedLuma&) = delete;
    DecodedLuma& operator=(const DecodedLuma&) = delete;

    // Writes the luma of `frame` into `luma`, `width` x `height` samples in
    // rows `width` bytes apart; false when its pixel format cannot be
    // converted. The conversion is kept from picture to picture while the
    // format and size stay the same.
    bool extract(const AVFrame& frame, int width, int height, uint8_t* luma);

  private:
    bool prepare(const AVFrame& frame, int width, int height);

    SwsContext* sws_ = nullptr;
    AVFrame* converted_ = nullptr;  // the 8-bit planar picture sws_ writes
    AVPixelFormat format_ = AV_PIX_FMT_NONE;
    int sourceWidth_ = 0;
    int sourceHeight_ = 0;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace lumaqc
