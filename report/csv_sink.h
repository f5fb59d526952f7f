// The values as CSV (RFC 4180): a header line of column names, then one line
// per frame, lines ending with CR LF. The columns are `frame`, `time` and the
// indicators under the JSON document's keys, in the log's column order:
//
//   frame,time,blockiness,spatial_activity,...,flickering
//   0,0.000000,0.99603,31.68462,...,
//
// Values carry the digits of the log (the log's conversion without its
// padding); a field is empty where the JSON document has null (no value).
// `time` is the frame's time in seconds with six decimals: its presentation
// time for decoded video (from the start of the stream), frame / fps for
// raw and Y4M input; empty when there is none (a frame rate that is not
// positive). Each line is flushed as it is written.
#pragma once

#include <string>

#include "report/file_sink.h"

namespace lumaqc {

class CsvSink : public FileSink {
  public:
    // Opens (or creates) the file at `path` ("-": standard output), replaced
    // only with the first row (see OutputFile); check ok() before the run.
    explicit CsvSink(const std::string& path);

    bool begin(const RunInfo& run) override;
    bool frame(const FrameMeta& meta, const FrameValues& values) override;
    bool end(const RunSummary& summary) override;

  private:
    bool firstRow_ = true;
};

}  // namespace lumaqc
