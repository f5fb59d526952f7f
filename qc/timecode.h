// SMPTE timecode for times in a stream: where an event is, as a QC desk reads
// it. The clock starts at the stream's start timecode when it carries one
// ("01:00:00:00", or "00:59:59;28" with the drop-frame separator) and at
// 00:00:00:00 otherwise. Times map to frames at the stream's rate (nearest
// frame); frame counts map to timecode at the nominal rate (the rate rounded
// to a whole number of frames per second), dropping frame numbers 0 and 1
// (0 to 3 at 59.94) at the start of each minute but every tenth for
// drop-frame timecode, which 29.97 and 59.94 streams use when their start
// timecode says so or when they carry none.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lumaqc::qc {

class TimecodeClock {
  public:
    // `start` as the stream states it (empty: none); `fps` the stream's rate.
    // A start timecode that cannot be read is left out (the clock starts at
    // zero); a rate that is not positive gives a clock that prints nothing.
    TimecodeClock(const std::string& start, double fps);
    TimecodeClock() = default;

    bool valid() const { return nominal_ > 0; }
    bool dropFrame() const { return drop_; }
    // "HH:MM:SS:FF" (";" before the frames for drop-frame) of the frame
    // shown at `seconds` from the start of the stream; empty when not valid.
    std::string at(double seconds) const;
    // The timecode of frame `frames` counted from the start timecode.
    std::string ofFrame(int64_t frames) const;
    // The start timecode as read, normalised ("" when there is none).
    const std::string& start() const { return startText_; }

  private:
    double fps_ = 0.0;
    int nominal_ = 0;  // frames per second of the timecode
    bool drop_ = false;
    int64_t startFrame_ = 0;
    std::string startText_;
};

// Parses "HH:MM:SS:FF" / "HH:MM:SS;FF" (also '.' or ',' before the frames)
// into a frame count at `nominal` frames per second; nothing when malformed.
std::optional<int64_t> parseTimecode(const std::string& text, int nominal, bool drop);

// Seconds rounded to the millisecond, so that documents print 10.2 and not
// 10.200000000000001.
double roundMillis(double seconds);
// "12.345 s"-style text without the unit: seconds with three decimals.
std::string millisText(double seconds);

// A time a user wrote: seconds ("5", "5.5") or a timecode "HH:MM:SS:FF"
// (read at `fps`, from zero). Nothing when it is neither.
std::optional<double> parseTime(const std::string& text, double fps);

}  // namespace lumaqc::qc
