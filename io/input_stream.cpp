#include "io/input_stream.h"

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
    const size_t have = pending_.size() - pendingPos_;
    if (have < count) {
        pending_.erase(0, pendingPos_);
        pendingPos_ = 0;
        pending_.resize(count);
        errno = 0;
        const size_t got = std::fread(pending_.data() + have, 1, count - have, file_);
        if (std::ferror(file_)) errno_ = errno;
        pending_.resize(have + got);
    }
    return pending_.substr(pendingPos_, count);
}

size_t InputStream::read(void* buffer, size_t count) {
    auto* out = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    if (pendingPos_ < pending_.size()) {
        done = std::min(count, pending_.size() - pendingPos_);
        std::memcpy(out, pending_.data() + pendingPos_, done);
        pendingPos_ += done;
        if (pendingPos_ == pending_.size()) {
            pending_.clear();
            pendingPos_ = 0;
        }
    }
    if (done < count) {
        errno = 0;
        done += std::fread(out + done, 1, count - done, file_);
        if (std::ferror(file_)) errno_ = errno;
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
