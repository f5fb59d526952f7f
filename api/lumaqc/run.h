// lumaqc library API: the whole analysis of an input, as the lumaqc program
// runs it, into outputs of the caller's choice.
//
//   lumaqc::AnalysisRequest request;
//   request.path = "clip.yuv";
//   request.width = 1920;  // raw video needs its size; Y4M and video files give theirs
//   request.height = 1080;
//   std::string error;
//   std::unique_ptr<lumaqc::Analysis> analysis = lumaqc::Analysis::open(request, error);
//   if (!analysis) { /* `error` is one line for the user */ }
//   lumaqc::JsonSink json("clip.json");
//   if (!json.ok()) { /* json.error() */ }
//   const lumaqc::RunOutcome outcome = analysis->run({&json});
//
// Analysis, AnalysisRequest, RunOutcome: engine/run.h. ResultSink, the
// interface every output implements (begin, one call per frame in frame
// order, end with the run's summary): report/result_sink.h. The outputs of
// the program: the console table and the log (report/text_sinks.h), the JSON
// document (report/json_sink.h), the CSV (report/csv_sink.h) and the HTML
// report (report/html_sink.h).
#pragma once

// The paths are relative to this header's directory in an installed copy
// and to the source tree in a build of lumaqc.
#include "engine/run.h"
#include "report/csv_sink.h"
#include "report/html_sink.h"
#include "report/json_sink.h"
#include "report/text_sinks.h"
