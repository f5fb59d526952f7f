// Creation and release of the picture records.
#include <cstdlib>
#include <new>

#include "tools/definitions.h"

namespace lumaqc {

namespace {

// Byte counts are formed in 64-bit arithmetic so that large pictures neither
// wrap nor under-allocate.
size_t sampleCount(int32_t w, int32_t h) {
    if (w <= 0 || h <= 0) return 0;
    return static_cast<size_t>(w) * static_cast<size_t>(h);
}

template <typename Record, typename Sample>
Record allocate(int32_t w, int32_t h, bool zero) {
    const size_t n = sampleCount(w, h);
    // Allocate at least one sample so that an empty picture still has a
    // unique, releasable array.
    const size_t count = n == 0 ? 1 : n;
    void* p = zero ? std::calloc(count, sizeof(Sample)) : std::malloc(count * sizeof(Sample));
    if (p == nullptr) throw std::bad_alloc();
    return Record{w, h, static_cast<Sample*>(p)};
}

}  // namespace

ImageDouble allocImageDouble(int32_t w, int32_t h) {
    return allocate<ImageDouble, double>(w, h, false);
}

Image callocImage(int32_t w, int32_t h) {
    return allocate<Image, uint8_t>(w, h, true);
}
Image32 callocImage32(int32_t w, int32_t h) {
    return allocate<Image32, int32_t>(w, h, true);
}
ImageDouble callocImageDouble(int32_t w, int32_t h) {
    return allocate<ImageDouble, double>(w, h, true);
}

void freeImage(Image& img) {
    std::free(img.data);
}
void freeImage32(Image32& img) {
    std::free(img.data);
}
void freeImageDouble(ImageDouble& img) {
    std::free(img.data);
}

}  // namespace lumaqc
