// Picture records: what the indicators compute on. The toolkit operations
// over them (toolkit/) are the plain compositions the reference paths use.
//
// A picture is a flat row-major array of samples with row stride `w`: the
// sample in column x of row y is data[y * w + x]. Records are plain values;
// copies share the sample array, which is released once through one copy.
// Toolkit operations never create or release pictures: the caller supplies
// every destination. Operations that add into their destination expect it
// zero-filled, which the calloc operations provide.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

// The freeze threshold and the flicker top-block count are formed with a
// 64-bit significand; a platform whose long double is narrower would change
// which frame first counts as frozen and how many blocks are rated.
static_assert(std::numeric_limits<long double>::digits >= 64,
              "long double must carry a 64-bit significand (x86-64 extended precision)");

// Precondition check of the toolkit, active in every build type: a failed
// condition prints its text with the source file and line and stops the process.
#define LUMAQC_CHECK(cond)                                                                      \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            std::fprintf(stderr, "%s:%d: Assertion `%s' failed.\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

namespace lumaqc {

struct Image {
    int32_t w;
    int32_t h;
    uint8_t* data;
};

struct Image32 {
    int32_t w;
    int32_t h;
    int32_t* data;
};

struct ImageDouble {
    int32_t w;
    int32_t h;
    double* data;
};

// Allocate w x h samples of undefined content. A failed allocation throws
// std::bad_alloc.
ImageDouble allocImageDouble(int32_t w, int32_t h);

// Allocate w x h zero samples; failure as for allocImageDouble.
Image callocImage(int32_t w, int32_t h);
Image32 callocImage32(int32_t w, int32_t h);
ImageDouble callocImageDouble(int32_t w, int32_t h);

// Release the sample array; w, h and data are left as they were. A null
// array is ignored.
void freeImage(Image& img);
void freeImage32(Image32& img);
void freeImageDouble(ImageDouble& img);

}  // namespace lumaqc
