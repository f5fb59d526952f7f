#include "live/events.h"

#include <time.h>

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace lumaqc {

void EventHub::subscribe(EventSubscriber* subscriber) {
    std::lock_guard<std::mutex> lock(mutex_);
    subscribers_.push_back(subscriber);
}

void EventHub::unsubscribe(EventSubscriber* subscriber) {
    std::lock_guard<std::mutex> lock(mutex_);
    subscribers_.erase(std::remove(subscribers_.begin(), subscribers_.end(), subscriber),
                       subscribers_.end());
}

void EventHub::publish(const LiveEvent& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (EventSubscriber* subscriber : subscribers_) subscriber->onEvent(event);
}

std::string utcNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm utc{};
    gmtime_r(&ts.tv_sec, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ts.tv_nsec / 1000000));
    return text;
}

SignalLoss describeLoss(bool open, const SignalGap& gap, const std::string& input,
                        double stallTimeout, double fps) {
    char text[64];
    if (open) {
        const double frame = fps > 0.0 && std::isfinite(fps) ? 1.0 / fps : 0.0;
        std::snprintf(text, sizeof text, "%g", stallTimeout);
        const std::string after =
            gap.lastFrame >= 0 ? " after frame " + std::to_string(gap.lastFrame) : "";
        return {gap.lastFrame + 1, gap.lastFrame >= 0 ? gap.lastTime + frame : 0.0,
                "no picture from " + input + " for " + text + " s" + after};
    }
    std::snprintf(text, sizeof text, "%.1f", gap.seconds);
    if (gap.nextFrame < 0) {
        return {
            gap.lastFrame + 1, gap.nextTime,
            "the run ended " + std::string(text) + " s into a loss of the pictures from " + input};
    }
    return {gap.nextFrame, gap.nextTime,
            "pictures from " + input + " again from frame " + std::to_string(gap.nextFrame) +
                ", after " + text + " s without"};
}

LiveEvent signalLossRecord(bool open, const SignalLoss& opened, const SignalLoss& now) {
    using Json = nlohmann::ordered_json;
    const double end = std::max(opened.seconds, now.seconds);
    const Json json{{"record", open ? "open" : "close"},
                    {"type", "signal_loss"},
                    {"severity", "error"},
                    {"first_frame", opened.next},
                    {"last_frame", std::max(now.next, opened.next) - 1},
                    {"frames", 0},
                    {"start_seconds", opened.seconds},
                    {"end_seconds", end},
                    {"duration_seconds", end - opened.seconds},
                    {"message", now.message},
                    {"wall_time", utcNow()}};
    return LiveEvent{open ? "open" : "close", "signal_loss", "error",
                     json.dump(-1, ' ', false, Json::error_handler_t::replace)};
}

}  // namespace lumaqc
