// Reference implementations of the indicators that have a fast path.
//
// Each function is the plain composition of toolkit operations that the
// indicator used before it was optimised. The identity tests run both on many
// pictures and require bit-identical results; the benchmarks compare them.
// One source file per indicator: reference/<name>.cpp.
#pragma once

#include "tools/definitions.h"

namespace reference {

}  // namespace reference
