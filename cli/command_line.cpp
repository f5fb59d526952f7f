#include "cli/command_line.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <vector>

#include "io/frame_source.h"
#include "io/pixel_format.h"
#include "settings/bind_options.h"

namespace lumaqc {

namespace {

const char* const kDescription =
    "Rates the visual quality of a video without a reference: fifteen indicators per\n"
    "frame from the luma plane, printed as a table and written to the tab-separated\n"
    "log \"metricsResultsCSV.csv\" in the working directory.\n\n"
    "  lumaqc nameOfTheMovie.yuv WIDTH HEIGHT [FPS] [NumberOfFrames] [startFrame]\n"
    "  lumaqc clip.y4m [options]        lumaqc movie.mkv [options]\n"
    "  ffmpeg -i movie.mp4 -f yuv4mpegpipe - | lumaqc - [options]\n"
    "  lumaqc check FILE... [--profile P]   QC verdicts of files (lumaqc check --help)\n"
    "  lumaqc monitor CHANNELS.toml         many live channels (lumaqc monitor --help)\n\n"
    "Inputs: raw planar YUV 4:2:0, 8 bits, no header (WIDTH and HEIGHT required;\n"
    "--pix-fmt for other layouts and bit depths); Y4M, recognised by its signature, in\n"
    "any of its colour spaces (size and frame rate from its header; WIDTH and HEIGHT,\n"
    "if given, must match); without WIDTH and HEIGHT any other video file is decoded\n"
    "when decoder support is built in (see --version): MP4, MKV, MOV, TS, AVI..., and\n"
    "a numbered sequence of pictures by its pattern ('scan_%06d.dpx'). A path of -\n"
    "reads standard input. The frame rate is FPS or --fps when given, else the\n"
    "input's, else 25.\n\n"
    "Outputs: - as the path of --log, --json, --csv, --report or --events writes that\n"
    "document to standard output; the console table then goes to the error stream\n"
    "(nowhere with --quiet).\n\n"
    "Timing summary: the overall figure is process CPU time with --threads 1, wall-clock\n"
    "time with more threads; each indicator's average is the CPU time of its own calls.";

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

}  // namespace

ParsedCommand parseCommandLine(int argc, const char* const* argv) {
    ParsedCommand parsed;
    Settings& settings = parsed.settings;
    std::vector<std::string> args;
    CLI::App app{kDescription, "lumaqc"};
    app.add_option("arguments", args,
                   "nameOfTheMovie.yuv WIDTH HEIGHT [FPS] [NumberOfFrames] [startFrame], or only "
                   "the path of a Y4M or video file; - is standard input")
        ->expected(-1);
    bindSettings(app, settings);
    // The decoding libraries are loaded for this line only when it is asked for.
    app.set_version_flag("--version", [] {
        const std::string libraries = decoderLibraries();
        const std::string missing = decoderMissing();
        return std::string("lumaqc ") + LUMAQC_VERSION + "\ndecoder support: " +
               (!libraries.empty() ? "yes (" + libraries + ")"
                : missing.empty()  ? "no (raw and Y4M input only)"
                                   : "no (" + missing + "; raw and Y4M input only)");
    });
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

    if (settings.printProfile) {
        if (settings.profile.empty()) settings.profile = "default";
        return parsed;
    }

    // The path alone leaves the size to the input's header; the input decides
    // (a raw file gets the usage text then).
    if (args.empty() || args.size() == 2) {
        return message(CommandAction::Usage, usageLines(argc > 0 ? argv[0] : ""));
    }

    // The optional positionals, unless their named equivalents were given.
    settings.input = args[0];
    if (args.size() >= 3) {
        settings.width = parseInteger(args[1]);
        settings.height = parseInteger(args[2]);
        settings.sizeText = args[1] + " x " + args[2];
    }
    if (args.size() >= 4 && !settings.fps) settings.fps = parseReal(args[3]);
    if (args.size() >= 5 && !settings.frames) settings.frames = parseInteger(args[4]);
    if (args.size() >= 6 && app.count("--start") == 0) settings.start = parseInteger(args[5]);
    settings.threadsGiven = app.count("--threads") > 0;

    const std::string error = validate(settings);
    if (!error.empty()) return message(CommandAction::Error, error);
    return parsed;
}

std::string usageText(const char* program) {
    return usageLines(program);
}

}  // namespace lumaqc
