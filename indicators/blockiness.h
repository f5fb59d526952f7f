// Helpers of the blockiness indicator.
#pragma once

// Maps a blockiness value onto an opinion-score scale: (v * 17.86 - 10.38) / 2,
// clipped below at 0 (values up to about 0.5812 map to 0).
double blockToMOS(double v);
