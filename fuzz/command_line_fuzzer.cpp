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
    std::vector<std::string> words{"lumaqc"};
    std::string word;
    for (size_t i = 0; i < size && words.size() < 17; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    if (!word.empty() && words.size() < 17) words.push_back(word);
    std::vector<const char*> argv;
    for (const std::string& w : words) argv.push_back(w.c_str());
    argv.push_back(nullptr);

    const ParsedCommand parsed = parseCommandLine(static_cast<int>(words.size()), argv.data());
    switch (parsed.action) {
        case CommandAction::Run: {
            const CommandLine& line = parsed.line;
            require(line.width >= 0 && line.height >= 0, "negative picture size");
            require((line.width == 0) == (line.height == 0), "half a picture size");
            require(static_cast<int64_t>(line.width) * line.height <=
                        std::numeric_limits<int32_t>::max(),
                    "picture size beyond 32-bit sample indices");
            require(line.start >= 0, "negative start frame");
            require(line.threads >= 0, "negative thread count");
            require(parsed.text.empty(), "a run with a message");
            break;
        }
        case CommandAction::Error:
            require(!parsed.text.empty() && parsed.text.back() == '\n',
                    "an error message without its line feed");
            break;
        case CommandAction::Usage:
        case CommandAction::Message:
            require(!parsed.text.empty(), "an empty message");
            break;
    }
    return 0;
}
