// The event detector: fed one frame at a time, in frame order, with the
// frame's values and presentation time, it turns the rules of a profile into
// events as they happen (open, escalate, close), so that a file and a live
// stream are judged alike. Whole-file statistic rules are rated at finish().
//
// Per-frame rules. A rule's condition holds on a frame when the watched value
// lies beyond the threshold (strictly above or below). Consecutive frames on
// which it holds form a run; frames without a value (block loss on small
// pictures, flicker between its ratings, NaN) neither extend nor end a run.
// A run becomes an event once it has lasted the rule's minimum duration,
// measured from its first frame's time to the time of the frame after its
// last. Rules that watch the same condition (same event type, indicator,
// threshold, direction and not_during) form a ladder: one event per run,
// which takes the severity, rule and EBU item of the strongest rule whose
// minimum duration the run has reached (opened, then escalated).
//
// Conditions:
//   black         the blackout flag is 1; with max_level / min_share, at
//                 least min_share percent of the picture is at or below luma
//                 max_level (a logo or burnt-in timecode stays black).
//   bars          colour bars or a like static pattern of vertical stripes.
//   luma_levels   more than `threshold` percent of the picture lies below
//                 `low` or above `high` (not on black pictures or bars).
//   freeze        the picture repeats the previous one: the freezing flag is
//                 1, or the temporal activity is at most the rule's threshold
//                 (not on black pictures, not on the first frame, whose
//                 temporal activity is a start value). A run starts at the
//                 frame whose picture is held, one before the first repeat.
//                 One frame of activity up to four times the threshold
//                 between two held frames stays in the run: encoders refresh
//                 a held picture with a key frame.
//   decode_error  the decoder reported damage on the frame (or before it,
//                 where no picture came out).
//   frames_lost   (constant-rate streams, see setTimeline) the time from one
//                 frame to the next is a whole number of frame durations
//                 (within a quarter), two or more: the frames that would
//                 have been shown in between are missing. Rated at finish:
//                 when such gaps and other irregular intervals make more
//                 than 2 % of the intervals, the stream's rate is variable
//                 whatever it declares, and no gap is an event. The event
//                 covers no frame: it lies before the frame after the gap,
//                 from the end of the frame before it.
//   truncated     (at finish) the input ended on an error saying it is cut
//                 short, or the frames analysed end more than two frame
//                 durations and 0.1 s before the duration the container
//                 declares (see setTimeline). The event covers no frame: it
//                 lies after the last one, up to the declared end, or from
//                 the first gap among the last frames (pictures coded after
//                 the cut), which then make no frames_lost event.
//   scan_type     (rated at finish) the stream does not declare interlaced
//                 pictures, yet the fields of more than `threshold` percent
//                 of the frames that move enough to tell (a second of them
//                 at least) show two instants (see weaveOf). The event covers
//                 the first woven frame to the last.
//   indicators    the indicator's value beyond the threshold. Black pictures
//                 say nothing about blur, bars, noise or blocking: on a black
//                 frame no indicator rule holds, and statistics leave black
//                 frames out. Letterbox bars read as lost slices: slice rules
//                 do not hold while the letterbox indicator is above 0. A
//                 frame on which the condition of an event type listed in the
//                 rule's not_during holds is treated the same.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "indicators/indicator_id.h"
#include "qc/conditions.h"
#include "qc/picture_measures.h"
#include "qc/profile.h"
#include "qc/running_level.h"

namespace lumaqc::qc {

struct FrameInput {
    int64_t index = 0;
    double seconds = 0.0;  // presentation time
    const FrameValues* values = nullptr;
    bool first = false;    // the first frame of the run: temporal values are start values
    int decodeErrors = 0;  // decoding errors reported for this frame or since the previous one
    std::string_view decodeMessage;  // what the decoder said about the first of them
    // The stream declares interlaced pictures (two fields woven in each).
    bool interlaced = false;
    // The samples span the full range (0-255 for the video range's 16-235):
    // the stream says so (SourceInfo::fullRange).
    bool fullRange = false;
    // The picture's mean quantiser on H.264's scale; NaN when unknown.
    double quantiser = std::numeric_limits<double>::quiet_NaN();
    // The picture's measurements (bars, tolerant black, luma levels); null
    // when the picture was not measured (those conditions then read the
    // blackout flag, or do not hold).
    const PictureMeasures* measures = nullptr;
};

struct Event {
    int64_t id = 0;    // 1, 2, ... in the order the events open
    std::string type;  // "black", "freeze", "decode_error", "blur", ...
    std::string rule;  // id of the rule whose severity the event has
    Severity severity = Severity::Warning;
    Watch watch = Watch::Indicator;
    // The indicator the rule watches: its key ("temporal_activity" for
    // freeze); empty for black and decode_error.
    std::string indicator;
    double threshold = 0.0;  // as in the rule (freeze: the tolerance)
    int low = 5;             // luma_levels: the legal range
    int high = 246;
    Direction direction = Direction::Above;
    Statistic statistic = Statistic::None;
    bool relative = false;        // the threshold is a factor over the file's own level
    double statisticValue = 0.0;  // statistic rules: the value rated
    int64_t firstFrame = 0;
    int64_t lastFrame = 0;
    double startSeconds = 0.0;
    double endSeconds = 0.0;  // time of the frame after the last (its end for the last frame)
    std::optional<double> worstValue;  // the value furthest beyond the threshold
    int64_t worstFrame = -1;           // its frame; -1 without a worst value
    int64_t decodeErrors = 0;          // decode_error events: errors reported
    // Counting rules (max_count): the occurrences so far, and the most the
    // rule allows (-1: not a counting rule). The event spans them all.
    int64_t count = 0;
    int64_t maxCount = -1;
    bool open = false;  // still lasting (only while the detector is fed)
    EbuItem ebu;
    std::string message;  // one line

    int64_t frames() const { return lastFrame - firstFrame + 1; }
    double durationSeconds() const { return endSeconds - startSeconds; }
};

enum class Change { Open, Escalate, Close };

struct Verdict {
    bool pass = true;
    int64_t errors = 0;    // events of severity error
    int64_t warnings = 0;  // events of severity warning
    int64_t infos = 0;     // events of severity info (never fail)
};

class EventDetector {
  public:
    using Callback = std::function<void(Change, const Event&)>;

    // `fps` gives the last frame its duration when the times cannot (a single
    // frame). `callback`, when set, hears every change as it happens.
    EventDetector(Profile profile, double fps, Callback callback = {});
    ~EventDetector();
    EventDetector(const EventDetector&) = delete;
    EventDetector& operator=(const EventDetector&) = delete;

    void feed(const FrameInput& frame);
    // Live inputs, under a signal_loss rule: no picture came for the stall
    // timeout, frame `next` being the one expected, due at `seconds`. Opens a
    // signal_loss event covering no frame (last_frame is first_frame - 1)
    // with `message`; signalBack() closes it when frame `next` comes at
    // `seconds`, or the run ends (`next` as it was). Without such a rule, or
    // with a loss already open, signalLost() does nothing.
    void signalLost(int64_t next, double seconds, const std::string& message);
    void signalBack(int64_t next, double seconds, const std::string& message);
    // Damage reported after the last frame fed (the input ended on it):
    // counted on that frame. Does nothing before the first frame.
    void addDamage(int errors, std::string_view message);
    // Decoded input: `fps`, when positive, is the constant rate of the
    // stream's timestamps (frames_lost rules watch gaps between them);
    // `declaredEnd`, when positive, the time the stream ends at as its
    // container declares it (truncated rules compare the frames analysed
    // with it). Both before the first frame.
    void setTimeline(double fps, double declaredEnd);
    // The input ended the run with an error after the frames fed (`message`,
    // one line): a truncated event when it says the input is cut short, else
    // counted as damage on the last frame. Before finish().
    void inputEnded(const std::string& message);
    // Files: where the stream ends (seconds), so that the profile's
    // ignore_tail applies; before the first frame.
    void setEnd(double seconds);
    // The run stopped before the input ended (a stop signal, an output that
    // failed): the frames ending before the declared duration do not make
    // the input cut short. Before finish().
    void stoppedEarly();
    // Closes the runs still lasting and rates the statistic rules; later
    // calls do nothing.
    void finish();
    // Runs that never end (live inputs): decoding errors less than
    // `decodeHoldOff` seconds apart make one decode_error event, closed once
    // that long passed without one; statistic rules rate the last
    // `statisticFrames` frames with a value (0: all); the frames with
    // damage keep the last `damagedFrames` (0: all). Before the first frame.
    void setLiveLimits(double decodeHoldOff, size_t statisticFrames, size_t damagedFrames);

    const Profile& profile() const { return profile_; }
    // Once finished: the end of the last frame fed (seconds); 0 before.
    double analysedEnd() const { return analysedEnd_; }
    // Whether the ignored head and tail held every frame fed, and the rules
    // (by id) whose window starts after the last: they judged no frame.
    bool judgedNone() const;
    std::vector<std::string> rulesAfterTheEnd() const;
    // A finished detector holding what this one found so far (its events and
    // decoding errors): for documents written while a run goes on.
    std::unique_ptr<EventDetector> snapshot() const;
    // Every event so far, in the order they opened (statistic events last).
    const std::vector<Event>& events() const { return events_; }
    // Pass: no error event (and no warning event with failOnWarning).
    Verdict verdict(bool failOnWarning) const;
    // Decoding errors reported, and the frames they were reported on.
    int64_t decodeErrors() const { return decodeErrors_; }
    const std::vector<int64_t>& damagedFrames() const { return damagedFrames_; }
    // Ids of the rules whose condition began a run on the frame last fed (so
    // that a caller can keep that frame's picture until the run turns into
    // an event or ends); the run may start one frame earlier (freeze).
    const std::vector<std::string>& runsStarted() const { return runsStarted_; }

  private:
    struct Ladder;
    struct StatisticRule;

    Holds condition(const Ladder& ladder, const FrameInput& frame, double& value) const;
    bool inWindow(const Rule& rule, double seconds) const;
    bool bridges(const Ladder& ladder, const FrameInput& frame) const;
    Holds relativeHolds(const Ladder& ladder, const FrameInput& frame, double value) const;
    static bool overOwnLevel(const Rule& rule);
    void followLevel(Ladder& ladder, const FrameInput& frame, Holds holds);
    bool heldStill(const Ladder& ladder) const;
    void updateLeader(const FrameInput& frame);
    void advance(Ladder& ladder, double duration);
    void countRun(Ladder& ladder, double duration);
    Event newEvent(const Rule& base) const;
    void close(Ladder& ladder);
    void describe(Event& event) const;
    void followScan(const FrameInput& frame);
    void rateScan(double end);
    // An event of `rule` rated at once: it covers no frame (it lies before
    // frame `next`) unless `last` is given (frames `next` to `last`).
    void pointEvent(const Rule& rule, int64_t next, double start, double end,
                    const std::string& message, std::optional<int64_t> last = std::nullopt);

    Profile profile_;
    double fps_;
    Callback callback_;
    std::vector<Ladder> ladders_;
    // Per frame, by event type (Ladder::type): whether a ladder of that type
    // holds; the type "bars" among them, when a ladder watches it.
    std::vector<char> typesHolding_;
    std::vector<size_t> barsType_;
    std::vector<StatisticRule> statistics_;
    std::optional<Rule> lossRule_;  // the signal_loss rule (the strongest, if several)
    std::optional<Rule> lostRule_;  // the frames_lost rule (likewise)
    std::optional<Rule> cutRule_;   // the truncated rule (likewise)
    std::optional<Rule> scanRule_;  // the scan_type rule (likewise)
    // Scan type: frames that told it, woven ones among them (and which field
    // came first), the first woven frame and the last with its end.
    struct Scan {
        int64_t told = 0;
        int64_t woven = 0;
        int64_t topFirst = 0;
        int64_t bottomFirst = 0;
        int64_t first = -1;
        double start = 0.0;
        int64_t last = -1;
        double end = 0.0;
    } scan_;
    int64_t lossEvent_ = -1;  // index of the open signal_loss event in events_
    std::vector<Event> events_;
    std::vector<std::string> runsStarted_;
    int64_t frames_ = 0;
    int64_t firstIndex_ = 0;
    double firstSeconds_ = 0.0;
    int64_t lastIndex_ = -1;
    double lastSeconds_ = 0.0;
    double previousSeconds_ = 0.0;  // time of the frame before the last one
    int64_t decodeErrors_ = 0;
    std::vector<int64_t> damagedFrames_;
    bool finished_ = false;
    double analysedEnd_ = 0.0;
    // Per frame: black by the blackout flag or any black rule, in the
    // leader, judged at all (not in the ignored head or tail).
    bool blackNow_ = false;
    bool barsNow_ = false;
    // Block loss counted half a block off the grid (blockEdgesOff) on the
    // pictures of the last kOffGridMemory seconds that measured it, and the
    // most of them before this frame.
    std::vector<std::pair<double, double>> offGrid_;
    double recentOffGrid_ = 0.0;
    bool stripesBefore_ = false;  // the last picture: stripes, moving (a cut to bars?)
    bool leaderNow_ = false;
    bool judged_ = true;
    bool judgedBefore_ = true;  // judged_ of the frame before
    bool judgedAny_ = false;    // judged_ of a frame fed
    // Bars from the first frame, then black and still cards (a slate), in
    // any order; Cut is the first picture after them, a card or programme.
    enum class Leader { Start, Bars, Black, Cut, Card, Done } leader_ = Leader::Start;
    double leaderBlackStart_ = 0.0;
    double leaderCardStart_ = 0.0;
    // A card of the leader (or the picture cut to after it) is no more the
    // file's content than bars are: it makes no relative level.
    bool leaderCard() const { return leader_ == Leader::Cut || leader_ == Leader::Card; }
    double ignoreHead_ = 0.0;
    double ignoreTail_ = 0.0;
    double streamEnd_ = 0.0;
    double streamFps_ = 0.0;
    struct Gap {
        int64_t index;  // the frame after the gap
        double previous;
        double next;
    };
    std::vector<Gap> gaps_;
    int64_t intervals_ = 0;
    int64_t irregular_ = 0;
    double declaredEnd_ = 0.0;
    std::string truncation_;  // what the input said when it ended cut short
    double decodeHoldOff_ = 0.0;
    size_t statisticFrames_ = 0;
    size_t damagedFramesKept_ = 0;
};

}  // namespace lumaqc::qc
