// Creation and release of the picture records.
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
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

// Arrays of a megabyte or more (a 1080p luma plane, the block sums of larger
// pictures) lie on 2 MiB boundaries in whole 2 MiB pages and ask the kernel
// for transparent huge pages: one page-table entry per 2 MiB instead of 512,
// so that the kernels that walk a picture down its columns, and the copy of
// each frame out of the page cache, miss the address translation cache
// less, and the arrays take one page fault each instead of hundreds. Where
// huge pages are off or none is free, the pages are ordinary ones and
// nothing else changes. Either way, the array is released with free().
constexpr size_t HUGE_PAGE = size_t{2} << 20;
constexpr size_t LARGE_ARRAY = size_t{1} << 20;

void* hugePageArray(size_t bytes, bool zero) {
    if (bytes < LARGE_ARRAY || bytes > SIZE_MAX - HUGE_PAGE) return nullptr;
    const size_t whole = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    void* p = std::aligned_alloc(HUGE_PAGE, whole);
    if (p == nullptr) return nullptr;
    // Advice only: a kernel without transparent huge pages refuses it.
    (void)madvise(p, whole, MADV_HUGEPAGE);
    // The memory may be reused, so it is cleared; this also takes the page
    // faults now rather than during the first frame.
    if (zero) std::memset(p, 0, bytes);
    return p;
}

template <typename Record, typename Sample>
Record allocate(int32_t w, int32_t h, bool zero) {
    const size_t n = sampleCount(w, h);
    // Allocate at least one sample so that an empty picture still has a
    // unique, releasable array.
    const size_t count = n == 0 ? 1 : n;
    void* p =
        count <= SIZE_MAX / sizeof(Sample) ? hugePageArray(count * sizeof(Sample), zero) : nullptr;
    if (p == nullptr) {
        p = zero ? std::calloc(count, sizeof(Sample)) : std::malloc(count * sizeof(Sample));
    }
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
