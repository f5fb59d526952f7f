#include "report/text_sinks.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "io/display_name.h"
#include "report/text_report.h"

namespace lumaqc {

// Straight to the descriptor, resuming after a signal: a stop signal that
// arrives while a write waits on a full pipe must not cut a row short.
bool ConsoleSink::write(const std::string& text) {
    const char* stream = fd_ == STDERR_FILENO ? "the error stream" : "standard output";
    if (std::fflush(fd_ == STDERR_FILENO ? stderr : stdout) != 0) {
        error_ = std::string("Cannot write to ") + stream + ": " + std::strerror(errno);
        return false;
    }
    const char* next = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd_, next, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            error_ = std::string("Cannot write to ") + stream + ": " + std::strerror(errno);
            return false;
        }
        next += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

bool ConsoleSink::begin(const RunInfo& run) {
    // The path goes in however long, its control characters and bytes that
    // are not UTF-8 written as \xNN; the numbers fit any buffer.
    char numbers[512];
    std::snprintf(numbers, sizeof numbers,
                  "Width = %d, Height = %d, FPS = %2.2f, Number of Frames = %lld, Start Frame = "
                  "%lld\n\n",
                  run.source->width, run.source->height, run.fps,
                  static_cast<long long>(run.frames), static_cast<long long>(run.start));
    return write("Video file " + printableName(run.source->path) + " opened successfully!\n\n" +
                 numbers + columnHeader(RowStyle::Console) + "\n");
}

bool ConsoleSink::frame(const FrameMeta& meta, const lumaqc::FrameValues& values) {
    return !rows_ || write(formatRow(RowStyle::Console, meta.index, values));
}

bool ConsoleSink::end(const RunSummary& summary) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "Calculation time: \t%f seconds overall \n \t\t\t%f milliseconds per frame",
                  summary.overallSeconds,
                  summary.overallSeconds / static_cast<double>(summary.frames) * 1000.0);
    return write(std::string(text) + "\n\nAverage calculation time per frame for each metric: \n" +
                 timingText(summary.seconds, summary.frames));
}

LogSink::LogSink(const std::string& path) {
    open("the log file", path, OutputFile::Lock::Advisory);
}

bool LogSink::begin(const RunInfo& run) {
    if (busy()) return false;
    if (!ok()) {
        // The run goes on with the console only.
        std::fprintf(stderr, "%s\n", file_->error().c_str());
        return true;
    }
    // The header waits with the earlier log for the first row (a run asked
    // for no frame writes it at once).
    return write(columnHeader(RowStyle::Log)) && (!run.noFrameAsked || start());
}

bool LogSink::frame(const FrameMeta& meta, const lumaqc::FrameValues& values) {
    return !ok() || (start() && write(formatRow(RowStyle::Log, meta.index, values)));
}

bool LogSink::end(const RunSummary&) {
    return close();
}

}  // namespace lumaqc
