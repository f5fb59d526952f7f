// Sample layouts of raw and Y4M input, under FFmpeg's pixel format names.
//
// A frame is its planes one after the other, without padding: the luma plane
// (width x height samples), then, for planar YUV, two chroma planes of
// ceil(width / 2^shiftX) x ceil(height / 2^shiftY) samples, or, for
// semi-planar YUV (nv12, p010le, ...), one plane of interleaved chroma pairs
// of that size; then an alpha plane when there is one. Samples of more than
// 8 bits take two bytes, little-endian; p0xx layouts keep them in the high
// bits of the two bytes. Only the luma plane is analysed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumaqc {

enum class ChromaPlanes {
    None,         // grey: the luma plane only
    Planar,       // U and V planes
    Interleaved,  // one plane of UV (or VU) pairs
};

struct PixelFormat {
    const char* name;  // FFmpeg's name, "yuv420p10le"
    int depth;         // bits per sample
    int shiftX;        // log2 of the horizontal chroma subsampling
    int shiftY;        // log2 of the vertical chroma subsampling
    ChromaPlanes chroma;
    bool alpha;  // an alpha plane (the size of the luma plane) follows the chroma

    int bytesPerSample() const { return depth > 8 ? 2 : 1; }
    bool grey() const { return chroma == ChromaPlanes::None; }
};

// The format named `name` among those raw input accepts, or null.
const PixelFormat* findPixelFormat(std::string_view name);

// The format of a Y4M colour space: the value of the header's C parameter
// (without the C; "420jpeg", "422p10", "mono16"...), or null.
const PixelFormat* y4mPixelFormat(std::string_view colourSpace);

// The names raw input accepts, separated by ", ".
std::string pixelFormatNames();

// The luma plane and whole frames of `format` at a picture size, in bytes.
int64_t lumaBytes(const PixelFormat& format, int32_t width, int32_t height);
int64_t frameBytes(const PixelFormat& format, int32_t width, int32_t height);

// Raw input read without a pixel format: planar 4:2:0, 8 bits, whose frames
// are (width x height x 3) / 2 bytes (half a byte dropped). For odd sizes this
// is a little less than FFmpeg's yuv420p, whose chroma planes round up.
const PixelFormat& defaultRawFormat();
int64_t defaultRawFrameBytes(int32_t width, int32_t height);

}  // namespace lumaqc
