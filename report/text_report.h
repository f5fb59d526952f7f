// The console table, the tab-separated log and the timing summary.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "report/indicator_table.h"

inline constexpr const char* LOG_FILE_NAME = "metricsResultsCSV.csv";

enum class RowStyle { Console, Log };

// Column header; the console one has no final line feed (it is printed as a
// line), the log one ends with its line feed.
std::string columnHeader(RowStyle style);

// One result row, ending with a line feed. `values` is indexed by IndicatorId.
std::string formatRow(RowStyle style, int64_t frame,
                      const std::array<double, kIndicatorCount>& values);

// The per-indicator timing text: each indicator's accumulated seconds
// (indexed by IndicatorId) averaged over `frames` and shown in milliseconds.
std::string timingText(const std::array<float, kIndicatorCount>& seconds, int64_t frames);
