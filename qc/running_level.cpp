#include "qc/running_level.h"

#include <algorithm>

namespace lumaqc::qc {

std::optional<double> RunningLevel::level(double seconds) const {
    if (kept_.size() < static_cast<size_t>(kMinFrames) || seconds - kept_.front().first < kWarmUp) {
        return std::nullopt;
    }
    std::vector<double>& values = scratch_;  // reused: no allocation per frame
    values.clear();
    for (const auto& [at, v] : kept_) values.push_back(v);
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

void RunningLevel::add(double seconds, double value) {
    kept_.emplace_back(seconds, value);
    trim(seconds);
}

void RunningLevel::flag(double seconds, double value) {
    flagged_.emplace_back(seconds, value);
    if (seconds - flagged_.front().first >= kWindow) {
        kept_.insert(kept_.end(), flagged_.begin(), flagged_.end());
        flagged_.clear();
        trim(seconds);
    }
}

void RunningLevel::trim(double seconds) {
    while (!kept_.empty() && seconds - kept_.front().first > kWindow) kept_.pop_front();
}

}  // namespace lumaqc::qc
