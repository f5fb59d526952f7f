#include "cli/monitor_command.h"

#include <pthread.h>
#include <signal.h>
#include <toml++/toml.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <type_traits>
#include <variant>

#include "engine/run.h"
#include "io/display_name.h"
#include "io/live_source.h"
#include "live/metrics_server.h"
#include "live/session.h"
#include "live/status.h"
#include "qc/profile.h"
#include "qc/toml_fault.h"
#include "report/output_paths.h"
#include "report/outputs.h"
#include "report/provenance.h"

namespace lumaqc {

namespace {

constexpr size_t kMaxFileBytes = size_t{1} << 20;

// What a channel may set besides its name and URL: the live run's options
// by their keywords (as Python names them).
const char* const kChannelKeys[] = {
    "profile",    "fail_on",  "events",        "log",    "json",
    "csv",        "report",   "stall_timeout", "window", "flush_interval",
    "log_rotate", "log_keep", "exec_on_event"};

// A message of the library without its "lumaqc: " and line feed.
std::string bare(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.rfind("lumaqc: ", 0) == 0) text.erase(0, 8);
    return text;
}

// A value as the option's text: strings as written, numbers as TOML wrote them.
std::optional<std::string> valueText(const toml::node& node) {
    if (const auto* text = node.as_string()) return text->get();
    if (const auto* number = node.as_integer()) return std::to_string(number->get());
    if (const auto* number = node.as_floating_point()) {
        std::ostringstream out;
        out << number->get();
        return out.str();
    }
    return std::nullopt;
}

// Sets one setting from its text; "" or why not.
std::string assign(Settings& settings, const SettingField& field, const std::string& text) {
    if (field.check != nullptr) {
        if (std::string why = field.check(text); !why.empty()) return why;
    }
    return std::visit(
        [&](auto member) -> std::string {
            auto& value = settings.*member;
            using Value = std::remove_reference_t<decltype(value)>;
            if constexpr (std::is_same_v<Value, std::string>) {
                value = text;
                return "";
            } else if constexpr (std::is_same_v<Value, int>) {
                char* end = nullptr;
                const long number = std::strtol(text.c_str(), &end, 10);
                if (text.empty() || *end != '\0') return text + " is not a whole number";
                value = static_cast<int>(number);  // in range: checked above
                return "";
            } else {
                return "cannot be set here";
            }
        },
        field.member);
}

std::optional<MonitorChannel> readChannel(const toml::table& table, qc::TomlFault& fault) {
    MonitorChannel channel;
    Settings& settings = channel.settings;
    settings.liveRequested = true;
    settings.quiet = true;
    settings.noLog = true;  // a log only where asked for
    std::string keys = "name, url";
    for (const char* key : kChannelKeys) keys += std::string(", ") + key;
    const toml::node* url = nullptr;
    for (const auto& [key, node] : table) {
        const std::string name(key.str());
        if (name == "name" || name == "url") {
            const auto* text = node.as_string();
            if (text == nullptr || text->get().empty()) {
                fault.at(node.source(), "key '" + name + "' must be a string, not empty");
                return std::nullopt;
            }
            (name == "name" ? channel.name : settings.input) = text->get();
            if (name == "url") url = &node;
            continue;
        }
        const bool known =
            std::find_if(std::begin(kChannelKeys), std::end(kChannelKeys),
                         [&name](const char* k) { return name == k; }) != std::end(kChannelKeys);
        if (!known) {
            fault.at(key.source(), "unknown key '" + name + "' (" + keys + ")");
            return std::nullopt;
        }
        const std::optional<std::string> text = valueText(node);
        if (!text) {
            fault.at(node.source(), "key '" + name + "' must be a string or a number");
            return std::nullopt;
        }
        if (*text == "-") {
            fault.at(node.source(), "key '" + name + "': standard output is not an output here");
            return std::nullopt;
        }
        if (const std::string why = assign(settings, *findSettingField(name), *text);
            !why.empty()) {
            fault.at(node.source(), "key '" + name + "': " + why);
            return std::nullopt;
        }
        if (name == "log") settings.noLog = false;
    }
    if (channel.name.empty() || settings.input.empty()) {
        fault.at(table.source(), "a [[channel]] needs a 'name' and a 'url'");
        return std::nullopt;
    }
    if (!isUrl(settings.input)) {
        fault.at(url->source(), "channel '" + channel.name +
                                    "': 'url' must be a URL (udp://, "
                                    "srt://, rtmp://, http:// ...), not " +
                                    settings.input);
        return std::nullopt;
    }
    settings.channel = channel.name;
    const std::string prefix = "channel '" + channel.name + "': ";
    if (const std::string why = validate(settings); !why.empty()) {
        fault.at(table.source(), prefix + bare(why));
        return std::nullopt;
    }
    if (const std::string why = checkOutputPaths(settings, true); !why.empty()) {
        fault.at(table.source(), prefix + bare(why));
        return std::nullopt;
    }
    if (!settings.profile.empty()) {
        std::string error;
        channel.profile = qc::loadProfile(settings.profile, error);
        if (!channel.profile) {
            fault.at(table.get("profile")->source(), prefix + error);
            return std::nullopt;
        }
    }
    std::ostringstream canonical;
    canonical << table << '\n' << (channel.profile ? qc::profileToToml(*channel.profile) : "");
    channel.canonical = canonical.str();
    return channel;
}

// The files a channel writes, to keep two channels from writing the same.
std::vector<std::string> outputsOf(const Settings& settings) {
    std::vector<std::string> paths;
    if (!settings.noLog) paths.push_back(settings.logPath);
    for (const std::string* path :
         {&settings.jsonPath, &settings.csvPath, &settings.reportPath, &settings.eventsPath}) {
        if (!path->empty()) paths.push_back(*path);
    }
    return paths;
}

}  // namespace

std::optional<MonitorConfig> readMonitorConfig(const std::string& path, std::string& error) {
    qc::TomlFault fault("channels " + path);
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read the channels file " + path;
        return std::nullopt;
    }
    std::string text(kMaxFileBytes + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(file.gcount()));
    if (text.size() > kMaxFileBytes) {
        error = "the channels file " + path + " is larger than 1 MiB";
        return std::nullopt;
    }
    toml::table root;
    try {
        root = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        fault.parseError(e, text);
        error = fault.text();
        return std::nullopt;
    }
    MonitorConfig config;
    std::map<std::string, std::string> written;  // path -> channel
    for (const auto& [key, node] : root) {
        const std::string name(key.str());
        if (name == "threads") {
            const auto* number = node.as_integer();
            if (number == nullptr || number->get() < 0 || number->get() > kMaxThreads) {
                fault.at(node.source(), "key 'threads' must be a whole number from 0 to " +
                                            std::to_string(kMaxThreads));
            } else {
                config.threads = static_cast<int>(number->get());
            }
        } else if (name == "metrics") {
            const std::optional<std::string> value = valueText(node);
            config.metrics = value ? parseEndpoint(*value) : std::nullopt;
            if (!config.metrics) {
                fault.at(node.source(),
                         "key 'metrics' must be HOST:PORT, :PORT or PORT (a port from 0 to 65535)");
            }
        } else if (name == "metrics_port_file") {
            const auto* value = node.as_string();
            if (value == nullptr || value->get().empty()) {
                fault.at(node.source(), "key 'metrics_port_file' must be a file name");
            } else {
                config.metricsPortFile = value->get();
            }
        } else if (name == "channel") {
            const toml::array* channels = node.as_array();
            if (channels == nullptr || !channels->is_array_of_tables()) {
                fault.at(node.source(), "'channel' must be an array of tables: [[channel]]");
                break;
            }
            for (const toml::node& item : *channels) {
                std::optional<MonitorChannel> channel = readChannel(*item.as_table(), fault);
                if (!channel) break;
                for (const MonitorChannel& other : config.channels) {
                    if (other.name == channel->name) {
                        fault.at(item.as_table()->get("name")->source(),
                                 "channel name '" + channel->name + "' is used twice");
                    }
                }
                for (const std::string& output : outputsOf(channel->settings)) {
                    const auto [at, added] = written.emplace(output, channel->name);
                    if (!added) {
                        fault.at(item.source(), "channel '" + channel->name + "' writes " + output +
                                                    ", which channel '" + at->second +
                                                    "' writes too");
                    }
                }
                if (fault.failed()) break;
                config.channels.push_back(std::move(*channel));
            }
        } else {
            fault.at(key.source(), "unknown key '" + name +
                                       "' (threads, metrics, metrics_port_file, [[channel]])");
        }
        if (fault.failed()) break;
    }
    if (!fault.failed() && config.channels.empty()) fault.at(root.source(), "no [[channel]]");
    if (!config.metrics && !config.metricsPortFile.empty() && !fault.failed()) {
        fault.at(root.get("metrics_port_file")->source(),
                 "key 'metrics_port_file' needs 'metrics'");
    }
    if (fault.failed()) {
        error = fault.text();
        return std::nullopt;
    }
    return config;
}

namespace {

// One channel being watched, on a thread of its own.
struct Channel {
    MonitorChannel config;
    std::atomic<int> stop{0};
    std::atomic<int> hangups{0};
    std::unique_ptr<LiveSession> session;
    std::thread thread;
    std::atomic<bool> ended{false};
    std::string summary;  // once ended: what is printed for it
};

// Every channel's metrics and status behind the one endpoint.
class Channels {
  public:
    std::string metrics() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<const Metrics*> all;
        for (const auto& channel : list_) all.push_back(&channel->session->metrics());
        return renderMetrics(all);
    }
    std::string status() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<ChannelStatus> all;
        for (const auto& channel : list_) all.push_back(channel->session->metrics().status());
        return statusJson(all);
    }
    std::vector<std::shared_ptr<Channel>> swap(std::vector<std::shared_ptr<Channel>> list) {
        std::lock_guard<std::mutex> lock(mutex_);
        list_.swap(list);
        return list;
    }
    // The main thread's view (only it changes the list).
    const std::vector<std::shared_ptr<Channel>>& list() const { return list_; }

  private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<Channel>> list_;
};

// The channel's run, as a single live run makes it, without a console.
void watch(Channel& channel, const RunProvenance* provenance) {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signo : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signo);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const Settings& settings = channel.config.settings;
    const std::string name = printableName(channel.config.name);  // on the console
    LiveSession& session = *channel.session;
    std::string error;
    const auto end = [&](const std::string& summary, bool down) {
        session.finish();
        if (down) session.metrics().down();
        channel.summary = "channel " + name + ": " + summary + "\n";
        channel.ended = true;
    };
    const auto fail = [&](const std::string& why) {
        std::fprintf(stderr, "lumaqc: channel %s: %s\n", name.c_str(), bare(why).c_str());
        end("did not run: " + bare(why), true);
    };
    Outputs outputs;
    if (!outputs.openLog(settings, error, true)) return fail(error);
    AnalysisRequest request = analysisRequest(settings);
    request.stop = &channel.stop;
    request.quantisers = channel.config.profile && qc::watchesQuantiser(*channel.config.profile);
    request.notice = [&name](const std::string& text) {
        std::fprintf(stderr, "lumaqc: channel %s: %s\n", name.c_str(), bare(text).c_str());
    };
    OpenStatus opened = OpenStatus::Ok;
    std::unique_ptr<Analysis> analysis = session.open(request, error, &opened);
    if (!analysis && channel.stop.load() != 0)
        return end("stopped before its first picture", false);
    if (!analysis) return fail(error);
    const double fps = analysis->options().fps;
    session.setFrameRate(fps);
    if (channel.config.profile && !(fps > 0.0 && std::isfinite(fps))) {
        return fail("a QC profile needs a positive frame rate, not " + std::to_string(fps));
    }
    if (channel.config.profile) {
        const std::string bad = qc::timecodeBeyondRate(*channel.config.profile, fps);
        if (!bad.empty()) return fail(bad);
        if (const std::string note = qc::unknownEndTailNote(*channel.config.profile, true);
            !note.empty()) {
            std::fprintf(stderr, "lumaqc: channel %s: %s\n", name.c_str(), note.c_str());
        }
    }
    if (!outputs.create(settings, channel.config.profile, analysis->input().path,
                        OutputsFor::Library, &session, error, provenance)) {
        return fail(error);
    }
    const RunOutcome outcome = analysis->run(outputs.sinks());
    std::string summary = std::to_string(outcome.framesDone) + " frames";
    if (outcome.status != 0) {
        std::fprintf(stderr, "lumaqc: channel %s: %s\n", name.c_str(),
                     bare(outcome.message).c_str());
        summary += ", ended on an error: " + bare(outcome.message);
    } else if (!outcome.stopped) {
        summary += ", the input ended";
    }
    if (const DecisionSink* decision = outputs.decision()) {
        std::string verdict = decision->consoleText();
        verdict.erase(0, verdict.find_first_not_of('\n'));
        summary += "\n" + verdict;
    }
    while (!summary.empty() && summary.back() == '\n') summary.pop_back();
    end(summary, !outcome.stopped);
}

std::shared_ptr<Channel> startChannel(const MonitorChannel& config, int threads,
                                      const RunProvenance* provenance) {
    auto channel = std::make_shared<Channel>();
    channel->config = config;
    channel->config.settings.threads = threads;
    std::string error;
    channel->session =
        LiveSession::start(config.settings.live, config.settings.input, &channel->stop, error,
                           /*serve=*/false);
    channel->session->setHangups(&channel->hangups);
    channel->session->setMessagePrefix("channel " + printableName(config.name) + ": ");
    Channel* self = channel.get();
    channel->thread = std::thread([self, provenance] { watch(*self, provenance); });
    return channel;
}

void stopChannel(Channel& channel, int signo) {
    channel.stop.store(signo);
    if (channel.thread.joinable()) channel.thread.join();
    std::fputs(channel.summary.c_str(), stdout);
    std::fflush(stdout);
}

// Each channel's share of the analysis threads.
int shareOf(const MonitorConfig& config) {
    if (config.threads == 0) return 1;
    return std::max(1, config.threads / static_cast<int>(config.channels.size()));
}

// SIGHUP: the file read again; the channels added, removed or changed (or
// ended) are started and stopped, the others reopen their logs.
void reload(const std::string& path, MonitorConfig& config, Channels& channels,
            const RunProvenance* provenance) {
    std::string error;
    std::optional<MonitorConfig> next = readMonitorConfig(path, error);
    if (!next) {
        std::fprintf(stderr, "lumaqc: %s; the channels go on as they were\n", error.c_str());
        return;
    }
    if (next->metrics.has_value() != config.metrics.has_value() ||
        (next->metrics && (next->metrics->host != config.metrics->host ||
                           next->metrics->port != config.metrics->port))) {
        std::fprintf(stderr, "lumaqc: the metrics address changes only with a restart\n");
    }
    std::map<std::string, Channel*> running;
    for (const auto& channel : channels.list()) running[channel->config.name] = channel.get();
    std::map<std::string, bool> kept;
    for (const MonitorChannel& wanted : next->channels) {
        const auto at = running.find(wanted.name);
        kept[wanted.name] = at != running.end() && !at->second->ended.load() &&
                            at->second->config.canonical == wanted.canonical;
    }
    int added = 0, removed = 0, restarted = 0;
    for (const auto& channel : channels.list()) {
        const auto at = kept.find(channel->config.name);
        if (at != kept.end() && at->second) {
            channel->hangups.fetch_add(1);
            continue;
        }
        ++(at == kept.end() ? removed : restarted);
        stopChannel(*channel, SIGHUP);
    }
    const int threads = shareOf(*next);
    std::vector<std::shared_ptr<Channel>> list;
    for (const MonitorChannel& wanted : next->channels) {
        if (kept[wanted.name]) {
            for (const auto& channel : channels.list()) {
                if (channel->config.name == wanted.name) list.push_back(channel);
            }
        } else {
            added += running.count(wanted.name) == 0 ? 1 : 0;
            list.push_back(startChannel(wanted, threads, provenance));
        }
    }
    channels.swap(std::move(list));
    config = std::move(*next);
    std::fprintf(stderr, "lumaqc: %s read again: %d added, %d removed, %d restarted\n",
                 path.c_str(), added, removed, restarted);
}

}  // namespace

int runMonitorCommand(int argc, const char* const* argv, const std::atomic<int>* stop,
                      const std::atomic<int>* hangups) {
    std::string path;
    CLI::App app{
        "Watches every channel of CHANNELS (a TOML file) live in one process, with one\n"
        "metrics endpoint; SIGHUP reads the file again, SIGTERM or SIGINT stops every\n"
        "channel and prints each one's verdict. See docs/live.md.",
        "lumaqc monitor"};
    bool check = false;
    app.add_option("channels", path, "The channels file (TOML)")->required();
    app.add_flag("--check", check, "Check the file and stop (status 0 when it can run)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "lumaqc monitor: %s (see --help)\n", e.what());
        return -1;
    }
    std::string error;
    std::optional<MonitorConfig> config = readMonitorConfig(path, error);
    if (!config) {
        std::fprintf(stderr, "lumaqc: %s\n", error.c_str());
        return -1;
    }
    if (check) {
        std::printf("%s: %zu channels\n", path.c_str(), config->channels.size());
        return 0;
    }
    Channels channels;
    MetricsServer server;
    if (config->metrics) {
        MetricsServer::Pages pages;
        pages.metrics = [&channels] { return channels.metrics(); };
        pages.status = [&channels] { return channels.status(); };
        if (!server.start(*config->metrics, pages, error) ||
            !server.announce(config->metricsPortFile, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return -1;
        }
    }
    const RunProvenance provenance = startProvenance(argc, argv);
    {
        std::vector<std::shared_ptr<Channel>> list;
        for (const MonitorChannel& channel : config->channels) {
            list.push_back(startChannel(channel, shareOf(*config), &provenance));
        }
        channels.swap(std::move(list));
    }
    for (int seen = hangups->load(); stop->load() == 0;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (const int now = hangups->load(); now != seen && stop->load() == 0) {
            seen = now;
            reload(path, *config, channels, &provenance);
        }
    }
    const int signo = stop->load();
    for (const auto& channel : channels.list()) channel->stop.store(signo);
    for (const auto& channel : channels.list()) stopChannel(*channel, signo);
    server.stop();
    channels.swap({});
    std::fprintf(stderr, "lumaqc: stopped by %s\n", signo == SIGINT ? "SIGINT" : "SIGTERM");
    return 128 + signo;
}

}  // namespace lumaqc
