// Events as they happen: a place where every change of an event during a
// run (opened, escalated to a stronger rule, closed) is handed to whoever
// reacts to it: the metrics, the command run for each event, the documents.
// Under a QC profile the changes come from the decision (the event detector
// and the signal losses it is told of); without one, signal losses only.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "io/live_source.h"

namespace lumaqc {

struct LiveEvent {
    std::string change;    // "open", "escalate" or "close"
    std::string type;      // "signal_loss", "black", "freeze", ...
    std::string severity;  // "error" or "warning"
    std::string json;      // the record of the change, one JSON object on one line
};

class EventSubscriber {
  public:
    virtual ~EventSubscriber() = default;
    // Called for every event in the order they were published, one call at a
    // time; it must return quickly (it runs on the frame loop or the
    // watchdog).
    virtual void onEvent(const LiveEvent& event) = 0;
};

class EventHub {
  public:
    // Subscribers that may go before the hub unsubscribe first.
    void subscribe(EventSubscriber* subscriber);
    void unsubscribe(EventSubscriber* subscriber);
    // Safe from any thread.
    void publish(const LiveEvent& event);

  private:
    std::mutex mutex_;
    std::vector<EventSubscriber*> subscribers_;
};

// A signal loss as the events report it: opened when no picture came for the
// stall timeout, closed when pictures flow again (or the run ends). It covers
// no frame: the next frame expected (`next`) and when it was due, or the
// frame that came back and when; and a one-line message.
struct SignalLoss {
    int64_t next = 0;
    double seconds = 0.0;
    std::string message;
};
SignalLoss describeLoss(bool open, const SignalGap& gap, const std::string& input,
                        double stallTimeout, double fps);

// The record of a signal loss when no QC profile makes it an event of the
// decision: the fields of the decision's records that apply (first_frame is
// the frame expected next, last_frame the one before it, frames 0), with the
// wall-clock time of the change.
LiveEvent signalLossRecord(bool open, const SignalLoss& opened, const SignalLoss& now);

// The record of an event the live session opens or closes itself
// (format_change, output_error, overload, and signal_loss without a QC
// profile), with the fields of the decision's records.
LiveEvent liveRecord(const std::string& change, const std::string& type,
                     const std::string& severity, int64_t firstFrame, int64_t lastFrame,
                     double startSeconds, double endSeconds, const std::string& message);

// Event lines handed on (to the event command) are at most this long: a
// longer message is cut short, marked with "...".
inline constexpr size_t kMaxEventLine = 16 * 1024;
// `event` with its record cut to kMaxEventLine bytes (its message shortened).
LiveEvent boundedEvent(const LiveEvent& event);

// The wall-clock time now as ISO 8601 UTC with milliseconds.
std::string utcNow();

}  // namespace lumaqc
