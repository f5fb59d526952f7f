#include "report/output_file.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace lumaqc {

OutputFile::OutputFile(std::string what, std::string path)
    : what_(std::move(what)), path_(std::move(path)) {
    file_ = std::fopen(path_.c_str(), "w");
    if (file_ == nullptr) {
        openErrno_ = errno;
        error_ = "Cannot create " + what_ + " " + path_ + ": " + std::strerror(openErrno_);
    }
}

OutputFile::~OutputFile() {
    if (file_ != nullptr) std::fclose(file_);
}

void OutputFile::failed(int error) {
    error_ = "Cannot write " + what_ + " " + path_ + ": " + std::strerror(error);
}

bool OutputFile::write(std::string_view text) {
    if (file_ == nullptr) return false;
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() || std::fflush(file_) != 0) {
        failed(errno);
        return false;
    }
    return true;
}

bool OutputFile::close() {
    if (file_ == nullptr) return true;
    std::FILE* file = std::exchange(file_, nullptr);
    if (std::fclose(file) != 0) {
        failed(errno);
        return false;
    }
    return true;
}

}  // namespace lumaqc
