// The sums of the three structure indicators (blockiness, interlace, slice),
// read in one walk over the picture in bands of rows and shared by them.
// The frame loops compute them once per frame, for the first of the three
// that runs (FrameContext::structure); each standalone function walks the
// picture for its own sums alone. Both ways run the same band functions, in
// the indicator's source file, so the sums are the same integers.
#pragma once

#include <cstdint>
#include <vector>

#include "indicators/blockStats.h"
#include "tools/definitions.h"

namespace lumaqc {

// Blockiness: the differences at the block edges of the rows walked so far.
struct BlockinessSums {
    int64_t rowEdges = 0;     // horizontal edges of the picture
    int64_t columnEdges = 0;  // vertical edges
    // Per vertical edge j, |inner| and |across| differences summed down the
    // rows walked: inner at columns[j], across at columns[columnEdges + j].
    // The vector may be longer.
    std::vector<uint64_t> columns;
    // The horizontal edges of the rows walked, each already weighted.
    uint64_t rowInner = 0;
    uint64_t rowAcross = 0;
};

// Slice: per strip of 16 rows that has a strip below, the samples equal to
// the one 16 rows below (vertical) and to the one 16 columns to the right
// (horizontal).
struct SliceCounts {
    std::vector<int32_t> vertical;  // the vectors may be longer than the strips
    std::vector<int32_t> horizontal;
};

struct StructureSums {
    int32_t w = 0;  // the picture's size
    int32_t h = 0;
    BlockinessSums blockiness;
    SliceCounts slice;
    uint64_t combedGroups = 0;  // interlace
    // Set when the sums are those of the frame's current picture; the engine
    // clears it before each frame.
    bool ready = false;
};

// Fills `sums` with those of `img` in one walk and sets ready. With `stats`,
// the same walk also fills the block statistics (as computeBlockStats does,
// the same integers) and sets their ready. The vectors grow when needed and
// never shrink. Throws std::bad_alloc.
void computeStructureSums(const Image& img, StructureSums& sums, BlockStats* stats = nullptr);

// The band functions of the walk, each in its indicator's file. Each starts
// its sums for a picture, then adds those of rows [y0, y1) (y0 a multiple of
// 16, or of 8 for blockiness; y1 too unless it is the picture's height),
// from column `from` on (a multiple of the vector size, where the shared
// vector step of the walk has left off). Rows below y1 may be read.
void startBlockiness(const Image& img, BlockinessSums& sums);
// At most 256 rows.
void addBlockinessRows(const Image& img, int32_t y0, int32_t y1, BlockinessSums& sums,
                       int32_t from = 0);
// The strips starting in [y0, y1) that have a strip below; their counts are
// set, not added to.
void startSlice(const Image& img, SliceCounts& counts);
void addSliceRows(const Image& img, int32_t y0, int32_t y1, SliceCounts& counts, int32_t from = 0);
// The 4 x 4 groups inside [y0, y1).
uint64_t combedGroups(const Image& img, int32_t y0, int32_t y1, int32_t from = 0);

}  // namespace lumaqc
