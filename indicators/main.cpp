// lumaqc: no-reference quality indicators for raw YUV 4:2:0 video.
//
// Usage: lumaqc nameOfTheMovie.yuv WIDTH HEIGHT [FPS] [NumberOfFrames] [startFrame]
//
// Reads the luma plane of each selected frame, computes the fifteen
// indicators in a fixed order, prints one row per frame on the console and in
// the log "metricsResultsCSV.csv", and ends with the time each indicator took.
#include <sys/types.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <utility>

#include "indicators/indicators.h"
#include "report/indicator_table.h"
#include "report/text_report.h"

namespace {

constexpr int DEFAULT_FPS = 25;

// Process CPU time in milliseconds.
double processClockMs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1.0e6;
}

// Lenient decimal conversions: leading blanks and a sign allowed, conversion
// stops at the first non-digit, text without digits gives 0.
long parseInteger(const char* text) {
    return std::strtol(text, nullptr, 10);
}
double parseReal(const char* text) {
    return std::strtod(text, nullptr);
}

struct RunParameters {
    const char* path = nullptr;
    int32_t w = 0;
    int32_t h = 0;
    double fps = DEFAULT_FPS;
    bool framesGiven = false;
    int64_t frames = 0;
    int64_t start = 0;
};

// Converts the positional arguments; returns false after printing a one-line
// error when the picture size or the start frame cannot be used.
bool parseArguments(int argc, char** argv, RunParameters& run) {
    run.path = argv[1];
    const long w = parseInteger(argv[2]);
    const long h = parseInteger(argv[3]);
    if (argc >= 5) run.fps = parseReal(argv[4]);
    if (argc >= 6) {
        run.framesGiven = true;
        run.frames = parseInteger(argv[5]);
    }
    if (argc >= 7) run.start = parseInteger(argv[6]);

    constexpr long kMaxSide = std::numeric_limits<int32_t>::max();
    if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide) {
        std::fprintf(stderr, "Invalid picture size %ld x %ld: width and height must be positive\n",
                     w, h);
        return false;
    }
    // Pictures are indexed with 32-bit sample positions.
    if (static_cast<int64_t>(w) * h > std::numeric_limits<int32_t>::max()) {
        std::fprintf(stderr, "Picture size %ld x %ld is too large\n", w, h);
        return false;
    }
    if (run.start < 0) {
        std::fprintf(stderr, "Invalid start frame %lld: it must be 0 or more\n",
                     static_cast<long long>(run.start));
        return false;
    }
    run.w = static_cast<int32_t>(w);
    run.h = static_cast<int32_t>(h);
    return true;
}

void printUsage(const char* program) {
    std::puts("Not enough parameters\n");
    std::printf(
        "Usage : %s nameOfTheMovie.yuv WIDTH HEIGHT [FPS] [NumberOfFrames] [startFrame]\n, where "
        "[***] is optional parameter.\n\n",
        program);
}

void writeOrDie(const std::string& text, FILE* stream, const char* what) {
    if (std::fwrite(text.data(), 1, text.size(), stream) != text.size() ||
        std::fflush(stream) != 0) {
        std::fprintf(stderr, "Cannot write the %s: %s\n", what, std::strerror(errno));
        std::exit(-1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc <= 3) {
        printUsage(argv[0]);
        return -1;
    }
    RunParameters run;
    if (!parseArguments(argc, argv, run)) return -1;

    FILE* video = std::fopen(run.path, "rb");
    if (video == nullptr) {
        std::fprintf(stderr, "Error opening the file %s: %s \n", run.path, std::strerror(errno));
        return -1;
    }
    // The log is created only once the run can start, so a failed start never
    // truncates the log of an earlier run.
    FILE* log = std::fopen(LOG_FILE_NAME, "w");
    const int logErrno = errno;

    const int32_t w = run.w;
    const int32_t h = run.h;
    Image current = callocImage(w, h);
    Image previous = callocImage(w, h);
    TemporalState temporal = createTemporalState(w, h);

    const int64_t lumaSize = static_cast<int64_t>(w) * h;
    const int64_t frameSize = lumaSize * 3 / 2;
    if (!run.framesGiven) {
        fseeko(video, 0, SEEK_END);
        run.frames = static_cast<int64_t>(ftello(video)) / frameSize;
    }

    std::printf("Video file %s opened successfully!\n\n", run.path);
    std::printf(
        "Width = %d, Height = %d, FPS = %2.2f, Number of Frames = %lld, Start Frame = %lld\n\n", w,
        h, run.fps, static_cast<long long>(run.frames), static_cast<long long>(run.start));
    std::puts(columnHeader(RowStyle::Console).c_str());
    if (log != nullptr) {
        writeOrDie(columnHeader(RowStyle::Log), log, "log file");
    } else {
        errno = logErrno;
        std::perror("Cannot create the log file");
    }

    std::array<float, kIndicatorCount> seconds{};
    FrameContext frame;
    frame.state = &temporal;
    frame.fps = run.fps;
    const double runStart = processClockMs();

    // Frame counts and start frames near the 64-bit limit end the loop there.
    const int64_t end =
        run.frames > 0 && run.start > std::numeric_limits<int64_t>::max() - run.frames
            ? std::numeric_limits<int64_t>::max()
            : run.start + run.frames;
    for (int64_t i = run.start; i < end; ++i) {
        // A frame whose offset lies beyond any possible file reads nothing,
        // like any other frame past the end.
        int64_t offset = 0;
        size_t got = 0;
        if (!__builtin_mul_overflow(frameSize, i, &offset)) {
            fseeko(video, static_cast<off_t>(offset), SEEK_SET);
            got = std::fread(current.data, 1, static_cast<size_t>(lumaSize), video);
        }
        if (std::ferror(video)) {
            const int error = errno;
            std::printf("Some error occurred when reading the %lld frame\n",
                        static_cast<long long>(i));
            std::printf("Byte read = %zu, Frame size = %lld\n\n", got,
                        static_cast<long long>(lumaSize));
            std::printf("Error code: %d \n", error);
            std::printf("Error description: %s \n", std::strerror(error));
            return -1;
        }

        // The temporal indicators need a previous frame: on the first one
        // their columns keep their initial zeros.
        frame.current = &current;
        frame.previous = &previous;
        frame.values.fill(0.0);
        for (const IndicatorInfo& info : indicatorTable()) {
            if (info.temporal && i == run.start) continue;
            const double before = processClockMs();
            frame.values[info.id] = info.compute(frame);
            const double after = processClockMs();
            seconds[info.id] += static_cast<float>((after - before) / 1000.0);
        }

        writeOrDie(formatRow(RowStyle::Console, i, frame.values), stdout, "console");
        if (log != nullptr) writeOrDie(formatRow(RowStyle::Log, i, frame.values), log, "log file");

        // The frame just processed becomes the previous one without copying.
        std::swap(current.data, previous.data);
    }

    const double runEnd = processClockMs();
    const double overall = (runEnd - runStart) / 1000.0;
    std::printf("Calculation time: \t%f seconds overall \n \t\t\t%f milliseconds per frame",
                overall, overall / static_cast<double>(run.frames) * 1000.0);
    std::puts("\n\nAverage calculation time per frame for each metric: ");
    std::fputs(timingText(seconds, run.frames).c_str(), stdout);

    freeImage(current);
    freeImage(previous);
    freeTemporalState(temporal);
    std::fclose(video);
    if (log != nullptr && std::fclose(log) != 0) {
        std::fprintf(stderr, "Cannot write the log file: %s\n", std::strerror(errno));
        return -1;
    }
    std::puts("\nFile stream closed\n");
    return 0;
}
