// lumaqc: no-reference quality indicators for raw YUV 4:2:0 video.
//
//   lumaqc nameOfTheMovie.yuv WIDTH HEIGHT [FPS] [NumberOfFrames] [startFrame] [options]
//
// Reads the luma plane of each selected frame, computes the fifteen
// indicators, prints one row per frame on the console and in the log
// "metricsResultsCSV.csv", and ends with the time each indicator took.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "api/lumaqc.h"
#include "io/frame_source.h"
#include "pipeline/run.h"
#include "report/text_report.h"
#include "report/text_sinks.h"

namespace {

constexpr int DEFAULT_FPS = 25;

const char* const kDescription =
    "Rates the visual quality of a raw YUV 4:2:0 8-bit video without a reference: fifteen\n"
    "indicators per frame from the luma plane, printed as a table and written to the\n"
    "tab-separated log \"metricsResultsCSV.csv\" in the working directory.\n\n"
    "Timing summary: with --threads 1, process CPU time of the frame loop and of each\n"
    "indicator's calls. With more threads, the overall figure is wall-clock time and each\n"
    "indicator's average is the CPU time of its own calls.";

struct Options {
    std::vector<std::string> positionals;
    std::optional<double> fps;
    std::optional<int64_t> frames;
    std::optional<int64_t> start;
    int threads = 0;  // 0: every hardware thread
    std::string logPath = LOG_FILE_NAME;
    bool noLog = false;
    bool quiet = false;
};

// Lenient conversions of the positional arguments: leading blanks and a sign
// allowed, conversion stops at the first non-digit, text without digits is 0.
long parseInteger(const std::string& text) {
    return std::strtol(text.c_str(), nullptr, 10);
}
double parseReal(const std::string& text) {
    return std::strtod(text.c_str(), nullptr);
}

void printUsage(const char* program) {
    std::puts("Not enough parameters\n");
    std::printf(
        "Usage : %s nameOfTheMovie.yuv WIDTH HEIGHT [FPS] [NumberOfFrames] [startFrame]\n, where "
        "[***] is optional parameter.\n\n",
        program);
}

int fail(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{kDescription, "lumaqc"};
    app.add_option("arguments", options.positionals,
                   "nameOfTheMovie.yuv WIDTH HEIGHT [FPS] [NumberOfFrames] [startFrame]")
        ->expected(-1);
    app.add_option("--fps", options.fps, "Frame rate (default 25); sets how long a freeze lasts");
    app.add_option("--frames", options.frames,
                   "Frames to analyse (default: every whole frame of the input)");
    app.add_option("--start", options.start, "First frame, counted from 0 (default 0)");
    app.add_option("--threads", options.threads,
                   "Worker threads (default 0: every hardware thread); output is identical for "
                   "any number")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--log", options.logPath, "Write the log here instead of metricsResultsCSV.csv");
    app.add_flag("--no-log", options.noLog, "Write no log file");
    app.add_flag("--quiet", options.quiet, "Leave the per-frame rows out of the console output");
    app.set_version_flag("--version", std::string("lumaqc ") + lumaqc::version());
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return fail(std::string("lumaqc: ") + e.what() + " (see --help)");
    }

    const std::vector<std::string>& args = options.positionals;
    if (args.size() < 3) {
        printUsage(argv[0]);
        return -1;
    }

    // The optional positionals, then their named equivalents.
    double fps = args.size() >= 4 ? parseReal(args[3]) : DEFAULT_FPS;
    const bool framesGiven = args.size() >= 5 || options.frames.has_value();
    int64_t frames = args.size() >= 5 ? parseInteger(args[4]) : 0;
    int64_t start = args.size() >= 6 ? parseInteger(args[5]) : 0;
    if (options.fps) fps = *options.fps;
    if (options.frames) frames = *options.frames;
    if (options.start) start = *options.start;

    const long w = parseInteger(args[1]);
    const long h = parseInteger(args[2]);
    constexpr long kMaxSide = std::numeric_limits<int32_t>::max();
    if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide) {
        return fail("Invalid picture size " + std::to_string(w) + " x " + std::to_string(h) +
                    ": width and height must be positive");
    }
    // Pictures are indexed with 32-bit sample positions.
    if (static_cast<int64_t>(w) * h > std::numeric_limits<int32_t>::max()) {
        return fail("Picture size " + std::to_string(w) + " x " + std::to_string(h) +
                    " is too large");
    }
    if (start < 0) {
        return fail("Invalid start frame " + std::to_string(start) + ": it must be 0 or more");
    }

    SourceRequest request;
    request.path = args[0];
    request.width = static_cast<int32_t>(w);
    request.height = static_cast<int32_t>(h);
    std::string error;
    std::unique_ptr<FrameSource> source = openFrameSource(request, error);
    if (!source) {
        std::fputs(error.c_str(), stderr);
        return -1;
    }

    RunOptions run;
    run.fps = fps;
    run.start = start;
    run.frames = framesGiven ? frames : source->info().frames;
    run.untilEnd = !framesGiven && source->info().frames < 0;
    run.threads = options.threads > 0
                      ? options.threads
                      : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));

    // The log is created only once the run can start, so a failed start never
    // truncates the log of an earlier run.
    ConsoleSink console(!options.quiet);
    std::unique_ptr<LogSink> log;
    if (!options.noLog) log = std::make_unique<LogSink>(options.logPath);
    std::vector<ResultSink*> sinks{&console};
    if (log) sinks.push_back(log.get());

    const RunOutcome outcome = runAnalysis(*source, run, sinks);
    if (outcome.status != 0) {
        std::fputs(outcome.message.c_str(), outcome.messageOnStdout ? stdout : stderr);
        std::fflush(stdout);
        return -1;
    }
    source.reset();
    std::puts("\nFile stream closed\n");
    return 0;
}
