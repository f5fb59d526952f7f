// QC profiles: the rules that turn per-frame indicator values into events and
// a verdict. A profile is written in TOML (see defaultProfileText() for a
// complete example, the built-in profile); each [[rule]] names what it watches
// (an indicator, or the black, freeze or decode_error condition), a threshold
// with its direction, a minimum duration in seconds and a severity, and may
// rate a whole-file statistic instead of runs of frames. Where a rule
// implements an item of the EBU's catalogue of QC test items, it carries the
// item's name (and id) so that events say which check they come from.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "indicators/indicator_id.h"

namespace lumaqc::qc {

// Info events are noted (bars at the head, say) and never fail a file.
enum class Severity { Info, Warning, Error };
enum class Direction { Above, Below };

// What a rule watches.
enum class Watch {
    Indicator,    // one indicator's value, per frame or as a whole-file statistic
    Black,        // pictures flagged as blackout (flat pictures)
    Freeze,       // held pictures: exact repeats and near repeats
    DecodeError,  // frames the decoder reported as damaged
    SignalLoss,   // live inputs: no picture for the stall timeout (--stall-timeout)
    FramesLost,   // a gap in the timestamps of a constant-rate stream
    Truncated,    // the input ends before the duration its container declares
    Bars,         // colour bars or a like test pattern of vertical stripes
    LumaLevels,   // share of the picture outside the legal luma range
    Quantiser,    // blocking told by the stream: the pictures' quantiser (H.264's scale)
    ScanType,     // woven fields in a stream not declared interlaced (rated over the run)
};

// Whole-file statistics over the frames with a value (nearest-rank percentiles).
enum class Statistic { None, Mean, Min, Max, P5, P50, P95 };

struct EbuItem {
    std::string id;    // empty when not given
    std::string name;  // empty when the rule matches no catalogue item

    bool operator==(const EbuItem&) const = default;
};

struct Rule {
    std::string id;    // unique within the profile
    std::string type;  // event type: "black", "freeze", "decode_error", "blur", ...
    Watch watch = Watch::Indicator;
    IndicatorId indicator = kBlockiness;  // Watch::Indicator only
    // Indicator rules: the limit. Freeze: the temporal activity up to which a
    // picture counts as held (0 for exact repeats only). Unused otherwise.
    double threshold = 0.0;
    Direction direction = Direction::Above;
    double minDuration = 0.0;  // seconds; per-frame rules only
    Severity severity = Severity::Warning;
    Statistic statistic = Statistic::None;
    // Event types whose condition, on a frame, keeps this rule from counting
    // that frame (cross-talk: blur reads as block loss, for instance).
    std::vector<std::string> notDuring;
    EbuItem ebu;
    // Black with a tolerance: a picture is black when at least `minShare`
    // percent of it is at or below luma `maxLevel` (a logo or burnt-in
    // timecode leaves it black). Unset (-1): the flat-picture blackout flag.
    int maxLevel = -1;
    double minShare = -1.0;
    // Luma levels: samples below `low` or above `high` are outside the legal
    // range; `threshold` is the percent of the picture they may cover.
    int low = 5;
    int high = 246;
    // False: frames of the leader (bars from the first frame, and the black
    // and still cards after them, up to 10 s each) do not count.
    bool inLeader = true;
    // "longer than": the run must last more than minDuration (not at least).
    bool strict = false;
    // Indicator rules watching values above: the threshold is a factor over
    // the file's own level of the indicator (the median of the last 10 s of
    // frames the rule did not flag, taken as at least 1), not a value.
    bool relative = false;
    // Blockiness statistics watched below: the file is rated only where the
    // block grid stands out on its pictures beyond the threshold, their
    // median grid ratio at least `gridRatio` and the median share of the
    // grid positions that step at least `gridShare` percent (gridStepsOf).
    // Clean test patterns whose flat squares meet on the grid (testsrc,
    // rgbtestsrc, yuvtestsrc in x264, x265, VP9 and MPEG-2) read ratios of
    // 1.0 to 2.0; the blocky files the statistic finds 6.3 (testsrc in
    // MPEG-2 at -q:v 31) and more (docs/qc.md).
    double gridRatio = 3.0;
    double gridShare = 0.0;
    // Counting: each run that lasts the minimum duration is an occurrence,
    // not an event; the rule raises one event once the file has more than
    // `maxCount` occurrences. -1: every run is an event.
    int64_t maxCount = -1;
    // Where the rule applies: from `from` to `to` (seconds, or "HH:MM:SS:FF"
    // from the start; empty: the whole file).
    std::string from;
    std::string to;

    bool operator==(const Rule&) const = default;
};

struct Profile {
    std::string name;
    std::string description;
    // Seconds (or "HH:MM:SS:FF") at the head and the tail that no rule judges;
    // empty for none.
    std::string ignoreHead;
    std::string ignoreTail;
    std::vector<Rule> rules;

    bool operator==(const Profile&) const = default;
};

const char* severityName(Severity severity);     // "info", "warning", "error"
const char* directionName(Direction direction);  // "above", "below"
const char* statisticName(Statistic statistic);  // "mean", "p5", ...; "" for None
// "indicator", "black", "freeze", "decode_error", "signal_loss", "frames_lost",
// "truncated", "bars", "luma_levels", "blocking", "scan_type"
const char* watchName(Watch watch);
// The event type an indicator rule gets when the profile names none
// ("blocking" for blockiness, "combing" for interlace, ...).
std::string defaultEventType(IndicatorId id);

// True when a rule of `profile` watches the pictures' quantiser (which the
// decoder then exports).
bool watchesQuantiser(const Profile& profile);

// A time of `profile` (ignore_head, ignore_tail, a rule's from or to) that
// is a timecode with more frames than a second holds at `fps`
// ("00:00:05:30" at 25), as "ignore_head 00:00:05:30 is not a timecode at
// 25 frames a second"; empty when there is none.
std::string timecodeBeyondRate(const Profile& profile, double fps);

// What a run says of the profile's ignore_tail when the input's end is not
// known until it comes (a live input, or a file that declares neither its
// duration nor its frames), so that no tail can be left out: "ignore_tail
// (2.0) does not apply to a live input ..."; empty without an ignore_tail.
std::string unknownEndTailNote(const Profile& profile, bool live);

// The temporal activity up to which the default profile takes a picture as
// held (calibrated on H.264 and HEVC holds and a static camera; see README).
inline constexpr double kDefaultFreezeTolerance = 1.0;

// The text of the built-in profile "default" (TOML, with comments).
const std::string& defaultProfileText();
const Profile& defaultProfile();

// Parses a profile. `source` names it in messages (a file path, or "default").
// On a fault returns nothing and sets `error` to one line without line feed:
// "profile FILE, line N: what is wrong with which key".
std::optional<Profile> parseProfile(const std::string& text, const std::string& source,
                                    std::string& error);

// The largest profile file read: far beyond any real profile (the built-in
// one is a few KiB), small enough that a device or a runaway file is refused
// at once instead of read until memory runs out.
inline constexpr size_t kMaxProfileBytes = size_t{1} << 20;

// Reads a profile: the built-in one by its name ("default"), else the TOML
// file at `path` (a FIFO or a device too, read to its end or to the limit).
// On a fault returns nothing and sets `error` to one line without line feed.
// A read interrupted by a signal is taken up again unless `stop` (when given)
// is set; `interrupted` (when given) then tells the caller so.
std::optional<Profile> loadProfile(const std::string& path, std::string& error,
                                   const std::atomic<int>* stop = nullptr,
                                   bool* interrupted = nullptr);

// The profile as TOML that parseProfile() reads back into the same profile.
std::string profileToToml(const Profile& profile);

// The shortest text that reads back as the same double, always with a point
// or an exponent so that TOML reads a float.
std::string tomlReal(double v);

}  // namespace lumaqc::qc
