// lumaqc: no-reference quality indicators for raw YUV 4:2:0, Y4M and decoded video.
//
//   lumaqc nameOfTheMovie.yuv WIDTH HEIGHT [FPS] [NumberOfFrames] [startFrame] [options]
//   lumaqc clip.y4m|movie.mkv|- [options]
//
// Reads the luma plane of each selected frame, computes the fifteen
// indicators, prints one row per frame on the console and in the log
// "metricsResultsCSV.csv", and ends with the time each indicator took.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/command_line.h"
#include "io/frame_source.h"
#include "pipeline/run.h"
#include "report/text_sinks.h"

int main(int argc, char** argv) {
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
    run.fps = options.fpsGiven || !input.fpsKnown ? options.fps : input.fps;
    run.start = options.start;
    run.frames = options.framesGiven ? options.frames : source->info().frames;
    run.untilEnd = !options.framesGiven && source->info().frames < 0;
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
