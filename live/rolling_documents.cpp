#include "live/rolling_documents.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "report/html_sink.h"
#include "report/json_sink.h"

namespace lumaqc {

namespace {

constexpr double kMaxFrameRate = 120.0;

std::string temporaryPath(const std::string& path) {
    return path + ".tmp-" + std::to_string(getpid());
}

// Text with every occurrence of `from` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Writes one document to its temporary file by replaying the rows through
// `sink` (made for that file by `make`), then renames it over `path`.
template <class Make, class Row>
bool writeDocument(const std::string& path, const RunInfo& run, const std::vector<Row>& rows,
                   const RunSummary& summary, std::string& error, Make make) {
    const std::string temporary = temporaryPath(path);
    bool ok = false;
    {
        auto sink = make(temporary);
        ok = sink->ok() && sink->begin(run);
        FrameMeta meta;
        for (size_t i = 0; ok && i < rows.size(); ++i) {
            meta.index = rows[i].index;
            meta.seconds = rows[i].time;
            ok = sink->frame(meta, rows[i].values);
        }
        ok = sink->end(summary) && ok;
        if (!ok) error = replaced(sink->error(), temporary, path);
    }
    if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "Cannot replace " + path + ": " + std::strerror(errno);
        ok = false;
    }
    if (!ok) std::remove(temporary.c_str());
    return ok;
}

}  // namespace

RollingDocuments::RollingDocuments(std::string jsonPath, std::string reportPath,
                                   double windowSeconds, double flushSeconds,
                                   const DecisionSink* decision, const RunProvenance* provenance)
    : jsonPath_(std::move(jsonPath)),
      reportPath_(std::move(reportPath)),
      window_(windowSeconds),
      flushSeconds_(flushSeconds),
      decision_(decision),
      provenance_(provenance),
      maxRows_(static_cast<size_t>(std::ceil(std::max(1.0, windowSeconds * kMaxFrameRate)))) {}

RollingDocuments::~RollingDocuments() {
    if (hub_ != nullptr) hub_->unsubscribe(this);
    stopFlushing();
}

void RollingDocuments::listenTo(EventHub& hub) {
    hub_ = &hub;
    hub.subscribe(this);
}

bool RollingDocuments::check(std::string& error) {
    const struct {
        const std::string& path;
        const char* what;
    } documents[] = {{jsonPath_, "the JSON file"}, {reportPath_, "the HTML report"}};
    for (const auto& document : documents) {
        if (document.path.empty()) continue;
        const std::string temporary = temporaryPath(document.path);
        FILE* file = std::fopen(temporary.c_str(), "w");
        if (file == nullptr) {
            error = std::string("Cannot create ") + document.what + " " + document.path + ": " +
                    std::strerror(errno);
            return false;
        }
        std::fclose(file);
        std::remove(temporary.c_str());
    }
    return true;
}

bool RollingDocuments::begin(const RunInfo& run) {
    run_ = run;
    source_ = *run.source;
    run_.source = &source_;
    flusher_ = std::thread([this] { flushLoop(); });
    return true;
}

bool RollingDocuments::frame(const FrameMeta& meta, const FrameValues& values) {
    const int64_t index = meta.index;
    const double time = meta.seconds;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!told_ && !flushError_.empty()) {
        error_ = flushError_;
        return false;
    }
    rows_.push_back(Row{index, time, values});
    // The window holds the frames of the last `window_` seconds, up to this
    // one; a frame exactly `window_` before it is out (with some slack for
    // the rounding of times computed as index / fps).
    while (rows_.front().time <= time - window_ + 1e-9 * window_ || rows_.size() > maxRows_) {
        rows_.pop_front();
    }
    return true;
}

void RollingDocuments::onEvent(const LiveEvent& event) {
    if (event.change != "open" || event.type != "signal_loss") return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        flushSoon_ = true;
    }
    wake_.notify_all();
}

void RollingDocuments::flushLoop() {
    keepStopSignalsAway();
    std::unique_lock<std::mutex> lock(mutex_);
    size_t flushedAt = 0;  // rows seen at the last rewrite, to skip idle rewrites
    int64_t flushedLast = -1;
    bool failing = false;
    int hangups = hangups_ != nullptr ? hangups_->load() : 0;
    const auto hungUp = [this, &hangups] {
        return hangups_ != nullptr && hangups_->load() != hangups;
    };
    // A SIGHUP is looked for at least every this often.
    const double wait = hangups_ != nullptr ? std::min(flushSeconds_, 0.5) : flushSeconds_;
    for (auto next = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(flushSeconds_));
         ;) {
        wake_.wait_for(lock, std::chrono::duration<double>(wait),
                       [this, &hungUp] { return stopping_ || flushSoon_ || hungUp(); });
        if (stopping_) return;
        const bool reopen = hungUp();
        if (!flushSoon_ && !reopen && std::chrono::steady_clock::now() < next) continue;
        if (hangups_ != nullptr) hangups = hangups_->load();
        next = std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(flushSeconds_));
        flushSoon_ = false;
        const int64_t last = rows_.empty() ? -1 : rows_.back().index;
        if (rows_.empty() ||
            (last == flushedLast && rows_.size() == flushedAt && !reopen && !failing)) {
            continue;
        }
        std::vector<Row> rows(rows_.begin(), rows_.end());
        const size_t count = rows.size();
        lock.unlock();
        RunSummary summary;
        summary.frames = summary.framesDone = static_cast<int64_t>(rows.size());
        summary.complete = false;
        summary.running = true;
        std::string error;
        const bool ok = write(rows, summary, error);
        rows = std::vector<Row>();
        lock.lock();
        flushedAt = count;
        flushedLast = last;
        if (!told_) {
            if (!ok && flushError_.empty()) flushError_ = error;
            if (!ok) return;
            continue;
        }
        // Told, and tried again at the next flush.
        if (ok != !failing) {
            failing = !ok;
            lock.unlock();
            told_(failing, ok ? "rewritten again" : error);
            lock.lock();
        }
    }
}

void RollingDocuments::stopFlushing() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (flusher_.joinable()) flusher_.join();
}

bool RollingDocuments::write(const std::vector<Row>& rows, const RunSummary& summary,
                             std::string& error) const {
    RunInfo run = run_;
    if (!rows.empty()) run.start = rows.front().index;
    // Marked live when written during the run or without the first frames.
    if (summary.running || run.start > run_.start) run.windowSeconds = window_;
    // The decision goes on while a copy is written: the documents get what
    // it had decided by now.
    const std::unique_ptr<DecisionSink> decision = decision_ ? decision_->snapshot() : nullptr;
    const auto json = [this, &decision](const std::string& path) {
        auto sink = std::make_unique<JsonSink>(path, false);
        sink->setDecision(decision.get());
        sink->setProvenance(provenance_);
        return sink;
    };
    const auto html = [this, &decision](const std::string& path) {
        auto sink = std::make_unique<HtmlSink>(path);
        sink->setDecision(decision.get());
        sink->setProvenance(provenance_);
        return sink;
    };
    return (jsonPath_.empty() || writeDocument(jsonPath_, run, rows, summary, error, json)) &&
           (reportPath_.empty() || writeDocument(reportPath_, run, rows, summary, error, html));
}

bool RollingDocuments::end(const RunSummary& summary) {
    if (ended_) return true;
    ended_ = true;
    stopFlushing();
    std::vector<Row> rows;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        rows.assign(rows_.begin(), rows_.end());
        rows_.clear();
    }
    if (run_.source == nullptr) return true;  // the run never began
    // No frame came: earlier documents stay as they were.
    if (rows.empty() && run_.frames != 0) return true;
    std::string error;
    if (!write(rows, summary, error)) {
        error_ = error;
        return false;
    }
    return true;
}

std::string RollingDocuments::error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_.empty() ? flushError_ : error_;
}

}  // namespace lumaqc
