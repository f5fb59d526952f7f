#include "live/session.h"

#include <cstdio>

#include "live/rolling_documents.h"

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
      metrics_(std::vector<std::pair<std::string, std::string>>{{"signal_loss", "error"}}) {}

// The exec hook and the endpoint stop with their members; the live source
// (the driver's) is left alone.
LiveSession::~LiveSession() = default;

std::unique_ptr<LiveSession> LiveSession::start(const LiveOptions& options,
                                                const std::string& input,
                                                const std::atomic<int>* stop, std::string& error) {
    std::unique_ptr<LiveSession> session(new LiveSession(options, input, stop));
    session->metricsSink_ = std::make_unique<MetricsSink>(session->metrics_);
    session->hub_.subscribe(&session->metrics_);
    if (options.metrics) {
        Metrics& metrics = session->metrics_;
        if (!session->server_.start(
                *options.metrics, [&metrics] { return metrics.render(); }, error)) {
            error += "\n";
            return nullptr;
        }
        const std::string& host = options.metrics->host;
        std::fprintf(stderr, "lumaqc: metrics at http://%s%s%s:%d/metrics\n",
                     host.find(':') != std::string::npos ? "[" : "", host.c_str(),
                     host.find(':') != std::string::npos ? "]" : "", session->server_.port());
    }
    if (!options.execOnEvent.empty()) {
        session->exec_ = std::make_unique<ExecHook>(options.execOnEvent);
        session->hub_.subscribe(session->exec_.get());
    }
    return session;
}

std::unique_ptr<Analysis> LiveSession::open(const AnalysisRequest& request, std::string& error,
                                            OpenStatus* status) {
    LiveSettings settings;
    settings.stallTimeout = options_.stallTimeout;
    settings.stop = stop_;
    settings.observer = this;
    std::unique_ptr<LiveSource> source;
    if (isUrl(request.path)) {
        if (status != nullptr) *status = OpenStatus::Failed;
        source = LiveSource::openUrl(request.path, settings, error);
        if (!source) return nullptr;
        if (status != nullptr) *status = OpenStatus::Ok;
    } else {
        std::unique_ptr<FrameSource> inner = openFrameSource(sourceRequest(request), error, status);
        if (!inner) return nullptr;
        source = std::make_unique<LiveSource>(std::move(inner), settings);
    }
    live_ = source.get();
    return Analysis::of(std::move(source), request);
}

void LiveSession::setFrameRate(double fps) {
    fps_ = fps;
    if (live_ != nullptr) live_->setFrameRate(fps);
}

void LiveSession::attach(DecisionSink& decision) {
    decision_ = &decision;
    for (const qc::Rule& rule : decision.profile().rules) {
        metrics_.declare(rule.type, qc::severityName(rule.severity));
    }
    decision.setLive([this](qc::Change change, const qc::Event& event, const std::string& record) {
        const char* name = change == qc::Change::Open       ? "open"
                           : change == qc::Change::Escalate ? "escalate"
                                                            : "close";
        hub_.publish(LiveEvent{name, event.type, qc::severityName(event.severity), record});
    });
}

std::unique_ptr<ResultSink> LiveSession::documents(const std::string& jsonPath,
                                                   const std::string& reportPath,
                                                   const DecisionSink* decision,
                                                   std::string& error) {
    auto documents = std::make_unique<RollingDocuments>(
        jsonPath, reportPath, options_.windowSeconds, options_.flushSeconds, decision);
    if (!documents->check(error)) return nullptr;
    documents->listenTo(hub_);
    return documents;
}

void LiveSession::finish() {
    if (live_ != nullptr) {
        live_->finish();
        live_ = nullptr;
    }
    if (exec_) exec_->finish(kExecGraceSeconds);
    server_.stop();
}

void LiveSession::signalLost(const SignalGap& gap) {
    metrics_.signalLost();
    const SignalLoss loss = describeLoss(true, gap, input_, options_.stallTimeout, fps_);
    if (decision_ != nullptr) {
        decision_->signalLost(loss.next, loss.seconds, loss.message);
        return;
    }
    loss_ = loss;
    hub_.publish(signalLossRecord(true, loss_, loss_));
}

void LiveSession::signalBack(const SignalGap& gap) {
    metrics_.signalBack();
    const SignalLoss back = describeLoss(false, gap, input_, options_.stallTimeout, fps_);
    if (decision_ != nullptr) {
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
        std::fprintf(stderr, "lumaqc: %s (and %ld more like it)\n", line.c_str(), noticesHeld_);
    } else {
        std::fprintf(stderr, "lumaqc: %s\n", line.c_str());
    }
    noticesHeld_ = 0;
}

}  // namespace lumaqc
