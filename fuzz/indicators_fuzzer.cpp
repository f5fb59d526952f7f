// Every indicator on pictures of any size from 0 x 0 to 300 x 300 and any
// content. Each fast path, on every vector target this CPU runs, must give
// the bits of its plain reference composition; the temporal indicators run a
// whole flicker period with their state compared after every frame; the
// library API, given the same frames through padded rows, must agree with
// the direct calls.
#include <lumaqc/lumaqc.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "indicators/indicators.h"
#include "reference/reference.h"
#include "tools/simd.h"

using namespace lumaqc;

namespace {

struct Picture {
    Picture(int32_t w, int32_t h)
        : samples(new uint8_t[static_cast<size_t>(w) * static_cast<size_t>(h)]),
          image{w, h, samples.get()} {}
    std::unique_ptr<uint8_t[]> samples;  // exactly w x h, so that any overrun is caught
    Image image;
};

using Spatial = double (*)(const Image&);

double blackoutValue(const Image& img) {
    return blackout(img);
}
double referenceBlackout(const Image& img) {
    return reference::blackout(img);
}

struct SpatialPair {
    IndicatorId id;
    const char* name;
    Spatial fast;
    Spatial plain;
};

const SpatialPair kSpatial[] = {
    {kBlockiness, "blockiness", blockiness, reference::blockiness},
    {kSpatialActivity, "spatialActivity", spatialActivity, reference::spatialActivity},
    {kLetterbox, "letterbox", letterbox, reference::letterbox},
    {kPillarbox, "pillarbox", pillarbox, reference::pillarbox},
    {kBlockLoss, "blockLoss", blockLoss, reference::blockLoss},
    {kBlur, "blur", blur, reference::blur},
    {kExposure, "exposure", exposure, reference::exposure},
    {kInterlace, "interlace", interlace, reference::interlace},
    {kNoise, "noise", noise, reference::noise},
    {kSlice, "slice", slice, reference::slice},
    {kBlackout, "blackout", blackoutValue, referenceBlackout},
    {kContrast, "contrastRMS", contrastRMS, reference::contrastRMS},
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

    // Spatial indicators, reference first, then every vector target.
    double expected[sizeof kSpatial / sizeof kSpatial[0]];
    for (size_t i = 0; i < sizeof kSpatial / sizeof kSpatial[0]; ++i) {
        expected[i] = kSpatial[i].plain(first);
    }
    const std::vector<std::string> targets = supportedSimdTargets();
    for (const std::string& target : targets) {
        std::string error;
        require(forceSimdTarget(target, error), "a supported vector target cannot be chosen");
        for (size_t i = 0; i < sizeof kSpatial / sizeof kSpatial[0]; ++i) {
            const std::string what = std::string(kSpatial[i].name) + " (" + target + ")";
            requireSame(kSpatial[i].fast(first), expected[i], what.c_str(), w, h);
        }
    }
    resetSimdTarget();

    // The library API on padded rows gives the same spatial values.
    if (w > 0 && h > 0) {
        const ptrdiff_t stride = w + in.range(0, 15);
        std::vector<uint8_t> padded(static_cast<size_t>(stride) * h, 0xA5);
        for (int32_t y = 0; y < h; ++y) {
            std::memcpy(&padded[static_cast<size_t>(y) * stride], first.data + y * w,
                        static_cast<size_t>(w));
        }
        lumaqc::Analyzer analyzer(w, h, fps);
        const lumaqc::FrameValues& values = analyzer.analyze(padded.data(), stride);
        for (size_t i = 0; i < sizeof kSpatial / sizeof kSpatial[0]; ++i) {
            const std::string what = std::string(kSpatial[i].name) + " (library API)";
            requireSame(values[kSpatial[i].id], expected[i], what.c_str(), w, h);
        }
    }

    // Temporal indicators over nine frames, the two pictures taking turns
    // with a little change, so that a flicker period ends on the way.
    TemporalState fastState = createTemporalState(w, h);
    TemporalState plainState = createTemporalState(w, h);
    for (int frame = 0; frame < 9; ++frame) {
        const Image& current = pictures[frame % 2].image;
        const Image& previous = pictures[(frame + 1) % 2].image;
        const double activity = temporalActivity(current, previous);
        requireSame(activity, reference::temporalActivity(current, previous), "temporalActivity", w,
                    h);
        if (n > 0 && (frame % 3) == 0) pictures[frame % 2].samples[in.u32() % n] ^= in.byte();
        requireSame(flickering(current, previous, fastState),
                    reference::flickering(current, previous, plainState), "flickering", w, h);
        const uint8_t flag = blackout(current);
        const uint8_t frozen = freezing(activity, flag, fps, fastState);
        require(frozen == freezing(activity, flag, fps, plainState), "freezing differs");
        require(frozen <= 1, "freezing is not a flag");
        requireSameState(fastState, plainState);
    }
    freeTemporalState(fastState);
    freeTemporalState(plainState);
    return 0;
}
