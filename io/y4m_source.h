// YUV4MPEG2 (Y4M) from a file or a pipe: a header line with the picture size,
// frame rate and colour space, then frames, each a "FRAME" line (parameters
// allowed) and the planes. A pipe is read in order, a regular file at
// offsets (its frames found as the reading goes on); every colour space of
// the format, 8 to 16 bits (io/pixel_format.h), only the luma plane used.
#pragma once

#include <memory>
#include <string>

#include "io/frame_source.h"
#include "io/input_stream.h"

namespace lumaqc {

// The first bytes of every Y4M stream.
inline constexpr char Y4M_SIGNATURE[] = "YUV4MPEG2 ";

// Reads the stream header; with `facts` of a regular file (sizeBytes >= 0)
// the stream must start at the file's first byte. A file of its header alone
// is refused, and so is a pipe that ends after its header when
// `waitForFrame` (a pipe of a live run is not waited for). A file's frames
// are analysed in a mapping when `mapFrames` (SourceRequest::mapFrames). On
// failure returns null and sets `error` (one line, line feed included).
std::unique_ptr<FrameSource> openY4mSource(std::unique_ptr<InputStream> input,
                                           const std::string& path, std::string& error,
                                           const InputFile& facts = {}, bool waitForFrame = false,
                                           bool mapFrames = false);

}  // namespace lumaqc
