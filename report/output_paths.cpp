#include "report/output_paths.h"

#include <sys/stat.h>

#include <filesystem>
#include <vector>

namespace lumaqc {

namespace {

struct Output {
    std::string what;  // how the message names it
    std::string path;
};

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

// What identifies the file at `path`: its device and inode when it exists,
// else its normalised absolute path. `shared` is set for character devices.
struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string path;
    bool shared = false;

    bool operator==(const Identity& other) const {
        if (exists != other.exists) return false;
        return exists ? device == other.device && inode == other.inode : path == other.path;
    }
};

Identity identify(const std::string& path) {
    Identity id;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        id.exists = true;
        id.device = st.st_dev;
        id.inode = st.st_ino;
        id.shared = S_ISCHR(st.st_mode);
        return id;
    }
    // Symbolic links in the directories resolved, "." and ".." removed.
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    std::filesystem::path normal = std::filesystem::weakly_canonical(absolute, error);
    if (error) normal = absolute.lexically_normal();
    id.path = normal.empty() ? path : normal.string();
    return id;
}

}  // namespace

bool documentOnStandardOutput(const Settings& line) {
    for (const Output& output : outputsOf(line)) {
        if (output.path == "-") return true;
    }
    return false;
}

std::string checkOutputPaths(const Settings& line) {
    const std::vector<Output> outputs = outputsOf(line);
    std::vector<Identity> ids;
    for (const Output& output : outputs) ids.push_back(identify(output.path));
    const bool inputIsFile = line.input != "-";
    const Identity input = inputIsFile ? identify(line.input) : Identity{};
    for (size_t i = 0; i < outputs.size(); ++i) {
        const std::string& path = outputs[i].path;
        if (path == "-") {
            for (size_t j = 0; j < i; ++j) {
                if (outputs[j].path == "-") {
                    return "lumaqc: " + outputs[j].what + " and " + outputs[i].what +
                           " cannot both go to standard output (-)\n";
                }
            }
            continue;
        }
        if (inputIsFile && !input.shared && ids[i] == input) {
            return "lumaqc: " + outputs[i].what + " would overwrite the input " + line.input + "\n";
        }
        for (size_t j = 0; j < i; ++j) {
            if (outputs[j].path != "-" && !ids[i].shared && ids[i] == ids[j]) {
                return "lumaqc: " + outputs[j].what + " and " + outputs[i].what +
                       " would both be written to " + path + "\n";
            }
        }
    }
    return "";
}

}  // namespace lumaqc
