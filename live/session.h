// What live monitoring adds around the frame loop, built from the options:
// the input opened for live reading (URLs reopened, signal loss watched),
// the events hub and its subscribers (metrics, the event command, the
// rolling documents), the metrics endpoint and the rotating log. The driver
// creates it before anything is read, asks it for the source and the sinks,
// and finishes it after the run.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "engine/run.h"
#include "io/frame_source.h"
#include "io/live_source.h"
#include "live/events.h"
#include "live/exec_hook.h"
#include "live/metrics.h"
#include "live/metrics_server.h"
#include "report/decision_sink.h"
#include "report/outputs.h"
#include "report/result_sink.h"
#include "settings/settings.h"

namespace lumaqc {

class LiveSession : public LiveObserver, public LiveOutputs {
  public:
    // Starts what must work before anything is read or written: the metrics
    // endpoint (bound at once) and the event command. Null, with a one-line
    // message (line feed included) in `error`, when the endpoint cannot be
    // bound.
    static std::unique_ptr<LiveSession> start(const LiveOptions& options, const std::string& input,
                                              const std::atomic<int>* stop, std::string& error);
    ~LiveSession() override;

    // Opens the input for live reading: a URL with reconnection, anything
    // else as Analysis::open() opens it, watched for signal loss. On failure
    // as Analysis::open(); a stop signal while a URL is being opened gives
    // null with an empty `error`.
    std::unique_ptr<Analysis> open(const AnalysisRequest& request, std::string& error,
                                   OpenStatus* status);
    // True once the input was opened for live reading: the documents roll.
    bool live() const override { return live_ != nullptr; }
    // The run's frame rate, once known.
    void setFrameRate(double fps);

    // Under a QC profile: the decision's events go to the hub, and signal
    // losses become events of the decision (with the severity of the
    // profile's signal_loss rule; without one they are not events).
    void attach(DecisionSink& decision) override;

    // The JSON document and the HTML report of a live run (rolling window,
    // rewritten atomically); null with the message (no line feed) in `error`
    // when they cannot be written. `decision` as for JsonSink::setDecision.
    std::unique_ptr<ResultSink> documents(const std::string& jsonPath,
                                          const std::string& reportPath,
                                          const DecisionSink* decision,
                                          std::string& error) override;
    ResultSink& metricsSink() override { return *metricsSink_; }
    EventHub& events() { return hub_; }

    // After the run: closes a signal loss still open, lets the event command
    // finish (a few seconds at most) and stops the metrics endpoint.
    void finish();

    void signalLost(const SignalGap& gap) override;
    void signalBack(const SignalGap& gap) override;
    void notice(const std::string& line) override;

  private:
    LiveSession(const LiveOptions& options, std::string input, const std::atomic<int>* stop);

    LiveOptions options_;
    std::string input_;  // as the events name it
    const std::atomic<int>* stop_;
    double fps_ = 25.0;
    EventHub hub_;
    Metrics metrics_;
    std::unique_ptr<MetricsSink> metricsSink_;
    MetricsServer server_;
    std::unique_ptr<ExecHook> exec_;
    LiveSource* live_ = nullptr;        // owned by the driver
    DecisionSink* decision_ = nullptr;  // owned by the driver's outputs
    SignalLoss loss_;                   // the one open, without a decision
    std::mutex noticeMutex_;
    double lastNotice_ = -1e9;
    long noticesHeld_ = 0;
};

}  // namespace lumaqc
