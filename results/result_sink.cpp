#include "results/result_sink.h"

namespace lumaqc {

// The key function: the interface's vtable is emitted here, once.
ResultSink::~ResultSink() = default;

}  // namespace lumaqc
