#include "qc/conditions.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include "indicators/registry.h"
#include "qc/detector.h"

namespace lumaqc::qc {

namespace {

// The interlace indicator above which a picture of an interlaced stream
// shows its fields woven (clean progressive clips read 0 to 0.045).
constexpr double kWovenFields = 0.03;

// Lost blocks' sides read on the grid 12 to 45 and half a block off it 0
// to 3 (black and grey blocks on testsrc2, vtest.avi, fruits.jpg,
// baboon.jpg, mandelbrot and Megamind.avi); a chessboard photographed and
// moved reads as much off the grid as on it, Megamind.avi scaled to 1080p
// three quarters, and edges of the content that cross the grid (messi5.jpg
// panned at 1280x720) lie on it for a few frames, half a block off it a few
// frames before: on 23 to 36 against off 7 to 10 at once, but up to 23 off
// it in the half second before (docs/qc.md). Block loss holds only where
// the count on the grid is more than this factor over the count off it, on
// the picture and on those of the half second before.
constexpr double kOffGridFactor = 2.0;

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", v);
    return text;
}

std::string lasting(const Event& e) {
    return " for " + secondsText(e.durationSeconds());
}

std::string worst(const Event& e, const char* unit) {
    if (!e.worstValue) return "";
    return " (worst " + number(*e.worstValue) + unit + " at frame " + std::to_string(e.worstFrame) +
           ")";
}

// The conditions' detection and description, in table order.

Holds detectIndicator(const Rule& rule, const FrameView& view, double& value) {
    if (silenced(rule.indicator, view.frame, view.black)) return Holds::No;
    // A strip of flat colour above a horizontal edge reads as a lost slice
    // (clean testsrc: slice 46 to 7400 on every frame); a lost band stands
    // apart from the strip above as well.
    const PictureMeasures* measures = view.frame.measures;
    if (rule.indicator == kSlice && rule.direction == Direction::Above && measures != nullptr &&
        measures->bandApart >= 0.0 && !(measures->bandApart > rule.threshold)) {
        return Holds::No;
    }
    // Flat shapes drawn on the 16-pixel grid read as lost blocks (clean
    // testsrc at 1280x720: its counter's segments, block loss 14 to 17); the
    // sides of a lost area are one or two blocks tall, and steps of 8 levels
    // at least (an encoder's steps in a smooth gradient read up to 3000).
    // A lost area's sides lie on the grid, while edges of the content (a
    // chessboard photographed, blocks scaled from another size, a picture
    // moving across the grid) fall as much half a block off it, at once or
    // in the half second before.
    if (rule.indicator == kBlockLoss && rule.direction == Direction::Above && measures != nullptr &&
        measures->blockEdges >= 0.0 &&
        (!(measures->blockEdges > rule.threshold) ||
         !(measures->blockEdges >
           kOffGridFactor * std::max(measures->blockEdgesOff, view.offGridBefore)))) {
        return Holds::No;
    }
    const std::optional<double> v = indicatorValue(view.frame, rule.indicator);
    if (!v) return Holds::NoValue;
    value = *v;
    return beyond(*v, rule.threshold, rule.direction) ? Holds::Yes : Holds::No;
}

std::string describeIndicator(const Event& e) {
    if (e.relative) {
        return e.indicator + " above " + number(e.threshold) + " times the file's own level" +
               lasting(e) + worst(e, "");
    }
    if (e.statistic != Statistic::None) {
        return e.indicator + " " + statisticName(e.statistic) + " " + number(e.statisticValue) +
               " " + directionName(e.direction) + " " + number(e.threshold) + worst(e, "");
    }
    return e.indicator + " " + directionName(e.direction) + " " + number(e.threshold) + lasting(e) +
           worst(e, "");
}

// A level of the video range (16 to 235) where a full-range stream (0 to
// 255) writes it.
double fullRangeLevel(int level) {
    return (level - 16) * 255.0 / 219.0;
}

// The level a black rule reads the share at or below of.
int blackLevel(const Rule& rule, bool fullRange) {
    return fullRange ? static_cast<int>(std::floor(fullRangeLevel(rule.maxLevel))) : rule.maxLevel;
}

// Black: the blackout flag, or with max_level, min_share percent of the
// picture at or below that level. End credits rolled over black leave that
// much of it dark (a roll of white names on black: 97 % to 100 % at or
// below 32 for seconds), as a logo or a burnt-in timecode over black does,
// but their text moves up as a whole from one picture to the next
// (rolling): programme, not a black picture.
Holds detectBlack(const Rule& rule, const FrameView& view, double& value) {
    const PictureMeasures* measures = view.frame.measures;
    if (rule.maxLevel >= 0 && measures != nullptr) {
        value = measures->percentAtOrBelow(blackLevel(rule, view.frame.fullRange));
        if (!(value >= rule.minShare)) return Holds::No;
        return !view.blackForOthers && rolling(*measures) ? Holds::No : Holds::Yes;
    }
    return blackoutFlag(view.frame) ? Holds::Yes : Holds::No;
}

void blackLevels(const Rule& rule, LumaLevels& levels) {
    if (rule.maxLevel < 0) return;
    for (const bool fullRange : {false, true}) levels.add(blackLevel(rule, fullRange));
}

std::string describeBlack(const Event& e) {
    return "black picture" + lasting(e);
}

Holds detectFreeze(const Rule& rule, const FrameView& view, double& value) {
    const FrameInput& frame = view.frame;
    if (frame.first || view.black) return Holds::No;
    // Under a crawl that keeps moving, the picture between it is what is
    // held (measureCrawl).
    const double whole = (*frame.values)[kTemporalActivity];
    const double activity = frame.measures != nullptr && frame.measures->crawlRest >= 0.0
                                ? std::min(whole, frame.measures->crawlRest)
                                : whole;
    value = activity;
    if ((*frame.values)[kFreezing] == 1.0 || activity <= rule.threshold) return Holds::Yes;
    return activity <= kSpikeFactor * rule.threshold ? Holds::Spike : Holds::No;
}

std::string describeFreeze(const Event& e) {
    return "picture held" + lasting(e);
}

Holds detectDecodeError(const Rule&, const FrameView& view, double& value) {
    value = view.frame.decodeErrors;
    return view.frame.decodeErrors > 0 ? Holds::Yes : Holds::No;
}

std::string describeDecodeError(const Event& e) {
    return std::to_string(e.decodeErrors) +
           (e.decodeErrors == 1 ? " decoding error" : " decoding errors");
}

Holds detectBars(const Rule&, const FrameView& view, double&) {
    return view.bars ? Holds::Yes : Holds::No;
}

std::string describeBars(const Event& e) {
    return "colour bars" + lasting(e);
}

// The legal range of a luma_levels rule: a full-range stream's black at 0
// is the video range's 16, not below it.
std::pair<int, int> legalRange(const Rule& rule, bool fullRange) {
    if (!fullRange) return {rule.low, rule.high};
    return {static_cast<int>(std::ceil(fullRangeLevel(rule.low))),
            static_cast<int>(std::floor(fullRangeLevel(rule.high)))};
}

Holds detectLumaLevels(const Rule& rule, const FrameView& view, double& value) {
    const PictureMeasures* measures = view.frame.measures;
    if (measures == nullptr || view.black || view.bars) return Holds::No;
    const auto [low, high] = legalRange(rule, view.frame.fullRange);
    value = measures->percentOutside(low, high);
    return value > rule.threshold ? Holds::Yes : Holds::No;
}

// Below `low` is at or below `low` - 1.
void lumaRangeLevels(const Rule& rule, LumaLevels& levels) {
    for (const bool fullRange : {false, true}) {
        const auto [low, high] = legalRange(rule, fullRange);
        levels.add(low - 1);
        levels.add(high);
    }
}

std::string describeLumaLevels(const Event& e) {
    return "luma outside " + std::to_string(e.low) + "-" + std::to_string(e.high) +
           " on more than " + number(e.threshold) + " % of the picture" + lasting(e) +
           worst(e, " %");
}

// Blocking told by the stream: the picture's mean quantiser (H.264's scale)
// above the threshold. Black pictures and bars cost few bits whatever the
// quantiser: they say nothing.
Holds detectQuantiser(const Rule& rule, const FrameView& view, double& value) {
    if (view.black || view.bars) return Holds::No;
    if (!std::isfinite(view.frame.quantiser)) return Holds::NoValue;
    value = view.frame.quantiser;
    return value > rule.threshold ? Holds::Yes : Holds::No;
}

std::string describeQuantiser(const Event& e) {
    return "quantiser above " + number(e.threshold) + lasting(e) + worst(e, "");
}

// Scan type: whether the picture's fields show two instants, in a stream
// that does not declare them (one declared interlaced is never judged).
// Yes: woven; No: one instant; NoValue: too still or too small to tell.
// Under kMinScanRows rows a moving object spans few rows, and one row more
// in one field than in the other tips the field ratio past its threshold:
// clean progressive clips read 11 % to 29 % of their moving pictures as
// woven at 96x72 to 176x144, 0 to 1 % from 320x180 up (docs/qc.md).
constexpr int kMinScanRows = 180;
Holds detectScanType(const Rule&, const FrameView& view, double& value) {
    const PictureMeasures* measures = view.frame.measures;
    if (view.frame.interlaced || measures == nullptr || measures->height < kMinScanRows) {
        return Holds::NoValue;
    }
    const Weave weave = weaveOf(*measures);
    value = measures->combed;
    if (weave == Weave::Unknown) return Holds::NoValue;
    return weave == Weave::Progressive ? Holds::No : Holds::Yes;
}

constexpr unsigned kPerFrame = kMinDurationKey;

// In Watch order.
constexpr std::array<Condition, 11> kConditions = {{
    {.watch = Watch::Indicator,
     .name = "indicator",
     .byEvent = false,
     .keys = kThresholdKey | kDirectionKey | kPerFrame | kStatisticKey,
     .onIndicator = true,
     .detect = detectIndicator,
     .describe = describeIndicator},
    {.watch = Watch::Black,
     .name = "black",
     .byEvent = true,
     .keys = kPerFrame | kBlackLevelKeys,
     .worstValue = false,
     .blackens = true,
     .detect = detectBlack,
     .levels = blackLevels,
     .describe = describeBlack},
    {.watch = Watch::Freeze,
     .name = "freeze",
     .byEvent = true,
     .keys = kThresholdKey | kDirectionKey | kPerFrame,
     .defaultThreshold = kDefaultFreezeTolerance,
     .direction = Direction::Below,
     .directionRefusal = "a freeze rule's threshold is a lower limit",
     .thresholdFrom = 0.0,
     .rangeRefusal = "a freeze threshold is a temporal activity, 0 or more (0 keeps exact repeats "
                     "only)",
     .indicator = kTemporalActivity,
     .fromPrevious = true,
     .detect = detectFreeze,
     .describe = describeFreeze},
    {.watch = Watch::DecodeError,
     .name = "decode_error",
     .byEvent = true,
     .keys = kPerFrame,
     .worstValue = false,
     .decodeErrors = true,
     .detect = detectDecodeError,
     .describe = describeDecodeError},
    {.watch = Watch::SignalLoss,
     .name = "signal_loss",
     .byEvent = true,
     .keys = 0,
     .minDurationNote = "the stall timeout, --stall-timeout, decides"},
    {.watch = Watch::FramesLost, .name = "frames_lost", .byEvent = true, .keys = 0},
    {.watch = Watch::Truncated, .name = "truncated", .byEvent = true, .keys = 0},
    {.watch = Watch::Bars,
     .name = "bars",
     .byEvent = true,
     .keys = kPerFrame,
     .worstValue = false,
     .detect = detectBars,
     .describe = describeBars},
    {.watch = Watch::LumaLevels,
     .name = "luma_levels",
     .byEvent = true,
     .keys = kThresholdKey | kDirectionKey | kPerFrame | kLumaRangeKeys,
     .defaultThreshold = 1.0,
     .direction = Direction::Above,
     .directionRefusal = "a luma_levels threshold is an upper limit",
     .percentRefusal = "a luma_levels threshold is a percent of the picture (0 to 100)",
     .thresholdUnder = 100.0,
     .rangeRefusal = "a luma_levels threshold of 100 % is never passed (more than that share of "
                     "the picture)",
     .measure = "percent_outside_levels",
     .detect = detectLumaLevels,
     .levels = lumaRangeLevels,
     .describe = describeLumaLevels},
    {.watch = Watch::Quantiser,
     .name = "blocking",
     .byEvent = true,
     .keys = kThresholdKey | kDirectionKey | kPerFrame,
     .defaultThreshold = 38.0,
     .direction = Direction::Above,
     .directionRefusal = "a blocking rule's quantiser threshold is an upper limit",
     .thresholdUnder = 51.0,
     .rangeRefusal = "a blocking threshold of 51 or more is never passed (H.264's largest "
                     "quantiser)",
     .measure = "quantiser",
     .sharedType = true,
     .detect = detectQuantiser,
     .describe = describeQuantiser},
    {.watch = Watch::ScanType,
     .name = "scan_type",
     .byEvent = true,
     .keys = kThresholdKey | kDirectionKey,
     .defaultThreshold = 10.0,
     .direction = Direction::Above,
     .directionRefusal = "a scan_type threshold is an upper limit",
     .percentRefusal = "a scan_type threshold is a percent of the moving frames (0 to 100)",
     .thresholdUnder = 100.0,
     .rangeRefusal = "a scan_type threshold of 100 % is never passed (more than that share of "
                     "the moving frames)",
     .minDurationNote = "it rates the share of woven frames over the run",
     .measure = "percent_woven_frames",
     .worstValue = false,
     .detect = detectScanType},
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

LumaLevels lumaLevelsOf(const Profile& profile) {
    LumaLevels levels;
    for (const Rule& rule : profile.rules) {
        const Condition& c = conditionOf(rule.watch);
        if (c.levels != nullptr) c.levels(rule, levels);
    }
    return levels;
}

std::optional<IndicatorId> watchedIndicator(const Rule& rule) {
    const Condition& c = conditionOf(rule.watch);
    return c.onIndicator ? std::optional<IndicatorId>(rule.indicator) : c.indicator;
}

std::string thresholdMeasure(const Rule& rule) {
    if (const std::optional<IndicatorId> id = watchedIndicator(rule)) return indicatorKey(*id);
    const char* measure = conditionOf(rule.watch).measure;
    return measure != nullptr ? measure : "";
}

const char* watchName(Watch watch) {
    return conditionOf(watch).name;
}

std::optional<double> indicatorValue(const FrameInput& frame, IndicatorId id) {
    const double v = (*frame.values)[id];
    const NoValueRule rule = indicatorInfo(id).noValue;
    if (!std::isfinite(v) || (rule.minusOne && v == -1.0) || (rule.firstFrame && frame.first)) {
        return std::nullopt;
    }
    return v;
}

// Letterbox bars read as lost slices (flat bars look like filled-in slices).
// Fields woven into one picture read as lost blocks too, whatever the stream
// declares (see wovenMeasured), and combing is what an interlaced stream
// shows: the interlace indicator says nothing of a stream declared so.
// In a stream declared interlaced, two fields woven into one picture read as
// lost blocks where the picture moves (clean x264 1080i: block loss 11 to 33,
// the interlace indicator 0.065 to 0.083, under the combing rule's 0.1):
// block loss says nothing on such pictures.
bool silenced(IndicatorId id, const FrameInput& frame, bool black) {
    return black || (id == kSlice && (*frame.values)[kLetterbox] > 0.0) ||
           (id == kBlockLoss && frame.interlaced && (*frame.values)[kInterlace] > kWovenFields) ||
           (id == kBlockLoss && wovenMeasured(frame)) || (id == kInterlace && frame.interlaced);
}

bool wovenMeasured(const FrameInput& frame) {
    return frame.measures != nullptr && weaveOf(*frame.measures) > Weave::Progressive;
}

bool beyond(double value, double threshold, Direction direction) {
    return direction == Direction::Above ? value > threshold : value < threshold;
}

bool shareOfPicture(IndicatorId id) {
    return id == kLetterbox || id == kPillarbox;
}

ValueBounds valueBounds(IndicatorId id) {
    if (shareOfPicture(id) || id == kFlickering || indicatorInfo(id).kind == ValueKind::Flag) {
        return {0.0, 1.0};
    }
    if (id == kExposure) return {0.0, 255.0};
    return {0.0, std::numeric_limits<double>::infinity()};
}

// Fine texture reads as noise, on every frame, beyond what noise over a
// picture reads: clean cellauto 125 to 128, zone plates 62 to 69, against
// 11 to 53 for noise=alls=20 to 100 over testsrc2 and Megamind.avi; noise
// laid over a picture reads 1.7 to 11 times the level before it on the
// sweeps.
std::optional<OwnLevelGate> ownLevelGate(IndicatorId id) {
    if (id == kNoise) return OwnLevelGate{.contentAbove = 55.0, .factor = 1.5};
    return std::nullopt;
}

// Noise laid over MPEG-2 with B pictures reads on the I and P pictures
// only (7 to 12.4 under noise=alls=25 at 5 Mbit/s) and 0 to 4 on the two B
// pictures between them, whose blocks at the picture's commonest deviation
// are flat (a P picture starved of bits reads 6.5 among them): no run of
// frames above the threshold lasted a second. A noise run bridges as many
// frames as a group of pictures holds B pictures between its I and P
// pictures.
int bridgedFrames(IndicatorId id) {
    return id == kNoise ? 2 : 0;
}

bool darkEnough(const Rule& rule, const PictureMeasures& m) {
    if (rule.watch != Watch::Black || rule.maxLevel < 0) return false;
    for (const bool fullRange : {false, true}) {
        if (m.percentAtOrBelow(blackLevel(rule, fullRange)) >= rule.minShare) return true;
    }
    return false;
}

bool blackoutFlag(const FrameInput& frame) {
    return (*frame.values)[kBlackout] == 1.0;
}

std::string secondsText(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", v);
    return text;
}

}  // namespace lumaqc::qc
