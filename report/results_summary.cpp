#include "report/results_summary.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "indicators/registry.h"
#include "report/text_report.h"

namespace lumaqc {

namespace {

// Value of nearest rank ceil(percent * n / 100) in the ascending `sorted`.
double nearestRank(const std::vector<double>& sorted, int64_t percent) {
    const auto n = static_cast<int64_t>(sorted.size());
    const int64_t rank = std::max<int64_t>(1, (percent * n + 99) / 100);
    return sorted[static_cast<size_t>(rank - 1)];
}

// Extends the last interval when it ends just before `index`, else opens a new one.
void extend(std::vector<FrameInterval>& intervals, int64_t first, int64_t index) {
    if (!intervals.empty() && intervals.back().last == index - 1) {
        intervals.back().last = index;
    } else {
        intervals.push_back(FrameInterval{first, index});
    }
}

}  // namespace

std::optional<double> outputValue(IndicatorId id, double value, bool firstFrame) {
    const IndicatorInfo& info = indicatorInfo(id);
    if (!std::isfinite(value)) return std::nullopt;
    if (info.noValue.minusOne && value == -1.0) return std::nullopt;
    if (info.noValue.firstFrame && firstFrame) return std::nullopt;
    if (info.kind != ValueKind::Real) {
        const int32_t integer = truncateToInt32(value);
        // Finite values beyond the 32-bit range have no integer the rows could print.
        if (integer == INT32_MIN && std::trunc(value) != static_cast<double>(INT32_MIN)) {
            return std::nullopt;
        }
        return static_cast<double>(integer);
    }
    return value;
}

std::optional<double> durationSeconds(int64_t frames, double fps) {
    if (!(fps > 0.0) || !std::isfinite(fps)) return std::nullopt;
    return static_cast<double>(frames) / fps;
}

void ResultsRecorder::add(int64_t index, const FrameValues& values) {
    const bool first = indices_.empty();
    indices_.push_back(index);
    rows_.push_back(values);

    // The count of repeats the freezing indicator keeps.
    repeats_ = first ? 0 : freezeRepeats(repeats_, values);
    if (values[kFreezing] == 1.0) extend(frozen_, index - repeats_, index);
    if (values[kBlackout] == 1.0) extend(blackouts_, index, index);

    if (!first && values[kFlickering] != -1.0) {
        ratings_.push_back(
            FlickerRating{index, outputValue(kFlickering, values[kFlickering], false)});
    }
}

std::optional<double> ResultsRecorder::value(size_t row, IndicatorId id) const {
    return outputValue(id, rows_[row][id], row == 0);
}

IndicatorStats ResultsRecorder::stats(IndicatorId id) const {
    std::vector<double> present;
    present.reserve(rows_.size());
    double sum = 0.0;
    for (size_t row = 0; row < rows_.size(); ++row) {
        if (const std::optional<double> v = value(row, id)) {
            present.push_back(*v);
            sum += *v;
        }
    }
    IndicatorStats stats;
    stats.count = static_cast<int64_t>(present.size());
    if (present.empty()) return stats;
    stats.mean = sum / static_cast<double>(present.size());
    std::sort(present.begin(), present.end());
    stats.min = present.front();
    stats.max = present.back();
    stats.p5 = nearestRank(present, 5);
    stats.p50 = nearestRank(present, 50);
    stats.p95 = nearestRank(present, 95);
    return stats;
}

}  // namespace lumaqc
