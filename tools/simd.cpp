#include "tools/simd.h"

#include <hwy/highway.h>

#include <cstdint>
#include <cstdlib>

namespace lumaqc {

namespace {

struct NamedTarget {
    const char* name;
    int64_t bits;
};

// Accepted names, aliases included; the first name of each target is the one
// reported.
constexpr NamedTarget kTargets[] = {
    {"avx3", HWY_AVX3},
    {"avx512", HWY_AVX3},
    {"avx2", HWY_AVX2},
    {"sse4", HWY_SSE4},
    {"scalar", HWY_SCALAR | HWY_EMU128},
    {"emu128", HWY_SCALAR | HWY_EMU128},
};

// The plain fallback is "scalar" (one lane) or "emu128" (128-bit emulation),
// depending on what Highway can build with this compiler.
const char* nameOf(int64_t bit) {
    if (bit == HWY_SCALAR) return "scalar";
    if (bit == HWY_EMU128) return "emu128";
    for (const NamedTarget& t : kTargets)
        if (t.bits == bit) return t.name;
    return hwy::TargetName(bit);
}

// The targets compiled into the kernels and runnable here, as a bit mask.
int64_t usableTargets() {
    return hwy::SupportedTargets() & HWY_TARGETS;
}

}  // namespace

std::vector<std::string> supportedSimdTargets() {
    std::vector<std::string> names;
    // Lower bits are better targets.
    for (int64_t rest = usableTargets(); rest != 0; rest &= rest - 1) {
        names.emplace_back(nameOf(rest & -rest));
    }
    return names;
}

std::string activeSimdTarget() {
    const int64_t usable = usableTargets();
    return usable == 0 ? std::string("emu128") : std::string(nameOf(usable & -usable));
}

bool forceSimdTarget(const std::string& name, std::string& error) {
    for (const NamedTarget& t : kTargets) {
        if (name != t.name) continue;
        hwy::SetSupportedTargetsForTest(0);  // judge against the real CPU
        const int64_t usable = usableTargets() & t.bits;
        if (usable == 0) {
            hwy::GetChosenTarget().Update(hwy::SupportedTargets());
            error = "vector target " + name + " is not supported by this CPU\n";
            return false;
        }
        hwy::SetSupportedTargetsForTest(usable);
        // Dispatch picks again on the next call.
        hwy::GetChosenTarget().Update(hwy::SupportedTargets());
        return true;
    }
    error = "unknown vector target " + name + " (use avx3, avx512, avx2, sse4, emu128 or scalar)\n";
    return false;
}

void resetSimdTarget() {
    hwy::SetSupportedTargetsForTest(0);
    hwy::GetChosenTarget().Update(hwy::SupportedTargets());
}

bool applySimdEnvironment(std::string& error) {
    const char* value = std::getenv("LUMAQC_SIMD");
    if (value == nullptr || *value == '\0') return true;
    std::string e;
    if (!forceSimdTarget(value, e)) {
        error = "LUMAQC_SIMD: " + e;
        return false;
    }
    return true;
}

}  // namespace lumaqc
