// The HTML report: one self-contained page (chart library, script, style and
// data inlined, no network needed) with the run's summary table, the frozen
// and blackout intervals and an interactive chart per indicator over the
// frame index.
//
// The page needs every frame, so it is written at end(). A run that stops on
// an error still gets its page, marked as incomplete, when end() is called
// with RunSummary::complete false; a killed run leaves the file empty.
#pragma once

#include <cstdio>
#include <string>

#include "report/output_file.h"
#include "report/result_sink.h"
#include "report/results_summary.h"

namespace lumaqc {

class HtmlSink : public ResultSink {
  public:
    // Creates (or truncates) the file at `path`; check ok() before the run.
    explicit HtmlSink(const std::string& path);
    HtmlSink(const HtmlSink&) = delete;
    HtmlSink& operator=(const HtmlSink&) = delete;

    // False when the file could not be created; error() says why.
    bool ok() const { return file_.isOpen(); }

    bool begin(const RunInfo& run) override;
    bool frame(int64_t index, const lumaqc::FrameValues& values) override;
    // Writes the page and closes the file; later calls do nothing.
    bool end(const RunSummary& summary) override;
    bool keepsPartialResults() const override { return true; }

  private:
    OutputFile file_;
    RunInfo run_;
    SourceInfo source_;
    ResultsRecorder recorder_;
};

// Text with the characters that HTML gives a meaning (& < > " ') escaped.
std::string escapeHtml(const std::string& text);

}  // namespace lumaqc
