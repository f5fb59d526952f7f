#include "qc/picture_measures.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

#include "qc/picture_counts.h"
#include "qc/picture_fields.h"

namespace lumaqc::qc {

namespace {

// How far a sample of a bars picture may stray from its column's level
// (compression ringing at the stripe edges is left out by kColumnShare).
constexpr int kBarsTolerance = 6;
// Share of the columns that must be uniform down the upper half.
constexpr double kColumnShare = 0.95;
// Levels two neighbouring stripes differ by at least.
constexpr int kStripeStep = 12;
constexpr int kMinStripes = 6;

// A picture tells its scan type when this percent of it moves (calibrated
// in docs/qc.md: clean progressive pictures comb at most 5.5 % of their
// moving samples and read field ratios of 0.91 to 1.11).
constexpr double kMinMoving = 0.5;
constexpr double kWovenCombed = 8.0;
constexpr double kWovenRatio = 1.4;
constexpr double kOrderRatio = 1.1;
// A picture that combs on under kFaintComb % of its moving samples must
// read a field ratio of kFaintRatio or more (or its inverse) to be woven.
// Sharp horizontal edges moved k rows up or down fall on one field's rows
// more than on the other's: the fields read k + 1 to k, up to 2 to 1, with
// no comb at all (a tilted chessboard: 1.41 to 2.26, docs/qc.md). Woven
// pictures that comb so little mostly repeat a field of the previous
// picture and read 3.3 to 9000.
constexpr double kFaintComb = 0.5;
constexpr double kFaintRatio = 3.0;
// Edges moved exactly one row read a field ratio without bound: all the rows
// that change lie in one field, the other reads no difference at all (a
// chessboard tilted one row a frame), as a woven picture whose field
// repeats the previous picture's other field does; a picture scrolled one
// row whose rows each hold a different pattern (an automaton's generations)
// combs on every picture. Either way the moving samples of the changing
// field lie within the motion threshold of the previous picture's row above
// or below (99.9 % to 100 % on such chessboards and on cellauto, in x264,
// x265, MPEG-2 and MJPEG), while a field of a new instant matches them only
// where it barely moves (woven vtest.avi, Megamind.avi and telecined
// testsrc2: 67 % to 88 %; combing woven pictures under 55 %, docs/qc.md).
// Such a picture is one instant moved one row, not woven. So is a picture
// moved one row and one column, or one column sideways, with a comb of its
// own (a binary pattern of strong row parity: 98 % to 100 % matched by its
// move, 33 % to 50 % at the same column); each move counts apart, the
// share is the best move's: one motion of the whole picture explains it,
// where a smooth woven field would match some move around every sample
// (woven pans of 0.5 to 2 px a field, fruits.jpg and baboon.jpg: 90.2 % at
// most). The share tells only pictures the comb or the field ratio call
// woven, and is measured for those only.
constexpr double kRowShift = 95.0;

// Whether the picture moves enough to tell and its comb or field ratio
// call it woven (before the test of a move of one row or column).
bool combedOrUneven(const PictureMeasures& m) {
    if (!m.fieldsMeasured || m.moving < kMinMoving) return false;
    const double ratio = m.combed >= kFaintComb ? kWovenRatio : kFaintRatio;
    return m.combed >= kWovenCombed || m.fieldRatio >= ratio || m.fieldRatio <= 1.0 / ratio;
}

// The previous picture's rows are `previousStride` bytes apart.
void measureFields(PictureMeasures& m, const unsigned char* luma, int64_t stride,
                   const unsigned char* previous, int64_t previousStride) {
    const int width = m.width;
    const int height = m.height;
    if (height < 8 || width < 2) return;
    int64_t samples = 0;
    FieldRowSums s[2];  // rows of the top field, of the bottom one
    for (int y = 2; y + 3 < height; ++y) {
        addFieldRow(luma + stride * y, previous + previousStride * y, stride, previousStride, width,
                    s[y & 1]);
        samples += (width + 1) / 2;
    }
    const int64_t moving = s[0].moving + s[1].moving;
    const int64_t combed = s[0].combed + s[1].combed;
    // The field farther from the previous picture's other field.
    const FieldRowSums& farther = s[1].away > s[0].away ? s[1] : s[0];
    // The field sums of the halved distances: the sources refuse pictures of
    // 2^31 samples or more, so every partial sum is a multiple of 1/2 below
    // 2^31 x 255 < 2^52, exact in double in any order; the integer sum
    // halved is the same value (also exact).
    const double top = static_cast<double>(s[0].away) / 2.0;
    const double bottom = static_cast<double>(s[1].away) / 2.0;
    m.fieldsMeasured = true;
    m.moving = samples > 0 ? 100.0 * static_cast<double>(moving) / static_cast<double>(samples) : 0;
    m.combed = moving > 0 ? 100.0 * static_cast<double>(combed) / static_cast<double>(moving) : 0;
    m.fieldRatio = (top + 1.0) / (bottom + 1.0);
    if (!combedOrUneven(m)) return;
    // The farther field's rows again, for the moves they match.
    ShiftSums shifts = {};
    for (int y = &farther == &s[0] ? 2 : 3; y + 3 < height; y += 2) {
        addShiftRow(luma + stride * y, previous + previousStride * y, previousStride, width,
                    shifts);
    }
    const int64_t shifted = *std::max_element(std::begin(shifts), std::end(shifts));
    m.shifted = farther.moving > 0
                    ? 100.0 * static_cast<double>(shifted) / static_cast<double>(farther.moving)
                    : 0;
}

// Strips of 16 rows: those with a strip below, as the slice indicator
// rates them (none under 48 rows or at 16 columns or fewer). The rates are
// sampled on every other row and every fourth column: a lost band repeats
// along all its rows, and the whole picture would cost a sixth more time.
constexpr int kStrip = 16;
constexpr int kRowStep = 2;
constexpr int kColumnStep = 4;

// A lost band filled in from its first column repeats sideways on most of
// its positions (0.77 to 1.0 after compression); a smooth gradient, equal
// 16 columns on by chance, on a fifth (mandelbrot's top strip 0.18 to 0.20,
// which has no strip above to tell it by). Strips under this share do not
// stand apart.
constexpr double kBandSide = 0.5;

// A row of the picture's black top edge: every sampled position at or
// below this level (black in the video range and in full range, with the
// noise of compression).
constexpr int kEdgeBlack = 32;

// Rows of black along the picture's top edge (sampled on every fourth
// column). A border that ends inside the top strip (scanned pictures and
// captures with a few black lines above the picture: starry_night.jpg
// panned, 14 rows) repeats sideways and not below, as a lost band does,
// and the top strip has no strip above to tell it by; a lost slice fills
// whole strips of the grid.
int blackTopRows(const unsigned char* luma, int width, int height, int64_t stride) {
    int rows = 0;
    for (; rows < height && rows < kStrip; ++rows) {
        const unsigned char* row = luma + stride * rows;
        for (int x = 0; x < width; x += kColumnStep) {
            if (row[x] > kEdgeBlack) return rows;
        }
    }
    return rows;
}

// The rate of a strip against the one below and, over the rate of the one
// above against it, how far it stands apart from both (see bandApart); and
// of two strips running, both repeating sideways, against the strip below
// the second and the one above the first (a band two strips tall repeats
// into itself: a slice of 32 rows lost at once).
struct StripRates {
    double largest = -1.0;
    double downAbove = 0.0;   // the strip above's rate against this one
    double downAbove2 = 0.0;  // the rate of the strip above that one against it
    double sideAbove = 0.0;   // the strip above's sideways rate
    bool ratedAbove = false;  // whether the strip above was rated
    int strips = 0;           // strips added

    // `rated` false: the strip is only the one above the next.
    void add(int64_t down, int64_t downPositions, int64_t side, int64_t sidePositions,
             bool rated = true) {
        const double downRate = static_cast<double>(down) / static_cast<double>(downPositions);
        const double sideRate = static_cast<double>(side) / static_cast<double>(sidePositions);
        const double apart = sideRate >= kBandSide ? sideRate / std::max(downRate, downAbove) : 0.0;
        if (rated && !std::isnan(apart)) largest = std::max(largest, apart);
        const double bothSide = std::min(sideRate, sideAbove);
        const double apart2 =
            bothSide >= kBandSide ? bothSide / std::max(downRate, downAbove2) : 0.0;
        // The top strip has no strip above to tell a band from flat colour
        // above an edge (a sky): a pair is rated from the second strip down.
        if (rated && ratedAbove && strips >= 2 && !std::isnan(apart2)) {
            largest = std::max(largest, apart2);
        }
        downAbove2 = downAbove;
        downAbove = downRate;
        sideAbove = sideRate;
        ratedAbove = rated;
        ++strips;
    }
};

// Whether strip k is rated: not the top strip when a black border ends
// inside it.
bool ratedStrip(int k, int border) {
    return k > 0 || border == 0 || border == kStrip;
}

// Each sampled row counted at once (qc/picture_counts.cpp): the positions
// are the columns 0, 4, 8 ... below the width, and those 16 columns or more
// from the right edge.
double bandApartOf(const unsigned char* luma, int width, int height, int64_t stride) {
    if (height < 3 * kStrip || width <= kStrip) return -1.0;
    const int strips = (height - kStrip) / kStrip;
    const int64_t rowDown = (width + kColumnStep - 1) / kColumnStep;
    const int64_t rowSide = (width - kStrip + kColumnStep - 1) / kColumnStep;
    const int border = blackTopRows(luma, width, height, stride);
    StripRates rates;
    for (int k = 0; k < strips; ++k) {
        int64_t down = 0, side = 0;
        for (int r = 0; r < kStrip; r += kRowStep) {
            const unsigned char* row = luma + stride * (k * kStrip + r);
            down += countEqualEveryFourth(row, row + stride * kStrip, width);
            side += countEqualEveryFourth(row, row + kStrip, width - kStrip);
        }
        const int64_t rows = kStrip / kRowStep;
        rates.add(down, rows * rowDown, side, rows * rowSide, ratedStrip(k, border));
    }
    return rates.largest;
}

double bandApartPlain(const unsigned char* luma, int width, int height, int64_t stride) {
    if (height < 3 * kStrip || width <= kStrip) return -1.0;
    const int strips = (height - kStrip) / kStrip;
    const int border = blackTopRows(luma, width, height, stride);
    StripRates rates;
    for (int k = 0; k < strips; ++k) {
        int64_t down = 0, side = 0, downPositions = 0, sidePositions = 0;
        for (int r = 0; r < kStrip; r += kRowStep) {
            const unsigned char* row = luma + stride * (k * kStrip + r);
            const unsigned char* below = row + stride * kStrip;
            for (int x = 0; x < width; x += kColumnStep) {
                down += row[x] == below[x] ? 1 : 0;
                ++downPositions;
                if (x + kStrip >= width) continue;
                side += row[x] == row[x + kStrip] ? 1 : 0;
                ++sidePositions;
            }
        }
        rates.add(down, downPositions, side, sidePositions, ratedStrip(k, border));
    }
    return rates.largest;
}

// The part of the upper picture the bars test reads: rows `first` to
// `rows` (excluded), every `step`-th, against the row `top`.
struct BarsRows {
    int first, rows, step;
    const unsigned char* top;
};

BarsRows barsRows(const unsigned char* luma, int height, int64_t stride) {
    const int rows = height * 11 / 20;
    const int step = std::max(1, rows / 32);  // every few rows is enough
    // Below a possible edge line.
    return BarsRows{height / 20, rows, step, luma + stride * (height / 20)};
}

// Stripes along a row of the upper part: runs of nearly one level.
bool hasStripes(const unsigned char* top, int width) {
    const int minWidth = std::max(2, width / 40);
    int stripes = 0;
    int runStart = 0;
    int lastLevel = -1000;
    int lo = 255, hi = 0;
    for (int x = 1; x <= width; ++x) {
        const bool edge = x == width || std::abs(static_cast<int>(top[x]) - top[x - 1]) > 3;
        if (!edge) continue;
        if (x - runStart >= minWidth) {
            const int level = top[(runStart + x) / 2];
            if (std::abs(level - lastLevel) >= kStripeStep) {
                ++stripes;
                lastLevel = level;
            }
            lo = std::min(lo, level);
            hi = std::max(hi, level);
        }
        runStart = x;
    }
    return stripes >= kMinStripes && hi - lo >= 64;
}

// The columns uniform down the rows, a few hundred at a time, row by row
// (qc/picture_counts.cpp).
bool isBars(const unsigned char* luma, int width, int height, int64_t stride) {
    if (width < 64 || height < 48) return false;
    const BarsRows b = barsRows(luma, height, stride);
    constexpr int kColumns = 512;
    uint8_t same[kColumns];
    int uniform = 0;
    for (int x0 = 0; x0 < width; x0 += kColumns) {
        const int n = std::min(kColumns, width - x0);
        std::fill_n(same, n, uint8_t{1});
        for (int y = b.first; y < b.rows; y += b.step) {
            keepWithin(luma + stride * y + x0, b.top + x0, n, kBarsTolerance, same);
        }
        for (int x = 0; x < n; ++x) uniform += same[x];
    }
    if (uniform < kColumnShare * width) return false;
    return hasStripes(b.top, width);
}

bool isBarsPlain(const unsigned char* luma, int width, int height, int64_t stride) {
    if (width < 64 || height < 48) return false;
    const BarsRows b = barsRows(luma, height, stride);
    const unsigned char* top = b.top;
    int uniform = 0;
    for (int x = 0; x < width; ++x) {
        const int reference = top[x];
        bool same = true;
        for (int y = b.first; y < b.rows && same; y += b.step) {
            same = std::abs(static_cast<int>(luma[stride * y + x]) - reference) <= kBarsTolerance;
        }
        uniform += same ? 1 : 0;
    }
    if (uniform < kColumnShare * width) return false;
    return hasStripes(top, width);
}

}  // namespace

const LumaLevels& LumaLevels::every() {
    static const LumaLevels all = [] {
        LumaLevels levels;
        for (int v = 0; v < 255; ++v) levels.add(v);
        return levels;
    }();
    return all;
}

void LumaLevels::add(int level) {
    if (level < 0 || level >= 255 || has(level)) return;
    asked_.set(static_cast<size_t>(level));
    count_ = 0;
    for (int v = 0; v < 255; ++v) {
        if (has(v)) order_[static_cast<size_t>(count_++)] = static_cast<uint8_t>(v);
    }
}

bool LumaLevels::has(int level) const {
    return level >= 0 && level < 255 && asked_.test(static_cast<size_t>(level));
}

namespace {

// Samples at or below `level`, -1 for a level not counted.
int64_t atOrBelowOf(const PictureMeasures& m, int level) {
    if (level < 0) return 0;
    return m.atOrBelow[static_cast<size_t>(std::min(level, 255))];
}

double percentOf(int64_t n, int64_t samples) {
    if (n < 0) return std::numeric_limits<double>::quiet_NaN();
    return 100.0 * static_cast<double>(n) / static_cast<double>(samples);
}

}  // namespace

double PictureMeasures::percentAtOrBelow(int level) const {
    if (samples <= 0) return 0.0;
    return percentOf(atOrBelowOf(*this, level), samples);
}

double PictureMeasures::percentOutside(int low, int high) const {
    if (samples <= 0) return 0.0;
    // Below `low` or above `high`: every sample when low > high.
    if (low > high) return percentOf(samples, samples);
    const int64_t below = atOrBelowOf(*this, low - 1);
    const int64_t upTo = atOrBelowOf(*this, high);
    return percentOf(below < 0 || upTo < 0 ? -1 : below + samples - upTo, samples);
}

Weave weaveOf(const PictureMeasures& m) {
    if (!m.fieldsMeasured || m.moving < kMinMoving) return Weave::Unknown;
    if (!combedOrUneven(m) || m.shifted >= kRowShift) return Weave::Progressive;
    if (m.fieldRatio <= 1.0 / kOrderRatio) return Weave::TopFirst;
    return m.fieldRatio >= kOrderRatio ? Weave::BottomFirst : Weave::Woven;
}

namespace {

// The small steps of blocking: across the edge, 1 to kGridStep levels; on
// either side, within kGridFlat of the next column out. kGridRows rows evenly
// spread are enough for a median over the pictures.
constexpr unsigned kGridStep = 8;
constexpr unsigned kGridFlat = 1;
// Steps of this many levels or more (to kGridStep): blocking's, not the few
// levels an encoder leaves on the grid in a smooth gradient.
constexpr unsigned kGridStrong = 3;
constexpr int kGridRows = 16;

}  // namespace

double gridStepsOf(const unsigned char* luma, int width, int height, int64_t stride, double* share,
                   double* strong, double* band) {
    if (share != nullptr) *share = -1.0;
    if (strong != nullptr) *strong = -1.0;
    if (band != nullptr) *band = -1.0;
    if (luma == nullptr || width < 16 || height <= 0) return -1.0;
    // Counts per column, added without a branch (the loop is vectorised),
    // then gathered by column modulo 8; kept per thread, not allocated per
    // picture. The steps of kGridStrong levels or more count in the upper
    // 16 bits (a column has at most a few dozen sampled rows).
    thread_local std::vector<uint32_t> counts;
    thread_local std::vector<int64_t> rowSteps;
    counts.assign(static_cast<size_t>(width), 0);
    rowSteps.clear();
    const int rowStep = std::max(1, height / kGridRows);
    // The grid steps counted so far, to tell each row's own.
    int64_t gridSoFar = 0;
    for (int y = 0; y < height; y += rowStep) {
        const unsigned char* row = luma + stride * y;
        for (int x = 8; x + 1 < width; ++x) {
            const int before = row[x - 2], left = row[x - 1], right = row[x], after = row[x + 1];
            const unsigned step = static_cast<unsigned>(std::abs(left - right)) - 1u < kGridStep;
            const unsigned flatLeft = static_cast<unsigned>(std::abs(before - left)) <= kGridFlat;
            const unsigned flatRight = static_cast<unsigned>(std::abs(right - after)) <= kGridFlat;
            const unsigned large = static_cast<unsigned>(std::abs(left - right)) - kGridStrong <
                                   kGridStep + 1u - kGridStrong;
            counts[static_cast<size_t>(x)] +=
                (step + (large << 16)) & (flatLeft & flatRight) * 0x10001u;
        }
        if (band != nullptr) {
            int64_t onGrid = 0;
            for (int x = 8; x + 1 < width; x += 8)
                onGrid += counts[static_cast<size_t>(x)] & 0xFFFFu;
            rowSteps.push_back(onGrid - gridSoFar);
            gridSoFar = onGrid;
        }
    }
    std::array<int64_t, 8> steps{};
    int64_t strongOnGrid = 0;
    for (int x = 8; x + 1 < width; ++x) {
        const uint32_t c = counts[static_cast<size_t>(x)];
        steps[static_cast<size_t>(x & 7)] += c & 0xFFFFu;
        strongOnGrid += (x & 7) == 0 ? c >> 16 : 0;
    }
    if (strong != nullptr && steps[0] > 0) {
        *strong = 100.0 * static_cast<double>(strongOnGrid) / static_cast<double>(steps[0]);
    }
    if (band != nullptr && steps[0] > 0) {
        // The quarter of the rows (at least one) that step most.
        const auto quarter = static_cast<ptrdiff_t>(std::max<size_t>(1, rowSteps.size() / 4));
        std::partial_sort(rowSteps.begin(), rowSteps.begin() + quarter, rowSteps.end(),
                          std::greater<>());
        const int64_t most =
            std::accumulate(rowSteps.begin(), rowSteps.begin() + quarter, int64_t{0});
        *band = 100.0 * static_cast<double>(most) / static_cast<double>(steps[0]);
    }
    if (share != nullptr) {
        const int64_t rows = (height + rowStep - 1) / rowStep;
        const int64_t positions = rows * ((width - 2) / 8);  // x = 8, 16, .. below width - 1
        *share = 100.0 * static_cast<double>(steps[0]) / static_cast<double>(positions);
    }
    int64_t between = 0;
    for (size_t k = 1; k < 8; ++k) between += steps[k];
    return static_cast<double>(steps[0] + 1) / (static_cast<double>(between) / 7.0 + 1.0);
}

namespace {

// The block loss indicator's grid: 16-pixel blocks, 256 x 256 regions, a
// step strong at more than 6 times the picture's mean Roberts energy, runs
// of 12 strong steps or more.
constexpr int kLossBlock = 16;
constexpr int kLossRegion = 256;
constexpr int kLossRun = 12;
constexpr double kLossEdgeFactor = 6.0;
// Decoders lose blocks along their rows: a lost area is one or two block
// rows tall, its sides 17 or 33 steps long (the Roberts cross straddles
// their ends), however wide it is.
constexpr int kBlockRun = 2 * kLossBlock + 1;
constexpr int64_t kMaxRoberts = 2 * 255 * 255;
// A step of 8 levels across a block's side (Roberts 2 x 8^2).
constexpr int32_t kLeastLossStep = 128;

int32_t robertsAt(const unsigned char* up, const unsigned char* cur, int64_t x) {
    const int32_t a = static_cast<int32_t>(up[x - 1]) - cur[x];
    const int32_t b = static_cast<int32_t>(up[x]) - cur[x - 1];
    return a * a + b * b;
}

// Counts the runs of kLossRun to `longest` strong steps; `strong(i)` for i
// in [0, n).
template <typename Strong>
int64_t runsUpTo(int n, int longest, Strong strong) {
    int64_t count = 0;
    int run = 0;
    for (int i = 0; i <= n; ++i) {
        if (i < n && strong(i)) {
            ++run;
            continue;
        }
        count += run >= kLossRun && run <= longest ? 1 : 0;
        run = 0;
    }
    return count;
}

}  // namespace

BlockEdges blockEdgesOf(const unsigned char* luma, int width, int height, int64_t stride) {
    if (luma == nullptr || width < kLossRegion || height < kLossRegion) return {};
    int64_t energy = 0;
    // Integer sums, in any order the same (qc/picture_counts.cpp).
    for (int y = 1; y < height; ++y)
        energy += robertsEnergy(luma + stride * (y - 1), luma + stride * y, width);
    // The indicator's threshold, to the bit: a picture of 2^31 samples or
    // more counts its energy as nothing.
    const uint32_t area = static_cast<uint32_t>(width) * static_cast<uint32_t>(height);
    if (area > static_cast<uint32_t>(INT32_MAX)) energy = 0;
    const double threshold =
        std::floor(static_cast<double>(energy) * kLossEdgeFactor / static_cast<double>(area));
    if (!(threshold < static_cast<double>(kMaxRoberts))) return {0.0, 0.0};
    // Steps of a few levels are no lost block's side, however flat the
    // picture around them.
    const auto limit = std::max(static_cast<int32_t>(threshold), kLeastLossStep);
    // Row 0 and column 0 have no pair above or to the left: never strong.
    auto strongAt = [&](int y, int64_t x) {
        return y > 0 && x > 0 && robertsAt(luma + stride * (y - 1), luma + stride * y, x) > limit;
    };
    const int regionsX = width / kLossRegion;
    const int regionsY = height / kLossRegion;
    // On the grid, and on the lines half a block off it (the last line of a
    // region then runs to its edge).
    int64_t products[2] = {0, 0};
    for (int ry = 0; ry < regionsY; ++ry) {
        for (int rx = 0; rx < regionsX; ++rx) {
            const int x0 = rx * kLossRegion;
            const int y0 = ry * kLossRegion;
            for (int off = 0; off < 2; ++off) {
                int64_t across = 0, down = 0;
                for (int line = off * kLossBlock / 2; line < kLossRegion; line += kLossBlock) {
                    across += runsUpTo(kLossRegion, kLossRegion, [&](int i) {
                        return strongAt(y0 + line, static_cast<int64_t>(x0) + i);
                    });
                    down += runsUpTo(kLossRegion, kBlockRun,
                                     [&](int i) { return strongAt(y0 + i, x0 + line); });
                }
                products[off] += across * down;
            }
        }
    }
    const auto regions = static_cast<double>(regionsX * regionsY);
    return {static_cast<double>(products[0]) / regions, static_cast<double>(products[1]) / regions};
}

namespace {

// Over this many levels, the histogram costs less than counting each level.
constexpr int kCountedLevels = 16;

// The histogram: four taken in turn, so that runs of one level do not wait
// on the count they have just stored.
void histogramOf(const unsigned char* luma, int width, int height, int64_t stride,
                 std::array<int64_t, 256>& histogram) {
    std::array<std::array<int64_t, 256>, 4> part{};
    for (int y = 0; y < height; ++y) {
        const unsigned char* row = luma + stride * y;
        int x = 0;
        for (; x + 4 <= width; x += 4) {
            ++part[0][row[x]];
            ++part[1][row[x + 1]];
            ++part[2][row[x + 2]];
            ++part[3][row[x + 3]];
        }
        for (; x < width; ++x) ++part[0][row[x]];
    }
    for (size_t v = 0; v < 256; ++v)
        histogram[v] = part[0][v] + part[1][v] + part[2][v] + part[3][v];
}

// The samples at or below the levels asked for: a few counted four at a time
// by vector compares (the samples above each, qc/picture_counts.cpp), many
// summed from the histogram (then every level).
void countLevels(PictureMeasures& m, const unsigned char* luma, int width, int height,
                 int64_t stride, const LumaLevels& levels) {
    m.samples = static_cast<int64_t>(width) * height;
    m.atOrBelow.fill(-1);
    m.atOrBelow[255] = m.samples;
    if (levels.count() > kCountedLevels) {
        std::array<int64_t, 256> histogram;
        histogramOf(luma, width, height, stride, histogram);
        int64_t n = 0;
        for (size_t v = 0; v < 255; ++v) m.atOrBelow[v] = n += histogram[v];
        return;
    }
    for (int i = 0; i < levels.count(); i += 4) {
        uint8_t four[4];
        for (int k = 0; k < 4; ++k)  // the last level again past the end
            four[k] = static_cast<uint8_t>(levels[std::min(i + k, levels.count() - 1)]);
        int64_t above[4] = {0, 0, 0, 0};
        countAbove4(luma, width, height, stride, four, above);
        for (int k = 0; k < 4; ++k) m.atOrBelow[four[k]] = m.samples - above[k];
    }
}

// Text rolled over black: white and light grey letters stand above kText,
// and their samples, moved with the roll, land on the previous picture's
// letters above kTextMatch (their antialiased edges, rolls of a fraction of
// a row a frame). Rolls move 1 to 10 rows a frame (a screen's height in 4
// to 20 s at 25 and 50 fps); kMaxRoll leaves room. A logo or a burnt-in
// timecode matches best in place (97 % to 99 % against 88 % to 95 % moved
// one row: its strokes run down several rows), rolled credits moved (98 %
// to 100 %, against 31 % to 88 % in place, x264 and MPEG-2, 1 to 6 rows a
// frame), docs/qc.md.
constexpr int kText = 128;
constexpr int kTextMatch = 64;
constexpr int kMaxRoll = 32;
constexpr int64_t kMinText = 32;  // fewer bright samples tell nothing
// Text over black is a few percent of the picture; a picture brighter than
// this share (a profile's black of a lesser share) is not read.
constexpr int kMostText = 20;  // at most 1 sample in 20
constexpr double kRolled = 90.0;
constexpr double kRollMargin = 5.0;

}  // namespace

void measureScroll(PictureMeasures& m, const unsigned char* luma, int64_t stride,
                   const unsigned char* previous, int64_t previousStride) {
    const int width = m.width;
    const int height = m.height;
    if (luma == nullptr || previous == nullptr || width <= 0 || height <= 0) return;
    const size_t most =
        static_cast<size_t>(height) * static_cast<size_t>((width + 1) / 2) / kMostText;
    // (row, column) of the bright samples; kept per thread, not allocated
    // per picture.
    thread_local std::vector<std::pair<int, int>> text;
    text.clear();
    for (int y = 0; y < height; ++y) {
        const unsigned char* row = luma + stride * y;
        for (int x = 0; x < width; x += 2) {
            if (row[x] > kText) text.emplace_back(y, x);
        }
        if (text.size() > most) return;
    }
    if (static_cast<int64_t>(text.size()) < kMinText) return;
    // Per move (-kMaxRoll .. kMaxRoll rows), the samples whose moved place
    // lies in the picture and those of them matched there.
    std::array<int64_t, 2 * kMaxRoll + 1> inside{};
    std::array<int64_t, 2 * kMaxRoll + 1> matched{};
    for (const auto& [y, x] : text) {
        const int from = std::max(-kMaxRoll, -y);
        const int to = std::min(kMaxRoll, height - 1 - y);
        for (int k = from; k <= to; ++k) {
            const size_t i = static_cast<size_t>(k + kMaxRoll);
            ++inside[i];
            if (previous[previousStride * (y + k) + x] > kTextMatch) ++matched[i];
        }
    }
    const auto percent = [&](size_t i) {
        return inside[i] >= kMinText
                   ? 100.0 * static_cast<double>(matched[i]) / static_cast<double>(inside[i])
                   : 0.0;
    };
    m.still = percent(kMaxRoll);
    m.scrolled = 0.0;
    for (size_t i = 0; i < inside.size(); ++i) {
        if (i != kMaxRoll) m.scrolled = std::max(m.scrolled, percent(i));
    }
}

namespace {

// A crawl runs along the top or the bottom fifth of the picture, across
// its width, and moves sideways as a whole: samples moved by more than
// kCrawlMotion in kCrawlCovered of kCrawlBins columns of the band (a
// ticker's words and the gaps between them; a figure walking across a
// still shot moves in a few), kCrawlShifted percent of which lie within
// kCrawlMotion of the previous picture moved 1 to kCrawlMostShift columns
// left or right (the best of these moves; waves and crowds along the
// bottom of a still shot change rather than move). The rows between the
// bands move at most kCrawlMost when the picture under the crawl is to be
// held at all (freeze tolerances are 1 and below).
constexpr int kCrawlBins = 8;
constexpr int kCrawlCovered = 7;
constexpr int kCrawlMotion = 24;
constexpr int kCrawlMostShift = 32;
constexpr double kCrawlShifted = 90.0;
constexpr uint64_t kCrawlMost = 4;

// The move of rows [from, to) when they move sideways as a whole across the
// width (1 to kCrawlMostShift columns, negative to the left); 0 when not.
// Each changed sample is compared with the previous picture's samples up
// to kCrawlMostShift columns on either side; away from the edges, all of
// them at once, counted in bytes (at most 255 samples between two
// flushes) so that the compiler makes it a few vector operations.
int crawlOf(const unsigned char* luma, int64_t stride, const unsigned char* previous,
            int64_t previousStride, int width, int from, int to) {
    constexpr int kShifts = 2 * kCrawlMostShift + 1;
    std::array<bool, kCrawlBins> moved{};
    std::array<int64_t, kShifts> inside{};
    std::array<int64_t, kShifts> matched{};
    std::array<uint8_t, kShifts> near{};
    int pending = 0;
    int64_t interior = 0;
    const auto flush = [&] {
        for (size_t i = 0; i < near.size(); ++i) matched[i] += near[i];
        near.fill(0);
        pending = 0;
    };
    for (int y = from; y < to; ++y) {
        const unsigned char* row = luma + stride * y;
        const unsigned char* before = previous + previousStride * y;
        for (int x = 0; x < width; x += 2) {
            if (std::abs(row[x] - before[x]) <= kCrawlMotion) continue;
            moved[static_cast<size_t>(x * kCrawlBins / width)] = true;
            if (x >= kCrawlMostShift && x + kCrawlMostShift < width) {
                const unsigned char* around = before + (x - kCrawlMostShift);
                const int value = row[x];
                for (int i = 0; i < kShifts - 1; ++i) {
                    near[static_cast<size_t>(i)] +=
                        static_cast<uint8_t>(std::abs(value - around[i]) <= kCrawlMotion);
                }
                near[kShifts - 1] +=
                    static_cast<uint8_t>(std::abs(value - around[kShifts - 1]) <= kCrawlMotion);
                ++interior;
                if (++pending == 255) flush();
                continue;
            }
            const int left = std::max(-kCrawlMostShift, -x);
            const int right = std::min(kCrawlMostShift, width - 1 - x);
            for (int k = left; k <= right; ++k) {
                const auto i = static_cast<size_t>(k + kCrawlMostShift);
                ++inside[i];
                if (std::abs(row[x] - before[x + k]) <= kCrawlMotion) ++matched[i];
            }
        }
    }
    flush();
    for (int64_t& count : inside) count += interior;
    if (std::count(moved.begin(), moved.end(), true) < kCrawlCovered) return 0;
    int best = 0;
    double bestShare = kCrawlShifted;
    for (size_t i = 0; i < inside.size(); ++i) {
        if (i == static_cast<size_t>(kCrawlMostShift) || inside[i] == 0) continue;
        const double share =
            100.0 * static_cast<double>(matched[i]) / static_cast<double>(inside[i]);
        if (share >= bestShare) {
            bestShare = share;
            best = static_cast<int>(i) - kCrawlMostShift;
        }
    }
    return best;
}

// The sum of squared differences of rows [from, to) (every other one and
// every other column) from themselves moved `shift` columns, and the
// samples it sums.
std::pair<uint64_t, uint64_t> movedDifference(const unsigned char* luma, int64_t stride, int width,
                                              int from, int to, int shift) {
    uint64_t sum = 0;
    uint64_t samples = 0;
    const int left = std::max(0, -shift);
    const int right = std::min(width, width - shift);
    for (int y = from; y < to; y += 2) {
        const unsigned char* row = luma + stride * y;
        for (int x = left + ((left & 1) != 0 ? 1 : 0); x < right; x += 2) {
            const int d = row[x] - row[x + shift];
            sum += static_cast<uint64_t>(d * d);
            ++samples;
        }
    }
    return {sum, samples};
}

}  // namespace

void measureCrawl(PictureMeasures& m, const unsigned char* luma, int64_t stride,
                  const unsigned char* previous, int64_t previousStride) {
    const int width = m.width;
    const int height = m.height;
    if (luma == nullptr || previous == nullptr || width < 2 * kCrawlBins || height < 10) return;
    const int top = height / 5;
    const int bottom = height - height / 5;
    const uint64_t samples =
        static_cast<uint64_t>((bottom - top + 1) / 2) * static_cast<uint64_t>((width + 1) / 2);
    const uint64_t most = kCrawlMost * kCrawlMost * samples;
    uint64_t sum = 0;
    for (int y = top; y < bottom; y += 2) {
        const unsigned char* row = luma + stride * y;
        const unsigned char* before = previous + previousStride * y;
        for (int x = 0; x < width; x += 2) {
            const int d = row[x] - before[x];
            sum += static_cast<uint64_t>(d * d);
        }
        if (sum > most) return;  // the picture between the bands moves
    }
    int shift = crawlOf(luma, stride, previous, previousStride, width, bottom, height);
    if (shift == 0) shift = crawlOf(luma, stride, previous, previousStride, width, 0, top);
    if (shift == 0) return;
    // Rows between that would not show the crawl's move (a flat sky over a
    // skyline panned along the bottom) tell nothing of being held.
    const auto [moved, count] = movedDifference(luma, stride, width, top, bottom, shift);
    if (count == 0 || moved <= kCrawlMost * kCrawlMost * count) return;
    m.crawlRest = std::sqrt(static_cast<double>(sum) / static_cast<double>(samples));
}

bool rolling(const PictureMeasures& m) {
    return m.scrolled >= kRolled && m.scrolled >= m.still + kRollMargin;
}

PictureMeasures measurePicture(const unsigned char* luma, int width, int height, int64_t stride,
                               const unsigned char* previous, int64_t previousStride,
                               bool blockEdges, const LumaLevels& levels) {
    PictureMeasures m;
    if (luma == nullptr || width <= 0 || height <= 0) return m;
    countLevels(m, luma, width, height, stride, levels);
    m.width = width;
    m.height = height;
    m.bars = isBars(luma, width, height, stride);
    m.bandApart = bandApartOf(luma, width, height, stride);
    m.gridSteps =
        gridStepsOf(luma, width, height, stride, &m.gridShare, &m.gridStrong, &m.gridBand);
    if (blockEdges) {
        const BlockEdges edges = blockEdgesOf(luma, width, height, stride);
        m.blockEdges = edges.onGrid;
        m.blockEdgesOff = edges.offGrid;
    }
    if (previous != nullptr) measureFields(m, luma, stride, previous, previousStride);
    return m;
}

namespace detail {

namespace {

// How far the sample stands out of its column against the other field;
// 0 when it does not comb.
int combAtPlain(const unsigned char* p, int64_t stride) {
    const int c = p[0];
    const int up = c - p[-stride];
    const int down = c - p[stride];
    const int zig = up > 0 && down > 0   ? std::min(up, down)
                    : up < 0 && down < 0 ? std::min(-up, -down)
                                         : 0;
    if (zig <= kComb) return 0;
    const int own = std::abs(2 * c - p[-2 * stride] - p[2 * stride]) / 2;
    return zig > 2 * own ? zig : 0;
}

}  // namespace

PictureMeasures measurePlain(const unsigned char* luma, const unsigned char* previous, int width,
                             int height, int64_t stride) {
    PictureMeasures m;
    m.width = width;
    m.height = height;
    m.samples = static_cast<int64_t>(width) * height;
    std::array<int64_t, 256> histogram{};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) ++histogram[luma[stride * y + x]];
    }
    int64_t n = 0;
    for (size_t v = 0; v < 256; ++v) m.atOrBelow[v] = n += histogram[v];
    m.bars = isBarsPlain(luma, width, height, stride);
    m.bandApart = bandApartPlain(luma, width, height, stride);
    if (height < 8 || width < 2) return m;
    int64_t samples = 0, moving = 0, combed = 0;
    int64_t fieldMoving[2] = {0, 0};
    // Per field, the moving samples matched by the previous picture moved one
    // row up or down and one column left, none or right; one column left or
    // right on the same row.
    int64_t fieldShifted[2][5] = {};
    double top = 0.0, bottom = 0.0;
    for (int y = 2; y + 3 < height; ++y) {
        const unsigned char* row = luma + stride * y;
        const unsigned char* before = previous + static_cast<int64_t>(width) * y;
        for (int x = 0; x < width; x += 2) {
            ++samples;
            if (std::abs(row[x] - before[x]) <= kMotion) continue;
            ++moving;
            ++fieldMoving[y & 1];
            if (combAtPlain(row + x, stride) > 0 && combAtPlain(row + x + stride, stride) > 0) {
                ++combed;
            }
            for (int dx = -1; dx <= 1; ++dx) {
                if (x + dx < 0 || x + dx >= width) continue;
                if (std::abs(row[x] - before[x + dx - width]) <= kMotion ||
                    std::abs(row[x] - before[x + dx + width]) <= kMotion) {
                    ++fieldShifted[y & 1][dx + 1];
                }
                if (dx != 0 && std::abs(row[x] - before[x + dx]) <= kMotion) {
                    ++fieldShifted[y & 1][dx < 0 ? 3 : 4];
                }
            }
            const double away = std::abs(2 * row[x] - before[x - width] - before[x + width]) / 2.0;
            ((y & 1) != 0 ? bottom : top) += away;
        }
    }
    m.fieldsMeasured = true;
    m.moving = samples > 0 ? 100.0 * static_cast<double>(moving) / static_cast<double>(samples) : 0;
    m.combed = moving > 0 ? 100.0 * static_cast<double>(combed) / static_cast<double>(moving) : 0;
    m.fieldRatio = (top + 1.0) / (bottom + 1.0);
    const int farther = bottom > top ? 1 : 0;
    const int64_t shifted =
        *std::max_element(std::begin(fieldShifted[farther]), std::end(fieldShifted[farther]));
    if (!combedOrUneven(m)) return m;
    m.shifted = fieldMoving[farther] > 0 ? 100.0 * static_cast<double>(shifted) /
                                               static_cast<double>(fieldMoving[farther])
                                         : 0;
    return m;
}

}  // namespace detail

}  // namespace lumaqc::qc
