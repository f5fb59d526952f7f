// The JSON document: the input, one object per frame and the run summary
// (layout in schema/lumaqc-results.schema.json).
//
// The head and each frame's object are written as the frames come, one frame
// per line, so a run that is killed leaves every finished frame in the file;
// the summary follows at end(). A run that stops on an error still gets a
// complete document, marked "complete": false, when end() is called with
// RunSummary::complete false.
#pragma once

#include <cstdio>
#include <string>

#include "report/file_sink.h"
#include "report/results_summary.h"

namespace lumaqc {

class DecisionView;
struct RunProvenance;

class JsonSink : public FileSink {
  public:
    // Opens (or creates) the file at `path` ("-": standard output), replaced
    // only with the first frame (see OutputFile); check ok() before the run. `flushEachFrame` false
    // leaves the writing to the file's buffer (for a document written whole, from rows already
    // computed).
    explicit JsonSink(const std::string& path, bool flushEachFrame = true);
    JsonSink(const JsonSink&) = delete;
    JsonSink& operator=(const JsonSink&) = delete;

    // Under a QC profile: each frame gets its "time", and the document the
    // decision's profile, verdict, events and decoding errors. `decision`
    // must end before this sink does (it goes first among the sinks).
    void setDecision(const DecisionView* decision) { decision_ = decision; }
    // How the run was started, for the document's "run" record (none when
    // null); it must outlive this sink.
    void setProvenance(const RunProvenance* provenance) { provenance_ = provenance; }

    bool begin(const RunInfo& run) override;
    bool frame(const FrameMeta& meta, const lumaqc::FrameValues& values) override;
    // Writes the summary and closes the file; later calls do nothing.
    bool end(const RunSummary& summary) override;
    bool keepsPartialResults() const override { return true; }

  private:
    bool begun_ = false;
    RunInfo run_;
    SourceInfo source_;
    ResultsRecorder recorder_;
    const DecisionView* decision_ = nullptr;
    const RunProvenance* provenance_ = nullptr;
};

}  // namespace lumaqc
