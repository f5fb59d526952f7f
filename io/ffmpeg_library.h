// FFmpeg's libraries (libavformat, libavcodec, libswscale, libavutil),
// opened with dlopen the first time an input, a thumbnail or a version line
// needs them, once per process. Runs that never decode (raw and Y4M input,
// --help, profile checks, a host analysing its own pictures) do not pay for
// loading them and the hundred-odd libraries they pull in.
//
// The headers still give the types, macros and inline helpers; every call
// into the libraries goes through the table below, typed from the real
// declarations. Nothing links the libraries: a call that bypasses the table
// is a link error. The libraries are never closed (their threads and
// allocations may outlive any owner), so sanitizers see no leak either.
#pragma once

#ifdef LUMAQC_HAVE_DECODER

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <cstdarg>
#include <string>

namespace lumaqc::ffmpeg {

// Each function used, with the library it comes from.
#define LUMAQC_FFMPEG_FUNCTIONS(X)                \
    X(avutil, av_dict_free)                       \
    X(avutil, av_dict_get)                        \
    X(avutil, av_dict_set)                        \
    X(avutil, av_frame_alloc)                     \
    X(avutil, av_frame_clone)                     \
    X(avutil, av_frame_free)                      \
    X(avutil, av_frame_get_buffer)                \
    X(avutil, av_frame_get_side_data)             \
    X(avutil, av_frame_move_ref)                  \
    X(avutil, av_frame_unref)                     \
    X(avutil, av_free)                            \
    X(avutil, av_freep)                           \
    X(avutil, av_get_pix_fmt)                     \
    X(avutil, av_get_pix_fmt_name)                \
    X(avutil, av_image_fill_linesizes)            \
    X(avutil, av_log_set_callback)                \
    X(avutil, av_log_set_level)                   \
    X(avutil, av_malloc)                          \
    X(avutil, av_mallocz)                         \
    X(avutil, av_pix_fmt_desc_get)                \
    X(avutil, av_rescale)                         \
    X(avutil, av_rescale_q)                       \
    X(avutil, av_strerror)                        \
    X(avutil, avutil_version)                     \
    X(avcodec, av_packet_alloc)                   \
    X(avcodec, av_packet_clone)                   \
    X(avcodec, av_packet_free)                    \
    X(avcodec, av_packet_move_ref)                \
    X(avcodec, av_packet_unref)                   \
    X(avcodec, avcodec_alloc_context3)            \
    X(avcodec, avcodec_default_get_buffer2)       \
    X(avcodec, avcodec_descriptor_get)            \
    X(avcodec, avcodec_find_best_pix_fmt_of_list) \
    X(avcodec, avcodec_find_encoder)              \
    X(avcodec, avcodec_flush_buffers)             \
    X(avcodec, avcodec_free_context)              \
    X(avcodec, avcodec_get_class)                 \
    X(avcodec, avcodec_get_name)                  \
    X(avcodec, avcodec_open2)                     \
    X(avcodec, avcodec_parameters_to_context)     \
    X(avcodec, avcodec_receive_frame)             \
    X(avcodec, avcodec_receive_packet)            \
    X(avcodec, avcodec_send_frame)                \
    X(avcodec, avcodec_send_packet)               \
    X(avcodec, avcodec_version)                   \
    X(avformat, av_find_best_stream)              \
    X(avformat, av_guess_frame_rate)              \
    X(avformat, av_probe_input_buffer2)           \
    X(avformat, av_probe_input_format3)           \
    X(avformat, av_read_frame)                    \
    X(avformat, avformat_alloc_context)           \
    X(avformat, avformat_close_input)             \
    X(avformat, avformat_find_stream_info)        \
    X(avformat, avformat_get_class)               \
    X(avformat, avformat_open_input)              \
    X(avformat, avformat_version)                 \
    X(avformat, avio_alloc_context)               \
    X(avformat, avio_closep)                      \
    X(avformat, avio_context_free)                \
    X(avformat, avio_open2)                       \
    X(avformat, avio_read)                        \
    X(avformat, avio_seek)                        \
    X(avformat, avio_size)                        \
    X(swscale, sws_freeContext)                   \
    X(swscale, sws_getColorspaceDetails)          \
    X(swscale, sws_getContext)                    \
    X(swscale, sws_scale)                         \
    X(swscale, sws_setColorspaceDetails)          \
    X(swscale, swscale_version)

struct Functions {
#define LUMAQC_FFMPEG_POINTER(library, name) decltype(&::name) name = nullptr;
    LUMAQC_FFMPEG_FUNCTIONS(LUMAQC_FFMPEG_POINTER)
#undef LUMAQC_FFMPEG_POINTER
};

// Opens the libraries the first time (from any thread; later calls return
// at once). False when one cannot be loaded or lacks a function, with the
// reason in `error` when given: one line without a line feed that names the
// library ("cannot load libavformat.so.59 (...)"). The same answer for the
// life of the process.
bool load(std::string* error = nullptr);

// The table, once load() has returned true.
const Functions& api();

// Where the libraries' messages go from the moment they are loaded (now,
// when they already are): their level is set to quiet and `handler` becomes
// their callback.
void setMessageHandler(void (*handler)(void*, int, const char*, va_list));

// The parser libavformat feeds a stream's bytes through, or null (none, or
// a libavformat without av_stream_get_parser()).
const AVCodecParserContext* parserOf(const AVStream& stream);

// libsrt's log, when libavformat brought libsrt in (SRT inputs): it writes
// its own lines to the error stream unless told otherwise. Its messages of
// `level` (syslog's: LOG_ERR is 3) or worse go to `handler` (area, text)
// without time, thread or line feed; the others are not even made. Applied
// once the libraries are loaded, as setMessageHandler().
void setTransportLogHandler(void (*handler)(const char* area, const char* text), int level);

}  // namespace lumaqc::ffmpeg

#endif
