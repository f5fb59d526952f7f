// The command line of lumaqc: the positional arguments and the named options,
// parsed into the run's settings (settings/settings.h) and checked without
// printing anything, so that the driver decides what goes where and the
// parser can be exercised on any argument vector.
#pragma once

#include <string>

#include "settings/settings.h"

namespace lumaqc {

enum class CommandAction {
    Run,      // `settings` holds the run's settings, validated
    Usage,    // too few arguments: print `text` on standard output, status -1
    Message,  // --help or --version: print `text` on standard output, status `status`
    Error,    // print `text` (one line, line feed included) on the error stream, status -1
};

struct ParsedCommand {
    CommandAction action = CommandAction::Run;
    std::string text;
    int status = 0;
    Settings settings;
};

// Parses argv[0 .. argc - 1]; argv[0] is the program path shown in the usage text.
ParsedCommand parseCommandLine(int argc, const char* const* argv);

// "Not enough parameters" and the usage, as printed for too few arguments; also
// printed when a path alone names raw video, whose size the input cannot give.
std::string usageText(const char* program);

}  // namespace lumaqc
