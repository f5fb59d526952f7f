// The outputs the settings ask for, built once for every front end (the
// program, Python, live runs): the decision under a QC profile (with its
// events file), the JSON document, the CSV and the HTML report, the log (or
// the rotating log), and for the program the console table and, on a
// terminal, the progress bar. A document (or the events) whose path is "-"
// takes standard output; the console table then goes to the error stream,
// or nowhere with --quiet.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qc/profile.h"
#include "report/decision_sink.h"
#include "report/progress.h"
#include "report/provenance.h"
#include "report/text_sinks.h"
#include "results/result_sink.h"
#include "settings/settings.h"

namespace lumaqc {

// What a live run adds to the outputs; the live session implements it.
class LiveOutputs {
  public:
    virtual ~LiveOutputs() = default;
    // True once the input is read live: documents written to files roll.
    virtual bool live() const = 0;
    // The decision's events go to the live run's listeners.
    virtual void attach(DecisionSink& decision) = 0;
    // The rolling JSON document and report (either path may be empty); null
    // with the message (no line feed) in `error` when they cannot be written.
    virtual std::unique_ptr<ResultSink> documents(const std::string& jsonPath,
                                                  const std::string& reportPath,
                                                  const DecisionSink* decision,
                                                  const RunProvenance* provenance,
                                                  std::string& error) = 0;
    // Gets every row after the other outputs (the metrics).
    virtual ResultSink& metricsSink() = 0;
    // `output` (named `what` in messages) kept going whatever its writes do:
    // a live run never ends on an output (see live/kept_output.h); `reopen`
    // is what a SIGHUP does to it (may be empty). The live run owns it.
    virtual ResultSink* keep(ResultSink& output, const std::string& what,
                             std::function<void()> reopen) = 0;
};

// Who the outputs are for: the program has a console and a progress bar
// and reports decoding damage on the error stream; a library caller has none.
enum class OutputsFor { Program, Library };

class Outputs {
  public:
    // The log is opened and locked first (see openLog()). Under a QC profile
    // (`profile` set) the decision comes next, with its events file
    // (--events); `input` names the video in its messages. Then the documents
    // are opened. A file that cannot be created returns false likewise
    // (line feed included). Every file keeps its earlier contents until the
    // run's first frame (see OutputFile), so a run that cannot start, or
    // ends without a frame, never truncates the outputs of an earlier one.
    // With a live run (`live` set), the metrics get every row, the
    // decision's events go to its listeners, and the documents of a live
    // input written to files roll. The documents record `provenance` (how
    // the run was started; none when null), which must outlive them.
    // Opens and locks the log (nothing with --no-log, or once it is open).
    // The program calls it before the input is opened, so that a run waiting
    // for a pipe holds its log all the while; create() calls it otherwise.
    // False, with one line in `error`, when another run holds it, or
    // (`required`) when it cannot be created; otherwise a log that cannot be
    // created is reported when the run begins, which goes on without it. A
    // live run's log (`live`) rotates unless told otherwise and can be
    // reopened on SIGHUP.
    bool openLog(const Settings& settings, std::string& error, bool live = false,
                 bool required = false);
    bool create(const Settings& settings, std::optional<qc::Profile> profile,
                const std::string& input, OutputsFor user, LiveOutputs* live, std::string& error,
                const RunProvenance* provenance = nullptr);

    // In the order they get each row: the decision, then the documents, so
    // that whatever stops the run they have every frame the other outputs
    // got, and the events are closed when the documents write them.
    const std::vector<ResultSink*>& sinks() const { return sinks_; }
    ProgressBar& progress() { return progress_; }
    // Null without a profile.
    const DecisionSink* decision() const { return decision_.get(); }
    // Closes the documents (the library's callers read them once the run is
    // over). Returns why the first document that is not whole failed (a
    // write or its close), or nothing when every one was written whole.
    std::string closeDocuments();

  private:
    std::unique_ptr<DecisionSink> decision_;
    std::vector<std::unique_ptr<ResultSink>> documents_;
    std::unique_ptr<ConsoleSink> console_;
    std::unique_ptr<ResultSink> log_;  // LogSink, or RotatingLogSink
    class RotatingLogSink* rotatingLog_ = nullptr;
    ProgressBar progress_;
    std::vector<ResultSink*> sinks_;
};

}  // namespace lumaqc
