#include "engine/check.h"

#include <cmath>

#include "report/html_sink.h"
#include "report/json_sink.h"

namespace lumaqc {

namespace {

std::string oneLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    for (char& c : text) {
        if (c == '\n') c = ' ';
    }
    return text;
}

}  // namespace

CheckResult checkFile(const CheckRequest& request) {
    CheckResult result;
    AnalysisRequest analysis;
    analysis.path = request.path;
    analysis.fps = request.fps;
    analysis.start = request.start;
    analysis.threads = request.threads;
    analysis.stop = request.stop;
    analysis.continueAfterDamage = true;
    analysis.provenance = request.provenance;
    std::string error;
    OpenStatus opened = OpenStatus::Ok;
    std::unique_ptr<Analysis> run = Analysis::open(analysis, error, &opened);
    if (!run) {
        result.notVideo = opened == OpenStatus::NeedsSize;
        result.message =
            result.notVideo ? "lumaqc: " + request.path + " is not a video file" : oneLine(error);
        return result;
    }
    result.input = run->input();
    const double fps = run->options().fps;
    if (!(fps > 0.0 && std::isfinite(fps))) {
        result.message = "lumaqc: " + request.path + ": a QC profile needs a positive frame rate";
        return result;
    }
    result.decision = std::make_unique<DecisionSink>(request.profile, request.profileSource,
                                                     request.failOnWarning, result.input.path,
                                                     request.diagnostics);
    std::vector<std::unique_ptr<ResultSink>> documents;
    if (!request.jsonPath.empty()) {
        auto json = std::make_unique<JsonSink>(request.jsonPath);
        if (!json->ok()) {
            result.message = oneLine(json->error());
            result.decision.reset();
            return result;
        }
        json->setDecision(result.decision.get());
        documents.push_back(std::move(json));
    }
    if (!request.reportPath.empty()) {
        auto html = std::make_unique<HtmlSink>(request.reportPath);
        if (!html->ok()) {
            result.message = oneLine(html->error());
            result.decision.reset();
            return result;
        }
        html->setDecision(result.decision.get());
        documents.push_back(std::move(html));
    }
    std::vector<ResultSink*> sinks{result.decision.get()};
    for (const auto& document : documents) sinks.push_back(document.get());
    for (ResultSink* sink : request.sinks) sinks.push_back(sink);
    result.outcome = run->run(sinks);
    documents.clear();
    if (result.outcome.status != 0) result.message = oneLine(result.outcome.message);
    // A file the input ended early on was analysed as far as it could be
    // read: its damage is in the verdict. No frame at all, or an output
    // that failed, is no verdict.
    const bool analysed =
        result.outcome.framesDone > 0 && (result.outcome.status == 0 || result.outcome.inputFailed);
    if (!analysed) {
        if (result.message.empty()) result.message = "lumaqc: no frame of " + request.path;
        result.status = CheckStatus::NotAnalysed;
        return result;
    }
    result.status = result.decision->verdict().pass ? CheckStatus::Pass : CheckStatus::Fail;
    return result;
}

}  // namespace lumaqc
