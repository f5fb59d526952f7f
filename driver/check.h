// Checking a file against a QC profile: what `lumaqc check` does for each
// input. The file is opened as the program opens its input (under a profile
// damage does not stop the decoding), analysed into the decision and the
// documents the settings ask for (built by the output builder, as for any
// run), and judged: pass, fail, or not analysed (the input could not be
// opened, is not video, or no frame could be read).
//
//   lumaqc::CheckRequest request;
//   request.settings.input = "delivery.mxf";
//   request.settings.profile = "default";
//   request.profile = lumaqc::qc::defaultProfile();
//   lumaqc::CheckResult result = lumaqc::checkFile(request);
//   if (result.status == lumaqc::CheckStatus::NotAnalysed) { /* result.message */ }
//   for (const auto* e : result.decision()->eventsBySeverity()) { ... }
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "engine/run.h"
#include "report/outputs.h"
#include "settings/settings.h"

namespace lumaqc {

struct CheckRequest {
    // The input, its reading (fps, start, threads), the profile's name
    // ("default" or its path), --fail-on and the documents (jsonPath,
    // reportPath); no log is written from them.
    Settings settings;
    qc::Profile profile;  // the profile itself, loaded by the caller
    const std::atomic<int>* stop = nullptr;
    // More outputs, after the decision and the documents (a console table, a log).
    std::vector<ResultSink*> sinks;
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
    std::unique_ptr<Outputs> outputs;  // once analysed
    // The verdict and the events; null when not analysed.
    const DecisionSink* decision() const { return outputs ? outputs->decision() : nullptr; }
};

CheckResult checkFile(const CheckRequest& request);

}  // namespace lumaqc
