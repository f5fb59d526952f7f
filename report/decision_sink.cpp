#include "report/decision_sink.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "indicators/indicator_id.h"
#include "io/display_name.h"
#include "qc/conditions.h"
#include "qc/picture_measures.h"
#include "qc/timecode.h"

namespace lumaqc {

namespace {

using Json = nlohmann::ordered_json;

// Damage reports printed as they come; the rest are counted.
constexpr int64_t kShownReports = 3;

Json real(double v) {
    return std::isfinite(v) ? Json(v) : Json(nullptr);
}

// Times in documents: to the millisecond, without the noise of binary
// fractions (10.2, not 10.200000000000001).
Json seconds(double v) {
    return real(qc::roundMillis(v));
}

Json eventJson(const qc::Event& e, const qc::TimecodeClock& clock) {
    Json ebu = nullptr;
    if (!e.ebu.name.empty() || !e.ebu.id.empty()) {
        ebu = Json::object();
        if (!e.ebu.id.empty()) ebu["id"] = e.ebu.id;
        ebu["name"] = e.ebu.name;
    }
    const bool statistic = e.statistic != qc::Statistic::None;
    const qc::Condition& condition = qc::conditionOf(e.watch);
    const bool hasThreshold = (condition.keys & qc::kThresholdKey) != 0;
    const std::string measure = !e.indicator.empty()           ? e.indicator
                                : condition.measure != nullptr ? condition.measure
                                                               : "";
    Json event{{"id", e.id},
               {"type", e.type},
               {"severity", qc::severityName(e.severity)},
               {"rule", e.rule},
               {"indicator", e.indicator.empty() ? Json(nullptr) : Json(e.indicator)},
               {"threshold", hasThreshold ? real(e.threshold) : Json(nullptr)},
               {"direction", hasThreshold ? Json(qc::directionName(e.direction)) : Json(nullptr)},
               {"statistic", statistic ? Json(qc::statisticName(e.statistic)) : Json(nullptr)},
               {"statistic_value", statistic ? real(e.statisticValue) : Json(nullptr)},
               {"first_frame", e.firstFrame},
               {"last_frame", e.lastFrame},
               {"frames", e.frames()},
               {"start_seconds", seconds(e.startSeconds)},
               {"end_seconds", seconds(e.endSeconds)},
               {"duration_seconds", seconds(e.durationSeconds())},
               {"start_timecode", clock.valid() ? Json(clock.at(e.startSeconds)) : Json(nullptr)},
               {"end_timecode", clock.valid() ? Json(clock.at(e.endSeconds)) : Json(nullptr)},
               {"worst_value", e.worstValue ? real(*e.worstValue) : Json(nullptr)},
               {"worst_frame", e.worstFrame >= 0 ? Json(e.worstFrame) : Json(nullptr)},
               {"decode_errors", condition.decodeErrors ? Json(e.decodeErrors) : Json(nullptr)},
               {"ebu_item", ebu},
               {"message", e.message}};
    if (hasThreshold) event["measure"] = measure;
    if (e.relative) event["relative"] = true;
    if (e.watch == qc::Watch::LumaLevels) {
        event["low"] = e.low;
        event["high"] = e.high;
    }
    if (e.maxCount >= 0) {
        event["count"] = e.count;
        event["max_count"] = e.maxCount;
    }
    return event;
}

Json ruleJson(const qc::Rule& r) {
    Json ebu = nullptr;
    if (!r.ebu.name.empty() || !r.ebu.id.empty()) {
        ebu = Json::object();
        if (!r.ebu.id.empty()) ebu["id"] = r.ebu.id;
        ebu["name"] = r.ebu.name;
    }
    const std::optional<IndicatorId> watched = qc::watchedIndicator(r);
    const qc::Condition& condition = qc::conditionOf(r.watch);
    const bool hasThreshold = (condition.keys & qc::kThresholdKey) != 0;
    Json rule{
        {"id", r.id},
        {"type", r.type},
        {"watch", qc::watchName(r.watch)},
        {"indicator", watched ? Json(indicatorKey(*watched)) : Json(nullptr)},
        {"threshold", hasThreshold ? real(r.threshold) : Json(nullptr)},
        {"direction", hasThreshold ? Json(qc::directionName(r.direction)) : Json(nullptr)},
        {"statistic",
         r.statistic != qc::Statistic::None ? Json(qc::statisticName(r.statistic)) : Json(nullptr)},
        {"min_duration", r.minDuration},
        {"severity", qc::severityName(r.severity)},
        {"not_during", r.notDuring},
        {"ebu_item", ebu}};
    if (hasThreshold) rule["measure"] = qc::thresholdMeasure(r);
    if (r.relative) rule["relative"] = true;
    if ((condition.keys & qc::kBlackLevelKeys) != 0 && r.maxLevel >= 0) {
        rule["max_level"] = r.maxLevel;
        rule["min_share"] = real(r.minShare);
    }
    if ((condition.keys & qc::kLumaRangeKeys) != 0) {
        rule["low"] = r.low;
        rule["high"] = r.high;
    }
    if (r.strict) rule["longer_than"] = r.minDuration;
    if (!r.inLeader) rule["in_leader"] = false;
    if (!r.from.empty()) rule["from"] = r.from;
    if (!r.to.empty()) rule["to"] = r.to;
    if (r.gridRatio != qc::Rule{}.gridRatio) rule["grid_ratio"] = real(r.gridRatio);
    if (r.gridShare != qc::Rule{}.gridShare) rule["grid_share"] = real(r.gridShare);
    if (r.maxCount >= 0) rule["max_count"] = r.maxCount;
    return rule;
}

const char* changeName(qc::Change change) {
    switch (change) {
        case qc::Change::Open:
            return "open";
        case qc::Change::Escalate:
            return "escalate";
        case qc::Change::Close:
            break;
    }
    return "close";
}

// "40, 41-47, 60" (at most `limit` ranges, then "...").
std::string frameRanges(const std::vector<int64_t>& frames, size_t limit) {
    std::string text;
    size_t ranges = 0;
    for (size_t i = 0; i < frames.size();) {
        size_t j = i;
        while (j + 1 < frames.size() && frames[j + 1] == frames[j] + 1) ++j;
        if (ranges++ == limit) {
            text += ", ...";
            break;
        }
        if (!text.empty()) text += ", ";
        text += std::to_string(frames[i]);
        if (j > i) {
            text += '-';
            text += std::to_string(frames[j]);
        }
        i = j + 1;
    }
    return text;
}

// The wall-clock time now, ISO 8601 UTC with milliseconds.
std::string utcNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm utc{};
    gmtime_r(&ts.tv_sec, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ts.tv_nsec / 1000000));
    return text;
}

std::string plural(int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The measures of one picture, taken on the thread that computes its
// indicators.
class MeasuresWork : public PictureWork {
  public:
    MeasuresWork(bool fields, double blockLossFloor, const qc::LumaLevels& levels,
                 std::vector<qc::Rule> blackRules, double freezeFloor)
        : fields_(fields),
          blockLossFloor_(blockLossFloor),
          levels_(levels),
          blackRules_(std::move(blackRules)),
          freezeFloor_(freezeFloor) {}
    void measure(const LumaPicture& picture, const LumaPicture* previous,
                 const FrameValues& values) override {
        const bool fields = fields_ && previous != nullptr;
        // The block edges only tell a rule whether a frame whose block loss
        // is beyond its threshold counts: below every such threshold they
        // change nothing, and they cost a pass of their own.
        const double loss = values[kBlockLoss];
        const bool edges = !(std::isfinite(loss) && loss >= 0.0 && loss <= blockLossFloor_);
        measures = qc::measurePicture(picture.data, picture.width, picture.height, picture.stride,
                                      fields ? previous->data : nullptr,
                                      fields ? previous->stride : 0, edges, levels_);
        // Whether text rolls over it tells only a black rule, on the
        // pictures it reads as black.
        if (previous != nullptr && previous->width == picture.width &&
            previous->height == picture.height &&
            std::any_of(blackRules_.begin(), blackRules_.end(),
                        [&](const qc::Rule& r) { return qc::darkEnough(r, measures); })) {
            qc::measureScroll(measures, picture.data, picture.stride, previous->data,
                              previous->stride);
        }
        // A picture held under a crawl tells only a freeze rule, on the
        // pictures the whole of which moves more than it holds a picture.
        if (previous != nullptr && previous->width == picture.width &&
            previous->height == picture.height && values[kTemporalActivity] > freezeFloor_) {
            qc::measureCrawl(measures, picture.data, picture.stride, previous->data,
                             previous->stride);
        }
    }
    qc::PictureMeasures measures;

  private:
    bool fields_;
    double blockLossFloor_;
    qc::LumaLevels levels_;             // those the rules read
    std::vector<qc::Rule> blackRules_;  // those reading shares of the picture
    double freezeFloor_;                // the least freeze tolerance; none: infinity
};

// The block loss at or below which no rule of the profile can hold on a
// frame: the least threshold of the per-frame rules watching it above
// (relative ones may hold under their factor: none then); no such rule,
// any value.
double blockLossFloor(const qc::Profile& profile) {
    double floor = std::numeric_limits<double>::infinity();
    for (const qc::Rule& r : profile.rules) {
        if (r.watch != qc::Watch::Indicator || r.indicator != kBlockLoss ||
            r.direction != qc::Direction::Above || r.statistic != qc::Statistic::None) {
            continue;
        }
        floor =
            r.relative ? -std::numeric_limits<double>::infinity() : std::min(floor, r.threshold);
    }
    return floor;
}

}  // namespace

DecisionSink::DecisionSink(qc::Profile profile, std::string source, bool failOnWarning,
                           std::string input, FILE* diagnostics)
    : profile_(std::move(profile)),
      source_(std::move(source)),
      failOnWarning_(failOnWarning),
      input_(printableName(input)),  // shown in messages
      diagnostics_(diagnostics),
      fields_(std::any_of(profile_.rules.begin(), profile_.rules.end(),
                          [](const qc::Rule& r) { return r.watch == qc::Watch::ScanType; })) {
    detector_ = std::make_unique<qc::EventDetector>(profile_, 0.0);
}

DecisionSink::~DecisionSink() = default;

bool DecisionSink::openEvents(const std::string& path) {
    if (open("the events file", path)) return true;
    file_.reset();
    return false;
}

// The events file replaces an earlier one with the first frame or the first
// event (a live input's signal loss comes before any frame).
bool DecisionSink::startEvents() {
    if (file_ == nullptr || eventsFailed_ || start()) return !eventsFailed_;
    eventsFailed_ = true;
    return false;
}

bool DecisionSink::writeLine(const std::string& line) {
    if (file_ == nullptr || eventsFailed_) return !eventsFailed_;
    if (!ended_ && !startEvents()) return false;
    if (!write(line + "\n")) {
        eventsFailed_ = true;
        return false;
    }
    return true;
}

bool DecisionSink::begin(const RunInfo& run) {
    std::lock_guard<std::mutex> lock(mutex_);
    // The detector hears the changes from the first frame on.
    detector_ = std::make_unique<qc::EventDetector>(
        profile_, run.fps,
        [this](qc::Change change, const qc::Event& event) { heard(change, event); });
    detector_->setLiveLimits(decodeHoldOff_, statisticFrames_, damagedFrames_);
    bool tailKnown = false;
    if (run.source != nullptr) {
        const SourceInfo& source = *run.source;
        stream_ = source;
        clock_ = qc::TimecodeClock(source.startTimecode,
                                   source.fpsKnown && source.fps > 0.0 ? source.fps : run.fps);
        // Timestamps and a declared duration come with decoded video only;
        // gaps mean lost frames only where frames are evenly spaced, and the
        // declared end applies to runs over the whole file.
        // Regular files only: a live stream's pauses are signal losses.
        const bool decoded = source.kind == "decoder" && source.file.sizeBytes >= 0;
        const bool evenly = decoded && source.frameRateKind == "constant" && source.fpsKnown;
        const bool whole =
            run.start == 0 && (run.frames < 0 || source.frames < 0 || run.frames >= source.frames);
        detector_->setTimeline(evenly ? source.fps : 0.0,
                               decoded && whole ? source.durationSeconds : 0.0);
        // Where the file ends, for ignore_tail.
        if (source.durationSeconds > 0.0) {
            detector_->setEnd(source.durationSeconds);
            tailKnown = true;
        } else if (source.frames > 0 && run.fps > 0.0) {
            detector_->setEnd(static_cast<double>(source.frames) / run.fps);
            tailKnown = true;
        }
    } else {
        clock_ = qc::TimecodeClock("", run.fps);
    }
    // Events are told as they happen: a tail counted back from an end that
    // is not known until it comes (a live input) cannot be left out.
    // The program says so at once; others find it among the notes.
    tailNote_.clear();
    if (!tailKnown && !profile_.ignoreTail.empty()) {
        const bool file = run.source != nullptr && run.source->file.sizeBytes >= 0;
        tailNote_ = "lumaqc: " + (input_ == "-" ? std::string("standard input") : input_) + ": " +
                    qc::unknownEndTailNote(profile_, !file);
        if (diagnostics_ != nullptr) {
            std::fprintf(diagnostics_, "%s\n", tailNote_.c_str());
            tailNote_.clear();
        }
    }
    return !run.noFrameAsked || startEvents();
}

void DecisionSink::setLiveLimits(double decodeHoldOff, size_t statisticFrames,
                                 size_t damagedFrames) {
    std::lock_guard<std::mutex> lock(mutex_);
    decodeHoldOff_ = decodeHoldOff;
    statisticFrames_ = statisticFrames;
    damagedFrames_ = damagedFrames;
}

// A change of an event, from the detector (mutex_ held).
void DecisionSink::heard(qc::Change change, const qc::Event& event) {
    Json record{{"record", changeName(change)}};
    record.update(eventJson(event, clock_));
    if (listener_) record["wall_time"] = wallTime_.empty() ? utcNow() : wallTime_;
    const std::string line = record.dump(-1, ' ', false, Json::error_handler_t::replace);
    writeLine(line);
    if (listener_) listener_(change, event, line);
}

void DecisionSink::setLive(Listener listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

void DecisionSink::signalLost(int64_t next, double seconds, const std::string& message,
                              const std::string& wallTime) {
    std::lock_guard<std::mutex> lock(mutex_);
    wallTime_ = wallTime;
    detector_->signalLost(next, seconds, message);
    wallTime_.clear();
}

void DecisionSink::signalBack(int64_t next, double seconds, const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    detector_->signalBack(next, seconds, message);
}

std::unique_ptr<DecisionSink> DecisionSink::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto copy = std::make_unique<DecisionSink>(profile_, source_, failOnWarning_, input_, nullptr);
    copy->detector_ = detector_->snapshot();
    copy->clock_ = clock_;
    copy->stream_ = stream_;
    copy->analysedEnd_ = detector_->analysedEnd();
    copy->lastFrame_ = lastFrame_;
    copy->ended_ = true;
    return copy;
}

qc::Verdict DecisionSink::verdict() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return detector_->verdict(failOnWarning_);
}

void DecisionSink::report(int64_t frame, int damage, const std::string& message) {
    if (diagnostics_ == nullptr) return;
    if (reports_ < kShownReports) {
        std::fprintf(diagnostics_, "lumaqc: damaged input: %s at frame %lld of %s: %s\n",
                     plural(damage, "decoding error", "decoding errors").c_str(),
                     static_cast<long long>(frame), input_.c_str(), message.c_str());
    } else if (reports_ == kShownReports) {
        std::fprintf(diagnostics_,
                     "lumaqc: damaged input: further decoding errors are counted "
                     "and summed up at the end\n");
    }
    ++reports_;
}

std::unique_ptr<PictureWork> DecisionSink::pictureWork() const {
    std::vector<qc::Rule> black;
    for (const qc::Rule& r : profile_.rules) {
        if (r.watch == qc::Watch::Black && r.maxLevel >= 0) black.push_back(r);
    }
    double freeze = std::numeric_limits<double>::infinity();
    for (const qc::Rule& r : profile_.rules) {
        if (r.watch == qc::Watch::Freeze) freeze = std::min(freeze, r.threshold);
    }
    return std::make_unique<MeasuresWork>(fields_, blockLossFloor(profile_),
                                          qc::lumaLevelsOf(profile_), std::move(black), freeze);
}

void DecisionSink::measured(const FrameMeta& meta, const PictureWork& work) {
    const auto* mine = dynamic_cast<const MeasuresWork*>(&work);
    if (mine == nullptr) return;
    std::lock_guard<std::mutex> lock(mutex_);
    measures_ = mine->measures;
    measuredFrame_ = meta.index;
}

bool DecisionSink::frame(const FrameMeta& meta, const FrameValues& values) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (meta.damage > 0) report(meta.index, meta.damage, meta.damageMessage);
    qc::FrameInput input;
    input.index = meta.index;
    input.seconds = meta.seconds;
    input.values = &values;
    input.first = lastFrame_ < 0;
    input.decodeErrors = meta.damage;
    input.decodeMessage = meta.damageMessage;
    input.quantiser = meta.quantiser;
    input.interlaced = stream_.scanType == "interlaced";
    input.fullRange = meta.fullRange < 0 ? stream_.fullRange : meta.fullRange == 1;
    input.measures = measuredFrame_ == meta.index ? &measures_ : nullptr;
    startEvents();
    detector_->feed(input);
    lastFrame_ = meta.index;
    return !eventsFailed_;
}

bool DecisionSink::end(const RunSummary& summary) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return !eventsFailed_;
    ended_ = true;
    if (summary.damage > 0 && lastFrame_ >= 0) {
        report(lastFrame_, summary.damage, summary.damageMessage);
        detector_->addDamage(summary.damage, summary.damageMessage);
    }
    if (!summary.inputError.empty() && lastFrame_ >= 0) {
        std::string message = summary.inputError;
        while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
            message.pop_back();
        }
        detector_->inputEnded(message);
    }
    // Stopped before the input ended (a signal, an output that failed): the
    // frames not read are not missing from the file.
    if (!summary.complete && summary.inputError.empty()) detector_->stoppedEarly();
    detector_->finish();
    analysedEnd_ = detector_->analysedEnd();
    const qc::Verdict v = detector_->verdict(failOnWarning_);
    writeLine(Json{
        {"record", "verdict"},
        {"result", v.pass ? "pass" : "fail"},
        {"errors", v.errors},
        {"warnings", v.warnings},
        {"infos",
         v.infos}}.dump());
    // Never started (no frame): an earlier file is left as it was.
    // A failed close after a failed write is not reported again.
    if (file_ != nullptr && !(eventsFailed_ ? file_->close() : close())) eventsFailed_ = true;
    return !eventsFailed_;
}

std::string DecisionSink::consoleText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const qc::Verdict v = detector_->verdict(failOnWarning_);
    std::string text = "\nQC verdict: " + std::string(v.pass ? "PASS" : "FAIL") + " (profile " +
                       source_ + "): " + plural(v.errors, "error", "errors") + ", " +
                       plural(v.warnings, "warning", "warnings");
    if (v.infos > 0) text += ", " + plural(v.infos, "note", "notes");
    text += "\n";
    for (const qc::Event* e : eventsBySeverity()) text += "  " + eventLine(*e) + "\n";
    return text;
}

std::vector<const qc::Event*> DecisionSink::eventsBySeverity() const {
    std::vector<const qc::Event*> events;
    for (const qc::Event& e : detector_->events()) events.push_back(&e);
    std::stable_sort(events.begin(), events.end(), [](const qc::Event* a, const qc::Event* b) {
        return a->severity > b->severity;
    });
    return events;
}

std::string DecisionSink::eventLine(const qc::Event& e) const {
    std::string where;
    if (clock_.valid()) {
        where = clock_.at(e.startSeconds);
        if (e.endSeconds > e.startSeconds) {
            where += '-';
            where += clock_.at(e.endSeconds);
        }
        where += " (";
    }
    where += qc::millisText(e.startSeconds);
    if (e.endSeconds > e.startSeconds) {
        where += '-';
        where += qc::millisText(e.endSeconds);
    }
    where += " s";
    if (clock_.valid()) where += ")";
    if (e.frames() > 0) {
        where += ", frames " + std::to_string(e.firstFrame) + "-" + std::to_string(e.lastFrame);
    } else {  // a loss or a gap between two frames, or the missing end
        where += ", before frame " + std::to_string(e.firstFrame);
    }
    std::string line = std::string(qc::severityName(e.severity)) + " " + e.type + " (" + e.rule +
                       "), " + where + ": " + e.message;
    if (!e.ebu.name.empty()) line += " [" + e.ebu.name + "]";
    return line;
}

Json DecisionSink::document() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Json rules = Json::array();
    for (const qc::Rule& r : profile_.rules) rules.push_back(ruleJson(r));
    const qc::Verdict v = detector_->verdict(failOnWarning_);
    Json events = Json::array();
    for (const qc::Event& e : detector_->events()) events.push_back(eventJson(e, clock_));
    return Json{
        {"profile",
         {{"name", profile_.name},
          {"source", source_},
          {"description", profile_.description},
          {"fail_on", failOnWarning_ ? "warning" : "error"},
          {"rules", rules}}},
        {"stream",
         {{"start_timecode",
           stream_.startTimecode.empty() ? Json(nullptr) : Json(stream_.startTimecode)},
          {"scan_type", stream_.scanType.empty() ? Json(nullptr) : Json(stream_.scanType)},
          {"field_order", stream_.fieldOrder.empty() ? Json(nullptr) : Json(stream_.fieldOrder)},
          {"declared_duration_seconds",
           stream_.durationSeconds > 0.0 ? seconds(stream_.durationSeconds) : Json(nullptr)},
          {"analysed_duration_seconds",
           analysedEnd_ > 0.0 ? seconds(analysedEnd_) : Json(nullptr)}}},
        {"verdict",
         {{"result", v.pass ? "pass" : "fail"},
          {"errors", v.errors},
          {"warnings", v.warnings},
          {"infos", v.infos}}},
        {"events", events},
        {"decode_errors",
         {{"count", detector_->decodeErrors()}, {"frames", detector_->damagedFrames()}}}};
}

std::string DecisionSink::damageSummary() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t errors = detector_->decodeErrors();
    if (errors == 0) return "";
    const std::vector<int64_t>& frames = detector_->damagedFrames();
    return "lumaqc: " + input_ +
           " is damaged: " + plural(errors, "decoding error", "decoding errors") + " at " +
           plural(static_cast<int64_t>(frames.size()), "frame", "frames") + " (" +
           frameRanges(frames, 10) + "); the frames the decoder delivered were analysed";
}

std::vector<std::string> DecisionSink::unjudgedNotes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    if (!ended_) return lines;
    if (!tailNote_.empty()) lines.push_back(tailNote_);
    const std::string end = " (" + qc::secondsText(analysedEnd_) + ")";
    const std::string counted =
        stream_.startTimecode.empty()
            ? ""
            : "; times count from the start of the input, not from its timecode " +
                  stream_.startTimecode;
    if (detector_->judgedNone()) {
        std::string parts;
        if (!profile_.ignoreHead.empty()) parts = "head (" + profile_.ignoreHead + ")";
        if (!profile_.ignoreTail.empty()) {
            parts +=
                (parts.empty() ? "" : " and ") + std::string("tail (") + profile_.ignoreTail + ")";
        }
        const bool both = !profile_.ignoreHead.empty() && !profile_.ignoreTail.empty();
        lines.push_back("lumaqc: the ignored " + parts + (both ? " cover" : " covers") +
                        " the whole of " + input_ + end + ": no rule judged a frame" + counted);
        return lines;
    }
    for (const std::string& id : detector_->rulesAfterTheEnd()) {
        const auto rule = std::find_if(profile_.rules.begin(), profile_.rules.end(),
                                       [&id](const qc::Rule& r) { return r.id == id; });
        lines.push_back("lumaqc: rule '" + id + "' judged no frame of " + input_ + ": its from (" +
                        rule->from + ") lies after the input's end" + end + counted);
    }
    return lines;
}

}  // namespace lumaqc
