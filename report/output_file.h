// The file of a file output (log, JSON document, HTML report): created or
// truncated when it is opened, every write flushed at once so that a run
// that stops keeps what was written, every failure described in one line
// that names the file and gives the system's reason.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace lumaqc {

class OutputFile {
  public:
    // Creates (or truncates) `path`; `what` names the file in messages ("the
    // JSON file"). When that fails, isOpen() is false and error() says
    // "Cannot create <what> <path>: <reason>".
    OutputFile(std::string what, std::string path);
    // Closes the file if it is still open, without checking.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool isOpen() const { return file_ != nullptr; }
    // errno of the failed creation, 0 when it succeeded.
    int openErrno() const { return openErrno_; }

    // Writes and flushes `text`. False, with error() "Cannot write <what>
    // <path>: <reason>", when that fails or the file is not open.
    bool write(std::string_view text);
    // Closes the file; false, with error() as for write(), when data could not
    // be written. Later calls do nothing and return true.
    bool close();

    const std::string& error() const { return error_; }

  private:
    void failed(int error);

    std::string what_;
    std::string path_;
    std::FILE* file_ = nullptr;
    int openErrno_ = 0;
    std::string error_;
};

}  // namespace lumaqc
