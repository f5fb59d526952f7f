#include <lumaqc/lumaqc.h>

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/frame_analysis.h"

namespace lumaqc {

struct Analyzer::State {
    Image current{};
    Image previous{};
    TemporalState temporal{};
    double fps = 0.0;
    int64_t frames = 0;
    FrameValues values{};
    IndicatorSeconds seconds{};

    ~State() {
        freeImage(current);
        freeImage(previous);
        freeTemporalState(temporal);
    }
};

const char* version() {
    return LUMAQC_VERSION;
}

Analyzer::Analyzer(int32_t width, int32_t height, double fps) : state_(std::make_unique<State>()) {
    if (width <= 0 || height <= 0) throw std::invalid_argument("picture size must be positive");
    if (static_cast<int64_t>(width) * height > std::numeric_limits<int32_t>::max()) {
        throw std::invalid_argument("picture size is too large");
    }
    state_->current = callocImage(width, height);
    state_->previous = callocImage(width, height);
    state_->temporal = createTemporalState(width, height);
    state_->fps = fps;
}

Analyzer::~Analyzer() = default;
Analyzer::Analyzer(Analyzer&&) noexcept = default;
Analyzer& Analyzer::operator=(Analyzer&&) noexcept = default;

const FrameValues& Analyzer::analyze(const uint8_t* luma, ptrdiff_t stride, int32_t width,
                                     int32_t height) {
    if (width != state_->current.w || height != state_->current.h) {
        throw std::invalid_argument("plane of " + std::to_string(width) + "x" +
                                    std::to_string(height) + " given to an analyser for " +
                                    std::to_string(state_->current.w) + "x" +
                                    std::to_string(state_->current.h));
    }
    return analyze(luma, stride);
}

const FrameValues& Analyzer::analyze(const uint8_t* luma, ptrdiff_t stride) {
    State& s = *state_;
    if (luma == nullptr) throw std::invalid_argument("no luma plane");
    if (stride < s.current.w) throw std::invalid_argument("stride is below the picture width");
    const size_t w = static_cast<size_t>(s.current.w);
    for (int32_t y = 0; y < s.current.h; ++y) {
        std::memcpy(s.current.data + static_cast<size_t>(y) * w, luma + y * stride, w);
    }
    const StageInput input{&s.current, &s.previous, &s.temporal, s.fps};
    computeFrame(input, s.frames == 0, s.values, s.seconds, CLOCK_THREAD_CPUTIME_ID);
    std::swap(s.current.data, s.previous.data);
    ++s.frames;
    return s.values;
}

int32_t Analyzer::width() const {
    return state_->current.w;
}
int32_t Analyzer::height() const {
    return state_->current.h;
}
int64_t Analyzer::frames() const {
    return state_->frames;
}

}  // namespace lumaqc
