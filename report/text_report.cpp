#include "report/text_report.h"

#include <array>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "indicators/registry.h"

namespace lumaqc {

namespace {

// The indicators in timing-summary order.
const std::array<const IndicatorInfo*, kIndicatorCount>& timingOrder() {
    static const std::array<const IndicatorInfo*, kIndicatorCount> order = [] {
        std::array<const IndicatorInfo*, kIndicatorCount> out{};
        for (const IndicatorInfo* info : indicatorColumns()) out[info->text.timingSlot] = info;
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

// The registry's conversions, "%-5.5f", "%-6i", "%-d": left-justified in a
// field of at least `width` characters, `precision` decimals for "f".
struct Conversion {
    bool known = false;
    int width = 0;
    int precision = 6;
};

Conversion parseConversion(const char* format, ValueKind kind) {
    Conversion c;
    const char* p = format;
    if (*p++ != '%' || *p++ != '-') return c;
    for (; *p >= '0' && *p <= '9'; ++p) c.width = c.width * 10 + (*p - '0');
    if (*p == '.') {
        c.precision = 0;
        for (++p; *p >= '0' && *p <= '9'; ++p) c.precision = c.precision * 10 + (*p - '0');
    }
    const bool real = *p == 'f';
    c.known =
        p[1] == '\0' && c.width < 64 && c.precision < 64 &&
        (real ? kind == ValueKind::Real : kind != ValueKind::Real && (*p == 'd' || *p == 'i'));
    return c;
}

// std::to_chars gives the digits printf gives for these conversions, without
// parsing the format and going through the locale for every value.
bool appendConverted(std::string& out, const char* format, ValueKind kind, double value) {
    const Conversion c = parseConversion(format, kind);
    if (!c.known) return false;
    char digits[400];
    const std::to_chars_result r =
        kind == ValueKind::Real
            ? std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed,
                            c.precision)
            : std::to_chars(digits, digits + sizeof digits, truncateToInt32(value));
    if (r.ec != std::errc()) return false;
    const auto n = static_cast<size_t>(r.ptr - digits);
    out.append(digits, n);
    if (n < static_cast<size_t>(c.width)) out.append(static_cast<size_t>(c.width) - n, ' ');
    return true;
}

// Runtime formats come from the registry, never from input data.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void appendValue(std::string& out, const char* format, ValueKind kind, double value) {
    if (appendConverted(out, format, kind, value)) return;
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
    for (const IndicatorInfo* info : indicatorColumns()) {
        const TextLayout& column = info->text;
        const int tabs = style == RowStyle::Console ? column.consoleHeaderTabs : 1;
        out.append(static_cast<size_t>(tabs), '\t');
        out += style == RowStyle::Console ? column.consoleLabel : column.logLabel;
        out += ':';
        if (info->id + 1 < kIndicatorCount) out += ' ';
    }
    if (style == RowStyle::Log) out += '\n';
    return out;
}

std::string formatRow(RowStyle style, int64_t frame, const FrameValues& values) {
    std::string out;
    out.reserve(192);
    if (frame >= 0) {
        // "%05lld": at least five digits, zeros in front.
        char digits[24];
        const std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, frame);
        const auto n = static_cast<size_t>(r.ptr - digits);
        if (n < 5) out.append(5 - n, '0');
        out.append(digits, n);
    } else {
        appendf(out, "%05lld", static_cast<long long>(frame));
    }
    for (const IndicatorInfo* info : indicatorColumns()) {
        const TextLayout& column = info->text;
        out += ' ';
        const int tabs = style == RowStyle::Console ? column.consoleRowTabs : 1;
        out.append(static_cast<size_t>(tabs), '\t');
        appendValue(out, style == RowStyle::Console ? column.consoleFormat : column.logFormat,
                    info->kind, values[info->id]);
    }
    out += '\n';
    return out;
}

std::string plainValue(IndicatorId id, double value) {
    // The conversion with its flags and field width dropped.
    const char* rest = indicatorInfo(id).text.logFormat + 1;
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
    for (const IndicatorInfo* info : timingOrder()) {
        out += info->text.timingPrefix;
        appendf(out, "%02.6f ms",
                static_cast<double>(seconds[info->id]) / static_cast<double>(n) * 1000.0);
    }
    out += '\n';
    return out;
}

int logDecimals(IndicatorId id) {
    const char* dot = std::strchr(indicatorInfo(id).text.logFormat, '.');
    return dot == nullptr ? 0 : std::atoi(dot + 1);
}

int32_t truncateToInt32(double v) {
    constexpr double kLow = -2147483649.0;  // first value whose integer part is below INT32_MIN
    constexpr double kHigh = 2147483648.0;  // first value whose integer part is above INT32_MAX
    if (!(v > kLow && v < kHigh)) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

}  // namespace lumaqc
