// A one-line progress bar on the error stream: frames done, frames per
// second and the time left. It is meant for a terminal only; never write it
// where the error stream goes to a file or a pipe (see ProgressBar::wanted).
//
// The bar is redrawn at most ten times a second. When the per-frame rows go
// to the same terminal, the bar's eraser() sink, placed before the console in
// the sink list, wipes the bar before each row so the two never mix.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "results/result_sink.h"

namespace lumaqc {

// The bar's text for `done` of `total` frames (total < 0: unknown) after
// `seconds`, at most `columns` characters wide.
std::string formatProgress(int64_t done, int64_t total, double seconds, int columns);

class ProgressBar : public ResultSink {
  public:
    explicit ProgressBar(FILE* stream = stderr);

    // True when the error stream is a terminal.
    static bool wanted();

    bool begin(const RunInfo& run) override;
    bool frame(const FrameMeta& meta, const lumaqc::FrameValues& values) override;
    // Wipes the bar; nothing is drawn after the end.
    bool end(const RunSummary& summary) override;

    // Wipes the bar if it is shown (before an error message, say).
    void clear();

    // A sink that only wipes the bar: frame() before each console row,
    // end() before the timing summary.
    ResultSink& eraser() { return eraser_; }

  private:
    class Eraser : public ResultSink {
      public:
        explicit Eraser(ProgressBar& bar) : bar_(bar) {}
        bool begin(const RunInfo&) override { return true; }
        bool frame(const FrameMeta&, const lumaqc::FrameValues&) override;
        bool end(const RunSummary&) override;

      private:
        ProgressBar& bar_;
    };

    void draw();
    int columns() const;

    FILE* stream_;
    Eraser eraser_{*this};
    int64_t total_ = -1;
    int64_t done_ = 0;
    bool shown_ = false;
    bool finished_ = false;
    std::chrono::steady_clock::time_point start_{};
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace lumaqc
