// Per-block change detection and switch counting.
#include "toolkit/flicker.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace lumaqc {

void calculateFlickering(const Image& current, const Image& previous, Image& counters,
                         Image& states, ImageDouble& levels, int32_t bs, double threshold) {
    LUMAQC_CHECK(previous.w == current.w && previous.h == current.h);
    LUMAQC_CHECK(states.w == counters.w && states.h == counters.h);
    LUMAQC_CHECK(levels.w == counters.w && levels.h == counters.h);
    const int32_t bw = counters.w;
    const int32_t bh = counters.h;
    if (bw <= 0 || bh <= 0) return;
    LUMAQC_CHECK(bs > 0 && static_cast<int64_t>(bw) * bs <= current.w &&
                 static_cast<int64_t>(bh) * bs <= current.h);

    // Sum of absolute differences per block, row by row within each block row.
    // The sums are whole numbers, exact in double precision.
    const std::ptrdiff_t stride = current.w;
    for (int32_t by = 0; by < bh; ++by) {
        double* level = levels.data + static_cast<std::ptrdiff_t>(by) * bw;
        for (int32_t r = 0; r < bs; ++r) {
            const std::ptrdiff_t row = (static_cast<std::ptrdiff_t>(by) * bs + r) * stride;
            const uint8_t* cur = current.data + row;
            const uint8_t* prev = previous.data + row;
            for (int32_t bx = 0; bx < bw; ++bx) {
                int64_t sum = 0;
                for (int32_t i = 0; i < bs; ++i) {
                    sum += std::abs(static_cast<int32_t>(cur[i]) - static_cast<int32_t>(prev[i]));
                }
                level[bx] += static_cast<double>(sum);
                cur += bs;
                prev += bs;
            }
        }
    }

    const std::size_t n = static_cast<std::size_t>(bw) * static_cast<std::size_t>(bh);
    const double area = static_cast<double>(static_cast<int64_t>(bs) * bs);
    for (std::size_t i = 0; i < n; ++i) {
        const double m = levels.data[i] / area;
        levels.data[i] = m;
        uint8_t& state = states.data[i];
        if (m >= threshold && state == 0) {
            state = 1;
            ++counters.data[i];
        } else if (m == 0.0 && state == 1) {
            state = 0;
            ++counters.data[i];
        }
    }
}

}  // namespace lumaqc
