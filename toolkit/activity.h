// Activity kernels: whole-picture energy figures used by the spatial and
// temporal activity indicators. Neither kernel allocates or keeps state;
// normalisation by the picture size is left to the caller.
#pragma once

#include "tools/definitions.h"

namespace lumaqc {

// Square root of the Sobel gradient energy: the sum of Gx^2 + Gy^2 over every
// position whose eight neighbours lie inside the picture. Pictures with fewer
// than 3 rows or columns give 0.0.
double spatialAct(const Image& img);

// Square root of the sum of squared differences a - b over the a.w * a.h
// samples of a; b must hold at least as many samples. An empty a gives 0.0.
double temporalAct(const Image& a, const Image& b);

}  // namespace lumaqc
