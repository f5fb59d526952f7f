#include "cli/command_line.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <optional>
#include <sstream>
#include <vector>

#include "io/frame_source.h"
#include "io/pixel_format.h"
#include "report/text_report.h"

namespace lumaqc {

namespace {

constexpr int DEFAULT_FPS = 25;
constexpr long kMaxThreads = 1024;

const char* const kDescription =
    "Rates the visual quality of a video without a reference: fifteen indicators per\n"
    "frame from the luma plane, printed as a table and written to the tab-separated\n"
    "log \"metricsResultsCSV.csv\" in the working directory.\n\n"
    "  lumaqc nameOfTheMovie.yuv WIDTH HEIGHT [FPS] [NumberOfFrames] [startFrame]\n"
    "  lumaqc clip.y4m [options]        lumaqc movie.mkv [options]\n"
    "  ffmpeg -i movie.mp4 -f yuv4mpegpipe - | lumaqc - [options]\n\n"
    "Inputs: raw planar YUV 4:2:0, 8 bits, no header (WIDTH and HEIGHT required;\n"
    "--pix-fmt for other layouts and bit depths); Y4M, recognised by its signature, in\n"
    "any of its colour spaces (size and frame rate from its header; WIDTH and HEIGHT,\n"
    "if given, must match); without WIDTH and HEIGHT any other video file is decoded\n"
    "when decoder support is built in (see --version): MP4, MKV, MOV, TS, AVI... A\n"
    "path of - reads standard input. The frame rate is FPS or --fps when given, else\n"
    "the input's, else 25.\n\n"
    "Outputs: - as the path of --log, --json, --csv, --report or --events writes that\n"
    "document to standard output; the console table then goes to the error stream\n"
    "(nowhere with --quiet).\n\n"
    "Timing summary: with --threads 1, process CPU time of the frame loop and of each\n"
    "indicator's calls. With more threads, the overall figure is wall-clock time and each\n"
    "indicator's average is the CPU time of its own calls.";

struct Options {
    std::vector<std::string> positionals;
    std::optional<double> fps;
    std::optional<int64_t> frames;
    std::optional<int64_t> start;
    std::string pixelFormat;
    int threads = 0;  // 0: every hardware thread
    std::string logPath = LOG_FILE_NAME;
    bool noLog = false;
    bool quiet = false;
    std::string jsonPath;
    std::string csvPath;
    std::string reportPath;
    std::string profile;
    bool printProfile = false;
    std::string failOn = "error";
    std::string eventsPath;
    LiveOptionText live;
};

// Lenient conversions of the positional arguments: leading blanks and a sign
// allowed, conversion stops at the first non-digit, text without digits is 0.
long parseInteger(const std::string& text) {
    return std::strtol(text.c_str(), nullptr, 10);
}
double parseReal(const std::string& text) {
    return std::strtod(text.c_str(), nullptr);
}

std::string usageLines(const char* program) {
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

// --threads: a whole number from 0 to kMaxThreads, said in a few words.
std::string checkThreadCount(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || end == text.c_str() || *end != '\0') return text + " is not a number";
    if (errno == ERANGE || n < 0 || n > kMaxThreads) {
        return text + " is out of range, must be 0 to " + std::to_string(kMaxThreads);
    }
    return "";
}

}  // namespace

ParsedCommand parseCommandLine(int argc, const char* const* argv) {
    Options options;
    CLI::App app{kDescription, "lumaqc"};
    app.add_option("arguments", options.positionals,
                   "nameOfTheMovie.yuv WIDTH HEIGHT [FPS] [NumberOfFrames] [startFrame], or only "
                   "the path of a Y4M or video file; - is standard input")
        ->expected(-1);
    app.add_option("--fps", options.fps,
                   "Frame rate (default: the input's, else 25); sets how long a freeze lasts");
    app.add_option("--frames", options.frames,
                   "Frames to analyse (default: every whole frame of the input, up to the end of "
                   "a stream)");
    app.add_option("--start", options.start, "First frame, counted from 0 (default 0)");
    app.add_option("--pix-fmt", options.pixelFormat,
                   "Sample layout of raw input, FFmpeg's name (default yuv420p): yuv422p, "
                   "yuv444p, gray, nv12, yuv420p10le, gray16le, p010le...; samples of more than "
                   "8 bits are reduced to 8 as ffmpeg reduces them");
    app.add_option("--threads", options.threads,
                   "Worker threads (default 0: every hardware thread); output is identical for "
                   "any number")
        ->check(CLI::Validator(checkThreadCount, "0 to " + std::to_string(kMaxThreads)));
    app.add_option("--log", options.logPath,
                   "Write the log here instead of metricsResultsCSV.csv (- : standard output)");
    app.add_flag("--no-log", options.noLog, "Write no log file");
    app.add_flag("--quiet", options.quiet, "Leave the per-frame rows out of the console output");
    app.add_option("--json", options.jsonPath,
                   "Also write the values and a summary as one JSON document to this file (- : "
                   "standard output)");
    app.add_option("--csv", options.csvPath,
                   "Also write the values as CSV (RFC 4180) to this file (- : standard output)");
    app.add_option("--report", options.reportPath,
                   "Also write a self-contained HTML report with charts to this file (- : "
                   "standard output)");
    CLI::Option* profile =
        app.add_option("--profile", options.profile,
                       "Judge the video by a QC profile: \"default\" (built in) or a TOML file; "
                       "prints the verdict and the events, exit status 1 when it fails");
    app.add_flag("--print-profile", options.printProfile,
                 "Print the profile (default: the built-in one) as TOML and stop");
    app.add_option("--fail-on", options.failOn,
                   "Severity that fails the file: error (default) or warning")
        ->check(CLI::IsMember({"error", "warning"}))
        ->needs(profile);
    app.add_option("--events", options.eventsPath,
                   "Write the events as JSON Lines to this file (- for standard output) as they "
                   "open and close")
        ->needs(profile);
    addLiveOptions(app, options.live);
    const std::string libraries = decoderLibraries();
    app.set_version_flag(
        "--version",
        std::string("lumaqc ") + LUMAQC_VERSION + "\ndecoder support: " +
            (libraries.empty() ? "no (raw and Y4M input only)" : "yes (" + libraries + ")"));
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

    if (options.printProfile) {
        ParsedCommand parsed;
        parsed.line.printProfile = true;
        parsed.line.profile = options.profile.empty() ? "default" : options.profile;
        return parsed;
    }

    // The path alone leaves the size to the input's header; the input decides
    // (a raw file gets the usage text then).
    const std::vector<std::string>& args = options.positionals;
    if (args.empty() || args.size() == 2) {
        return message(CommandAction::Usage, usageLines(argc > 0 ? argv[0] : ""));
    }

    // The optional positionals, then their named equivalents.
    ParsedCommand parsed;
    CommandLine& line = parsed.line;
    std::string liveError;
    if (!finishLiveOptions(options.live, line.live, liveError)) return failure(liveError);
    line.fps = args.size() >= 4 ? parseReal(args[3]) : DEFAULT_FPS;
    line.fpsGiven = args.size() >= 4 || options.fps.has_value();
    line.framesGiven = args.size() >= 5 || options.frames.has_value();
    line.frames = args.size() >= 5 ? parseInteger(args[4]) : 0;
    line.start = args.size() >= 6 ? parseInteger(args[5]) : 0;
    if (options.fps) line.fps = *options.fps;
    if (options.frames) line.frames = *options.frames;
    if (options.start) line.start = *options.start;

    const bool sized = args.size() >= 3;
    const long w = sized ? parseInteger(args[1]) : 0;
    const long h = sized ? parseInteger(args[2]) : 0;
    constexpr long kMaxSide = std::numeric_limits<int32_t>::max();
    if (sized && (w <= 0 || h <= 0)) {
        return failure("Invalid picture size " + std::to_string(w) + " x " + std::to_string(h) +
                       ": width and height must be positive");
    }
    if (sized && (w > kMaxSide || h > kMaxSide)) {
        return failure("Invalid picture size " + args[1] + " x " + args[2] +
                       ": width and height must be at most " + std::to_string(kMaxSide) +
                       " (out of range)");
    }
    // Pictures are indexed with 32-bit sample positions.
    if (static_cast<int64_t>(w) * h > std::numeric_limits<int32_t>::max()) {
        return failure("Picture size " + std::to_string(w) + " x " + std::to_string(h) +
                       " is too large");
    }
    if (!options.pixelFormat.empty() && findPixelFormat(options.pixelFormat) == nullptr) {
        return failure("lumaqc: unknown pixel format " + options.pixelFormat +
                       " for --pix-fmt; accepted: " + pixelFormatNames());
    }
    if (line.start < 0) {
        return failure("Invalid start frame " + std::to_string(line.start) +
                       ": it must be 0 or more");
    }

    line.video = args[0];
    line.width = static_cast<int32_t>(w);
    line.height = static_cast<int32_t>(h);
    line.pixelFormat = options.pixelFormat;
    line.threads = options.threads;
    line.logPath = options.logPath;
    line.noLog = options.noLog;
    line.quiet = options.quiet;
    line.jsonPath = options.jsonPath;
    line.csvPath = options.csvPath;
    line.reportPath = options.reportPath;
    line.profile = options.profile;
    line.failOnWarning = options.failOn == "warning";
    line.eventsPath = options.eventsPath;
    return parsed;
}

std::string usageText(const char* program) {
    return usageLines(program);
}

}  // namespace lumaqc
