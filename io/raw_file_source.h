// Headerless planar YUV 4:2:0 in a seekable file: frame i starts at byte
// i x (w x h x 3 / 2) and only its luma plane is read.
#pragma once

#include <cstdio>
#include <vector>

#include "io/frame_source.h"

namespace lumaqc {

class RawFileSource : public FrameSource {
  public:
    // Takes ownership of `file`.
    RawFileSource(FILE* file, const std::string& path, int32_t width, int32_t height);
    ~RawFileSource() override;

    const SourceInfo& info() const override { return info_; }
    ReadResult read(int64_t index, uint8_t* luma) override;

  private:
    FILE* file_;
    SourceInfo info_;
    int64_t lumaSize_;
    int64_t frameSize_;
    // Two buffers that take frames in turn. A read past the end of the file
    // delivers nothing (or only part of a frame) and leaves the buffer as it
    // was, so such a frame shows the samples of the frame two before it.
    std::vector<uint8_t> buffers_[2];
    int turn_ = 0;
};

}  // namespace lumaqc
