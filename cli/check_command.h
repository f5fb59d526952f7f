// `lumaqc check FILE...`: the QC entry point. Each file is judged by a
// profile (the built-in "default" unless --profile) and gets one verdict line
// and its events, errors first; no per-frame rows (--rows) and no log
// (--log) unless asked. Exit status: 0 when every file passes, 1 when any
// fails, 255 when any could not be analysed.
#pragma once

#include <atomic>
#include <string>
#include <vector>

namespace lumaqc {

struct CheckCommand {
    std::vector<std::string> files;
    std::string profile = "default";
    std::string reportDir;  // one HTML report per file, named after it
    std::string jsonDir;    // one JSON document per file, named after it
    bool failOnWarning = false;
    int threads = 0;
    bool rows = false;       // the per-frame console table too
    std::string logPath;     // the tab-separated log (one file only)
    std::string ignoreHead;  // replace the profile's ignore_head / ignore_tail
    std::string ignoreTail;
};

struct ParsedCheck {
    bool run = false;  // false: print `text` (on stdout with status 0, else stderr)
    int status = 0;
    std::string text;
    CheckCommand command;
};

// Parses the arguments after "check" (argv[0] is "check"); prints nothing.
ParsedCheck parseCheckCommand(int argc, const char* const* argv);

// Runs the command; returns the exit status. `stop` ends it between frames.
int runCheckCommand(const CheckCommand& command, const std::atomic<int>* stop);

}  // namespace lumaqc
