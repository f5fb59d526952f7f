#include "indicators/registry.h"

#include <array>

namespace lumaqc {

namespace {

// The blackout flag of a frame, widened without sign.
int32_t blackoutFlag(const FrameValues& values) {
    return static_cast<int32_t>(static_cast<uint8_t>(values[kBlackout]));
}

// Freezing reads this frame's temporal activity and blackout flag, so it
// comes after both.
double computeFreezing(const FrameContext& c) {
    return freezing((*c.values)[kTemporalActivity], blackoutFlag(*c.values), c.fps, *c.temporal);
}

constexpr NoValueRule kNotFiniteOnly{};
constexpr NoValueRule kMinusOne{.minusOne = true};

constexpr std::array<IndicatorInfo, kIndicatorCount> kRegistry = {{
    {.id = kBlockiness,
     .key = "blockiness",
     .name = "Blockiness",
     .stage = Stage::Spatial,
     .kind = ValueKind::Real,
     .noValue = kNotFiniteOnly,
     .compute = [](const FrameContext& c) { return blockiness(*c.current); }},
    {.id = kSpatialActivity,
     .key = "spatial_activity",
     .name = "Spatial activity",
     .stage = Stage::Spatial,
     .kind = ValueKind::Real,
     .noValue = kNotFiniteOnly,
     .compute = [](const FrameContext& c) { return spatialActivity(*c.current); }},
    {.id = kLetterbox,
     .key = "letterbox",
     .name = "Letterbox",
     .stage = Stage::Spatial,
     .kind = ValueKind::Real,
     .noValue = kNotFiniteOnly,
     .compute = [](const FrameContext& c) { return letterbox(*c.current); }},
    {.id = kPillarbox,
     .key = "pillarbox",
     .name = "Pillarbox",
     .stage = Stage::Spatial,
     .kind = ValueKind::Real,
     .noValue = kNotFiniteOnly,
     .compute = [](const FrameContext& c) { return pillarbox(*c.current); }},
    {.id = kBlockLoss,
     .key = "block_loss",
     .name = "Block loss",
     .stage = Stage::Spatial,
     .kind = ValueKind::Real,
     .noValue = kMinusOne,  // pictures under 256 x 256
     .compute = [](const FrameContext& c) { return blockLoss(*c.current); }},
    {.id = kBlur,
     .key = "blur",
     .name = "Blur",
     .stage = Stage::Spatial,
     .kind = ValueKind::Real,
     .noValue = kNotFiniteOnly,
     .compute =
         [](const FrameContext& c) {
             return c.blur != nullptr ? blur(*c.current, *c.blur) : blur(*c.current);
         }},
    {.id = kExposure,
     .key = "exposure",
     .name = "Exposure",
     .stage = Stage::Spatial,
     .kind = ValueKind::Truncated,
     .noValue = kNotFiniteOnly,
     .compute = [](const FrameContext& c) { return exposure(*c.current); }},
    {.id = kInterlace,
     .key = "interlace",
     .name = "Interlace",
     .stage = Stage::Spatial,
     .kind = ValueKind::Real,
     .noValue = kNotFiniteOnly,
     .compute = [](const FrameContext& c) { return interlace(*c.current); }},
    {.id = kNoise,
     .key = "noise",
     .name = "Noise",
     .stage = Stage::Spatial,
     .kind = ValueKind::Real,
     .noValue = kNotFiniteOnly,
     .compute = [](const FrameContext& c) { return noise(*c.current); }},
    {.id = kSlice,
     .key = "slice",
     .name = "Slice",
     .stage = Stage::Spatial,
     .kind = ValueKind::Real,
     .noValue = kMinusOne,  // pictures of 47 rows or fewer
     .compute = [](const FrameContext& c) { return slice(*c.current); }},
    {.id = kBlackout,
     .key = "blackout",
     .name = "Blackout",
     .stage = Stage::Spatial,
     .kind = ValueKind::Flag,
     .noValue = kNotFiniteOnly,
     .compute = [](const FrameContext& c) { return static_cast<double>(blackout(*c.current)); }},
    {.id = kContrast,
     .key = "contrast",
     .name = "Contrast",
     .stage = Stage::Spatial,
     .kind = ValueKind::Real,
     .noValue = kNotFiniteOnly,
     .compute = [](const FrameContext& c) { return contrastRMS(*c.current); }},
    {.id = kTemporalActivity,
     .key = "temporal_activity",
     .name = "Temporal activity",
     .stage = Stage::Pairwise,
     .kind = ValueKind::Real,
     .noValue = kNotFiniteOnly,
     .compute = [](const FrameContext& c) { return temporalActivity(*c.current, *c.previous); }},
    {.id = kFreezing,
     .key = "freezing",
     .name = "Freezing",
     .stage = Stage::Sequential,
     .kind = ValueKind::Flag,
     .noValue = kNotFiniteOnly,
     .compute = computeFreezing},
    {.id = kFlickering,
     .key = "flickering",
     .name = "Flickering",
     .stage = Stage::Sequential,
     .kind = ValueKind::Real,
     // -1.0 between ratings; the first frame's 0 is a start value.
     .noValue = {.minusOne = true, .firstFrame = true},
     .compute =
         [](const FrameContext& c) {
             return c.flickerChanges != nullptr ? flickeringUpdate(c.flickerChanges, *c.temporal)
                                                : flickering(*c.current, *c.previous, *c.temporal);
         }},
}};

// Every IndicatorId has exactly one entry (the array's size then leaves no
// room for a missing one).
constexpr bool coversEveryIndicatorOnce() {
    std::array<int, kIndicatorCount> seen{};
    for (const IndicatorInfo& info : kRegistry) {
        if (info.id < 0 || info.id >= kIndicatorCount || seen[info.id]++ != 0) return false;
    }
    return true;
}
static_assert(coversEveryIndicatorOnce(), "one registry entry per IndicatorId");

// Registry positions by identity.
constexpr std::array<int, kIndicatorCount> kPositions = [] {
    std::array<int, kIndicatorCount> positions{};
    for (int i = 0; i < kIndicatorCount; ++i) positions[kRegistry[i].id] = i;
    return positions;
}();

}  // namespace

std::span<const IndicatorInfo, kIndicatorCount> indicatorRegistry() {
    return kRegistry;
}

const IndicatorInfo& indicatorInfo(IndicatorId id) {
    return kRegistry[static_cast<size_t>(kPositions.at(static_cast<size_t>(id)))];
}

const std::array<const IndicatorInfo*, kIndicatorCount>& indicatorColumns() {
    static const std::array<const IndicatorInfo*, kIndicatorCount> columns = [] {
        std::array<const IndicatorInfo*, kIndicatorCount> order{};
        for (const IndicatorInfo& info : kRegistry) order[info.id] = &info;
        return order;
    }();
    return columns;
}

int32_t freezeRepeats(int32_t before, const FrameValues& values) {
    return freezeRepeats(before, values[kTemporalActivity], blackoutFlag(values));
}

const char* indicatorKey(IndicatorId id) {
    return indicatorInfo(id).key;
}

const char* indicatorName(IndicatorId id) {
    return indicatorInfo(id).name;
}

}  // namespace lumaqc
