// Headerless planar YUV 4:2:0 in a seekable file: frame i starts at byte
// i x (w x h x 3 / 2) and only its luma plane is read.
#pragma once

#include <cstdio>

#include "io/frame_source.h"

namespace lumaqc {

class RawFileSource : public FrameSource {
  public:
    // Takes ownership of `file`.
    RawFileSource(FILE* file, const std::string& path, int32_t width, int32_t height);
    ~RawFileSource() override;

    const SourceInfo& info() const override { return info_; }
    // The whole frames counted when the file was opened are read; a frame
    // past them ends the input.
    ReadResult read(int64_t index, uint8_t* luma) override;

    int64_t fileSize() const { return fileSize_; }
    int64_t frameSize() const { return frameSize_; }

  private:
    FILE* file_;
    SourceInfo info_;
    int64_t lumaSize_;
    int64_t frameSize_;
    int64_t fileSize_ = 0;
};

}  // namespace lumaqc
