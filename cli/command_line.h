// The command line of lumaqc: the positional arguments and the named options,
// parsed and checked without printing anything, so that the driver decides
// what goes where and the parser can be exercised on any argument vector.
#pragma once

#include <cstdint>
#include <string>

#include "cli/live_options.h"

namespace lumaqc {

struct CommandLine {
    std::string video;
    int32_t width = 0;  // 0 x 0: from the input's header (Y4M, decoded video)
    int32_t height = 0;
    std::string pixelFormat;  // --pix-fmt: raw input's sample layout; empty for the default
    double fps = 25.0;
    bool fpsGiven = false;     // false: the input's frame rate when it has one, else `fps`
    bool framesGiven = false;  // false: every whole frame of the input
    int64_t frames = 0;
    int64_t start = 0;
    int threads = 0;      // 0: every hardware thread
    std::string logPath;  // "-" (as for every document): standard output
    bool noLog = false;
    bool quiet = false;
    std::string jsonPath;        // --json: the JSON document; empty for none
    std::string csvPath;         // --csv: the values as CSV; empty for none
    std::string reportPath;      // --report: the HTML report; empty for none
    std::string profile;         // --profile: "default" or a TOML file; empty for none
    bool printProfile = false;   // --print-profile: print the profile and stop (no input)
    bool failOnWarning = false;  // --fail-on warning
    std::string eventsPath;      // --events: JSON Lines of the events ("-": standard output)
    LiveOptions live;
};

enum class CommandAction {
    Run,      // `line` holds the run's settings
    Usage,    // too few arguments: print `text` on standard output, status -1
    Message,  // --help or --version: print `text` on standard output, status `status`
    Error,    // print `text` (one line, line feed included) on the error stream, status -1
};

struct ParsedCommand {
    CommandAction action = CommandAction::Run;
    std::string text;
    int status = 0;
    CommandLine line;
};

// Parses argv[0 .. argc - 1]; argv[0] is the program path shown in the usage text.
ParsedCommand parseCommandLine(int argc, const char* const* argv);

// "Not enough parameters" and the usage, as printed for too few arguments; also
// printed when a path alone names raw video, whose size the input cannot give.
std::string usageText(const char* program);

}  // namespace lumaqc
