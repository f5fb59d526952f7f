// The outputs the command line asks for: the decision under a QC profile
// (--profile, its events with --events), the JSON document, the CSV and the
// HTML report (--json, --csv, --report), the console table (--quiet leaves
// out its rows), the log (--log, --no-log) and, on a terminal, the progress
// bar. A document (or the events) whose path is "-" takes standard output;
// the console table then goes to the error stream, or nowhere with --quiet.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "live/rotating_log.h"
#include "live/session.h"
#include "qc/profile.h"
#include "report/decision_sink.h"
#include "report/progress.h"
#include "report/result_sink.h"
#include "report/text_sinks.h"

namespace lumaqc {

class Outputs {
  public:
    // The log is opened and locked first (another run holding it returns
    // false with one line in `error` naming that run). Under a QC profile
    // (`profile` set) the decision comes next, with its events file
    // (--events); `input` names the video in its messages. Then the documents
    // are created. A file that cannot be created returns false likewise. The
    // log is emptied only when the run starts, so a run that cannot start
    // never truncates the log of an earlier one.
    // With a live session (`live` set), the metrics get every row, the
    // decision's events go to its hub, and the documents of a live input
    // written to files roll.
    bool create(const CommandLine& line, std::optional<qc::Profile> profile,
                const std::string& input, LiveSession* live, std::string& error);

    // In the order they get each row: the decision, then the documents, so
    // that whatever stops the run they have every frame the other outputs
    // got, and the events are closed when the documents write them.
    const std::vector<ResultSink*>& sinks() const { return sinks_; }
    ProgressBar& progress() { return progress_; }
    // Null without a profile.
    const DecisionSink* decision() const { return decision_.get(); }

  private:
    std::unique_ptr<DecisionSink> decision_;
    std::vector<std::unique_ptr<ResultSink>> documents_;
    std::unique_ptr<ConsoleSink> console_;
    std::unique_ptr<ResultSink> log_;  // LogSink, or RotatingLogSink
    RotatingLogSink* rotatingLog_ = nullptr;
    ProgressBar progress_;
    std::vector<ResultSink*> sinks_;
};

}  // namespace lumaqc
