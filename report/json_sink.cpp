#include "report/json_sink.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "indicators/registry.h"
#include "report/decision_view.h"
#include "report/provenance.h"

namespace lumaqc {

using Json = nlohmann::ordered_json;

namespace {

Json number(const std::optional<double>& v, ValueKind kind) {
    if (!v) return nullptr;
    if (kind != ValueKind::Real) return static_cast<int64_t>(*v);
    return *v;
}

Json real(double v) {
    return std::isfinite(v) ? Json(v) : Json(nullptr);
}

Json intervals(const std::vector<FrameInterval>& list, double fps) {
    Json out = Json::array();
    for (const FrameInterval& interval : list) {
        const std::optional<double> seconds = durationSeconds(interval.frames(), fps);
        out.push_back(Json{{"first_frame", interval.first},
                           {"last_frame", interval.last},
                           {"frames", interval.frames()},
                           {"duration_seconds", seconds ? Json(*seconds) : Json(nullptr)}});
    }
    return out;
}

// The decision's members of the document, each on its line and followed by
// a comma; the events one per line.
std::string decisionMembers(const Json& decision) {
    const auto dump = [](const Json& j) {
        return j.dump(-1, ' ', false, Json::error_handler_t::replace);
    };
    std::string events = "[";
    for (const Json& event : decision["events"]) {
        events += (events.size() > 1 ? ",\n" : "\n") + dump(event);
    }
    events += decision["events"].empty() ? "]" : "\n]";
    return "\"profile\": " + dump(decision["profile"]) +
           ",\n\"stream\": " + dump(decision["stream"]) +
           ",\n\"verdict\": " + dump(decision["verdict"]) + ",\n\"events\": " + events +
           ",\n\"decode_errors\": " + dump(decision["decode_errors"]) + ",\n";
}

const char* kindName(ValueKind kind) {
    switch (kind) {
        case ValueKind::Flag:
            return "flag";
        case ValueKind::Truncated:
            return "integer";
        case ValueKind::Real:
            break;
    }
    return "real";
}

}  // namespace

JsonSink::JsonSink(const std::string& path, bool flushEachFrame) {
    if (open("the JSON file", path)) file_->flushEachWrite(flushEachFrame);
}

bool JsonSink::begin(const RunInfo& run) {
    if (!ok()) return false;
    begun_ = true;
    run_ = run;
    source_ = *run.source;
    run_.source = &source_;
    Json indicators = Json::array();
    for (const IndicatorInfo* info : indicatorColumns()) {
        indicators.push_back(
            Json{{"key", info->key}, {"name", info->name}, {"type", kindName(info->kind)}});
    }
    const Json tool{{"name", "lumaqc"}, {"version", LUMAQC_VERSION}};
    // The head waits with an earlier file for the first frame (a run asked
    // for no frame writes it at once).
    return write("{\n\"format\": \"lumaqc-results\",\n\"format_version\": 1,\n\"tool\": " +
                 tool.dump() + ",\n\"input\": " +
                 inputRecord(run_).dump(-1, ' ', false, Json::error_handler_t::replace) +
                 ",\n\"indicators\": " + indicators.dump() + ",\n\"frames\": [") &&
           (!run.noFrameAsked || start());
}

bool JsonSink::frame(const FrameMeta& meta, const lumaqc::FrameValues& values) {
    if (!ok() || !start()) return false;
    const size_t row = recorder_.size();
    recorder_.add(meta.index, values);
    Json object{{"frame", meta.index}};
    if (decision_ != nullptr) object["time"] = real(meta.seconds);
    for (const IndicatorInfo* info : indicatorColumns()) {
        object[info->key] = number(recorder_.value(row, info->id), info->kind);
    }
    return write((row == 0 ? "\n" : ",\n") + object.dump());
}

bool JsonSink::end(const RunSummary& summary) {
    if (!ok()) return true;
    if (!begun_) {  // nothing was written: the head is missing, so nothing to complete
        file_->close();
        return true;
    }
    Json stats = Json::object();
    for (const IndicatorInfo* info : indicatorColumns()) {
        const IndicatorStats s = recorder_.stats(info->id);
        const auto field = [&s](double v) { return s.count > 0 ? real(v) : Json(nullptr); };
        stats[info->key] =
            Json{{"count", s.count},    {"mean", field(s.mean)}, {"min", field(s.min)},
                 {"max", field(s.max)}, {"p5", field(s.p5)},     {"p50", field(s.p50)},
                 {"p95", field(s.p95)}};
    }
    Json ratings = Json::array();
    for (const FlickerRating& r : recorder_.flickerRatings()) {
        ratings.push_back(Json{{"frame", r.frame}, {"value", r.value ? Json(*r.value) : Json()}});
    }
    const Json result{{"stats", stats},
                      {"frozen_intervals", intervals(recorder_.frozenIntervals(), run_.fps)},
                      {"blackout_intervals", intervals(recorder_.blackoutIntervals(), run_.fps)},
                      {"flicker_ratings", ratings}};
    // The record of the run, with its end; none without provenance.
    const Json record = runRecord(run_, provenance_, isoTimeNow());
    const std::string runText =
        record.is_null()
            ? std::string()
            : ",\n\"run\": " + record.dump(-1, ' ', false, Json::error_handler_t::replace);
    const std::string live =
        run_.windowSeconds > 0.0
            ? ",\n\"live\": " +
                  Json{{"window_seconds", run_.windowSeconds}, {"running", summary.running}}.dump()
            : std::string();
    const bool written =
        write(std::string(recorder_.size() == 0 ? "]" : "\n]") +
              ",\n\"frames_analysed\": " + std::to_string(recorder_.size()) +
              ",\n\"complete\": " + (summary.complete ? "true" : "false") + runText + live + ",\n" +
              (decision_ ? decisionMembers(decision_->document()) : "") +
              "\"summary\": " + result.dump(2) + "\n}\n");
    // A failed write was reported already; a failed close is reported once.
    if (!written) {
        file_->close();
        return false;
    }
    return close();
}

}  // namespace lumaqc
