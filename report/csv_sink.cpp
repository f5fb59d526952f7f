#include "report/csv_sink.h"

#include <cmath>
#include <cstdio>
#include <optional>

#include "indicators/registry.h"
#include "report/results_summary.h"
#include "report/text_report.h"

namespace lumaqc {

CsvSink::CsvSink(const std::string& path) : file_("the CSV file", path) {
    error_ = file_.error();
}

bool CsvSink::write(const std::string& text) {
    if (file_.write(text)) return true;
    error_ = file_.error();
    return false;
}

bool CsvSink::start() {
    if (file_.start()) return true;
    error_ = file_.error();
    return false;
}

bool CsvSink::begin(const RunInfo& run) {
    if (!file_.isOpen()) return false;
    std::string header = "frame,time";
    for (const IndicatorInfo* info : indicatorColumns()) header += std::string(",") + info->key;
    // An earlier file goes with the first row (at once when no frame is asked for).
    return write(header + "\r\n") && (run.frames != 0 || start());
}

bool CsvSink::frame(const FrameMeta& meta, const FrameValues& values) {
    if (!file_.isOpen() || !start()) return false;
    std::string line = std::to_string(meta.index) + ',';
    if (std::isfinite(meta.seconds)) {
        char text[64];
        std::snprintf(text, sizeof text, "%.6f", meta.seconds);
        line += text;
    }
    for (const IndicatorInfo* info : indicatorColumns()) {
        line += ',';
        const std::optional<double> value = outputValue(info->id, values[info->id], firstRow_);
        if (value) line += plainValue(info->id, *value);
    }
    firstRow_ = false;
    return write(line + "\r\n");
}

bool CsvSink::end(const RunSummary&) {
    if (file_.close()) return true;
    error_ = file_.error();
    return false;
}

}  // namespace lumaqc
