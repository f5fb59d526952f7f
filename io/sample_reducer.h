// Luma samples of more than 8 bits reduced to 8 bits, exactly as FFmpeg
// reduces them when it converts the picture to 8-bit 4:2:0 (`-pix_fmt
// yuv420p`), or to 8-bit grey (`-pix_fmt gray`) for grey layouts: libswscale
// does the work, set up as the ffmpeg command sets it up, so the luma range is
// kept (video-range luma stays video range) and the same dither applies.
// Only the luma plane is given to it; libswscale computes the luma of the
// result from the luma of the source alone, so the chroma planes it is handed
// are constant.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "io/frame_source.h"
#include "io/pixel_format.h"

namespace lumaqc {

class SampleReducer {
  public:
    virtual ~SampleReducer() = default;
    // The luma plane as read (width x height samples of two bytes, stride
    // 2 x width) to `luma` (width x height bytes, stride width).
    virtual void reduce(const uint8_t* samples, uint8_t* luma) = 0;
};

// A reducer for luma planes of `format` (more than 8 bits) at a picture size.
// Returns null and sets `error` (one line, without a line feed) when the
// build has no libswscale or it cannot convert the format.
std::unique_ptr<SampleReducer> createSampleReducer(const PixelFormat& format, int32_t width,
                                                   int32_t height, std::string& error);

// The frames of raw or Y4M input: how many bytes each takes, how many of them
// are the luma plane, and how that plane becomes 8-bit luma.
struct FrameLayout {
    const PixelFormat* format = nullptr;
    int64_t lumaBytes = 0;
    int64_t frameBytes = 0;
    std::unique_ptr<SampleReducer> reducer;  // null for 8-bit samples

    // Moves `bytes` (lumaBytes of them, as read) into `luma`: a copy for
    // 8-bit samples, a reduction for more.
    void deliver(const uint8_t* bytes, uint8_t* luma) const;
    // Records the format in the source's description.
    void describe(SourceInfo& info) const;
};

// The layout of `format` at a picture size; with `format` null, the default
// raw layout (yuv420p in frames of (width x height x 3) / 2 bytes). Returns
// false and sets `error` (one line, without a line feed) when the samples
// cannot be reduced.
bool makeFrameLayout(const PixelFormat* format, int32_t width, int32_t height, FrameLayout& layout,
                     std::string& error);

}  // namespace lumaqc
