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

LiveEvent liveRecord(const std::string& change, const std::string& type,
                     const std::string& severity, int64_t firstFrame, int64_t lastFrame,
                     double startSeconds, double endSeconds, const std::string& message) {
    using Json = nlohmann::ordered_json;
    const double end = std::max(startSeconds, endSeconds);
    const Json json{{"record", change},
                    {"type", type},
                    {"severity", severity},
                    {"first_frame", firstFrame},
                    {"last_frame", std::max(lastFrame, firstFrame - 1)},
                    {"frames", std::max<int64_t>(0, lastFrame - firstFrame + 1)},
                    {"start_seconds", startSeconds},
                    {"end_seconds", end},
                    {"duration_seconds", end - startSeconds},
                    {"message", message},
                    {"wall_time", utcNow()}};
    return LiveEvent{change, type, severity,
                     json.dump(-1, ' ', false, Json::error_handler_t::replace)};
}

LiveEvent signalLossRecord(bool open, const SignalLoss& opened, const SignalLoss& now) {
    return liveRecord(open ? "open" : "close", "signal_loss", "error", opened.next,
                      std::max(now.next, opened.next) - 1, opened.seconds,
                      std::max(opened.seconds, now.seconds), now.message);
}

LiveEvent boundedEvent(const LiveEvent& event) {
    if (event.json.size() <= kMaxEventLine) return event;
    using Json = nlohmann::ordered_json;
    LiveEvent bounded = event;
    Json json = Json::parse(event.json, nullptr, false);
    if (json.is_object() && json.contains("message") && json["message"].is_string()) {
        const size_t over = event.json.size() - kMaxEventLine;
        std::string message = json["message"].get<std::string>();
        const size_t keep = message.size() > over + 8 ? message.size() - over - 8 : 0;
        // Cut on a character boundary (no UTF-8 continuation byte first).
        size_t cut = keep;
        while (cut > 0 && (static_cast<unsigned char>(message[cut]) & 0xC0) == 0x80) --cut;
        json["message"] = message.substr(0, cut) + "...";
        bounded.json = json.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    // Whatever else made it long (a profile's long names): a record that says so.
    if (bounded.json.size() > kMaxEventLine) {
        bounded.json = Json{
            {"record", event.change.substr(0, 16)},
            {"type", event.type.substr(0, 256)},
            {"severity", event.severity.substr(0, 16)},
            {"message", "the record of this event is too long to hand on"},
            {"wall_time",
             utcNow()}}.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    return bounded;
}

}  // namespace lumaqc
