#include "io/pixel_format.h"

#include <array>

namespace lumaqc {

namespace {

constexpr auto P = ChromaPlanes::Planar;
constexpr auto I = ChromaPlanes::Interleaved;
constexpr auto N = ChromaPlanes::None;

// Every layout raw input accepts, in the order the error message lists them.
constexpr std::array kFormats = {
    PixelFormat{"yuv420p", 8, 1, 1, P, false},      PixelFormat{"yuv422p", 8, 1, 0, P, false},
    PixelFormat{"yuv444p", 8, 0, 0, P, false},      PixelFormat{"yuv440p", 8, 0, 1, P, false},
    PixelFormat{"yuv411p", 8, 2, 0, P, false},      PixelFormat{"yuv410p", 8, 2, 2, P, false},
    PixelFormat{"yuva444p", 8, 0, 0, P, true},      PixelFormat{"gray", 8, 0, 0, N, false},
    PixelFormat{"nv12", 8, 1, 1, I, false},         PixelFormat{"nv21", 8, 1, 1, I, false},
    PixelFormat{"nv24", 8, 0, 0, I, false},         PixelFormat{"nv42", 8, 0, 0, I, false},
    PixelFormat{"yuv420p9le", 9, 1, 1, P, false},   PixelFormat{"yuv420p10le", 10, 1, 1, P, false},
    PixelFormat{"yuv420p12le", 12, 1, 1, P, false}, PixelFormat{"yuv420p14le", 14, 1, 1, P, false},
    PixelFormat{"yuv420p16le", 16, 1, 1, P, false}, PixelFormat{"yuv422p9le", 9, 1, 0, P, false},
    PixelFormat{"yuv422p10le", 10, 1, 0, P, false}, PixelFormat{"yuv422p12le", 12, 1, 0, P, false},
    PixelFormat{"yuv422p14le", 14, 1, 0, P, false}, PixelFormat{"yuv422p16le", 16, 1, 0, P, false},
    PixelFormat{"yuv444p9le", 9, 0, 0, P, false},   PixelFormat{"yuv444p10le", 10, 0, 0, P, false},
    PixelFormat{"yuv444p12le", 12, 0, 0, P, false}, PixelFormat{"yuv444p14le", 14, 0, 0, P, false},
    PixelFormat{"yuv444p16le", 16, 0, 0, P, false}, PixelFormat{"yuv440p10le", 10, 0, 1, P, false},
    PixelFormat{"yuv440p12le", 12, 0, 1, P, false}, PixelFormat{"gray9le", 9, 0, 0, N, false},
    PixelFormat{"gray10le", 10, 0, 0, N, false},    PixelFormat{"gray12le", 12, 0, 0, N, false},
    PixelFormat{"gray14le", 14, 0, 0, N, false},    PixelFormat{"gray16le", 16, 0, 0, N, false},
    PixelFormat{"p010le", 10, 1, 1, I, false},      PixelFormat{"p016le", 16, 1, 1, I, false},
    PixelFormat{"p210le", 10, 1, 0, I, false},      PixelFormat{"p216le", 16, 1, 0, I, false},
    PixelFormat{"p410le", 10, 0, 0, I, false},      PixelFormat{"p416le", 16, 0, 0, I, false},
};

// Samples per side of a subsampled plane: ceil(side / 2^shift).
int64_t chromaSide(int32_t side, int shift) {
    return (static_cast<int64_t>(side) + (int64_t{1} << shift) - 1) >> shift;
}

}  // namespace

const PixelFormat* findPixelFormat(std::string_view name) {
    for (const PixelFormat& format : kFormats) {
        if (name == format.name) return &format;
    }
    return nullptr;
}

const PixelFormat* y4mPixelFormat(std::string_view colour) {
    // 8-bit 4:2:0 with its chroma sitings, and 4:4:4 with alpha.
    for (const std::string_view siting : {"420", "420jpeg", "420paldv", "420mpeg2"}) {
        if (colour == siting) return findPixelFormat("yuv420p");
    }
    if (colour == "444alpha") return findPixelFormat("yuva444p");
    // "mono" and "mono10", "422" and "422p10": grey or planar YUV of a depth.
    std::string name;
    if (colour.substr(0, 4) == "mono") {
        const std::string_view depth = colour.substr(4);
        name = depth.empty() ? "gray" : "gray" + std::string(depth) + "le";
    } else if (colour.size() >= 3) {
        const std::string_view layout = colour.substr(0, 3);
        const std::string_view rest = colour.substr(3);
        if (rest.empty()) {
            name = "yuv" + std::string(layout) + "p";
        } else if (rest[0] == 'p' && rest.size() > 1) {
            name = "yuv" + std::string(layout) + "p" + std::string(rest.substr(1)) + "le";
        }
    }
    const PixelFormat* format = name.empty() ? nullptr : findPixelFormat(name);
    // Y4M has no semi-planar layouts.
    return format != nullptr && format->chroma != ChromaPlanes::Interleaved ? format : nullptr;
}

std::string pixelFormatNames() {
    std::string names;
    for (const PixelFormat& format : kFormats) {
        if (!names.empty()) names += ", ";
        names += format.name;
    }
    return names;
}

int64_t lumaBytes(const PixelFormat& format, int32_t width, int32_t height) {
    return static_cast<int64_t>(width) * height * format.bytesPerSample();
}

int64_t frameBytes(const PixelFormat& format, int32_t width, int32_t height) {
    const int64_t luma = lumaBytes(format, width, height);
    const int64_t chroma = format.grey()
                               ? 0
                               : 2 * chromaSide(width, format.shiftX) *
                                     chromaSide(height, format.shiftY) * format.bytesPerSample();
    return luma + chroma + (format.alpha ? luma : 0);
}

const PixelFormat& defaultRawFormat() {
    return kFormats[0];
}

int64_t defaultRawFrameBytes(int32_t width, int32_t height) {
    return static_cast<int64_t>(width) * height * 3 / 2;
}

}  // namespace lumaqc
