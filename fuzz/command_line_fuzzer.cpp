// The command-line parser on any argument vector: the input, split at zero
// bytes, gives up to 16 arguments after the program name. Whatever it is
// given, the parser must return a run whose settings the driver can use, or
// a printable message; never crash or throw.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "fuzz/fuzz_input.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words{"lumaqc", ""};
    for (size_t i = 0; i < size && words.size() < 18; ++i) {
        if (data[i] == 0)
            words.emplace_back();
        else
            words.back().push_back(static_cast<char>(data[i]));
    }
    if (words.back().empty() || words.size() > 17) words.pop_back();
    std::vector<const char*> argv;
    for (const std::string& w : words) argv.push_back(w.c_str());
    argv.push_back(nullptr);
    const ParsedCommand parsed = parseCommandLine(static_cast<int>(words.size()), argv.data());
    const Settings& line = parsed.settings;
    if (parsed.action == CommandAction::Run) {
        require(line.width >= 0 && line.height >= 0 && (line.width == 0) == (line.height == 0),
                "a bad picture size");
        require(int64_t{line.width} * line.height <= std::numeric_limits<int32_t>::max(),
                "picture size beyond 32-bit sample indices");
        require(line.start >= 0 && line.threads >= 0 && parsed.text.empty(),
                "a bad start, thread count or message");
    } else {
        require(!parsed.text.empty(), "an empty message");
        require(parsed.action != CommandAction::Error || parsed.text.back() == '\n',
                "an error without its line feed");
    }
    return 0;
}
