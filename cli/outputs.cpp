#include "cli/outputs.h"

#include <unistd.h>

#include "live/rotating_log.h"
#include "report/html_sink.h"
#include "report/json_sink.h"

namespace lumaqc {

bool Outputs::create(const CommandLine& line, std::optional<qc::Profile> profile,
                     const std::string& input, LiveSession* live, std::string& error) {
    // The log is opened and locked first, but emptied only when the run
    // starts: another run writing it, a document that cannot be created, a
    // console that cannot be written or memory that runs out leaves an
    // earlier log as it was.
    if (!line.noLog) {
        const auto opened = [&error](auto log) -> std::unique_ptr<ResultSink> {
            if (!log->busy()) return log;
            error = log->error() + "\n";
            return nullptr;
        };
        log_ = line.live.logRotateBytes > 0
                   ? opened(std::make_unique<RotatingLogSink>(
                         line.logPath, line.live.logRotateBytes, line.live.logKeep))
                   : opened(std::make_unique<LogSink>(line.logPath));
        if (!log_) return false;
    }
    if (profile) {
        decision_ = std::make_unique<DecisionSink>(std::move(*profile), line.profile,
                                                   line.failOnWarning, input, stderr);
        if (!line.eventsPath.empty() && !decision_->openEvents(line.eventsPath)) {
            error = decision_->error() + "\n";
            return false;
        }
        sinks_.push_back(decision_.get());
        if (live != nullptr) live->attach(*decision_);
    }
    if (live != nullptr && live->live()) {
        // A live run's documents: a rolling window, rewritten whole from time to time.
        if (!line.jsonPath.empty() || !line.reportPath.empty()) {
            std::unique_ptr<ResultSink> rolling =
                live->documents(line.jsonPath, line.reportPath, decision_.get(), error);
            if (!rolling) {
                error += "\n";
                return false;
            }
            documents_.push_back(std::move(rolling));
        }
    } else if (!line.jsonPath.empty()) {
        auto json = std::make_unique<JsonSink>(line.jsonPath);
        if (!json->ok()) {
            error = json->error() + "\n";
            return false;
        }
        json->setDecision(decision_.get());
        documents_.push_back(std::move(json));
    }
    if (!line.reportPath.empty() && (live == nullptr || !live->live())) {
        auto html = std::make_unique<HtmlSink>(line.reportPath);
        if (!html->ok()) {
            error = html->error() + "\n";
            return false;
        }
        html->setDecision(decision_.get());
        documents_.push_back(std::move(html));
    }
    console_ = std::make_unique<ConsoleSink>(!line.quiet);

    for (const std::unique_ptr<ResultSink>& document : documents_) sinks_.push_back(document.get());
    // The progress bar shows only on a terminal; when the rows go to the same
    // terminal, it is wiped before each row.
    const bool showProgress = ProgressBar::wanted();
    if (showProgress && !line.quiet && isatty(STDOUT_FILENO) == 1) {
        sinks_.push_back(&progress_.eraser());
    }
    sinks_.push_back(console_.get());
    if (log_) sinks_.push_back(log_.get());
    if (live != nullptr) sinks_.push_back(&live->metricsSink());
    if (showProgress) sinks_.push_back(&progress_);
    return true;
}

}  // namespace lumaqc
