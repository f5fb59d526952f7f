// Headerless raw video from an input that cannot seek (standard input,
// a pipe): frames are read one after the other, the start frame is reached by
// reading and discarding, and the run ends where the stream ends.
#pragma once

#include <memory>
#include <vector>

#include "io/frame_source.h"
#include "io/input_stream.h"
#include "io/sample_reducer.h"

namespace lumaqc {

class RawStreamSource : public FrameSource {
  public:
    RawStreamSource(std::unique_ptr<InputStream> input, const std::string& path, int32_t width,
                    int32_t height, FrameLayout layout, const InputFile& facts = {});

    const SourceInfo& info() const override { return info_; }
    ReadResult read(int64_t index, uint8_t* luma) override;
    void keepColour() override { keepColour_ = true; }

  private:
    ReadResult failure(int64_t index) const;

    std::unique_ptr<InputStream> input_;
    SourceInfo info_;
    FrameLayout layout_;
    std::vector<uint8_t> samples_;  // the luma plane as read, when it needs reducing
    int64_t next_ = 0;              // index of the next frame in the stream
    bool keepColour_ = false;
};

}  // namespace lumaqc
