#include "report/csv_sink.h"

#include <cmath>
#include <cstdio>
#include <optional>

#include "indicators/registry.h"
#include "report/results_summary.h"
#include "report/text_report.h"

namespace lumaqc {

CsvSink::CsvSink(const std::string& path) {
    open("the CSV file", path);
}

bool CsvSink::begin(const RunInfo& run) {
    if (!ok()) return false;
    std::string header = "frame,time";
    for (const IndicatorInfo* info : indicatorColumns()) header += std::string(",") + info->key;
    // An earlier file goes with the first row (at once when no frame is asked for).
    return write(header + "\r\n") && (!run.noFrameAsked || start());
}

bool CsvSink::frame(const FrameMeta& meta, const FrameValues& values) {
    if (!ok() || !start()) return false;
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
    return close();
}

}  // namespace lumaqc
