// The decision of a run under a QC profile: feeds every frame to the event
// detector, writes the events as JSON Lines while they open and close
// (--events), reports decoding damage on the error stream (the first few
// reports, then only a count), and gives the console verdict and the JSON
// document's profile, verdict and events.
//
// It goes first among the sinks, so that its end() has closed every event
// before the documents write them. In a live run it is also told of signal
// losses (from another thread) and hands every change to a listener, and the
// documents read it while the run goes on: every member is safe from any
// thread.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "qc/detector.h"
#include "qc/profile.h"
#include "qc/timecode.h"
#include "report/decision_view.h"
#include "report/file_sink.h"

namespace lumaqc {

class DecisionSink : public FileSink, public DecisionView {
  public:
    // `source` names where the profile came from ("default" or its path);
    // `input` names the video in damage reports; damage goes to `diagnostics`.
    DecisionSink(qc::Profile profile, std::string source, bool failOnWarning, std::string input,
                 FILE* diagnostics);
    ~DecisionSink() override;
    DecisionSink(const DecisionSink&) = delete;
    DecisionSink& operator=(const DecisionSink&) = delete;

    // Opens (or creates) the JSON Lines file of the events ("-": standard
    // output), replaced only with the first frame or event; false with
    // error() set when it cannot be created.
    bool openEvents(const std::string& path);

    bool begin(const RunInfo& run) override;
    bool frame(const FrameMeta& meta, const FrameValues& values) override;
    // The pictures are measured for the conditions that read them (black
    // with a tolerance, bars, luma levels; their fields for scan_type), on
    // the threads that compute the indicators; of the luma, only the levels
    // the rules read are counted.
    std::unique_ptr<PictureWork> pictureWork() const override;
    void measured(const FrameMeta& meta, const PictureWork& work) override;
    // Counts damage the input ended on (RunSummary::damage) on the last
    // frame, closes the events still open, rates the statistics and writes
    // the verdict line of the events file; later calls do nothing.
    bool end(const RunSummary& summary) override;
    // A run stopped by an error is judged on the frames done.
    bool keepsPartialResults() const override { return true; }

    // Not while the run goes on from another thread (see snapshot()).
    const qc::EventDetector& detector() const { return *detector_; }
    qc::Verdict verdict() const;
    // An ended copy of the decision so far, for documents written while the
    // run goes on.
    std::unique_ptr<DecisionSink> snapshot() const;
    const qc::Profile& profile() const { return profile_; }
    // The verdict and one line per event, for the console after the timing summary.
    std::string consoleText() const;
    nlohmann::ordered_json document() const override;
    // The events, errors first, then warnings, then infos (each in the order
    // they opened). Not while the run goes on.
    std::vector<const qc::Event*> eventsBySeverity() const;
    // One event as the console shows it (no line feed): severity, type,
    // rule, timecode with seconds, frames, message.
    std::string eventLine(const qc::Event& event) const;
    // The stream's timecode clock (its start timecode, or zero).
    const qc::TimecodeClock& clock() const { return clock_; }
    // What the stream declares (scan type, timecode, duration), from begin().
    const SourceInfo& stream() const { return stream_; }
    // Where the frames analysed end (seconds), once ended; 0 before.
    double analysedEnd() const { return analysedEnd_; }
    // One line (no line feed) summing up the decoding damage; empty without damage.
    std::string damageSummary() const;
    // Once ended, one line (no line feed) for the ignored head when it
    // covers every frame, else for each rule whose window starts after the
    // last frame: they judged nothing (a timecode written as the stream's,
    // when times count from its start). First, without a diagnostics
    // stream (which hears it at the start), the ignored tail of an input
    // whose end was not known before it came.
    std::vector<std::string> unjudgedNotes() const;

    // Live runs: hears every change of an event with its JSON Lines record
    // (the events file's line), as it happens, on the thread that made it;
    // the records then carry the wall-clock time too ("wall_time", UTC).
    using Listener =
        std::function<void(qc::Change change, const qc::Event& event, const std::string& record)>;
    void setLive(Listener listener);
    // Live inputs: signal losses (see qc::EventDetector::signalLost).
    // `wallTime`: when the loss opened, for one told late (else now).
    void signalLost(int64_t next, double seconds, const std::string& message,
                    const std::string& wallTime = "");
    void signalBack(int64_t next, double seconds, const std::string& message);
    // Runs that never end: see qc::EventDetector::setLiveLimits. Before begin().
    void setLiveLimits(double decodeHoldOff, size_t statisticFrames, size_t damagedFrames);

  private:
    void report(int64_t frame, int damage, const std::string& message);
    bool writeLine(const std::string& line);
    bool startEvents();
    void heard(qc::Change change, const qc::Event& event);

    mutable std::mutex mutex_;  // guards everything below
    Listener listener_;
    std::string wallTime_;  // of the change being heard, when not now
    std::unique_ptr<qc::EventDetector> detector_;
    qc::Profile profile_;
    std::string source_;
    bool failOnWarning_;
    std::string input_;
    FILE* diagnostics_;
    bool eventsFailed_ = false;
    int64_t reports_ = 0;  // damage reports printed so far
    int64_t lastFrame_ = -1;
    bool ended_ = false;
    std::string tailNote_;  // ignore_tail not applied, when not said yet
    qc::TimecodeClock clock_;
    bool fields_;  // a rule reads the fields
    qc::PictureMeasures measures_;
    int64_t measuredFrame_ = -1;
    SourceInfo stream_;
    double analysedEnd_ = 0.0;
    double decodeHoldOff_ = 0.0;
    size_t statisticFrames_ = 0;
    size_t damagedFrames_ = 0;
};

}  // namespace lumaqc
