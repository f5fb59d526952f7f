// lumaqc: no-reference quality indicators for raw YUV 4:2:0, Y4M and decoded video.
//
//   lumaqc nameOfTheMovie.yuv WIDTH HEIGHT [FPS] [NumberOfFrames] [startFrame] [options]
//   lumaqc clip.y4m|movie.mkv|- [options]
//
// Reads the luma plane of each selected frame, computes the fifteen
// indicators, prints one row per frame on the console and in the log
// "metricsResultsCSV.csv", and ends with the time each indicator took.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "cli/check_command.h"
#include "cli/command_line.h"
#include "cli/monitor_command.h"
#include "engine/run.h"
#include "io/decoder_source.h"
#include "io/display_name.h"
#include "io/live_source.h"
#include "io/mapped_frames.h"
#include "live/session.h"
#include "qc/profile.h"
#include "report/decision_sink.h"
#include "report/output_paths.h"
#include "report/outputs.h"
#include "report/provenance.h"
#include "tools/simd.h"

// Highway's library measures the resolution of its timer when it is
// loaded (a static initialiser: some 2 to 3 ms of back-to-back timer reads,
// for its micro-benchmark functions). lumaqc never calls them, and each run
// of a short file paid for the measurement, so the program defines the
// function itself: the loader binds the library's call to the program's
// definition, which measures nothing.
namespace hwy::platform {
__attribute__((visibility("default"))) uint64_t TimerResolution();
uint64_t TimerResolution() {
    return 1;
}
}  // namespace hwy::platform

using namespace lumaqc;

namespace {

// Set by SIGINT and SIGTERM. The run then reads no further frame, finishes the
// frames in flight, prints the summary of the frames done and ends with
// status 128 + the signal number.
std::atomic<int> stopSignal{0};

void onStopSignal(int signo) {
    stopSignal.store(signo);
}

// SIGHUP in a live run (logrotate's convention): the log is reopened and the
// documents rewritten; the run goes on.
std::atomic<int> hangups{0};

void onHangup(int) {
    hangups.fetch_add(1);
}

void installHangupHandler() {
    struct sigaction action = {};
    action.sa_handler = onHangup;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &action, nullptr);
}

void installStopHandlers() {
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // Without SA_RESTART a read blocked on a pipe returns at once; with
    // SA_RESETHAND a second signal ends the process the default way.
    action.sa_flags = SA_RESETHAND;
    for (const int signo : {SIGINT, SIGTERM}) {
        struct sigaction previous = {};
        // A signal ignored by whoever started us (nohup, background jobs) stays ignored.
        if (sigaction(signo, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        sigaction(signo, &action, nullptr);
    }
}

// What to say when memory runs out; names the picture size once it is known.
char outOfMemoryMessage[160] = "lumaqc: not enough memory\n";

void printOutOfMemory() {
    if (write(STDERR_FILENO, outOfMemoryMessage, std::strlen(outOfMemoryMessage)) < 0) {
        // Nothing more can be done.
    }
}

// Called by a failed allocation with new in any thread. The rows written so
// far are already flushed, so ending at once loses nothing that can be kept.
void onOutOfMemory() {
    printOutOfMemory();
    std::_Exit(255);
}

void describeOutOfMemory(int32_t width, int32_t height) {
    std::snprintf(outOfMemoryMessage, sizeof outOfMemoryMessage,
                  "lumaqc: not enough memory for pictures of %d x %d\n", width, height);
}

int run(int argc, char** argv);

// Descriptors 0 to 2 that whoever started us left closed are opened on
// /dev/null, before any file is opened, so that no file of ours takes their
// place (a log would then get the console rows). Opened for reading only: a
// write to a closed standard output still fails, and is reported.
void openClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

// A stop signal that came before the first frame (while the input was opened
// or probed) ends the run at once, before any output is touched.
int stoppedBeforeStart() {
    const int signo = stopSignal.load();
    std::fprintf(stderr, "lumaqc: stopped by %s after 0 frames\n",
                 signo == SIGINT ? "SIGINT" : "SIGTERM");
    return 128 + signo;
}

}  // namespace

int main(int argc, char** argv) {
    openClosedStandardDescriptors();
    // The library reports pictures it cannot allocate with std::bad_alloc.
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        printOutOfMemory();
        return -1;
    }
}

namespace {

// An error libsrt met (a caller refused for its passphrase, say), on the
// error stream in the program's own form, at most one line every 5 s: a
// caller that tries again each second would fill the stream otherwise.
void sayTransportError(const std::string& line) {
    static std::mutex mutex;
    static double lastSaid = -1e9;
    static long held = 0;
    std::lock_guard<std::mutex> lock(mutex);
    const double now = monotonicSeconds();
    if (now < lastSaid + 5.0) {
        ++held;
        return;
    }
    lastSaid = now;
    const std::string more = held > 0 ? " (and " + std::to_string(held) + " more " +
                                            (held == 1 ? "line" : "lines") + " of libsrt's)"
                                      : "";
    held = 0;
    std::fprintf(stderr, "lumaqc: libsrt: %s%s\n", line.c_str(), more.c_str());
}

// Where what the console prints goes. A document on standard output keeps
// it to itself: the console's text goes to the error stream then, or nowhere
// with --quiet.
struct Console {
    explicit Console(const Settings& options)
        : stream(documentOnStandardOutput(options) ? stderr : stdout),
          shown(!(documentOnStandardOutput(options) && options.quiet)) {}
    FILE* stream;
    bool shown;
};

// The QC profile of --profile, read (and refused) before anything else is
// read or written; --print-profile prints it. An exit status when the run
// ends here.
std::optional<int> readProfile(const Settings& options, std::optional<qc::Profile>& profile) {
    if (!options.profile.empty()) {
        std::string error;
        bool interrupted = false;
        profile = qc::loadProfile(options.profile, error, &stopSignal, &interrupted);
        if (interrupted) return stoppedBeforeStart();
        if (!profile) {
            std::fprintf(stderr, "lumaqc: %s\n", error.c_str());
            return -1;
        }
        if (!options.ignoreHead.empty()) profile->ignoreHead = options.ignoreHead;
        if (!options.ignoreTail.empty()) profile->ignoreTail = options.ignoreTail;
    }
    if (options.printProfile) {
        // The built-in profile with its comments, unless --ignore-head or
        // --ignore-tail changed it: the profile printed is the one a run uses.
        const std::string text = options.profile == "default" && *profile == qc::defaultProfile()
                                     ? qc::defaultProfileText()
                                     : qc::profileToToml(*profile);
        std::fputs(text.c_str(), stdout);
        return 0;
    }
    return std::nullopt;
}

// Live monitoring (URLs and pipes, or --live) and the outputs that serve it
// start before anything is read: a metrics address that cannot be bound
// stops the start (false, with the message in `error`). None is needed
// otherwise (`session` stays null).
bool startLive(const Settings& options, bool live, std::unique_ptr<LiveSession>& session,
               std::string& error) {
    if (!live && !options.live.metrics && options.live.execOnEvent.empty()) return true;
    session = LiveSession::start(options.live, options.input, &stopSignal, error);
    if (!session) return false;
    if (live) {
        session->setHangups(&hangups);
        installHangupHandler();
    }
    return true;
}

// What the run's end says (errors, the verdict, a stop, frames missing from a
// raw file) and the exit status. The input is closed before the closing line.
int finish(const RunOutcome& outcome, const Settings& options, const Console& console,
           Outputs& outputs, std::unique_ptr<Analysis>& analysis) {
    const DecisionSink* decision = outputs.decision();
    if (outcome.status != 0) {
        outputs.progress().clear();
        std::fputs(outcome.message.c_str(), outcome.messageOnStdout ? console.stream : stderr);
        // The verdict on the frames done.
        if (decision && console.shown) std::fputs(decision->consoleText().c_str(), console.stream);
        std::fflush(stdout);
        for (const std::string& later : outcome.laterErrors) std::fputs(later.c_str(), stderr);
        // Under a profile, an input that ended on an error after frames were
        // analysed (a file cut short, a decoder that gave up) is judged: the
        // error is an event of the verdict, and the status is the verdict's.
        if (decision && outcome.inputFailed && outcome.framesDone > 0) {
            return decision->verdict().pass ? 0 : 1;
        }
        return -1;
    }
    // A run that analysed no frame (a stream that ended at once, a start past
    // the end) has no verdict to print: it is refused below, as `lumaqc
    // check` refuses it, and has left every earlier output as it was. So is
    // a run without a profile, unless it asked for no frame.
    const bool judged = outcome.framesDone > 0 || outcome.stopped;
    if (decision && judged && console.shown) {
        std::fputs(decision->consoleText().c_str(), console.stream);
    }
    if (outcome.stopped) {
        const int signo = stopSignal.load();
        std::fprintf(stderr, "lumaqc: stopped by %s after %lld frames\n",
                     signo == SIGINT ? "SIGINT" : "SIGTERM",
                     static_cast<long long>(outcome.framesDone));
        return 128 + signo;
    }
    // A raw file holds fewer of the frames asked for: the run stopped after
    // its last whole frame.
    const SourceInfo& input = analysis->input();
    const RunOptions& run = analysis->options();
    if (input.kind == "raw" && options.frames.has_value() && outcome.framesDone < run.frames) {
        std::fprintf(stderr,
                     "lumaqc: only %lld of the %lld frames requested from frame %lld exist in %s, "
                     "which holds %lld whole frames\n",
                     static_cast<long long>(outcome.framesDone), static_cast<long long>(run.frames),
                     static_cast<long long>(run.start), input.path.c_str(),
                     static_cast<long long>(input.frames));
    }
    const bool refused = !judged && (decision || run.untilEnd || run.frames > 0);
    analysis.reset();
    if (console.shown) std::fputs("\nFile stream closed\n\n", console.stream);
    if (refused) {
        std::fflush(stdout);
        std::fprintf(
            stderr, "lumaqc: no frame of %s\n",
            options.input == "-" ? "standard input" : printableName(options.input).c_str());
        return -1;
    }
    if (!decision) return 0;
    // Damage the decoder went on after is in the verdict (decode_error
    // events); the status is the verdict's, 255 staying for runs that could
    // not happen.
    const std::string damage = decision->damageSummary();
    if (!damage.empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", damage.c_str());
    }
    for (const std::string& note : decision->unjudgedNotes()) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", note.c_str());
    }
    return decision->verdict().pass ? 0 : 1;
}

// The analysis the command line asks for: the profile, the refusals of the
// start, the live session, the log, the input, the outputs, the run.
int analyse(const Settings& options, int argc, char** argv) {
    std::optional<qc::Profile> profile;
    if (const std::optional<int> status = readProfile(options, profile)) return *status;

    const RunProvenance provenance = startProvenance(argc, argv);
    const bool live = options.live.live || isLiveInput(options.input);
    // Outputs that would destroy the input or each other stop the start
    // (a live run's log rotates by default: its rotated names count too).
    const std::string clash = checkOutputPaths(options, live);
    if (!clash.empty()) {
        std::fputs(clash.c_str(), stderr);
        return -1;
    }
    const Console console(options);
    std::string error;
    std::unique_ptr<LiveSession> session;
    if (!startLive(options, live, session, error)) {
        std::fputs(error.c_str(), stderr);
        return -1;
    }

    // The log is locked before the input is opened: a second run in the same
    // folder is refused while this one waits for its input.
    Outputs outputs;
    if (!outputs.openLog(options, error, live)) {
        std::fputs(error.c_str(), stderr);
        return -1;
    }

    AnalysisRequest request = analysisRequest(options);
    request.stop = &stopSignal;
    if (live && !options.threadsGiven) request.threads = 1;
    request.quantisers = profile && qc::watchesQuantiser(*profile);
    // A file's frames are analysed where the page cache keeps them.
    request.mapFrames = !live && guardMappedFrames();
    // With one thread, the next frame is read meanwhile where a core is spare.
    request.readAhead = !live;
    request.notice = [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
    if (options.width > 0 && options.height > 0) {
        describeOutOfMemory(static_cast<int32_t>(options.width),
                            static_cast<int32_t>(options.height));
    }
    OpenStatus opened = OpenStatus::Ok;
    std::unique_ptr<Analysis> analysis =
        live ? session->open(request, error, &opened) : Analysis::open(request, error, &opened);
    if (stopSignal.load() != 0) {
        // A feed dead at the start: its loss closes, and the event command
        // is handed the close with the usual grace.
        if (session) session->finish();
        return stoppedBeforeStart();
    }
    if (!analysis && opened == OpenStatus::NeedsSize && error.empty()) {
        // A path alone that names raw video: as for too few arguments.
        std::fputs(usageText(argc > 0 ? argv[0] : "").c_str(), console.stream);
        return -1;
    }
    if (!analysis) {
        std::fputs(error.c_str(), stderr);
        return -1;
    }
    describeOutOfMemory(analysis->input().width, analysis->input().height);

    const double fps = analysis->options().fps;
    if (live) session->setFrameRate(fps);
    if (profile && !(fps > 0.0 && std::isfinite(fps))) {
        std::fprintf(stderr, "lumaqc: a QC profile needs a positive frame rate, not %g\n", fps);
        return -1;
    }
    if (const std::string bad = profile ? qc::timecodeBeyondRate(*profile, fps) : "";
        !bad.empty()) {
        std::fprintf(stderr, "lumaqc: %s\n", bad.c_str());
        return -1;
    }

    if (!outputs.create(options, std::move(profile), analysis->input().path, OutputsFor::Program,
                        session.get(), error, &provenance)) {
        std::fputs(error.c_str(), stderr);
        return -1;
    }
    const RunOutcome outcome = analysis->run(outputs.sinks());
    if (session) session->finish();
    return finish(outcome, options, console, outputs, analysis);
}

int run(int argc, char** argv) {
    installStopHandlers();
    // A reader that goes away (`lumaqc ... | head`) makes the console write
    // fail with a message, instead of ending the process in the middle of a
    // row before the log has it.
    signal(SIGPIPE, SIG_IGN);
    // Past a file size limit (ulimit -f) a write fails with EFBIG and is
    // reported like a full disk, instead of the signal ending the process.
    signal(SIGXFSZ, SIG_IGN);
    std::set_new_handler(onOutOfMemory);
    // The decoding libraries print nothing; the program reports in its own
    // words (libsrt's errors as lines of its own).
    installDecoderLogHandler(sayTransportError);
    // LUMAQC_SIMD restricts the kernels to one vector instruction set; every
    // set gives the same output.
    std::string simdError;
    if (!applySimdEnvironment(simdError)) {
        std::fprintf(stderr, "lumaqc: %s", simdError.c_str());
        return -1;
    }
    // lumaqc check FILE...: the QC entry point.
    if (argc >= 2 && std::strcmp(argv[1], "check") == 0) {
        const ParsedCheck check = parseCheckCommand(argc - 1, argv + 1);
        if (!check.run) {
            std::fputs(check.text.c_str(), check.status == 0 ? stdout : stderr);
            return check.status;
        }
        return runCheckCommand(check.command, &stopSignal);
    }
    // lumaqc monitor CHANNELS.toml: many live channels in one process.
    if (argc >= 2 && std::strcmp(argv[1], "monitor") == 0) {
        installHangupHandler();
        return runMonitorCommand(argc - 1, argv + 1, &stopSignal, &hangups);
    }
    const ParsedCommand parsed = parseCommandLine(argc, argv);
    switch (parsed.action) {
        case CommandAction::Run:
            break;
        case CommandAction::Usage:
        case CommandAction::Message:
            std::fputs(parsed.text.c_str(), stdout);
            return parsed.status;
        case CommandAction::Error:
            std::fputs(parsed.text.c_str(), stderr);
            return -1;
    }
    return analyse(parsed.settings, argc, argv);
}

}  // namespace
