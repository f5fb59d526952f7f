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

// The frame's shared block statistics, computed by the first indicator that
// reads them.
const BlockStats& blockStatsOf(const FrameContext& c) {
    if (!c.blockStats->ready) computeBlockStats(*c.current, *c.blockStats);
    return *c.blockStats;
}

// The frame's shared structure sums, computed by the first indicator that
// reads them; the walk also sums the blocks when no one has yet.
const StructureSums& structureOf(const FrameContext& c) {
    if (!c.structure->ready) {
        BlockStats* stats =
            c.blockStats != nullptr && !c.blockStats->ready ? c.blockStats : nullptr;
        computeStructureSums(*c.current, *c.structure, stats);
    }
    return *c.structure;
}

constexpr NoValueRule kNotFiniteOnly{};
constexpr NoValueRule kMinusOne{.minusOne = true};

// The usual text format of a real value.
constexpr const char* kReal5 = "%-5.5f";

constexpr std::array<IndicatorInfo, kIndicatorCount> kRegistry = {
    {
        {.id = kBlockiness,
         .key = "blockiness",
         .name = "Blockiness",
         .stage = Stage::Spatial,
         .kind = ValueKind::Real,
         .noValue = kNotFiniteOnly,
         .compute =
             [](const FrameContext& c) {
                 return c.structure != nullptr ? blockiness(structureOf(c))
                                               : blockiness(*c.current);
             },
         .text = {.consoleLabel = "Blockiness",
                  .logLabel = "Blockiness",
                  .consoleHeaderTabs = 1,
                  .consoleRowTabs = 1,
                  .consoleFormat = kReal5,
                  .logFormat = kReal5,
                  .timingSlot = 0,
                  .timingPrefix = "\tBlockiness: "},
         .worseWhen = "Worse when lower: blocking makes it fall",
         .eventType = "blocking"},
        {.id = kSpatialActivity,
         .key = "spatial_activity",
         .name = "Spatial activity",
         .stage = Stage::Spatial,
         .kind = ValueKind::Real,
         .noValue = kNotFiniteOnly,
         .compute =
             [](const FrameContext& c) {
                 // The block statistics, which later indicators read, give
                 // the Roberts energies' sum of squares.
                 if (c.roberts == nullptr) return spatialActivity(*c.current);
                 return spatialActivity(*c.current, *c.roberts,
                                        c.blockStats != nullptr ? &blockStatsOf(c) : nullptr);
             },
         .text = {.consoleLabel = "Spatial Activity",
                  .logLabel = "SA",
                  .consoleHeaderTabs = 1,
                  .consoleRowTabs = 1,
                  .consoleFormat = kReal5,
                  .logFormat = kReal5,
                  .timingSlot = 1,
                  .timingPrefix = " \tSpatialAct: "},
         .worseWhen = "Depends on the content: low for flat or blurred pictures",
         .eventType = "spatial_activity"},
        {.id = kLetterbox,
         .key = "letterbox",
         .name = "Letterbox",
         .stage = Stage::Spatial,
         .kind = ValueKind::Real,
         .noValue = kNotFiniteOnly,
         .compute = [](const FrameContext& c) { return letterbox(*c.current); },
         .text = {.consoleLabel = "Letterbox",
                  .logLabel = "Letterbox",
                  .consoleHeaderTabs = 1,
                  .consoleRowTabs = 2,
                  .consoleFormat = kReal5,
                  .logFormat = kReal5,
                  .timingSlot = 2,
                  .timingPrefix = " \tLetterbox: "},
         .worseWhen = "Worse when higher",
         .eventType = "letterbox"},
        {.id = kPillarbox,
         .key = "pillarbox",
         .name = "Pillarbox",
         .stage = Stage::Spatial,
         .kind = ValueKind::Real,
         .noValue = kNotFiniteOnly,
         .compute = [](const FrameContext& c) { return pillarbox(*c.current); },
         .text = {.consoleLabel = "Pillarbox",
                  .logLabel = "Pillarbox",
                  .consoleHeaderTabs = 1,
                  .consoleRowTabs = 1,
                  .consoleFormat = kReal5,
                  .logFormat = kReal5,
                  .timingSlot = 3,
                  .timingPrefix = " \n\tPillarbox: "},
         .worseWhen = "Worse when higher",
         .eventType = "pillarbox"},
        {.id = kBlockLoss,
         .key = "block_loss",
         .name = "Block loss",
         .stage = Stage::Spatial,
         .kind = ValueKind::Real,
         .noValue = kMinusOne,  // pictures under 256 x 256
         .compute =
             [](const FrameContext& c) {
                 return c.roberts != nullptr ? blockLoss(*c.current, *c.roberts)
                                             : blockLoss(*c.current);
             },
         .text = {.consoleLabel = "Blockloss",
                  .logLabel = "Blockloss",
                  .consoleHeaderTabs = 1,
                  .consoleRowTabs = 1,
                  .consoleFormat = kReal5,
                  .logFormat = kReal5,
                  .timingSlot = 4,
                  .timingPrefix = " \t\tBlockLoss: "},
         .worseWhen = "Worse when higher",
         .eventType = "block_loss"},
        {.id = kBlur,
         .key = "blur",
         .name = "Blur",
         .stage = Stage::Spatial,
         .kind = ValueKind::Real,
         .noValue = kNotFiniteOnly,
         .compute =
             [](const FrameContext& c) {
                 return c.blur != nullptr ? blur(*c.current, *c.blur) : blur(*c.current);
             },
         .text = {.consoleLabel = "Blur",
                  .logLabel = "Blur",
                  .consoleHeaderTabs = 1,
                  .consoleRowTabs = 1,
                  .consoleFormat = "%-7.3f",
                  .logFormat = "%-5.3f",
                  .timingSlot = 5,
                  .timingPrefix = " \t\tBlur: "},
         .worseWhen = "Worse when higher",
         .eventType = "blur"},
        {.id = kExposure,
         .key = "exposure",
         .name = "Exposure",
         .stage = Stage::Spatial,
         .kind = ValueKind::Truncated,
         .noValue = kNotFiniteOnly,
         .compute =
             [](const FrameContext& c) {
                 return c.blockStats != nullptr ? exposure(blockStatsOf(c)) : exposure(*c.current);
             },
         .text = {.consoleLabel = "Exposure(bri)",
                  .logLabel = "Exposure(bri)",
                  .consoleHeaderTabs = 1,
                  .consoleRowTabs = 2,
                  .consoleFormat = "%-6i",
                  .logFormat = "%-6i",
                  .timingSlot = 6,
                  .timingPrefix = " \n \tExposure: "},
         .worseWhen = "Worse far from the middle: too dark or too bright",
         .eventType = "exposure"},
        {.id = kInterlace,
         .key = "interlace",
         .name = "Interlace",
         .stage = Stage::Spatial,
         .kind = ValueKind::Real,
         .noValue = kNotFiniteOnly,
         .compute =
             [](const FrameContext& c) {
                 return c.structure != nullptr ? interlace(structureOf(c)) : interlace(*c.current);
             },
         .text = {.consoleLabel = "Interlace",
                  .logLabel = "Interlace",
                  .consoleHeaderTabs = 1,
                  .consoleRowTabs = 1,
                  .consoleFormat = kReal5,
                  .logFormat = kReal5,
                  .timingSlot = 7,
                  .timingPrefix = " \t\tInterlace: "},
         .worseWhen = "Worse when higher",
         .eventType = "combing"},
        {.id = kNoise,
         .key = "noise",
         .name = "Noise",
         .stage = Stage::Spatial,
         .kind = ValueKind::Real,
         .noValue = kNotFiniteOnly,
         .compute =
             [](const FrameContext& c) {
                 return c.blockStats != nullptr ? noise(*c.current, blockStatsOf(c))
                                                : noise(*c.current);
             },
         .text = {.consoleLabel = "Noise",
                  .logLabel = "Noise",
                  .consoleHeaderTabs = 1,
                  .consoleRowTabs = 1,
                  .consoleFormat = "%-8.4f",
                  .logFormat = "%-8.4f",
                  .timingSlot = 8,
                  .timingPrefix = " \t\tNoise: "},
         .worseWhen = "Worse when higher",
         .eventType = "noise"},
        {.id = kSlice,
         .key = "slice",
         .name = "Slice",
         .stage = Stage::Spatial,
         .kind = ValueKind::Real,
         .noValue = kMinusOne,  // pictures of 47 rows or fewer
         .compute =
             [](const FrameContext& c) {
                 return c.structure != nullptr ? slice(structureOf(c)) : slice(*c.current);
             },
         .text = {.consoleLabel = "Slice",
                  .logLabel = "Slice",
                  .consoleHeaderTabs = 2,
                  .consoleRowTabs = 1,
                  .consoleFormat = "%-7.3f",
                  .logFormat = "%-7.3f",
                  .timingSlot = 9,
                  .timingPrefix = " \n \tSlice: "},
         .worseWhen = "Worse when higher",
         .eventType = "slice_loss"},
        {.id = kBlackout,
         .key = "blackout",
         .name = "Blackout",
         .stage = Stage::Spatial,
         .kind = ValueKind::Flag,
         .noValue = kNotFiniteOnly,
         .compute =
             [](const FrameContext& c) {
                 return static_cast<double>(c.blockStats != nullptr ? blackout(blockStatsOf(c))
                                                                    : blackout(*c.current));
             },
         .text = {.consoleLabel = "Blackout",
                  .logLabel = "Blackout",
                  .consoleHeaderTabs = 1,
                  .consoleRowTabs = 1,
                  .consoleFormat = "%-d",
                  .logFormat = "%-d",
                  .timingSlot = 10,
                  .timingPrefix = "\t\tBlackout: "},
         .worseWhen = "Worse when higher",
         .eventType = "blackout"},
        {.id = kContrast,
         .key = "contrast",
         .name = "Contrast",
         .stage = Stage::Spatial,
         .kind = ValueKind::Real,
         .noValue = kNotFiniteOnly,
         .compute =
             [](const FrameContext& c) {
                 return c.blockStats != nullptr ? contrastRMS(blockStatsOf(c))
                                                : contrastRMS(*c.current);
             },
         .text = {.consoleLabel = "Contrast",
                  .logLabel = "Contrast",
                  .consoleHeaderTabs = 1,
                  .consoleRowTabs = 2,
                  .consoleFormat = kReal5,
                  .logFormat = kReal5,
                  .timingSlot = 14,
                  .timingPrefix = " \tContrast: "},
         .worseWhen = "Worse when lower: a flat picture",
         .eventType = "contrast"},
        {.id = kTemporalActivity,
         .key = "temporal_activity",
         .name = "Temporal activity",
         .stage = Stage::Pairwise,
         .kind = ValueKind::Real,
         .noValue = kNotFiniteOnly,
         .compute =
             [](const FrameContext& c) {
                 return c.flickerChanges != nullptr
                            ? temporalActivity(*c.current, *c.previous, c.flickerChanges)
                            : temporalActivity(*c.current, *c.previous);
             },
         .text = {.consoleLabel = "TemporalAct",
                  .logLabel = "TA",
                  .consoleHeaderTabs = 2,
                  .consoleRowTabs = 1,
                  .consoleFormat = kReal5,
                  .logFormat = kReal5,
                  .timingSlot = 11,
                  .timingPrefix = " \t\tTemporal: "},
         .worseWhen = "Worse when lower: near 0 the picture is held",
         .eventType = "temporal_activity"},
        {.id = kFreezing,
         .key = "freezing",
         .name = "Freezing",
         .stage = Stage::Sequential,
         .kind = ValueKind::Flag,
         .noValue = kNotFiniteOnly,
         .compute = computeFreezing,
         .text = {.consoleLabel = "Freezing",
                  .logLabel = "Freezing",
                  .consoleHeaderTabs = 1,
                  .consoleRowTabs = 2,
                  .consoleFormat = "%-d",
                  .logFormat = "%-d",
                  .timingSlot = 12,
                  .timingPrefix = " \n \tFreezing : "},
         .worseWhen = "Worse when higher",
         .eventType = "freezing"},
        {.id = kFlickering,
         .key = "flickering",
         .name = "Flickering",
         .stage = Stage::Sequential,
         .kind = ValueKind::Real,
         // -1.0 between ratings; the first frame's 0 is a start value.
         .noValue = {.minusOne = true, .firstFrame = true},
         .compute =
             [](const FrameContext& c) {
                 return c.flickerChanges != nullptr
                            ? flickeringUpdate(c.flickerChanges, *c.temporal)
                            : flickering(*c.current, *c.previous, *c.temporal);
             },
         .text = {.consoleLabel = "Flickering",
                  .logLabel = "Flickering",
                  .consoleHeaderTabs = 2,
                  .consoleRowTabs = 1,
                  .consoleFormat = kReal5,
                  .logFormat = kReal5,
                  .timingSlot = 13,
                  .timingPrefix = "\t\tFlickering: "},
         .worseWhen = "Worse when higher",
         .eventType = "flicker"},
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

// Every position of the timing summary has exactly one indicator.
constexpr bool fillsEveryTimingSlotOnce() {
    std::array<int, kIndicatorCount> seen{};
    for (const IndicatorInfo& info : kRegistry) {
        const int slot = info.text.timingSlot;
        if (slot < 0 || slot >= kIndicatorCount || seen[slot]++ != 0) return false;
    }
    return true;
}
static_assert(fillsEveryTimingSlotOnce(), "one indicator per timing slot");

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
