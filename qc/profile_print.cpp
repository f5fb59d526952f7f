// A profile printed as TOML (--print-profile), which parseProfile() reads
// back into the same profile.
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>

#include "indicators/indicator_id.h"
#include "qc/conditions.h"
#include "qc/profile.h"
#include "qc/timecode.h"

namespace lumaqc::qc {

namespace {

// A TOML basic string: every string the profile prints is in double quotes,
// whatever it holds (a description over several lines, quotes, a backslash).
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (u < 0x20 || u == 0x7F) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04X", u);
                    out += escape;
                } else {
                    out += c;  // UTF-8 as it was read
                }
        }
    }
    return out + "\"";
}

}  // namespace

std::string tomlReal(double v) {
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    if (text.find_first_of(".eE") == std::string::npos) text += ".0";
    return text;
}

std::string profileToToml(const Profile& profile) {
    std::string out = "name = " + quoted(profile.name) + "\n";
    if (!profile.description.empty()) out += "description = " + quoted(profile.description) + "\n";
    // Seconds as a number where the number reads back as the same text;
    // timecodes, and seconds written otherwise (".5", "2"), as text.
    const auto time = [](const std::string& text) {
        const std::optional<double> seconds =
            text.find(':') == std::string::npos ? parseTime(text, 1000.0) : std::nullopt;
        return seconds && tomlReal(*seconds) == text ? text : quoted(text);
    };
    if (!profile.ignoreHead.empty()) out += "ignore_head = " + time(profile.ignoreHead) + "\n";
    if (!profile.ignoreTail.empty()) out += "ignore_tail = " + time(profile.ignoreTail) + "\n";
    for (const Rule& rule : profile.rules) {
        const Condition& condition = conditionOf(rule.watch);
        out += "\n[[rule]]\nid = " + quoted(rule.id) + "\n";
        if (condition.onIndicator) {
            out += "indicator = " + quoted(indicatorKey(rule.indicator)) + "\n";
        }
        out += "event = " + quoted(rule.type) + "\n";
        if (rule.statistic != Statistic::None) {
            out += "statistic = " + quoted(statisticName(rule.statistic)) + "\n";
        }
        if ((condition.keys & kThresholdKey) != 0) {
            out += "threshold = " + tomlReal(rule.threshold) + "\n";
        }
        if ((condition.keys & kBlackLevelKeys) != 0 && rule.maxLevel >= 0) {
            out += "max_level = " + std::to_string(rule.maxLevel) + "\n";
            out += "min_share = " + tomlReal(rule.minShare) + "\n";
        }
        if ((condition.keys & kLumaRangeKeys) != 0) {
            out += "low = " + std::to_string(rule.low) + "\nhigh = " + std::to_string(rule.high) +
                   "\n";
        }
        if (!rule.inLeader) out += "in_leader = false\n";
        if (rule.relative) out += "relative = true\n";
        if (rule.gridRatio != Rule{}.gridRatio)
            out += "grid_ratio = " + tomlReal(rule.gridRatio) + "\n";
        if (rule.gridShare != Rule{}.gridShare)
            out += "grid_share = " + tomlReal(rule.gridShare) + "\n";
        if (!rule.from.empty()) out += "from = " + time(rule.from) + "\n";
        if (!rule.to.empty()) out += "to = " + time(rule.to) + "\n";
        if ((condition.keys & kDirectionKey) != 0 && !condition.direction) {
            out += "direction = " + quoted(directionName(rule.direction)) + "\n";
        }
        if (rule.statistic == Statistic::None && (condition.keys & kMinDurationKey) != 0) {
            out += (rule.strict ? "longer_than = " : "min_duration = ") +
                   tomlReal(rule.minDuration) + "\n";
        }
        if (rule.maxCount >= 0) out += "max_count = " + std::to_string(rule.maxCount) + "\n";
        out += "severity = " + quoted(severityName(rule.severity)) + "\n";
        if (!rule.notDuring.empty()) {
            out += "not_during = [";
            for (size_t i = 0; i < rule.notDuring.size(); ++i) {
                out += (i > 0 ? ", " : "") + quoted(rule.notDuring[i]);
            }
            out += "]\n";
        }
        if (!rule.ebu.id.empty() || !rule.ebu.name.empty()) {
            out += "ebu_item = {";
            if (!rule.ebu.id.empty()) out += " id = " + quoted(rule.ebu.id);
            if (!rule.ebu.id.empty() && !rule.ebu.name.empty()) out += ",";
            if (!rule.ebu.name.empty()) out += " name = " + quoted(rule.ebu.name);
            out += " }\n";
        }
    }
    return out;
}

}  // namespace lumaqc::qc
