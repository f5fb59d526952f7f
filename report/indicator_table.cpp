#include "report/indicator_table.h"

#include <cmath>
#include <limits>

namespace {

double callBlockiness(FrameContext& c) {
    return blockiness(*c.current);
}
double callSpatialActivity(FrameContext& c) {
    return spatialActivity(*c.current);
}
double callLetterbox(FrameContext& c) {
    return letterbox(*c.current);
}
double callPillarbox(FrameContext& c) {
    return pillarbox(*c.current);
}
double callBlockLoss(FrameContext& c) {
    return blockLoss(*c.current);
}
double callBlur(FrameContext& c) {
    return blur(*c.current);
}
double callExposure(FrameContext& c) {
    return exposure(*c.current);
}
double callInterlace(FrameContext& c) {
    return interlace(*c.current);
}
double callNoise(FrameContext& c) {
    return noise(*c.current);
}
double callSlice(FrameContext& c) {
    return slice(*c.current);
}
double callBlackout(FrameContext& c) {
    return blackout(*c.current);
}
double callContrast(FrameContext& c) {
    return contrastRMS(*c.current);
}
double callTemporalActivity(FrameContext& c) {
    return temporalActivity(*c.current, *c.previous);
}
double callFreezing(FrameContext& c) {
    // The blackout flag of this frame, widened without sign.
    const auto flag = static_cast<int32_t>(static_cast<uint8_t>(c.values[kBlackout]));
    return freezing(c.values[kTemporalActivity], flag, c.fps, *c.state);
}
double callFlickering(FrameContext& c) {
    return flickering(*c.current, *c.previous, *c.state);
}

constexpr const char* kReal5 = "%-5.5f";

const std::array<IndicatorInfo, kIndicatorCount> kTable = {{
    // id, function, key, name, console label, log label, column, console header tabs, console row
    // tabs,
    // console format, log format, kind, temporal, sequential, timing slot, timing prefix, call
    {kBlockiness, "blockiness", "blockiness", "Blockiness", "Blockiness", "Blockiness", 0, 1, 1,
     kReal5, kReal5, ValueKind::Real, false, false, 0, "\tBlockiness: ", callBlockiness},
    {kSpatialActivity, "spatialActivity", "spatial_activity", "Spatial activity",
     "Spatial Activity", "SA", 1, 1, 1, kReal5, kReal5, ValueKind::Real, false, false, 1,
     " \tSpatialAct: ", callSpatialActivity},
    {kLetterbox, "letterbox", "letterbox", "Letterbox", "Letterbox", "Letterbox", 2, 1, 2, kReal5,
     kReal5, ValueKind::Real, false, false, 2, " \tLetterbox: ", callLetterbox},
    {kPillarbox, "pillarbox", "pillarbox", "Pillarbox", "Pillarbox", "Pillarbox", 3, 1, 1, kReal5,
     kReal5, ValueKind::Real, false, false, 3, " \n\tPillarbox: ", callPillarbox},
    {kBlockLoss, "blockLoss", "block_loss", "Block loss", "Blockloss", "Blockloss", 4, 1, 1, kReal5,
     kReal5, ValueKind::Real, false, false, 4, " \t\tBlockLoss: ", callBlockLoss},
    {kBlur, "blur", "blur", "Blur", "Blur", "Blur", 5, 1, 1, "%-7.3f", "%-5.3f", ValueKind::Real,
     false, false, 5, " \t\tBlur: ", callBlur},
    {kExposure, "exposure", "exposure", "Exposure", "Exposure(bri)", "Exposure(bri)", 9, 1, 2,
     "%-6i", "%-6i", ValueKind::Truncated, false, false, 6, " \n \tExposure: ", callExposure},
    {kInterlace, "interlace", "interlace", "Interlace", "Interlace", "Interlace", 11, 1, 1, kReal5,
     kReal5, ValueKind::Real, false, false, 7, " \t\tInterlace: ", callInterlace},
    {kNoise, "noise", "noise", "Noise", "Noise", "Noise", 12, 1, 1, "%-8.4f", "%-8.4f",
     ValueKind::Real, false, false, 8, " \t\tNoise: ", callNoise},
    {kSlice, "slice", "slice", "Slice", "Slice", "Slice", 13, 2, 1, "%-7.3f", "%-7.3f",
     ValueKind::Real, false, false, 9, " \n \tSlice: ", callSlice},
    {kBlackout, "blackout", "blackout", "Blackout", "Blackout", "Blackout", 7, 1, 1, "%-d", "%-d",
     ValueKind::Flag, false, false, 10, "\t\tBlackout: ", callBlackout},
    {kContrast, "contrastRMS", "contrast", "Contrast", "Contrast", "Contrast", 10, 1, 2, kReal5,
     kReal5, ValueKind::Real, false, false, 14, " \tContrast: ", callContrast},
    {kTemporalActivity, "temporalActivity", "temporal_activity", "Temporal activity", "TemporalAct",
     "TA", 6, 2, 1, kReal5, kReal5, ValueKind::Real, true, false, 11,
     " \t\tTemporal: ", callTemporalActivity},
    {kFreezing, "freezing", "freezing", "Freezing", "Freezing", "Freezing", 8, 1, 2, "%-d", "%-d",
     ValueKind::Flag, true, true, 12, " \n \tFreezing : ", callFreezing},
    {kFlickering, "flickering", "flickering", "Flickering", "Flickering", "Flickering", 14, 2, 1,
     kReal5, kReal5, ValueKind::Real, true, true, 13, "\t\tFlickering: ", callFlickering},
}};

template <typename Key>
std::array<const IndicatorInfo*, kIndicatorCount> orderBy(Key key) {
    std::array<const IndicatorInfo*, kIndicatorCount> order{};
    for (const IndicatorInfo& info : kTable) order[key(info)] = &info;
    return order;
}

}  // namespace

const std::array<IndicatorInfo, kIndicatorCount>& indicatorTable() {
    return kTable;
}

const std::array<const IndicatorInfo*, kIndicatorCount>& indicatorsByColumn() {
    static const auto order = orderBy([](const IndicatorInfo& i) { return i.column; });
    return order;
}

const std::array<const IndicatorInfo*, kIndicatorCount>& indicatorsByTimingSlot() {
    static const auto order = orderBy([](const IndicatorInfo& i) { return i.timingSlot; });
    return order;
}

namespace lumaqc {

const char* indicatorKey(IndicatorId id) {
    return kTable.at(static_cast<size_t>(id)).key;
}
const char* indicatorName(IndicatorId id) {
    return kTable.at(static_cast<size_t>(id)).name;
}

}  // namespace lumaqc

int32_t truncateToInt32(double v) {
    constexpr double kLow = -2147483649.0;  // first value whose integer part is below INT32_MIN
    constexpr double kHigh = 2147483648.0;  // first value whose integer part is above INT32_MAX
    if (!(v > kLow && v < kHigh)) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}
