// Every indicator that has a fast path against its plain composition
// (reference::registry()), both called as the frame loop calls them: on
// sequences of frames from 1 x 1 to 1024 x 600, odd and even, uniform to
// random noise, fixed seeds, with every vector target this CPU runs. Each
// frame must give the same bits (NaN included); the temporal indicators
// carry their state through the sequence and must carry the same state.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "indicators/registry.h"
#include "qc/picture_counts.h"
#include "qc/picture_measures.h"
#include "reference/reference.h"
#include "tools/simd.h"

using namespace lumaqc;

namespace {

using Samples = std::vector<uint8_t>;

enum Content { Uniform, Gradient, NoisyGradient, SparseEdges, Blocky, Stripes, Extremes, Noise };
constexpr Content kContents[] = {Uniform, Gradient, NoisyGradient, SparseEdges,
                                 Blocky,  Stripes,  Extremes,      Noise};

// A w x h picture of `content` from a fixed seed.
Samples picture(int32_t w, int32_t h, Content content, uint32_t seed) {
    Samples p(static_cast<size_t>(w) * static_cast<size_t>(h), 0);
    std::mt19937 rng(seed * 2654435761u + static_cast<uint32_t>(content) * 97u + 1u);
    auto uni = [&rng](int lo, int hi) {  // inclusive
        return lo + static_cast<int>(rng() % static_cast<uint32_t>(hi - lo + 1));
    };
    auto at = [&p, w](int32_t x, int32_t y) -> uint8_t& {
        return p[static_cast<size_t>(y) * static_cast<size_t>(w) + x];
    };
    auto clamp = [](int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); };
    switch (content) {
        case Uniform:
            std::fill(p.begin(), p.end(), static_cast<uint8_t>(uni(0, 255)));
            break;
        case Gradient:
        case NoisyGradient: {  // a triangle wave in a random direction, slopes in 1/64
            const int sx = uni(-600, 600), sy = uni(-600, 600), base = uni(0, 255) * 64;
            const int amp = content == NoisyGradient ? uni(1, 12) : 0;
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x) {
                    int v = (((base + sx * x + sy * y) / 64) % 512 + 512) % 512;
                    if (v > 255) v = 511 - v;
                    at(x, y) = clamp(amp ? v + uni(-amp, amp) : v);
                }
            break;
        }
        case SparseEdges: {  // a flat background with a few rectangles and outlines
            std::fill(p.begin(), p.end(), static_cast<uint8_t>(uni(0, 255)));
            for (int k = uni(1, 12); k > 0; --k) {
                const int x0 = uni(0, w - 1), y0 = uni(0, h - 1);
                const int x1 = std::min<int>(w, x0 + uni(1, std::max(1, w / 2)));
                const int y1 = std::min<int>(h, y0 + uni(1, std::max(1, h / 2)));
                const auto v = static_cast<uint8_t>(uni(0, 255));
                const bool outline = uni(0, 1) == 1;
                for (int y = y0; y < y1; ++y)
                    for (int x = x0; x < x1; ++x)
                        if (!outline || y == y0 || x == x0) at(x, y) = v;
            }
            break;
        }
        case Blocky: {  // constant 8x8 or 16x16 blocks, some repeated, some noisy
            const int b = uni(0, 1) ? 8 : 16;
            const int bw = (w + b - 1) / b;
            std::vector<uint8_t> values(static_cast<size_t>(bw) * ((h + b - 1) / b));
            for (size_t i = 0; i < values.size(); ++i)
                values[i] = i > 0 && uni(0, 3) == 0 ? values[i - 1] : uni(0, 255);
            const int amp = uni(0, 1) ? 0 : uni(1, 6);
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x)
                    at(x, y) = clamp(values[static_cast<size_t>(y / b) * bw + x / b] +
                                     (amp ? uni(-amp, amp) : 0));
            break;
        }
        case Stripes: {  // rows or columns repeating every 16, sometimes disturbed
            const bool vertical = uni(0, 1) == 1;
            uint8_t period[16];
            for (auto& v : period) v = static_cast<uint8_t>(uni(0, 255));
            const bool noisy = uni(0, 2) != 0;
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x)
                    at(x, y) =
                        noisy && uni(0, 3) == 0 ? uni(0, 255) : period[(vertical ? x : y) % 16];
            break;
        }
        case Extremes:
            for (auto& s : p) s = uni(0, 1) ? 255 : 0;
            break;
        case Noise:
            for (auto& s : p) s = static_cast<uint8_t>(uni(0, 255));
            break;
    }
    return p;
}

// The frame before `p`: the same, a few samples off by one, inverted or unrelated.
Samples previousOf(const Samples& p, uint32_t seed) {
    Samples prev = p;
    std::mt19937 rng(seed);
    for (auto& s : prev) {
        if (seed % 4 == 1 && rng() % 16 == 0) s = static_cast<uint8_t>(s == 255 ? 254 : s + 1);
        if (seed % 4 == 2) s = static_cast<uint8_t>(255 - s);
        if (seed % 4 == 3) s = static_cast<uint8_t>(rng());
    }
    return prev;
}

// Frames in which each 8x8 block stands still, changes by one sample step or
// changes strongly, each with its own rhythm, so that blocks switch between
// still and changing at different rates.
std::vector<Samples> flickeringFrames(int32_t w, int32_t h, int count, uint32_t seed) {
    Samples frame = picture(w, h, NoisyGradient, seed);
    std::mt19937 rng(seed + 17);
    const int32_t bw = (w + 7) / 8, bh = (h + 7) / 8;
    std::vector<uint32_t> rhythm(static_cast<size_t>(bw) * bh);
    for (auto& r : rhythm) r = rng() % 6;  // 0: still; else a change every r-th frame
    std::vector<Samples> out;
    for (int t = 0; t < count; ++t) {
        for (int32_t by = 0; by < bh; ++by)
            for (int32_t bx = 0; bx < bw; ++bx) {
                const uint32_t r = rhythm[static_cast<size_t>(by) * bw + bx];
                if (r == 0 || t % static_cast<int>(r) != 0) continue;
                const bool strong = (bx + by + t) % 3 == 0;
                const int32_t x0 = bx * 8 + static_cast<int32_t>(rng() % 8);
                const int32_t y0 = by * 8 + static_cast<int32_t>(rng() % 8);
                for (int32_t y = by * 8; y < std::min(h, by * 8 + 8); ++y)
                    for (int32_t x = bx * 8; x < std::min(w, bx * 8 + 8); ++x) {
                        uint8_t& s = frame[static_cast<size_t>(y) * w + x];
                        if (strong || (x == x0 && y == y0)) s = strong ? 255 - s : s ^ 1;
                    }
            }
        out.push_back(frame);
    }
    return out;
}

// A sequence of w x h frames, for the indicators in `only` (all when empty).
struct Sequence {
    std::string name;
    int32_t w = 0;
    int32_t h = 0;
    std::vector<Samples> frames;
    std::vector<IndicatorId> only;
    std::function<void(TemporalState&)> prepare;  // sets the state before the first frame
};

// `count` noise pictures, each changed by `change(picture, index, w, h)`.
void addPictures(std::vector<Sequence>& out, const std::string& name, int32_t w, int32_t h,
                 std::vector<IndicatorId> only,
                 const std::function<void(Samples&, int, int32_t, int32_t)>& change, int count) {
    Sequence s{name + " " + std::to_string(w) + "x" + std::to_string(h), w, h, {}, only, {}};
    for (int i = 0; i < count; ++i) {
        s.frames.push_back(picture(w, h, Noise, static_cast<uint32_t>(i) + 5));
        change(s.frames.back(), i, w, h);
    }
    out.push_back(std::move(s));
}

std::vector<Sequence> makeSequences() {
    std::vector<Sequence> out;
    // Every content at sizes from 1 x 1 up, odd and even, three seeds, each
    // picture after a variant of itself (repeated, nudged, inverted, unrelated).
    const std::pair<int32_t, int32_t> sizes[] = {
        {1, 1},   {1, 7},    {7, 1},    {2, 2},    {3, 5},     {8, 8},     {9, 8},     {15, 17},
        {16, 16}, {17, 17},  {24, 40},  {33, 31},  {47, 48},   {48, 47},   {48, 48},   {49, 50},
        {64, 64}, {100, 37}, {37, 100}, {130, 66}, {177, 203}, {200, 120}, {255, 257}, {352, 288}};
    uint32_t seed = 0;
    for (const auto& [w, h] : sizes) {
        Sequence s{"contents " + std::to_string(w) + "x" + std::to_string(h), w, h, {}, {}, {}};
        for (Content c : kContents)
            for (uint32_t k = 0; k < 3; ++k) {
                s.frames.push_back(picture(w, h, c, k));
                s.frames.push_back(previousOf(s.frames.back(), ++seed));
                std::swap(s.frames.back(), s.frames[s.frames.size() - 2]);
            }
        out.push_back(std::move(s));
    }
    // Large pictures: block loss needs 256 x 256 (partial regions and grid
    // cells at the edges); sums fold their 32-bit accumulators several times;
    // noise measures only the first thousand qualifying blocks.
    const std::pair<int32_t, int32_t> large[] = {{256, 256},  {257, 256}, {256, 271}, {511, 263},
                                                 {600, 300},  {300, 600}, {640, 480}, {1001, 72},
                                                 {1023, 601}, {8200, 17}};
    for (const auto& [w, h] : large) {
        Sequence s{"large " + std::to_string(w) + "x" + std::to_string(h), w, h, {}, {}, {}};
        for (Content c : {Extremes, Noise, NoisyGradient, Blocky, SparseEdges})
            s.frames.push_back(picture(w, h, c, 1));
        s.frames.push_back(Samples(static_cast<size_t>(w) * h, 255));
        out.push_back(std::move(s));
    }
    // Block loss: strong noise inside 16x16 blocks, quiet samples along their
    // edges and some inverted blocks (long strong runs on the grid lines).
    for (uint32_t k = 0; k < 4; ++k)
        addPictures(
            out, "grid runs", 300 + 37 * static_cast<int32_t>(k), 280, {kBlockLoss},
            [k](Samples& p, int, int32_t w, int32_t) {
                for (int32_t y = 0; y < 280; ++y)
                    for (int32_t x = 0; x < w; ++x) {
                        uint8_t& v = p[static_cast<size_t>(y) * w + x];
                        const bool edge =
                            x % 16 == 0 || x % 16 == 15 || y % 16 == 0 || y % 16 == 15;
                        v = static_cast<uint8_t>(v * (edge ? 12 : 170 + 10 * k) / 255);
                        const uint32_t block =
                            static_cast<uint32_t>(x / 16 * 7919 + y / 16 * 104729) * 2654435761u;
                        if ((block >> 29) == k % 8) v = static_cast<uint8_t>(255 - v);
                    }
            },
            2);
    // Letterbox: flat bars at the top and bottom, each row at its own level;
    // one sample off in the innermost bar row (first, second, middle or last
    // column) shortens them. Widths around the vector sizes.
    for (int32_t w : {2, 3, 15, 16, 17, 31, 32, 33, 63, 64, 65, 129, 720})
        addPictures(
            out, "bars", w, 20, {kLetterbox},
            [](Samples& p, int i, int32_t w, int32_t) {
                const std::pair<int32_t, int32_t> bars[] = {{0, 3}, {3, 3}, {5, 2}, {9, 9}};
                const auto [top, bottom] = bars[i / 5];
                for (int32_t y = 0; y < 20; ++y)
                    if (y < top || y >= 20 - bottom)
                        std::fill_n(p.begin() + y * w, w, static_cast<uint8_t>(7 * y));
                const int32_t columns[] = {-1, 0, 1, w / 2, w - 1};
                const int32_t row = top > 0 ? top - 1 : 20 - bottom;
                if (columns[i % 5] >= 0) p[static_cast<size_t>(row) * w + columns[i % 5]] ^= 0x40;
            },
            20);
    // Pillarbox: identical columns at the left, each row at its own level;
    // one sample off inside the bar shortens it.
    for (const auto& [w, h] : {std::pair{4, 2}, {40, 3}, {70, 17}, {150, 64}, {300, 9}})
        addPictures(
            out, "pillars", w, h, {kPillarbox},
            [](Samples& p, int i, int32_t w, int32_t h) {
                const int32_t bars[] = {0, 1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 80, 149};
                const int32_t bar = std::min<int32_t>(w - 1, bars[i / 5]);
                for (int32_t y = 0; y < h; ++y)
                    std::fill_n(p.begin() + y * w, bar + 1, static_cast<uint8_t>(11 * y));
                const int32_t rows[] = {-1, 0, h / 2, h - 1, (h * 2) / 3};
                if (rows[i % 5] >= 0 && bar > 0)
                    p[static_cast<size_t>(rows[i % 5]) * w + (bar * 3) / 4] ^= 0x20;
            },
            65);
    // Blackout: flat pictures whose block means spread by just under, exactly
    // and just over the threshold (block sums 255, 256, 257 apart), the odd
    // block first, in the middle or last; a change beyond the whole blocks
    // does not count.
    for (const auto& [w, h] : {std::pair{8, 8}, {16, 8}, {67, 53}, {200, 120}, {483, 270}})
        addPictures(
            out, "spreads", w, h, {kBlackout},
            [](Samples& p, int i, int32_t w, int32_t h) {
                const int base = (i % 3) * 125, delta = 255 + i / 3 % 3, where = i / 9;
                std::fill(p.begin(), p.end(), static_cast<uint8_t>(base));
                const int32_t bw = w / 8, bh = h / 8;
                const int32_t bx = where == 0 ? 0 : where == 1 ? bw / 2 : bw - 1;
                const int32_t by = where == 0 ? 0 : where == 1 ? bh / 2 : bh - 1;
                for (int32_t y = 0; y < 8; ++y)
                    for (int32_t x = 0; x < 8; ++x)
                        p[static_cast<size_t>(by * 8 + y) * w + bx * 8 + x] =
                            static_cast<uint8_t>(base + 4 + (x + y == 0 ? delta - 256 : 0));
                if (w % 8 != 0) p[static_cast<size_t>(w) - 1] = 255;
            },
            27);
    // Interlace: the two fields pulled apart by a few grey levels, some
    // columns flattened (equal neighbours break the zigzag).
    for (const auto& [w, h] : {std::pair{8, 8}, {17, 17}, {49, 50}, {130, 66}, {352, 288}})
        addPictures(
            out, "combed", w, h, {kInterlace},
            [](Samples& p, int i, int32_t w, int32_t h) {
                p = picture(w, h, NoisyGradient, static_cast<uint32_t>(i));
                const int apart = (i % 3) * 9 + 1;
                std::mt19937 rng(static_cast<uint32_t>(i));
                for (int32_t y = 0; y < h; ++y)
                    for (int32_t x = 0; x < w; ++x) {
                        uint8_t& s = p[static_cast<size_t>(y) * w + x];
                        s = static_cast<uint8_t>(std::clamp(s + (y % 2 ? apart : -apart), 0, 255));
                        if (y > 0 && rng() % 40 == 0) s = p[static_cast<size_t>(y - 1) * w + x];
                    }
            },
            6);
    // Slice: strips without any match (0 / 0), strips that repeat only
    // downwards (an infinite ratio), and those mixed with noise.
    for (int32_t w : {17, 64, 100, 333})
        for (int32_t h : {48, 63, 64, 200})
            addPictures(
                out, "strips", w, h, {kSlice},
                [](Samples& p, int i, int32_t w, int32_t h) {
                    for (int32_t y = 0; y < h; ++y)
                        for (int32_t x = 0; x < w; ++x) {
                            uint8_t& s = p[static_cast<size_t>(y) * w + x];
                            if (i == 2 && (y / 16) % 2 == 0) continue;  // noise strips
                            s = static_cast<uint8_t>(i == 1 ? x + 17 * (y % 16) : x + 17 * y);
                        }
                },
                3);
    // Blockiness, slice and interlace from one walk in bands of 16 rows:
    // widths around where its shared vector step hands the last columns
    // over, heights around the bands; every content.
    for (int32_t w : {71, 72, 73, 136, 137, 200, 264})
        for (int32_t h : {48, 63, 65, 95})
            addPictures(
                out, "bands", w, h, {kBlockiness, kSlice, kInterlace},
                [](Samples& p, int i, int32_t w, int32_t h) { p = picture(w, h, kContents[i], 3); },
                8);
    // Spatial activity: rows long enough to fill 32-bit accumulators before
    // they are folded, with the strongest responses (|Gx| = 1020).
    for (const auto& [w, h] : {std::pair{8300, 3}, {8300, 5}, {2100, 9}, {3, 900}})
        addPictures(
            out, "strong edges", w, h, {kSpatialActivity},
            [](Samples& p, int i, int32_t w, int32_t h) {
                if (i == 1) p = picture(w, h, Extremes, 1);
                if (i == 1) return;
                for (int32_t y = 0; y < h; ++y)
                    for (int32_t x = 0; x < w; ++x)
                        p[static_cast<size_t>(y) * w + x] = (x / 2 + y / 2) % 2 ? 255 : 0;
            },
            2);
    // Blur: slopes of one level a sample, up to 220 long (ramps over more
    // than 64 columns), each broken by a jump; widths around the vector sizes.
    for (int32_t w : {65, 129, 600})
        addPictures(
            out, "long ramps", w, 9, {kBlur},
            [](Samples& p, int i, int32_t w, int32_t h) {
                const int jump = 20 + 3 * i, half = 60 + 32 * i, at = half * (1 + i % 3) / 4;
                for (int32_t y = 0; y < h; ++y)
                    for (int32_t x = 0; x < w; ++x) {
                        const int t = (x + i * y) % (2 * half);
                        const int s = t < half ? t : 2 * half - 1 - t;
                        p[static_cast<size_t>(y) * w + x] = s + (s >= at ? jump : 0);
                    }
            },
            6);
    // Blur keeps the edge step of the frame before as a hint: every picture
    // after every other, and after itself.
    {
        std::vector<Samples> pictures;
        for (Content c : kContents) pictures.push_back(picture(130, 66, c, 7));
        Sequence s{"blur hint 130x66", 130, 66, {}, {kBlur}, {}};
        for (const Samples& p : pictures)
            for (const Samples& before : pictures) {
                s.frames.push_back(before);
                s.frames.push_back(p);
            }
        out.push_back(std::move(s));
    }
    // The edge step falling by one, two and more steps and rising again
    // (noise at a slowly changing contrast), flat pictures among them; ramps
    // from the first and into the last column.
    for (const auto& [w, h] : {std::pair{131, 67}, {203, 45}}) {
        Sequence s{
            "blur steps " + std::to_string(w) + "x" + std::to_string(h), w, h, {}, {kBlur}, {}};
        const Samples noise = picture(w, h, Noise, 5);
        for (int a : {60, 59, 58, 56, 53, 49, 0, 0, 44, 47, 45, 44, 36, 37, 60, 9, 8, 60}) {
            Samples& p = s.frames.emplace_back(noise);
            for (uint8_t& v : p) v = static_cast<uint8_t>(128 + (v - 128) * a / 256);
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < 4; ++x) {
                    p[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(128 + a * x / 2);
                    p[static_cast<size_t>(y) * w + w - 1 - x] =
                        static_cast<uint8_t>(128 - a * x / 2);
                }
        }
        out.push_back(std::move(s));
    }
    // Flickering over sequences long enough for three rating periods; 10x10
    // blocks give a top count of 2 (0.03 * 100 rounds down), 35 blocks 1.
    seed = 0;
    const std::pair<int32_t, int32_t> flickers[] = {{1, 1},     {7, 9},     {8, 8},   {17, 15},
                                                    {80, 80},   {56, 40},   {81, 87}, {100, 37},
                                                    {203, 177}, {352, 288}, {520, 64}};
    for (const auto& [w, h] : flickers) {
        const std::string name = "flicker " + std::to_string(w) + "x" + std::to_string(h);
        out.push_back({name, w, h, flickeringFrames(w, h, 27, ++seed), {}, {}});
    }
    // Switch counters that wrap past 255 within a period: every block switches
    // on every call, from counters near the wrap.
    Sequence wrap{"wrapping counters 96x72", 96, 72, {}, {kFlickering}, [](TemporalState& t) {
                      const size_t n = static_cast<size_t>(t.switchCounters.w) * t.switchCounters.h;
                      for (size_t i = 0; i < n; ++i) t.switchCounters.data[i] = 240 + i % 16;
                  }};
    Samples still(96 * 72, 100), moved = still;
    for (size_t i = 0; i < moved.size(); i += 3) moved[i] = 101;
    for (int t = 0; t < 24; ++t) wrap.frames.push_back(t % 2 ? moved : still);
    out.push_back(std::move(wrap));
    return out;
}

const std::vector<Sequence>& sequences() {
    static const std::vector<Sequence> all = makeSequences();
    return all;
}

// Runs `compute` over the frames of `s` as the frame loop does (the temporal
// indicators from the second frame on, each against the frame before) and
// returns the bits of every value; `states` receives the temporal state after
// each frame.
std::vector<uint64_t> run(const Sequence& s, Stage stage, double (*compute)(const FrameContext&),
                          BlurState* blur, std::vector<std::vector<uint8_t>>& states,
                          BlockStats* stats = nullptr, StructureSums* structure = nullptr,
                          RobertsShare* roberts = nullptr) {
    TemporalState temporal = createTemporalState(s.w, s.h);
    if (s.prepare) s.prepare(temporal);
    const size_t blocks =
        static_cast<size_t>(temporal.switchCounters.w) * temporal.switchCounters.h;
    std::vector<uint64_t> bits;
    states.clear();
    const FrameValues values{};
    for (size_t t = stage == Stage::Spatial ? 0 : 1; t < s.frames.size(); ++t) {
        const Image current{s.w, s.h, const_cast<uint8_t*>(s.frames[t].data())};
        const Image previous{s.w, s.h, const_cast<uint8_t*>(s.frames[t > 0 ? t - 1 : 0].data())};
        FrameContext frame{&current, &previous, &temporal, blur, 25.0, &values};
        frame.blockStats = stats;
        frame.structure = structure;
        if (stats != nullptr) stats->ready = false;
        if (structure != nullptr) structure->ready = false;
        frame.roberts = roberts;
        if (roberts != nullptr) roberts->ready = false;
        bits.push_back(std::bit_cast<uint64_t>(compute(frame)));
        std::vector<uint8_t> state(temporal.switchCounters.data,
                                   temporal.switchCounters.data + blocks);
        state.insert(state.end(), temporal.changeStates.data, temporal.changeStates.data + blocks);
        state.push_back(static_cast<uint8_t>(temporal.frameCount));  // 0 to 7
        states.push_back(std::move(state));
    }
    freeTemporalState(temporal);
    return bits;
}

// Temporal activity and flickering as the frame loops run them: the block
// changes left by temporal activity, then flickering's update from them.
std::vector<uint8_t> changes;
double temporalActivityWithChanges(const FrameContext& c) {
    changes.assign(flickeringBlocks(c.current->w, c.current->h), 0);
    return temporalActivity(*c.current, *c.previous, changes.data());
}
double flickeringInTwoSteps(const FrameContext& c) {
    temporalActivityWithChanges(c);
    return flickeringUpdate(changes.data(), *c.temporal);
}

// Block loss from the Roberts energies spatial activity's pass leaves, which
// are checked against the picture's (their sum and the grid columns' table)
// when the pass forms them alone and with the frame's block statistics.
double blockLossAfterSpatialActivity(const FrameContext& c) {
    for (const bool alone : {true, false}) {
        if (alone) spatialActivity(*c.current, *c.roberts);
        if (!alone) indicatorInfo(kSpatialActivity).compute(c);
        const RobertsShare& r = *c.roberts;
        const Image& p = *c.current;
        int64_t sum = 0;
        for (int32_t y = 1; r.ready && y < p.h; ++y)
            for (int32_t x = 1; x < p.w; ++x) {
                const uint8_t* cur = p.data + static_cast<size_t>(y) * p.w;
                const int32_t a = cur[x - p.w - 1] - cur[x], b = cur[x - p.w] - cur[x - 1];
                sum += a * a + b * b;
                if (x % 16 == 0 && x / 16 < r.gridCols && y < r.tableRows) {
                    EXPECT_EQ(r.table[static_cast<size_t>(y) * r.gridCols + x / 16],
                              std::min(a * a + b * b, 65535))
                        << p.w << "x" << p.h << " at " << x << ", " << y;
                }
            }
        EXPECT_EQ(r.ready ? r.energySum : 0, sum) << p.w << "x" << p.h << (alone ? " alone" : "");
    }
    return indicatorInfo(kBlockLoss).compute(c);
}

// The indicators that read the frame's block statistics, with them summed
// by the structure walk of a first indicator, as in a frame.
bool readsBlockStats(IndicatorId id) {
    return id == kNoise || id == kContrast || id == kExposure || id == kBlackout ||
           id == kSpatialActivity;
}
double (*readerOfStats)(const FrameContext&) = nullptr;
double afterStructureWalk(const FrameContext& c) {
    indicatorInfo(kBlockiness).compute(c);
    EXPECT_TRUE(c.blockStats->ready);
    return readerOfStats(c);
}

class Identity : public testing::TestWithParam<reference::ReferenceInfo> {};

TEST_P(Identity, FastPathGivesTheBitsOfThePlainComposition) {
    const reference::ReferenceInfo& plain = GetParam();
    const IndicatorInfo& fast = indicatorInfo(plain.id);
    std::vector<std::vector<std::vector<uint8_t>>> expectedStates;
    std::vector<std::vector<uint64_t>> expected;
    auto tested = [&plain](const Sequence& s) {
        return s.only.empty() || std::find(s.only.begin(), s.only.end(), plain.id) != s.only.end();
    };
    for (const Sequence& s : sequences()) {
        expectedStates.emplace_back();
        expected.push_back(tested(s)
                               ? run(s, fast.stage, plain.compute, nullptr, expectedStates.back())
                               : std::vector<uint64_t>{});
    }
    for (const std::string& target : supportedSimdTargets()) {
        std::string error;
        ASSERT_TRUE(forceSimdTarget(target, error)) << error;
        BlurState hint;  // carried through every sequence, as from frame to frame
        BlockStats stats;
        StructureSums structure;
        RobertsShare roberts;
        std::vector<std::vector<uint8_t>> states;
        for (size_t i = 0; i < sequences().size(); ++i) {
            const Sequence& s = sequences()[i];
            if (!tested(s)) continue;
            // Temporal activity and flickering also as the frame loops run
            // them: the block changes first, then the update from them; the
            // spatial ones also from shared block statistics, structure
            // sums and Roberts energies (one object for every size, as a
            // thread keeps it).
            // The block statistics' readers also once more after the
            // structure walk, which then sums the blocks.
            readerOfStats = fast.compute;
            for (const int mode : {0, 1, 2}) {
                const bool split = mode > 0;
                const bool temporal = plain.id == kTemporalActivity;
                const bool shared = split && fast.stage == Stage::Spatial;
                if (split && plain.id != kFlickering && !temporal && !shared) continue;
                const bool walked = mode == 2;
                if (walked && !readsBlockStats(plain.id)) continue;
                const std::string what = target + ", " + s.name +
                                         (walked  ? " (after the walk)"
                                          : split ? " (split)"
                                                  : "");
                const auto compute = walked ? afterStructureWalk
                                     : split && plain.id == kBlockLoss
                                         ? blockLossAfterSpatialActivity
                                     : !split || shared ? fast.compute
                                     : temporal         ? temporalActivityWithChanges
                                                        : flickeringInTwoSteps;
                const std::vector<uint64_t> bits =
                    run(s, fast.stage, compute, &hint, states, shared ? &stats : nullptr,
                        shared ? &structure : nullptr, shared ? &roberts : nullptr);
                for (size_t t = 0; t < bits.size(); ++t) {
                    EXPECT_EQ(bits[t], expected[i][t]) << what << ", value " << t;
                    EXPECT_EQ(states[t], expectedStates[i][t]) << what << ", state " << t;
                }
            }
        }
    }
    resetSimdTarget();
}

INSTANTIATE_TEST_SUITE_P(Registry, Identity,
                         testing::ValuesIn(reference::registry().begin(),
                                           reference::registry().end()),
                         [](const testing::TestParamInfo<reference::ReferenceInfo>& info) {
                             return std::string(indicatorKey(info.param.id));
                         });

}  // namespace

// Colour bars: eight levels side by side, each sample within 2 of its bar's.
Samples barsPicture(int32_t w, int32_t h, uint32_t seed) {
    std::mt19937 rng(seed);
    Samples p(static_cast<size_t>(w) * static_cast<size_t>(h));
    for (size_t i = 0; i < p.size(); ++i) {
        const auto x = static_cast<int32_t>(i % static_cast<size_t>(w));
        p[i] = static_cast<uint8_t>(20 + 28 * (x * 8 / w) + static_cast<int>(rng() % 5) - 2);
    }
    return p;
}

// Luma level sets of 0 to 17 levels (over 16 the measures take the
// histogram), from a few levels around black and the range limits to random.
std::vector<qc::LumaLevels> levelSets() {
    std::vector<qc::LumaLevels> sets(6);
    for (const int v : {4, 18, 32, 246}) sets[1].add(v);
    for (const int v : {-13, 0, 254, 255, 300}) sets[2].add(v);
    std::mt19937 rng(11);
    for (size_t k = 3; k < sets.size(); ++k) {
        const int n = k == 3 ? 5 : k == 4 ? 16 : 17;
        while (sets[k].count() < n) sets[k].add(static_cast<int>(rng() % 255));
    }
    return sets;
}

// The QC's picture measures (the samples at or below each level asked for,
// bars, lost bands, fields against the previous picture) against the plain
// per-sample code with every target, on rows packed and padded; the current
// picture differs from the previous one entirely, by noise, or on every
// other row (woven fields, which comb), or is colour bars, or the previous
// picture moved one row and one column, or one column.
TEST(IdentityQc, PictureMeasuresMatchThePlainCode) {
    const struct {
        int32_t w, h;
    } sizes[] = {{1, 1},   {1, 9},    {2, 8},     {3, 8},     {3, 13},    {9, 7},     {17, 9},
                 {1, 48},  {15, 48},  {16, 49},   {17, 50},   {31, 64},   {33, 48},   {64, 48},
                 {65, 31}, {99, 100}, {1027, 10}, {1100, 66}, {4095, 48}, {4097, 50}, {4097, 1}};
    bool combed = false, bars = false, apart = false, moved = false;
    const std::vector<qc::LumaLevels> sets = levelSets();
    size_t round = 0;
    for (const std::string& target : supportedSimdTargets()) {
        std::string error;
        ASSERT_TRUE(forceSimdTarget(target, error)) << error;
        for (const auto& s : sizes)
            for (const Content content : kContents)
                for (int kind = 0; kind < 6; ++kind) {
                    const Samples before = picture(s.w, s.h, content, 7);
                    Samples now = kind == 3
                                      ? barsPicture(s.w, s.h, content)
                                      : picture(s.w, s.h, kind == 0 ? content : NoisyGradient, 8);
                    for (size_t i = 0; i < now.size(); ++i) {
                        if (kind == 1)
                            now[i] = static_cast<uint8_t>((before[i] + now[i] % 32) % 256);
                        if (kind == 2 && (i / s.w) % 2 == 1) now[i] = before[i];
                        const size_t x = i % s.w, y = i / s.w;
                        if (kind == 4) now[i] = before[(y + 1) % s.h * s.w + (x + 1) % s.w];
                        if (kind == 5) now[i] = before[y * s.w + (x + s.w - 1) % s.w];
                    }
                    const int32_t stride = s.w + (kind % 2 == 1 ? 13 : 0);
                    Samples padded(static_cast<size_t>(stride) * s.h, 0xAB);
                    for (int32_t y = 0; y < s.h; ++y)
                        std::copy_n(&now[static_cast<size_t>(y) * s.w], s.w, &padded[y * stride]);
                    const auto fast =
                        qc::measurePicture(padded.data(), s.w, s.h, stride, before.data(), s.w);
                    const auto plain =
                        qc::detail::measurePlain(padded.data(), before.data(), s.w, s.h, stride);
                    const std::string what =
                        target + " " + std::to_string(s.w) + "x" + std::to_string(s.h) +
                        " content " + std::to_string(content) + " kind " + std::to_string(kind);
                    EXPECT_EQ(fast.atOrBelow, plain.atOrBelow) << what;  // every level
                    const qc::LumaLevels& asked = sets[round++ % sets.size()];
                    const auto counted = qc::measurePicture(padded.data(), s.w, s.h, stride,
                                                            nullptr, 0, false, asked);
                    for (int i = 0; i < asked.count(); ++i) {
                        const auto v = static_cast<size_t>(asked[i]);
                        EXPECT_EQ(counted.atOrBelow[v], plain.atOrBelow[v]) << what << " at " << v;
                    }
                    EXPECT_EQ(fast.fieldsMeasured, plain.fieldsMeasured) << what;
                    EXPECT_EQ(fast.moving, plain.moving) << what;
                    EXPECT_EQ(fast.combed, plain.combed) << what;
                    EXPECT_EQ(fast.fieldRatio, plain.fieldRatio) << what;
                    EXPECT_EQ(fast.shifted, plain.shifted) << what;
                    EXPECT_EQ(fast.bars, plain.bars) << what;
                    EXPECT_EQ(fast.bandApart, plain.bandApart) << what;
                    combed = combed || plain.combed > 0;
                    bars = bars || plain.bars;
                    apart = apart || plain.bandApart > 1.0;
                    moved = moved || (kind >= 4 && plain.shifted > 95.0);
                }
    }
    resetSimdTarget();
    // The pictures reach the combing test, bars and bands apart.
    EXPECT_TRUE(combed);
    EXPECT_TRUE(bars);
    EXPECT_TRUE(apart);
    EXPECT_TRUE(moved);
}

// The block edges' Roberts energy of a row against the row above, every
// target, against the sum sample by sample: widths below, at and past a
// vector, and flushes of the 32-bit sums.
TEST(IdentityQc, RobertsEnergyMatchesThePlainSum) {
    std::mt19937 rng(5);
    for (const std::string& target : supportedSimdTargets()) {
        std::string error;
        ASSERT_TRUE(forceSimdTarget(target, error)) << error;
        for (const int32_t width : {1, 2, 15, 16, 17, 33, 64, 65, 130, 1920, 4097, 70001}) {
            Samples up(static_cast<size_t>(width)), row(static_cast<size_t>(width));
            for (int k = 0; k < 3; ++k) {
                // Noise; then columns of 0 and 255 in turn, the row the same
                // (every step the largest) or inverted (no step).
                for (int32_t x = 0; x < width; ++x) {
                    up[x] = static_cast<uint8_t>(k == 0 ? rng() : x % 2 == 0 ? 255 : 0);
                    row[x] = static_cast<uint8_t>(k == 0 ? rng() : k == 1 ? up[x] : 255 - up[x]);
                }
                int64_t plain = 0;
                for (int32_t x = 1; x < width; ++x) {
                    const int64_t a = up[x - 1] - row[x], b = up[x] - row[x - 1];
                    plain += a * a + b * b;
                }
                EXPECT_EQ(qc::robertsEnergy(up.data(), row.data(), width), plain)
                    << target << " width " << width << " case " << k;
            }
        }
    }
    resetSimdTarget();
}
