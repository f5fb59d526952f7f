#include "results/result_sink.h"

namespace lumaqc {

// The key functions: the interfaces' vtables are emitted here, once.
ResultSink::~ResultSink() = default;
PictureWork::~PictureWork() = default;

}  // namespace lumaqc
