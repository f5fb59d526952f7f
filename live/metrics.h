// Metrics for monitoring systems, in the Prometheus text exposition format
// (version 0.0.4): the counters and gauges of a run, kept up to date by the
// frames and the events, and rendered on request (from the HTTP server's
// threads).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "io/live_source.h"
#include "live/events.h"
#include "report/result_sink.h"

namespace lumaqc {

// Writes metric families in the text format: each family is announced once
// by its HELP and TYPE lines and its samples follow it.
class Exposition {
  public:
    using Labels = std::vector<std::pair<std::string, std::string>>;
    // `type` is "counter", "gauge", "untyped" ...
    void family(const std::string& name, const std::string& type, const std::string& help);
    // A sample of the family announced last.
    void sample(const Labels& labels, double value);
    void sample(double value) { sample({}, value); }
    const std::string& text() const { return text_; }

  private:
    std::string name_;
    std::string text_;
};

// A label value with backslash, double quote and line feed escaped.
std::string escapeLabelValue(const std::string& value);
// A HELP text with backslash and line feed escaped.
std::string escapeHelp(const std::string& text);
// A sample value: integers in full, other numbers in the shortest form that
// reads back exactly, NaN, +Inf and -Inf as the format spells them.
std::string sampleValue(double value);

// The state behind the metrics. frame() is called in frame order, onEvent()
// for every event; render() may run at the same time on another thread.
class Metrics : public EventSubscriber {
  public:
    // `eventTypes`: the event types of the run with their severities, shown
    // with zero counts before they happen.
    explicit Metrics(std::vector<std::pair<std::string, std::string>> eventTypes);
    // Another event type and severity to show with a zero count.
    void declare(const std::string& type, const std::string& severity);

    void begin(int64_t firstFrame, double fps);
    void frame(int64_t index, const lumaqc::FrameValues& values, double time);
    void onEvent(const LiveEvent& event) override;
    // The input stopped delivering pictures, and delivers again.
    void signalLost();
    void signalBack();
    std::string render() const;

  private:
    struct Row {
        double time;
        bool first;  // the run's first frame (its flickering is no rating)
        lumaqc::FrameValues values;
    };
    mutable std::mutex mutex_;
    int64_t firstFrame_ = 0;
    int64_t frames_ = 0;
    int64_t stalls_ = 0;
    bool lost_ = false;
    std::map<std::pair<std::string, std::string>, int64_t> eventsOpened_;  // (type, severity)
    std::map<std::string, int> activeEvents_;                              // by type
    std::optional<lumaqc::FrameValues> latest_;
    bool latestFirst_ = false;
    std::deque<Row> recent_;  // the last 60 s of the input's timeline
    // Frames analysed per tenth of a second over the last 10 s, by the
    // number of the tenth on the monotonic clock.
    std::array<std::pair<int64_t, int64_t>, 100> rate_{};
    double lastFrameUnix_ = 0.0;
};

// Hands the rows of a run, with their times, to the metrics.
class MetricsSink : public ResultSink {
  public:
    explicit MetricsSink(Metrics& metrics) : metrics_(metrics) {}
    bool begin(const RunInfo& run) override;
    bool frame(int64_t index, const FrameValues& values) override;
    bool frameAt(const FrameMeta& meta, const FrameValues& values) override;
    bool end(const RunSummary&) override { return true; }

  private:
    Metrics& metrics_;
    double fps_ = 0.0;
};

}  // namespace lumaqc
