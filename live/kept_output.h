// An output of a live run that never ends the run: when a write fails (a
// full disk, a file size limit, a removed folder) the failure is told once
// (an output_error event), the rows meanwhile are counted and left out, and
// writing is tried again with a later row, at most once a second; the first
// write that works again closes the event. On SIGHUP (logrotate's
// convention) the output is reopened before its next row.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "results/result_sink.h"

namespace lumaqc {

class KeptOutput : public ResultSink {
  public:
    // `told(failing, message)`: the output stopped (true) or started again
    // (false) being written. `reopen`: what a SIGHUP does to it (may be
    // empty); `hangups` counts the SIGHUPs received.
    KeptOutput(ResultSink& inner, std::function<void(bool, const std::string&)> told,
               std::function<void()> reopen, const std::atomic<int>* hangups);

    bool begin(const RunInfo& run) override { return inner_.begin(run); }
    bool frame(const FrameMeta& meta, const FrameValues& values) override;
    bool wantsPictures() const override { return inner_.wantsPictures(); }
    void picture(const FrameMeta& meta, const LumaPicture& luma) override;
    std::unique_ptr<PictureWork> pictureWork() const override { return inner_.pictureWork(); }
    void measured(const FrameMeta& meta, const PictureWork& work) override;
    bool end(const RunSummary& summary) override { return inner_.end(summary); }
    std::string error() const override { return inner_.error(); }
    bool keepsPartialResults() const override { return inner_.keepsPartialResults(); }

  private:
    bool ready();
    ResultSink& inner_;
    std::function<void(bool, const std::string&)> told_;
    std::function<void()> reopen_;
    const std::atomic<int>* hangups_;
    int hangupsSeen_ = 0;
    bool failing_ = false;
    double lastTry_ = 0.0;
    int64_t rowsLost_ = 0;
    bool skipPicture_ = false;
};

}  // namespace lumaqc
