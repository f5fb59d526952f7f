#include "report/outputs.h"

#include <sys/stat.h>
#include <unistd.h>

#include "report/csv_sink.h"
#include "report/html_sink.h"
#include "report/json_sink.h"
#include "report/output_paths.h"
#include "report/rotating_log.h"

namespace lumaqc {

namespace {

// Creates the document at `path` (none when empty) and adds it to `documents`.
template <typename Sink>
Sink* addDocument(const std::string& path, std::vector<std::unique_ptr<ResultSink>>& documents,
                  std::string& error) {
    if (path.empty()) return nullptr;
    auto sink = std::make_unique<Sink>(path);
    if (!sink->ok()) {
        error = sink->error() + "\n";
        return nullptr;
    }
    documents.push_back(std::move(sink));
    return static_cast<Sink*>(documents.back().get());
}

}  // namespace

bool Outputs::openLog(const Settings& line, std::string& error, bool live, bool required) {
    // The log is opened and locked first, but emptied only with the first
    // row: another run writing it, an input that cannot be opened, a
    // document that cannot be created, a console that cannot be written or
    // memory that runs out leaves an earlier log as it was.
    if (!line.noLog && !log_) {
        const auto opened = [&error, required](auto log) -> std::unique_ptr<ResultSink> {
            if (!log->busy() && (!required || log->file().isOpen())) return log;
            error = log->file().error() + "\n";
            return nullptr;
        };
        // A live run's log rotates unless told otherwise, and is reopened on SIGHUP.
        // By default only a regular file (or one yet to be made) rotates.
        const bool liveLog = live;
        struct stat st {};
        const bool regular = !isStandardOutput(line.logPath) &&
                             (stat(line.logPath.c_str(), &st) != 0 || S_ISREG(st.st_mode));
        const int64_t rotateAt = line.live.logRotateBytes >= 0 ? line.live.logRotateBytes
                                 : liveLog && regular          ? kLiveDefaultLogRotateBytes
                                                               : 0;
        if (rotateAt > 0 || liveLog) {
            auto rotating =
                std::make_unique<RotatingLogSink>(line.logPath, rotateAt, line.live.logKeep);
            rotatingLog_ = rotating.get();
            log_ = opened(std::move(rotating));
        } else {
            log_ = opened(std::make_unique<LogSink>(line.logPath));
        }
        if (!log_) return false;
    }
    return true;
}

bool Outputs::create(const Settings& line, std::optional<qc::Profile> profile,
                     const std::string& input, OutputsFor user, LiveOutputs* live,
                     std::string& error, const RunProvenance* provenance) {
    const bool program = user == OutputsFor::Program;
    // A library caller has no console to go on with: a log that cannot be
    // created stops the start as a document does.
    if (!openLog(line, error, live != nullptr && live->live(), !program)) return false;
    // A document on standard output keeps it to itself: the console table
    // goes to the error stream then, or nowhere with --quiet.
    const bool documentOnStdout = documentOnStandardOutput(line);
    const int consoleFd = documentOnStdout ? STDERR_FILENO : STDOUT_FILENO;
    // The progress bar shows only on a terminal; when the console rows or a
    // document on standard output go to the same terminal, it is wiped
    // before each row.
    const bool showProgress = program && ProgressBar::wanted();
    const bool rowsOnTerminal =
        (!line.quiet && isatty(consoleFd) == 1) || (documentOnStdout && isatty(STDOUT_FILENO) == 1);
    if (showProgress && rowsOnTerminal) sinks_.push_back(&progress_.eraser());

    if (profile) {
        decision_ =
            std::make_unique<DecisionSink>(std::move(*profile), line.profile, line.failOnWarning(),
                                           input, program ? stderr : nullptr);
        if (!line.eventsPath.empty() && !decision_->openEvents(line.eventsPath)) {
            error = decision_->error() + "\n";
            return false;
        }
        sinks_.push_back(decision_.get());
        if (live != nullptr) live->attach(*decision_);
    }
    error.clear();
    // A live run's documents written to files cover a rolling window and are
    // rewritten whole from time to time; on standard output they are
    // written as in any run.
    const bool rolling = live != nullptr && live->live();
    const std::string rollingJson = rolling && line.jsonPath != "-" ? line.jsonPath : "";
    const std::string rollingReport = rolling && line.reportPath != "-" ? line.reportPath : "";
    if (!rollingJson.empty() || !rollingReport.empty()) {
        std::unique_ptr<ResultSink> documents =
            live->documents(rollingJson, rollingReport, decision_.get(), provenance, error);
        if (!documents) {
            error += "\n";
            return false;
        }
        documents_.push_back(std::move(documents));
    }
    if (JsonSink* json =
            addDocument<JsonSink>(rollingJson.empty() ? line.jsonPath : "", documents_, error)) {
        json->setDecision(decision_.get());
        json->setProvenance(provenance);
    }
    if (error.empty()) addDocument<CsvSink>(line.csvPath, documents_, error);
    if (error.empty()) {
        if (HtmlSink* html = addDocument<HtmlSink>(rollingReport.empty() ? line.reportPath : "",
                                                   documents_, error)) {
            html->setDecision(decision_.get());
            html->setProvenance(provenance);
        }
    }
    if (!error.empty()) return false;
    if (program && !(documentOnStdout && line.quiet)) {
        console_ = std::make_unique<ConsoleSink>(!line.quiet, consoleFd);
    }

    // A live run goes on whatever its outputs do (see KeptOutput).
    const bool keep = live != nullptr && live->live();
    if (keep && decision_) {
        sinks_.back() = live->keep(*decision_, "the events file", {});
    }
    for (const std::unique_ptr<ResultSink>& document : documents_) {
        sinks_.push_back(keep ? live->keep(*document, "the documents", {}) : document.get());
    }
    if (console_)
        sinks_.push_back(keep ? live->keep(*console_, "the console", {}) : console_.get());
    if (log_) {
        RotatingLogSink* rotating = rotatingLog_;
        sinks_.push_back(keep ? live->keep(*log_, "the log",
                                           [rotating] {
                                               if (rotating != nullptr) rotating->reopen();
                                           })
                              : log_.get());
    }
    if (live != nullptr) sinks_.push_back(&live->metricsSink());
    if (showProgress) sinks_.push_back(&progress_);
    return true;
}

std::string Outputs::closeDocuments() {
    std::string unwritten;
    for (const std::unique_ptr<ResultSink>& document : documents_) {
        if (unwritten.empty()) unwritten = document->error();
    }
    std::erase_if(sinks_, [this](ResultSink* sink) {
        for (const std::unique_ptr<ResultSink>& document : documents_) {
            if (document.get() == sink) return true;
        }
        return false;
    });
    documents_.clear();
    return unwritten;
}

}  // namespace lumaqc
