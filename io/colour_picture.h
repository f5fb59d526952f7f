// The colour of pictures, kept for the report's thumbnails while their
// frames go through the run (the analysis reads luma only): a reference to
// the decoder's picture (no copy), or the chroma planes of a raw or Y4M
// frame as read; scaled down with libswscale only when a thumbnail is made.
// Builds without decoder support keep none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "io/frame_source.h"
#include "io/pixel_format.h"

struct AVFrame;

namespace lumaqc {

// The colour of a decoded `frame`; null for grey pictures or when it cannot
// be kept.
std::shared_ptr<const ColourPicture> colourOf(const AVFrame& frame);

// Raw and Y4M frames of `format`: the bytes of chroma right after the luma
// plane, to read instead of skipping; 0 for grey layouts, frames too short
// for them (the default raw layout at odd sizes), or builds that keep none.
size_t chromaBytes(const PixelFormat& format, int32_t width, int32_t height, int64_t frameBytes,
                   int64_t lumaBytes);
// The colour of such a frame from those bytes.
std::shared_ptr<const ColourPicture> colourOf(const PixelFormat& format, int32_t width,
                                              int32_t height, std::vector<uint8_t> chroma);

}  // namespace lumaqc
