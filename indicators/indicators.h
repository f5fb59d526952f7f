// The fifteen no-reference quality indicators, one source file each, and
// their parameters (shared with the plain compositions in reference/).
//
// Spatial indicators read the current luma picture only. Temporal indicators
// compare it with the previous picture and keep their frame-to-frame state in
// a TemporalState that the caller owns, so independent analyses never share
// counters.
#pragma once

#include <cstddef>
#include <cstdint>

#include "indicators/blockStats.h"
#include "indicators/structure.h"
#include "tools/definitions.h"

namespace lumaqc {

// The block edge shared by the reduced pictures of blockiness, exposure,
// interlace, blackout and flickering.
inline constexpr uint32_t BLOCKSIZE = 8;

// Blackout: largest spread of block means, in grey levels, that still counts as flat.
inline constexpr double THRESHOLD_BLACKOUT = 4.0;

// Block loss: step of the block grid whose lines are examined for edges.
inline constexpr int32_t BLOCKLOSS_BLOCKSIZE = 16;
// Block loss: side of the square regions in which edge runs are counted.
inline constexpr int32_t BLOCKPROC_BLOCKSIZE = 256;
// Block loss: number of consecutive strong-edge positions that make a run.
inline constexpr int32_t EDGE_LENGTH = 12;
// Block loss: a position is a strong edge when its energy exceeds this
// multiple of the frame's mean Roberts energy.
inline constexpr float BLOCKLOSS_EDGE_FACTOR = 6.0f;

// Exposure: number of darkest and of brightest 8x8 blocks averaged into the result.
inline constexpr int32_t nBlSum = 4;
// Exposure: upper limit for nBlSum, the capacity the two block lists are designed for.
inline constexpr int32_t TABSIZE = 10000;

// Flickering: number of calls per rating period.
inline constexpr int32_t framePeriod = 8;

// Interlace: side of a test group, four columns of four rows.
inline constexpr int32_t INTERLACE_BLOCKSIZE = 4;

// Noise: bins of the block deviation histogram, one per possible rounded
// deviation of an 8x8 block of 8-bit samples (0 to 129; half 0 and half 255
// give 128.51), plus the upper neighbour bin that the weighted centre reads.
inline constexpr int32_t HISTOGRAM_ENTRIES = 131;
// Noise: side of the smoothing kernel.
inline constexpr int32_t GAUSSIAN_MASK_SIZE = 3;
// Noise: largest number of blocks collected for the residual measurement.
inline constexpr int32_t MAX_CONTAINER_WIDTH = 1000;

// Slice: strip height and comparison distance, in samples, both down and across.
inline constexpr int32_t SLICE_BLOCKSIZE = 16;

// Spatial indicators.
double blockiness(const Image& img);
double spatialActivity(const Image& img);
double letterbox(const Image& img);
double pillarbox(const Image& img);
double blockLoss(const Image& img);
double blur(const Image& img);
double exposure(const Image& img);
double interlace(const Image& img);
double noise(const Image& img);
// Noise: twice the sample standard deviation of n blocks of 64 samples,
// floored (its half floored is the deviation's floor, its half rounded up
// the deviation's rounding, half away from zero), from each block's spread
// 64 * (sum of squares) - sum^2 (at most 66,585,600).
void noiseDoubledDeviations(const uint32_t* spreads, size_t n, uint16_t* doubled);
double slice(const Image& img);
uint8_t blackout(const Image& img);
double contrastRMS(const Image& img);

// The same indicators from the block statistics of the picture
// (computeBlockStats), as the frame loops share them; each gives the bits
// of the standalone function. Noise also reads the picture's samples.
double noise(const Image& img, const BlockStats& stats);
// Spatial activity leaving block loss's Roberts energies in `roberts`
// (ready when its pass made them; the picture's block statistics, when
// ready, spare it some work), and block loss reading them when they are
// ready for a picture of its size; each gives the bits of the standalone
// function.
double spatialActivity(const Image& img, RobertsShare& roberts, const BlockStats* stats = nullptr);
double blockLoss(const Image& img, const RobertsShare& roberts);
double exposure(const BlockStats& stats);
uint8_t blackout(const BlockStats& stats);
double contrastRMS(const BlockStats& stats);
// The structure indicators from the picture's structure sums
// (computeStructureSums), as the frame loops share them; each gives the
// bits of the standalone function.
double blockiness(const StructureSums& sums);
double interlace(const StructureSums& sums);
double slice(const StructureSums& sums);

// Maps a blockiness value onto an opinion-score scale: (v * 17.86 - 10.38) / 2,
// clipped below at 0 (values up to about 0.5812 map to 0).
double blockToMOS(double v);
// Maps a mean edge width to an opinion score from 0 to 5 (about 4.96 for
// width 0, falling towards 0 as the width grows).
double blurToMOS(double blurValue);

// Blur's hint from frame to frame: the edge step of the last frame measured,
// -1 when unknown. Frames of one video have similar steps, and a frame whose
// step is no smaller than the hint is measured in one pass over its rows.
// The hint never changes a result, only the time it takes.
struct BlurState {
    int32_t previousStep = -1;
};
// Blur with the hint of the frames before (and leaving this frame's in it).
double blur(const Image& img, BlurState& state);

// State carried from frame to frame by freezing and flickering.
struct TemporalState {
    int32_t freezingTemp = 0;  // consecutive frozen frames up to the latest call
    int32_t frameCount = 0;    // calls of flickering in the current period
    Image switchCounters{};    // one 8-bit switch counter per 8x8 block
    Image changeStates{};      // one 8-bit change state (0 still, 1 changing) per 8x8 block
};

// Creates the state for pictures of w x h: counters zero, the two per-block
// pictures (w / 8) x (h / 8) and zero-filled. Throws std::bad_alloc when
// they cannot be allocated.
TemporalState createTemporalState(int32_t w, int32_t h);
void freeTemporalState(TemporalState& state);

// Temporal indicators; call once per frame, in frame order, from the second
// frame of a sequence on.
double temporalActivity(const Image& current, const Image& previous);
// Temporal activity of two pictures of one size, which also leaves
// flickering's block changes between them in `changes` (flickeringBlocks(w,
// h) bytes), read in the same pass.
double temporalActivity(const Image& current, const Image& previous, uint8_t* changes);
uint8_t freezing(double temporalActivity, int32_t blackoutFlag, double fps, TemporalState& state);
// Freezing's count of exact repeats (no temporal activity, not blacked out)
// up to a frame, given the count up to the frame before.
int32_t freezeRepeats(int32_t before, double temporalActivity, int32_t blackoutFlag);
double flickering(const Image& current, const Image& previous, TemporalState& state);
// Flickering in two steps, as the frame loops run it: the blocks' changes
// between two pictures (flickeringBlocks(w, h) bytes, left by temporal
// activity, in any frame order), then the update and rating from them (in
// frame order). Together they give what flickering gives.
size_t flickeringBlocks(int32_t w, int32_t h);
double flickeringUpdate(const uint8_t* changes, TemporalState& state);

}  // namespace lumaqc
