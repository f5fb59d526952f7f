// Measurements of a picture that the QC conditions read besides the
// indicators: the samples at or below a few luma levels (black with a
// tolerance, luma outside the legal range), whether the picture is a test pattern of colour bars
// and, against the previous picture, whether its two fields come from different instants (woven
// fields).
#pragma once

#include <array>
#include <bitset>
#include <cstdint>

namespace lumaqc::qc {

// The luma levels whose share of the picture at or below them is read (by a
// profile's black and luma range rules): the measures count those alone.
class LumaLevels {
  public:
    // None; every() asks for all of them (the whole histogram).
    LumaLevels() = default;
    static const LumaLevels& every();
    // Levels below 0 and from 255 up need no count (none and every sample
    // are at or below them): adding them changes nothing.
    void add(int level);
    bool has(int level) const;
    // The levels asked for, in increasing order.
    int count() const { return count_; }
    int operator[](int i) const { return order_[static_cast<size_t>(i)]; }

  private:
    std::bitset<255> asked_;
    std::array<uint8_t, 255> order_{};
    int count_ = 0;
};

struct PictureMeasures {
    // Samples at or below each 8-bit luma value, over the whole picture; -1
    // for the values not asked for (LumaLevels), always `samples` at 255.
    std::array<int64_t, 256> atOrBelow{};
    int64_t samples = 0;
    int width = 0;  // the picture's size
    int height = 0;
    // Colour bars or a similar static pattern of vertical stripes: the upper
    // 55 % of the picture, inside the top section of both the HD layout (7/12
    // of the height) and the SD one (2/3), are the same from row to row (within the
    // noise of compression) in 95 % of the columns, and a row holds six
    // stripes or more (each at least 1/40 of the width, neighbours at least
    // 12 levels apart, 64 levels from the darkest to the brightest).
    bool bars = false;
    // Lost bands seen from both sides: over the strips of 16 rows that have
    // one below, the largest rate of samples equal to the one 16 columns to
    // the right over the rate of samples equal to the one 16 rows away, below
    // or above, whichever repeats more (the slice indicator looks below only,
    // so flat colour just above a horizontal edge of the 16-row grid reads
    // as a lost band there; it repeats into the strip above, a lost band into
    // neither); two strips running are rated together too (a band of 32
    // rows repeats into itself). The top strip is not rated when a black
    // border along the picture's top edge ends inside it. -1 when the
    // picture has too few strips or columns.
    double bandApart = -1.0;
    // The block grid against the content (gridStepsOf).
    double gridSteps = -1.0;
    // Percent of the sampled grid positions that step (gridStepsOf).
    double gridShare = -1.0;
    // Percent of those steps of 3 levels or more (gridStepsOf).
    double gridStrong = -1.0;
    // Percent of those steps on the quarter of the rows that step most
    // (gridStepsOf).
    double gridBand = -1.0;
    // Block loss counted on sides of lost areas only (blockEdgesOf).
    double blockEdges = -1.0;
    // The same on the lines half a block off the grid (BlockEdges).
    double blockEdgesOff = -1.0;
    // The fields against the previous picture (measured only for a rule that
    // reads them, from the second picture on).
    bool fieldsMeasured = false;
    // Percent of the picture that moves (sampled on every other column).
    double moving = 0.0;
    // Percent of the moving samples combed: the row and the next both zigzag
    // against their neighbours of the other field by more than 12 levels and
    // more than twice their difference from their own field's neighbours.
    double combed = 0.0;
    // The top field's difference from the previous picture's bottom field
    // over the bottom field's from the previous top field (moving samples):
    // about 1 when both fields show one instant; below 1 when the top field
    // comes first (it lies a field nearer the previous bottom field), above
    // 1 when the bottom field does.
    double fieldRatio = 1.0;
    // Of the moving samples of the field farther from the previous picture's
    // other field, the percent within the motion threshold (kMotion) of the
    // previous picture moved one row (its row above or below), one column
    // or both, the best of these moves: all of them when the picture moved
    // so (each field a clean picture of one instant); few when the field
    // shows a new instant woven beside a repeated one. Measured only on
    // pictures whose comb or field ratio call them woven: 0 on the others.
    double shifted = 0.0;
    // Text rolled over a dark picture (end credits): of its bright samples
    // (above 128, every other column), the percent that the previous picture
    // holds bright too (above 64) moved 1 to 32 rows up or down, the best of
    // these moves (`scrolled`), and in place (`still`). -1 when not measured
    // (measureScroll: pictures a black rule reads as black, from the second
    // on) or when the picture holds too few bright samples to tell.
    double scrolled = -1.0;
    double still = -1.0;
    // A picture held under a crawl (a ticker keyed along its bottom or top
    // that keeps moving over a frozen programme): the root-mean-square
    // difference from the previous picture of its rows between the top and
    // the bottom fifth (every other row and column), when that is at most
    // 4, the top or the bottom fifth moves sideways as a whole across the
    // width, and the rows between would show that move (they differ from
    // themselves moved so by more than 4). -1 when not measured
    // (measureCrawl) or not so.
    double crawlRest = -1.0;

    // Percent of the picture at or below `level`; NaN for a level not asked
    // for.
    double percentAtOrBelow(int level) const;
    // Percent of the picture below `low` or above `high` (the levels `low` -
    // 1 and `high` asked for, else NaN).
    double percentOutside(int low, int high) const;
};

// Measures the luma plane (`width` x `height`, rows `stride` bytes apart)
// and, given the previous picture (the same size, rows `previousStride`
// bytes apart), its fields against that one. `blockEdges` false leaves
// PictureMeasures::blockEdges unmeasured (-1), for pictures whose block loss
// no rule could judge; the samples at or below are counted for `levels`
// (and perhaps others).
PictureMeasures measurePicture(const unsigned char* luma, int width, int height, int64_t stride,
                               const unsigned char* previous = nullptr, int64_t previousStride = 0,
                               bool blockEdges = true,
                               const LumaLevels& levels = LumaLevels::every());

// The block grid against the content: on 16 rows spread over the picture,
// the small steps (1 to 8 levels between two columns, each flat within a
// level against its other neighbour) at the edges of the 8-pixel grid, over
// their mean count at the seven columns between two edges, as (steps + 1) /
// (mean + 1). Compression that shows its blocks reads 4 and more; a picture
// whose edges merely fall on the grid (test patterns of flat squares) about
// 1. -1 under 16 columns. `share`, when given, takes the percent of the
// sampled grid positions (columns 8, 16, .. on those rows) that step;
// `strong`, the percent of those steps of 3 levels or more (-1 without a
// step): compression that shows its blocks steps so on a fifth of them and
// more, an encoder's steps in a smooth gradient never. `band`, the percent
// of the steps on the grid that fall on the quarter of the sampled rows (at
// least one) holding most of them (-1 without a step): compression steps
// all over the picture, a quarter to two thirds on that quarter; a band of
// steps across the picture (a test card's colour strip) 90 and more.
double gridStepsOf(const unsigned char* luma, int width, int height, int64_t stride,
                   double* share = nullptr, double* strong = nullptr, double* band = nullptr);

// Block loss as the indicator counts it (strong steps along 12 samples or
// more of the 16-pixel grid lines, the product of the horizontal and the
// vertical runs per 256 x 256 region, their mean), but counting only the
// vertical runs of at most two blocks (33 samples), and only steps of 8
// levels or more: blocks are lost along their rows, so the sides of a lost
// area are one or two blocks tall however wide it is, while flat shapes
// that merely lie on the grid (a test pattern's digits and stripes) run
// down for 80 samples and more, and an encoder's steps in a smooth gradient
// are a few levels. `offGrid` counts so on the lines half a block off the
// grid (8, 24, ..): a lost block's sides lie on the grid, edges of the
// content (or of blocks scaled from another size) as much off it. -1 under
// one region.
struct BlockEdges {
    double onGrid = -1.0;
    double offGrid = -1.0;
};
BlockEdges blockEdgesOf(const unsigned char* luma, int width, int height, int64_t stride);

// Measures `scrolled` and `still` of `m` (whose size is the picture's)
// against the previous picture, the same size, rows `previousStride` bytes
// apart.
void measureScroll(PictureMeasures& m, const unsigned char* luma, int64_t stride,
                   const unsigned char* previous, int64_t previousStride);

// Measures `crawlRest` of `m` (whose size is the picture's) against the
// previous picture, the same size, rows `previousStride` bytes apart.
void measureCrawl(PictureMeasures& m, const unsigned char* luma, int64_t stride,
                  const unsigned char* previous, int64_t previousStride);

// Whether the picture's bright content moved up or down as a whole since
// the previous picture (text rolling), rather than staying in place (a
// logo, a burnt-in timecode) or changing (measureScroll).
bool rolling(const PictureMeasures& m);

// Whether a picture's fields were measured as woven: enough of it moves to
// tell, and the combed share or the field ratio is beyond what progressive
// pictures read. Tells nothing (Unknown) when the picture barely moves.
enum class Weave { Unknown, Progressive, TopFirst, BottomFirst, Woven };
Weave weaveOf(const PictureMeasures& m);

namespace detail {
// The measures sample by sample as first written (the histogram, every
// level counted), the fields against `previous` (packed rows): the reference
// the measures above must match bit for bit (tests only).
PictureMeasures measurePlain(const unsigned char* luma, const unsigned char* previous, int width,
                             int height, int64_t stride);
}  // namespace detail

}  // namespace lumaqc::qc
