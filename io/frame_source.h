// Where frames come from. The frame loop asks for consecutive frame indices
// and never knows whether it reads a raw file, a pipe, Y4M or a decoder.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>

namespace lumaqc {

// What is known of the file an input is read from.
struct InputFile {
    std::string absolutePath;  // normalised; empty for standard input
    int64_t sizeBytes = -1;    // -1 unless it is a regular file
    int64_t modifiedTime = 0;  // seconds since 1970-01-01 UTC, when sizeBytes >= 0
};

struct SourceInfo {
    std::string path;  // as given; "-" is standard input
    std::string kind;  // "raw", "raw stream", "y4m", "decoder"
    int32_t width = 0;
    int32_t height = 0;
    double fps = 0.0;  // from the stream, when fpsKnown
    bool fpsKnown = false;
    int64_t frames = -1;  // frames in the input from frame 0 on; -1 when unknown (streams)
    std::string pixelFormat = "yuv420p";  // FFmpeg's name of the samples read ("gray16le", ...)
    int bitDepth = 8;                     // bits per luma sample in the input
    bool samplesReduced = false;          // converted to 8-bit luma before the analysis
    InputFile file = {};
    std::string container = "";      // "raw", "y4m", or libavformat's name ("matroska,webm")
    double durationSeconds = -1.0;   // the stream's, as its container declares it; < 0 unknown
    std::string frameRateKind = "";  // "constant", "variable", or empty when not known
    // The codec: "rawvideo" for raw and Y4M, else the decoder's name ("h264").
    std::string codec{};
    // What the stream declares (decoded input, a Y4M header's interlacing;
    // empty when it says nothing):
    // its start timecode as written ("01:00:00:00", ";" for drop-frame), its
    // scan type ("progressive" or "interlaced", from the container's field
    // order or else the first picture's flags) and, for interlaced
    // pictures, the field order ("tff" or "bff").
    std::string startTimecode{};
    std::string scanType{};
    std::string fieldOrder{};
    // The samples span the full range (0-255 for the video range's 16-235):
    // a colour range the stream or its first picture declares full, or a
    // Y4M header's XCOLORRANGE=FULL. FFmpeg's yuvj formats say so by name.
    bool fullRange = false;
};

// A picture kept for its colour while its frame goes through the run (the
// report's thumbnails): the analysis reads luma only. Sources make one per
// frame only when asked (FrameSource::keepColour), for colour pictures.
class ColourPicture {
  public:
    virtual ~ColourPicture() = default;
    // Cb and Cr scaled to width x height (rows `width` bytes apart, one byte
    // a sample, as the input's range has them); false when it cannot.
    virtual bool chroma(int width, int height, uint8_t* cb, uint8_t* cr) const = 0;
};

enum class ReadStatus {
    Ok,     // the luma plane was delivered
    End,    // no more frames: the end of a stream, or a frame past the end of a file
    Error,  // the input cannot be read further; `message` says why
};

struct ReadResult {
    ReadStatus status = ReadStatus::Ok;
    std::string message;           // full text to print for an error, line feeds included
    bool messageOnStdout = false;  // the raw file's read-error block goes to standard output
    // Decoded input: the frame's presentation time in seconds from the start
    // of the stream. NaN when the input carries no timestamps (raw, Y4M): the
    // frame loop then takes index / fps.
    double seconds = std::numeric_limits<double>::quiet_NaN();
    // Sources that go on after damage (SourceRequest::continueAfterDamage):
    // the decoding errors reported for this frame or since the frame before,
    // and what the first of them was (one line, no line feed). With status
    // Error, the damage that ended the input.
    int damage = 0;
    std::string damageMessage{};
    // Decoded H.264 and MPEG-1/2/4 input: the picture's mean quantiser on
    // H.264's scale (see DecoderSource); NaN for other inputs.
    double quantiser = std::numeric_limits<double>::quiet_NaN();
    // Decoded input: the range of the picture's luma when it tells it (1
    // full, 0 the video range); -1: the stream's (SourceInfo::fullRange).
    int fullRange = -1;
    // Live URLs: the stream's picture size, pixel format or codec changed
    // with this frame ("720 x 576 yuv420p mpeg2video to 1280 x 720 ...");
    // the picture was scaled to the run's size. Empty otherwise.
    std::string formatChange{};
    // After keepColour(): the picture's colour; null for grey pictures.
    std::shared_ptr<const ColourPicture> colour{};
};

// A frame's luma plane where its source keeps it (width x height samples,
// stride width), unchanged for as long as `hold` is kept.
struct HeldLuma {
    const uint8_t* data = nullptr;
    std::shared_ptr<const void> hold;
    // Set for samples that can go away while held (the mapped frame of a
    // file that shrinks): once the frame was computed, the error that ends
    // the input at it if they did, or if `previousLost` (the samples of the
    // frame before went away: the cut that took them took this frame's
    // too), status Error; else Ok.
    std::function<ReadResult(bool previousLost)> lost{};
};

class FrameSource {
  public:
    virtual ~FrameSource() = default;
    virtual const SourceInfo& info() const = 0;
    // Delivers the luma plane of frame `index` into `luma` (width x height
    // samples, stride width). Indices are consecutive, starting at the first
    // frame of the run; sources that cannot seek skip forward by reading.
    virtual ReadResult read(int64_t index, uint8_t* luma) = 0;
    // As read(), except that a source that has the plane in memory already
    // (a decoded picture) may hand it over instead of copying it: `held` then
    // names it and `luma` is left as it was. Otherwise `held` is emptied and
    // the plane is in `luma`.
    virtual ReadResult readHeld(int64_t index, uint8_t* luma, HeldLuma& held) {
        held = {};
        return read(index, luma);
    }
    // True when read() may run on several threads at once for different
    // frames, in any order, and never waits for input (a seekable file read
    // at offsets): the frame loop then has its workers read the frames, one
    // after the other in frame order, and asks has() in order which frames
    // there are.
    virtual bool readsConcurrently() const { return false; }
    // For such sources: Ok when frame `index` is there, End past the end.
    virtual ReadStatus has(int64_t /*index*/) const { return ReadStatus::Ok; }
    // Asks for ReadResult::colour from the next read on; sources that cannot
    // tell colour ignore it.
    virtual void keepColour() {}
};

struct SourceRequest {
    std::string path;
    int32_t width = 0;  // 0 when not given (taken from the stream header)
    int32_t height = 0;
    // A decoder that reports a damaged frame delivers it (concealed as the
    // decoder could) or goes on with the next frame it can decode, and says
    // so in ReadResult::damage, instead of ending the input with an error.
    bool continueAfterDamage = false;
    // Decoded input: each picture's mean quantiser is read (ReadResult::quantiser,
    // for QC rules that watch it). Off, it stays NaN and decoding costs less.
    bool quantisers = true;
    // When set and non-zero (a stop signal came), reads that wait for input
    // give up: opening then fails, and the caller checks the flag.
    const std::atomic<int>* stop = nullptr;
    // Raw input's sample layout, FFmpeg's name (see io/pixel_format.h). Empty:
    // yuv420p in frames of (width x height x 3) / 2 bytes. A Y4M input must
    // declare the same layout; a video file must not be given one.
    std::string pixelFormat = "";
    // A run said to be live (--live): opening waits for the first bytes
    // only, so that a pipe that stalls inside its first frame is a signal
    // loss, not a silent wait. Otherwise a raw pipe is opened on its first
    // whole frame.
    bool live = false;
    // The frames of raw and Y4M files (8-bit samples, no colour kept) are
    // analysed from a mapping of the file (io/mapped_frames.h), once the
    // program installed the guard for it; else, and by default, read.
    bool mapFrames = false;
    // The analysis threads: with two or more, a decoded file or pipe may be
    // decoded by as many decoders at once (DecoderOptions::groupDecoders).
    int threads = 1;
};

enum class OpenStatus {
    Ok,
    Failed,     // `error` says why
    NeedsSize,  // no width and height given, and the input has no header that gives them
};

// Opens the input named by `request` ("-" is standard input). A Y4M signature
// at the start makes it Y4M, whatever its name; otherwise, with a width and a
// height it is raw video of the requested layout (a file must hold one whole
// frame at least) and without them a file for the decoder. On failure
// returns null and sets `error` to the complete message (line feed included)
// for the error stream, and `status` (when given) to the reason.
std::unique_ptr<FrameSource> openFrameSource(const SourceRequest& request, std::string& error,
                                             OpenStatus* status = nullptr);

// The decoding libraries built in, with their versions; empty when the build
// has no decoder or they cannot be loaded. Loads them (see ffmpeg_library.h).
std::string decoderLibraries();
// Why the decoding libraries the build uses cannot be loaded (one line, no
// line feed); empty when they are loaded or the build has none.
std::string decoderMissing();

}  // namespace lumaqc
