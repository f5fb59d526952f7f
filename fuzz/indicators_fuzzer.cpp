// Every indicator on pictures of any size from 0 x 0 to 300 x 300 and any
// content. Each fast path (indicators/registry.h), on every vector target
// this CPU runs, must give the bits of its plain composition
// (reference::registry()); the temporal indicators run a whole flicker
// period with their state compared after every frame; the library API, given
// the same frames through padded rows, must agree with the direct calls.
#include <lumaqc/lumaqc.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "indicators/registry.h"
#include "reference/reference.h"
#include "tools/simd.h"

namespace {

struct Picture {
    Picture(int32_t w, int32_t h)
        : samples(new uint8_t[static_cast<size_t>(w) * static_cast<size_t>(h)]),
          image{w, h, samples.get()} {}
    std::unique_ptr<uint8_t[]> samples;  // exactly w x h, so that any overrun is caught
    Image image;
};

void requireSameState(const TemporalState& a, const TemporalState& b) {
    const size_t n = static_cast<size_t>(a.switchCounters.w) * a.switchCounters.h;
    require(a.frameCount == b.frameCount && a.freezingTemp == b.freezingTemp,
            "temporal counters differ");
    require(n == 0 || (std::memcmp(a.switchCounters.data, b.switchCounters.data, n) == 0 &&
                       std::memcmp(a.changeStates.data, b.changeStates.data, n) == 0),
            "flicker block states differ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int32_t w = in.range(0, 300);
    const int32_t h = in.range(0, 300);
    const double fps = in.real();
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    Picture pictures[2] = {Picture(w, h), Picture(w, h)};
    in.fill(pictures[0].samples.get(), n);
    in.fill(pictures[1].samples.get(), n);
    const Image& first = pictures[0].image;

    // Single-frame indicators, plain composition first, then every vector
    // target, blur with the hint of the frame before, alone and from the
    // sums the frame loops share.
    FrameValues expected{};
    FrameContext plain{&first, nullptr, nullptr, nullptr, fps, &expected};
    for (const reference::ReferenceInfo& r : reference::registry()) {
        if (indicatorInfo(r.id).stage == Stage::Spatial) expected[r.id] = r.compute(plain);
    }
    BlurState hint;
    const FrameValues none{};
    const FrameContext fast{&first, nullptr, nullptr, &hint, fps, &none};
    BlockStats stats;
    StructureSums structure;
    RobertsShare roberts;  // left by spatial activity, read by block loss after it
    FrameContext shared = fast;
    shared.blockStats = &stats;
    shared.structure = &structure;
    shared.roberts = &roberts;
    for (const std::string& target : supportedSimdTargets()) {
        std::string error;
        require(forceSimdTarget(target, error), "a supported vector target cannot be chosen");
        stats.ready = false;
        structure.ready = false;
        roberts.ready = false;
        for (const reference::ReferenceInfo& r : reference::registry()) {
            const IndicatorInfo& info = indicatorInfo(r.id);
            if (info.stage != Stage::Spatial) continue;
            const std::string what = std::string(info.key) + " (" + target + ")";
            requireSame(info.compute(fast), expected[r.id], what.c_str(), w, h);
            requireSame(info.compute(shared), expected[r.id], (what + ", shared").c_str(), w, h);
        }
    }
    resetSimdTarget();

    // The library API on padded rows gives the same single-frame values.
    if (w > 0 && h > 0) {
        const ptrdiff_t stride = w + in.range(0, 15);
        std::vector<uint8_t> padded(static_cast<size_t>(stride) * h, 0xA5);
        for (int32_t y = 0; y < h; ++y) {
            std::memcpy(&padded[static_cast<size_t>(y) * stride], first.data + y * w,
                        static_cast<size_t>(w));
        }
        lumaqc::Analyzer analyzer(w, h, fps);
        const lumaqc::FrameValues& values = analyzer.analyze(padded.data(), stride);
        for (const reference::ReferenceInfo& r : reference::registry()) {
            const IndicatorInfo& info = indicatorInfo(r.id);
            if (info.stage != Stage::Spatial) continue;
            const std::string what = std::string(info.key) + " (library API)";
            requireSame(values[r.id], expected[r.id], what.c_str(), w, h);
        }
    }

    // The temporal indicators over nine frames, the two pictures taking turns
    // with a little change, so that a flicker period ends on the way. Each
    // side keeps its own state; freezing, which has no fast path, runs on
    // both and must keep the same count.
    TemporalState fastState = createTemporalState(w, h);
    TemporalState plainState = createTemporalState(w, h);
    for (int frame = 0; frame < 9; ++frame) {
        const Image& current = pictures[frame % 2].image;
        const Image& previous = pictures[(frame + 1) % 2].image;
        if (n > 0 && (frame % 3) == 2) pictures[frame % 2].samples[in.u32() % n] ^= in.byte();
        FrameValues fastValues{};
        FrameValues plainValues{};
        fastValues[kBlackout] = plainValues[kBlackout] =
            indicatorInfo(kBlackout).compute({&current, nullptr, nullptr, nullptr, fps, &none});
        const FrameContext fastFrame{&current, &previous, &fastState, nullptr, fps, &fastValues};
        const FrameContext plainFrame{&current, &previous, &plainState, nullptr, fps, &plainValues};
        for (const IndicatorInfo& info : indicatorRegistry()) {
            if (info.stage == Stage::Spatial) continue;
            double (*plainCompute)(const FrameContext&) = info.compute;
            for (const reference::ReferenceInfo& r : reference::registry()) {
                if (r.id == info.id) plainCompute = r.compute;
            }
            fastValues[info.id] = info.compute(fastFrame);
            plainValues[info.id] = plainCompute(plainFrame);
            requireSame(fastValues[info.id], plainValues[info.id], info.key, w, h);
        }
        require(fastValues[kFreezing] == 0.0 || fastValues[kFreezing] == 1.0,
                "freezing is not a flag");
        requireSameState(fastState, plainState);
    }
    freeTemporalState(fastState);
    freeTemporalState(plainState);
    return 0;
}
