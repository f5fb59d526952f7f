// lumaqc: no-reference quality indicators for raw YUV 4:2:0, Y4M and decoded video.
//
//   lumaqc nameOfTheMovie.yuv WIDTH HEIGHT [FPS] [NumberOfFrames] [startFrame] [options]
//   lumaqc clip.y4m|movie.mkv|- [options]
//
// Reads the luma plane of each selected frame, computes the fifteen
// indicators, prints one row per frame on the console and in the log
// "metricsResultsCSV.csv", and ends with the time each indicator took.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "cli/command_line.h"
#include "engine/run.h"
#include "io/frame_source.h"
#include "report/html_sink.h"
#include "report/json_sink.h"
#include "report/progress.h"
#include "report/text_sinks.h"
#include "tools/simd.h"

using namespace lumaqc;

namespace {

// Set by SIGINT and SIGTERM. The run then reads no further frame, finishes the
// frames in flight, prints the summary of the frames done and ends with
// status 128 + the signal number.
std::atomic<int> stopSignal{0};

void onStopSignal(int signo) {
    stopSignal.store(signo);
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
char outOfMemoryMessage[160] = "lumaqc: out of memory\n";

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

}  // namespace

int main(int argc, char** argv) {
    // The library reports pictures it cannot allocate with std::bad_alloc.
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        printOutOfMemory();
        return -1;
    }
}

namespace {

int run(int argc, char** argv) {
    installStopHandlers();
    // A reader that goes away (`lumaqc ... | head`) makes the console write
    // fail with a message, instead of ending the process in the middle of a
    // row before the log has it.
    signal(SIGPIPE, SIG_IGN);
    std::set_new_handler(onOutOfMemory);
    // LUMAQC_SIMD restricts the kernels to one vector instruction set; every
    // set gives the same output.
    std::string simdError;
    if (!applySimdEnvironment(simdError)) {
        std::fprintf(stderr, "lumaqc: %s", simdError.c_str());
        return -1;
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
    const CommandLine& options = parsed.line;

    SourceRequest request;
    request.path = options.video;
    request.width = options.width;
    request.height = options.height;
    if (options.width > 0 && options.height > 0) describeOutOfMemory(options.width, options.height);
    std::string error;
    OpenStatus opened = OpenStatus::Ok;
    std::unique_ptr<FrameSource> source = openFrameSource(request, error, &opened);
    if (!source && opened == OpenStatus::NeedsSize) {
        // A path alone that names raw video: as for too few arguments.
        std::fputs(usageText(argc > 0 ? argv[0] : "").c_str(), stdout);
        return -1;
    }
    if (!source) {
        std::fputs(error.c_str(), stderr);
        return -1;
    }

    RunOptions run;
    const SourceInfo& input = source->info();
    describeOutOfMemory(input.width, input.height);
    run.fps = options.fpsGiven || !input.fpsKnown ? options.fps : input.fps;
    run.start = options.start;
    run.frames = options.framesGiven ? options.frames : source->info().frames;
    run.untilEnd = !options.framesGiven && source->info().frames < 0;
    run.stop = &stopSignal;
    run.threads = options.threads > 0
                      ? options.threads
                      : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));

    // The JSON document and the HTML report are created first: a path that
    // cannot be written stops the start before the log is touched.
    std::vector<std::unique_ptr<ResultSink>> documents;
    if (!options.jsonPath.empty()) {
        auto json = std::make_unique<JsonSink>(options.jsonPath);
        if (!json->ok()) {
            std::fprintf(stderr, "%s\n", json->error().c_str());
            return -1;
        }
        documents.push_back(std::move(json));
    }
    if (!options.reportPath.empty()) {
        auto html = std::make_unique<HtmlSink>(options.reportPath);
        if (!html->ok()) {
            std::fprintf(stderr, "%s\n", html->error().c_str());
            return -1;
        }
        documents.push_back(std::move(html));
    }

    // The log is created only once the run can start, so a failed start never
    // truncates the log of an earlier run.
    ConsoleSink console(!options.quiet);
    std::unique_ptr<LogSink> log;
    if (!options.noLog) log = std::make_unique<LogSink>(options.logPath);
    // The progress bar shows only on a terminal; when the rows go to the same
    // terminal, it is wiped before each row.
    ProgressBar progress;
    const bool showProgress = ProgressBar::wanted();
    // The documents come first, so that whatever stops the run they have
    // begun and get every frame the other outputs got.
    std::vector<ResultSink*> sinks;
    for (const std::unique_ptr<ResultSink>& document : documents) sinks.push_back(document.get());
    if (showProgress && !options.quiet && isatty(STDOUT_FILENO) == 1) {
        sinks.push_back(&progress.eraser());
    }
    sinks.push_back(&console);
    if (log) sinks.push_back(log.get());
    if (showProgress) sinks.push_back(&progress);

    const RunOutcome outcome = runAnalysis(*source, run, sinks);
    if (outcome.status != 0) {
        progress.clear();
        std::fputs(outcome.message.c_str(), outcome.messageOnStdout ? stdout : stderr);
        std::fflush(stdout);
        // The JSON document and the report keep the frames done, marked incomplete.
        RunSummary partial;
        partial.complete = false;
        partial.framesDone = outcome.framesDone;
        partial.frames = outcome.framesDone;
        for (const std::unique_ptr<ResultSink>& document : documents) {
            // A document that already failed is not reported a second time.
            if (!document->end(partial) && document->error() + "\n" != outcome.message) {
                std::fprintf(stderr, "%s\n", document->error().c_str());
            }
        }
        return -1;
    }
    if (outcome.stopped) {
        const int signo = stopSignal.load();
        std::fprintf(stderr, "lumaqc: stopped by %s after %lld frames\n",
                     signo == SIGINT ? "SIGINT" : "SIGTERM",
                     static_cast<long long>(outcome.framesDone));
        return 128 + signo;
    }
    source.reset();
    std::puts("\nFile stream closed\n");
    return 0;
}

}  // namespace
