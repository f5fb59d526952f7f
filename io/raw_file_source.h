// Headerless raw video in a seekable file: frame i starts at byte
// i x (frame size of the layout) and only its luma plane is read.
#pragma once

#include <cstdio>
#include <vector>

#include "io/frame_source.h"
#include "io/sample_reducer.h"

namespace lumaqc {

class RawFileSource : public FrameSource {
  public:
    // Takes ownership of `file`.
    RawFileSource(FILE* file, const std::string& path, int32_t width, int32_t height,
                  FrameLayout layout, const InputFile& facts = {});
    ~RawFileSource() override;

    const SourceInfo& info() const override { return info_; }
    // The whole frames counted when the file was opened are read; a frame
    // past them ends the input.
    ReadResult read(int64_t index, uint8_t* luma) override;

    int64_t fileSize() const { return fileSize_; }
    int64_t frameSize() const { return layout_.frameBytes; }

  private:
    FILE* file_;
    SourceInfo info_;
    FrameLayout layout_;
    std::vector<uint8_t> samples_;  // the luma plane as read, when it needs reducing
    int64_t fileSize_ = 0;
};

}  // namespace lumaqc
