// Checking a file against a QC profile: what `lumaqc check`, the Python
// binding and the batch do for each input. The file is opened (damage does
// not stop the decoding), analysed into the decision and the documents asked
// for, and judged: pass, fail, or not analysed (the input could not be
// opened, is not video, or no frame could be read).
//
//   lumaqc::CheckRequest request;
//   request.path = "delivery.mxf";
//   request.profile = lumaqc::qc::defaultProfile();
//   lumaqc::CheckResult result = lumaqc::checkFile(request);
//   if (result.status == lumaqc::CheckStatus::NotAnalysed) { /* result.message */ }
//   for (const auto* e : result.decision->eventsBySeverity()) { ... }
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/run.h"
#include "report/decision_sink.h"

namespace lumaqc {

struct CheckRequest {
    std::string path;
    qc::Profile profile;
    std::string profileSource = "default";  // "default", or the profile's path
    bool failOnWarning = false;
    int threads = 0;  // 0: every hardware thread
    std::optional<double> fps;
    int64_t start = 0;
    std::string jsonPath;    // the JSON document; empty for none
    std::string reportPath;  // the HTML report; empty for none
    const std::atomic<int>* stop = nullptr;
    // Damage reports as they come (as the program prints them); null: none.
    FILE* diagnostics = nullptr;
    // More outputs, after the decision and the documents (a console table).
    std::vector<ResultSink*> sinks;
    const RunProvenance* provenance = nullptr;
};

enum class CheckStatus { Pass, Fail, NotAnalysed };

struct CheckResult {
    CheckStatus status = CheckStatus::NotAnalysed;
    // Not analysed: why (one line, no line feed). Analysed: what ended the
    // run early, if anything (the input cut short, an output that failed).
    std::string message;
    bool notVideo = false;  // the file is not a video the decoder recognises
    SourceInfo input;       // once opened
    RunOutcome outcome;
    std::unique_ptr<DecisionSink> decision;  // once analysed
};

CheckResult checkFile(const CheckRequest& request);

}  // namespace lumaqc
