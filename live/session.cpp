#include "live/session.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "live/rolling_documents.h"
#include "live/status.h"

namespace lumaqc {

namespace {

// Reconnection messages: at most one line per this many seconds.
constexpr double kNoticeSeconds = 5.0;
// How long the event command may still run after the run.
constexpr double kExecGraceSeconds = 5.0;

}  // namespace

LiveSession::LiveSession(const LiveOptions& options, std::string input,
                         const std::atomic<int>* stop)
    : options_(options),
      input_(input == "-" ? "standard input" : std::move(input)),
      stop_(stop),
      metrics_(std::vector<std::pair<std::string, std::string>>{{"signal_loss", "error"},
                                                                {"format_change", "warning"},
                                                                {"output_error", "error"},
                                                                {"overload", "warning"}},
               options.channel) {}

// The exec hook and the endpoint stop with their members; the live source
// (the driver's) is left alone.
LiveSession::~LiveSession() {
    if (exec_) hub_.unsubscribe(exec_.get());
}

std::unique_ptr<LiveSession> LiveSession::start(const LiveOptions& options,
                                                const std::string& input,
                                                const std::atomic<int>* stop, std::string& error,
                                                bool serve) {
    std::unique_ptr<LiveSession> session(new LiveSession(options, input, stop));
    session->metricsSink_ = std::make_unique<MetricsSink>(session->metrics_);
    session->hub_.subscribe(&session->metrics_);
    LiveSession* self = session.get();
    session->metrics_.onLag([self](int64_t index, double seconds, double lag) {
        {
            std::lock_guard<std::mutex> lock(self->eventsMutex_);
            self->lastFrame_ = index;
            self->lastSeconds_ = seconds;
        }
        self->lagIs(lag);
    });
    if (options.metrics && serve) {
        Metrics& metrics = session->metrics_;
        MetricsServer::Pages pages;
        pages.metrics = [&metrics] { return metrics.render(); };
        pages.status = [&metrics] { return statusJson({metrics.status()}); };
        if (!session->server_.start(*options.metrics, pages, error)) {
            error += "\n";
            return nullptr;
        }
        if (!session->server_.announce(options.metricsPortFile, error)) {
            error += "\n";
            return nullptr;
        }
    }
    if (!options.execOnEvent.empty()) {
        session->exec_ = std::make_unique<ExecHook>(options.execOnEvent);
        session->hub_.subscribe(session->exec_.get());
        ExecHook* hook = session->exec_.get();
        session->metrics_.countDroppedWith([hook] { return hook->dropped(); });
    }
    return session;
}

std::unique_ptr<Analysis> LiveSession::open(const AnalysisRequest& request, std::string& error,
                                            OpenStatus* status) {
    LiveSettings settings;
    settings.stallTimeout = options_.stallTimeout;
    settings.stop = stop_;
    settings.quantisers = request.quantisers;
    settings.observer = this;
    std::unique_ptr<LiveSource> source;
    if (isUrl(request.path)) {
        if (status != nullptr) *status = OpenStatus::Failed;
        source = LiveSource::openUrl(request.path, settings, error);
        if (!source) return nullptr;
        if (status != nullptr) *status = OpenStatus::Ok;
    } else {
        SourceRequest opening = sourceRequest(request);
        opening.live = options_.live;  // a channel said to be live
        std::unique_ptr<FrameSource> inner = openFrameSource(opening, error, status);
        if (!inner) return nullptr;
        source = std::make_unique<LiveSource>(std::move(inner), settings);
    }
    live_ = source.get();
    return Analysis::of(std::move(source), request);
}

void LiveSession::setFrameRate(double fps) {
    {
        std::lock_guard<std::mutex> lock(observerMutex_);
        fps_ = fps;
    }
    if (live_ != nullptr) live_->setFrameRate(fps);
}

void LiveSession::attach(DecisionSink& decision) {
    // The watchdog may be telling of a feed dead at the start meanwhile.
    std::lock_guard<std::mutex> lock(observerMutex_);
    decision_ = &decision;
    // Bounded for ever: statistics over the documents' window (at most 120
    // frames a second, whatever rate the input claims), decoding errors
    // grouped.
    const double rate = std::min(fps_ > 0.0 && std::isfinite(fps_) ? fps_ : 25.0, 120.0);
    const auto windowFrames =
        static_cast<size_t>(std::ceil(std::max(1.0, options_.windowSeconds * rate)));
    if (live_ != nullptr) decision.setLiveLimits(options_.decodeHoldOff, windowFrames, 10000);
    for (const qc::Rule& rule : decision.profile().rules) {
        metrics_.declare(rule.type, qc::severityName(rule.severity));
    }
    decision.setLive([this](qc::Change change, const qc::Event& event, const std::string& record) {
        if (handingOver_ && change == qc::Change::Open && event.type == "signal_loss") return;
        const char* name = change == qc::Change::Open       ? "open"
                           : change == qc::Change::Escalate ? "escalate"
                                                            : "close";
        hub_.publish(LiveEvent{name, event.type, qc::severityName(event.severity), record});
    });
}

std::unique_ptr<ResultSink> LiveSession::documents(const std::string& jsonPath,
                                                   const std::string& reportPath,
                                                   const DecisionSink* decision,
                                                   const RunProvenance* provenance,
                                                   std::string& error) {
    auto documents = std::make_unique<RollingDocuments>(
        jsonPath, reportPath, options_.windowSeconds, options_.flushSeconds, decision, provenance);
    if (!documents->check(error)) return nullptr;
    documents->listenTo(hub_);
    documents->tellWith([this](bool failing, const std::string& message) {
        outputTold("the documents", failing, message);
    });
    documents->rewriteOnHangup(hangups_);
    return documents;
}

ResultSink* LiveSession::keep(ResultSink& output, const std::string& what,
                              std::function<void()> reopen) {
    kept_.push_back(std::make_unique<KeptOutput>(
        output,
        [this, what](bool failing, const std::string& message) {
            outputTold(what, failing, message);
        },
        std::move(reopen), hangups_));
    return kept_.back().get();
}

void LiveSession::outputTold(const std::string& what, bool failing, const std::string& message) {
    std::unique_lock<std::mutex> lock(eventsMutex_);
    const int64_t frame = lastFrame_ + 1;
    const double seconds = lastSeconds_;
    const bool wasFailing = !failingOutputs_.empty();
    if (failing) {
        failingOutputs_.push_back(what);
        metrics_.outputError();
    } else {
        failingOutputs_.erase(std::remove(failingOutputs_.begin(), failingOutputs_.end(), what),
                              failingOutputs_.end());
    }
    const bool nowFailing = !failingOutputs_.empty();
    lock.unlock();
    std::fprintf(stderr, "lumaqc: %s%s: %s\n", prefix_.c_str(), what.c_str(), message.c_str());
    // One output_error event while any output fails.
    if (nowFailing && !wasFailing) {
        hub_.publish(liveRecord("open", "output_error", "error", frame, frame - 1, seconds, seconds,
                                what + ": " + message));
    } else if (!nowFailing && wasFailing) {
        hub_.publish(liveRecord("close", "output_error", "error", frame, frame - 1, seconds,
                                seconds, what + ": " + message));
    }
}

void LiveSession::lagIs(double lag) {
    std::unique_lock<std::mutex> lock(eventsMutex_);
    const int64_t frame = lastFrame_;
    const double seconds = lastSeconds_;
    char text[96];
    if (!overloaded_ && lag > kOverloadSeconds) {
        overloaded_ = true;
        lock.unlock();
        std::snprintf(text, sizeof text, "%.1f s", lag);
        hub_.publish(liveRecord("open", "overload", "warning", frame, frame, seconds, seconds,
                                "the analysis of " + input_ + " runs " + text +
                                    " behind real time: the host is overloaded"));
    } else if (overloaded_ && lag < kOverloadSeconds / 3.0) {
        overloaded_ = false;
        lock.unlock();
        hub_.publish(liveRecord("close", "overload", "warning", frame, frame, seconds, seconds,
                                "the analysis of " + input_ + " has caught up with real time"));
    }
}

void LiveSession::formatChanged(int64_t index, double seconds, const std::string& change) {
    metrics_.formatChanged();
    const std::string message = "the pictures of " + input_ + " changed from " + change;
    std::fprintf(stderr, "lumaqc: %s%s\n", prefix_.c_str(), message.c_str());
    hub_.publish(
        liveRecord("open", "format_change", "warning", index, index, seconds, seconds, message));
    hub_.publish(
        liveRecord("close", "format_change", "warning", index, index, seconds, seconds, message));
}

void LiveSession::reconnecting() {
    metrics_.reconnect();
}

void LiveSession::finish() {
    if (live_ != nullptr) {
        live_->finish();
        live_ = nullptr;
    }
    // An overload still open ends with the run, as a loss does: the metrics
    // and the event command hear of its close.
    std::unique_lock<std::mutex> lock(eventsMutex_);
    if (overloaded_) {
        overloaded_ = false;
        const int64_t frame = lastFrame_;
        const double seconds = lastSeconds_;
        lock.unlock();
        hub_.publish(
            liveRecord("close", "overload", "warning", frame, frame, seconds, seconds,
                       "the run ended while the analysis of " + input_ + " ran behind real time"));
    } else {
        lock.unlock();
    }
    if (exec_) exec_->finish(kExecGraceSeconds);
    server_.stop();
}

void LiveSession::signalLost(const SignalGap& gap) {
    std::lock_guard<std::mutex> lock(observerMutex_);
    metrics_.signalLost();
    const SignalLoss loss = describeLoss(true, gap, input_, options_.stallTimeout, fps_);
    if (decision_ != nullptr) {
        decision_->signalLost(loss.next, loss.seconds, loss.message);
        return;
    }
    loss_ = loss;
    lossInHub_ = true;
    const LiveEvent opened = signalLossRecord(true, loss_, loss_);
    const nlohmann::json record = nlohmann::json::parse(opened.json, nullptr, false);
    lossOpenedAt_ = record.is_object() ? record.value("wall_time", "") : "";
    hub_.publish(opened);
}

void LiveSession::signalBack(const SignalGap& gap) {
    std::lock_guard<std::mutex> lock(observerMutex_);
    metrics_.signalBack();
    const SignalLoss back = describeLoss(false, gap, input_, options_.stallTimeout, fps_);
    // A loss is closed where it was opened (one from before the decision
    // began, a feed dead at the start, by the session).
    if (decision_ != nullptr && !lossInHub_) {
        decision_->signalBack(back.next, back.seconds, back.message);
        return;
    }
    lossInHub_ = false;
    const auto counted = [this] {
        const std::vector<qc::Rule>& rules = decision_->profile().rules;
        return std::any_of(rules.begin(), rules.end(),
                           [](const qc::Rule& rule) { return rule.type == "signal_loss"; });
    };
    if (decision_ != nullptr && gap.nextFrame >= 0 && counted()) {
        // A feed dead at the start: once pictures come the decision has
        // begun, and takes the loss over (its open was told already), so
        // that it is an event of the verdict and of --events like the others.
        // (A profile without a signal_loss rule makes no event of it: the
        // session closes what it opened.)
        handingOver_ = true;
        decision_->signalLost(loss_.next, loss_.seconds, loss_.message, lossOpenedAt_);
        handingOver_ = false;
        decision_->signalBack(back.next, back.seconds, back.message);
        return;
    }
    hub_.publish(signalLossRecord(false, loss_, back));
}

void LiveSession::notice(const std::string& line) {
    std::lock_guard<std::mutex> lock(noticeMutex_);
    const double now = monotonicSeconds();
    if (now - lastNotice_ < kNoticeSeconds) {
        ++noticesHeld_;
        return;
    }
    lastNotice_ = now;
    if (noticesHeld_ > 0) {
        std::fprintf(stderr, "lumaqc: %s%s (and %ld more like it)\n", prefix_.c_str(), line.c_str(),
                     noticesHeld_);
    } else {
        std::fprintf(stderr, "lumaqc: %s%s\n", prefix_.c_str(), line.c_str());
    }
    noticesHeld_ = 0;
}

}  // namespace lumaqc
