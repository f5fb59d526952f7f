// The console table, the tab-separated log and the timing summary.
#pragma once

#include <cstdint>
#include <string>

#include "indicators/indicator_id.h"

namespace lumaqc {

inline constexpr const char* LOG_FILE_NAME = "metricsResultsCSV.csv";

enum class RowStyle { Console, Log };

// Column header; the console one has no final line feed (it is printed as a
// line), the log one ends with its line feed.
std::string columnHeader(RowStyle style);

// One result row, ending with a line feed.
std::string formatRow(RowStyle style, int64_t frame, const FrameValues& values);

// One value with the log's conversion of its indicator but without the
// padding: the log's digits, no spaces ("%-5.5f" gives "0.99603").
std::string plainValue(IndicatorId id, double value);

// The per-indicator timing text: each indicator's accumulated seconds
// averaged over `frames` and shown in milliseconds.
std::string timingText(const IndicatorSeconds& seconds, int64_t frames);

// Decimals of an indicator's log conversion ("%-5.5f" has 5, "%-d" none).
int logDecimals(IndicatorId id);

// Integer part of a double as a 32-bit integer, truncating toward zero.
// Values that are not numbers or lie outside the 32-bit range give INT32_MIN,
// the x86-64 conversion result, instead of undefined behaviour.
int32_t truncateToInt32(double v);

}  // namespace lumaqc
