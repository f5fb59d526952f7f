// Metrics for monitoring systems, in the Prometheus text exposition format
// (version 0.0.4): the counters and gauges of a channel, kept up to date by
// the frames and the events, and rendered on request (from the HTTP
// server's thread). One endpoint may serve several channels (lumaqc
// monitor): every series of a channel carries its `channel` label, and the
// families are written once with the samples of every channel.
//
// Every series exists from the start: counters at 0, gauges of values not
// known yet at NaN. The process's own series (process_*) and the build's
// come once per endpoint.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "io/live_source.h"
#include "live/events.h"
#include "report/thumbnails.h"
#include "results/result_sink.h"

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

// A channel's picture and open events, for the live page.
struct ChannelStatus {
    std::string channel;
    bool receiving = false;
    int64_t frames = 0;
    double lagSeconds = 0.0;                                      // NaN while no picture arrives
    std::vector<std::pair<std::string, std::string>> openEvents;  // (type, severity)
    std::shared_ptr<const SmallPicture> picture;                  // the latest, if any
};

// The state behind the metrics of one channel. frame() is called in frame
// order, onEvent() for every event; the rendering may run at the same time
// on another thread.
class Metrics : public EventSubscriber {
  public:
    // `eventTypes`: the event types of the run with their severities, shown
    // with zero counts before they happen. `channel`: the label value of
    // every series (empty: the label is left out).
    explicit Metrics(std::vector<std::pair<std::string, std::string>> eventTypes,
                     std::string channel = "");
    // Another event type and severity to show with a zero count.
    void declare(const std::string& type, const std::string& severity);
    const std::string& channel() const { return channel_; }

    void begin(int64_t firstFrame, double fps);
    void frame(int64_t index, const lumaqc::FrameValues& values, double time, int damage);
    void onEvent(const LiveEvent& event) override;
    // The input stopped delivering pictures, and delivers again.
    void signalLost();
    void signalBack();
    void reconnect();
    void formatChanged();
    void outputError();
    // lumaqc monitor: the channel's monitor ended (it could not start, or its
    // input failed for good); lumaqc_up is 0 from then on.
    void down();
    // The latest picture, scaled down, for the live page.
    void picture(std::shared_ptr<const SmallPicture> picture);
    // Events the event command was not handed (read when rendering).
    void countDroppedWith(std::function<long()> dropped);
    // Told after each frame: its index, its time and the lag (seconds
    // behind real time).
    void onLag(std::function<void(int64_t, double, double)> listener);

    // This channel's families, in a fixed order: (name, type, help, samples).
    struct Family {
        std::string name;
        std::string type;
        std::string help;
        std::vector<std::pair<Exposition::Labels, double>> samples;
    };
    std::vector<Family> families() const;
    ChannelStatus status() const;
    // The exposition of this channel alone, with the process's series.
    std::string render() const;

  private:
    double lagNow() const;  // with mutex_ held
    struct Row {
        double time;
        bool first;  // the run's first frame (its flickering is no rating)
        lumaqc::FrameValues values;
    };
    std::string channel_;
    mutable std::mutex mutex_;
    int64_t firstFrame_ = 0;
    int64_t frames_ = 0;
    int64_t stalls_ = 0;
    int64_t decodeErrors_ = 0;
    int64_t reconnects_ = 0;
    int64_t formatChanges_ = 0;
    int64_t outputErrors_ = 0;
    bool lost_ = false;
    bool down_ = false;
    std::map<std::pair<std::string, std::string>, int64_t> eventsOpened_;  // (type, severity)
    std::map<std::string, std::string> activeEvents_;  // type -> severity while open, else ""
    std::map<std::string, std::string> severities_;    // type -> severities declared
    std::optional<lumaqc::FrameValues> latest_;
    bool latestFirst_ = false;
    std::deque<Row> recent_;  // the last 60 s of the input's timeline (and at most kRecentRows)
    // Frames analysed per tenth of a second over the last 10 s, by the
    // number of the tenth on the monotonic clock.
    std::array<std::pair<int64_t, int64_t>, 100> rate_{};
    double lastFrameUnix_ = 0.0;
    // Lag: how much later than the input's timeline frames come out, from
    // the earliest they ever did.
    std::optional<double> lagBase_;
    double lag_ = 0.0;
    std::function<long()> dropped_;
    std::function<void(int64_t, double, double)> lagListener_;
    std::shared_ptr<const SmallPicture> picture_;
};

// The exposition of several channels (one endpoint), with the process's
// series and the build's once.
std::string renderMetrics(const std::vector<const Metrics*>& channels);

// Hands the rows of a run, with their times, to the metrics, and now and
// then the latest picture (scaled down) for the live page.
class MetricsSink : public ResultSink {
  public:
    explicit MetricsSink(Metrics& metrics) : metrics_(metrics) {}
    bool begin(const RunInfo& run) override;
    bool frame(const FrameMeta& meta, const FrameValues& values) override;
    bool wantsPictures() const override;
    void picture(const FrameMeta& meta, const LumaPicture& luma) override;
    bool end(const RunSummary&) override { return true; }

  private:
    Metrics& metrics_;
    double lastPicture_ = -1e9;
};

}  // namespace lumaqc
