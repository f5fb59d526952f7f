#include "tools/conversions.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace lumaqc {

namespace {

// Sample count of a picture, w * h, without 32-bit overflow.
int64_t sampleCount(int32_t w, int32_t h) {
    return static_cast<int64_t>(w) * h;
}

}  // namespace

void convU8toI32(const Image& src, Image32& dest) {
    LUMAQC_CHECK(src.w * src.h == dest.w * dest.h);
    const int64_t n = sampleCount(src.w, src.h);
    for (int64_t i = 0; i < n; ++i) {
        dest.data[i] = static_cast<int32_t>(src.data[i]);
    }
}

void convI32toU8(const Image32& src, Image& dest) {
    LUMAQC_CHECK(src.w * src.h == dest.w * dest.h);
    const int64_t n = sampleCount(src.w, src.h);
    for (int64_t i = 0; i < n; ++i) {
        // Conversion to an unsigned type keeps the low 8 bits.
        dest.data[i] = static_cast<uint8_t>(src.data[i]);
    }
}

int32_t areEqual(const Image& a, const Image& b) {
    if (&a == &b) {
        return 1;
    }
    if (a.w != b.w || a.h != b.h) {
        return 0;
    }
    const int64_t n = sampleCount(a.w, a.h);
    if (a.data == b.data || n <= 0) {
        return 1;
    }
    for (int64_t i = 0; i < n; ++i) {
        if (a.data[i] != b.data[i]) {
            return 0;
        }
    }
    return 1;
}

void addSquares(const Image& a, const Image& b, Image32& dest) {
    const int64_t n = sampleCount(a.w, a.h);
    for (int64_t i = 0; i < n; ++i) {
        const int32_t va = a.data[i];
        const int32_t vb = b.data[i];
        dest.data[i] = va * va + vb * vb;
    }
}

void divide(const Image32& a, const Image32& b, ImageDouble& dest) {
    const int64_t n = sampleCount(a.w, a.h);
    for (int64_t i = 0; i < n; ++i) {
        dest.data[i] = static_cast<double>(a.data[i]) / static_cast<double>(b.data[i]);
    }
}

void imageSqrt(const ImageDouble& src, ImageDouble& dest) {
    LUMAQC_CHECK(src.w * src.h == dest.w * dest.h);
    const int64_t n = sampleCount(src.w, src.h);
    for (int64_t i = 0; i < n; ++i) {
        dest.data[i] = std::sqrt(src.data[i]);
    }
}

void printRange(const Image& img, int32_t x0, int32_t x1, int32_t y0, int32_t y1, std::FILE* out) {
    if (y0 > y1) {
        return;
    }
    const int64_t lines = static_cast<int64_t>(y1) - y0 + 1;
    const int64_t perLine = x0 > x1 ? 0 : static_cast<int64_t>(x1) - x0 + 1;
    const uint8_t* p = img.data;
    for (int64_t l = 0; l < lines; ++l) {
        for (int64_t k = 0; k < perLine; ++k) {
            std::fprintf(out, "%03i ", static_cast<int>(*p++));
        }
        std::fputc('\n', out);
    }
}

void printRange32(const Image32& img, int32_t x0, int32_t x1, int32_t y0, int32_t y1,
                  std::FILE* out) {
    if (y0 > y1) {
        return;
    }
    const int64_t lines = static_cast<int64_t>(y1) - y0 + 1;
    const int64_t perLine = x0 > x1 ? 0 : static_cast<int64_t>(x1) - x0 + 1;
    const int32_t* p = img.data;
    for (int64_t l = 0; l < lines; ++l) {
        for (int64_t k = 0; k < perLine; ++k) {
            std::fprintf(out, "%i  ", static_cast<int>(*p++));
        }
        std::fputc('\n', out);
    }
}

int32_t tempCountSeqsH(const Image32& src, Image32& /*dest*/, int32_t t, int32_t /*bw*/,
                       int32_t /*bh*/, int32_t minLength) {
    const int32_t* s = src.data;
    const uint32_t n = static_cast<uint32_t>(src.w) * static_cast<uint32_t>(src.h);
    const uint32_t w = static_cast<uint32_t>(src.w);
    int32_t count = 0;
    uint32_t i = 0;
    for (;;) {
        while (i != n && s[i] <= t) {
            ++i;
        }
        if (i == n) {
            return count;
        }
        // The run extends while the next position lies below the width; it
        // ends after the first sample at or below t.
        const uint32_t b = i;
        uint32_t j = b + 1;
        while (j < w) {
            const uint32_t k = j;
            ++j;
            if (s[k] <= t) {
                break;
            }
        }
        if (static_cast<int32_t>(j - b) >= minLength) {
            ++count;
        }
        i = j;
    }
}

int32_t tempCountSeqsH2(const Image32& src, Image32& /*dest*/, int32_t t) {
    const int32_t w = src.w;
    const int32_t h = src.h;
    if (w <= 0 || h <= 0) {
        return 0;
    }
    int32_t count = 0;
    for (int32_t y = 0; y < h; ++y) {
        const int32_t* row = src.data + static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
        bool inRun = false;
        for (int32_t x = 0; x < w; ++x) {
            const bool above = row[x] > t;
            if (above && !inRun) {
                ++count;
            }
            inRun = above;
        }
    }
    return count;
}

}  // namespace lumaqc
