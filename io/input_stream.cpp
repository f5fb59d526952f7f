#include "io/input_stream.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace lumaqc {

InputStream::InputStream(FILE* file, std::string name) : file_(file), name_(std::move(name)) {}

InputStream::~InputStream() {
    if (file_ != nullptr && file_ != stdin) std::fclose(file_);
}

FILE* InputStream::release() {
    FILE* file = file_;
    file_ = nullptr;
    pending_.clear();
    pendingPos_ = 0;
    return file;
}

std::string InputStream::peek(size_t count) {
    lookAhead(count);
    return pending_.substr(pendingPos_, count);
}

size_t InputStream::lookAhead(size_t count) {
    const size_t have = pending_.size() - pendingPos_;
    if (have < count) {
        pending_.erase(0, pendingPos_);
        pendingPos_ = 0;
        size_t got = have;
        while (got < count) {
            // The buffer grows with what comes: a pipe that ends early does
            // not cost a whole frame of a huge picture.
            const size_t room = std::min(count, std::max<size_t>(2 * got, 65536));
            if (pending_.size() < room) pending_.resize(room);
            const ssize_t n = ::read(fileno(file_), pending_.data() + got, room - got);
            if (n > 0) {
                got += static_cast<size_t>(n);
                continue;
            }
            if (n < 0) {  // a signal too ends the look, as it ends fread()
                errno_ = errno;
                failed_ = true;
            }
            break;
        }
        pending_.resize(got);
    }
    return std::min(count, pending_.size() - pendingPos_);
}

size_t InputStream::takePending(unsigned char* out, size_t count) {
    if (pendingPos_ >= pending_.size()) return 0;
    const size_t done = std::min(count, pending_.size() - pendingPos_);
    std::memcpy(out, pending_.data() + pendingPos_, done);
    pendingPos_ += done;
    if (pendingPos_ == pending_.size()) {
        std::string().swap(pending_);  // a whole frame looked at is not kept
        pendingPos_ = 0;
    }
    return done;
}

size_t InputStream::read(void* buffer, size_t count) {
    auto* out = static_cast<unsigned char*>(buffer);
    size_t done = takePending(out, count);
    if (done < count) {
        errno = 0;
        done += std::fread(out + done, 1, count - done, file_);
        if (std::ferror(file_)) errno_ = errno;
    }
    return done;
}

size_t InputStream::readWaiting(void* buffer, size_t count, const Waiting& waiting) {
    auto* out = static_cast<unsigned char*>(buffer);
    size_t done = takePending(out, count);
    const int fd = fileno(file_);
    while (done < count) {
        if (waiting.giveUp != nullptr && waiting.giveUp(waiting.opaque) != 0) break;
        pollfd fds[2] = {{fd, POLLIN, 0}, {waiting.wake, POLLIN, 0}};
        const int ready = poll(fds, waiting.wake >= 0 ? 2 : 1, kGiveUpCheckMs);
        if (ready < 0 && errno != EINTR) {
            errno_ = errno;
            failed_ = true;
            break;
        }
        if (ready <= 0) continue;  // a signal, or time to ask giveUp again
        if (fds[1].revents != 0) break;
        // Readable, at its end or broken: read() tells which.
        const ssize_t n = ::read(fd, out + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR && errno != EAGAIN) {
            errno_ = errno;
            failed_ = true;
            break;
        }
    }
    return done;
}

size_t InputStream::skip(size_t count) {
    unsigned char scratch[65536];
    size_t done = 0;
    while (done < count) {
        const size_t want = std::min(count - done, sizeof scratch);
        const size_t got = read(scratch, want);
        done += got;
        if (got < want) break;
    }
    return done;
}

bool InputStream::atEnd() {
    if (pendingPos_ < pending_.size()) return false;
    errno = 0;
    const int c = std::getc(file_);
    if (c == EOF) {
        if (std::ferror(file_)) errno_ = errno;
        return true;
    }
    std::ungetc(c, file_);
    return false;
}

bool InputStream::readLine(std::string& line, size_t limit) {
    line.clear();
    while (line.size() < limit) {
        char c;
        if (read(&c, 1) != 1) return false;
        line.push_back(c);
        if (c == '\n') return true;
    }
    return false;
}

}  // namespace lumaqc
