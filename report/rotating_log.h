// The log with rotation (--log-rotate SIZE, --log-keep N): the rows go to
// the log file as always; when the next row would take the file beyond SIZE
// bytes, the file becomes LOG.1 (LOG.1 becomes LOG.2 ... up to LOG.N, the
// oldest dropped) and a new log starts with its header line. A file exceeds
// SIZE only when its header and one row already do. With N = 0 the full log
// is dropped. The files an earlier run left are shifted like the others.
// The log is opened and locked like the plain one (see LogSink). Live runs
// use it with or without a size, for SIGHUP (reopen()). A log path that is a
// symbolic link stays one: the file it leads to is rotated, its LOG.N files
// beside it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "report/file_sink.h"

namespace lumaqc {

class RotatingLogSink : public FileSink {
  public:
    // `maxBytes` 0: never rotated.
    RotatingLogSink(std::string path, int64_t maxBytes, int keep);

    bool begin(const RunInfo& run) override;
    bool frame(const FrameMeta& meta, const FrameValues& values) override;
    bool end(const RunSummary& summary) override;
    // After SIGHUP (logrotate moved the log away): a new log is started at
    // the path, with its header, unless the path still names the file being
    // written. A failure shows at the next row (and is tried again then).
    void reopen();

  private:
    bool restart();
    void remember();
    bool write(const std::string& text);
    bool rotate();
    std::string path_;
    int64_t maxBytes_;
    int keep_;
    int64_t size_ = 0;
    int64_t headerBytes_ = 0;
    bool reopenFailed_ = false;
    dev_t device_ = 0;  // of the file being written
    ino_t inode_ = 0;
};

}  // namespace lumaqc
