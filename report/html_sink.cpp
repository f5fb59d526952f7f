#include "report/html_sink.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "indicators/registry.h"
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

// The chart data: first frame, frame count, frame rate, intervals and one
// array of values per indicator in column order, null where a frame has none.
std::string chartData(const ResultsRecorder& recorder, double fps) {
    std::string out = "{\"first\":";
    out += std::to_string(recorder.size() > 0 ? recorder.frameIndex(0) : 0);
    out += ",\"count\":" + std::to_string(recorder.size());
    out += ",\"fps\":" + (std::isfinite(fps) ? compactNumber(fps, 6) : std::string("0"));
    out += ",\"frozen\":" + intervalsJson(recorder.frozenIntervals());
    out += ",\"blackouts\":" + intervalsJson(recorder.blackoutIntervals());
    out += ",\"series\":[";
    bool firstSeries = true;
    for (const IndicatorInfo* info : indicatorColumns()) {
        const int decimals = logDecimals(info->id);
        if (!firstSeries) out += ',';
        firstSeries = false;
        out += "\n{\"key\":" + jsonString(info->key) + ",\"name\":" + jsonString(info->name) +
               ",\"type\":" + jsonString(info->kind == ValueKind::Flag ? "flag" : "value") +
               ",\"decimals\":" + std::to_string(decimals) + ",\"values\":[";
        for (size_t row = 0; row < recorder.size(); ++row) {
            if (row > 0) out += ',';
            const std::optional<double> v = recorder.value(row, info->id);
            out += v ? compactNumber(*v, decimals) : std::string("null");
        }
        out += "]}";
    }
    return out + "]}";
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

HtmlSink::HtmlSink(const std::string& path) : file_("the HTML report", path) {
    error_ = file_.error();
}

bool HtmlSink::begin(const RunInfo& run) {
    run_ = run;
    source_ = *run.source;
    run_.source = &source_;
    return file_.isOpen();
}

bool HtmlSink::frame(int64_t index, const lumaqc::FrameValues& values) {
    recorder_.add(index, values);
    return true;
}

bool HtmlSink::end(const RunSummary& summary) {
    if (!file_.isOpen()) return true;
    const std::string path = escapeHtml(source_.path);
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
    page += "</style>\n</head>\n<body>\n<h1>lumaqc report</h1>\n<p class=\"input\">" + path +
            " &middot; " + escapeHtml(source_.kind) + " &middot; " + std::to_string(source_.width) +
            "&times;" + std::to_string(source_.height) + " &middot; " + fps + " fps &middot; " +
            std::to_string(recorder_.size()) + " frames analysed from frame " +
            std::to_string(run_.start) + " &middot; lumaqc " + LUMAQC_VERSION + "</p>\n";
    if (!summary.complete) {
        page +=
            "<p class=\"warning\" id=\"lumaqc-incomplete\">The run stopped early: only the "
            "frames analysed before it stopped are shown.</p>\n";
    }
    page += "<div id=\"lumaqc-errors\"></div>\n<h2>Summary</h2>\n";
    page += statsTable(recorder_);
    page +=
        "<p class=\"hint\">Frames with a value leave out the frames an indicator does not "
        "rate (block loss and slice on small pictures, flickering between its ratings) and "
        "values that are not numbers. Percentiles use the nearest-rank method.</p>\n";
    page += "<h2>Frozen pictures</h2>\n";
    page += intervalsTable("lumaqc-frozen", recorder_.frozenIntervals(), run_.fps,
                           "No frozen picture.");
    page += "<h2>Blackouts</h2>\n";
    page +=
        intervalsTable("lumaqc-blackouts", recorder_.blackoutIntervals(), run_.fps, "No blackout.");
    page +=
        "<h2>Indicators over frames</h2>\n<p class=\"hint\">Drag across a chart to zoom "
        "every chart to those frames; double-click to show all frames again. Frozen "
        "pictures are shaded blue, blackouts grey.</p>\n<p class=\"toolbar\"><button "
        "id=\"lumaqc-reset\" type=\"button\">Show all frames</button></p>\n"
        "<div id=\"lumaqc-charts\"></div>\n";
    page += "<script type=\"application/json\" id=\"lumaqc-data\">";
    page += chartData(recorder_, run_.fps);
    page += "</script>\n<script>\n/* uPlot, MIT licence:\n";
    page += report_assets::uplotLicense;
    page += "*/\n";
    page += report_assets::uplotScript;
    page += "\n</script>\n<script>\n";
    page += report_assets::pageScript;
    page += "</script>\n</body>\n</html>\n";

    // The first failure is the one to report.
    const bool written = file_.write(page) && file_.close();
    if (!written) {
        error_ = file_.error();
        file_.close();
    }
    return written;
}

}  // namespace lumaqc
