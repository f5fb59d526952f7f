// The one table of the fifteen indicators. It fixes the order of the calls,
// the column each value fills, the header labels, the row conversions and the
// timing summary, so adding an indicator means one function and one row here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "api/lumaqc.h"
#include "indicators/indicators.h"

// Indicators in call order (IndicatorId, kBlockiness ... kFlickering, kIndicatorCount).
using lumaqc::IndicatorId;
using enum lumaqc::IndicatorId;

// Everything an indicator call can read: the pictures, the temporal state, the
// frame rate and the values of the indicators already called for this frame.
struct FrameContext {
    const Image* current = nullptr;
    const Image* previous = nullptr;
    TemporalState* state = nullptr;
    double fps = 0.0;
    std::array<double, kIndicatorCount> values{};
};

// How a value is converted for the rows.
enum class ValueKind {
    Real,       // printed with a floating-point conversion
    Flag,       // 0 or 1, printed as an integer
    Truncated,  // printed as its integer part (truncation toward zero)
};

struct IndicatorInfo {
    IndicatorId id;
    const char* function;      // the indicator's function name
    const char* key;           // stable snake_case key for machine-readable output
    const char* name;          // human-readable name
    const char* consoleLabel;  // column label in the console header
    const char* logLabel;      // column label in the log header
    int column;                // position in the row, 0 = first value after the frame index
    int consoleHeaderTabs;     // tabs before the label in the console header
    int consoleRowTabs;        // tabs before the value in the console row
    const char* consoleFormat;
    const char* logFormat;
    ValueKind kind;
    bool temporal;             // needs the previous frame: called from the second frame on
    bool sequential;           // keeps state from frame to frame: called once per frame, in order
    int timingSlot;            // position in the timing summary
    const char* timingPrefix;  // text before this indicator's figure in the summary
    double (*compute)(FrameContext&);
};

// Indexed by IndicatorId.
const std::array<IndicatorInfo, kIndicatorCount>& indicatorTable();

// Table entries in row (column) order and in timing-summary order.
const std::array<const IndicatorInfo*, kIndicatorCount>& indicatorsByColumn();
const std::array<const IndicatorInfo*, kIndicatorCount>& indicatorsByTimingSlot();

// Integer part of a double as a 32-bit integer, truncating toward zero.
// Values that are not numbers or lie outside the 32-bit range give INT32_MIN,
// the x86-64 conversion result, instead of undefined behaviour.
int32_t truncateToInt32(double v);
