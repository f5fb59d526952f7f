// Builds picture samples from a function of the column and row.
#pragma once

#include <cstdint>
#include <vector>

template <typename F>
std::vector<uint8_t> samples(int32_t w, int32_t h, F f) {
    std::vector<uint8_t> s(static_cast<size_t>(w) * h);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) s[y * w + x] = static_cast<uint8_t>(f(x, y));
    return s;
}
