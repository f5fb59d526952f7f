// Vectorised sums over one row of 8x8 blocks, shared by the fast paths of
// blackout and exposure. The best instruction set of the running
// CPU is chosen at run time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumaqc {

// out[b] = sum of the 64 samples of block b of the block row whose top-left
// sample is rows[0]; block b starts at column 8 * b. Rows are `stride`
// samples apart; blocks may be 0.
void blockRowSums8(const uint8_t* rows, std::ptrdiff_t stride, int32_t blocks, uint64_t* out);

}  // namespace lumaqc
