// The record of what was measured and how, shared by the JSON document and
// the HTML report: the input (file, container, codec, samples, duration) and
// the run (program and build, command line, times, host, threads).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "results/result_sink.h"

namespace lumaqc {

// How the run was started, for the documents' record of it. The front end
// that starts the run gives it to the documents when it makes them (see
// Outputs::create); the engine never sees it.
struct RunProvenance {
    std::vector<std::string> commandLine;  // argv, the program first
    std::string startTime;                 // UTC, ISO 8601
    std::string host;
};

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

// The JSON document's "run" object; null without a provenance.
nlohmann::ordered_json runRecord(const RunInfo& run, const RunProvenance* provenance,
                                 const std::string& endTime);

}  // namespace lumaqc
