#include "qc/timecode.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace lumaqc::qc {

namespace {

// Frame numbers dropped per minute: 2 at 30 frames a second, 4 at 60.
int droppedPerMinute(int nominal) {
    return nominal / 15;
}

bool nearNtsc(double fps) {
    for (const double base : {30000.0 / 1001.0, 60000.0 / 1001.0}) {
        if (std::fabs(fps - base) < 0.001) return true;
    }
    return false;
}

}  // namespace

std::optional<int64_t> parseTimecode(const std::string& text, int nominal, bool drop) {
    int hh = 0, mm = 0, ss = 0, ff = 0;
    char s1 = 0, s2 = 0, s3 = 0;
    int used = 0;
    if (nominal <= 0 ||
        std::sscanf(text.c_str(), "%2d%c%2d%c%2d%c%3d%n", &hh, &s1, &mm, &s2, &ss, &s3, &ff,
                    &used) != 7 ||
        static_cast<size_t>(used) != text.size() || s1 != ':' || s2 != ':' ||
        (s3 != ':' && s3 != ';' && s3 != '.' && s3 != ',') || hh < 0 || mm < 0 || mm > 59 ||
        ss < 0 || ss > 59 || ff < 0 || ff >= nominal) {
        return std::nullopt;
    }
    int64_t frames = ((static_cast<int64_t>(hh) * 60 + mm) * 60 + ss) * nominal + ff;
    if (drop) {
        const int64_t minutes = static_cast<int64_t>(hh) * 60 + mm;
        frames -= droppedPerMinute(nominal) * (minutes - minutes / 10);
    }
    return frames;
}

TimecodeClock::TimecodeClock(const std::string& start, double fps) {
    if (!(fps > 0.0) || !std::isfinite(fps)) return;
    fps_ = fps;
    nominal_ = static_cast<int>(std::lround(fps));
    if (nominal_ <= 0) nominal_ = 1;
    const bool ntsc = nearNtsc(fps);
    drop_ = ntsc;
    if (!start.empty()) {
        const bool dropText = start.find_first_of(";.,") != std::string::npos;
        const std::optional<int64_t> frames = parseTimecode(start, nominal_, ntsc && dropText);
        if (frames) {
            drop_ = ntsc && dropText;
            startFrame_ = *frames;
            startText_ = ofFrame(0);
        }
    }
}

std::string TimecodeClock::ofFrame(int64_t frames) const {
    if (!valid()) return "";
    int64_t n = startFrame_ + frames;
    const int64_t perDay = static_cast<int64_t>(nominal_) * 86400;
    if (drop_) {
        const int64_t dropped = droppedPerMinute(nominal_);
        const int64_t perMinute = static_cast<int64_t>(nominal_) * 60 - dropped;
        const int64_t perTenMinutes = perMinute * 10 + dropped;
        const int64_t realPerDay = perTenMinutes * 6 * 24;
        n = ((n % realPerDay) + realPerDay) % realPerDay;
        const int64_t tens = n / perTenMinutes;
        const int64_t rest = n % perTenMinutes;
        n += 9 * dropped * tens;
        if (rest > dropped) n += dropped * ((rest - dropped) / perMinute);
    } else {
        n = ((n % perDay) + perDay) % perDay;
    }
    const int64_t ff = n % nominal_;
    const int64_t totalSeconds = n / nominal_;
    char text[96];
    std::snprintf(
        text, sizeof text, "%02lld:%02lld:%02lld%c%02lld",
        static_cast<long long>(totalSeconds / 3600), static_cast<long long>(totalSeconds / 60 % 60),
        static_cast<long long>(totalSeconds % 60), drop_ ? ';' : ':', static_cast<long long>(ff));
    return text;
}

std::string TimecodeClock::at(double seconds) const {
    if (!valid() || !std::isfinite(seconds)) return "";
    return ofFrame(static_cast<int64_t>(std::llround(seconds * fps_)));
}

double roundMillis(double seconds) {
    if (!std::isfinite(seconds)) return seconds;
    const double rounded = std::round(seconds * 1000.0) / 1000.0;
    return rounded == 0.0 ? 0.0 : rounded;  // no -0
}

std::string millisText(double seconds) {
    char text[48];
    std::snprintf(text, sizeof text, "%.3f", roundMillis(seconds));
    return text;
}

std::optional<double> parseTime(const std::string& text, double fps) {
    if (text.empty()) return std::nullopt;
    if (text.find(':') != std::string::npos) {
        const int nominal = fps > 0.0 ? static_cast<int>(std::lround(fps)) : 0;
        const std::optional<int64_t> frames = parseTimecode(text, nominal, false);
        if (!frames) return std::nullopt;
        return static_cast<double>(*frames) / fps;
    }
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v) || v < 0.0) return std::nullopt;
    return v;
}

}  // namespace lumaqc::qc
