#include "report/output_paths.h"

#include <sys/stat.h>

#include <vector>

#include "io/display_name.h"
#include "report/output_file.h"

namespace lumaqc {

namespace {

using Output = NamedOutput;

std::vector<Output> outputsOf(const Settings& line) {
    std::vector<Output> outputs;
    if (!line.noLog) outputs.push_back({"the log (--log)", line.logPath});
    if (!line.jsonPath.empty()) outputs.push_back({"the JSON document (--json)", line.jsonPath});
    if (!line.csvPath.empty()) outputs.push_back({"the CSV document (--csv)", line.csvPath});
    if (!line.reportPath.empty()) {
        outputs.push_back({"the HTML report (--report)", line.reportPath});
    }
    if (!line.eventsPath.empty()) outputs.push_back({"the events (--events)", line.eventsPath});
    return outputs;
}

// --log-rotate renames and deletes files: only a log that is a regular file
// (or not there yet) is rotated, and the names it rotates to must not be
// anything but regular files of earlier rotations. Empty when that holds.
std::string checkRotation(const Settings& line, bool live, std::vector<Output>& outputs) {
    // Asked for, or a live run's default (which leaves a log that is not a
    // regular file alone).
    const bool asked = line.live.logRotateBytes > 0;
    if (line.noLog || (!asked && !(live && line.live.logRotateBytes < 0))) return "";
    struct stat st {};
    const bool irregular = isStandardOutput(line.logPath) ||
                           (stat(line.logPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode));
    if (!asked && irregular) return "";
    if (isStandardOutput(line.logPath)) {
        return "lumaqc: --log-rotate needs a log file; the log goes to standard output (--log -)\n";
    }
    if (irregular) {
        return "lumaqc: --log-rotate rotates a regular file only; the log " + line.logPath +
               " is not one\n";
    }
    const std::string base = linkedFile(line.logPath);
    for (int n = 1; n <= line.live.logKeep; ++n) {
        const std::string rotated = base + "." + std::to_string(n);
        if (lstat(rotated.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            return "lumaqc: log rotation would replace " + rotated +
                   ", which is not a regular file\n";
        }
        outputs.push_back({"the rotated log " + rotated, rotated});
    }
    // Through a link, the files of rotations beside the link (made when the
    // log was a file there) are left as they are, and kept from the outputs.
    for (long n = 1; n <= kMaxLogKeep && base != line.logPath; ++n) {
        const std::string earlier = line.logPath + "." + std::to_string(n);
        if (lstat(earlier.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        outputs.push_back({printableName(earlier) + ", a rotated log beside the link " +
                               printableName(line.logPath),
                           earlier, true});
    }
    return "";
}

}  // namespace

bool documentOnStandardOutput(const Settings& line) {
    for (const Output& output : outputsOf(line)) {
        if (output.path == "-") return true;
    }
    return false;
}

std::string checkOutputPaths(const Settings& line, bool live) {
    std::vector<Output> outputs = outputsOf(line);
    const std::string rotation = checkRotation(line, live, outputs);
    if (!rotation.empty()) return rotation;
    return checkOutputs("lumaqc", line.input, outputs);
}

}  // namespace lumaqc
