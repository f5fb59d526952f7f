// The level a file keeps of an indicator: the median of its values over the
// last seconds of the frames a rule did not flag. A rule relative to it
// watches the value rising above the file's own level, which depends on the
// content and the picture size (blur reads wider ramps in a picture scaled
// up), instead of a fixed limit.
#pragma once

#include <deque>
#include <optional>
#include <utility>
#include <vector>

namespace lumaqc::qc {

class RunningLevel {
  public:
    // How far back the level looks (seconds), and how much of the file it
    // needs before it has a level at all.
    static constexpr double kWindow = 10.0;
    static constexpr double kWarmUp = 0.5;
    static constexpr int kMinFrames = 5;

    // The file's level before the frame at `seconds`; nothing while fewer
    // than kMinFrames frames over kWarmUp seconds were seen.
    std::optional<double> level(double seconds) const;
    // A frame the rule did not flag: part of the level.
    void add(double seconds, double value);
    // A frame the rule flagged: kept aside, and taken into the level once
    // the flagged stretch outlasts the window (a lasting change of content
    // becomes the file's new level).
    void flag(double seconds, double value);
    // The flagged stretch ended: its frames stay out of the level.
    void endRun() { flagged_.clear(); }

  private:
    void trim(double seconds);

    std::deque<std::pair<double, double>> kept_;  // (seconds, value)
    std::vector<std::pair<double, double>> flagged_;
    mutable std::vector<double> scratch_;  // level()'s copy for the median
};

}  // namespace lumaqc::qc
