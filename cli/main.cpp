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

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "cli/command_line.h"
#include "cli/outputs.h"
#include "engine/run.h"
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

    AnalysisRequest request;
    request.path = options.video;
    request.width = options.width;
    request.height = options.height;
    if (options.fpsGiven) request.fps = options.fps;
    if (options.framesGiven) request.frames = options.frames;
    request.start = options.start;
    request.threads = options.threads;
    request.stop = &stopSignal;
    if (options.width > 0 && options.height > 0) describeOutOfMemory(options.width, options.height);
    std::string error;
    OpenStatus opened = OpenStatus::Ok;
    std::unique_ptr<Analysis> analysis = Analysis::open(request, error, &opened);
    if (!analysis && opened == OpenStatus::NeedsSize) {
        // A path alone that names raw video: as for too few arguments.
        std::fputs(usageText(argc > 0 ? argv[0] : "").c_str(), stdout);
        return -1;
    }
    if (!analysis) {
        std::fputs(error.c_str(), stderr);
        return -1;
    }
    describeOutOfMemory(analysis->input().width, analysis->input().height);

    Outputs outputs;
    if (!outputs.create(options, error)) {
        std::fputs(error.c_str(), stderr);
        return -1;
    }
    const RunOutcome outcome = analysis->run(outputs.sinks());
    if (outcome.status != 0) {
        outputs.progress().clear();
        std::fputs(outcome.message.c_str(), outcome.messageOnStdout ? stdout : stderr);
        std::fflush(stdout);
        for (const std::string& later : outcome.laterErrors) std::fputs(later.c_str(), stderr);
        return -1;
    }
    if (outcome.stopped) {
        const int signo = stopSignal.load();
        std::fprintf(stderr, "lumaqc: stopped by %s after %lld frames\n",
                     signo == SIGINT ? "SIGINT" : "SIGTERM",
                     static_cast<long long>(outcome.framesDone));
        return 128 + signo;
    }
    analysis.reset();
    std::puts("\nFile stream closed\n");
    return 0;
}

}  // namespace
