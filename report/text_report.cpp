#include "report/text_report.h"

#include <cstdarg>
#include <cstdio>

namespace {

void appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

void appendf(std::string& out, const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof buffer) {
        out.append(buffer, static_cast<size_t>(n));
        return;
    }
    // A field wider than the buffer (never cut, whatever its width).
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(big.data(), big.size(), format, args);
    va_end(args);
    big.resize(static_cast<size_t>(n));
    out += big;
}

// Runtime formats come from the indicator table, never from input data.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void appendValue(std::string& out, const char* format, ValueKind kind, double value) {
    if (kind == ValueKind::Real) {
        appendf(out, format, value);
    } else {
        appendf(out, format, static_cast<int>(truncateToInt32(value)));
    }
}
#pragma GCC diagnostic pop

}  // namespace

std::string columnHeader(RowStyle style) {
    std::string out = "Frame: ";
    const auto& columns = indicatorsByColumn();
    for (size_t i = 0; i < columns.size(); ++i) {
        const IndicatorInfo& info = *columns[i];
        const int tabs = style == RowStyle::Console ? info.consoleHeaderTabs : 1;
        out.append(static_cast<size_t>(tabs), '\t');
        out += style == RowStyle::Console ? info.consoleLabel : info.logLabel;
        out += ':';
        if (i + 1 < columns.size()) out += ' ';
    }
    if (style == RowStyle::Log) out += '\n';
    return out;
}

std::string formatRow(RowStyle style, int64_t frame,
                      const std::array<double, kIndicatorCount>& values) {
    std::string out;
    out.reserve(192);
    appendf(out, "%05lld", static_cast<long long>(frame));
    for (const IndicatorInfo* info : indicatorsByColumn()) {
        out += ' ';
        const int tabs = style == RowStyle::Console ? info->consoleRowTabs : 1;
        out.append(static_cast<size_t>(tabs), '\t');
        appendValue(out, style == RowStyle::Console ? info->consoleFormat : info->logFormat,
                    info->kind, values[info->id]);
    }
    out += '\n';
    return out;
}

std::string timingText(const std::array<float, kIndicatorCount>& seconds, int64_t frames) {
    // The average divides by the frame count in single precision, for every
    // indicator alike (the temporal ones ran one time fewer).
    const auto n = static_cast<float>(frames);
    std::string out;
    for (const IndicatorInfo* info : indicatorsByTimingSlot()) {
        out += info->timingPrefix;
        appendf(out, "%02.6f ms",
                static_cast<double>(seconds[info->id]) / static_cast<double>(n) * 1000.0);
    }
    out += '\n';
    return out;
}
