#include "report/rotating_log.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "report/text_report.h"

namespace lumaqc {

namespace {

std::unique_ptr<OutputFile> openLog(const std::string& path) {
    return std::make_unique<OutputFile>("the log file", path, OutputFile::Lock::Advisory);
}

}  // namespace

RotatingLogSink::RotatingLogSink(std::string path, int64_t maxBytes, int keep)
    : path_(std::move(path)), maxBytes_(maxBytes), keep_(keep) {
    file_ = openLog(path_);
    if (busy()) error_ = file_->error();
}

bool RotatingLogSink::write(const std::string& text) {
    if (!FileSink::write(text)) return false;
    size_ += static_cast<int64_t>(text.size());
    return true;
}

bool RotatingLogSink::rotate() {
    // Only the regular file this run created and writes is renamed. A log
    // moved or removed meanwhile (logrotate) leaves nothing of ours at the
    // path: nothing is renamed or deleted, and a new log starts there, as on
    // SIGHUP. (The start-up checks keep devices and pipes from rotating.)
    // Through a link, the file it leads to is renamed and the link stays.
    const std::string target = linkedFile(path_);
    if (!file_->isRegularFileAt(target)) return close() && restart();
    if (!close()) return false;
    const auto numbered = [&target](int n) { return target + "." + std::to_string(n); };
    bool moved = true;
    if (keep_ == 0) {
        moved = std::remove(target.c_str()) == 0;
    } else {
        // Earlier rotations only: regular files, never links or devices.
        const auto regular = [](const std::string& name) {
            struct stat st {};
            return lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        };
        if (regular(numbered(keep_))) std::remove(numbered(keep_).c_str());
        for (int n = keep_ - 1; n >= 1; --n) {
            if (regular(numbered(n))) std::rename(numbered(n).c_str(), numbered(n + 1).c_str());
        }
        moved = std::rename(target.c_str(), numbered(1).c_str()) == 0;
    }
    if (!moved) {
        error_ = "Cannot rotate the log file " + path_ + ": " + std::strerror(errno);
        return false;
    }
    return restart();
}

// A new log at the path, with its header.
bool RotatingLogSink::restart() {
    file_ = openLog(path_);
    if (!ok() || !start()) {
        error_ = file_->error();
        reopenFailed_ = true;
        return false;
    }
    reopenFailed_ = false;
    size_ = 0;
    remember();
    return write(columnHeader(RowStyle::Log));
}

void RotatingLogSink::remember() {
    struct stat st {};
    if (stat(path_.c_str(), &st) == 0) {
        device_ = st.st_dev;
        inode_ = st.st_ino;
    }
}

void RotatingLogSink::reopen() {
    if (isStandardOutput(path_) || (!file_->isOpen() && !reopenFailed_)) return;
    struct stat st {};
    if (file_->isOpen() && stat(path_.c_str(), &st) == 0 && st.st_dev == device_ &&
        st.st_ino == inode_) {
        return;  // not moved: it goes on
    }
    if (ok()) close();
    error_.clear();
    restart();
}

bool RotatingLogSink::begin(const RunInfo& run) {
    if (file_->busy()) return false;
    if (!file_->isOpen()) {
        // As without rotation: the run goes on with the console only.
        std::fprintf(stderr, "%s\n", file_->error().c_str());
        return true;
    }
    headerBytes_ = static_cast<int64_t>(columnHeader(RowStyle::Log).size());
    remember();
    // As without rotation, the earlier log goes with the first row.
    return write(columnHeader(RowStyle::Log)) && (!run.noFrameAsked || start());
}

bool RotatingLogSink::frame(const FrameMeta& meta, const FrameValues& values) {
    if (reopenFailed_ && !restart()) return false;
    if (!file_->isOpen()) return error_.empty();  // never created: the console goes on alone
    if (!start()) return false;
    const std::string row = formatRow(RowStyle::Log, meta.index, values);
    if (maxBytes_ > 0 && size_ + static_cast<int64_t>(row.size()) > maxBytes_ &&
        size_ > headerBytes_ && !rotate()) {
        return false;
    }
    return write(row);
}

bool RotatingLogSink::end(const RunSummary&) {
    return close();
}

}  // namespace lumaqc
