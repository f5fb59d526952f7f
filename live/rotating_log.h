// The log with rotation (--log-rotate SIZE, --log-keep N): the rows go to
// the log file as always; when the next row would take the file beyond SIZE
// bytes, the file becomes LOG.1 (LOG.1 becomes LOG.2 ... up to LOG.N, the
// oldest dropped) and a new log starts with its header line. A file exceeds
// SIZE only when its header and one row already do. With N = 0 the full log
// is dropped. The files an earlier run left are shifted like the others.
#pragma once

#include <cstdio>
#include <string>

#include "report/result_sink.h"

namespace lumaqc {

class RotatingLogSink : public ResultSink {
  public:
    RotatingLogSink(std::string path, int64_t maxBytes, int keep);
    ~RotatingLogSink() override;
    RotatingLogSink(const RotatingLogSink&) = delete;
    RotatingLogSink& operator=(const RotatingLogSink&) = delete;

    bool begin(const RunInfo& run) override;
    bool frame(int64_t index, const lumaqc::FrameValues& values) override;
    bool end(const RunSummary& summary) override;

  private:
    bool write(const std::string& text);
    bool rotate();
    std::string path_;
    int64_t maxBytes_;
    int keep_;
    FILE* file_ = nullptr;
    int openErrno_ = 0;
    int64_t size_ = 0;
    int64_t headerBytes_ = 0;
};

}  // namespace lumaqc
