#include <lumaqc/lumaqc.h>

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/engine.h"

namespace lumaqc {

struct Analyzer::State {
    State(int32_t width, int32_t height, double fps)
        : engine(width, height, fps, CLOCK_THREAD_CPUTIME_ID) {}
    Engine engine;
};

const char* version() {
    return LUMAQC_VERSION;
}

int versionNumber() {
    return LUMAQC_VERSION_NUMBER;
}

// The size is checked before anything is allocated.
Analyzer::Analyzer(int32_t width, int32_t height, double fps) {
    if (width <= 0 || height <= 0) throw std::invalid_argument("picture size must be positive");
    if (static_cast<int64_t>(width) * height > std::numeric_limits<int32_t>::max()) {
        throw std::invalid_argument("picture size is too large");
    }
    state_ = std::make_unique<State>(width, height, fps);
}

Analyzer::~Analyzer() = default;
Analyzer::Analyzer(Analyzer&&) noexcept = default;
Analyzer& Analyzer::operator=(Analyzer&&) noexcept = default;

const FrameValues& Analyzer::analyze(const uint8_t* luma, ptrdiff_t stride, int32_t width,
                                     int32_t height) {
    const Engine& engine = state_->engine;
    if (width != engine.width() || height != engine.height()) {
        throw std::invalid_argument("plane of " + std::to_string(width) + "x" +
                                    std::to_string(height) + " given to an analyser for " +
                                    std::to_string(engine.width()) + "x" +
                                    std::to_string(engine.height()));
    }
    return analyze(luma, stride);
}

const FrameValues& Analyzer::analyze(const uint8_t* luma, ptrdiff_t stride) {
    Engine& engine = state_->engine;
    if (luma == nullptr) throw std::invalid_argument("no luma plane");
    if (stride < engine.width()) throw std::invalid_argument("stride is below the picture width");
    const auto w = static_cast<size_t>(engine.width());
    uint8_t* input = engine.input().data;
    for (int32_t y = 0; y < engine.height(); ++y) {
        std::memcpy(input + static_cast<size_t>(y) * w, luma + y * stride, w);
    }
    return engine.analyze();
}

int32_t Analyzer::width() const {
    return state_->engine.width();
}
int32_t Analyzer::height() const {
    return state_->engine.height();
}
int64_t Analyzer::frames() const {
    return state_->engine.frames();
}

}  // namespace lumaqc
