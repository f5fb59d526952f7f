#include <array>

#include "reference/reference.h"

namespace lumaqc::reference {

namespace {

constexpr std::array<ReferenceInfo, kIndicatorCount - 1> kReferences = {{
    {kBlockiness, [](const FrameContext& c) { return reference::blockiness(*c.current); }},
    {kSpatialActivity,
     [](const FrameContext& c) { return reference::spatialActivity(*c.current); }},
    {kLetterbox, [](const FrameContext& c) { return reference::letterbox(*c.current); }},
    {kPillarbox, [](const FrameContext& c) { return reference::pillarbox(*c.current); }},
    {kBlockLoss, [](const FrameContext& c) { return reference::blockLoss(*c.current); }},
    {kBlur, [](const FrameContext& c) { return reference::blur(*c.current); }},
    {kExposure, [](const FrameContext& c) { return reference::exposure(*c.current); }},
    {kInterlace, [](const FrameContext& c) { return reference::interlace(*c.current); }},
    {kNoise, [](const FrameContext& c) { return reference::noise(*c.current); }},
    {kSlice, [](const FrameContext& c) { return reference::slice(*c.current); }},
    {kBlackout,
     [](const FrameContext& c) { return static_cast<double>(reference::blackout(*c.current)); }},
    {kContrast, [](const FrameContext& c) { return reference::contrastRMS(*c.current); }},
    {kTemporalActivity,
     [](const FrameContext& c) { return reference::temporalActivity(*c.current, *c.previous); }},
    {kFlickering,
     [](const FrameContext& c) {
         return reference::flickering(*c.current, *c.previous, *c.temporal);
     }},
}};

}  // namespace

std::span<const ReferenceInfo> registry() {
    return kReferences;
}

}  // namespace lumaqc::reference
