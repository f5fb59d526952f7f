// lumaqc-testcard: writes the built-in test card as a raw YUV 4:2:0 file and
// lists its scenes.
#include <cstdio>
#include <cstring>
#include <string>

#include "testcard/testcard.h"

using namespace lumaqc;

namespace {

const char* const PROGRAM = "lumaqc-testcard";

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: %s OUTPUT.yuv [WIDTH HEIGHT]\n"
                 "Writes a deterministic test clip of %d frames of raw planar YUV 4:2:0, 8 bits\n"
                 "per sample (default size %dx%d, sizes %d to %d), then lists its scenes:\n"
                 "one line per scene with its name and first and last frame index.\n",
                 PROGRAM, testcardFrameCount(), TESTCARD_DEFAULT_WIDTH, TESTCARD_DEFAULT_HEIGHT,
                 TESTCARD_MIN_SIZE, TESTCARD_MAX_SIZE);
}

// Parses a size made of decimal digits only, within the accepted range.
bool parseSize(const char* text, int* value) {
    if (*text == '\0') return false;
    long v = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + (*p - '0');
        if (v > TESTCARD_MAX_SIZE) return false;
    }
    if (v < TESTCARD_MIN_SIZE) return false;
    *value = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            printUsage(stdout);
            return 0;
        }
    }
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "%s: expected OUTPUT.yuv [WIDTH HEIGHT] (try --help)\n", PROGRAM);
        return 2;
    }
    int w = TESTCARD_DEFAULT_WIDTH;
    int h = TESTCARD_DEFAULT_HEIGHT;
    if (argc == 4) {
        for (int i = 2; i < 4; ++i) {
            if (!parseSize(argv[i], i == 2 ? &w : &h)) {
                std::fprintf(stderr, "%s: invalid %s '%s': expected a whole number from %d to %d\n",
                             PROGRAM, i == 2 ? "width" : "height", argv[i], TESTCARD_MIN_SIZE,
                             TESTCARD_MAX_SIZE);
                return 2;
            }
        }
    }
    std::string error;
    if (!writeTestcard(argv[1], w, h, &error)) {
        std::fprintf(stderr, "%s: %s\n", PROGRAM, error.c_str());
        return 1;
    }
    for (const TestcardScene& s : testcardScenes())
        std::printf("%-10s %4d %4d\n", s.name, s.first, s.last);
    std::printf("width %d height %d frames %d\n", w, h, testcardFrameCount());
    return 0;
}
