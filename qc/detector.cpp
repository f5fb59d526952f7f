#include "qc/detector.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <utility>

#include "indicators/registry.h"
#include "qc/conditions.h"
#include "qc/timecode.h"

namespace lumaqc::qc {

namespace {

// Times come from rational timestamps and sums of frame durations: a run of
// exactly the minimum duration must reach it.
constexpr double kTimeSlack = 1e-6;
// The most pictures a decoder shows before one coded ahead of them (H.264's
// and HEVC's largest reorder depth): an input cut short loses those coded
// after the cut, shown among its last frames.
constexpr int64_t kReorderFrames = 16;
// A held picture moves at most this share of the freeze tolerance on
// average over its frames: a slow camera moves steadily near the tolerance.
constexpr double kHeldMeanFactor = 0.3;
// And at least half of its frames move at most this share of it: held
// pictures move near nothing on most frames (x264, x265, VP9 and MPEG-2
// holds: a median of 0 to 0.11), a slow steady motion moves on every frame
// (clean gradients at 640x360 to 1920x1080: a median of 0.25 to 0.45, a
// still turning at 0.004 rad/s 0.26).
constexpr double kHeldStillFactor = 0.18;
// A frame moves near nothing only against the detail of its picture: a
// smooth gradient moving slowly changes little in any frame (clean
// gradients at 320x240: 0.09 to 0.24 a frame at a spatial activity of 0.8
// to 1.1), a held picture next to nothing for its detail (x264, x265, VP9
// and MPEG-2 holds: at most 0.18 at a spatial activity of 30 and more; a
// held gradient 0.004 at 1 to 4). Still frames move at most this share of
// their picture's spatial activity too.
constexpr double kStillDetail = 0.05;
// MPEG-2 with B pictures codes a held picture anew on two frames of three:
// those move 0.2 to 0.45 (a third of a hold's frames move 0.18 or less),
// while the third repeats the picture (0 to 0.02). A run whose frames
// repeat so on a quarter or more of them is held too, when it moves on
// average at most kRepeatDetail of its pictures' spatial activity (such
// holds: 0.0006 to 0.0073): a slow steady motion repeats nothing, and one
// made faster by repeating pictures moves more for its detail (a smooth
// gradient at 12.5 fps made 25: 0.047 to 0.057).
constexpr double kRepeatFactor = 0.05;
constexpr double kRepeatDetail = 0.02;
// Two spikes running bridged: a key frame that codes a held picture anew
// moves it on itself and the next frame by the change of its coding error,
// which grows with the picture's detail (MPEG-2 at 2 to 6 Mbit/s, groups
// of 12 and 15: 4.4 to 7.6 together, 0.005 to 0.084 of the spatial
// activity), while a picture moved by one whole pixel moves 0.145 to 0.2 of
// it on a single frame. They are bridged when together they move at most
// this share of the spatial activity, or no more than one spike may.
constexpr double kPairDetail = 0.1;
// Edges of the content that cross the block grid lie on it for a few
// frames and half a block off it a few frames before: block loss's
// condition also reads the most counted off the grid over this many
// seconds before the picture (see conditions.cpp).
constexpr double kOffGridMemory = 0.5;
// A run bridges one spike (a refreshed key frame inside a held picture), or
// two running that move no more than one may, when it has held this many
// frames since the last: an MPEG-2 key frame moves a hold on itself and the
// frame after it (1.0 to 1.9 each), once a group of pictures (12 frames);
// pictures made faster by repeating some move on two frames running with one
// repeat between them, and x264 spreads a real change over two frames.
constexpr int kSteadyBeforeTwoSpikes = 4;
// The least value that makes a relative rule's level, per 576 rows.
constexpr double kLevelFloor = 1.0;
// The spatial activity from which a picture whose value reads under the
// floor is sharp rather than flat: its edges have no ramp (sierpinski,
// cellauto, life, zone plates: 250 to 750; real scenes, test cards and
// titles read 1 to 155), and it makes the level, at the floor.
constexpr double kSharpDetail = 200.0;
// True when `a` is worse than `b` in the rule's direction.
bool worse(double a, double b, Direction direction) {
    return direction == Direction::Above ? a > b : a < b;
}

// Gaps on more than this share of the intervals: a variable frame rate.
constexpr double kMaxGapShare = 0.02;
// The temporal activity up to which a picture of stripes is still (bars).
constexpr double kBarsActivity = 2.0;
// Black after bars at the head is part of the leader up to this long.
constexpr double kLeaderBlack = 10.0;
// So is a still card between them (a slate: a flat picture of text, held
// 3 to 10 s), still as bars are (kBarsActivity). A hold in the programme
// comes after moving pictures; one right after the leader counts from here.
constexpr double kLeaderCard = 10.0;

// A time of the profile in seconds at `fps`; 0 when empty.
double timeOf(const std::string& text, double fps) {
    if (text.empty()) return 0.0;
    return parseTime(text, fps > 0.0 ? fps : 25.0).value_or(0.0);
}

// A grid whose small steps fall on few of its positions does not stand out,
// however rare they are between: mptestsrc's blocks of a flat level on black
// step faintly on 0.55 % to 1 % of them (medians; 1.5 % at most), the
// blocky files the statistic finds on 4.6 % and more (docs/qc.md).
constexpr double kGridMinShare = 2.0;
// Nor does a grid whose steps are nearly all of 1 or 2 levels: an encoder's
// steps in a smooth gradient (gradients, rgbtestsrc in MJPEG: none of 3
// levels or more), while compression that shows its blocks steps 3 to 8
// levels on 20 % to 62 % of them (docs/qc.md).
constexpr double kGridMinStrong = 10.0;
// Compression steps on the grid all over the picture; steps crowded into a
// band across it (a quarter of the rows holding 80 % of them or more) are
// the picture's own, a smooth ramp across the band that MJPEG at -q:v 3 to
// 8 leaves in stairs on testsrc's colour strip (grid ratio 2.2 to 7.8),
// unless the blocks in the band are flat inside, nothing stepping between
// their edges: MJPEG at -q:v 20 to 31 on it reads 21 and more.
constexpr double kGridBand = 80.0;
constexpr double kGridBandRatio = 12.0;

// The picture's grid as the blocking statistic reads it: -1 unmeasured, 1
// when its steps are too few to stand out.
double gridOf(const PictureMeasures* m) {
    if (m == nullptr) return -1.0;
    const bool few = m->gridShare < kGridMinShare || m->gridStrong < kGridMinStrong;
    const bool band = m->gridBand >= kGridBand && m->gridSteps < kGridBandRatio;
    return m->gridSteps >= 0.0 && (few || band) ? 1.0 : m->gridSteps;
}

// Nearest rank: the value of rank ceil(p * n / 100), at least 1.
double percentile(const std::vector<double>& sorted, int p) {
    const size_t n = sorted.size();
    size_t rank = (static_cast<size_t>(p) * n + 99) / 100;
    rank = std::clamp<size_t>(rank, 1, n);
    return sorted[rank - 1];
}

}  // namespace

// The rules that watch one condition, and the run of frames it holds on.
struct EventDetector::Ladder {
    Rule base;                // the condition (the first rule of the ladder)
    std::vector<Rule> rules;  // by severity, then minimum duration
    // The run.
    bool active = false;
    int64_t first = 0;
    int64_t last = 0;
    double start = 0.0;
    double end = 0.0;  // time of the frame after `last`, once it has come
    std::optional<double> worst;
    int64_t worstFrame = -1;
    int64_t errors = 0;
    double heldSum = 0.0;  // freeze: the temporal activity of the held frames
    int64_t heldFrames = 0;
    int64_t stillFrames = 0;   // those that move at most kHeldStillFactor
    int64_t repeatFrames = 0;  // those that move at most kRepeatFactor
    double heldDetail = 0.0;   // the spatial activity of the held frames
    std::string errorText;
    int spikes = 0;         // spikes since `last`, which the run may bridge
    double spikeSum = 0.0;  // their values
    int steady = 0;         // frames the run held before them
    int reached = -1;       // strongest rule whose minimum duration the run reached
    int64_t event = -1;     // index of its event in events_, once open
    bool holdsNow = false;  // the raw condition on the frame being fed
    // Its event type, and the types of its not_during that a ladder watches
    // (the others never hold), as indices in typesHolding_.
    size_t type = 0;
    std::vector<size_t> notDuring;
    RunningLevel level;  // relative and noise rules: the file's own level
    // Counting rules, over the whole input: the runs counted, where the
    // first began, their decoding errors, and the event once past the count.
    int64_t count = 0;
    int64_t countFirst = 0;
    double countStart = 0.0;
    int64_t countErrors = 0;
    int64_t summary = -1;
};

struct EventDetector::StatisticRule {
    Rule rule;
    std::vector<size_t> notDuring;  // as the ladders'
    std::vector<double> values;
    std::vector<int64_t> frames;
    std::vector<double> seconds;  // the frames' times (live runs)
    // Blockiness watched below: each frame's gridSteps (-1 when the picture
    // was not measured) and gridShare.
    std::vector<double> grid;
    std::vector<double> share;
};

namespace {

bool watchesBlocking(const Rule& rule) {
    return rule.indicator == kBlockiness && rule.direction == Direction::Below;
}

// Keeps a statistic rule's last `n` frames (live runs).
template <class Rated>
void keepLast(Rated& s, size_t n) {
    const auto extra = static_cast<ptrdiff_t>(s.values.size() - n);
    s.values.erase(s.values.begin(), s.values.begin() + extra);
    s.frames.erase(s.frames.begin(), s.frames.begin() + extra);
    if (!s.seconds.empty()) s.seconds.erase(s.seconds.begin(), s.seconds.begin() + extra);
    if (!s.grid.empty()) s.grid.erase(s.grid.begin(), s.grid.begin() + extra);
    if (!s.share.empty()) s.share.erase(s.share.begin(), s.share.begin() + extra);
}

// Whether the block grid stands out from the content on the pictures that
// read blocky (the measured ones whose blockiness is beyond the threshold);
// true when none of them was measured (the values alone decide).
template <class Rated>
bool gridStandsOut(const Rated& s) {
    std::vector<double> measured, shares;
    for (size_t i = 0; i < s.grid.size(); ++i) {
        if (s.grid[i] >= 0.0 && beyond(s.values[i], s.rule.threshold, s.rule.direction)) {
            measured.push_back(s.grid[i]);
            shares.push_back(s.share[i]);
        }
    }
    if (measured.empty()) return true;
    std::sort(measured.begin(), measured.end());
    std::sort(shares.begin(), shares.end());
    return percentile(measured, 50) >= s.rule.gridRatio &&
           percentile(shares, 50) >= s.rule.gridShare;
}

}  // namespace

EventDetector::EventDetector(Profile profile, double fps, Callback callback)
    : profile_(std::move(profile)), fps_(fps), callback_(std::move(callback)) {
    for (const Rule& rule : profile_.rules) {
        if (rule.watch == Watch::SignalLoss) {
            if (!lossRule_ || rule.severity > lossRule_->severity) lossRule_ = rule;
            continue;
        }
        if (rule.watch == Watch::FramesLost || rule.watch == Watch::Truncated ||
            rule.watch == Watch::ScanType) {
            std::optional<Rule>& kept = rule.watch == Watch::FramesLost  ? lostRule_
                                        : rule.watch == Watch::Truncated ? cutRule_
                                                                         : scanRule_;
            if (!kept || rule.severity > kept->severity) kept = rule;
            continue;
        }
        if (rule.statistic != Statistic::None) {
            statistics_.push_back(StatisticRule{rule, {}, {}, {}, {}, {}, {}});
            continue;
        }
        auto same = [&rule](const Ladder& l) {
            const Rule& b = l.base;
            return b.maxCount < 0 && rule.maxCount < 0 && b.watch == rule.watch &&
                   b.type == rule.type &&
                   (!conditionOf(rule.watch).onIndicator || b.indicator == rule.indicator) &&
                   b.threshold == rule.threshold && b.direction == rule.direction &&
                   b.notDuring == rule.notDuring && b.maxLevel == rule.maxLevel &&
                   b.minShare == rule.minShare && b.low == rule.low && b.high == rule.high &&
                   b.inLeader == rule.inLeader && b.from == rule.from && b.to == rule.to &&
                   b.relative == rule.relative;
        };
        auto found = std::find_if(ladders_.begin(), ladders_.end(), same);
        if (found == ladders_.end()) {
            ladders_.push_back(Ladder{});
            found = ladders_.end() - 1;
            found->base = rule;
        }
        found->rules.push_back(rule);
    }
    ignoreHead_ = timeOf(profile_.ignoreHead, fps_);
    ignoreTail_ = timeOf(profile_.ignoreTail, fps_);
    // The event types the ladders watch, numbered, so that a frame tells
    // each rule's not_during in time proportional to its length, whatever
    // the number of rules.
    std::unordered_map<std::string, size_t> typeIndex;
    for (Ladder& ladder : ladders_) {
        ladder.type = typeIndex.try_emplace(ladder.base.type, typeIndex.size()).first->second;
    }
    typesHolding_.assign(typeIndex.size(), 0);
    const auto indices = [&typeIndex](const std::vector<std::string>& types) {
        std::vector<size_t> found;
        for (const std::string& type : types) {
            const auto it = typeIndex.find(type);
            if (it != typeIndex.end()) found.push_back(it->second);
        }
        return found;
    };
    for (Ladder& ladder : ladders_) ladder.notDuring = indices(ladder.base.notDuring);
    for (StatisticRule& s : statistics_) s.notDuring = indices(s.rule.notDuring);
    barsType_ = indices({"bars"});
    for (Ladder& ladder : ladders_) {
        std::stable_sort(ladder.rules.begin(), ladder.rules.end(),
                         [](const Rule& a, const Rule& b) {
                             if (a.severity != b.severity) return a.severity < b.severity;
                             return a.minDuration < b.minDuration;
                         });
    }
}

EventDetector::~EventDetector() = default;

Holds EventDetector::condition(const Ladder& ladder, const FrameInput& frame, double& value) const {
    const Rule& rule = ladder.base;
    if (!judged_ || (!rule.inLeader && leaderNow_) || !inWindow(rule, frame.seconds)) {
        return Holds::No;
    }
    const Condition& condition = conditionOf(rule.watch);
    if (condition.detect == nullptr) return Holds::NoValue;  // not a condition of frames
    const Holds holds =
        condition.detect(rule, FrameView{frame, blackNow_, barsNow_, recentOffGrid_}, value);
    if (holds == Holds::Yes && overOwnLevel(rule)) {
        const OwnLevelGate gate = *ownLevelGate(rule.indicator);
        const std::optional<double> level = ladder.level.level(frame.seconds);
        return !level || *level <= gate.contentAbove || value > gate.factor * *level ? Holds::Yes
                                                                                     : Holds::No;
    }
    if (!rule.relative || holds == Holds::NoValue || !indicatorValue(frame, rule.indicator)) {
        return holds;
    }
    return relativeHolds(ladder, frame, value);
}

// Whether a frame under an indicator rule's threshold may lie inside its
// run (bridgedFrames()): the rule judges it (its window, not black, not
// bars) and it has a value, merely under the threshold.
bool EventDetector::bridges(const Ladder& ladder, const FrameInput& frame) const {
    const Rule& rule = ladder.base;
    return rule.watch == Watch::Indicator && ladder.spikes < bridgedFrames(rule.indicator) &&
           !rule.relative && rule.direction == Direction::Above &&
           rule.statistic == Statistic::None && judged_ && (rule.inLeader || !leaderNow_) &&
           inWindow(rule, frame.seconds) && !barsNow_ &&
           !silenced(rule.indicator, frame, blackNow_) &&
           indicatorValue(frame, rule.indicator).has_value();
}

// Whether a frame at `seconds` lies between the rule's `from` and `to`.
bool EventDetector::inWindow(const Rule& rule, double seconds) const {
    return (rule.from.empty() || seconds + kTimeSlack >= timeOf(rule.from, fps_)) &&
           (rule.to.empty() || seconds + kTimeSlack < timeOf(rule.to, fps_));
}

// An indicator that content can read high on (see ownLevelGate()), watched
// above a fixed threshold, keeps the file's own level too, as relative rules
// do.
bool EventDetector::overOwnLevel(const Rule& rule) {
    return rule.watch == Watch::Indicator && !rule.relative && rule.direction == Direction::Above &&
           ownLevelGate(rule.indicator).has_value();
}

namespace {

// The least value that makes a relative rule's level: blur, a ramp width in
// pixels, reads near 0 on pictures without edges (flat, synthetic), which
// say nothing of the file's sharpness.
double levelFloor(const FrameInput& frame) {
    const double rows = frame.measures != nullptr ? frame.measures->height : 576;
    return kLevelFloor * rows / 576.0;
}

}  // namespace

// A relative rule: the value beyond `threshold` times the file's own level.
// Bars are a test pattern, not the file's content: they neither hold nor
// make the level.
Holds EventDetector::relativeHolds(const Ladder& ladder, const FrameInput& frame,
                                   double value) const {
    if (barsNow_ || leaderCard() || silenced(ladder.base.indicator, frame, blackNow_)) {
        return Holds::No;
    }
    const std::optional<double> level = ladder.level.level(frame.seconds);
    if (!level) return Holds::No;
    return value > ladder.base.threshold * std::max(*level, levelFloor(frame)) ? Holds::Yes
                                                                               : Holds::No;
}

// A relative rule's level follows the frames with a value: those it does
// not flag make it, those it flags are kept aside (see RunningLevel).
void EventDetector::followLevel(Ladder& ladder, const FrameInput& frame, Holds holds) {
    if (holds == Holds::NoValue || barsNow_ || leaderCard() ||
        silenced(ladder.base.indicator, frame, blackNow_)) {
        return;
    }
    const std::optional<double> value = indicatorValue(frame, ladder.base.indicator);
    // Noise reads 0 on clean synthetic pictures: a level all the same. Its
    // level is made of the first frames whatever they read (texture is on
    // every frame). Flat pictures make no relative level, sharp ones do
    // (kSharpDetail).
    if (!value || (ladder.base.relative && *value < levelFloor(frame) &&
                   !((*frame.values)[kSpatialActivity] >= kSharpDetail))) {
        return;
    }
    if (holds == Holds::Yes &&
        (ladder.base.relative || ladder.level.level(frame.seconds).has_value())) {
        ladder.level.flag(frame.seconds, *value);
    } else {
        ladder.level.add(frame.seconds, *value);
    }
}

// The leader: bars from the first frame, then black (up to kLeaderBlack)
// and still cards (up to kLeaderCard each, a slate) in any order. The
// picture cut to after bars or black is the leader's until the next shows
// whether it stands still (a card) or moves (the programme).
void EventDetector::updateLeader(const FrameInput& frame) {
    const bool bars = barsNow_;
    const bool still = (*frame.values)[kTemporalActivity] <= kBarsActivity;
    switch (leader_) {
        case Leader::Start:
            leader_ = bars ? Leader::Bars : Leader::Done;
            break;
        case Leader::Bars:
        case Leader::Cut:
        case Leader::Card:
            if (bars) {
                leader_ = Leader::Bars;
            } else if (blackNow_) {
                leader_ = Leader::Black;
                leaderBlackStart_ = frame.seconds;
            } else if (leader_ == Leader::Bars) {
                leader_ = Leader::Cut;
            } else if (!still) {
                leader_ = Leader::Done;
            } else if (leader_ == Leader::Cut) {
                leader_ = Leader::Card;
                leaderCardStart_ = lastSeconds_;
            } else if (frame.seconds - leaderCardStart_ >= kLeaderCard) {
                leader_ = Leader::Done;
            }
            break;
        case Leader::Black:
            if (bars) {
                leader_ = Leader::Bars;
            } else if (!blackNow_) {
                leader_ = Leader::Cut;
            } else if (frame.seconds - leaderBlackStart_ >= kLeaderBlack) {
                leader_ = Leader::Done;
            }
            break;
        case Leader::Done:
            break;
    }
    leaderNow_ = leader_ != Leader::Done;
}

void EventDetector::setEnd(double seconds) {
    streamEnd_ = seconds > 0.0 && std::isfinite(seconds) ? seconds : 0.0;
}

void EventDetector::describe(Event& e) const {
    const Condition& condition = conditionOf(e.watch);
    if (condition.describe != nullptr) e.message = condition.describe(e);
}

// A freeze run is a held picture while its frames' mean temporal activity
// is at most kHeldMeanFactor times the tolerance: encoders refresh a held
// picture now and then (x264 and x265 at CRF 18-28: a mean of 0.006 to 0.2),
// a slow blurred camera moves steadily (0.43 every frame); and while half of
// its frames at least move at most kHeldStillFactor times it: a slow steady
// motion under 0.3 (gradients at 1280x720: 0.25 to 0.33 every frame) moves
// on each; or while a quarter of them at least repeat the picture and the
// run moves little for its pictures' detail (MPEG-2 with B pictures codes a
// hold anew on two frames of three). Other runs are what their condition
// says. Judged when the event would open.
bool EventDetector::heldStill(const Ladder& ladder) const {
    if (ladder.base.watch != Watch::Freeze || ladder.heldFrames == 0) return true;
    if (ladder.heldSum / static_cast<double>(ladder.heldFrames) >
        kHeldMeanFactor * ladder.base.threshold + 1e-9) {
        return false;
    }
    return 2 * ladder.stillFrames >= ladder.heldFrames ||
           (4 * ladder.repeatFrames >= ladder.heldFrames &&
            ladder.heldSum <= kRepeatDetail * ladder.heldDetail + 1e-9);
}

// The run has lasted `duration`: opens or escalates its event when it has
// reached the minimum duration of a stronger rule.
void EventDetector::advance(Ladder& ladder, double duration) {
    // The rules are ordered by severity, then minimum duration: the last one
    // reached is the strongest.
    int reached = ladder.reached;
    for (int i = reached + 1; i < static_cast<int>(ladder.rules.size()); ++i) {
        const Rule& rule = ladder.rules[static_cast<size_t>(i)];
        if (rule.strict ? duration > rule.minDuration + kTimeSlack
                        : duration + kTimeSlack >= rule.minDuration) {
            reached = i;
        }
    }
    if (reached < 0 || (ladder.reached < 0 && !heldStill(ladder))) return;
    if (ladder.base.maxCount >= 0) return countRun(ladder, duration);
    const bool opening = ladder.event < 0;
    if (opening) {
        ladder.event = static_cast<int64_t>(events_.size());
        events_.push_back(newEvent(ladder.base));
    }
    Event& e = events_[static_cast<size_t>(ladder.event)];
    const bool escalating = !opening && reached > ladder.reached;
    ladder.reached = reached;
    const Rule& rule = ladder.rules[static_cast<size_t>(reached)];
    e.rule = rule.id;
    e.severity = rule.severity;
    e.ebu = rule.ebu;
    e.firstFrame = ladder.first;
    e.lastFrame = ladder.last;
    e.startSeconds = ladder.start;
    e.endSeconds = ladder.start + duration;
    e.worstValue = conditionOf(ladder.base.watch).worstValue ? ladder.worst : std::nullopt;
    e.worstFrame = e.worstValue ? ladder.worstFrame : -1;
    e.decodeErrors = ladder.errors;
    describe(e);
    if (conditionOf(ladder.base.watch).decodeErrors && !ladder.errorText.empty()) {
        e.message += ": " + ladder.errorText;
    }
    if (callback_ && (opening || escalating))
        callback_(opening ? Change::Open : Change::Escalate, e);
}

Event EventDetector::newEvent(const Rule& base) const {
    Event e;
    e.id = static_cast<int64_t>(events_.size()) + 1;
    e.type = base.type;
    e.watch = base.watch;
    const std::optional<IndicatorId> watched = watchedIndicator(base);
    e.indicator = watched ? indicatorKey(*watched) : "";
    e.threshold = base.threshold;
    e.direction = base.direction;
    e.relative = base.relative;
    e.low = base.low;
    e.high = base.high;
    e.open = true;
    return e;
}

// A counting rule's run has lasted its minimum duration: one more
// occurrence. Past the count allowed, one event spans the occurrences, from
// the first one's start to the end of the last; it opens then and closes
// when the input ends.
void EventDetector::countRun(Ladder& ladder, double duration) {
    const Rule& rule = ladder.base;
    if (ladder.reached < 0) {
        ladder.reached = 0;
        if (++ladder.count == 1) {
            ladder.countFirst = ladder.first;
            ladder.countStart = ladder.start;
        }
    }
    if (ladder.count <= rule.maxCount) return;
    const bool opening = ladder.summary < 0;
    if (opening) {
        ladder.summary = static_cast<int64_t>(events_.size());
        Event e = newEvent(rule);
        e.rule = rule.id;
        e.severity = rule.severity;
        e.ebu = rule.ebu;
        e.maxCount = rule.maxCount;
        e.firstFrame = ladder.countFirst;
        e.startSeconds = ladder.countStart;
        events_.push_back(std::move(e));
    }
    Event& e = events_[static_cast<size_t>(ladder.summary)];
    e.lastFrame = ladder.last;
    e.endSeconds = ladder.start + duration;
    e.count = ladder.count;
    if (ladder.worst && (!e.worstValue || worse(*ladder.worst, *e.worstValue, rule.direction))) {
        e.worstValue = ladder.worst;
        e.worstFrame = ladder.worstFrame;
    }
    e.decodeErrors = ladder.countErrors + ladder.errors;
    const std::string lasting = rule.minDuration > 0.0 ? (rule.strict ? " longer than " : " of ") +
                                                             secondsText(rule.minDuration) +
                                                             (rule.strict ? "" : " or more")
                                                       : "";
    e.message = std::to_string(e.count) + " " + e.type + (e.count == 1 ? " event" : " events") +
                lasting + " (at most " + std::to_string(rule.maxCount) + " allowed)";
    if (opening && callback_) callback_(Change::Open, e);
}

void EventDetector::close(Ladder& ladder) {
    advance(ladder, ladder.end - ladder.start);
    if (ladder.event >= 0) {
        Event& e = events_[static_cast<size_t>(ladder.event)];
        e.open = false;
        if (callback_) callback_(Change::Close, e);
    }
    const Rule base = std::move(ladder.base);
    std::vector<Rule> rules = std::move(ladder.rules);
    RunningLevel level = std::move(ladder.level);
    level.endRun();
    Ladder counted;
    counted.count = ladder.count;
    counted.countFirst = ladder.countFirst;
    counted.countStart = ladder.countStart;
    counted.countErrors = ladder.countErrors + (ladder.reached >= 0 ? ladder.errors : 0);
    counted.summary = ladder.summary;
    counted.type = ladder.type;
    counted.notDuring = std::move(ladder.notDuring);
    ladder = std::move(counted);
    ladder.base = base;
    ladder.rules = std::move(rules);
    ladder.level = std::move(level);
}

void EventDetector::feed(const FrameInput& frame) {
    if (finished_) return;
    runsStarted_.clear();
    if (frames_ == 0) {
        firstIndex_ = frame.index;
        firstSeconds_ = frame.seconds;
    }
    if (frame.decodeErrors > 0) {
        decodeErrors_ += frame.decodeErrors;
        damagedFrames_.push_back(frame.index);
        if (damagedFramesKept_ > 0 && damagedFrames_.size() >= 2 * damagedFramesKept_) {
            damagedFrames_.erase(damagedFrames_.begin(),
                                 damagedFrames_.end() - static_cast<ptrdiff_t>(damagedFramesKept_));
        }
    }
    if (lostRule_ && streamFps_ > 0.0 && frames_ > 0) {
        ++intervals_;
        const double steps = (frame.seconds - lastSeconds_) * streamFps_;
        // One slot missing right after the first picture is the writer
        // settling the timestamps of a source whose first pictures carry
        // none (packed B-frames in AVI): transcoders repeat the first picture
        // there, as a copy or as an AVI's empty chunk. Not a loss.
        const bool settling = intervals_ == 1 && std::llround(steps) == 2;
        if (steps > 1.5 && !settling) {
            // A whole number of frame durations: frames missing. Anything
            // else is a rate the stream does not declare (held at the end).
            if (std::fabs(steps - std::round(steps)) <= 0.25) {
                gaps_.push_back(Gap{frame.index, lastSeconds_, frame.seconds});
            } else {
                ++irregular_;
            }
        }
    }
    // Runs whose last frame was the previous one now know their end, and may
    // have lasted long enough for a (stronger) event.
    for (Ladder& ladder : ladders_) {
        if (ladder.active && ladder.last == lastIndex_) {
            ladder.end = frame.seconds;
            advance(ladder, ladder.end - ladder.start);
        }
    }

    // Bars are a still picture: a moving picture of stripes is programme.
    barsNow_ = frame.measures != nullptr && frame.measures->bars &&
               (frame.first || (*frame.values)[kTemporalActivity] <= kBarsActivity);
    blackNow_ = blackoutFlag(frame);
    for (const Ladder& ladder : ladders_) {
        const Condition& condition = conditionOf(ladder.base.watch);
        double ignored = 0.0;
        if (condition.blackens &&
            condition.detect(ladder.base, FrameView{frame, false, false, 0.0, true}, ignored) ==
                Holds::Yes) {
            blackNow_ = true;
        }
    }
    updateLeader(frame);
    judged_ = frame.seconds + kTimeSlack >= ignoreHead_ &&
              !(ignoreTail_ > 0.0 && streamEnd_ > 0.0 &&
                frame.seconds + kTimeSlack >= streamEnd_ - ignoreTail_);
    judgedAny_ = judgedAny_ || judged_;

    // Kept in place: after the first half second nothing is allocated.
    offGrid_.erase(offGrid_.begin(),
                   std::find_if(offGrid_.begin(), offGrid_.end(), [&](const auto& entry) {
                       return entry.first <= frame.seconds + kTimeSlack &&
                              frame.seconds - entry.first <= kOffGridMemory + kTimeSlack;
                   }));
    recentOffGrid_ = 0.0;
    for (const auto& [seconds, off] : offGrid_) recentOffGrid_ = std::max(recentOffGrid_, off);
    std::vector<Holds> holds(ladders_.size());
    std::vector<double> values(ladders_.size(), 0.0);
    for (size_t i = 0; i < ladders_.size(); ++i) {
        holds[i] = condition(ladders_[i], frame, values[i]);
        ladders_[i].holdsNow = holds[i] == Holds::Yes;
    }
    std::fill(typesHolding_.begin(), typesHolding_.end(), 0);
    for (const Ladder& ladder : ladders_) {
        if (ladder.holdsNow) typesHolding_[ladder.type] = 1;
    }
    if (frame.measures != nullptr && frame.measures->blockEdgesOff >= 0.0) {
        offGrid_.emplace_back(frame.seconds, frame.measures->blockEdgesOff);
    }
    // Cross-talk: a condition listed in not_during that holds on this frame
    // keeps the rule from counting it.
    auto suppressed = [this](const std::vector<size_t>& types) {
        return std::any_of(types.begin(), types.end(),
                           [this](size_t type) { return typesHolding_[type] != 0; });
    };
    for (size_t i = 0; i < ladders_.size(); ++i) {
        Ladder& ladder = ladders_[i];
        const Condition& condition = conditionOf(ladder.base.watch);
        Holds h = holds[i];
        if (h != Holds::No && suppressed(ladder.notDuring)) h = Holds::No;
        if (h == Holds::Spike &&
            !(ladder.active &&
              (ladder.spikes == 0 ||
               (ladder.spikes == 1 && ladder.steady >= kSteadyBeforeTwoSpikes &&
                (ladder.spikeSum + values[i] <= kSpikeFactor * ladder.base.threshold ||
                 ladder.spikeSum + values[i] <=
                     kPairDetail * (*frame.values)[kSpatialActivity]))))) {
            h = Holds::No;
        }
        if (h == Holds::No && holds[i] == Holds::No && ladder.active &&
            !suppressed(ladder.notDuring) && bridges(ladder, frame)) {
            h = Holds::Spike;
        }
        if (ladder.base.relative || overOwnLevel(ladder.base)) followLevel(ladder, frame, h);
        switch (h) {
            case Holds::NoValue:
                break;
            case Holds::Spike:
                ++ladder.spikes;
                ladder.spikeSum += values[i];
                break;
            case Holds::No:
                // Decoding errors close together are one event (live runs).
                if (ladder.active && condition.decodeErrors &&
                    frame.seconds - ladder.end < decodeHoldOff_) {
                    break;
                }
                if (ladder.active) close(ladder);
                break;
            case Holds::Yes: {
                const bool starting = !ladder.active;
                if (starting) {
                    ladder.active = true;
                    // A held picture is held from the frame it repeats,
                    // unless the rule did not judge that frame (the head,
                    // before its window).
                    const bool fromPrevious = condition.fromPrevious && judgedBefore_ &&
                                              inWindow(ladder.base, lastSeconds_);
                    ladder.first = fromPrevious ? lastIndex_ : frame.index;
                    ladder.start = fromPrevious ? lastSeconds_ : frame.seconds;
                    runsStarted_.push_back(ladder.rules.front().id);
                }
                ladder.steady = ladder.spikes > 0 ? 1 : ladder.steady + 1;
                ladder.spikes = 0;
                ladder.spikeSum = 0.0;
                if (ladder.base.watch == Watch::Freeze) {
                    ladder.heldSum += values[i];
                    ++ladder.heldFrames;
                    if (values[i] <= kHeldStillFactor * ladder.base.threshold + 1e-9 &&
                        values[i] <= kStillDetail * (*frame.values)[kSpatialActivity] + 1e-9) {
                        ++ladder.stillFrames;
                    }
                    if (values[i] <= kRepeatFactor * ladder.base.threshold + 1e-9) {
                        ++ladder.repeatFrames;
                    }
                    ladder.heldDetail += (*frame.values)[kSpatialActivity];
                }
                ladder.last = frame.index;
                if (condition.worstValue &&
                    (!ladder.worst || worse(values[i], *ladder.worst, ladder.base.direction))) {
                    ladder.worst = values[i];
                    ladder.worstFrame = frame.index;
                }
                if (condition.decodeErrors) {
                    ladder.errors += frame.decodeErrors;
                    if (ladder.errorText.empty()) ladder.errorText = frame.decodeMessage;
                }
                ladder.end = frame.seconds;
                if (starting) advance(ladder, frame.seconds - ladder.start);
                break;
            }
        }
    }

    followScan(frame);
    // A cut to bars moves, so the first picture of the bars is no still
    // one; once the next stands still, statistics that leave bars out leave
    // it out too (a second of grey, then bars: one picture was the whole
    // statistic).
    const bool barsBegan = stripesBefore_ && suppressed(barsType_);
    for (StatisticRule& s : statistics_) {
        if (barsBegan && !s.frames.empty() && s.frames.back() == lastIndex_ &&
            std::find(s.rule.notDuring.begin(), s.rule.notDuring.end(), "bars") !=
                s.rule.notDuring.end()) {
            s.values.pop_back();
            s.frames.pop_back();
            if (!s.seconds.empty()) s.seconds.pop_back();
            if (!s.grid.empty()) s.grid.pop_back();
            if (!s.share.empty()) s.share.pop_back();
        }
        if (!judged_ || (!s.rule.inLeader && leaderNow_) || !inWindow(s.rule, frame.seconds) ||
            silenced(s.rule.indicator, frame, blackNow_) || suppressed(s.notDuring)) {
            continue;
        }
        const std::optional<double> v = indicatorValue(frame, s.rule.indicator);
        if (!v) continue;
        s.values.push_back(*v);
        s.frames.push_back(frame.index);
        if (statisticFrames_ > 0) s.seconds.push_back(frame.seconds);
        if (watchesBlocking(s.rule)) {
            s.grid.push_back(gridOf(frame.measures));
            s.share.push_back(frame.measures != nullptr ? frame.measures->gridShare : -1.0);
        }
        if (statisticFrames_ > 0 && s.values.size() >= 2 * statisticFrames_) {
            keepLast(s, statisticFrames_);
        }
    }

    stripesBefore_ = frame.measures != nullptr && frame.measures->bars && !barsNow_;
    previousSeconds_ = frames_ > 0 ? lastSeconds_ : frame.seconds;
    lastIndex_ = frame.index;
    lastSeconds_ = frame.seconds;
    judgedBefore_ = judged_;
    ++frames_;
}

void EventDetector::addDamage(int errors, std::string_view message) {
    if (finished_ || frames_ == 0 || errors <= 0) return;
    decodeErrors_ += errors;
    if (damagedFrames_.empty() || damagedFrames_.back() != lastIndex_) {
        damagedFrames_.push_back(lastIndex_);
    }
    for (Ladder& ladder : ladders_) {
        if (!conditionOf(ladder.base.watch).decodeErrors) continue;
        const bool heldOff = ladder.active && lastSeconds_ - ladder.end < decodeHoldOff_;
        if (heldOff) {
            ladder.last = lastIndex_;
            ladder.end = lastSeconds_;
        } else if (!ladder.active || ladder.last != lastIndex_) {
            if (ladder.active) close(ladder);
            ladder.active = true;
            ladder.first = lastIndex_;
            ladder.last = lastIndex_;
            ladder.start = lastSeconds_;
            ladder.end = lastSeconds_;
        }
        ladder.errors += errors;
        if (ladder.errorText.empty()) ladder.errorText = message;
        advance(ladder, 0.0);
    }
}

void EventDetector::pointEvent(const Rule& rule, int64_t next, double start, double end,
                               const std::string& message, std::optional<int64_t> last) {
    Event e;
    e.id = static_cast<int64_t>(events_.size()) + 1;
    e.type = rule.type;
    e.rule = rule.id;
    e.severity = rule.severity;
    e.watch = rule.watch;
    e.threshold = rule.threshold;
    e.firstFrame = next;
    e.lastFrame = last.value_or(next - 1);
    e.startSeconds = start;
    e.endSeconds = std::max(start, end);
    e.ebu = rule.ebu;
    e.message = message;
    events_.push_back(std::move(e));
    if (callback_) {
        callback_(Change::Open, events_.back());
        callback_(Change::Close, events_.back());
    }
}

void EventDetector::setTimeline(double fps, double declaredEnd) {
    streamFps_ = fps > 0.0 && std::isfinite(fps) ? fps : 0.0;
    declaredEnd_ = declaredEnd > 0.0 && std::isfinite(declaredEnd) ? declaredEnd : 0.0;
}

void EventDetector::inputEnded(const std::string& message) {
    if (finished_ || message.empty()) return;
    if (message.find("truncated") != std::string::npos ||
        message.find("ends prematurely") != std::string::npos) {
        truncation_ = message;
        return;
    }
    addDamage(1, message);
}

void EventDetector::stoppedEarly() {
    if (!finished_) declaredEnd_ = 0.0;
}

void EventDetector::setLiveLimits(double decodeHoldOff, size_t statisticFrames,
                                  size_t damagedFrames) {
    decodeHoldOff_ = decodeHoldOff;
    statisticFrames_ = statisticFrames;
    damagedFramesKept_ = damagedFrames;
}

void EventDetector::signalLost(int64_t next, double seconds, const std::string& message) {
    if (finished_ || !lossRule_ || lossEvent_ >= 0) return;
    Event e;
    e.id = static_cast<int64_t>(events_.size()) + 1;
    e.type = lossRule_->type;
    e.rule = lossRule_->id;
    e.severity = lossRule_->severity;
    e.watch = Watch::SignalLoss;
    e.firstFrame = next;
    e.lastFrame = next - 1;
    e.startSeconds = seconds;
    e.endSeconds = seconds;
    e.open = true;
    e.ebu = lossRule_->ebu;
    e.message = message;
    lossEvent_ = static_cast<int64_t>(events_.size());
    events_.push_back(std::move(e));
    if (callback_) callback_(Change::Open, events_.back());
}

void EventDetector::signalBack(int64_t next, double seconds, const std::string& message) {
    if (lossEvent_ < 0) return;
    Event& e = events_[static_cast<size_t>(std::exchange(lossEvent_, -1))];
    e.lastFrame = std::max(next, e.firstFrame) - 1;
    e.endSeconds = std::max(seconds, e.startSeconds);
    e.message = message;
    e.open = false;
    if (callback_) callback_(Change::Close, e);
}

void EventDetector::finish() {
    if (finished_) return;
    // A loss still open ends with the run.
    if (lossEvent_ >= 0) {
        const Event& e = events_[static_cast<size_t>(lossEvent_)];
        signalBack(e.firstFrame, e.startSeconds, e.message);
    }
    finished_ = true;
    runsStarted_.clear();
    if (frames_ == 0) return;
    // The last frame lasts as long as the one before it, or 1 / fps.
    double duration = lastSeconds_ - previousSeconds_;
    if (!(duration > 0.0)) duration = fps_ > 0.0 ? 1.0 / fps_ : 0.0;
    const double end = lastSeconds_ + duration;
    analysedEnd_ = end;
    for (Ladder& ladder : ladders_) {
        if (!ladder.active) continue;
        if (ladder.last == lastIndex_) ladder.end = end;
        close(ladder);
    }
    for (const Ladder& ladder : ladders_) {
        if (ladder.summary < 0) continue;
        Event& e = events_[static_cast<size_t>(ladder.summary)];
        e.open = false;
        if (callback_) callback_(Change::Close, e);
    }
    // Gaps in a stream whose timestamps are regular elsewhere are lost
    // frames; many irregular or missing intervals mean a variable rate.
    const bool regular = !gaps_.empty() && static_cast<double>(gaps_.size() + irregular_) <=
                                               kMaxGapShare * intervals_;
    const double step = streamFps_ > 0.0 ? 1.0 / streamFps_ : 0.0;
    const auto lostIn = [this](const Gap& gap) {
        return std::max<int64_t>(1, std::llround((gap.next - gap.previous) * streamFps_) - 1);
    };
    // An input cut short loses, besides its end, the pictures shown before
    // its last ones but coded after the cut (B pictures): gaps among its
    // last kReorderFrames frames are the cut's, told by its truncated event,
    // which starts at the first of them.
    const double tolerance = std::max(0.1, 2.0 * duration);
    const bool cut = cutRule_ && (!truncation_.empty() ||
                                  (declaredEnd_ > 0.0 && end < declaredEnd_ - tolerance));
    size_t own = regular ? gaps_.size() : 0;  // gaps before those of the cut
    while (cut && own > 0 && lastIndex_ - gaps_[own - 1].index < kReorderFrames) --own;
    if (lostRule_) {
        for (size_t i = 0; i < own; ++i) {
            const Gap& gap = gaps_[i];
            const int64_t lost = lostIn(gap);
            pointEvent(*lostRule_, gap.index, gap.previous + step, gap.next,
                       std::to_string(lost) + (lost == 1 ? " frame" : " frames") +
                           " lost (a gap of " + secondsText(gap.next - gap.previous) +
                           " in the timestamps)");
        }
    }
    if (cut) {
        int64_t next = lastIndex_ + 1;
        double start = end;
        int64_t lost = 0;
        if (regular && own < gaps_.size()) {
            next = gaps_[own].index;
            start = gaps_[own].previous + step;
            for (size_t i = own; i < gaps_.size(); ++i) lost += lostIn(gaps_[i]);
        }
        const std::string before =
            lost == 0 ? ""
                      : "; " + std::to_string(lost) + (lost == 1 ? " frame" : " frames") +
                            " among the last ones lost with it (gaps in the timestamps)";
        if (!truncation_.empty()) {
            pointEvent(*cutRule_, next, start, std::max(end, declaredEnd_),
                       "the input is cut short: " + truncation_ + before);
        } else {
            pointEvent(*cutRule_, next, start, declaredEnd_,
                       "the frames end at " + secondsText(end) + " of the " +
                           secondsText(declaredEnd_) + " the container declares (truncated)" +
                           before);
        }
    }
    rateScan(end);
    for (StatisticRule& s : statistics_) {
        if (statisticFrames_ > 0 && s.values.size() > statisticFrames_) {
            keepLast(s, statisticFrames_);
        }
        if (s.values.empty()) continue;
        if (watchesBlocking(s.rule) && !gridStandsOut(s)) continue;
        std::vector<double> sorted = s.values;
        std::sort(sorted.begin(), sorted.end());
        double value = 0.0;
        switch (s.rule.statistic) {
            case Statistic::None:
                continue;
            case Statistic::Mean: {
                double sum = 0.0;
                for (double v : s.values) sum += v;
                value = sum / static_cast<double>(s.values.size());
                break;
            }
            case Statistic::Min:
                value = sorted.front();
                break;
            case Statistic::Max:
                value = sorted.back();
                break;
            case Statistic::P5:
                value = percentile(sorted, 5);
                break;
            case Statistic::P50:
                value = percentile(sorted, 50);
                break;
            case Statistic::P95:
                value = percentile(sorted, 95);
                break;
        }
        if (!beyond(value, s.rule.threshold, s.rule.direction)) continue;
        // One event of a type is enough: a file whose blocking the
        // quantiser or a stricter statistic already tells gets no second.
        const bool told = std::any_of(events_.begin(), events_.end(), [&](const Event& other) {
            return other.type == s.rule.type && other.severity >= s.rule.severity;
        });
        if (told) continue;
        Event e;
        e.id = static_cast<int64_t>(events_.size()) + 1;
        e.type = s.rule.type;
        e.rule = s.rule.id;
        e.severity = s.rule.severity;
        e.watch = Watch::Indicator;
        e.indicator = indicatorKey(s.rule.indicator);
        e.threshold = s.rule.threshold;
        e.direction = s.rule.direction;
        e.statistic = s.rule.statistic;
        e.statisticValue = value;
        // Over the last frames only (live runs), the event covers those.
        const bool windowed = statisticFrames_ > 0 && s.frames.front() != firstIndex_;
        e.firstFrame = windowed ? s.frames.front() : firstIndex_;
        e.lastFrame = lastIndex_;
        e.startSeconds = windowed ? s.seconds.front() : firstSeconds_;
        e.endSeconds = end;
        size_t worst = 0;
        for (size_t i = 1; i < s.values.size(); ++i) {
            if (worse(s.values[i], s.values[worst], s.rule.direction)) worst = i;
        }
        e.worstValue = s.values[worst];
        e.worstFrame = s.frames[worst];
        e.ebu = s.rule.ebu;
        describe(e);
        events_.push_back(e);
        if (callback_) {
            callback_(Change::Open, events_.back());
            callback_(Change::Close, events_.back());
        }
    }
}

bool EventDetector::judgedNone() const {
    return frames_ > 0 && !judgedAny_;
}

std::vector<std::string> EventDetector::rulesAfterTheEnd() const {
    std::vector<std::string> ids;
    if (frames_ == 0) return ids;
    for (const Rule& rule : profile_.rules) {
        if (!rule.from.empty() && timeOf(rule.from, fps_) > lastSeconds_ + kTimeSlack) {
            ids.push_back(rule.id);
        }
    }
    return ids;
}

void EventDetector::followScan(const FrameInput& frame) {
    if (scan_.last == lastIndex_ && lastIndex_ >= 0) scan_.end = frame.seconds;
    if (!scanRule_ || !judged_ || blackNow_ || barsNow_ || (!scanRule_->inLeader && leaderNow_) ||
        (!scanRule_->from.empty() && frame.seconds + kTimeSlack < timeOf(scanRule_->from, fps_)) ||
        (!scanRule_->to.empty() && frame.seconds + kTimeSlack >= timeOf(scanRule_->to, fps_))) {
        return;
    }
    double combed = 0.0;
    const Holds holds =
        conditionOf(Watch::ScanType).detect(*scanRule_, FrameView{frame, false, false}, combed);
    if (holds == Holds::NoValue) return;
    ++scan_.told;
    if (holds != Holds::Yes) return;
    ++scan_.woven;
    const Weave weave = weaveOf(*frame.measures);
    scan_.topFirst += weave == Weave::TopFirst ? 1 : 0;
    scan_.bottomFirst += weave == Weave::BottomFirst ? 1 : 0;
    if (scan_.first < 0) {
        scan_.first = frame.index;
        scan_.start = frame.seconds;
    }
    scan_.last = frame.index;
}

void EventDetector::rateScan(double end) {
    if (!scanRule_ || scan_.told == 0) return;
    if (scan_.last == lastIndex_) scan_.end = end;
    const double share = 100.0 * static_cast<double>(scan_.woven) / static_cast<double>(scan_.told);
    const double second = std::max(10.0, std::round(fps_ > 0.0 ? fps_ : 25.0));
    if (static_cast<double>(scan_.woven) < second || !(share > scanRule_->threshold)) return;
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", share);
    const char* order = scan_.topFirst > 2 * scan_.bottomFirst   ? ", top field first"
                        : scan_.bottomFirst > 2 * scan_.topFirst ? ", bottom field first"
                                                                 : "";
    pointEvent(*scanRule_, scan_.first, scan_.start, scan_.end,
               std::string("interlaced content in a stream not declared interlaced: fields "
                           "woven on ") +
                   text + " % of the frames that move" + order,
               scan_.last);
}

std::unique_ptr<EventDetector> EventDetector::snapshot() const {
    auto copy = std::make_unique<EventDetector>(profile_, fps_);
    copy->events_ = events_;
    copy->decodeErrors_ = decodeErrors_;
    copy->damagedFrames_ = damagedFrames_;
    copy->frames_ = frames_;
    copy->analysedEnd_ = analysedEnd_;
    copy->lastSeconds_ = lastSeconds_;
    copy->judgedAny_ = judgedAny_;
    copy->finished_ = true;
    return copy;
}

Verdict EventDetector::verdict(bool failOnWarning) const {
    Verdict v;
    for (const Event& e : events_) {
        ++(e.severity == Severity::Error     ? v.errors
           : e.severity == Severity::Warning ? v.warnings
                                             : v.infos);
    }
    v.pass = v.errors == 0 && !(failOnWarning && v.warnings > 0);
    return v;
}

}  // namespace lumaqc::qc
