// Test card generator.
//
// Background: a textured picture defined on an unbounded integer plane and
// scrolled by (2, 1) pixels per frame. It is the sum of
//   - smooth value noise on a 64-pixel lattice (the large shapes),
//   - smooth value noise on a 16-pixel lattice (medium detail),
//   - sparse diamonds with sharp 45-degree edges (the strong edges; being
//     diagonal they never run along a row or column, so the background shows
//     no lost blocks, bands or bars by accident),
//   - faint per-pixel grain,
// clipped to 24 .. 232 so that no background sample is black.
//
// Each scene renders that background for its frame and applies one
// impairment. Everything is integer arithmetic on fixed hashes, so the output
// is the same on every platform.
#include "testcard/testcard.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lumaqc {

namespace {

enum class Kind {
    Reference,
    Flicker,
    Blocking,
    Blur,
    Noise,
    Letterbox,
    Pillarbox,
    Combing,
    LostBand,
    LostBlock,
    Black,
    Frozen,
};

struct SceneDef {
    TestcardScene scene;
    Kind kind;
};

// The flicker scene starts one frame after a multiple of 8: a reader that
// rates flicker over periods of 8 frames starting with the second frame of
// the clip then sees two whole periods inside the scene.
const std::vector<SceneDef>& sceneDefs() {
    static const std::vector<SceneDef> defs = {
        {{"reference", 0, 8}, Kind::Reference},    {{"flicker", 9, 24}, Kind::Flicker},
        {{"blocking", 25, 34}, Kind::Blocking},    {{"blur", 35, 44}, Kind::Blur},
        {{"noise", 45, 54}, Kind::Noise},          {{"letterbox", 55, 64}, Kind::Letterbox},
        {{"pillarbox", 65, 74}, Kind::Pillarbox},  {{"combing", 75, 84}, Kind::Combing},
        {{"lost-band", 85, 94}, Kind::LostBand},   {{"lost-block", 95, 104}, Kind::LostBlock},
        {{"black", 105, 116}, Kind::Black},        {{"frozen", 117, 128}, Kind::Frozen},
        {{"recovery", 129, 136}, Kind::Reference},
    };
    return defs;
}

const SceneDef* sceneDefOf(int index) {
    for (const SceneDef& d : sceneDefs()) {
        if (index >= d.scene.first && index <= d.scene.last) return &d;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Hashing and pseudo-random numbers.

constexpr uint32_t SALT_COARSE = 0x1b873593u;
constexpr uint32_t SALT_MEDIUM = 0xcc9e2d51u;
constexpr uint32_t SALT_DIAMOND = 0xe6546b64u;
constexpr uint32_t SALT_GRAIN = 0x85ebca6bu;
constexpr uint64_t NOISE_SEED = 0x243f6a8885a308d3ull;

// 32-bit integer finaliser with good avalanche.
inline uint32_t mix32(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

inline uint32_t hash2(uint32_t a, uint32_t b, uint32_t salt) {
    return mix32(a ^ mix32(b ^ salt));
}

// splitmix64: one 64-bit output per call from a 64-bit counter state.
inline uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// ---------------------------------------------------------------------------
// Background texture.

// Plane coordinates start far from 0 so that scrolled and shifted positions
// stay positive and all lattice arithmetic is unsigned.
constexpr uint32_t ORIGIN = 1u << 14;

constexpr int COARSE_SHIFT = 6;  // 64-pixel lattice
constexpr int COARSE_LOW = 60;
constexpr int COARSE_RANGE = 121;  // values 60 .. 180
constexpr int MEDIUM_SHIFT = 4;    // 16-pixel lattice
constexpr int MEDIUM_LOW = -20;
constexpr int MEDIUM_RANGE = 41;  // values -20 .. 20
constexpr int DIAMOND_SHIFT = 7;  // one diamond per 128 x 128 cell
constexpr int TEXTURE_MIN = 24;
constexpr int TEXTURE_MAX = 232;

// Frame position of the scrolling background.
struct Position {
    uint32_t x;
    uint32_t y;
};

Position scrollPosition(int frame) {
    return {ORIGIN + 2u * static_cast<uint32_t>(frame), ORIGIN + static_cast<uint32_t>(frame)};
}

// Adds bilinear value noise on a 2^shift lattice to acc[0 .. w-1] for plane
// row py starting at plane column px0. col is scratch space.
void addValueNoise(int32_t* acc, int w, uint32_t px0, uint32_t py, int shift, int low, int range,
                   uint32_t salt, std::vector<int32_t>& col) {
    const uint32_t cell = 1u << shift;
    const uint32_t j = py >> shift;
    const int32_t fy = static_cast<int32_t>(py & (cell - 1));
    const uint32_t i0 = px0 >> shift;
    const uint32_t i1 = (px0 + static_cast<uint32_t>(w) - 1) >> shift;
    const size_t n = i1 - i0 + 2;
    col.resize(n);
    for (size_t k = 0; k < n; ++k) {
        const uint32_t i = i0 + static_cast<uint32_t>(k);
        const int32_t top = static_cast<int32_t>(hash2(i, j, salt) % static_cast<uint32_t>(range));
        const int32_t bottom =
            static_cast<int32_t>(hash2(i, j + 1, salt) % static_cast<uint32_t>(range));
        col[k] = top * (static_cast<int32_t>(cell) - fy) + bottom * fy;
    }
    const int32_t c = static_cast<int32_t>(cell);
    for (int x = 0; x < w; ++x) {
        const uint32_t px = px0 + static_cast<uint32_t>(x);
        const size_t k = (px >> shift) - i0;
        const int32_t fx = static_cast<int32_t>(px & (cell - 1));
        // Both weights are non-negative, so the shift is a floor division.
        acc[x] += ((col[k] * (c - fx) + col[k + 1] * fx) >> (2 * shift)) + low;
    }
}

// Adds the diamonds that cross plane row py to acc. Each 128 x 128 cell holds
// one diamond |dx| + |dy| < r lying wholly inside the cell.
void addDiamonds(int32_t* acc, int w, uint32_t px0, uint32_t py) {
    const uint32_t cell = 1u << DIAMOND_SHIFT;
    const uint32_t j = py >> DIAMOND_SHIFT;
    const uint32_t i0 = px0 >> DIAMOND_SHIFT;
    const uint32_t i1 = (px0 + static_cast<uint32_t>(w) - 1) >> DIAMOND_SHIFT;
    for (uint32_t i = i0; i <= i1; ++i) {
        const uint32_t hsh = hash2(i, j, SALT_DIAMOND);
        const int32_t r = 12 + static_cast<int32_t>(hsh % 20);  // 12 .. 31
        const uint32_t span = cell - 2u * static_cast<uint32_t>(r);
        const int32_t cx = r + static_cast<int32_t>((hsh >> 8) % span);
        const int32_t cy = r + static_cast<int32_t>((hsh >> 16) % span);
        const int32_t amp = (hsh >> 31) != 0 ? 70 : -60;
        const int32_t dy = std::abs(static_cast<int32_t>(py - j * cell) - cy);
        if (dy >= r) continue;
        const int32_t half = r - dy;  // |dx| < half
        // Plane columns of the diamond on this row, relative to px0.
        const int64_t centre = static_cast<int64_t>(i) * cell + cx - px0;
        const int64_t from = std::max<int64_t>(0, centre - half + 1);
        const int64_t to = std::min<int64_t>(w - 1, centre + half - 1);
        for (int64_t x = from; x <= to; ++x) acc[x] += amp;
    }
}

// Renders w samples of plane row py from plane column px0 into out.
void textureRow(uint8_t* out, int w, uint32_t px0, uint32_t py, std::vector<int32_t>& acc,
                std::vector<int32_t>& col) {
    acc.assign(static_cast<size_t>(w), 0);
    addValueNoise(acc.data(), w, px0, py, COARSE_SHIFT, COARSE_LOW, COARSE_RANGE, SALT_COARSE, col);
    addValueNoise(acc.data(), w, px0, py, MEDIUM_SHIFT, MEDIUM_LOW, MEDIUM_RANGE, SALT_MEDIUM, col);
    addDiamonds(acc.data(), w, px0, py);
    const uint32_t rowSeed = mix32(py ^ SALT_GRAIN);
    for (int x = 0; x < w; ++x) {
        const uint32_t g = mix32((px0 + static_cast<uint32_t>(x)) * 0x9e3779b1u ^ rowSeed);
        const int32_t v = acc[static_cast<size_t>(x)] + static_cast<int32_t>(g % 7u) - 3;
        out[x] = static_cast<uint8_t>(std::clamp(v, TEXTURE_MIN, TEXTURE_MAX));
    }
}

// Renders the background at pos; odd rows are taken oddShiftX plane columns
// further right (0 for a progressive picture).
void renderBackground(uint8_t* y, int w, int h, Position pos, uint32_t oddShiftX = 0) {
    std::vector<int32_t> acc;
    std::vector<int32_t> col;
    for (int row = 0; row < h; ++row) {
        const uint32_t px0 = pos.x + ((row & 1) != 0 ? oddShiftX : 0u);
        textureRow(y + static_cast<size_t>(row) * static_cast<size_t>(w), w, px0,
                   pos.y + static_cast<uint32_t>(row), acc, col);
    }
}

// ---------------------------------------------------------------------------
// Impairments.

// Replaces every 8 x 8 block (partial blocks at the right and bottom edges
// included) by its rounded mean.
void blockAverage(uint8_t* y, int w, int h) {
    for (int by = 0; by < h; by += 8) {
        const int bh = std::min(8, h - by);
        for (int bx = 0; bx < w; bx += 8) {
            const int bw = std::min(8, w - bx);
            int32_t sum = 0;
            for (int r = 0; r < bh; ++r)
                for (int c = 0; c < bw; ++c) sum += y[static_cast<size_t>(by + r) * w + bx + c];
            const int32_t n = bw * bh;
            const auto mean = static_cast<uint8_t>((sum + n / 2) / n);
            for (int r = 0; r < bh; ++r)
                std::memset(y + static_cast<size_t>(by + r) * w + bx, mean,
                            static_cast<size_t>(bw));
        }
    }
}

// Box blur over (2r + 1) x (2r + 1) samples with edge samples repeated
// outwards; sums are exact and the mean is rounded once.
void boxBlur(uint8_t* y, int w, int h, int r) {
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    std::vector<int32_t> rows(n);
    // Horizontal window sums.
    for (int row = 0; row < h; ++row) {
        const uint8_t* src = y + static_cast<size_t>(row) * w;
        int32_t* dst = rows.data() + static_cast<size_t>(row) * w;
        int32_t sum = 0;
        for (int k = -r; k <= r; ++k) sum += src[std::clamp(k, 0, w - 1)];
        for (int x = 0; x < w; ++x) {
            dst[x] = sum;
            sum += src[std::min(x + r + 1, w - 1)] - src[std::max(x - r, 0)];
        }
    }
    // Vertical window sums of the horizontal sums, then the rounded mean.
    const int32_t area = (2 * r + 1) * (2 * r + 1);
    std::vector<int32_t> sums(static_cast<size_t>(w), 0);
    for (int k = -r; k <= r; ++k) {
        const int32_t* src = rows.data() + static_cast<size_t>(std::clamp(k, 0, h - 1)) * w;
        for (int x = 0; x < w; ++x) sums[x] += src[x];
    }
    for (int row = 0; row < h; ++row) {
        uint8_t* dst = y + static_cast<size_t>(row) * w;
        const int32_t* add = rows.data() + static_cast<size_t>(std::min(row + r + 1, h - 1)) * w;
        const int32_t* sub = rows.data() + static_cast<size_t>(std::max(row - r, 0)) * w;
        for (int x = 0; x < w; ++x) {
            dst[x] = static_cast<uint8_t>((sums[x] + area / 2) / area);
            sums[x] += add[x] - sub[x];
        }
    }
}

// Adds zero-mean noise of standard deviation about 13 to every sample.
void addNoise(uint8_t* y, size_t n, int frame) {
    uint64_t state = NOISE_SEED ^ (static_cast<uint64_t>(frame) * 0x9e3779b97f4a7c15ull);
    for (size_t i = 0; i < n; ++i) {
        const uint64_t z = splitmix64(state);
        // Difference of two sums of four bytes: roughly Gaussian, sd about 209.
        int32_t d = 0;
        for (int b = 0; b < 4; ++b) {
            d += static_cast<int32_t>((z >> (8 * b)) & 0xff);
            d -= static_cast<int32_t>((z >> (8 * b + 32)) & 0xff);
        }
        y[i] = static_cast<uint8_t>(std::clamp(static_cast<int32_t>(y[i]) + d / 16, 0, 255));
    }
}

void fillRows(uint8_t* y, int w, int from, int to, uint8_t value) {
    if (to > from)
        std::memset(y + static_cast<size_t>(from) * w, value,
                    static_cast<size_t>(to - from) * static_cast<size_t>(w));
}

void fillRect(uint8_t* y, int w, int x0, int y0, int x1, int y1, uint8_t value) {
    for (int row = y0; row < y1; ++row)
        std::memset(y + static_cast<size_t>(row) * w + x0, value, static_cast<size_t>(x1 - x0));
}

// The 8 x 8 blocks that flicker: a quarter of all blocks in a diagonal
// pattern, leaving out the 16 x 16 corner where the ticker runs.
bool isFlickerBlock(int bx, int by) {
    return (bx + 2 * by) % 4 == 0 && !(bx < 2 && by < 2);
}

// Flicker scene: the background stands still at the scene's first position,
// except for a 16 x 16 ticker in the top-left corner that keeps scrolling,
// so that no two consecutive frames of the scene are identical. The flicker
// blocks are brightened on frames 2, 3, 6, 7, 10, 11, ... of the scene, which
// makes each of them change on every other frame.
void renderFlicker(uint8_t* y, int w, int h, int frame, int first) {
    renderBackground(y, w, h, scrollPosition(first));
    const int k = frame - first;
    if (((k / 2) & 1) != 0) {
        for (int by = 0; by + 8 <= h; by += 8) {
            for (int bx = 0; bx + 8 <= w; bx += 8) {
                if (!isFlickerBlock(bx / 8, by / 8)) continue;
                for (int r = 0; r < 8; ++r) {
                    uint8_t* p = y + static_cast<size_t>(by + r) * w + bx;
                    for (int c = 0; c < 8; ++c) p[c] = static_cast<uint8_t>(p[c] + 20);
                }
            }
        }
    }
    const int tw = std::min(16, w);
    const int th = std::min(16, h);
    std::vector<uint8_t> ticker(static_cast<size_t>(tw) * static_cast<size_t>(th));
    renderBackground(ticker.data(), tw, th, scrollPosition(frame));
    for (int r = 0; r < th; ++r)
        std::memcpy(y + static_cast<size_t>(r) * w, ticker.data() + static_cast<size_t>(r) * tw,
                    static_cast<size_t>(tw));
}

// Lost band: the 16 rows of the band in the middle of the picture (on the
// 16-row grid) each repeat their first sample across the whole row, as a
// concealed slice does.
void loseBand(uint8_t* y, int w, int h) {
    const int top = (h / 16 / 2) * 16;
    const int bottom = std::min(top + 16, h);
    for (int row = top; row < bottom; ++row) {
        uint8_t* p = y + static_cast<size_t>(row) * w;
        std::memset(p, p[0], static_cast<size_t>(w));
    }
}

// Lost blocks: flat black 16 x 16 blocks on the 16-pixel grid, three on a
// diagonal (no two sharing a grid row or column) in every whole 256 x 256
// region, or one near the centre of smaller pictures.
void loseBlocks(uint8_t* y, int w, int h) {
    if (w >= 256 && h >= 256) {
        for (int ry = 0; ry + 256 <= h; ry += 256) {
            for (int rx = 0; rx + 256 <= w; rx += 256) {
                for (int k = 0; k < 3; ++k) {
                    const int bx = rx + 48 + 64 * k;
                    const int by = ry + 176 - 64 * k;
                    fillRect(y, w, bx, by, bx + 16, by + 16, 0);
                }
            }
        }
        return;
    }
    // Pictures under 32 samples get an 8 x 8 block, so that texture remains.
    const int side = w >= 32 && h >= 32 ? 16 : 8;
    const int x0 = side * (std::max(w - side, 0) / (2 * side));
    const int y0 = side * (std::max(h - side, 0) / (2 * side));
    fillRect(y, w, x0, y0, std::min(x0 + side, w), std::min(y0 + side, h), 0);
}

}  // namespace

const std::vector<TestcardScene>& testcardScenes() {
    static const std::vector<TestcardScene> scenes = [] {
        std::vector<TestcardScene> s;
        for (const SceneDef& d : sceneDefs()) s.push_back(d.scene);
        return s;
    }();
    return scenes;
}

const TestcardScene* testcardSceneOf(int index) {
    const SceneDef* d = sceneDefOf(index);
    return d != nullptr ? &testcardScenes()[static_cast<size_t>(d - sceneDefs().data())] : nullptr;
}

const TestcardScene* findTestcardScene(const char* name) {
    for (const TestcardScene& s : testcardScenes()) {
        if (std::strcmp(s.name, name) == 0) return &s;
    }
    return nullptr;
}

int testcardFrameCount() {
    return sceneDefs().back().scene.last + 1;
}

void renderTestcardFrame(int index, int w, int h, uint8_t* y) {
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    const SceneDef* def = sceneDefOf(index);
    if (def == nullptr || def->kind == Kind::Black) {
        std::memset(y, 0, n);
        return;
    }
    const int first = def->scene.first;
    const Position pos = scrollPosition(index);
    switch (def->kind) {
        case Kind::Reference:
            renderBackground(y, w, h, pos);
            break;
        case Kind::Flicker:
            renderFlicker(y, w, h, index, first);
            break;
        case Kind::Blocking:
            renderBackground(y, w, h, pos);
            blockAverage(y, w, h);
            break;
        case Kind::Blur:
            renderBackground(y, w, h, pos);
            boxBlur(y, w, h, std::max(2, std::min(w, h) / 48));
            break;
        case Kind::Noise:
            renderBackground(y, w, h, pos);
            addNoise(y, n, index);
            break;
        case Kind::Letterbox: {
            renderBackground(y, w, h, pos);
            const int bar = std::max(1, h / 8);
            fillRows(y, w, 0, bar, 0);
            fillRows(y, w, h - bar, h, 0);
            break;
        }
        case Kind::Pillarbox: {
            renderBackground(y, w, h, pos);
            const int bar = std::max(1, w / 8);
            fillRect(y, w, 0, 0, bar, h, 0);
            fillRect(y, w, w - bar, 0, w, h, 0);
            break;
        }
        case Kind::Combing:
            // The odd field shows the scene 6 pixels further on, as a
            // progressive frame woven from two fields of a moving picture.
            renderBackground(y, w, h, pos, 6);
            break;
        case Kind::LostBand:
            renderBackground(y, w, h, pos);
            loseBand(y, w, h);
            break;
        case Kind::LostBlock:
            renderBackground(y, w, h, pos);
            loseBlocks(y, w, h);
            break;
        case Kind::Frozen:
            renderBackground(y, w, h, scrollPosition(first));
            break;
        case Kind::Black:
            break;
    }
}

int64_t testcardFrameBytes(int w, int h) {
    return static_cast<int64_t>(w) * static_cast<int64_t>(h) * 3 / 2;
}

bool writeTestcard(const char* path, int w, int h, std::string* error) {
    auto fail = [&](const std::string& message) {
        if (error != nullptr) *error = message;
        return false;
    };
    if (w < TESTCARD_MIN_SIZE || w > TESTCARD_MAX_SIZE || h < TESTCARD_MIN_SIZE ||
        h > TESTCARD_MAX_SIZE) {
        return fail("picture size " + std::to_string(w) + "x" + std::to_string(h) +
                    " out of range (" + std::to_string(TESTCARD_MIN_SIZE) + " to " +
                    std::to_string(TESTCARD_MAX_SIZE) + ")");
    }
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) {
        return fail(std::string("cannot open ") + path + " for writing: " + std::strerror(errno));
    }
    const auto frameBytes = static_cast<size_t>(testcardFrameBytes(w, h));
    // Neutral chroma after the luma plane; only the luma part is rewritten.
    std::vector<uint8_t> frame(frameBytes, 128);
    bool ok = true;
    int savedErrno = 0;
    for (int i = 0; i < testcardFrameCount() && ok; ++i) {
        renderTestcardFrame(i, w, h, frame.data());
        if (std::fwrite(frame.data(), 1, frameBytes, f) != frameBytes) {
            ok = false;
            savedErrno = errno;
        }
    }
    if (ok && std::fflush(f) != 0) {
        ok = false;
        savedErrno = errno;
    }
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        savedErrno = errno;
    }
    if (!ok) {
        return fail(std::string("cannot write ") + path + ": " +
                    std::strerror(savedErrno != 0 ? savedErrno : EIO));
    }
    return true;
}

}  // namespace lumaqc
