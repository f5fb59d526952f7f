// What live monitoring adds around the frame loop, built from the options:
// the input opened for live reading (URLs reopened, signal loss watched),
// the events hub and its subscribers (metrics, the event command, the
// rolling documents), the metrics endpoint and the rotating log. The driver
// creates it before anything is read, asks it for the source and the sinks,
// and finishes it after the run.
//
// A live run ends only on a stop signal (or a start that is refused): what
// a live feed does meanwhile becomes events of the session besides the
// decision's:
//   format_change  (warning) the input's picture size, pixel format or codec
//                  changed; the pictures are scaled to the run's size
//   output_error   (error)   an output cannot be written (see KeptOutput);
//                  open until writing works again
//   overload       (warning) the analysis runs more than kOverloadSeconds
//                  behind real time; closed when it has caught up
//   signal_loss    (error)   without a QC profile (with one, the decision's)
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/run.h"
#include "io/frame_source.h"
#include "io/live_source.h"
#include "live/events.h"
#include "live/exec_hook.h"
#include "live/kept_output.h"
#include "live/metrics.h"
#include "live/metrics_server.h"
#include "report/decision_sink.h"
#include "report/outputs.h"
#include "results/result_sink.h"
#include "settings/settings.h"

namespace lumaqc {

class LiveSession : public LiveObserver, public LiveOutputs {
  public:
    static constexpr double kOverloadSeconds = 3.0;

    // Starts what must work before anything is read or written: the metrics
    // endpoint (bound at once, unless `serve` is false: lumaqc monitor serves
    // every channel's metrics itself) and the event command. Null, with a
    // one-line message (line feed included) in `error`, when the endpoint
    // cannot be bound or its port not written to --metrics-port-file.
    static std::unique_ptr<LiveSession> start(const LiveOptions& options, const std::string& input,
                                              const std::atomic<int>* stop, std::string& error,
                                              bool serve = true);
    ~LiveSession() override;

    // SIGHUP: counted there; outputs are reopened before their next row.
    void setHangups(const std::atomic<int>* hangups) { hangups_ = hangups; }
    // What starts the session's lines on the error stream after "lumaqc: "
    // (lumaqc monitor names the channel there).
    void setMessagePrefix(std::string prefix) { prefix_ = std::move(prefix); }

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
    // when they cannot be written. `decision` and `provenance` as for
    // JsonSink::setDecision and setProvenance.
    std::unique_ptr<ResultSink> documents(const std::string& jsonPath,
                                          const std::string& reportPath,
                                          const DecisionSink* decision,
                                          const RunProvenance* provenance,
                                          std::string& error) override;
    // `output` (named `what` in events) kept going whatever its writes do
    // (see KeptOutput); `reopen` is what a SIGHUP does to it. The session
    // owns the wrapper.
    ResultSink* keep(ResultSink& output, const std::string& what,
                     std::function<void()> reopen) override;
    ResultSink& metricsSink() override { return *metricsSink_; }
    EventHub& events() { return hub_; }
    Metrics& metrics() { return metrics_; }

    // After the run: closes a signal loss still open, lets the event command
    // finish (a few seconds at most) and stops the metrics endpoint.
    void finish();

    void signalLost(const SignalGap& gap) override;
    void signalBack(const SignalGap& gap) override;
    void notice(const std::string& line) override;
    void formatChanged(int64_t index, double seconds, const std::string& change) override;
    void reconnecting() override;

  private:
    LiveSession(const LiveOptions& options, std::string input, const std::atomic<int>* stop);
    void lagIs(double lag);
    void outputTold(const std::string& what, bool failing, const std::string& message);

    LiveOptions options_;
    std::string input_;  // as the events name it
    std::string prefix_;
    const std::atomic<int>* stop_;
    const std::atomic<int>* hangups_ = nullptr;
    // fps_ and decision_ are set on the run's thread while the watchdog may
    // already tell of a loss (a feed dead at the start): under
    // observerMutex_, which signalLost() and signalBack() hold throughout.
    std::mutex observerMutex_;
    double fps_ = 25.0;
    EventHub hub_;
    Metrics metrics_;
    std::unique_ptr<MetricsSink> metricsSink_;
    MetricsServer server_;
    std::unique_ptr<ExecHook> exec_;
    LiveSource* live_ = nullptr;        // owned by the driver
    DecisionSink* decision_ = nullptr;  // owned by the driver's outputs
    std::vector<std::unique_ptr<KeptOutput>> kept_;
    SignalLoss loss_;                       // the one open, without a decision
    bool lossInHub_ = false;                // a loss opened outside the decision is open
    std::atomic<bool> handingOver_{false};  // the decision takes that loss over
    std::string lossOpenedAt_;              // its wall_time
    std::mutex noticeMutex_;
    double lastNotice_ = -1e9;
    long noticesHeld_ = 0;
    std::mutex eventsMutex_;  // the session's own events below
    bool overloaded_ = false;
    int64_t lastFrame_ = -1;
    double lastSeconds_ = 0.0;
    std::vector<std::string> failingOutputs_;
};

}  // namespace lumaqc
