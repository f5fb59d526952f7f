#include "report/html_sink.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>

#include "indicators/registry.h"
#include "io/display_name.h"
#include "qc/conditions.h"
#include "qc/detector.h"
#include "report/decision_sink.h"
#include "report/provenance.h"
#include "report/report_assets.h"
#include "report/text_report.h"

namespace lumaqc {

namespace {

std::string fixed(double v, int decimals) {
    char text[512];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

// Shortest text of `v` at `decimals`: trailing zeros and a bare point dropped.
std::string compactNumber(double v, int decimals) {
    std::string text = fixed(v, decimals);
    if (text.find('.') != std::string::npos) {
        text.erase(text.find_last_not_of('0') + 1);
        if (text.back() == '.') text.pop_back();
    }
    if (text == "-0") text = "0";
    return text;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '<') {
            out += "\\u003c";  // never "</script>" inside the data block
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string intervalsJson(const std::vector<FrameInterval>& intervals) {
    std::string out = "[";
    for (size_t i = 0; i < intervals.size(); ++i) {
        if (i > 0) out += ',';
        out += '[' + std::to_string(intervals[i].first) + ',' + std::to_string(intervals[i].last) +
               ']';
    }
    return out + "]";
}

// Charts of long runs hold at most this many points per series: the frames
// in buckets, each bucket drawn as its lowest and highest value (in the order
// they come), so that a one-frame spike survives.
constexpr size_t kChartPoints = 4000;

// The chart data: first frame, frame count, frame rate, intervals and one
// array of values per indicator in column order, null where a frame has none.
// A long run's series are decimated and the frame of each point given in "x".
std::string chartData(const ResultsRecorder& recorder, double fps,
                      const std::vector<FrameInterval>& frozen, const std::string& decision) {
    const size_t count = recorder.size();
    const size_t bucket =
        count > kChartPoints ? (count + kChartPoints / 2 - 1) / (kChartPoints / 2) : 1;
    std::string out = "{\"first\":";
    out += std::to_string(count > 0 ? recorder.frameIndex(0) : 0);
    out += ",\"count\":" + std::to_string(count);
    out += ",\"fps\":" + (std::isfinite(fps) ? compactNumber(fps, 6) : std::string("0"));
    out += ",\"frozen\":" + intervalsJson(frozen);
    out += ",\"blackouts\":" + intervalsJson(recorder.blackoutIntervals());
    if (bucket > 1) {
        out += ",\"x\":[";
        for (size_t row = 0; row < count; row += bucket) {
            const size_t middle = std::min(row + bucket / 2, count - 1);
            out += (row > 0 ? "," : "") + std::to_string(recorder.frameIndex(row)) + ',' +
                   std::to_string(recorder.frameIndex(middle));
        }
        out += "]";
    }
    out += ",\"series\":[";
    bool firstSeries = true;
    for (const IndicatorInfo* info : indicatorColumns()) {
        const int decimals = logDecimals(info->id);
        if (!firstSeries) out += ',';
        firstSeries = false;
        out += "\n{\"key\":" + jsonString(info->key) + ",\"name\":" + jsonString(info->name) +
               ",\"type\":" + jsonString(info->kind == ValueKind::Flag ? "flag" : "value") +
               ",\"decimals\":" + std::to_string(decimals) + ",\"values\":[";
        const auto text = [&](const std::optional<double>& v) {
            return v ? compactNumber(*v, decimals) : std::string("null");
        };
        for (size_t row = 0; row < count; row += bucket) {
            if (row > 0) out += ',';
            if (bucket == 1) {
                out += text(recorder.value(row, info->id));
                continue;
            }
            std::optional<double> low;
            std::optional<double> high;
            size_t lowAt = 0;
            size_t highAt = 0;
            for (size_t r = row; r < std::min(row + bucket, count); ++r) {
                const std::optional<double> v = recorder.value(r, info->id);
                if (!v) continue;
                if (!low || *v < *low) {
                    low = v;
                    lowAt = r;
                }
                if (!high || *v > *high) {
                    high = v;
                    highAt = r;
                }
            }
            out += lowAt <= highAt ? text(low) + ',' + text(high) : text(high) + ',' + text(low);
        }
        out += "]}";
    }
    out += "]";
    if (!decision.empty()) out += ",\n\"decision\":" + decision;
    return out + "}";
}

std::string statsTable(const ResultsRecorder& recorder) {
    std::string out =
        "<table id=\"lumaqc-summary\">\n<thead><tr><th>Indicator</th><th>Frames with a "
        "value</th><th>Mean</th><th>Min</th><th>5th pct</th><th>Median</th><th>95th "
        "pct</th><th>Max</th></tr></thead>\n<tbody>\n";
    for (const IndicatorInfo* info : indicatorColumns()) {
        const IndicatorStats s = recorder.stats(info->id);
        const int decimals = logDecimals(info->id);
        out +=
            "<tr><td>" + escapeHtml(info->name) + "</td><td>" + std::to_string(s.count) + "</td>";
        const auto cell = [&](double v, int d) {
            out += "<td>" + (s.count > 0 && std::isfinite(v) ? fixed(v, d) : std::string("–")) +
                   "</td>";
        };
        cell(s.mean, std::max(decimals, 3));
        for (const double v : {s.min, s.p5, s.p50, s.p95, s.max}) cell(v, decimals);
        out += "</tr>\n";
    }
    return out + "</tbody></table>\n";
}

// A table of intervals after a line with their totals; a long list starts folded.
std::string intervalsTable(const char* id, const std::vector<FrameInterval>& intervals, double fps,
                           const char* none) {
    if (intervals.empty()) {
        return std::string("<p class=\"none\" id=\"") + id + "\">" + none + "</p>\n";
    }
    int64_t frames = 0;
    for (const FrameInterval& interval : intervals) frames += interval.frames();
    const std::optional<double> seconds = durationSeconds(frames, fps);
    std::string out = "<details" + std::string(intervals.size() <= 20 ? " open" : "") +
                      "><summary>" + std::to_string(intervals.size()) +
                      (intervals.size() == 1 ? " interval, " : " intervals, ") +
                      std::to_string(frames) + (frames == 1 ? " frame" : " frames") +
                      (seconds ? " (" + fixed(*seconds, 3) + " s)" : std::string()) +
                      " in all</summary>\n<table id=\"" + id +
                      "\">\n<thead><tr><th>First frame</th><th>Last frame</th><th>Frames</th>"
                      "<th>Starts at (s)</th><th>Duration (s)</th></tr></thead>\n<tbody>\n";
    for (const FrameInterval& interval : intervals) {
        const std::optional<double> start = durationSeconds(interval.first, fps);
        const std::optional<double> length = durationSeconds(interval.frames(), fps);
        out += "<tr><td>" + std::to_string(interval.first) + "</td><td>" +
               std::to_string(interval.last) + "</td><td>" + std::to_string(interval.frames()) +
               "</td><td>" + (start ? fixed(*start, 3) : std::string("–")) + "</td><td>" +
               (length ? fixed(*length, 3) : std::string("–")) + "</td></tr>\n";
    }
    return out + "</tbody></table>\n</details>\n";
}

std::string number(double v, const char* format = "%.4g") {
    if (!std::isfinite(v)) return "–";
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

std::string jsonNumber(double v) {
    return std::isfinite(v) ? compactNumber(v, 9) : std::string("null");
}

// The page's thumbnails, encoded once per frame, within the caps.
class PagePictures {
  public:
    // Encodes `picture` unless the caps are reached; the frame's data URI or "".
    const std::string& add(const std::shared_ptr<const SmallPicture>& picture) {
        static const std::string none;
        if (!picture) return none;
        const auto known = uris_.find(picture->frame);
        if (known != uris_.end()) return known->second;
        if (uris_.size() >= kMaxThumbnails || bytes_ >= kThumbnailBytes) {
            ++dropped_;
            return none;
        }
        std::string uri = encodeDataUri(*picture);
        if (uri.empty() || bytes_ + uri.size() > kThumbnailBytes) {
            ++dropped_;
            return none;
        }
        bytes_ += uri.size();
        return uris_.emplace(picture->frame, std::move(uri)).first->second;
    }
    size_t dropped() const { return dropped_; }

  private:
    std::map<int64_t, std::string> uris_;
    size_t bytes_ = 0;
    size_t dropped_ = 0;
};

std::string image(const std::string& uri, const std::string& alt) {
    if (uri.empty()) return "";
    return "<img class=\"thumb\" src=\"" + uri + "\" alt=\"" + escapeHtml(alt) + "\">";
}

// The decision for the page script: the events' spans, the thresholds to
// draw and a hint per indicator.
std::string decisionData(const DecisionSink& decision) {
    const qc::Profile& profile = decision.detector().profile();
    std::string out = "{\"events\":[";
    bool first = true;
    for (const qc::Event& e : decision.detector().events()) {
        if (!first) out += ',';
        first = false;
        out += "\n{\"id\":" + std::to_string(e.id) + ",\"type\":" + jsonString(e.type) +
               ",\"severity\":" + jsonString(qc::severityName(e.severity)) +
               ",\"first\":" + std::to_string(e.firstFrame) +
               ",\"last\":" + std::to_string(e.lastFrame) +
               ",\"whole\":" + (e.statistic != qc::Statistic::None ? "true" : "false") + "}";
    }
    out += "],\n\"thresholds\":[";
    first = true;
    std::array<std::string, kIndicatorCount> hints;
    for (const qc::Rule& rule : profile.rules) {
        const std::optional<IndicatorId> id = qc::watchedIndicator(rule);
        if (!id) continue;
        if (hints[*id].empty()) {
            hints[*id] = std::string(rule.direction == qc::Direction::Above ? "Worse when higher"
                                                                            : "Worse when lower") +
                         " (rule " + rule.id + ")";
        }
        if (!first) out += ',';
        first = false;
        out += "\n{\"key\":" + jsonString(indicatorKey(*id)) + ",\"rule\":" + jsonString(rule.id) +
               ",\"value\":" + jsonNumber(rule.threshold) +
               ",\"severity\":" + jsonString(qc::severityName(rule.severity)) +
               ",\"statistic\":" + jsonString(qc::statisticName(rule.statistic)) + "}";
    }
    out += "],\n\"hints\":{";
    first = true;
    for (const IndicatorInfo* info : indicatorColumns()) {
        const std::string hint = hints[info->id].empty() ? info->worseWhen : hints[info->id];
        if (hint.empty()) continue;
        if (!first) out += ',';
        first = false;
        out += jsonString(info->key) + ":" + jsonString(hint);
    }
    return out + "}}";
}

// The verdict banner, the events table and the worst frames per rule.
std::string decisionSections(const DecisionSink& decision, const ThumbnailKeeper* keeper,
                             bool complete) {
    const qc::EventDetector& detector = decision.detector();
    const qc::Verdict v = decision.verdict();
    PagePictures pictures;
    std::string out =
        "<div id=\"lumaqc-verdict\" class=\"verdict " + std::string(v.pass ? "pass" : "fail") +
        "\"><span class=\"result\">" + (v.pass ? "PASS" : "FAIL") +
        "</span> <span class=\"counts\">" + std::to_string(v.errors) +
        (v.errors == 1 ? " error" : " errors") + ", " + std::to_string(v.warnings) +
        (v.warnings == 1 ? " warning" : " warnings") + "</span> <span class=\"profile\">profile " +
        escapeHtml(detector.profile().name) + "</span>" +
        (complete ? "" : " <span class=\"counts\">(incomplete run)</span>") + "</div>\n";
    if (!thumbnailsAvailable()) {
        out +=
            "<p class=\"none\" id=\"lumaqc-no-thumbnails\">Thumbnails are unavailable: this "
            "build has no picture encoder (it was built without the libav* libraries).</p>\n";
    }

    out += "<h2>Events</h2>\n";
    if (detector.events().empty()) {
        out += "<p class=\"none\" id=\"lumaqc-events\">No event.</p>\n";
    } else {
        // Errors first, then warnings, then notes; each by time.
        std::vector<const qc::Event*> events;
        for (const qc::Event& e : detector.events()) events.push_back(&e);
        std::stable_sort(events.begin(), events.end(), [](const qc::Event* a, const qc::Event* b) {
            if (a->severity != b->severity) return a->severity > b->severity;
            return a->firstFrame < b->firstFrame;
        });
        const qc::TimecodeClock& clock = decision.clock();
        const auto timecode = [&clock](double seconds) {
            return clock.valid() && std::isfinite(seconds) ? clock.at(seconds) : std::string("–");
        };
        out += "<p class=\"toolbar\" id=\"lumaqc-severity\">Show:";
        const std::pair<const char*, int64_t> shown[] = {
            {"error", v.errors}, {"warning", v.warnings}, {"info", v.infos}};
        for (const auto& [name, n] : shown) {
            out += std::string(" <label><input type=\"checkbox\" value=\"") + name +
                   "\" checked> " + name + (std::string(name) == "info" ? "" : "s") + " (" +
                   std::to_string(n) + ")</label>";
        }
        out +=
            "</p>\n<p class=\"hint\">Click an event to zoom every chart to it.</p>\n<table "
            "id=\"lumaqc-events\">\n<thead><tr><th>Picture</th><th>Type</th><th>Severity</th>"
            "<th>EBU item</th><th>Frames</th><th>Start (s)</th><th>Start timecode</th>"
            "<th>End (s)</th><th>End timecode</th><th>Duration (s)</th><th>Worst value</th>"
            "<th>Message</th></tr></thead>\n<tbody>\n";
        for (const qc::Event* event : events) {
            const qc::Event& e = *event;
            std::string picture;
            if (keeper != nullptr) {
                const auto found = keeper->eventPictures().find(e.id);
                if (found != keeper->eventPictures().end()) {
                    picture = image(pictures.add(found->second),
                                    "frame " + std::to_string(found->second->frame));
                }
            }
            const std::string item = e.ebu.id.empty() ? e.ebu.name : e.ebu.id + " " + e.ebu.name;
            out += "<tr class=\"event " + std::string(qc::severityName(e.severity)) +
                   "\" data-event=\"" + std::to_string(e.id) + "\" data-first=\"" +
                   std::to_string(e.firstFrame) + "\" data-last=\"" + std::to_string(e.lastFrame) +
                   "\"><td>" + picture + "</td><td>" + escapeHtml(e.type) + "</td><td>" +
                   qc::severityName(e.severity) + "</td><td>" + escapeHtml(item) + "</td><td>" +
                   std::to_string(e.firstFrame) + "–" + std::to_string(e.lastFrame) + " (" +
                   std::to_string(e.frames()) + ")</td><td>" + number(e.startSeconds, "%.3f") +
                   "</td><td>" + timecode(e.startSeconds) + "</td><td>" +
                   number(e.endSeconds, "%.3f") + "</td><td>" + timecode(e.endSeconds) +
                   "</td><td>" + number(e.durationSeconds(), "%.3f") + "</td><td>" +
                   (e.worstValue ? number(*e.worstValue) : std::string("–")) + "</td><td>" +
                   escapeHtml(e.message) + "</td></tr>\n";
        }
        out += "</tbody></table>\n";
    }

    if (keeper != nullptr) {
        // Only the groups of rules that raised an event: their worst frames
        // are the ones the desk looks at. Round by round: every group's worst
        // frame, then every group's second ...
        std::vector<const ThumbnailKeeper::RuleWorst*> raised;
        for (const ThumbnailKeeper::RuleWorst& w : keeper->worst()) {
            const bool any = std::any_of(
                detector.events().begin(), detector.events().end(), [&w](const qc::Event& e) {
                    const bool perFrame = e.statistic == qc::Statistic::None;
                    return qc::conditionOf(e.watch).onIndicator &&
                           e.indicator == indicatorKey(w.indicator) && e.direction == w.direction &&
                           perFrame == w.perFrame && (!perFrame || e.threshold == w.threshold);
                });
            if (any) raised.push_back(&w);
        }
        std::vector<std::string> rows(raised.size());
        for (size_t rank = 0; rank < kWorstFrames; ++rank) {
            for (size_t r = 0; r < raised.size(); ++r) {
                const ThumbnailKeeper::RuleWorst& w = *raised[r];
                if (rank >= w.frames.size()) continue;
                const ThumbnailKeeper::Worst& f = w.frames[rank];
                const std::string caption =
                    "frame " + std::to_string(f.frame) + ": " + number(f.value);
                rows[r] += "<figure data-frame=\"" + std::to_string(f.frame) + "\">" +
                           image(pictures.add(f.picture), caption) + "<figcaption>" + caption +
                           "</figcaption></figure>";
            }
        }
        out +=
            "<h2>Worst frames of the rules that raised an event</h2>\n<div id=\"lumaqc-worst\">\n";
        if (raised.empty()) out += "<p class=\"none\">No indicator rule raised an event.</p>\n";
        for (size_t r = 0; r < rows.size(); ++r) {
            const ThumbnailKeeper::RuleWorst& w = *raised[r];
            out += "<div class=\"worst\" data-rule=\"" + escapeHtml(w.rule) +
                   "\"><div class=\"worst-title\">" + escapeHtml(w.rule) + " (" +
                   indicatorKey(w.indicator) + ", worst when " +
                   (w.direction == qc::Direction::Above ? "highest" : "lowest") + ")</div>" +
                   (rows[r].empty() ? "<p class=\"none\">No frame beyond the threshold.</p>"
                                    : rows[r]) +
                   "</div>\n";
        }
        out += "</div>\n";
        if (pictures.dropped() > 0) {
            out += "<p class=\"hint\">" + std::to_string(pictures.dropped()) +
                   " more thumbnails were left out to keep the page small (at most " +
                   std::to_string(kMaxThumbnails) + ").</p>\n";
        }
    }
    return out;
}

// A command-line word as a shell would need it: quoted when it holds
// anything but letters, digits and -_./=:,+@%.
std::string shellWord(const std::string& word) {
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789-_./=:,+@%") == std::string::npos;
    if (plain) return word;
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string recordText(const nlohmann::ordered_json& value) {
    if (value.is_null()) return "–";
    if (value.is_string()) return value.get<std::string>();
    if (value.is_boolean()) return value.get<bool>() ? "yes" : "no";
    if (value.is_array()) {
        std::string words;
        for (const auto& word : value) {
            words += (words.empty() ? "" : " ") +
                     shellWord(word.is_string() ? word.get<std::string>() : word.dump());
        }
        return words;
    }
    return value.dump();
}

// The input and the run as the JSON document records them, one row per field
// ("size_bytes" shown as "Size bytes"; the build's fields as "Build: compiler"),
// the run's rows in their own body (none when the run has no record).
std::string provenanceTable(const nlohmann::ordered_json& input,
                            const nlohmann::ordered_json& run) {
    std::string rows = "<tbody>\n";
    const auto add = [&rows](const std::string& key, const nlohmann::ordered_json& value) {
        std::string label = key;
        for (char& c : label) c = c == '_' ? ' ' : c;
        label[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(label[0])));
        rows += "<tr><th>" + escapeHtml(label) + "</th><td>" + escapeHtml(recordText(value)) +
                "</td></tr>\n";
    };
    for (const auto& [key, value] : input.items()) add(key, value);
    rows += "</tbody>\n";
    if (run.is_object()) {
        rows += "<tbody id=\"lumaqc-run\">\n";
        for (const auto& [key, value] : run.items()) {
            if (!value.is_object()) {
                add(key, value);
                continue;
            }
            for (const auto& [inner, field] : value.items()) add(key + ": " + inner, field);
        }
        rows += "</tbody>\n";
    }
    return "<details id=\"lumaqc-provenance\"><summary>Input and run</summary>\n<table>\n" + rows +
           "</table>\n</details>\n";
}

}  // namespace

std::string escapeHtml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

HtmlSink::HtmlSink(const std::string& path) {
    open("the HTML report", path);
}

bool HtmlSink::begin(const RunInfo& run) {
    run_ = run;
    source_ = *run.source;
    run_.source = &source_;
    if (decision_ != nullptr && thumbnailsAvailable()) {
        keeper_ = std::make_unique<ThumbnailKeeper>(decision_->detector().profile());
    }
    // An earlier page goes with the first frame (at once when no frame is asked for).
    return ok() && (!run.noFrameAsked || start());
}

bool HtmlSink::frame(const FrameMeta& meta, const lumaqc::FrameValues& values) {
    if (!start()) return false;
    recorder_.add(meta.index, values);
    if (keeper_ && luma_.data != nullptr) {
        keeper_->frame(decision_->detector(), meta.index, values, luma_, meta.colour.get());
        luma_ = LumaPicture{};
    }
    return true;
}

void HtmlSink::picture(const FrameMeta&, const LumaPicture& luma) {
    luma_ = luma;
}

bool HtmlSink::end(const RunSummary& summary) {
    if (!ok()) return true;
    const std::string path = escapeHtml(readableName(source_.path));
    char fps[64];
    std::snprintf(fps, sizeof fps, "%.2f", run_.fps);
    std::string page;
    page += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    page += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    page += "<meta name=\"generator\" content=\"lumaqc " + std::string(LUMAQC_VERSION) + "\">\n";
    page += "<title>lumaqc report: " + path + "</title>\n<style>\n";
    page += report_assets::uplotStyle;
    page += "\n";
    page += report_assets::pageStyle;
    if (decision_ != nullptr) page += report_assets::decisionStyle;
    page += "</style>\n</head>\n<body>\n<h1>lumaqc report</h1>\n<p class=\"input\">" + path +
            " &middot; " + escapeHtml(source_.kind) + " &middot; " + std::to_string(source_.width) +
            "&times;" + std::to_string(source_.height) + " &middot; " + fps + " fps &middot; " +
            std::to_string(recorder_.size()) + " frames analysed from frame " +
            std::to_string(run_.start) + " &middot; lumaqc " + LUMAQC_VERSION + "</p>\n";
    page += provenanceTable(inputRecord(run_), runRecord(run_, provenance_, isoTimeNow()));
    if (run_.windowSeconds > 0.0) {
        char window[64];
        std::snprintf(window, sizeof window, "%g s", run_.windowSeconds);
        page += std::string("<p class=\"hint\" id=\"lumaqc-live\">") +
                (summary.running ? "Live, the run goes on: " : "A live run: ") +
                "the frames of the last " + window + " of the stream are shown.</p>\n";
    }
    if (!summary.complete && !summary.running) {
        page +=
            "<p class=\"warning\" id=\"lumaqc-incomplete\">The run stopped early: only the "
            "frames analysed before it stopped are shown.</p>\n";
    }
    page += "<div id=\"lumaqc-errors\"></div>\n";
    if (decision_ != nullptr) {
        if (keeper_) keeper_->claim(decision_->detector());
        page += decisionSections(*decision_, keeper_.get(), summary.complete);
    }
    page += "<h2>Summary</h2>\n";
    page += statsTable(recorder_);
    page +=
        "<p class=\"hint\">Frames with a value leave out the frames an indicator does not "
        "rate (block loss and slice on small pictures, flickering between its ratings) and "
        "values that are not numbers. Percentiles use the nearest-rank method.</p>\n";
    // Under a profile the frozen pictures are the freeze events, so that the
    // section, the shading and the events table tell one story.
    std::vector<FrameInterval> frozen = recorder_.frozenIntervals();
    if (decision_ != nullptr) {
        frozen.clear();
        for (const qc::Event& e : decision_->detector().events()) {
            if (e.watch == qc::Watch::Freeze) frozen.push_back({e.firstFrame, e.lastFrame});
        }
        std::sort(frozen.begin(), frozen.end(),
                  [](const FrameInterval& a, const FrameInterval& b) { return a.first < b.first; });
    }
    page += "<h2>Frozen pictures</h2>\n";
    if (decision_ != nullptr) {
        page += "<p class=\"hint\">The freeze events of the profile.</p>\n";
    }
    page += intervalsTable("lumaqc-frozen", frozen, run_.fps,
                           decision_ != nullptr ? "No freeze event." : "No frozen picture.");
    page += "<h2>Blackouts</h2>\n";
    page +=
        intervalsTable("lumaqc-blackouts", recorder_.blackoutIntervals(), run_.fps, "No blackout.");
    page +=
        "<h2>Indicators over time</h2>\n<p class=\"hint\">Drag across a chart to zoom "
        "every chart to those frames; double-click to show all frames again. Long runs "
        "draw each stretch of frames as its lowest and highest value. Frozen "
        "pictures are shaded blue, blackouts grey.</p>\n<p class=\"toolbar\"><button "
        "id=\"lumaqc-reset\" type=\"button\">Show all frames</button></p>\n";
    if (decision_ != nullptr) {
        page +=
            "<p class=\"hint\">Events are drawn as spans on the timeline (errors red, "
            "warnings amber) and each rule's threshold as a dashed line on its chart.</p>\n"
            "<div id=\"lumaqc-timeline\"></div>\n";
    }
    page += "<div id=\"lumaqc-charts\"></div>\n";
    page += "<script type=\"application/json\" id=\"lumaqc-data\">";
    page += chartData(recorder_, run_.fps, frozen,
                      decision_ ? decisionData(*decision_) : std::string());
    page += "</script>\n<script>\n/* uPlot, MIT licence:\n";
    page += report_assets::uplotLicense;
    page += "*/\n";
    page += report_assets::uplotScript;
    page += "\n</script>\n<script>\n";
    page += report_assets::pageScript;
    page += "</script>\n</body>\n</html>\n";

    // The first failure is the one to report.
    if (write(page) && close()) return true;
    file_->close();
    return false;
}

}  // namespace lumaqc
