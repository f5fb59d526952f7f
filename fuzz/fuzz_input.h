// Reading a fuzzer's byte string as a sequence of choices: sizes, parameters
// and picture content. Every read is defined however short the input is (an
// exhausted input reads as zeros), so any byte string is a valid test case.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/definitions.h"

using namespace lumaqc;

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint32_t u32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = value << 8 | byte();
        return value;
    }
    bool flag() { return (byte() & 1) != 0; }

    // A value in [lo, hi], both included.
    int32_t range(int32_t lo, int32_t hi) {
        const uint64_t span = static_cast<uint64_t>(int64_t{hi} - lo) + 1;
        uint32_t raw = byte();
        if (span > 256) raw = raw << 8 | byte();
        for (int i = 0; i < 2 && span > 65536; ++i) raw = raw << 8 | byte();
        return static_cast<int32_t>(lo + static_cast<int64_t>(raw % span));
    }

    // A double from a handful of interesting values or the raw bits.
    double real() {
        static const double kValues[] = {0.0,   -0.0,   1.0,   -1.0,     0.5,       25.0,
                                         29.97, 1e-300, 1e300, INFINITY, -INFINITY, NAN};
        const uint8_t choice = byte();
        if (choice < 200) return kValues[choice % 12];
        const uint64_t bits = uint64_t{u32()} << 32 | u32();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    size_t remaining() const { return size_ - pos_; }
    const uint8_t* rest() const { return data_ + pos_; }

    // Fills `out` with picture content of a kind chosen by the next byte: the
    // remaining input repeated, one value, extremes, ramps, stripes, small
    // noise around a value, or noise from a seed.
    void fill(uint8_t* out, size_t n) {
        const uint8_t kind = byte() % 7, a = byte(), b = byte();
        uint32_t state = u32() | 1u;
        const size_t available = remaining();
        for (size_t i = 0; i < n; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            out[i] = kind == 0   ? (available > 0 ? rest()[i % available] : 0)
                     : kind == 1 ? a
                     : kind == 2 ? (state & 1) * 255
                     : kind == 3 ? static_cast<uint8_t>(a + i * (b % 8))
                     : kind == 4 ? (((i / (b % 16 + 1)) & 1) != 0 ? a : b)
                     : kind == 5 ? static_cast<uint8_t>(a + state % (b % 32 + 1))
                                 : static_cast<uint8_t>(state);
        }
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Stops the fuzzer with a message when two results that must agree do not.
inline void requireSame(double a, double b, const char* what, int32_t w, int32_t h) {
    if (std::memcmp(&a, &b, sizeof a) != 0) {
        std::fprintf(stderr, "%s differs on %d x %d: %.17g against %.17g\n", what, w, h, a, b);
        std::abort();
    }
}

inline void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "%s\n", what);
        std::abort();
    }
}
