#include "qc/conditions.h"

#include <array>

namespace lumaqc::qc {

namespace {

constexpr unsigned kPerFrame = kMinDurationKey;

// In Watch order.
constexpr std::array<Condition, 9> kConditions = {{
    {.watch = Watch::Indicator,
     .name = "indicator",
     .byEvent = false,
     .keys = kThresholdKey | kDirectionKey | kPerFrame | kStatisticKey,
     .onIndicator = true},
    {.watch = Watch::Black,
     .name = "black",
     .byEvent = true,
     .keys = kPerFrame | kBlackLevelKeys,
     .worstValue = false},
    {.watch = Watch::Freeze,
     .name = "freeze",
     .byEvent = true,
     .keys = kThresholdKey | kDirectionKey | kPerFrame,
     .defaultThreshold = kDefaultFreezeTolerance,
     .direction = Direction::Below,
     .directionRefusal = "a freeze rule's threshold is a lower limit",
     .indicator = kTemporalActivity},
    {.watch = Watch::DecodeError,
     .name = "decode_error",
     .byEvent = true,
     .keys = kPerFrame,
     .worstValue = false,
     .decodeErrors = true},
    {.watch = Watch::SignalLoss,
     .name = "signal_loss",
     .byEvent = true,
     .keys = 0,
     .minDurationNote = "the stall timeout, --stall-timeout, decides"},
    {.watch = Watch::FramesLost, .name = "frames_lost", .byEvent = true, .keys = 0},
    {.watch = Watch::Truncated, .name = "truncated", .byEvent = true, .keys = 0},
    {.watch = Watch::Bars, .name = "bars", .byEvent = true, .keys = kPerFrame, .worstValue = false},
    {.watch = Watch::LumaLevels,
     .name = "luma_levels",
     .byEvent = true,
     .keys = kThresholdKey | kDirectionKey | kPerFrame | kLumaRangeKeys,
     .defaultThreshold = 1.0,
     .direction = Direction::Above,
     .directionRefusal = "a luma_levels threshold is an upper limit",
     .percentRefusal = "a luma_levels threshold is a percent of the picture (0 to 100)"},
}};

constexpr bool inWatchOrder() {
    for (size_t i = 0; i < kConditions.size(); ++i) {
        if (static_cast<size_t>(kConditions[i].watch) != i) return false;
    }
    return true;
}
static_assert(inWatchOrder(), "one condition per Watch, in its order");

}  // namespace

std::span<const Condition> conditions() {
    return kConditions;
}

const Condition& conditionOf(Watch watch) {
    return kConditions.at(static_cast<size_t>(watch));
}

const Condition* conditionNamed(std::string_view event) {
    for (const Condition& c : kConditions) {
        if (c.byEvent && event == c.name) return &c;
    }
    return nullptr;
}

const std::string& conditionNames() {
    static const std::string names = [] {
        std::string text;
        for (const Condition& c : kConditions) {
            if (c.byEvent) text += (text.empty() ? "" : ", ") + std::string(c.name);
        }
        return text;
    }();
    return names;
}

std::optional<IndicatorId> watchedIndicator(const Rule& rule) {
    const Condition& c = conditionOf(rule.watch);
    return c.onIndicator ? std::optional<IndicatorId>(rule.indicator) : c.indicator;
}

const char* watchName(Watch watch) {
    return conditionOf(watch).name;
}

}  // namespace lumaqc::qc
