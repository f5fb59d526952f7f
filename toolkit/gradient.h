// First differences and per-block standard deviation of an 8-bit picture.
#pragma once

#include <cstdint>

#include "tools/definitions.h"

namespace lumaqc {

// Horizontal and vertical first differences: destX[y][x] = src[y][x] -
// src[y][x-1], destY[y][x] = src[y][x] - src[y-1][x] for x, y >= 1; row 0 and
// column 0 of both destinations are 0. Both destinations must have the size of
// src (checked).
void gradient(const Image& src, Image32& destX, Image32& destY);

// Block statistics over a grid of bw x bh blocks whose size is that of
// blockSums (blockSums.w blocks across, blockSums.h blocks down). For every
// block the sum of its samples and of their squares are ADDED to blockSums and
// blockSquares (pass zero-filled pictures), and stdDevs receives the sample
// standard deviation computed from the accumulated totals. Source columns and
// rows beyond the grid are not read. Nothing is checked: the three outputs
// must have the grid's size and the grid must fit into src.
void calculateStdDevs(const Image& src, Image32& blockSums, Image32& blockSquares,
                      ImageDouble& stdDevs, int bw, int bh);

}  // namespace lumaqc
