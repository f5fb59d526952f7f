// The registry of the fifteen indicators: each one declared once, in the
// order in which a frame computes them. The engine calls them stage by stage;
// the outputs take their keys, names, value kinds, no-value rules and
// presentation (text columns, report hint, QC event type) from here. Adding
// an indicator means one source file and one entry in registry.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "indicators/indicator_id.h"
#include "indicators/indicators.h"

namespace lumaqc {

// When an indicator can run, which decides where the frame loop calls it.
enum class Stage {
    Spatial,     // current picture only
    Pairwise,    // current and previous picture, no state
    Sequential,  // previous picture and the temporal state; once per frame, in frame order
};

// What a value is.
enum class ValueKind {
    Real,       // a real number
    Flag,       // 0 or 1
    Truncated,  // its integer part counts (truncation toward zero)
};

// Which values mean "no value" besides those that are not finite numbers.
struct NoValueRule {
    bool minusOne = false;    // -1.0 marks a frame without a value
    bool firstFrame = false;  // the first frame's value is a start value, not a result
};

// Everything an indicator call can read: the pictures, the state carried
// from frame to frame, the frame rate and the values of the indicators
// already computed for this frame.
struct FrameContext {
    const Image* current = nullptr;
    const Image* previous = nullptr;    // the temporal stages
    TemporalState* temporal = nullptr;  // the sequential stage
    BlurState* blur = nullptr;          // the spatial stage: blur's hint, none when null
    double fps = 0.0;
    const FrameValues* values = nullptr;
    // Flickering's block changes of this frame (flickeringBlocks bytes), or
    // null: temporal activity (pairwise) leaves them there in its pass over
    // the pictures, and flickering (sequential) updates its state from them.
    // Without them each reads the pictures itself.
    uint8_t* flickerChanges = nullptr;
    // The block statistics of the current picture, shared by the spatial
    // indicators that read them (noise, contrast, exposure, blackout, and
    // spatial activity for the Roberts energies' sum of squares), or null:
    // the caller clears `ready` before each frame, and the first of them to
    // run computes them there (its time includes the pass). Without them
    // each computes what it needs itself.
    BlockStats* blockStats = nullptr;
    // The same for the structure sums of blockiness, interlace and slice;
    // their walk also fills the block statistics when they are not ready
    // (and so its time then includes them).
    StructureSums* structure = nullptr;
    // Block loss's Roberts energies, left by spatial activity's pass over
    // the current picture (the caller clears `ready` before each frame), or
    // null: block loss then makes its own pass.
    RobertsShare* roberts = nullptr;
};

// How an indicator shows in the console table, the log and the timing
// summary. The formats are printf conversions: of a double for real values,
// of an int for the others.
struct TextLayout {
    const char* consoleLabel;
    const char* logLabel;
    int consoleHeaderTabs;  // tabs before the label in the console header
    int consoleRowTabs;     // tabs before the value in a console row
    const char* consoleFormat;
    const char* logFormat;
    int timingSlot;            // position in the timing summary (0 first)
    const char* timingPrefix;  // the text before its figure there
};

struct IndicatorInfo {
    IndicatorId id;
    const char* key;   // stable snake_case key for machine-readable output
    const char* name;  // human-readable name
    Stage stage;
    ValueKind kind;
    NoValueRule noValue;
    double (*compute)(const FrameContext& frame);
    TextLayout text;
    const char* worseWhen;  // the report's hint when no QC rule tells which way is bad
    const char* eventType;  // the event type of a QC rule on it that names none
};

// Every indicator, in computation order.
std::span<const IndicatorInfo, kIndicatorCount> indicatorRegistry();

// The entry of one indicator.
const IndicatorInfo& indicatorInfo(IndicatorId id);

// The count of exact repeats that freezing keeps, up to the frame of
// `values` (a frame after the first), given the count up to the frame
// before. The frozen intervals of the summary reach back over it.
int32_t freezeRepeats(int32_t before, const FrameValues& values);

// Every indicator in column order (IndicatorId order).
const std::array<const IndicatorInfo*, kIndicatorCount>& indicatorColumns();

}  // namespace lumaqc
