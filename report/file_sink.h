// The base of the sinks that write a file (see OutputFile): the JSON
// document, the CSV, the HTML report, the log (plain or rotating) and the
// decision's events file. Its steps on the file keep the message of a step
// that fails as the sink's error().
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "report/output_file.h"
#include "results/result_sink.h"

namespace lumaqc {

class FileSink : public ResultSink {
  public:
    // False when the file could not be created, or none is open; error()
    // says why.
    bool ok() const { return file_ != nullptr && file_->isOpen(); }
    // Another run holds the file (see OutputFile).
    bool busy() const { return file_ != nullptr && file_->busy(); }
    // Once a file was opened.
    const OutputFile& file() const { return *file_; }

  protected:
    // Opens (or creates) the file at `path`, named `what` in messages; false,
    // with error() set, when it cannot be.
    bool open(std::string what, std::string path, OutputFile::Lock lock = OutputFile::Lock::None) {
        file_ = std::make_unique<OutputFile>(std::move(what), std::move(path), lock);
        error_ = file_->error();
        return file_->isOpen();
    }
    // As OutputFile's.
    bool start() { return file_->start() || failed(); }
    bool write(std::string_view text) { return file_->write(text) || failed(); }
    bool close() { return file_->close() || failed(); }

    std::unique_ptr<OutputFile> file_;

  private:
    bool failed() {
        error_ = file_->error();
        return false;
    }
};

}  // namespace lumaqc
