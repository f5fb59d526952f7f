// The integer statistics of a picture's 8x8 blocks, read in one vector pass
// and shared by the indicators that need them: noise (each block's spread),
// contrast (the picture's totals), exposure and blackout (block means).
// The frame loops compute them once per frame, for the first indicator that
// asks (FrameContext::blockStats); each indicator's standalone function
// computes them, or what it needs of them, itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/definitions.h"

namespace lumaqc {

struct BlockStats {
    int32_t w = 0;  // the picture's size
    int32_t h = 0;
    int32_t blocksX = 0;  // whole 8x8 blocks across (w / 8) and down (h / 8)
    int32_t blocksY = 0;
    // Per block, row by row (block (bx, by) at by * blocksX + bx): the sum of
    // its 64 samples and the sum of their squares. The vectors may be longer.
    std::vector<uint32_t> sums;
    std::vector<uint32_t> squares;
    // Every sample of the picture, inside whole blocks or not.
    uint64_t sum = 0;
    uint64_t squareSum = 0;
    // Set when the statistics are those of the frame's current picture; the
    // engine clears it before each frame.
    bool ready = false;
};

// Block loss's Roberts cross energies, (up[x-1] - cur[x])^2 + (up[x] -
// cur[x-1])^2, formed by spatial activity's Sobel pass, which reads the same
// row pairs: their sum over rows 1 .. h-1 and columns 1 .. w-1, and the
// energies on the vertical grid lines (columns 16 c) of the whole 256 x 256
// regions, saturated to 16 bits. The frame loops clear `ready` before each
// frame; block loss computes them itself when they are not there.
struct RobertsShare {
    int32_t w = 0;  // the picture's size
    int32_t h = 0;
    int64_t energySum = 0;
    int32_t tableRows = 0;  // rows of whole regions
    int32_t gridCols = 0;   // grid columns inside whole regions
    // Row y, grid column c at y * gridCols + c; row 0 and column 0 hold 0.
    std::vector<uint16_t> table;
    bool ready = false;
};

// Fills `stats` with the statistics of `img` and sets ready. The vectors
// grow when needed and never shrink, so a picture size repeated from frame
// to frame allocates nothing. Throws std::bad_alloc.
void computeBlockStats(const Image& img, BlockStats& stats);

// computeBlockStats in steps, for a walk that reads the picture in bands:
// start, then the block rows [by0, by1) of every band in turn, then finish,
// which adds the rows below the last whole block row and sets ready. The
// totals are the same integers whatever the bands.
void startBlockStats(const Image& img, BlockStats& stats);
void addBlockStatsRows(const Image& img, int32_t by0, int32_t by1, BlockStats& stats);
void finishBlockStats(const Image& img, BlockStats& stats);

// The sum and the sum of squares of n contiguous samples.
void sampleSums(const uint8_t* p, size_t n, uint64_t* sum, uint64_t* squares);

// The positions i of the values p[i] < low or p[i] > high, in increasing
// order, stored to at[0 ..] (room for n); returns how many. The values and
// the bounds must be below 2^31.
size_t valuesOutside(const uint32_t* p, size_t n, uint32_t low, uint32_t high, uint32_t* at);

}  // namespace lumaqc
