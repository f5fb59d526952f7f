#include "live/rotating_log.h"

#include <cerrno>
#include <cstring>

#include "report/text_report.h"

namespace lumaqc {

RotatingLogSink::RotatingLogSink(std::string path, int64_t maxBytes, int keep)
    : path_(std::move(path)), maxBytes_(maxBytes), keep_(keep) {
    file_ = std::fopen(path_.c_str(), "w");
    if (file_ == nullptr) openErrno_ = errno;
}

RotatingLogSink::~RotatingLogSink() {
    if (file_ != nullptr) std::fclose(file_);
}

bool RotatingLogSink::write(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() || std::fflush(file_) != 0) {
        error_ = "Cannot write the log file " + path_ + ": " + std::strerror(errno);
        return false;
    }
    size_ += static_cast<int64_t>(text.size());
    return true;
}

bool RotatingLogSink::rotate() {
    const int closed = std::fclose(file_);
    file_ = nullptr;
    if (closed != 0) {
        error_ = "Cannot write the log file " + path_ + ": " + std::strerror(errno);
        return false;
    }
    const auto numbered = [this](int n) { return path_ + "." + std::to_string(n); };
    bool moved = true;
    if (keep_ == 0) {
        moved = std::remove(path_.c_str()) == 0;
    } else {
        std::remove(numbered(keep_).c_str());
        for (int n = keep_ - 1; n >= 1; --n)
            std::rename(numbered(n).c_str(), numbered(n + 1).c_str());
        moved = std::rename(path_.c_str(), numbered(1).c_str()) == 0;
    }
    if (!moved) {
        error_ = "Cannot rotate the log file " + path_ + ": " + std::strerror(errno);
        return false;
    }
    file_ = std::fopen(path_.c_str(), "w");
    if (file_ == nullptr) {
        error_ = "Cannot create the log file " + path_ + ": " + std::strerror(errno);
        return false;
    }
    size_ = 0;
    return write(columnHeader(RowStyle::Log));
}

bool RotatingLogSink::begin(const RunInfo&) {
    if (file_ == nullptr) {
        // As without rotation: the run goes on with the console only.
        std::fprintf(stderr, "Cannot create the log file: %s\n", std::strerror(openErrno_));
        return true;
    }
    headerBytes_ = static_cast<int64_t>(columnHeader(RowStyle::Log).size());
    return write(columnHeader(RowStyle::Log));
}

bool RotatingLogSink::frame(int64_t index, const lumaqc::FrameValues& values) {
    // Without a file: never created (the console goes on alone), or lost
    // in a rotation that failed (already reported).
    if (file_ == nullptr) return openErrno_ != 0;
    const std::string row = formatRow(RowStyle::Log, index, values);
    if (size_ + static_cast<int64_t>(row.size()) > maxBytes_ && size_ > headerBytes_ && !rotate()) {
        return false;
    }
    return write(row);
}

bool RotatingLogSink::end(const RunSummary&) {
    if (file_ == nullptr) return true;
    FILE* file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0) {
        error_ = "Cannot write the log file " + path_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace lumaqc
