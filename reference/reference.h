// Reference implementations of the indicators that have a fast path.
//
// Each function is the plain composition of toolkit operations that the
// indicator used before it was optimised. The identity tests run both on many
// pictures and require bit-identical results; the benchmarks compare them.
// One source file per indicator: reference/<name>.cpp.
#pragma once

#include "tools/definitions.h"

struct TemporalState;

namespace reference {

double blockLoss(const Image& img);
double blur(const Image& img);
double noise(const Image& img);
double slice(const Image& img);

double spatialActivity(const Image& img);
double blockiness(const Image& img);
double letterbox(const Image& img);
double pillarbox(const Image& img);
double exposure(const Image& img);
double interlace(const Image& img);
uint8_t blackout(const Image& img);
double contrastRMS(const Image& img);
double temporalActivity(const Image& current, const Image& previous);
double flickering(const Image& current, const Image& previous, TemporalState& state);

}  // namespace reference
