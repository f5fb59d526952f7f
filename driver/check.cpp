#include "driver/check.h"

#include <cmath>

#include "io/display_name.h"

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
    Settings settings = request.settings;
    settings.noLog = true;
    const std::string path = printableName(settings.input);  // for messages
    AnalysisRequest analysis = analysisRequest(settings);
    analysis.stop = request.stop;
    analysis.quantisers = qc::watchesQuantiser(request.profile);
    std::string error;
    OpenStatus opened = OpenStatus::Ok;
    std::unique_ptr<Analysis> run = Analysis::open(analysis, error, &opened);
    if (!run) {
        result.notVideo = opened == OpenStatus::NeedsSize;
        result.message =
            result.notVideo ? "lumaqc: " + path + " is not a video file" : oneLine(error);
        return result;
    }
    result.input = run->input();
    const double fps = run->options().fps;
    if (!(fps > 0.0 && std::isfinite(fps))) {
        result.message = "lumaqc: " + path + ": a QC profile needs a positive frame rate";
        return result;
    }
    if (const std::string bad = qc::timecodeBeyondRate(request.profile, fps); !bad.empty()) {
        result.message = "lumaqc: " + path + ": " + bad;
        return result;
    }
    auto outputs = std::make_unique<Outputs>();
    if (!outputs->create(settings, request.profile, result.input.path, OutputsFor::Library, nullptr,
                         error)) {
        result.message = oneLine(error);
        return result;
    }
    std::vector<ResultSink*> sinks = outputs->sinks();
    for (ResultSink* sink : request.sinks) sinks.push_back(sink);
    result.outcome = run->run(sinks);
    outputs->closeDocuments();
    result.outputs = std::move(outputs);
    if (result.outcome.status != 0) result.message = oneLine(result.outcome.message);
    // A file the input ended early on was analysed as far as it could be
    // read: its damage is in the verdict. No frame at all, or an output
    // that failed, is no verdict.
    const bool analysed =
        result.outcome.framesDone > 0 && (result.outcome.status == 0 || result.outcome.inputFailed);
    if (!analysed) {
        if (result.message.empty()) result.message = "lumaqc: no frame of " + path;
        result.status = CheckStatus::NotAnalysed;
        return result;
    }
    result.status = result.decision()->verdict().pass ? CheckStatus::Pass : CheckStatus::Fail;
    return result;
}

}  // namespace lumaqc
