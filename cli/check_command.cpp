#include "cli/check_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <tuple>

#include "driver/check.h"
#include "io/display_name.h"
#include "qc/profile.h"
#include "report/text_sinks.h"
#include "settings/settings.h"

namespace lumaqc {

namespace {

const char* const kDescription =
    "Judges each FILE by a QC profile and prints its verdict and events (errors\n"
    "first, with SMPTE timecode and seconds). Exit status: 0 when every file\n"
    "passes, 1 when any fails, 255 when any could not be analysed (not video,\n"
    "unreadable, no frame).";

// The document's name in `dir` for `file`: its file name with `extension`,
// numbered when two inputs share a name.
std::string documentPath(const std::string& dir, const std::string& file,
                         const std::string& extension, std::set<std::string>& used) {
    std::string name = std::filesystem::path(file).filename().string();
    if (name.empty() || name == "." || name == "..") name = "input";
    std::string path = (std::filesystem::path(dir) / (name + extension)).string();
    for (int n = 2; used.contains(path); ++n) {
        path = (std::filesystem::path(dir) / (name + "-" + std::to_string(n) + extension)).string();
    }
    used.insert(path);
    return path;
}

bool makeDirectory(const std::string& dir) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    std::error_code ignored;
    if (std::filesystem::is_directory(dir, ignored)) return true;
    // create_directories says nothing when the name is taken by a file.
    const std::string why = error                                   ? error.message()
                            : std::filesystem::exists(dir, ignored) ? "it is not a directory"
                                                                    : "";
    std::fprintf(stderr, "lumaqc: cannot create the directory %s%s%s\n", printableName(dir).c_str(),
                 why.empty() ? "" : ": ", why.c_str());
    return false;
}

}  // namespace

ParsedCheck parseCheckCommand(int argc, const char* const* argv) {
    ParsedCheck parsed;
    CheckCommand& command = parsed.command;
    std::string failOn = "error";
    CLI::App app{kDescription, "lumaqc check"};
    app.add_option("files", command.files, "Video files to judge")->required()->expected(-1);
    app.add_option("--profile", command.profile,
                   "\"default\" (built in, the default) or a TOML profile file");
    const CLI::Validator path(checkPath, "");
    app.add_option("--report-dir", command.reportDir,
                   "Write an HTML report per file here (FILE's name + .html)")
        ->check(path);
    app.add_option("--json-dir", command.jsonDir,
                   "Write a JSON document per file here (FILE's name + .json)")
        ->check(path);
    app.add_option("--fail-on", failOn, "Severity that fails a file: error (default) or warning")
        ->check(CLI::IsMember({"error", "warning"}));
    app.add_option("--threads", command.threads, "Worker threads (default 0: every hardware one)")
        ->check(CLI::Range(0, 1024));
    for (auto [option, member, help] :
         {std::tuple{"--ignore-head", &command.ignoreHead,
                     "Seconds or HH:MM:SS:FF at the head that the profile does not judge "
                     "(replaces its ignore_head)"},
          std::tuple{"--ignore-tail", &command.ignoreTail,
                     "Seconds or HH:MM:SS:FF at the tail that the profile does not judge "
                     "(replaces its ignore_tail)"}}) {
        app.add_option(option, *member, help)
            ->check(CLI::Validator(checkTime, "SECONDS|HH:MM:SS:FF"));
    }
    app.add_flag("--rows", command.rows, "Also print the per-frame rows and timing table");
    app.add_option("--log", command.logPath, "Also write the tab-separated log here (one FILE)")
        ->check(path);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        std::ostringstream out;
        parsed.status = app.exit(e, out);
        parsed.text = out.str();
        return parsed;
    } catch (const CLI::ParseError& e) {
        parsed.status = -1;
        parsed.text = std::string("lumaqc check: ") + e.what() + " (see lumaqc check --help)\n";
        return parsed;
    }
    if (!command.logPath.empty() && command.files.size() != 1) {
        parsed.status = -1;
        parsed.text = "lumaqc check: --log takes one FILE\n";
        return parsed;
    }
    command.failOnWarning = failOn == "warning";
    parsed.run = true;
    return parsed;
}

int runCheckCommand(const CheckCommand& command, const std::atomic<int>* stop) {
    std::string error;
    std::optional<qc::Profile> profile = qc::loadProfile(command.profile, error);
    if (!profile) {
        std::fprintf(stderr, "lumaqc: %s\n", error.c_str());
        return -1;
    }
    if (!command.ignoreHead.empty()) profile->ignoreHead = command.ignoreHead;
    if (!command.ignoreTail.empty()) profile->ignoreTail = command.ignoreTail;
    if ((!command.reportDir.empty() && !makeDirectory(command.reportDir)) ||
        (!command.jsonDir.empty() && !makeDirectory(command.jsonDir))) {
        return -1;
    }
    std::set<std::string> used;
    bool failed = false;
    bool unanalysed = false;
    for (const std::string& file : command.files) {
        CheckRequest request;
        request.settings.input = file;
        request.settings.profile = command.profile;
        request.settings.failOn = command.failOnWarning ? "warning" : "error";
        request.settings.threads = command.threads;
        request.profile = *profile;
        request.stop = stop;
        if (!command.jsonDir.empty()) {
            request.settings.jsonPath = documentPath(command.jsonDir, file, ".json", used);
        }
        if (!command.reportDir.empty()) {
            request.settings.reportPath = documentPath(command.reportDir, file, ".html", used);
        }
        std::unique_ptr<ConsoleSink> console;
        std::unique_ptr<LogSink> log;
        if (command.rows) {
            console = std::make_unique<ConsoleSink>(true, 1);
            request.sinks.push_back(console.get());
        }
        if (!command.logPath.empty()) {
            log = std::make_unique<LogSink>(command.logPath);
            if (log->busy()) {
                std::fprintf(stderr, "%s\n", log->error().c_str());
                return -1;
            }
            request.sinks.push_back(log.get());
        }
        const CheckResult result = checkFile(request);
        // Names as the console shows them: no control characters or other bytes
        // that are not UTF-8.
        const std::string shown = printableName(file);
        if (result.status == CheckStatus::NotAnalysed) {
            unanalysed = true;
            std::fflush(stdout);
            std::fprintf(stderr, "%s\n", result.message.c_str());
            std::printf("%s: NOT ANALYSED\n", shown.c_str());
        } else {
            const DecisionSink& decision = *result.decision();
            const qc::Verdict v = decision.verdict();
            failed = failed || !v.pass;
            std::printf("%s: %s (profile %s): %lld %s, %lld %s", shown.c_str(),
                        v.pass ? "PASS" : "FAIL", printableName(command.profile).c_str(),
                        static_cast<long long>(v.errors), v.errors == 1 ? "error" : "errors",
                        static_cast<long long>(v.warnings),
                        v.warnings == 1 ? "warning" : "warnings");
            if (v.infos > 0) {
                std::printf(", %lld %s", static_cast<long long>(v.infos),
                            v.infos == 1 ? "note" : "notes");
            }
            std::printf("\n");
            for (const qc::Event* e : decision.eventsBySeverity()) {
                std::printf("  %s\n", decision.eventLine(*e).c_str());
            }
            std::vector<std::string> notes = decision.unjudgedNotes();
            // Damage, or an input cut short, that no event of the profile
            // tells (it has no decode_error or truncated rule) is said as
            // the program says it.
            const auto events = decision.eventsBySeverity();
            const auto told = [&events](qc::Watch watch) {
                return std::any_of(events.begin(), events.end(),
                                   [watch](const qc::Event* e) { return e->watch == watch; });
            };
            if (!result.message.empty() && !told(qc::Watch::Truncated) &&
                !told(qc::Watch::DecodeError)) {
                notes.insert(notes.begin(), result.message);
            }
            if (!told(qc::Watch::DecodeError)) {
                if (std::string damage = decision.damageSummary(); !damage.empty()) {
                    notes.insert(notes.begin(), std::move(damage));
                }
            }
            for (const std::string& note : notes) {
                std::fflush(stdout);
                std::fprintf(stderr, "%s\n", note.c_str());
            }
        }
        std::fflush(stdout);
        if (stop != nullptr && stop->load() != 0) return 128 + stop->load();
    }
    if (unanalysed) return -1;
    return failed ? 1 : 0;
}

}  // namespace lumaqc
