// Frames of raw and Y4M files analysed where the page cache keeps them: the
// frame's region of the file is mapped read-only and read into memory
// (MADV_POPULATE_READ), and the picture borrows the mapped rows instead of
// a copy of them.
//
// A file cut while mapped raises SIGBUS on the next access to a page it
// lost. The guard below catches it for the mappings made here only: it puts
// zero pages over the mapping, so that the access goes on, and marks the
// mapping lost; the frame loop then reports that frame as a short read
// would be reported. Other SIGBUS go to the handler installed before it (or
// end the program as they would have). A region that is already beyond the
// end of the file is not mapped at all (populating it fails), and the frame
// is read with pread() as it would be without mapping.
#pragma once

#include <cstdint>
#include <functional>

#include "io/frame_source.h"

namespace lumaqc {

// Installs the SIGBUS guard, once; mapping is done only once it is in. The
// program calls it: a host that embeds the library owns its signals, and
// its sources read with pread(). False when it cannot be installed.
bool guardMappedFrames();

// Maps `bytes` of `fd` at `offset` and reads them into memory, if the file
// holds `needed` bytes; on success `held` names them, and its `lost` tells,
// from then on, whether a cut of the file took any of them away (`error`
// makes the error then reported: the short read's). False, with nothing
// mapped, when the bytes cannot be mapped (no guard, a region beyond the
// end of the file, too many mappings held, a kernel without
// MADV_POPULATE_READ): the caller reads them instead.
bool mapFrame(int fd, int64_t offset, int64_t bytes, int64_t needed, HeldLuma& held,
              std::function<ReadResult()> error);

}  // namespace lumaqc
