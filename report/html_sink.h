// The HTML report: one self-contained page (chart library, script, style and
// data inlined, no network needed) with the run's summary table, the frozen
// and blackout intervals and an interactive chart per indicator over time
// (long runs decimated to each stretch's lowest and highest value).
//
// Under a QC profile (setDecision) the page also shows the decision: a
// verdict banner, the events (a table, and spans on a timeline above the
// charts), each rule's threshold on its indicator's chart, which way each
// indicator gets worse, and thumbnails of the events' first frames and of
// the worst frames of the rules that raised an event (see
// report/thumbnails.h). Events come errors first, with their timecode; the
// frozen pictures are the freeze events.
//
// The page needs every frame, so it is written at end(). A run that stops on
// an error still gets its page, marked as incomplete, when end() is called
// with RunSummary::complete false; a killed run leaves the file empty.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "report/file_sink.h"
#include "report/results_summary.h"
#include "report/thumbnails.h"

namespace lumaqc {

class DecisionSink;
struct RunProvenance;

class HtmlSink : public FileSink {
  public:
    // Opens (or creates) the file at `path` ("-": standard output), replaced
    // only with the first frame (see OutputFile); check ok() before the run.
    explicit HtmlSink(const std::string& path);
    HtmlSink(const HtmlSink&) = delete;
    HtmlSink& operator=(const HtmlSink&) = delete;

    // The run's decision; it must come before this sink in the frame loop,
    // so that its detector has seen a frame when this sink gets it.
    void setDecision(const DecisionSink* decision) { decision_ = decision; }
    // How the run was started, for the page's record of it (none when null);
    // it must outlive this sink.
    void setProvenance(const RunProvenance* provenance) { provenance_ = provenance; }

    bool begin(const RunInfo& run) override;
    bool frame(const FrameMeta& meta, const lumaqc::FrameValues& values) override;
    bool wantsPictures() const override { return keeper_ != nullptr; }
    void picture(const FrameMeta& meta, const LumaPicture& luma) override;
    // Writes the page and closes the file; later calls do nothing.
    bool end(const RunSummary& summary) override;
    bool keepsPartialResults() const override { return true; }

  private:
    RunInfo run_;
    SourceInfo source_;
    ResultsRecorder recorder_;
    const DecisionSink* decision_ = nullptr;
    const RunProvenance* provenance_ = nullptr;
    std::unique_ptr<ThumbnailKeeper> keeper_;  // under a decision, when pictures can be made
    LumaPicture luma_;                         // the picture of the frame about to come
};

// Text with the characters that HTML gives a meaning (& < > " ') escaped.
std::string escapeHtml(const std::string& text);

}  // namespace lumaqc
