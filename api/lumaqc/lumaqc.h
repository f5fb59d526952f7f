// lumaqc library API: no-reference quality indicators for 8-bit luma planes.
//
//   lumaqc::Analyzer analyzer(1920, 1080, 25.0);
//   for (each frame) {
//       const lumaqc::FrameValues& v = analyzer.analyze(lumaPlane, strideInBytes);
//       double blur = v[lumaqc::kBlur];
//   }
//
// An Analyzer keeps the frame-to-frame state of the temporal indicators
// (previous picture, frozen-frame counter, flicker counters) inside itself, so
// any number of analysers can run side by side, in one thread each.
#pragma once

#include <lumaqc/indicators.h>
#include <lumaqc/version.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace lumaqc {

class Analyzer {
  public:
    // Pictures of width x height luma samples (both at least 1) at `fps`
    // frames per second (the rate sets how long a repeat must last to count as
    // a freeze). Throws std::invalid_argument for sizes it cannot handle.
    Analyzer(int32_t width, int32_t height, double fps);
    ~Analyzer();
    Analyzer(Analyzer&&) noexcept;
    Analyzer& operator=(Analyzer&&) noexcept;
    Analyzer(const Analyzer&) = delete;
    Analyzer& operator=(const Analyzer&) = delete;

    // Analyses the next frame: `luma` points at the top-left sample, rows are
    // `stride` bytes apart (stride >= width). Frames must come in order. On
    // the first frame the temporal indicators show 0 (nothing to compare with).
    // The returned values stay valid until the next call. Throws
    // std::invalid_argument for a null plane or a stride below the width.
    const FrameValues& analyze(const uint8_t* luma, ptrdiff_t stride);
    // The same, with the plane's size, which must be the analyser's: a plane
    // of another size throws std::invalid_argument and changes no state.
    const FrameValues& analyze(const uint8_t* luma, ptrdiff_t stride, int32_t width,
                               int32_t height);

    int32_t width() const;
    int32_t height() const;
    // Frames analysed so far.
    int64_t frames() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace lumaqc
