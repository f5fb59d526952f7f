// The outputs the settings ask for, checked before anything is created:
// at most one document on standard output, no two outputs on one file, no
// output on the input file.
#pragma once

#include <string>

#include "settings/settings.h"

namespace lumaqc {

// True when a document (log, JSON, CSV, report, events) goes to standard
// output, so that the console table must go elsewhere.
bool documentOnStandardOutput(const Settings& line);

// Empty when the outputs of `line` can be written; otherwise the one-line
// message (line feed included) that refuses the run. Files are compared by
// device and inode when they exist, else by their normalised paths;
// character devices (/dev/null) may take several outputs.
// With --log-rotate, or by default in a live run (`live`), the rotated
// names LOG.1 .. LOG.N count as outputs too.
std::string checkOutputPaths(const Settings& line, bool live = false);

}  // namespace lumaqc
