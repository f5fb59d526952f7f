// The vector instruction sets the kernels are compiled for, and a way to
// force one of them at run time (for tests and comparisons).
//
// Kernels are compiled once per target (plain code, SSE4, AVX2, AVX-512) and
// the best one this CPU supports is picked on the first call.
// Every target gives bit-identical results; only the speed differs.
#pragma once

#include <string>
#include <vector>

namespace lumaqc {

// Names of the targets compiled in and supported by this CPU, best first;
// the last is the plain fallback, "scalar" or "emu128" depending on the
// compiler.
std::vector<std::string> supportedSimdTargets();

// Name of the target the kernels use now.
std::string activeSimdTarget();

// Restricts the kernels to the named target: "scalar" or "emu128" (either
// name selects the plain fallback), "sse4", "avx2", "avx3" (also "avx512"). Call before any
// analysis starts. Returns false with a one-line message (line feed included) in `error` when the
// name is unknown or the CPU cannot run that target.
bool forceSimdTarget(const std::string& name, std::string& error);

// Lifts a restriction set by forceSimdTarget: the best target is used again.
void resetSimdTarget();

// Applies the environment variable LUMAQC_SIMD when it is set and not
// empty; as forceSimdTarget otherwise. Returns true when nothing was asked.
bool applySimdEnvironment(std::string& error);

}  // namespace lumaqc
