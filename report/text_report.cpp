#include "report/text_report.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "indicators/registry.h"

namespace lumaqc {

namespace {

// How one indicator looks in the console table, the log and the timing summary.
struct TextColumn {
    IndicatorId id;
    const char* consoleLabel;
    const char* logLabel;
    int consoleHeaderTabs;  // tabs before the label in the console header
    int consoleRowTabs;     // tabs before the value in a console row
    const char* consoleFormat;
    const char* logFormat;
    int timingSlot;            // position in the timing summary
    const char* timingPrefix;  // the text before its figure there
};

constexpr const char* kReal5 = "%-5.5f";

// In column order (IndicatorId order).
constexpr std::array<TextColumn, kIndicatorCount> kColumns = {{
    {.id = kBlockiness,
     .consoleLabel = "Blockiness",
     .logLabel = "Blockiness",
     .consoleHeaderTabs = 1,
     .consoleRowTabs = 1,
     .consoleFormat = kReal5,
     .logFormat = kReal5,
     .timingSlot = 0,
     .timingPrefix = "\tBlockiness: "},
    {.id = kSpatialActivity,
     .consoleLabel = "Spatial Activity",
     .logLabel = "SA",
     .consoleHeaderTabs = 1,
     .consoleRowTabs = 1,
     .consoleFormat = kReal5,
     .logFormat = kReal5,
     .timingSlot = 1,
     .timingPrefix = " \tSpatialAct: "},
    {.id = kLetterbox,
     .consoleLabel = "Letterbox",
     .logLabel = "Letterbox",
     .consoleHeaderTabs = 1,
     .consoleRowTabs = 2,
     .consoleFormat = kReal5,
     .logFormat = kReal5,
     .timingSlot = 2,
     .timingPrefix = " \tLetterbox: "},
    {.id = kPillarbox,
     .consoleLabel = "Pillarbox",
     .logLabel = "Pillarbox",
     .consoleHeaderTabs = 1,
     .consoleRowTabs = 1,
     .consoleFormat = kReal5,
     .logFormat = kReal5,
     .timingSlot = 3,
     .timingPrefix = " \n\tPillarbox: "},
    {.id = kBlockLoss,
     .consoleLabel = "Blockloss",
     .logLabel = "Blockloss",
     .consoleHeaderTabs = 1,
     .consoleRowTabs = 1,
     .consoleFormat = kReal5,
     .logFormat = kReal5,
     .timingSlot = 4,
     .timingPrefix = " \t\tBlockLoss: "},
    {.id = kBlur,
     .consoleLabel = "Blur",
     .logLabel = "Blur",
     .consoleHeaderTabs = 1,
     .consoleRowTabs = 1,
     .consoleFormat = "%-7.3f",
     .logFormat = "%-5.3f",
     .timingSlot = 5,
     .timingPrefix = " \t\tBlur: "},
    {.id = kTemporalActivity,
     .consoleLabel = "TemporalAct",
     .logLabel = "TA",
     .consoleHeaderTabs = 2,
     .consoleRowTabs = 1,
     .consoleFormat = kReal5,
     .logFormat = kReal5,
     .timingSlot = 11,
     .timingPrefix = " \t\tTemporal: "},
    {.id = kBlackout,
     .consoleLabel = "Blackout",
     .logLabel = "Blackout",
     .consoleHeaderTabs = 1,
     .consoleRowTabs = 1,
     .consoleFormat = "%-d",
     .logFormat = "%-d",
     .timingSlot = 10,
     .timingPrefix = "\t\tBlackout: "},
    {.id = kFreezing,
     .consoleLabel = "Freezing",
     .logLabel = "Freezing",
     .consoleHeaderTabs = 1,
     .consoleRowTabs = 2,
     .consoleFormat = "%-d",
     .logFormat = "%-d",
     .timingSlot = 12,
     .timingPrefix = " \n \tFreezing : "},
    {.id = kExposure,
     .consoleLabel = "Exposure(bri)",
     .logLabel = "Exposure(bri)",
     .consoleHeaderTabs = 1,
     .consoleRowTabs = 2,
     .consoleFormat = "%-6i",
     .logFormat = "%-6i",
     .timingSlot = 6,
     .timingPrefix = " \n \tExposure: "},
    {.id = kContrast,
     .consoleLabel = "Contrast",
     .logLabel = "Contrast",
     .consoleHeaderTabs = 1,
     .consoleRowTabs = 2,
     .consoleFormat = kReal5,
     .logFormat = kReal5,
     .timingSlot = 14,
     .timingPrefix = " \tContrast: "},
    {.id = kInterlace,
     .consoleLabel = "Interlace",
     .logLabel = "Interlace",
     .consoleHeaderTabs = 1,
     .consoleRowTabs = 1,
     .consoleFormat = kReal5,
     .logFormat = kReal5,
     .timingSlot = 7,
     .timingPrefix = " \t\tInterlace: "},
    {.id = kNoise,
     .consoleLabel = "Noise",
     .logLabel = "Noise",
     .consoleHeaderTabs = 1,
     .consoleRowTabs = 1,
     .consoleFormat = "%-8.4f",
     .logFormat = "%-8.4f",
     .timingSlot = 8,
     .timingPrefix = " \t\tNoise: "},
    {.id = kSlice,
     .consoleLabel = "Slice",
     .logLabel = "Slice",
     .consoleHeaderTabs = 2,
     .consoleRowTabs = 1,
     .consoleFormat = "%-7.3f",
     .logFormat = "%-7.3f",
     .timingSlot = 9,
     .timingPrefix = " \n \tSlice: "},
    {.id = kFlickering,
     .consoleLabel = "Flickering",
     .logLabel = "Flickering",
     .consoleHeaderTabs = 2,
     .consoleRowTabs = 1,
     .consoleFormat = kReal5,
     .logFormat = kReal5,
     .timingSlot = 13,
     .timingPrefix = "\t\tFlickering: "},
}};

constexpr bool inColumnOrder() {
    for (int i = 0; i < kIndicatorCount; ++i)
        if (kColumns[i].id != i) return false;
    return true;
}
static_assert(inColumnOrder(), "kColumns follows IndicatorId");

// The columns in timing-summary order.
const std::array<const TextColumn*, kIndicatorCount>& timingOrder() {
    static const std::array<const TextColumn*, kIndicatorCount> order = [] {
        std::array<const TextColumn*, kIndicatorCount> out{};
        for (const TextColumn& column : kColumns) out[column.timingSlot] = &column;
        return out;
    }();
    return order;
}

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

// Runtime formats come from the table above, never from input data.
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
    for (size_t i = 0; i < kColumns.size(); ++i) {
        const TextColumn& column = kColumns[i];
        const int tabs = style == RowStyle::Console ? column.consoleHeaderTabs : 1;
        out.append(static_cast<size_t>(tabs), '\t');
        out += style == RowStyle::Console ? column.consoleLabel : column.logLabel;
        out += ':';
        if (i + 1 < kColumns.size()) out += ' ';
    }
    if (style == RowStyle::Log) out += '\n';
    return out;
}

std::string formatRow(RowStyle style, int64_t frame, const FrameValues& values) {
    std::string out;
    out.reserve(192);
    appendf(out, "%05lld", static_cast<long long>(frame));
    for (const TextColumn& column : kColumns) {
        out += ' ';
        const int tabs = style == RowStyle::Console ? column.consoleRowTabs : 1;
        out.append(static_cast<size_t>(tabs), '\t');
        appendValue(out, style == RowStyle::Console ? column.consoleFormat : column.logFormat,
                    indicatorInfo(column.id).kind, values[column.id]);
    }
    out += '\n';
    return out;
}

std::string plainValue(IndicatorId id, double value) {
    // The conversion with its flags and field width dropped.
    const char* rest = kColumns.at(static_cast<size_t>(id)).logFormat + 1;
    rest += std::strspn(rest, "-+ #0123456789");
    char conversion[16] = "%";
    std::strncat(conversion, rest, sizeof conversion - 2);
    std::string out;
    appendValue(out, conversion, indicatorInfo(id).kind, value);
    return out;
}

std::string timingText(const IndicatorSeconds& seconds, int64_t frames) {
    // The average divides by the frame count in single precision, for every
    // indicator alike (the temporal ones ran one time fewer).
    const auto n = static_cast<float>(frames);
    std::string out;
    for (const TextColumn* column : timingOrder()) {
        out += column->timingPrefix;
        appendf(out, "%02.6f ms",
                static_cast<double>(seconds[column->id]) / static_cast<double>(n) * 1000.0);
    }
    out += '\n';
    return out;
}

int logDecimals(IndicatorId id) {
    const char* dot = std::strchr(kColumns.at(static_cast<size_t>(id)).logFormat, '.');
    return dot == nullptr ? 0 : std::atoi(dot + 1);
}

int32_t truncateToInt32(double v) {
    constexpr double kLow = -2147483649.0;  // first value whose integer part is below INT32_MIN
    constexpr double kHigh = 2147483648.0;  // first value whose integer part is above INT32_MAX
    if (!(v > kLow && v < kHigh)) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

}  // namespace lumaqc
