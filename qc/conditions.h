// The conditions a QC rule can watch, one entry each in conditions.cpp: its
// name (the event type of its rules, the "watch" of the documents), the keys
// of a [[rule]] that apply to it and their checks, how it is detected on a
// frame and how its events are described, and what the documents show of its
// rules and events. Profiles are read and printed from it, the detector
// calls its functions, and the console, JSON and report outputs describe
// rules and events by it. The detector (detector.h) turns the frames on
// which a condition holds into runs and events.
#pragma once

#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "indicators/indicator_id.h"
#include "qc/profile.h"

namespace lumaqc::qc {

struct FrameInput;
struct PictureMeasures;
struct Event;
class LumaLevels;

// Whether a condition holds on a frame: NoValue neither extends nor ends a
// run; Spike (a refreshed key frame inside a held picture) bridges one
// frame of a run, or two after a steady stretch (see the detector).
enum class Holds { Yes, No, NoValue, Spike };
// How far a refreshed key frame inside a held picture may move (x threshold);
// two spikes running may not move more together.
inline constexpr double kSpikeFactor = 4.0;
// What a condition sees of a frame: the frame, and whether its picture is
// black (by the blackout flag or a black rule of the profile) or shows bars;
// the most block loss counted half a block off the grid (blockEdgesOff) on
// the pictures of the half second before that measured it.
struct FrameView {
    const FrameInput& frame;
    bool black;
    bool bars;
    double offGridBefore = 0.0;
    // The detector asks only whether the picture is black for the other
    // rules: credits rolling over black are (their pictures say nothing of
    // blur, noise or blocking), though no black event holds on them.
    bool blackForOthers = false;
};

// The keys of a [[rule]] that depend on its condition (id, event, severity,
// not_during, ebu_item, in_leader, from and to apply to every rule).
enum RuleKey : unsigned {
    kThresholdKey = 1u << 0,
    kDirectionKey = 1u << 1,
    kMinDurationKey = 1u << 2,  // min_duration (longer_than is printed for it, never refused)
    kStatisticKey = 1u << 3,
    kBlackLevelKeys = 1u << 4,  // max_level and min_share
    kLumaRangeKeys = 1u << 5,   // low and high
};

struct Condition {
    Watch watch;
    const char* name;
    // Named by a rule's `event`; false for the indicator rules, named by
    // their `indicator`.
    bool byEvent;
    unsigned keys;  // RuleKey bits
    // A condition with a threshold of its own (not an indicator's): its
    // default, its direction (a rule may only repeat it) and the refusal of
    // the other, and the refusal of a threshold outside 0-100 when it is a
    // percent of the picture (null when it is not).
    double defaultThreshold = 0.0;
    std::optional<Direction> direction{};
    const char* directionRefusal = nullptr;
    const char* percentRefusal = nullptr;
    // Thresholds its measure never passes (below `thresholdFrom`, or
    // `thresholdUnder` and over), refused with `rangeRefusal`.
    double thresholdFrom = -std::numeric_limits<double>::infinity();
    double thresholdUnder = std::numeric_limits<double>::infinity();
    const char* rangeRefusal = nullptr;
    // Why min_duration does not apply, when it does not and there is more to
    // say than that (null: nothing more).
    const char* minDurationNote = nullptr;
    // The indicator whose values the condition's threshold is drawn on in the
    // documents: the rule's own (`onIndicator`) or a fixed one; none else.
    bool onIndicator = false;
    std::optional<IndicatorId> indicator{};
    // What the threshold is compared with when it is not an indicator's
    // value (the documents' "measure"); null without a threshold.
    const char* measure = nullptr;
    bool worstValue = true;     // its events tell the value furthest beyond
    bool decodeErrors = false;  // its events count decoding errors
    // A frame on which it holds (whatever the rule's window) is black for
    // every other rule.
    bool blackens = false;
    // A run starts on the frame before the first on which it holds (the
    // picture that is repeated).
    bool fromPrevious = false;
    // Indicator rules may give their events this condition's name too (the
    // same fault seen by an indicator and by the stream).
    bool sharedType = false;
    // Whether it holds on a frame (`value`: the value it rates there); null
    // for the conditions that are not of frames (the detector notices them).
    Holds (*detect)(const Rule& rule, const FrameView& view, double& value) = nullptr;
    // Adds the luma levels whose shares of the picture `detect` reads, in
    // either range (null: it reads none).
    void (*levels)(const Rule& rule, LumaLevels& levels) = nullptr;
    // The message of an event; null for those whose noticer describes them.
    std::string (*describe)(const Event& event) = nullptr;
};

// Every condition, the indicator rules first, then in the order of the
// names the profile messages list.
std::span<const Condition> conditions();

// The entry of a condition.
const Condition& conditionOf(Watch watch);
// The condition a rule's `event` names; null when none does.
const Condition* conditionNamed(std::string_view event);
// "black, freeze, ..., luma_levels": the conditions named by an event.
const std::string& conditionNames();

// The luma levels the profile's rules read the shares of (what the picture
// measures count of the luma).
LumaLevels lumaLevelsOf(const Profile& profile);

// The indicator a rule's (or an event's) threshold is drawn on; none for
// black, decode errors, ...
std::optional<IndicatorId> watchedIndicator(const Rule& rule);
// What a rule's threshold is compared with: the key of the indicator it is
// drawn on, else the condition's own measure ("quantiser",
// "percent_outside_levels", "percent_woven_frames"); empty for conditions
// without a threshold (black, bars, decode errors, ...).
std::string thresholdMeasure(const Rule& rule);

// What the indicator rules read, for the detector's statistic rules too:
// an indicator's value on a frame, none where the frame has none (see the
// registry's no-value rules); whether the frame says nothing of what the
// indicator watches (black pictures; letterbox bars for slice); whether a
// value lies beyond a threshold (strictly).
std::optional<double> indicatorValue(const FrameInput& frame, IndicatorId id);
bool silenced(IndicatorId id, const FrameInput& frame, bool black);
bool beyond(double value, double threshold, Direction direction);
// Whether an indicator's values are a share of the picture (0 to 1), so
// that its thresholds may be written as a percent.
bool shareOfPicture(IndicatorId id);
// The values an indicator reads where it has one: every indicator reads 0
// or more; flags, shares of the picture and flickering at most 1, exposure
// (a mean luma) at most 255. A threshold at or beyond a bound is never
// passed on the bad side.
struct ValueBounds {
    double low;
    double high;  // infinity: no upper bound
};
ValueBounds valueBounds(IndicatorId id);
// Where a fixed threshold above cannot tell an indicator's fault from the
// file's own content: a file whose level of the indicator (every value from
// the first frame on) is above `contentAbove` reads that high by its content,
// and a frame counts only where its value is also `factor` times the level.
// Rules that watch such an indicator above a fixed threshold keep the level.
struct OwnLevelGate {
    double contentAbove;
    double factor;
};
std::optional<OwnLevelGate> ownLevelGate(IndicatorId id);
// The frames running under a fixed threshold above that a run of the
// indicator bridges (0: none): frames of a group of pictures that read
// apart from the others (see conditions.cpp).
int bridgedFrames(IndicatorId id);
// Whether the frame's fields were measured as woven (two instants).
bool wovenMeasured(const FrameInput& frame);
// Whether a black rule reading shares of the picture (max_level) finds
// enough of it dark, in either range, before the test of rolling text.
bool darkEnough(const Rule& rule, const PictureMeasures& m);
// Whether the frame's blackout flag is set.
bool blackoutFlag(const FrameInput& frame);
// "2.40 s": a duration in event messages.
std::string secondsText(double v);

}  // namespace lumaqc::qc
