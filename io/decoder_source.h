// Video files decoded with libavformat and libavcodec (MP4, MKV, MOV, TS,
// AVI, ...): the best video stream is decoded and the luma plane of every
// decoded frame analysed. Available when the build found the libraries.
#pragma once

#include <atomic>
#include <limits>
#include <memory>
#include <string>

#include "io/frame_source.h"
#include "io/input_stream.h"

namespace lumaqc {

enum class DecoderOpen {
    Ok,
    NotVideo,  // no container with a video stream recognised (raw video, say)
    Failed,    // recognised but cannot be decoded; `error` says why
};

// Makes the decoding libraries print nothing and hands their messages to
// the decoder, which reads a truncated file's account from them ("the file
// ends prematurely"). libav's log callback is process-wide state, so the
// library never sets it: a program (lumaqc, the Python module) calls this
// once at its start; a host that keeps its own callback loses only that
// account. The network libraries' own logs (libsrt's) are silenced too;
// their errors, one line each, go to `transportError` when given, for the
// program to say in its own way.
void installDecoderLogHandler(void (*transportError)(const std::string& line) = nullptr);

// How a file is decoded (see SourceRequest).
struct DecoderOptions {
    // Damage the decoder reports is counted in each ReadResult and decoding
    // goes on.
    bool continueAfterDamage = false;
    // Each picture's mean quantiser (ReadResult::quantiser). Without it the
    // decoder exports none, which spares it the work.
    bool quantisers = true;
    // Decoding threads. One decodes a damaged picture the same way in every
    // run: libavcodec's frame threads conceal damage differently from run to
    // run and with their number. 0 lets the codec choose (live streams,
    // whose pictures depend on their timing anyway).
    int decoderThreads = 1;
    // Decoders at once (files and pipes; up to 4): when the stream can be
    // cut into groups of pictures that begin afresh (H.264 and HEVC IDR
    // pictures, intra-only codecs), as many groups are decoded at once, each
    // by one decoder, and their pictures read in order: the pictures one
    // decoder gives. With continueAfterDamage, H.264 files only, up to the
    // first damage (see decoder_source.cpp).
    int groupDecoders = 1;
    // libavcodec's frame threads for a regular H.264 file (2 to 16; 1 keeps
    // one decoding thread): clean pictures are the same bits whatever their
    // number, so the file is decoded with them up to the first sign of
    // damage, then again from its start by one thread (see
    // decoder_source.cpp). Needs installDecoderLogHandler(), which hears the
    // signs. Such a file is not decoded in groups (groupDecoders): frame
    // threads were faster.
    int frameThreads = 1;
    // `path` names a numbered sequence of pictures, one file each
    // (`scan_%06d.dpx`), whose first number this is (-1: not a sequence):
    // libavformat opens the files itself, in the order of their numbers.
    int64_t sequenceStart = -1;
};

// Opens the file at `path` (when `input` is null) or reads `input` (a pipe)
// and decodes the first frame, which fixes the picture size. A regular file
// (see `facts`) or a pipe is then decoded ahead on a thread of its own, which
// blocks SIGINT and SIGTERM. Reading gives up as soon as `stop` (when given)
// is non-zero, within a tenth of a second even while a pipe's writer stalls
// and no signal interrupts the wait.
std::unique_ptr<FrameSource> openDecoderSource(const std::string& path,
                                               std::unique_ptr<InputStream> input,
                                               const std::atomic<int>* stop, DecoderOpen& status,
                                               std::string& error,
                                               const DecoderOptions& options = {},
                                               const InputFile& facts = {});

// How a network input is opened and what came of it.
struct UrlAccess {
    // Polled while libavformat waits on the network; non-zero gives the wait up.
    int (*interrupt)(void*) = nullptr;
    void* opaque = nullptr;
    bool bounded = false;    // out: the input has an end (a file served over HTTP, say)
    bool permanent = false;  // out, on failure: trying again cannot help
    // In: the picture size to keep (a reopened input): pictures of another
    // size are scaled to it. 0 x 0: the first picture's size.
    int32_t width = 0;
    int32_t height = 0;
    std::string format;     // out: the stream's picture size, pixel format and codec
    bool playlist = false;  // out: a live playlist (HLS without its end)
    // In: the run's index of the input's first frame (an input opened
    // again), for the frame numbers of its messages.
    int64_t firstIndex = 0;
    // In and out: the container's id of the video stream decoded (an
    // MPEG-TS PID), -1 for none. A reopened input decodes the stream with
    // the id given when it still has it, not another programme's.
    int streamId = -1;
    // Out: the stream's own timestamp of its time 0 (ReadResult::seconds
    // count from it), in seconds; NaN when it has none.
    double startSeconds = std::numeric_limits<double>::quiet_NaN();
    // In: each picture's quantiser is read (DecoderOptions::quantisers).
    // The decoder then keeps to slice threads: a frame thread exports a
    // picture's quantisers before the picture is whole.
    bool quantisers = true;
};

// Opens a URL that libavformat opens itself (udp://, rtp://, srt://, rtmp://,
// http(s):// including HLS, ...) and decodes the first frame, waiting for it
// until `access.interrupt` gives up. Decoding goes on after damage, as with
// `continueAfterDamage`, and after a change of picture size (the pictures
// are scaled to the first size) or pixel format, which each read reports in
// ReadResult::formatChange. On failure returns null with the message (line
// feed included) in `error`.
std::unique_ptr<FrameSource> openDecoderUrl(const std::string& url, UrlAccess& access,
                                            std::string& error);

// The first `limit` bytes of the resource at `url` (a playlist), read until
// `access.interrupt` gives up; false when it cannot be read.
bool readUrlText(const std::string& url, const UrlAccess& access, size_t limit, std::string& text);

}  // namespace lumaqc
