// The JSON document and the HTML report of a live run. A run that never ends
// cannot keep every frame, so they cover a rolling window: the frames of the
// last `window` seconds of the input's timeline. Both are rewritten whole
// every flush interval, as soon as the signal is lost, and at the end; each
// is written to a temporary file beside it (PATH.tmp-PID) and renamed over
// it, so a reader always finds a complete document, the earlier one until
// the first rewrite. The documents are those of a finished run over the
// frames of the window (marked incomplete until the run ends), so a live run
// shorter than its window writes at the end exactly what a run of the same
// frames from a file writes.
//
// The window is also bounded in frames (its length at 120 frames a second),
// so an input that claims a huge frame rate cannot make it grow.
// Memory: the window's frames, about 140 bytes each, and while a rewrite
// runs (on a thread of its own) a copy of them and the document's own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "io/live_source.h"
#include "live/events.h"
#include "report/decision_sink.h"
#include "report/provenance.h"
#include "results/result_sink.h"

namespace lumaqc {

class RollingDocuments : public ResultSink, public EventSubscriber {
  public:
    // Empty paths for the documents not asked for.
    // Under a QC profile, `decision` gives the JSON document its members (it
    // is read while the run goes on). `provenance` (may be null) is the
    // documents' record of how the run was started.
    RollingDocuments(std::string jsonPath, std::string reportPath, double windowSeconds,
                     double flushSeconds, const DecisionSink* decision,
                     const RunProvenance* provenance);
    ~RollingDocuments() override;
    RollingDocuments(const RollingDocuments&) = delete;
    RollingDocuments& operator=(const RollingDocuments&) = delete;

    // Rewrites the documents at once when the signal is lost (until destroyed).
    void listenTo(EventHub& hub);
    // A rewrite during the run that fails does not end the run: it is told
    // (failing true, and false once a rewrite works again) and tried again
    // at the next flush. Before begin().
    void tellWith(std::function<void(bool, const std::string&)> told) { told_ = std::move(told); }
    // Rewrites the documents at once after each SIGHUP counted there.
    void rewriteOnHangup(const std::atomic<int>* hangups) { hangups_ = hangups; }

    // Whether the documents can be written there: creates and removes their
    // temporary files. False with the message (no line feed) in `error`.
    bool check(std::string& error);

    bool begin(const RunInfo& run) override;
    bool frame(const FrameMeta& meta, const FrameValues& values) override;
    bool end(const RunSummary& summary) override;
    std::string error() const override;
    bool keepsPartialResults() const override { return true; }
    void onEvent(const LiveEvent& event) override;

  private:
    struct Row {
        int64_t index;
        double time;
        lumaqc::FrameValues values;
    };
    void flushLoop();
    void stopFlushing();
    bool write(const std::vector<Row>& rows, const RunSummary& summary, std::string& error) const;

    std::string jsonPath_;
    std::string reportPath_;
    double window_;
    double flushSeconds_;
    const DecisionSink* decision_;
    const RunProvenance* provenance_;
    EventHub* hub_ = nullptr;
    RunInfo run_;
    SourceInfo source_;
    bool ended_ = false;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Row> rows_;
    bool flushSoon_ = false;
    bool stopping_ = false;
    std::string flushError_;
    std::thread flusher_;
    std::function<void(bool, const std::string&)> told_;
    const std::atomic<int>* hangups_ = nullptr;
    size_t maxRows_ = 0;  // the window in frames, whatever rate the input claims
};

}  // namespace lumaqc
