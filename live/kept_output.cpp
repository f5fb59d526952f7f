#include "live/kept_output.h"

#include "io/live_source.h"

namespace lumaqc {

namespace {

constexpr double kRetrySeconds = 1.0;

}  // namespace

KeptOutput::KeptOutput(ResultSink& inner, std::function<void(bool, const std::string&)> told,
                       std::function<void()> reopen, const std::atomic<int>* hangups)
    : inner_(inner),
      told_(std::move(told)),
      reopen_(std::move(reopen)),
      hangups_(hangups),
      hangupsSeen_(hangups != nullptr ? hangups->load() : 0) {}

// Whether this row goes to the output (not while it fails, between tries).
bool KeptOutput::ready() {
    if (hangups_ != nullptr) {
        const int now = hangups_->load();
        if (now != hangupsSeen_) {
            hangupsSeen_ = now;
            if (reopen_) reopen_();
            lastTry_ = 0.0;  // try at once
        }
    }
    return !failing_ || monotonicSeconds() - lastTry_ >= kRetrySeconds;
}

void KeptOutput::picture(const FrameMeta& meta, const LumaPicture& luma) {
    skipPicture_ = !ready();
    if (!skipPicture_) inner_.picture(meta, luma);
}

void KeptOutput::measured(const FrameMeta& meta, const PictureWork& work) {
    if (ready()) inner_.measured(meta, work);
}

bool KeptOutput::frame(const FrameMeta& meta, const FrameValues& values) {
    if (!ready()) {
        ++rowsLost_;
        return true;
    }
    if (inner_.frame(meta, values)) {
        if (failing_) {
            failing_ = false;
            told_(false, "written again from frame " + std::to_string(meta.index) + "; " +
                             std::to_string(rowsLost_) + " rows left out meanwhile");
            rowsLost_ = 0;
        }
        return true;
    }
    ++rowsLost_;
    lastTry_ = monotonicSeconds();
    if (!failing_) {
        failing_ = true;
        told_(true, inner_.error());
    }
    return true;
}

}  // namespace lumaqc
