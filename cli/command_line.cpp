#include "cli/command_line.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <limits>
#include <optional>
#include <sstream>
#include <vector>

#include "api/lumaqc.h"
#include "report/text_report.h"

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

std::string usageText(const char* program) {
    return std::string("Not enough parameters\n\nUsage : ") + program +
           " nameOfTheMovie.yuv WIDTH HEIGHT [FPS] [NumberOfFrames] [startFrame]\n, where "
           "[***] is optional parameter.\n\n";
}

ParsedCommand message(CommandAction action, const std::string& text, int status = -1) {
    ParsedCommand parsed;
    parsed.action = action;
    parsed.text = text;
    parsed.status = status;
    return parsed;
}

ParsedCommand failure(const std::string& text) {
    return message(CommandAction::Error, text + "\n");
}

}  // namespace

ParsedCommand parseCommandLine(int argc, const char* const* argv) {
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
        std::ostringstream out;
        const int status = app.exit(e, out);
        return message(CommandAction::Message, out.str(), status);
    } catch (const CLI::CallForVersion& e) {
        std::ostringstream out;
        const int status = app.exit(e, out);
        return message(CommandAction::Message, out.str(), status);
    } catch (const CLI::ParseError& e) {
        return failure(std::string("lumaqc: ") + e.what() + " (see --help)");
    }

    const std::vector<std::string>& args = options.positionals;
    if (args.size() < 3) return message(CommandAction::Usage, usageText(argc > 0 ? argv[0] : ""));

    // The optional positionals, then their named equivalents.
    ParsedCommand parsed;
    CommandLine& line = parsed.line;
    line.fps = args.size() >= 4 ? parseReal(args[3]) : DEFAULT_FPS;
    line.framesGiven = args.size() >= 5 || options.frames.has_value();
    line.frames = args.size() >= 5 ? parseInteger(args[4]) : 0;
    line.start = args.size() >= 6 ? parseInteger(args[5]) : 0;
    if (options.fps) line.fps = *options.fps;
    if (options.frames) line.frames = *options.frames;
    if (options.start) line.start = *options.start;

    const long w = parseInteger(args[1]);
    const long h = parseInteger(args[2]);
    constexpr long kMaxSide = std::numeric_limits<int32_t>::max();
    if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide) {
        return failure("Invalid picture size " + std::to_string(w) + " x " + std::to_string(h) +
                       ": width and height must be positive");
    }
    // Pictures are indexed with 32-bit sample positions.
    if (static_cast<int64_t>(w) * h > std::numeric_limits<int32_t>::max()) {
        return failure("Picture size " + std::to_string(w) + " x " + std::to_string(h) +
                       " is too large");
    }
    if (line.start < 0) {
        return failure("Invalid start frame " + std::to_string(line.start) +
                       ": it must be 0 or more");
    }

    line.video = args[0];
    line.width = static_cast<int32_t>(w);
    line.height = static_cast<int32_t>(h);
    line.threads = options.threads;
    line.logPath = options.logPath;
    line.noLog = options.noLog;
    line.quiet = options.quiet;
    return parsed;
}
