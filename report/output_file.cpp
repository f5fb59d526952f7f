#include "report/output_file.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace lumaqc {

OutputFile::OutputFile(std::string what, std::string path, Replace replace)
    : what_(std::move(what)), path_(std::move(path)) {
    if (isStandardOutput(path_)) {
        file_ = stdout;
        return;
    }
    if (replace == Replace::WhenStarted) {
        started_ = false;
        if (!openLocked()) return;
    } else {
        file_ = std::fopen(path_.c_str(), "w");
    }
    if (file_ == nullptr) {
        openErrno_ = errno;
        error_ = "Cannot create " + what_ + " " + path_ + ": " + std::strerror(openErrno_);
        return;
    }
    struct stat st {};
    regular_ = fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode);
}

// Opens without truncating and takes the lock. False when another process
// holds it; otherwise file_ is set, or errno says why it is not.
bool OutputFile::openLocked() {
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    created_ = fd >= 0;
    if (fd < 0 && errno == EEXIST) fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return true;
    struct stat st {};
    // An advisory lock on the whole file. File systems without locks (F_SETLK
    // fails otherwise) are written without one.
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && fcntl(fd, F_SETLK, &lock) != 0 &&
        (errno == EACCES || errno == EAGAIN)) {
        struct flock holder = lock;
        const bool known = fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK;
        error_ = "lumaqc: " + what_ + " " + path_ + " is being written by another run" +
                 (known ? " (process " + std::to_string(holder.l_pid) + ")" : std::string());
        busy_ = true;
        created_ = false;
        ::close(fd);
        return false;
    }
    file_ = fdopen(fd, "w");
    if (file_ == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return true;
}

OutputFile::~OutputFile() {
    // A file created for a run that never started is not left behind.
    if (created_ && !started_) ::unlink(path_.c_str());
    if (file_ != nullptr && file_ != stdout) std::fclose(file_);
}

void OutputFile::failed(int error) {
    const std::string where = isStandardOutput(path_) ? " to standard output" : " " + path_;
    error_ = "Cannot write " + what_ + where + ": " + std::strerror(error);
}

bool OutputFile::start() {
    if (file_ == nullptr || started_) return true;
    started_ = true;
    if (regular_ && ftruncate(fileno(file_), 0) != 0) {
        failed(errno);
        return false;
    }
    return true;
}

bool OutputFile::write(std::string_view text) {
    if (file_ == nullptr) return false;
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() ||
        (flushEachWrite_ && std::fflush(file_) != 0)) {
        failed(errno);
        // Part of the text may have gone through (a file size limit): the file
        // is cut back to its last whole write and the rest is dropped.
        __fpurge(file_);
        if (regular_ && ftruncate(fileno(file_), written_) != 0) {
            // The write error is the one to report.
        }
        return false;
    }
    written_ += static_cast<off_t>(text.size());
    return true;
}

bool OutputFile::close() {
    if (file_ == nullptr) return true;
    std::FILE* file = std::exchange(file_, nullptr);
    if ((file == stdout ? std::fflush(file) : std::fclose(file)) != 0) {
        failed(errno);
        return false;
    }
    return true;
}

}  // namespace lumaqc
