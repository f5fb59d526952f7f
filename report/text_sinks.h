// The console table and the tab-separated log.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "report/file_sink.h"

namespace lumaqc {

// Opening lines, column header, one row per frame and the timing summary on
// standard output (or on the error stream, `fd` 2, when a document takes
// standard output). With `rows` false the per-frame rows are left out.
class ConsoleSink : public ResultSink {
  public:
    explicit ConsoleSink(bool rows = true, int fd = 1) : rows_(rows), fd_(fd) {}
    bool begin(const RunInfo& run) override;
    bool frame(const FrameMeta& meta, const lumaqc::FrameValues& values) override;
    bool end(const RunSummary& summary) override;

  private:
    bool write(const std::string& text);
    bool rows_;
    int fd_;
};

// The log file: a header line and one row per frame, each row flushed as it
// is written so that an interrupted run keeps every finished row; after a
// failed write the file ends with its last whole row.
class LogSink : public FileSink {
  public:
    // Opens (or creates) the file at `path` ("-": standard output, never
    // locked) and locks it for this run,
    // leaving its contents as they are until the first row. When another run holds
    // the lock, busy() is true and error() names that run. When the file
    // cannot be opened, begin() reports it on the error stream and the sink
    // writes nothing.
    explicit LogSink(const std::string& path);

    // Writes the header; the earlier log goes only with the first row.
    bool begin(const RunInfo& run) override;
    bool frame(const FrameMeta& meta, const lumaqc::FrameValues& values) override;
    bool end(const RunSummary& summary) override;
};

}  // namespace lumaqc
