#include "toolkit/filter.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace lumaqc {

namespace {

// Square with an odd side of at least 3: the window is centred on its output
// sample and never leaves the block.
bool isUsableKernel(const ImageDouble& kernel) {
    return kernel.w == kernel.h && kernel.w >= 3 && kernel.w % 2 == 1;
}

}  // namespace

int32_t filter(const Image& src, ImageDouble& dest, const ImageDouble& kernel, uint32_t n,
               uint32_t bw, uint32_t bh) {
    if (src.w != dest.w || src.h != dest.h) {
        std::printf("Source and destination images do not match with their size!\n");
        return -1;
    }
    if (!isUsableKernel(kernel)) {
        std::printf("Provided kernel must be square with an odd side of at least 3!\n");
        return -1;
    }
    if (static_cast<uint32_t>(src.h) < static_cast<uint32_t>(kernel.h)) {
        std::printf("Source image is to small for that kernel!\n");
        return -1;
    }
    if (n == 0) return 0;
    LUMAQC_CHECK(static_cast<uint64_t>(n) * bw <= static_cast<uint64_t>(src.w) &&
                 bh <= static_cast<uint64_t>(src.h));

    const int64_t kw = kernel.w;
    const int64_t kh = kernel.h;
    const int64_t half = kw / 2;
    const int64_t stride = src.w;
    const double* k = kernel.data;

    for (int64_t b = 0; b < static_cast<int64_t>(n); ++b) {
        const int64_t x0 = b * static_cast<int64_t>(bw);
        for (int64_t y = half; y < static_cast<int64_t>(bh) - half; ++y) {
            for (int64_t x = half; x < static_cast<int64_t>(bw) - half; ++x) {
                // Top-left sample of the window.
                const uint8_t* window = src.data + (y - half) * stride + (x0 + x - half);
                double sum = 0.0;
                for (int64_t i = 0; i < kh; ++i) {
                    const uint8_t* row = window + i * stride;
                    const double* weights = k + i * kw;
                    for (int64_t j = 0; j < kw; ++j) {
                        sum += static_cast<double>(row[j]) * weights[j];
                    }
                }
                dest.data[y * stride + x0 + x] = sum;
            }
        }
    }
    return 0;
}

void calculateStdDevsDouble_ommitZeros(const ImageDouble& src, ImageDouble& sums,
                                       ImageDouble& squares, ImageDouble& devs,
                                       const ImageDouble& kernel, int32_t bw, int32_t bh) {
    if (!isUsableKernel(kernel)) {
        std::printf("Provided kernel is not symmetric!");
        return;
    }
    LUMAQC_CHECK(sums.w == squares.w && sums.h == squares.h && sums.w == devs.w &&
                 sums.h == devs.h);
    LUMAQC_CHECK(static_cast<int64_t>(sums.w) * bw <= src.w &&
                 static_cast<int64_t>(sums.h) * bh <= src.h);

    const int64_t dw = sums.w;
    const int64_t dh = sums.h;
    const int64_t half = kernel.w / 2;
    const int64_t innerW = bw - 2 * half;
    const int64_t innerH = bh - 2 * half;
    // Blocks narrower than the kernel have no interior; their deviation is NaN.
    const int64_t m = (innerW > 0 && innerH > 0) ? innerW * innerH : 0;
    const int64_t stride = src.w;

    for (int64_t by = 0; by < dh; ++by) {
        double* s = sums.data + by * dw;
        double* q = squares.data + by * dw;
        double* d = devs.data + by * dw;

        // Interior rows of this block row, in storage order.
        for (int64_t r = half; r < bh - half; ++r) {
            const double* line = src.data + (by * bh + r) * stride;
            for (int64_t bx = 0; bx < dw; ++bx) {
                const double* block = line + bx * bw;
                for (int64_t c = half; c < bw - half; ++c) {
                    const double v = block[c];
                    s[bx] += v;
                    q[bx] += v * v;
                }
            }
        }

        for (int64_t bx = 0; bx < dw; ++bx) {
            const double mm = static_cast<double>(m);
            d[bx] = std::sqrt((q[bx] - s[bx] * s[bx] / mm) / (mm - 1.0));
        }
    }
}

}  // namespace lumaqc
