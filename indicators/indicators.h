// The fifteen no-reference quality indicators.
//
// Spatial indicators read the current luma picture only. Temporal indicators
// compare it with the previous picture and keep their frame-to-frame state in
// a TemporalState that the caller owns, so independent analyses never share
// counters.
#pragma once

#include <cstdint>

#include "tools/definitions.h"

// The block edge shared by the driver (size of the reduced pictures),
// blockiness, exposure, interlace, blackout and flickering.
inline constexpr uint32_t BLOCKSIZE = 8;

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
double slice(const Image& img);
uint8_t blackout(const Image& img);
double contrastRMS(const Image& img);

// State carried from frame to frame by freezing and flickering.
struct TemporalState {
    int32_t freezingTemp = 0;  // consecutive frozen frames up to the latest call
    int32_t frameCount = 0;    // calls of flickering in the current period
    Image switchCounters{};    // one 8-bit switch counter per 8x8 block
    Image changeStates{};      // one 8-bit change state (0 still, 1 changing) per 8x8 block
};

// Creates the state for pictures of w x h: counters zero, the two per-block
// pictures (w / 8) x (h / 8) and zero-filled.
TemporalState createTemporalState(int32_t w, int32_t h);
void freeTemporalState(TemporalState& state);

// Temporal indicators; call once per frame, in frame order, from the second
// frame of a sequence on.
double temporalActivity(const Image& current, const Image& previous);
uint8_t freezing(double temporalActivity, int32_t blackoutFlag, double fps, TemporalState& state);
double flickering(const Image& current, const Image& previous, TemporalState& state);
