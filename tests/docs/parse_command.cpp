// Checks a command line of the documentation with the program's own parser,
// without running it: status 0 when lumaqc would start a run (or print its
// help or version), else the parser's message and status 1. Used by the
// documentation's examples that need a network stream or other things a test
// cannot provide.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/command_line.h"

int main(int argc, char** argv) {
    std::vector<const char*> args(argv, argv + argc);
    args[0] = "lumaqc";
    // lumaqc monitor CHANNELS: its file is checked where it is shown (toml channels).
    if (argc >= 2 && std::string(argv[1]) == "monitor") return argc >= 3 ? 0 : 1;
    const lumaqc::ParsedCommand parsed = lumaqc::parseCommandLine(argc, args.data());
    switch (parsed.action) {
        case lumaqc::CommandAction::Run:
        case lumaqc::CommandAction::Message:
            return 0;
        case lumaqc::CommandAction::Usage:
        case lumaqc::CommandAction::Error:
            std::fputs(parsed.text.c_str(), stdout);
            return 1;
    }
    return 1;
}
