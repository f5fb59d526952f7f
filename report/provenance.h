// The record of what was measured and how, shared by the JSON document and
// the HTML report: the input (file, container, codec, samples, duration) and
// the run (program and build, command line, times, host, threads).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "report/result_sink.h"

namespace lumaqc {

// A run's provenance as it starts: the command line, the time, the host.
RunProvenance startProvenance(int argc, const char* const* argv);

// UTC time in ISO 8601: "2024-05-01T10:20:30Z" for whole seconds since
// 1970, "2024-05-01T10:20:30.125Z" for the current time.
std::string isoTime(int64_t seconds);
std::string isoTimeNow();

// The compiler this program was built with ("GCC 12.2.0", "clang 14.0.6").
std::string compilerName();

// The JSON document's "input" object. Its first fields (path to
// frames_requested) are those of the first format version; the others
// describe the file and its samples, null where they are not known.
nlohmann::ordered_json inputRecord(const RunInfo& run);

// The JSON document's "run" object; null when the run has no provenance.
nlohmann::ordered_json runRecord(const RunInfo& run, const std::string& endTime);

}  // namespace lumaqc
