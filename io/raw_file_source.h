// Headerless raw video in a seekable file: frame i starts at byte
// i x (frame size of the layout) and only its luma plane is read.
#pragma once

#include <atomic>
#include <cstdio>
#include <vector>

#include "io/frame_source.h"
#include "io/sample_reducer.h"

namespace lumaqc {

class RawFileSource : public FrameSource {
  public:
    // Takes ownership of `file`.
    RawFileSource(FILE* file, const std::string& path, int32_t width, int32_t height,
                  FrameLayout layout, const InputFile& facts = {}, bool mapFrames = false);
    ~RawFileSource() override;

    const SourceInfo& info() const override { return info_; }
    // The whole frames counted when the file was opened are read; a frame
    // past them ends the input.
    // 8-bit layouts are read with pread(), on any thread.
    ReadResult read(int64_t index, uint8_t* luma) override;
    // With mapFrames (8-bit, no colour kept), a frame whose luma plane can
    // be mapped is analysed in the mapping (io/mapped_frames.h); others are
    // read.
    ReadResult readHeld(int64_t index, uint8_t* luma, HeldLuma& held) override;
    // Not while the colour is kept: the frame loop takes it from read() then.
    bool readsConcurrently() const override { return !layout_.reducer && !keepColour_; }
    void keepColour() override { keepColour_ = true; }
    ReadStatus has(int64_t index) const override {
        return index >= 0 && index < info_.frames ? ReadStatus::Ok : ReadStatus::End;
    }

    int64_t fileSize() const { return fileSize_; }
    int64_t frameSize() const { return layout_.frameBytes; }

  private:
    // Asks for the bytes the frames ahead of `index` will be read from
    // (io/read_ahead.h): only the luma planes are read, unless the colour is
    // kept.
    void readAhead(int64_t index);
    ReadResult shrank(int64_t index) const;

    FILE* file_;
    SourceInfo info_;
    FrameLayout layout_;
    std::vector<uint8_t> samples_;  // the luma plane as read, when it needs reducing
    int64_t fileSize_ = 0;
    bool keepColour_ = false;
    bool mapFrames_ = false;
    std::atomic<int64_t> readAhead_{0};  // the frames before it were asked for
};

}  // namespace lumaqc
