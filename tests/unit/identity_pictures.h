// Deterministic pictures for the identity tests, which run an indicator's
// fast path and its reference composition on the same picture and require
// bit-identical results.
//
// identityPictures() covers sizes from 1x1 up to a few hundred samples, odd
// and even, and content from uniform through smooth gradients, sparse edges
// and blocks to random noise. Every picture comes from a fixed seed.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tools/definitions.h"
#include "tools/simd.h"

using namespace lumaqc;

enum class IdentityContent {
    Uniform,        // one value
    Gradient,       // smooth ramp in a random direction
    NoisyGradient,  // ramp plus small noise: natural-looking texture
    SparseEdges,    // flat background with a few sharp rectangles and lines
    Blocky,         // constant 8x8 or 16x16 blocks, some repeated
    Stripes,        // rows or columns that repeat with a period of 16
    Extremes,       // random 0 / 255
    Noise,          // uniformly random samples
};

inline constexpr IdentityContent kIdentityContents[] = {
    IdentityContent::Uniform,     IdentityContent::Gradient, IdentityContent::NoisyGradient,
    IdentityContent::SparseEdges, IdentityContent::Blocky,   IdentityContent::Stripes,
    IdentityContent::Extremes,    IdentityContent::Noise,
};

inline const char* identityContentName(IdentityContent c) {
    switch (c) {
        case IdentityContent::Uniform:
            return "uniform";
        case IdentityContent::Gradient:
            return "gradient";
        case IdentityContent::NoisyGradient:
            return "noisy-gradient";
        case IdentityContent::SparseEdges:
            return "sparse-edges";
        case IdentityContent::Blocky:
            return "blocky";
        case IdentityContent::Stripes:
            return "stripes";
        case IdentityContent::Extremes:
            return "extremes";
        case IdentityContent::Noise:
            return "noise";
    }
    return "?";
}

// A picture that owns its samples; `image` points into `samples`.
struct IdentityPicture {
    int32_t w = 0;
    int32_t h = 0;
    IdentityContent content = IdentityContent::Uniform;
    uint32_t seed = 0;
    std::vector<uint8_t> samples;

    Image image() { return Image{w, h, samples.empty() ? nullptr : samples.data()}; }
    std::string describe() const {
        char text[96];
        std::snprintf(text, sizeof text, "%dx%d %s seed %u", w, h, identityContentName(content),
                      seed);
        return text;
    }
};

inline IdentityPicture makeIdentityPicture(int32_t w, int32_t h, IdentityContent content,
                                           uint32_t seed) {
    IdentityPicture p;
    p.w = w;
    p.h = h;
    p.content = content;
    p.seed = seed;
    p.samples.assign(static_cast<size_t>(w) * static_cast<size_t>(h), 0);
    std::mt19937 rng(seed * 2654435761u + static_cast<uint32_t>(content) * 97u + 1u);
    auto uni = [&rng](int lo, int hi) {  // inclusive
        return lo + static_cast<int>(rng() % static_cast<uint32_t>(hi - lo + 1));
    };
    auto at = [&p](int32_t x, int32_t y) -> uint8_t& {
        return p.samples[static_cast<size_t>(y) * static_cast<size_t>(p.w) + x];
    };
    auto clamp = [](int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };

    switch (content) {
        case IdentityContent::Uniform: {
            const uint8_t v = static_cast<uint8_t>(uni(0, 255));
            for (auto& s : p.samples) s = v;
            break;
        }
        case IdentityContent::Gradient:
        case IdentityContent::NoisyGradient: {
            // Slopes in 1/64 grey levels per sample.
            const int sx = uni(-600, 600);
            const int sy = uni(-600, 600);
            const int base = uni(0, 255) * 64;
            const int amp = content == IdentityContent::NoisyGradient ? uni(1, 12) : 0;
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x) {
                    int v = (base + sx * x + sy * y) / 64;
                    v = ((v % 512) + 512) % 512;  // fold into a triangle wave 0..255
                    if (v > 255) v = 511 - v;
                    if (amp) v += uni(-amp, amp);
                    at(x, y) = clamp(v);
                }
            break;
        }
        case IdentityContent::SparseEdges: {
            const uint8_t bg = static_cast<uint8_t>(uni(0, 255));
            for (auto& s : p.samples) s = bg;
            const int shapes = uni(1, 12);
            for (int k = 0; k < shapes; ++k) {
                const int x0 = uni(0, w - 1);
                const int y0 = uni(0, h - 1);
                const int x1 = std::min<int>(w, x0 + uni(1, std::max(1, w / 2)));
                const int y1 = std::min<int>(h, y0 + uni(1, std::max(1, h / 2)));
                const uint8_t v = static_cast<uint8_t>(uni(0, 255));
                const bool outline = uni(0, 1) == 1;
                for (int y = y0; y < y1; ++y)
                    for (int x = x0; x < x1; ++x)
                        if (!outline || y == y0 || x == x0) at(x, y) = v;
            }
            break;
        }
        case IdentityContent::Blocky: {
            const int b = uni(0, 1) ? 8 : 16;
            const int bw = (w + b - 1) / b;
            const int bh = (h + b - 1) / b;
            std::vector<uint8_t> values(static_cast<size_t>(bw) * bh);
            for (auto& v : values) v = static_cast<uint8_t>(uni(0, 255));
            // Repeat some blocks so runs of equal blocks and equal block rows occur.
            for (size_t i = 1; i < values.size(); ++i)
                if (uni(0, 3) == 0) values[i] = values[i - 1];
            const int amp = uni(0, 1) ? 0 : uni(1, 6);
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x)
                    at(x, y) = clamp(values[static_cast<size_t>(y / b) * bw + x / b] +
                                     (amp ? uni(-amp, amp) : 0));
            break;
        }
        case IdentityContent::Stripes: {
            const bool vertical = uni(0, 1) == 1;
            std::vector<uint8_t> period(16);
            for (auto& v : period) v = static_cast<uint8_t>(uni(0, 255));
            const int noisy = uni(0, 2);  // 0: none, else 1 in 4 samples disturbed
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x) {
                    uint8_t v = period[(vertical ? x : y) % 16];
                    if (noisy && uni(0, 3) == 0) v = static_cast<uint8_t>(uni(0, 255));
                    at(x, y) = v;
                }
            break;
        }
        case IdentityContent::Extremes:
            for (auto& s : p.samples) s = uni(0, 1) ? 255 : 0;
            break;
        case IdentityContent::Noise:
            for (auto& s : p.samples) s = static_cast<uint8_t>(uni(0, 255));
            break;
    }
    return p;
}

// Every content at each of `sizes` (w, h pairs), `seeds` seeds per pair.
inline std::vector<IdentityPicture> identityPictures(
    const std::vector<std::pair<int32_t, int32_t>>& sizes, uint32_t seeds) {
    std::vector<IdentityPicture> out;
    for (const auto& [w, h] : sizes)
        for (IdentityContent c : kIdentityContents)
            for (uint32_t s = 0; s < seeds; ++s) out.push_back(makeIdentityPicture(w, h, c, s));
    return out;
}

// Small and medium sizes, odd and even, 1x1 upwards.
inline const std::vector<std::pair<int32_t, int32_t>>& identitySizes() {
    static const std::vector<std::pair<int32_t, int32_t>> sizes = {
        {1, 1},   {1, 7},    {7, 1},    {2, 2},    {3, 5},     {8, 8},     {9, 8},     {15, 17},
        {16, 16}, {17, 17},  {24, 40},  {33, 31},  {47, 48},   {48, 47},   {48, 48},   {49, 50},
        {64, 64}, {100, 37}, {37, 100}, {130, 66}, {177, 203}, {200, 120}, {255, 257}, {352, 288},
    };
    return sizes;
}

// Bit patterns of two doubles, NaN payloads and signs included.
inline uint64_t doubleBits(double v) {
    return std::bit_cast<uint64_t>(v);
}

// Runs `body` once with each vector target this CPU supports forced in turn
// (plain fallback included), then lifts the restriction. `body` receives the
// target's name.
template <typename F>
void forEachSimdTarget(F body) {
    for (const std::string& target : supportedSimdTargets()) {
        std::string error;
        if (!forceSimdTarget(target, error)) {
            ADD_FAILURE() << error;
            continue;
        }
        body(target);
    }
    resetSimdTarget();
}

// Computes ref on every picture once, then fast on every picture with each
// vector target forced in turn, and requires the same bits (NaN included).
template <typename Fast, typename Ref>
void expectIdenticalOnEveryTarget(std::vector<IdentityPicture>& pictures, Fast fast, Ref ref) {
    std::vector<uint64_t> expected;
    expected.reserve(pictures.size());
    for (auto& p : pictures) expected.push_back(doubleBits(ref(p.image())));
    forEachSimdTarget([&](const std::string& target) {
        for (size_t i = 0; i < pictures.size(); ++i) {
            EXPECT_EQ(doubleBits(fast(pictures[i].image())), expected[i])
                << target << ": " << pictures[i].describe();
        }
    });
}
