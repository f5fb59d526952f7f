#include "io/decoder_source.h"

#ifndef LUMAQC_HAVE_DECODER

namespace lumaqc {

std::string decoderLibraries() {
    return "";
}

std::string decoderMissing() {
    return "";
}

void installDecoderLogHandler(void (*)(const std::string&)) {}

std::unique_ptr<FrameSource> openDecoderSource(const std::string&, std::unique_ptr<InputStream>,
                                               const std::atomic<int>*, DecoderOpen& status,
                                               std::string&, const DecoderOptions&,
                                               const InputFile&) {
    status = DecoderOpen::NotVideo;
    return nullptr;
}

std::unique_ptr<FrameSource> openDecoderUrl(const std::string& url, UrlAccess& access,
                                            std::string& error) {
    access.permanent = true;
    error = "Cannot open " + url + ": this build has no decoder support\n";
    return nullptr;
}

bool readUrlText(const std::string&, const UrlAccess&, size_t, std::string&) {
    return false;
}

}  // namespace lumaqc

#else

extern "C" {
#include <libavutil/video_enc_params.h>
}

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "io/colour_picture.h"
#include "io/decoded_luma.h"
#include "io/display_name.h"
#include "io/ffmpeg_library.h"

namespace lumaqc {

namespace {

// Set on the demuxer's context while a source reads: libavformat's own
// account of a file that ends before its container says (Matroska and WebM
// log it and then end the stream as if it were complete).
struct DemuxerNotes {
    bool endedPrematurely = false;
    int missingSegments = 0;   // segments of a playlist that could not be opened (skipped)
    int sequenceRestarts = 0;  // live playlists whose media sequence went back
};

// Messages our decoders give (see readLibraryMessage()): each decoder's
// context points to its count, which frame threads (their copies of the
// context keep the pointer) add to at once.
struct DecoderErrors {
    std::atomic<int> lines{0};
};

// Whether readLibraryMessage() gets the libraries' messages.
std::atomic<bool> messagesRead{false};

// Nothing is printed (the program reports in its own words); the messages
// of our demuxer contexts are read for the damage they describe, and those
// of our decoders counted from the level of information: libavcodec tells
// errors, and the concealment of a damaged picture at that level ("concealing
// 157 DC, 157 AC, 157 MV errors in B frame"), before the picture comes out.
void readLibraryMessage(void* context, int level, const char* format, va_list) {
    if (context == nullptr || level > AV_LOG_INFO) return;
    const AVClass* kind = *static_cast<const AVClass* const*>(context);
    if (kind == ffmpeg::api().avcodec_get_class()) {
        auto* errors = static_cast<DecoderErrors*>(static_cast<AVCodecContext*>(context)->opaque);
        if (errors != nullptr) ++errors->lines;
        return;
    }
    if (level > AV_LOG_WARNING || kind != ffmpeg::api().avformat_get_class()) return;
    auto* notes = static_cast<DemuxerNotes*>(static_cast<AVFormatContext*>(context)->opaque);
    if (notes != nullptr && std::strncmp(format, "Failed to open segment", 22) == 0) {
        ++notes->missingSegments;
        return;
    }
    if (notes != nullptr && std::strncmp(format, "File ended prematurely", 22) == 0) {
        notes->endedPrematurely = true;
    }
    if (notes != nullptr && std::strncmp(format, "Media sequence changed unexpectedly", 35) == 0) {
        ++notes->sequenceRestarts;
    }
}

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    ffmpeg::api().av_strerror(code, text, sizeof text);
    return text;
}

std::string versionText(const char* name, unsigned version) {
    return std::string(name) + " " + std::to_string(AV_VERSION_MAJOR(version)) + "." +
           std::to_string(AV_VERSION_MINOR(version)) + "." +
           std::to_string(AV_VERSION_MICRO(version));
}

// The mean quantiser of a decoded picture over its area, on H.264's scale
// (the quantiser step doubles every 6): H.264 QPs as they are, the
// quantiser scale s of MPEG-1/2/4 (twice ffmpeg's -q:v in MPEG-2's linear
// scale) as 6 log2(1.6 s), its step of s against H.264's 0.625 * 2^(QP / 6).
// Blocks that read 0 are left out: H.264 decoders give skipped blocks 0, and
// a quantiser of 0 (lossless) says nothing about blocking. NaN when the
// decoder exports none (other codecs), or only zeros.
double quantiserOf(const AVFrame& frame) {
    const AVFrameSideData* side =
        ffmpeg::api().av_frame_get_side_data(&frame, AV_FRAME_DATA_VIDEO_ENC_PARAMS);
    if (side == nullptr) return std::numeric_limits<double>::quiet_NaN();
    auto* params = reinterpret_cast<AVVideoEncParams*>(side->data);
    if (params->type != AV_VIDEO_ENC_PARAMS_H264 && params->type != AV_VIDEO_ENC_PARAMS_MPEG2) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    double sum = 0.0;
    double area = 0.0;
    for (unsigned i = 0; i < params->nb_blocks; ++i) {
        // av_video_enc_params_block() without its assertion, which calls
        // av_log() (not in the table) where the compiler keeps it.
        const auto* block = reinterpret_cast<const AVVideoBlockParams*>(
            reinterpret_cast<const uint8_t*>(params) + params->blocks_offset +
            size_t{i} * params->block_size);
        const int q = params->qp + block->delta_qp;
        if (q <= 0) continue;
        const double a = static_cast<double>(block->w) * block->h;
        sum += a * q;
        area += a;
    }
    const double q = params->nb_blocks == 0 ? params->qp : area > 0.0 ? sum / area : 0.0;
    if (!(q > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    if (params->type == AV_VIDEO_ENC_PARAMS_H264) return q;
    return 6.0 * std::log2(1.6 * q);
}

struct FreeFrame {
    void operator()(AVFrame* frame) const { ffmpeg::api().av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FreeFrame>;

// One step of decoding as the reads take it: the next picture, or the end of
// the input, with the damage decoding it met.
struct Decoded {
    ReadStatus status = ReadStatus::Ok;
    std::string message;  // with status Error
    FramePtr frame;       // with status Ok
    int64_t index = 0;    // the frame's place in decoding order
    double seconds = 0.0;
    double quantiser = std::numeric_limits<double>::quiet_NaN();
    int damage = 0;
    std::string damageMessage;
    // What went wrong, to be told with the frame number it is reached at
    // (see DecoderSource::tell()), and the picture's bytes.
    std::string what;
    int64_t bytes = 0;
    // Its decoder met damage or reported an error between the start of its
    // group and this step.
    bool dirty = false;
    bool tail = false;  // it came while the decoder drained its group
};

// A decoder and what it met since the picture it gave last.
struct Lane {
    Lane() = default;
    Lane(const Lane&) = delete;
    Lane& operator=(const Lane&) = delete;
    ~Lane() {
        ffmpeg::api().av_frame_free(&frame);
        ffmpeg::api().av_packet_free(&packet);
        ffmpeg::api().avcodec_free_context(&decoder);
    }

    AVCodecContext* decoder = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;  // its latest picture, before decodeStep() takes it
    double quantiser = std::numeric_limits<double>::quiet_NaN();  // of frame
    int damage = 0;                                               // since that picture
    std::string damageMessage;
    int failures = 0;
    std::string pendingError;  // damage seen while reading, reported once drained
    DecoderErrors errors;      // since its group began
    bool damaged = false;      // since its group began
    bool draining = false;     // its group's packets all went in
    // Decoding groups: the group, and the last group finished (guarded by
    // the source's mutex).
    struct Group* group = nullptr;
    int64_t finished = -1;
};

// A packet read ahead for a group's decoder, with the damage met reading it.
struct Queued {
    AVPacket* packet = nullptr;
    std::vector<std::string> notes;
};

// Consecutive packets that a decoder begun at the first decodes into the
// pictures one decoder of the whole stream gives, and those pictures.
struct Group {
    ~Group() {
        for (Queued& queued : packets) ffmpeg::api().av_packet_free(&queued.packet);
    }
    std::deque<Queued> packets;
    std::vector<std::string> endNotes;  // damage met after its last packet
    bool closed = false;                // it has all its packets
    std::deque<Decoded> frames;         // decoded, up to its end
    int64_t bytes = 0;                  // of those pictures
    bool finished = false;              // frames holds its end
};

// Which packets begin a group (see startsGroup()).
enum class GroupStart { None, H264, Hevc, Key };

// What the NAL units of an access unit tell: whether its first slice lets
// a decoder begin there, and whether it carries parameter sets (all
// needed, or some).
struct AccessUnit {
    bool begins = false;
    bool allParameters = false;
    bool someParameters = false;
};

// Reads the NAL units of a packet up to its first slice, Annex B
// (lengthSize 0) or each behind its length in lengthSize bytes. H.264: the first slice is an IDR
// slice. HEVC: an IDR picture's first slice segment, which does not drop the pictures before it
// from the output.
AccessUnit scanAccessUnit(const uint8_t* data, int size, int lengthSize, bool hevc) {
    AccessUnit unit;
    unsigned seen = 0;  // parameter sets seen, one bit each
    bool slice = false;
    auto look = [&](const uint8_t* nal, int64_t length) {
        if (length < 1 || slice) return;
        if (!hevc) {
            const int type = nal[0] & 0x1f;
            if (type >= 1 && type <= 5) {
                slice = true;
                unit.begins = type == 5;
            } else if (type == 7 || type == 8) {
                seen |= 1u << (type - 7);
            }
            return;
        }
        const int type = (nal[0] >> 1) & 0x3f;
        if (type <= 31) {
            slice = true;
            unit.begins = (type == 19 || type == 20) && length >= 3 && (nal[2] & 0x80) != 0 &&
                          (nal[2] & 0x40) == 0;
        } else if (type >= 32 && type <= 34) {
            seen |= 1u << (type - 32);
        }
    };
    const uint8_t* end = data + size;
    if (lengthSize > 0) {
        for (const uint8_t* at = data; end - at >= lengthSize;) {
            int64_t length = 0;
            for (int i = 0; i < lengthSize; ++i) length = (length << 8) | at[i];
            at += lengthSize;
            if (length > end - at) break;
            look(at, length);
            at += length;
        }
    } else {
        // Only the first bytes of a unit are read: its length is taken to
        // the end of the packet. The first slice ends the scan.
        for (const uint8_t* at = data; !slice && end - at >= 3; ++at) {
            if (at[0] != 0 || at[1] != 0 || at[2] != 1) continue;
            look(at + 3, end - at - 3);
            at += 2;
        }
    }
    unit.allParameters = seen == (hevc ? 7u : 3u);
    unit.someParameters = seen != 0;
    return unit;
}

class DecoderSource : public FrameSource {
  public:
    DecoderSource(const std::string& path, std::unique_ptr<InputStream> input,
                  const std::atomic<int>* stop, const DecoderOptions& options,
                  const InputFile& facts)
        : input_(std::move(input)),
          stop_(stop),
          goOn_(options.continueAfterDamage),
          quantisers_(options.quantisers),
          decoderThreads_(options.decoderThreads),
          groupDecoders_(std::clamp(options.groupDecoders, 1, kMaxLanes)),
          frameThreads_(std::clamp(options.frameThreads, 1, kMaxFrameThreads)),
          // A regular file or a pipe is decoded ahead on a thread of its own
          // while the frames before are analysed. A pipe's reads wait for
          // the writer in poll(), which wake_ ends when the source is let go.
          sequenceStart_(options.sequenceStart),
          ahead_(input_ != nullptr || facts.sizeBytes >= 0 || sequenceStart_ >= 0) {
        info_.path = path;
        info_.kind = "decoder";
        info_.file = facts;
        info_.frames = -1;
        name_ = printableName(input_ ? input_->name() : path);
    }

    ~DecoderSource() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        wakeDecoding();
        roomFreed_.notify_all();
        changed_.notify_all();
        if (decoding_.joinable()) decoding_.join();
        if (demuxing_.joinable()) demuxing_.join();
        for (std::thread& thread : groupDecoding_) thread.join();
        if (wake_ >= 0) close(wake_);
        queue_.clear();
        groups_.clear();
        current_ = {};
        lanes_.clear();
        ffmpeg::api().av_packet_free(&firstPacket_);
        ffmpeg::api().avformat_close_input(&format_);
        if (io_ != nullptr && input_) {
            ffmpeg::api().av_freep(&io_->buffer);
            ffmpeg::api().avio_context_free(&io_);
        } else {
            ffmpeg::api().avio_closep(&io_);
        }
    }

    DecoderOpen open(std::string& error) {
        // A stop signal ends waits in libavformat (and in our reads below).
        const AVIOInterruptCB interrupt{&stopRequested, this};
        if (input_) {
            // A pipe: libavformat reads through our stream, which still holds
            // the bytes peeked to look for a Y4M signature.
            constexpr int kBufferSize = 1 << 16;
            auto* buffer = static_cast<unsigned char*>(ffmpeg::api().av_malloc(kBufferSize));
            if (buffer != nullptr) {
                io_ = ffmpeg::api().avio_alloc_context(buffer, kBufferSize, 0, this, &readInput,
                                                       nullptr, nullptr);
            }
            if (io_ == nullptr) {
                ffmpeg::api().av_free(buffer);
                error = "lumaqc: not enough memory to decode " + name_ + "\n";
                return DecoderOpen::Failed;
            }
            // Without it the thread decoding ahead ends within
            // InputStream::kGiveUpCheckMs of the source's release.
            if (ahead_) wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        } else if (sequenceStart_ >= 0) {
            return openSequence(interrupt, error);
        } else if (ffmpeg::api().avio_open2(&io_, info_.path.c_str(), AVIO_FLAG_READ, &interrupt,
                                            nullptr) < 0) {
            return DecoderOpen::NotVideo;
        }
        // Recognise the container first, so that a damaged file of a known
        // kind gets its own message instead of being taken for raw video.
        const AVInputFormat* container = nullptr;
        const char* url = input_ ? "" : info_.path.c_str();
        if (ffmpeg::api().av_probe_input_buffer2(io_, &container, url, nullptr, 0, 0) < 0 ||
            container == nullptr) {
            return DecoderOpen::NotVideo;
        }
        // Raw video has no header that gives its size: it needs WIDTH HEIGHT.
        if (std::strcmp(container->name, "rawvideo") == 0) return DecoderOpen::NotVideo;
        format_ = ffmpeg::api().avformat_alloc_context();
        if (format_ == nullptr) {
            error = "lumaqc: not enough memory to decode " + name_ + "\n";
            return DecoderOpen::Failed;
        }
        format_->pb = io_;
        format_->flags |= AVFMT_FLAG_CUSTOM_IO;
        format_->interrupt_callback = interrupt;
        format_->opaque = &notes_;
        int code = ffmpeg::api().avformat_open_input(&format_, url, container, nullptr);
        if (code < 0) {  // the context is freed on failure
            error = "Cannot read " + name_ + " (" + container->name + "): " + avError(code) +
                    "; the file may be damaged or truncated\n";
            return DecoderOpen::Failed;
        }
        return openStreams(error);
    }

    // A numbered sequence of pictures: libavformat's image demuxer opens
    // each file in turn from the first number.
    DecoderOpen openSequence(const AVIOInterruptCB& interrupt, std::string& error) {
        format_ = ffmpeg::api().avformat_alloc_context();
        if (format_ == nullptr) {
            error = "lumaqc: not enough memory to decode " + name_ + "\n";
            return DecoderOpen::Failed;
        }
        format_->interrupt_callback = interrupt;
        format_->opaque = &notes_;
        AVDictionary* options = nullptr;
        ffmpeg::api().av_dict_set(&options, "start_number", std::to_string(sequenceStart_).c_str(),
                                  0);
        const int code =
            ffmpeg::api().avformat_open_input(&format_, info_.path.c_str(), nullptr, &options);
        ffmpeg::api().av_dict_free(&options);
        if (code < 0) {  // the context is freed on failure
            error = "Error opening the file " + name_ + ": " +
                    (code == AVERROR(ENOENT) ? std::string(std::strerror(ENOENT)) : avError(code)) +
                    " \n";
            return DecoderOpen::Failed;
        }
        return openStreams(error);
    }

    // A URL: libavformat opens the connection itself, and gives up any wait
    // on the network when the interrupt callback says so.
    DecoderOpen openUrl(UrlAccess& access, std::string& error) {
        format_ = ffmpeg::api().avformat_alloc_context();
        if (format_ == nullptr) {
            error = "Cannot decode " + name_ + ": out of memory\n";
            return DecoderOpen::Failed;
        }
        outerInterrupt_ = access.interrupt;
        outerOpaque_ = access.opaque;
        firstIndex_ = access.firstIndex;
        format_->interrupt_callback.callback = &DecoderSource::urlInterrupt;
        format_->interrupt_callback.opaque = this;
        format_->opaque = &notes_;
        // UDP: a receive queue that overflows drops packets (the decoder
        // copes) instead of ending the input; the port can be bound again
        // at once when the input is reopened (a command started meanwhile
        // may hold the old socket for a moment).
        AVDictionary* options = nullptr;
        ffmpeg::api().av_dict_set(&options, "overrun_nonfatal", "1", 0);
        ffmpeg::api().av_dict_set(&options, "reuse", "1", 0);
        // A live playlist that stops growing is waited for as long as the
        // run lasts (see LiveSource::interruptCallback), not ended after a
        // thousand reloads.
        ffmpeg::api().av_dict_set(&options, "m3u8_hold_counters", "2147483647", 0);
        ffmpeg::api().av_dict_set(&options, "max_reload", "2147483647", 0);
        // A live stream is looked at for half a second before its pictures
        // are decoded, so that a source that comes back is seen at once.
        format_->max_analyze_duration = AV_TIME_BASE / 2;
        const int code =
            ffmpeg::api().avformat_open_input(&format_, info_.path.c_str(), nullptr, &options);
        ffmpeg::api().av_dict_free(&options);
        if (code < 0) {  // the context is freed on failure
            access.permanent = code == AVERROR_PROTOCOL_NOT_FOUND || code == AVERROR(EINVAL);
            error = "Cannot open " + name_ + ": " + avError(code) + "\n";
            return DecoderOpen::Failed;
        }
        follow_ = true;
        wantedId_ = access.streamId;
        const DecoderOpen opened = openStreams(error);
        if (opened == DecoderOpen::NotVideo) {
            access.permanent = true;
            error = "Cannot decode " + name_ + ": it has no video stream\n";
            return DecoderOpen::Failed;
        }
        access.format = formatText_;
        if (opened == DecoderOpen::Ok) access.streamId = format_->streams[stream_]->id;
        if (opened == DecoderOpen::Ok && startTime_ != AV_NOPTS_VALUE && timeBase_.den > 0) {
            access.startSeconds = static_cast<double>(startTime_) * av_q2d(timeBase_);
        }
        if (opened == DecoderOpen::Ok && access.width > 0 && access.height > 0) {
            info_.width = access.width;  // pictures of another size are scaled to it
            info_.height = access.height;
        }
        // A file served over the network has a size, a duration or both; a
        // live stream has neither.
        // A playlist (HLS) is live until it says it has ended, which gives it
        // a duration; its own file has a size either way.
        const bool playlist = std::strcmp(format_->iformat->name, "hls") == 0;
        playlist_ = playlist;
        access.playlist = playlist && !access.bounded;
        access.bounded =
            format_->duration > 0 || (!playlist && format_->pb != nullptr &&
                                      (ffmpeg::api().avio_size(format_->pb) > 0 ||
                                       (format_->pb->seekable & AVIO_SEEKABLE_NORMAL)));
        bounded_ = access.bounded;
        return opened;
    }

    // The video stream and its decoder, then the first frame.
    DecoderOpen openStreams(std::string& error) {
        int code = follow_ && cutsAnalysis()
                       ? analyseLive()
                       : ffmpeg::api().avformat_find_stream_info(format_, nullptr);
        if (code < 0) {
            error = "Cannot read the streams of " + name_ + ": " + avError(code) + "\n";
            return DecoderOpen::Failed;
        }
        const AVCodec* codec = nullptr;
        stream_ = ffmpeg::api().av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, wantedStream(), -1,
                                                    &codec, 0);
        if (stream_ < 0 && stream_ != AVERROR_STREAM_NOT_FOUND && wantedStream() >= 0) {
            stream_ =
                ffmpeg::api().av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
        }
        if (stream_ == AVERROR_STREAM_NOT_FOUND) {
            error = "Cannot decode " + name_ + ": it has no video stream\n";
            return DecoderOpen::NotVideo;
        }
        if (stream_ < 0 || codec == nullptr) {
            error = "Cannot decode the video of " + name_ + ": no decoder for its codec\n";
            return DecoderOpen::Failed;
        }
        AVStream* stream = format_->streams[stream_];
        // Headerless raw samples whose layout the container does not know.
        const AVCodecParameters* params = stream->codecpar;
        if (params->codec_id == AV_CODEC_ID_RAWVIDEO &&
            (params->format < 0 || params->width <= 0 || params->height <= 0)) {
            return DecoderOpen::NotVideo;
        }
        // A live stream whose analysis decoded no picture (joined between
        // key pictures further apart than the look, or before its first
        // programme table): decoded from its next key packet (see feed()).
        awaitKey_ = follow_ && (params->width <= 0 || params->format < 0) ? kJoinPackets : 0;
        // A regular H.264 file whose decoder's messages are heard: frame
        // threads up to the first sign of damage (see checked()). Not when
        // the quantisers are read: a frame thread exports a picture's
        // quantisers as it hands the picture on, while decoding a later
        // packet, and the thread decoding that picture may not have reached
        // its last macroblocks yet; their quantisers would depend on the
        // timing. Pictures are whole by the time they are taken.
        threaded_ = ahead_ && input_ == nullptr && !follow_ && frameThreads_ > 1 && messagesRead &&
                    !quantisers_ && params->codec_id == AV_CODEC_ID_H264;
        codec_ = codec;
        lanes_.push_back(std::make_unique<Lane>());
        code = openLane(*lanes_[0], *codec, *stream->codecpar, threaded_ ? frameThreads_ : 0);
        if (code >= 0 && threaded_) {
            threaded_ = (lanes_[0]->decoder->active_thread_type & FF_THREAD_FRAME) != 0;
        }
        if (code == AVERROR(ENOMEM)) {
            error = "lumaqc: not enough memory to decode " + name_ + "\n";
            return DecoderOpen::Failed;
        }
        if (code < 0) {
            error = "Cannot open the " + std::string(codec->name) + " decoder for " + name_ + ": " +
                    avError(code) + "\n";
            return DecoderOpen::Failed;
        }
        info_.codec = codec->name;
        declaredFrames_ = stream->nb_frames;
        timeBase_ = stream->time_base;
        startTime_ = stream->start_time;
        // A duration the container states (not one estimated from the bit rate).
        if (format_->duration > 0 &&
            format_->duration_estimation_method == AVFMT_DURATION_FROM_STREAM) {
            declaredEnd_ = format_->duration;
            const AVRational rate = ffmpeg::api().av_guess_frame_rate(format_, stream, nullptr);
            frameTime_ =
                rate.num > 0 ? ffmpeg::api().av_rescale(AV_TIME_BASE, rate.den, rate.num) : 0;
        }
        for (AVRational rate : {stream->avg_frame_rate, stream->r_frame_rate}) {
            if (rate.num > 0 && rate.den > 0) {
                info_.fps = av_q2d(rate);
                info_.fpsKnown = true;
                break;
            }
        }
        describeStream(*stream, format_->iformat->name);
        if (follow_) companionEnds_.assign(format_->nb_streams, AV_NOPTS_VALUE);

        // The first frame fixes the picture size for the whole run. Frame
        // threads that met damage on the way to it leave the file to one
        // decoder at once.
        current_ = decodeStep(*lanes_[0]);
        if (threaded_ && (current_.dirty || current_.status == ReadStatus::Error)) {
            current_ = {};
            lanes_.clear();
            threaded_ = false;
            if (!readAgainAlone(error)) return DecoderOpen::Failed;
            stream = format_->streams[stream_];
            current_ = decodeStep(*lanes_[0]);
        }
        tell(current_, "");
        if (current_.status == ReadStatus::Error) {
            error = current_.message;
            return DecoderOpen::Failed;
        }
        if (current_.status == ReadStatus::End) {
            error = "No video frame could be decoded from " + name_ + "\n";
            return DecoderOpen::Failed;
        }
        const AVFrame& frame = *current_.frame;
        if (static_cast<int64_t>(frame.width) * frame.height >
            std::numeric_limits<int32_t>::max()) {
            error = "Picture size " + std::to_string(frame.width) + " x " +
                    std::to_string(frame.height) + " of " + name_ + " is too large\n";
            return DecoderOpen::Failed;
        }
        info_.width = frame.width;
        info_.height = frame.height;
        const auto format = static_cast<AVPixelFormat>(frame.format);
        const AVPixFmtDescriptor* desc = ffmpeg::api().av_pix_fmt_desc_get(format);
        info_.pixelFormat = desc != nullptr ? desc->name : "unknown";
        info_.bitDepth = desc != nullptr && desc->nb_components > 0 ? desc->comp[0].depth : 0;
        info_.samplesReduced = !lumaIsPlane0(format);
        describeScan(*stream->codecpar, frame);
        const int range = rangeOf(frame);
        info_.fullRange =
            range == 1 || (range < 0 && stream->codecpar->color_range == AVCOL_RANGE_JPEG);
        haveFrame_ = true;
        consumed_ = 1;
        if (follow_) noteFormat(frame);
        if (ahead_ && (threaded_ || !startGroups(*codec, *stream->codecpar))) {
            try {
                decoding_ = std::thread([this] { decodeAhead(); });
            } catch (const std::system_error&) {
                ahead_ = false;  // no thread to be had: the reads decode
            }
        }
        return DecoderOpen::Ok;
    }

    const SourceInfo& info() const override { return info_; }
    void keepColour() override { keepColour_ = true; }

    ReadResult read(int64_t index, uint8_t* luma) override { return deliver(index, luma, nullptr); }

    ReadResult readHeld(int64_t index, uint8_t* luma, HeldLuma& held) override {
        held = {};
        return deliver(index, luma, &held);
    }

  private:
    // Decodes up to frame `index` and delivers it: into `luma`, or, when
    // `held` is given and the picture allows, by a reference to the decoded
    // picture (which the decoder leaves as it is while it is referenced).
    ReadResult deliver(int64_t index, uint8_t* luma, HeldLuma* held) {
        ReadResult result;
        while (next_ <= index) {
            if (!haveFrame_) {
                current_ = take();
                if (current_.status != ReadStatus::Ok) {
                    result.status = current_.status;
                    result.message = current_.message;
                    takeDamage(result);
                    return result;
                }
            }
            haveFrame_ = false;
            // Damage among the frames skipped to reach the start is let go.
            if (next_ == index) {
                std::string message;
                if (!extractLuma(luma, held, message)) {
                    return ReadResult{ReadStatus::Error, message, false};
                }
                result.seconds = current_.seconds;
                result.quantiser = current_.quantiser;
                result.fullRange = rangeOf(*current_.frame);
                result.formatChange = std::exchange(formatChange_, std::string());
                if (keepColour_) result.colour = colourOf(*current_.frame);
                takeDamage(result);
            }
            ++next_;
        }
        return result;
    }

    // Decodes the next frame, or takes it from the decoding thread. Once the
    // input has ended, every take gives that end again. A stop request is
    // seen within kStopCheck, whichever thread the signal that made it came
    // to, and wakes the decoding thread from its wait for a pipe's writer: it
    // then hands over what the bytes read give and what the decoder held (as
    // the reads did on this thread), and ends. Should it not within
    // kStopGrace, the take gives the end of the input, which the run takes
    // for its stop.
    Decoded take() {
        if (!ahead_) return threaded_ ? checked(decodeStep(*lanes_[0])) : decodeOne();
        if (grouped_) return takeGrouped();
        std::unique_lock<std::mutex> lock(mutex_);
        if (queue_.empty() && ended_) {
            Decoded end;
            end.status = current_.status;
            end.message = current_.message;
            return end;
        }
        std::chrono::steady_clock::time_point stopSeen{};
        if (!awaitOrStop(lock, frameReady_, stopSeen, [this] { return !queue_.empty(); })) {
            return stopped();
        }
        Decoded next = std::move(queue_.front());
        queue_.pop_front();
        ended_ = next.status != ReadStatus::Ok;
        lock.unlock();
        roomFreed_.notify_one();
        if (threaded_) return checked(std::move(next));
        return next;
    }

    // A step of the frame threads, read only while their decoder has heard
    // no sign of damage since the file's start: no message (libavcodec
    // tells errors, and the concealment of a damaged picture, as it decodes
    // the picture), no damaged picture, no error. Such a picture is the one
    // one decoding thread gives. A picture can only refer to pictures
    // decoded before it, and the frame threads give a picture only after
    // the threads that decoded the packets before it finished (libavcodec
    // waits for them in their order), so whatever any picture it draws on
    // met was heard before it is given (a B-picture shown before the
    // damaged picture it refers to included): decodeStep() looks after the
    // picture comes out. At the first sign the file is decoded again from
    // its start by one thread (restart()).
    Decoded checked(Decoded next) {
        if (next.dirty || next.status == ReadStatus::Error) return restart();
        tell(next, "");
        if (next.status == ReadStatus::Ok) ++consumed_;
        return next;
    }

    // The decoding thread: frames decoded in order, up to kAhead waiting to
    // be read, until the input ends or the source is let go. Stop signals go
    // to the threads that wait for them. The first `drop` pictures are let
    // go (see restart()).
    void decodeAhead(int64_t drop = 0) {
        blockStopSignals();
        for (bool more = true; more;) {
            Decoded next = decodeStep(*lanes_[0]);
            if (drop > 0 && next.status == ReadStatus::Ok) {
                --drop;
                continue;
            }
            // Frame threads' steps are told by the reads, which may not take
            // them (see checked()).
            if (!threaded_) tell(next, "");
            more = next.status == ReadStatus::Ok;
            std::unique_lock<std::mutex> lock(mutex_);
            roomFreed_.wait(lock, [this] { return quit_ || queue_.size() < kAhead; });
            if (quit_) return;
            queue_.push_back(std::move(next));
            lock.unlock();
            frameReady_.notify_one();
        }
    }

    // The decoder's own picture buffers, cleared. A damaged picture leaves
    // samples the decoder never writes; from a pool they would hold what an
    // earlier picture left there, which depends on when the reads let their
    // pictures go, and the rows would change from run to run.
    static int zeroedBuffer(AVCodecContext* decoder, AVFrame* frame, int flags) {
        const int code = ffmpeg::api().avcodec_default_get_buffer2(decoder, frame, flags);
        for (int i = 0; code >= 0 && i < AV_NUM_DATA_POINTERS && frame->buf[i] != nullptr; ++i) {
            std::memset(frame->buf[i]->data, 0, frame->buf[i]->size);
        }
        return code;
    }

    // A decoder for the stream, as the first: one thread of its own, or
    // `frameThreads` of libavcodec's frame threads.
    int openLane(Lane& lane, const AVCodec& codec, const AVCodecParameters& params,
                 int frameThreads = 0) const {
        lane.decoder = ffmpeg::api().avcodec_alloc_context3(&codec);
        lane.packet = ffmpeg::api().av_packet_alloc();
        lane.frame = ffmpeg::api().av_frame_alloc();
        if (lane.decoder == nullptr || lane.packet == nullptr || lane.frame == nullptr) {
            return AVERROR(ENOMEM);
        }
        int code = ffmpeg::api().avcodec_parameters_to_context(lane.decoder, &params);
        lane.decoder->thread_count = decoderThreads_;
        // A live stream's quantisers come from slice threads only: a frame
        // thread exports a picture's quantisers as it hands the picture on,
        // while it decodes a later packet, and the thread decoding that
        // picture may not have reached its last macroblocks yet (see
        // threaded_). One thread decodes a 1080p25 H.264 channel in about a
        // sixth of a core (docs/performance.md).
        if (follow_ && quantisers_) lane.decoder->thread_type = FF_THREAD_SLICE;
        if (frameThreads > 1) {
            lane.decoder->thread_count = frameThreads;
            lane.decoder->thread_type = FF_THREAD_FRAME;
        }
        lane.decoder->get_buffer2 = zeroedBuffer;
        lane.decoder->opaque = &lane.errors;
        // The quantisers of each picture (H.264, MPEG-1/2/4), for the QC rules.
        if (quantisers_) lane.decoder->export_side_data |= AV_CODEC_EXPORT_DATA_VIDEO_ENC_PARAMS;
        if (code >= 0) code = ffmpeg::api().avcodec_open2(lane.decoder, &codec, nullptr);
        lane.errors.lines = 0;  // opening warns of the buffers: frame threads would not take them
        return code;
    }

    // Several decoders, each on a thread of its own, decode groups of
    // consecutive packets at once when the stream can be cut into groups
    // that a decoder begun at their first packet decodes into the pictures
    // one decoder of the whole stream gives (see startsGroup()). One more
    // thread reads the packets and begins a group at each such packet (once
    // the group before has kMinGroup packets). Group n goes to decoder
    // n % decoders, which decodes it to its end and drains it; the reads
    // take the pictures group after group. The first group goes on from the
    // first picture, decoded already. False when the stream is decoded by
    // one decoder (decodeAhead()). Going on after damage, an H.264 file is
    // decoded in groups up to the first sign of damage (see restart()),
    // when its first picture is clean and the decoders' messages are heard.
    bool startGroups(const AVCodec& codec, const AVCodecParameters& params) {
        if (groupDecoders_ < 2 || follow_ || inputEnded_ || !lanes_[0]->pendingError.empty()) {
            return false;
        }
        if (goOn_ && (input_ != nullptr || params.codec_id != AV_CODEC_ID_H264 || !messagesRead ||
                      lanes_[0]->damaged || lanes_[0]->errors.lines > 0)) {
            return false;
        }
        const AVCodecDescriptor* kind = ffmpeg::api().avcodec_descriptor_get(params.codec_id);
        if (params.codec_id == AV_CODEC_ID_H264) {
            groupStart_ = GroupStart::H264;
        } else if (params.codec_id == AV_CODEC_ID_HEVC) {
            groupStart_ = GroupStart::Hevc;
        } else if (kind != nullptr && (kind->props & AV_CODEC_PROP_INTRA_ONLY) != 0 &&
                   params.codec_id != AV_CODEC_ID_FFV1) {
            // FFV1's pictures keep the coder's state of the picture before
            // unless they are key pictures: its key flag counts.
            groupStart_ = GroupStart::Key;
        } else {
            return false;
        }
        // Length-prefixed NAL units (MP4, Matroska) have their parameter
        // sets and the size of the lengths in the extradata.
        const uint8_t* extra = params.extradata;
        if (groupStart_ == GroupStart::H264 && params.extradata_size >= 7 && extra[0] == 1) {
            nalLength_ = (extra[4] & 3) + 1;
        } else if (groupStart_ == GroupStart::Hevc && params.extradata_size >= 23 &&
                   extra[0] == 1) {
            nalLength_ = (extra[21] & 3) + 1;
        }
        for (int i = 1; i < groupDecoders_; ++i) {
            auto lane = std::make_unique<Lane>();
            if (openLane(*lane, codec, params) < 0) break;
            lanes_.push_back(std::move(lane));
        }
        if (lanes_.size() < 2) return false;
        groups_.push_back(std::make_unique<Group>());
        groupCount_ = 1;
        lanes_[0]->group = groups_.back().get();
        grouped_ = true;
        try {
            for (size_t i = 0; i < lanes_.size(); ++i) {
                groupDecoding_.emplace_back([this, i] { decodeGroups(i); });
            }
            demuxing_ = std::thread([this] { demux(); });
        } catch (const std::system_error&) {
            // Not every thread would start: the decoders' end before they
            // read anything (the packets come from the thread started
            // last), and one decoder decodes ahead as before.
            {
                std::lock_guard<std::mutex> lock(mutex_);
                quit_ = true;
            }
            changed_.notify_all();
            for (std::thread& thread : groupDecoding_) thread.join();
            groupDecoding_.clear();
            quit_ = false;
            grouped_ = false;
            groups_.clear();
            groupCount_ = 0;
            lanes_.resize(1);
            lanes_[0]->group = nullptr;
            return false;
        }
        return true;
    }

    // Whether a decoder begun at `packet` gives the pictures one decoder of
    // the whole stream gives from there: an H.264 access unit whose first
    // slice is an IDR slice, an HEVC IDR picture (CRA and BLA pictures have
    // leading pictures that refer to pictures before them), a key packet of
    // an intra-only codec. Once the stream carried parameter sets in its
    // packets, the access unit must carry them: the next group's decoder
    // sees none of the packets before. Every packet is looked at, for its
    // parameter sets; `eligible` says whether a group may begin there.
    bool startsGroup(const AVPacket& packet, bool eligible) {
        bool begins = false;
        if (groupStart_ == GroupStart::Key) {
            begins = (packet.flags & AV_PKT_FLAG_KEY) != 0;
        } else if (packet.data != nullptr) {
            const AccessUnit unit = scanAccessUnit(packet.data, packet.size, nalLength_,
                                                   groupStart_ == GroupStart::Hevc);
            inBandParameters_ = inBandParameters_ || unit.someParameters;
            begins = unit.begins && (unit.allParameters || !inBandParameters_);
        }
        return begins && eligible;
    }

    // The reading thread of the groups: each packet of the video stream
    // into the group it belongs to, up to kGroupPackets waiting.
    void demux() {
        blockStopSignals();
        std::string pending;
        int64_t size = packets_;  // of the group being read
        for (;;) {
            AVPacket* packet = ffmpeg::api().av_packet_alloc();
            std::vector<std::string> notes;
            std::string codec;
            PacketRead read = PacketRead::End;
            if (packet == nullptr) {
                pending = "not enough memory";
            } else {
                read = readVideoPacket(packet, notes, pending, codec);
            }
            const bool begins =
                read == PacketRead::Packet && startsGroup(*packet, size >= kMinGroup);
            size = begins ? 1 : size + 1;
            std::unique_lock<std::mutex> lock(mutex_);
            Group* group = groups_.back().get();
            if (read != PacketRead::Packet) {
                ffmpeg::api().av_packet_free(&packet);
                group->endNotes.insert(group->endNotes.end(), notes.begin(), notes.end());
                group->closed = true;
                demuxPending_ = pending;
                demuxed_ = true;
                lock.unlock();
                changed_.notify_all();
                return;
            }
            if (begins) {
                // The group's decoder is free once it finished its group before.
                const int64_t n = groupCount_;
                const auto lanes = static_cast<int64_t>(lanes_.size());
                changed_.wait(lock, [&] {
                    return quit_ || n < lanes || lanes_[n % lanes]->finished >= n - lanes;
                });
                if (!quit_) {
                    group->closed = true;
                    groups_.push_back(std::make_unique<Group>());
                    group = groups_.back().get();
                    ++groupCount_;
                    changed_.notify_all();
                }
            }
            changed_.wait(lock, [&] { return quit_ || group->packets.size() < kGroupPackets; });
            if (quit_) {
                ffmpeg::api().av_packet_free(&packet);
                return;
            }
            group->packets.push_back(Queued{packet, std::move(notes)});
            lock.unlock();
            changed_.notify_all();
        }
    }

    // The next packet of the lane's group into lane.packet, with the damage
    // the reading met: 1; 0 at the group's end; -1 when the source is let go.
    int takePacket(Lane& lane) {
        std::unique_lock<std::mutex> lock(mutex_);
        Group& group = *lane.group;
        changed_.wait(lock, [&] { return quit_ || !group.packets.empty() || group.closed; });
        if (quit_) return -1;
        std::vector<std::string> notes;
        int got = 0;
        if (!group.packets.empty()) {
            Queued queued = std::move(group.packets.front());
            group.packets.pop_front();
            ffmpeg::api().av_packet_move_ref(lane.packet, queued.packet);
            ffmpeg::api().av_packet_free(&queued.packet);
            notes = std::move(queued.notes);
            got = 1;
        } else {
            notes = std::move(group.endNotes);
        }
        lock.unlock();
        changed_.notify_all();
        for (const std::string& note : notes) noteDamage(lane, note);
        return got;
    }

    // A decoder's thread: groups i, i + decoders, ... each decoded to its
    // end, from a decoder emptied of the group before.
    void decodeGroups(size_t i) {
        blockStopSignals();
        Lane& lane = *lanes_[i];
        const auto lanes = static_cast<int64_t>(lanes_.size());
        for (auto n = static_cast<int64_t>(i);; n += lanes) {
            Group* group = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return quit_ || groupCount_ > n || demuxed_; });
                if (quit_ || groupCount_ <= n) return;
                group = groups_[static_cast<size_t>(n - firstGroup_)].get();
            }
            if (n > 0 && n < lanes) prime(lane);
            if (n > 0) {
                ffmpeg::api().avcodec_flush_buffers(lane.decoder);
                lane.failures = 0;
                lane.pendingError.clear();
                lane.errors.lines = 0;
                lane.damaged = false;
                lane.draining = false;
                lane.group = group;
            }
            for (bool more = true; more;) {
                Decoded next = decodeStep(lane);
                if (quit_) return;
                more = next.status == ReadStatus::Ok;
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return quit_ || roomFor(n, *group); });
                if (quit_) return;
                group->bytes += next.bytes;
                group->frames.push_back(std::move(next));
                if (!more) {
                    group->finished = true;
                    lane.finished = n;
                }
                lock.unlock();
                changed_.notify_all();
            }
        }
    }

    // Decodes the stream's first packet and lets its picture go: what the
    // decoder keeps from it beyond its pictures (the encoder's version,
    // which some decoders work around the bugs of) is then as in the first.
    void prime(Lane& lane) const {
        if (firstPacket_ == nullptr) return;
        ffmpeg::api().avcodec_send_packet(lane.decoder, firstPacket_);
        ffmpeg::api().avcodec_send_packet(lane.decoder, nullptr);
        while (ffmpeg::api().avcodec_receive_frame(lane.decoder, lane.frame) == 0) {
            ffmpeg::api().av_frame_unref(lane.frame);
        }
        ffmpeg::api().avcodec_flush_buffers(lane.decoder);
    }

    // Whether group n may have one more picture waiting: each group its
    // first picture (the reads wait for that of the group being read, the
    // others for none), then up to kLeadFrames for the group being read and
    // up to kAheadFrames for the others together, while the groups of its
    // decoder hold less than their share of kAheadBytes. A decoder keeps
    // the buffers of as many pictures as it ever had out at once, so the
    // share of each bounds the memory of them all.
    bool roomFor(int64_t n, const Group& group) const {
        if (group.frames.empty()) return true;
        const auto lanes = static_cast<int64_t>(lanes_.size());
        size_t frames = 0;
        int64_t bytes = 0;
        for (size_t g = 0; g < groups_.size(); ++g) {
            if (g > 0) frames += groups_[g]->frames.size();
            if ((firstGroup_ + static_cast<int64_t>(g)) % lanes == n % lanes) {
                bytes += groups_[g]->bytes;
            }
        }
        if (bytes >= kAheadBytes / lanes) return false;
        return n == firstGroup_ ? group.frames.size() < kLeadFrames : frames < kAheadFrames;
    }

    // take() from the groups: their pictures in order, then the end of the
    // last or the first error.
    Decoded takeGrouped() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (ended_) {
            Decoded end;
            end.status = current_.status;
            end.message = current_.message;
            return end;
        }
        std::chrono::steady_clock::time_point stopSeen{};
        auto await = [&](auto ready) { return awaitOrStop(lock, changed_, stopSeen, ready); };
        for (;;) {
            Group& group = *groups_.front();
            if (!await([&] { return !group.frames.empty(); })) return stopped();
            if (goOn_) {
                // Only steps that no damage can have touched are read from
                // the groups. The pictures a group's decoder gave while
                // draining come out of one decoder while it takes the next
                // group's first packets, and the damage met there is told
                // with them: they wait for the next group's first step.
                const Decoded& step = group.frames.front();
                bool damaged = step.dirty || step.status == ReadStatus::Error;
                if (!damaged && step.tail) {
                    if (!await([&] {
                            return (groups_.size() > 1 && !groups_[1]->frames.empty()) ||
                                   (demuxed_ && groups_.size() == 1);
                        })) {
                        return stopped();
                    }
                    const Decoded* first =
                        groups_.size() > 1 ? &groups_[1]->frames.front() : nullptr;
                    damaged = first != nullptr && (first->dirty || first->status != ReadStatus::Ok);
                }
                if (damaged) {
                    lock.unlock();
                    return restart();
                }
            }
            Decoded next = std::move(group.frames.front());
            group.frames.pop_front();
            group.bytes -= next.bytes;
            if (next.status == ReadStatus::End && groups_.size() > 1) {
                // A group's end: on to the next group.
                groups_.pop_front();
                ++firstGroup_;
                lock.unlock();
                changed_.notify_all();
                lock.lock();
                continue;
            }
            const std::string pending = demuxPending_;
            ended_ = next.status != ReadStatus::Ok;
            if (!ended_) ++consumed_;
            lock.unlock();
            changed_.notify_all();
            tell(next, pending);
            return next;
        }
    }

    // Once damage reached the groups or the frame threads, the file is
    // decoded again from its start by one decoder, as in a run without
    // them, which lets go of the pictures read already: the concealment of
    // a damaged picture draws on what that decoder kept from before its
    // group's IDR picture (a damaged IDR picture gets the last reference
    // picture before the stream's second IDR picture), and frame threads
    // conceal differently from run to run. Their threads end first.
    Decoded restart() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        changed_.notify_all();
        roomFreed_.notify_all();
        if (demuxing_.joinable()) demuxing_.join();
        if (decoding_.joinable()) decoding_.join();
        for (std::thread& thread : groupDecoding_) thread.join();
        groupDecoding_.clear();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = false;
            grouped_ = false;
            threaded_ = false;
            ended_ = false;
            groups_.clear();
            queue_.clear();
            lanes_.clear();
        }
        std::string error;
        if (!readAgainAlone(error)) {
            Decoded failed;
            failed.status = ReadStatus::Error;
            failed.message = error;
            ended_ = true;
            return failed;
        }
        const int64_t drop = consumed_;
        try {
            decoding_ = std::thread([this, drop] { decodeAhead(drop); });
        } catch (const std::system_error&) {
            ahead_ = false;  // the reads decode
            for (int64_t i = 0; i < drop; ++i) {
                Decoded next = decodeStep(*lanes_[0]);
                if (next.status != ReadStatus::Ok) {
                    tell(next, "");
                    return next;
                }
            }
        }
        return take();
    }

    // The demuxer closed and the file opened again from its start with one
    // decoder, its threads ended and its decoders let go.
    bool readAgainAlone(std::string& error) {
        const AVInputFormat* container = format_->iformat;
        ffmpeg::api().avformat_close_input(&format_);  // not io_, opened by us
        notes_ = DemuxerNotes{};
        missingSeen_ = 0;
        packets_ = 0;
        lastEnd_ = AV_NOPTS_VALUE;
        inputEnded_ = false;
        return reopen(*container, error);
    }

    // The file read again from its start for restart(), with a decoder as
    // the first: through the file opened at first, not by its path, which
    // may name another file by now (renamed over it) or none.
    bool reopen(const AVInputFormat& container, std::string& error) {
        int64_t code = ffmpeg::api().avio_seek(io_, 0, SEEK_SET);
        if (code >= 0) {
            // A read the restart interrupted (quit_) left its error on the
            // context, which demuxers give back at the end of the file.
            io_->error = 0;
            io_->eof_reached = 0;
            format_ = ffmpeg::api().avformat_alloc_context();
            code = format_ != nullptr ? 0 : AVERROR(ENOMEM);
        }
        if (code >= 0) {
            format_->pb = io_;
            format_->flags |= AVFMT_FLAG_CUSTOM_IO;
            format_->interrupt_callback = AVIOInterruptCB{&stopRequested, this};
            format_->opaque = &notes_;
            code = ffmpeg::api().avformat_open_input(&format_, info_.path.c_str(), &container,
                                                     nullptr);
        }
        if (code >= 0) code = ffmpeg::api().avformat_find_stream_info(format_, nullptr);
        if (code >= 0 && static_cast<unsigned>(stream_) < format_->nb_streams) {
            lanes_.push_back(std::make_unique<Lane>());
            code = openLane(*lanes_[0], *codec_, *format_->streams[stream_]->codecpar);
        } else if (code >= 0) {
            code = AVERROR_INVALIDDATA;
        }
        if (code < 0) {
            error = "Cannot read " + name_ +
                    " again from its start: " + avError(static_cast<int>(code)) + "\n";
            return false;
        }
        return true;
    }

    // Waits on `changed` until `ready` holds; false when a stop request went
    // unanswered for kStopGrace since `stopSeen` (see take()). The first
    // look at the request wakes the decoding threads.
    template <class Ready>
    bool awaitOrStop(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                     std::chrono::steady_clock::time_point& stopSeen, Ready ready) {
        while (!ready()) {
            if (stop_ != nullptr && stop_->load() != 0) {
                const auto now = std::chrono::steady_clock::now();
                if (stopSeen == std::chrono::steady_clock::time_point{}) {
                    stopSeen = now;
                    wakeDecoding();
                } else if (now - stopSeen > kStopGrace) {
                    return false;
                }
            }
            changed.wait_for(lock, kStopCheck);
        }
        return true;
    }

    static Decoded stopped() {
        Decoded end;
        end.status = ReadStatus::End;
        return end;
    }

    static void blockStopSignals() {
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    }

    // One decoder's next step, told in the order of the input.
    Decoded decodeOne() {
        Decoded next = decodeStep(*lanes_[0]);
        tell(next, "");
        return next;
    }

    // decodeNext() with what it told: the picture taken out of the lane and
    // the damage met since the step before.
    Decoded decodeStep(Lane& lane) {
        Decoded next;
        next.status = decodeNext(lane, next.what);
        next.damage = std::exchange(lane.damage, 0);
        next.damageMessage = std::exchange(lane.damageMessage, std::string());
        next.dirty = lane.damaged || lane.errors.lines > 0;
        next.tail = lane.draining;
        if (next.status != ReadStatus::Ok) return next;
        next.frame.reset(ffmpeg::api().av_frame_alloc());
        if (next.frame == nullptr) {
            next.status = ReadStatus::Error;
            next.message = "lumaqc: not enough memory to decode " + name_ + "\n";
            return next;
        }
        ffmpeg::api().av_frame_move_ref(next.frame.get(), lane.frame);
        next.quantiser = lane.quantiser;
        for (const AVBufferRef* buffer : next.frame->buf) {
            if (buffer != nullptr) next.bytes += static_cast<int64_t>(buffer->size);
        }
        return next;
    }

    // A step as the reads take it, in the order of the input: a picture gets
    // its number and time; an error, or the input's end (whose damage
    // `pending` or the checks of the end turn into one), the frame it is
    // reached at.
    void tell(Decoded& next, const std::string& pending) {
        if (next.status == ReadStatus::Ok) {
            stampFrame(*next.frame);
            next.index = decoded_++;
            next.seconds = frameSeconds_;
            return;
        }
        if (next.status == ReadStatus::End) {
            next.what = endOfInput(pending);
            if (!next.what.empty()) next.status = ReadStatus::Error;
        }
        if (next.status == ReadStatus::Error && next.message.empty()) {
            next.message = frameError(next.what);
        }
    }

    // Why the input's end is an error: damage seen while reading, fewer
    // packets than the container counts (unless they reach its duration:
    // AVI counts the empty chunks of dropped frames), a truncated file; or
    // empty.
    std::string endOfInput(const std::string& pending) const {
        if (!pending.empty()) return pending;
        if (declaredFrames_ > 0 && packets_ < declaredFrames_ && againstDeclaredEnd() <= 0) {
            return "the file ends after " + std::to_string(packets_) + " of its " +
                   std::to_string(declaredFrames_) + " frames (truncated)";
        }
        return truncation();
    }

    // A Matroska track's DURATION tag ("HH:MM:SS.nnnnnnnnn") in seconds, or
    // -1 when it is missing or malformed.
    static double trackDuration(const AVStream& stream) {
        const AVDictionaryEntry* tag =
            ffmpeg::api().av_dict_get(stream.metadata, "DURATION", nullptr, 0);
        if (tag == nullptr || tag->value == nullptr) return -1.0;
        unsigned hours = 0;
        unsigned minutes = 0;
        double seconds = -1.0;
        char end = '\0';
        if (std::sscanf(tag->value, "%u:%u:%lf%c", &hours, &minutes, &seconds, &end) != 3 ||
            minutes >= 60 || !(seconds >= 0.0 && seconds < 60.0)) {
            return -1.0;
        }
        return hours * 3600.0 + minutes * 60.0 + seconds;
    }

    // The container, duration and kind of frame rate of the stream.
    void describeStream(const AVStream& stream, const char* container) {
        info_.container = container;
        if (stream.duration != AV_NOPTS_VALUE && stream.duration > 0) {
            info_.durationSeconds = static_cast<double>(stream.duration) * av_q2d(stream.time_base);
        } else if (format_->duration != AV_NOPTS_VALUE && format_->duration > 0) {
            info_.durationSeconds = static_cast<double>(format_->duration) / AV_TIME_BASE;
            // Matroska states the segment's duration, which a longer audio
            // track stretches, and often each track's own in a DURATION tag.
            const bool matroska = std::strncmp(container, "matroska", 8) == 0;
            const double own = matroska ? trackDuration(stream) : -1.0;
            if (own > 0.0 && own < info_.durationSeconds) info_.durationSeconds = own;
            // Both count from the segment's time 0, not from the first frame:
            // a stream that starts later (an offset kept by the muxer) lasts
            // that much less.
            if (matroska && stream.start_time != AV_NOPTS_VALUE && stream.start_time > 0) {
                const double start =
                    static_cast<double>(stream.start_time) * av_q2d(stream.time_base);
                if (start < info_.durationSeconds) info_.durationSeconds -= start;
            }
        }
        // The average rate over the stream against the base rate, the lowest
        // that represents every timestamp: the same for evenly spaced frames,
        // up to the rounding of timestamps (Matroska keeps milliseconds).
        const AVRational average = stream.avg_frame_rate;
        const AVRational base = stream.r_frame_rate;
        if (average.num > 0 && average.den > 0 && base.num > 0 && base.den > 0) {
            const double ratio = av_q2d(average) / av_q2d(base);
            info_.frameRateKind = std::fabs(ratio - 1.0) < 0.005 ? "constant" : "variable";
        }
    }

    // The scan type and field order the container states, else those of the
    // first picture; the start timecode from the stream's or the file's tags
    // (a QuickTime timecode track shows as a tag of the video stream).
    void describeScan(const AVCodecParameters& params, const AVFrame& frame) {
        switch (params.field_order) {
            case AV_FIELD_PROGRESSIVE:
                info_.scanType = "progressive";
                break;
            case AV_FIELD_TT:
            case AV_FIELD_TB:
                info_.scanType = "interlaced";
                info_.fieldOrder = "tff";
                break;
            case AV_FIELD_BB:
            case AV_FIELD_BT:
                info_.scanType = "interlaced";
                info_.fieldOrder = "bff";
                break;
            default:
                if (frame.interlaced_frame != 0) {
                    info_.scanType = "interlaced";
                    info_.fieldOrder = frame.top_field_first != 0 ? "tff" : "bff";
                } else if (info_.codec != "rawvideo") {
                    info_.scanType = "progressive";
                }
                break;
        }
        const AVDictionaryEntry* tag =
            ffmpeg::api().av_dict_get(format_->streams[stream_]->metadata, "timecode", nullptr, 0);
        for (unsigned i = 0; tag == nullptr && i < format_->nb_streams; ++i) {
            tag = ffmpeg::api().av_dict_get(format_->streams[i]->metadata, "timecode", nullptr, 0);
        }
        if (tag == nullptr)
            tag = ffmpeg::api().av_dict_get(format_->metadata, "timecode", nullptr, 0);
        if (tag != nullptr && tag->value != nullptr) info_.startTimecode = tag->value;
    }

    // Ends the decoding thread's wait for a pipe's writer for good: the
    // reads then give up at once (they are to: the source is let go or a
    // stop came). Without wake_ they look at both every so often.
    void wakeDecoding() const {
        const uint64_t one = 1;
        if (wake_ >= 0 && write(wake_, &one, sizeof one) < 0) {
            // The reads still see the request within InputStream::kGiveUpCheckMs.
        }
    }

    static int stopRequested(void* opaque) {
        const auto* self = static_cast<const DecoderSource*>(opaque);
        if (self->quit_.load()) return 1;
        return self->stop_ != nullptr && self->stop_->load() != 0 ? 1 : 0;
    }

    // Fills libavformat's buffer from the pipe, as far as the input goes: a
    // stop request or the source's release end the wait for the writer.
    static int readInput(void* opaque, uint8_t* buffer, int size) {
        if (stopRequested(opaque) != 0) return AVERROR_EXIT;
        auto* self = static_cast<DecoderSource*>(opaque);
        InputStream& input = *self->input_;
        const size_t got = input.readWaiting(buffer, static_cast<size_t>(size),
                                             {self->wake_, &stopRequested, opaque});
        if (got > 0) return static_cast<int>(got);
        if (stopRequested(opaque) != 0) return AVERROR_EXIT;
        return input.failed() ? AVERROR(EIO) : AVERROR_EOF;
    }

    // Why the stream ended early although the demuxer reported a clean end,
    // or empty: libavformat found the file cut short, or the packets of all
    // streams end more than a frame before the duration the container states.
    // The packets' end against the duration the container states: -1 when
    // they end more than a frame short of it, 1 when they reach it, 0 when
    // either is unknown.
    int againstDeclaredEnd() const {
        if (declaredEnd_ <= 0 || lastEnd_ == AV_NOPTS_VALUE) return 0;
        // Timestamps that start below 0 (coding delay) shift the end down.
        const int64_t start =
            format_->start_time != AV_NOPTS_VALUE ? std::min<int64_t>(format_->start_time, 0) : 0;
        return lastEnd_ - start < declaredEnd_ - std::max<int64_t>(frameTime_, 1) ? -1 : 1;
    }

    std::string truncation() const {
        if (notes_.endedPrematurely) return "the file ends prematurely (truncated)";
        if (againstDeclaredEnd() < 0) {
            char text[128];
            std::snprintf(text, sizeof text, "the file ends at %.2f s of its %.2f s (truncated)",
                          static_cast<double>(lastEnd_) / AV_TIME_BASE,
                          static_cast<double>(declaredEnd_) / AV_TIME_BASE);
            return text;
        }
        return "";
    }

    void takeDamage(ReadResult& result) {
        result.damage = std::exchange(current_.damage, 0);
        result.damageMessage = std::exchange(current_.damageMessage, std::string());
    }

    // Counts damage that decoding goes on after.
    static void noteDamage(Lane& lane, const std::string& what) {
        lane.damaged = true;
        if (lane.damage == 0) lane.damageMessage = what;
        if (lane.damage < std::numeric_limits<int>::max()) ++lane.damage;
    }

    // Seconds from the start of the stream to the frame's presentation time;
    // a frame without a timestamp follows the one before by 1 / fps.
    void stampFrame(const AVFrame& frame) {
        const int64_t ts = frame.best_effort_timestamp;
        if (ts != AV_NOPTS_VALUE && timeBase_.den > 0) {
            if (startTime_ == AV_NOPTS_VALUE) startTime_ = ts;
            frameSeconds_ = static_cast<double>(ts - startTime_) * av_q2d(timeBase_);
        } else if (decoded_ > 0 && info_.fpsKnown) {
            frameSeconds_ += 1.0 / info_.fps;
        } else {
            frameSeconds_ = std::numeric_limits<double>::quiet_NaN();
        }
    }

    // The range of a picture's luma: 1 full (tagged so, or FFmpeg's yuvj
    // formats), 0 the video range, -1 untold. RGB pictures (which decoders
    // tag full) give their luma in the video range (see DecodedLuma).
    static int rangeOf(const AVFrame& frame) {
        const AVPixFmtDescriptor* desc =
            ffmpeg::api().av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
        if (desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0) return 0;
        if (frame.color_range == AVCOL_RANGE_JPEG ||
            (desc != nullptr && std::strncmp(desc->name, "yuvj", 4) == 0)) {
            return 1;
        }
        return frame.color_range == AVCOL_RANGE_MPEG ? 0 : -1;
    }

    std::string frameError(const std::string& what) const {
        return "Error decoding frame " + std::to_string(firstIndex_ + decoded_) + " of " + name_ +
               ": " + what + "\n";
    }

    // Decodes the lane's next picture into lane.frame: Ok; End when its
    // input ends; Error with `what` (empty when the source is let go).
    // Damage found while reading stops the feeding; the pictures the decoder
    // still holds are delivered first.
    ReadStatus decodeNext(Lane& lane, std::string& what) {
        for (;;) {
            int code = ffmpeg::api().avcodec_receive_frame(lane.decoder, lane.frame);
            if (code == 0) {
                // Live URLs only (see silent()): files decoded in groups come
                // here from several threads at once.
                if (follow_) packetsSincePicture_ = 0;
                if ((lane.frame->flags & AV_FRAME_FLAG_CORRUPT) != 0 ||
                    lane.frame->decode_error_flags != 0) {
                    if (!goOn_) {
                        what = "the picture is damaged";
                        return ReadStatus::Error;
                    }
                    noteDamage(lane, "the picture is damaged");
                } else if (follow_) {
                    packetsSinceFrame_ = 0;
                    recent_.clear();
                }
                lane.quantiser = quantiserOf(*lane.frame);
                return ReadStatus::Ok;
            }
            if (code == AVERROR_EOF) {
                if (!lane.pendingError.empty()) {
                    what = lane.pendingError;
                    return ReadStatus::Error;
                }
                return ReadStatus::End;
            }
            if (code != AVERROR(EAGAIN)) {
                if (!goOn_) {
                    what = avError(code);
                    return ReadStatus::Error;
                }
                noteDamage(lane, avError(code));
                if (++lane.failures > kMaxFailures) {
                    what = avError(code);
                    return ReadStatus::Error;
                }
                continue;
            }
            lane.failures = 0;
            if (!feed(lane, what)) return ReadStatus::Error;
        }
    }

    // Gives the lane's decoder its next packet, or the end of its input,
    // which makes it drain what it holds. False when decoding must end at
    // once: the stream changed codec (`what` says so), or the source is let
    // go.
    bool feed(Lane& lane, std::string& what) {
        if (lane.group != nullptr) {
            const int got = takePacket(lane);
            if (got < 0) return false;
            if (got == 0) {
                lane.draining = true;
                ffmpeg::api().avcodec_send_packet(lane.decoder, nullptr);
                return true;
            }
        } else {
            std::vector<std::string> notes;
            std::string change;
            const PacketRead read = readVideoPacket(lane.packet, notes, lane.pendingError, change);
            for (const std::string& note : notes) noteDamage(lane, note);
            if (read == PacketRead::Changed) {
                what = change;
                return false;
            }
            if (read == PacketRead::End) {
                inputEnded_ = true;
                ffmpeg::api().avcodec_send_packet(lane.decoder, nullptr);  // drain what is held
                return true;
            }
        }
        // A stream joined between key frames, its picture size not known
        // (analyseLive()): the packets before the next key packet give no
        // picture, only the decoder's complaints (no sequence header, no
        // reference), which are not damage of the stream.
        if (awaitKey_ > 0 && (lane.packet->flags & AV_PKT_FLAG_KEY) == 0) {
            --awaitKey_;
            ffmpeg::api().av_packet_unref(lane.packet);
            return true;
        }
        awaitKey_ = 0;
        if (firstPacket_ == nullptr) firstPacket_ = ffmpeg::api().av_packet_clone(lane.packet);
        const int code = ffmpeg::api().avcodec_send_packet(lane.decoder, lane.packet);
        ffmpeg::api().av_packet_unref(lane.packet);
        if (code < 0) {
            if (goOn_ && code != AVERROR(EAGAIN)) {
                noteDamage(lane, avError(code));
                return true;
            }
            lane.pendingError = avError(code);
            ffmpeg::api().avcodec_send_packet(lane.decoder, nullptr);
        }
        return true;
    }

    enum class PacketRead { Packet, End, Changed };

    // Reads the next packet of the video stream into `packet`: Packet; End
    // at the end of the input, or when damage ends it (`pending` says why);
    // Changed when the stream changed codec or went on without its video
    // stream (`change` says so), to be opened again. `notes` gets the damage
    // met on the way that decoding goes on after.
    PacketRead readVideoPacket(AVPacket* packet, std::vector<std::string>& notes,
                               std::string& pending, std::string& change) {
        if (follow_ && format_->pb != nullptr) {
            quietSince_ = steadySeconds();
            bytesWhenQuiet_ = format_->pb->bytes_read;
            parsedWhenQuiet_ = parsedBytes();
            companions_ = Companions::None;
        }
        for (;;) {
            const int code = ffmpeg::api().av_read_frame(format_, packet);
            if (code < 0) {
                if (starved_) {
                    change = "the input goes on, but without packets of its video stream";
                    return PacketRead::Changed;
                }
                if (restarted_) {
                    change = "the playlist started again (its media sequence went back)";
                    return PacketRead::Changed;
                }
                if (code != AVERROR_EOF) {
                    pending = avError(code);
                } else if (format_->pb != nullptr && format_->pb->error < 0) {
                    pending = avError(format_->pb->error);
                }
                return PacketRead::End;
            }
            noteEnd(*packet);
            if (notes_.missingSegments > missingSeen_) {
                missingSeen_ = notes_.missingSegments;
                if (goOn_) {
                    notes.emplace_back("a segment of the playlist is missing");
                } else {
                    pending = "a segment of the playlist is missing";
                }
            }
            if (packet->stream_index != stream_) {
                noteCompanion(*packet);
                ffmpeg::api().av_packet_unref(packet);
                continue;
            }
            ++packets_;
            noteVideoPacket(*packet);
            if (silent()) {
                ffmpeg::api().av_packet_unref(packet);
                change = "the decoder makes no picture of the packets of its video stream";
                return PacketRead::Changed;
            }
            const std::string codec = changedCodec(*packet);
            if (!codec.empty()) {
                ffmpeg::api().av_packet_unref(packet);
                change = "the video is now " + codec + " (the stream changed codec)";
                return PacketRead::Changed;
            }
            // Going on, a damaged packet still goes to the decoder, which
            // conceals what it can.
            if ((packet->flags & AV_PKT_FLAG_CORRUPT) != 0) {
                if (goOn_) {
                    notes.emplace_back("the input is damaged or truncated");
                } else {
                    ffmpeg::api().av_packet_unref(packet);
                    pending = "the input is damaged or truncated";
                    return PacketRead::End;
                }
            }
            return PacketRead::Packet;
        }
    }

    // A live MPEG-TS stream replaced by one with other PIDs, or whose video
    // changed codec under the same PID (the demuxer's parser for the old
    // codec swallows the new one's bytes), reads on without a packet of the
    // video stream; without audio the demuxer never even returns. The
    // interrupt callback gives the read up when the input delivered bytes
    // for 0.5 s (3 frames at least) of one read without a packet of the
    // video stream, so that the input is opened again (its new demuxer sees
    // the new stream) before the stall timeout makes it a signal loss.
    // (Counted from the start of the read: a run that was busy elsewhere
    // meanwhile finds the input's bytes waiting, not missing packets.)
    static int urlInterrupt(void* opaque) {
        auto* self = static_cast<DecoderSource*>(opaque);
        if (self->outerInterrupt_ != nullptr && self->outerInterrupt_(self->outerOpaque_) != 0) {
            return 1;
        }
        if (self->analyseUntil_ > 0.0 && steadySeconds() > self->analyseUntil_) {
            self->cutAnalysis_ = true;
            return 1;
        }
        if (self->starving()) self->starved_ = true;
        // A live playlist started again by a restarted packager: the demuxer
        // would wait for the media sequence it had reached, skipping as many
        // segments of the new one. Opened again, it starts near the new end.
        if (self->playlist_ && self->notes_.sequenceRestarts > 0) self->restarted_ = true;
        return self->starved_ || self->restarted_ ? 1 : 0;
    }

    // The index of the video stream whose container id is wantedId_ (the
    // stream a live input decoded before it was opened again); -1 when
    // there is none, and libavformat chooses.
    int wantedStream() const {
        if (wantedId_ < 0) return -1;
        for (unsigned i = 0; i < format_->nb_streams; ++i) {
            const AVStream* stream = format_->streams[i];
            if (stream->id == wantedId_ && stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    // A live stream's analysis. libavformat looks at an MPEG-TS stream
    // until it has read the packets of half a second of its timeline (four
    // packets at least), and the demuxer hands on each packet only when the
    // next one starts: a sender of one picture a second takes five seconds.
    // The analysis is therefore given up after kAnalyseSeconds of the wall
    // clock, which a stream of four pictures a second or more never
    // reaches; what it found by then stands when it found a stream at all
    // (the packets it read stay for the decoder), else it goes on looking.
    // It is never looked at again once it has streams: libavformat frees
    // the streams' analysis state at the end of each look, and a second
    // look at a stream reads that state (a crash). A video stream whose
    // picture size is not known yet (a feed joined between two key frames
    // further apart than the look) is left to the decoder (see feed()).
    // Only where a read given up loses no byte: MPEG-TS in datagrams (UDP)
    // or messages (SRT); a read of RTMP or of HTTP's chunks given up
    // halfway would lose its place.
    bool cutsAnalysis() const {
        const std::string& url = info_.path;
        return std::strcmp(format_->iformat->name, "mpegts") == 0 &&
               (url.rfind("udp://", 0) == 0 || url.rfind("srt://", 0) == 0);
    }

    int analyseLive() {
        for (;;) {
            analyseUntil_ = steadySeconds() + kAnalyseSeconds;
            cutAnalysis_ = false;
            const int code = ffmpeg::api().avformat_find_stream_info(format_, nullptr);
            analyseUntil_ = 0.0;
            if (!cutAnalysis_) return code;
            // The read given up leaves its error on the input, which the
            // demuxer would take for its end.
            if (format_->pb != nullptr) {
                format_->pb->error = 0;
                format_->pb->eof_reached = 0;
            }
            if (hasVideoParameters()) return code;
            if (hasVideoStream()) return 0;
            if (format_->nb_streams > 0) return code;
            if (outerInterrupt_ != nullptr && outerInterrupt_(outerOpaque_) != 0) {
                return code < 0 ? code : AVERROR_EXIT;
            }
        }
    }

    bool hasVideoStream() const {
        for (unsigned i = 0; i < format_->nb_streams; ++i) {
            const AVCodecParameters* params = format_->streams[i]->codecpar;
            if (params->codec_type == AVMEDIA_TYPE_VIDEO && params->codec_id != AV_CODEC_ID_NONE) {
                return true;
            }
        }
        return false;
    }

    bool hasVideoParameters() const {
        for (unsigned i = 0; i < format_->nb_streams; ++i) {
            const AVCodecParameters* params = format_->streams[i]->codecpar;
            if (params->codec_type == AVMEDIA_TYPE_VIDEO && params->width > 0 &&
                params->height > 0 && params->format >= 0) {
                return true;
            }
        }
        return false;
    }

    static double steadySeconds() {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    bool starving() const {
        if (!follow_ || bounded_ || playlist_ || decoded_ == 0 || videoPacketAt_ == 0.0 ||
            format_ == nullptr || format_->pb == nullptr) {
            return false;
        }
        const double frame = info_.fpsKnown && info_.fps > 0.0 ? 1.0 / info_.fps : 0.0;
        const double quiet = steadySeconds() - quietSince_;
        if (quiet < std::max(kStarvedSeconds, 3.0 * frame)) return false;
        const double enough = std::max(static_cast<double>(kStarvedBytes), 3.0 * videoPacketBytes_);
        // The other streams go on as before: a pause of the video, unless
        // the video stream's own bytes go on into its parser, which makes
        // no packet of them (a codec change under the same PID, its sound
        // going on). Longer than a picture is sent for (a large key frame
        // over a small bit rate takes a while).
        if (companions_ == Companions::GoOn) {
            return quiet >= std::max(kSwallowedSeconds, 6.0 * frame) &&
                   static_cast<double>(parsedBytes() - parsedWhenQuiet_) >= enough;
        }
        const int64_t bytes = format_->pb->bytes_read - bytesWhenQuiet_;
        return static_cast<double>(bytes) >= enough;
    }

    // The bytes of the video stream its parser took so far (it takes them
    // whether or not it makes packets of them); 0 without a parser.
    int64_t parsedBytes() const {
        if (format_ == nullptr || stream_ < 0) return 0;
        const AVCodecParserContext* parser = ffmpeg::parserOf(*format_->streams[stream_]);
        return parser != nullptr ? parser->cur_offset : 0;
    }

    void noteVideoPacket(const AVPacket& packet) {
        if (!follow_ || format_->pb == nullptr) return;
        videoPacketAt_ = quietSince_ = steadySeconds();
        bytesWhenQuiet_ = format_->pb->bytes_read;
        parsedWhenQuiet_ = parsedBytes();
        companions_ = Companions::None;
        videoPacketBytes_ = videoPacketBytes_ == 0.0
                                ? packet.size
                                : 0.9 * videoPacketBytes_ + 0.1 * static_cast<double>(packet.size);
        ++packetsSincePicture_;
    }

    // The packets of the other streams while the video stream is quiet. An
    // audio stream that goes on as before, its timestamps following on,
    // while the video pauses (an audio-only stretch) is the same stream:
    // opened again, it would lose the first pictures that come back (up to
    // a second, to the next key frame), so such a pause is left to the
    // stall timeout. A stream that appeared since the opening (other PIDs)
    // or whose timestamps jumped (another sender) says the stream changed.
    void noteCompanion(const AVPacket& packet) {
        if (!follow_ || bounded_ || playlist_ || companions_ == Companions::Changed) return;
        const auto index = static_cast<size_t>(packet.stream_index);
        if (index >= companionEnds_.size() || packet.pts == AV_NOPTS_VALUE) {
            companions_ = index >= companionEnds_.size() ? Companions::Changed : companions_;
            return;
        }
        const int64_t at = ffmpeg::api().av_rescale_q(
            packet.pts, format_->streams[index]->time_base, AVRational{1, AV_TIME_BASE});
        const int64_t before = std::exchange(companionEnds_[index], at);
        if (before == AV_NOPTS_VALUE) return;
        const bool followsOn = at >= before && at - before <= kCompanionStep;
        companions_ = followsOn ? Companions::GoOn : Companions::Changed;
    }

    // A live stream whose video changed codec to one the old decoder turns
    // into nothing at all, not even damaged pictures, while its packets
    // come: half a second of them (16 at least; the decoder holds a few
    // anyway) without a picture opens the input again.
    bool silent() const {
        if (!follow_ || bounded_ || decoded_ == 0) return false;
        const double rate = info_.fpsKnown && info_.fps > 0.0 ? info_.fps : 25.0;
        return packetsSincePicture_ >= std::max<int64_t>(kSilentPackets, std::lround(rate / 2));
    }

    // The latest end time of the packets of any stream, in AV_TIME_BASE units.
    void noteEnd(const AVPacket& packet) {
        if (packet.pts == AV_NOPTS_VALUE || packet.stream_index < 0 ||
            static_cast<unsigned>(packet.stream_index) >= format_->nb_streams) {
            return;
        }
        const int64_t end = ffmpeg::api().av_rescale_q(
            packet.pts + packet.duration, format_->streams[packet.stream_index]->time_base,
            AVRational{1, AV_TIME_BASE});
        if (lastEnd_ == AV_NOPTS_VALUE || end > lastEnd_) lastEnd_ = end;
    }

    // A live stream whose video changes codec (an MPEG-TS program whose new
    // PMT says so: the demuxer keeps the codec it found first) sends the
    // decoder packets it turns into errors, damaged pictures or none. The
    // bytes of the packets since the last clean picture are probed as an
    // elementary stream after each packet while there is damage, and every
    // kStarvedPackets packets without any: the new codec's name when they
    // are another codec's, so that the input is opened again (the new
    // demuxer and decoder see the new codec); else "".
    std::string changedCodec(const AVPacket& packet) {
        if (!follow_ || bounded_ || decoded_ == 0 || packet.data == nullptr) return "";
        recent_.append(reinterpret_cast<const char*>(packet.data),
                       static_cast<size_t>(packet.size));
        if (recent_.size() > kRecentBytes) recent_.erase(0, recent_.size() - kRecentBytes);
        if (++packetsSinceFrame_ % kStarvedPackets != 0 && lanes_[0]->damage == 0) return "";
        std::string buffer = recent_ + std::string(AVPROBE_PADDING_SIZE, '\0');
        AVProbeData probe{};
        probe.filename = "";
        probe.buf = reinterpret_cast<unsigned char*>(buffer.data());
        probe.buf_size = static_cast<int>(recent_.size());
        int score = 0;
        const AVInputFormat* found = ffmpeg::api().av_probe_input_format3(&probe, 1, &score);
        if (found == nullptr || score < AVPROBE_SCORE_EXTENSION) return "";
        static const std::pair<const char*, AVCodecID> kElementary[] = {
            {"h264", AV_CODEC_ID_H264},
            {"hevc", AV_CODEC_ID_HEVC},
            {"mpegvideo", AV_CODEC_ID_MPEG2VIDEO},
            {"m4v", AV_CODEC_ID_MPEG4},
            {"vc1", AV_CODEC_ID_VC1}};
        const AVCodecID id = lanes_[0]->decoder->codec_id;
        const AVCodecID current = id == AV_CODEC_ID_MPEG1VIDEO ? AV_CODEC_ID_MPEG2VIDEO : id;
        for (const auto& [name, id] : kElementary) {
            if (std::strcmp(found->name, name) == 0 && id != current)
                return ffmpeg::api().avcodec_get_name(id);
        }
        return "";
    }

    // The stream's picture size, pixel format and codec as the events name
    // them ("1280 x 720 yuv420p h264"); a change is kept for the next read.
    void noteFormat(const AVFrame& frame) {
        const char* name =
            ffmpeg::api().av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame.format));
        const std::string text = std::to_string(frame.width) + " x " +
                                 std::to_string(frame.height) + " " +
                                 (name != nullptr ? name : "unknown") + " " + info_.codec;
        if (!formatText_.empty() && text != formatText_) {
            formatChange_ = formatText_ + " to " + text;
        }
        formatText_ = text;
    }

    // Copies (or converts) the luma of the current frame into `luma`, or
    // refers to it in `held` (when given) if it can be read in place.
    bool extractLuma(uint8_t* luma, HeldLuma* held, std::string& error) {
        const int w = info_.width;
        const int h = info_.height;
        const AVFrame& frame = *current_.frame;
        const int64_t index = current_.index;
        const auto format = static_cast<AVPixelFormat>(frame.format);
        const bool resized = frame.width != w || frame.height != h;
        if (resized && !follow_) {
            error = "Error decoding frame " + std::to_string(index) + " of " + name_ +
                    ": the picture size changes from " + std::to_string(w) + " x " +
                    std::to_string(h) + " to " + std::to_string(frame.width) + " x " +
                    std::to_string(frame.height) + "\n";
            return false;
        }
        if (follow_) noteFormat(frame);
        if (held != nullptr) {
            if (const uint8_t* plane = lumaInPlace(frame, w, h); plane != nullptr) {
                AVFrame* kept = ffmpeg::api().av_frame_clone(&frame);
                if (kept != nullptr) {
                    held->data = plane;
                    held->hold = std::shared_ptr<const void>(kept, [](const void* frame) {
                        auto* owned = static_cast<AVFrame*>(const_cast<void*>(frame));
                        ffmpeg::api().av_frame_free(&owned);
                    });
                    return true;
                }
            }
        }
        if (!luma_.extract(frame, w, h, luma)) {
            const char* name = ffmpeg::api().av_get_pix_fmt_name(format);
            error = "Error decoding frame " + std::to_string(index) + " of " + name_ +
                    ": cannot convert pixel format " + (name ? name : "unknown") +
                    " to 8-bit luma\n";
            return false;
        }
        return true;
    }

    // Errors in a row from the decoder after which it is taken as broken.
    static constexpr int kMaxFailures = 1000;
    // See changedCodec().
    static constexpr int kStarvedPackets = 8;
    static constexpr size_t kRecentBytes = size_t{1} << 20;
    // See starving().
    static constexpr double kStarvedSeconds = 0.5;
    static constexpr int64_t kStarvedBytes = 8 << 10;
    static constexpr double kSwallowedSeconds = 1.0;
    static constexpr int64_t kSilentPackets = 16;                // see silent()
    static constexpr double kAnalyseSeconds = 1.0;               // see analyseLive()
    static constexpr int64_t kCompanionStep = 2 * AV_TIME_BASE;  // see noteCompanion()
    // At most so many packets are passed over waiting for a key packet (a
    // codec whose packets never say so is decoded after them).
    static constexpr int kJoinPackets = 150;

    std::unique_ptr<InputStream> input_;
    const std::atomic<int>* stop_;
    DemuxerNotes notes_;
    bool goOn_ = false;        // count damage and go on decoding
    bool quantisers_ = false;  // the decoder exports each picture's quantisers
    int decoderThreads_ = 1;   // see DecoderOptions::decoderThreads
    int groupDecoders_ = 1;    // see DecoderOptions::groupDecoders
    int frameThreads_ = 1;     // see DecoderOptions::frameThreads
    // Decoding with frame threads, up to the first sign of damage (see
    // checked()).
    bool threaded_ = false;
    static constexpr int kMaxFrameThreads = 16;
    AVRational timeBase_{0, 1};
    int64_t startTime_ = AV_NOPTS_VALUE;
    double frameSeconds_ = 0.0;  // presentation time of the latest picture told
    SourceInfo info_;
    std::string name_;
    AVIOContext* io_ = nullptr;
    AVFormatContext* format_ = nullptr;
    // The decoders: one, or one per group decoded at once.
    std::vector<std::unique_ptr<Lane> > lanes_;
    DecodedLuma luma_;  // the current frame's luma, copied or converted to 8 bits
    bool keepColour_ = false;
    int missingSeen_ = 0;  // notes_.missingSegments already counted as damage
    // Live URLs: pictures of another size are scaled to the run's, and each
    // change of size, pixel format or codec is told once (ReadResult::formatChange).
    bool follow_ = false;
    bool bounded_ = false;       // a URL with a known size or duration
    int packetsSinceFrame_ = 0;  // sent to the decoder since it gave a picture
    std::string recent_;         // their bytes (live URLs; see changedCodec())
    bool playlist_ = false;      // a URL read through a playlist (HLS)
    int64_t firstIndex_ = 0;     // see UrlAccess::firstIndex
    // Live URLs: the run's own interrupt callback, and what urlInterrupt()
    // needs besides.
    int (*outerInterrupt_)(void*) = nullptr;
    void* outerOpaque_ = nullptr;
    double videoPacketAt_ = 0.0;       // when the video stream's last packet came (steadySeconds)
    double quietSince_ = 0.0;          // that, or the start of the read when later
    int64_t bytesWhenQuiet_ = 0;       // the input's bytes read then
    int64_t parsedWhenQuiet_ = 0;      // the video stream's bytes parsed then (parsedBytes())
    int64_t packetsSincePicture_ = 0;  // of the video stream, since the decoder gave any picture
    double videoPacketBytes_ = 0.0;    // the video packets' mean size, lately
    bool starved_ = false;             // the read was given up for that
    // What the other streams did since the video stream was last heard of
    // (see noteCompanion()), and the latest timestamp of each stream there
    // was at the opening.
    enum class Companions { None, GoOn, Changed } companions_ = Companions::None;
    std::vector<int64_t> companionEnds_;
    bool restarted_ = false;     // ... or for a playlist started again
    int wantedId_ = -1;          // see wantedStream()
    double analyseUntil_ = 0.0;  // while a live stream is analysed: when to give up
    bool cutAnalysis_ = false;   // the analysis was given up then
    int awaitKey_ = 0;           // packets still to pass over before a key packet
    std::string formatText_;     // the stream's current format, as told
    std::string formatChange_;   // a change not yet told
    int stream_ = -1;
    int64_t declaredFrames_ = 0;
    int64_t declaredEnd_ = 0;           // the container's duration, AV_TIME_BASE units; 0: none
    int64_t frameTime_ = 0;             // one frame of the video stream, the same units
    int64_t lastEnd_ = AV_NOPTS_VALUE;  // see noteEnd()
    int64_t packets_ = 0;               // packets of the video stream read so far
    int64_t decoded_ = 0;               // frames the decoder has delivered
    int64_t next_ = 0;                  // index of current_ when haveFrame_
    bool haveFrame_ = false;
    bool inputEnded_ = false;  // the reads reached the end of the input
    Decoded current_;          // the frame being read, or the end of the input

    // Decoding ahead (regular files and pipes): the thread and the frames it
    // decoded. Everything above current_ is the decoding thread's once it runs.
    static constexpr size_t kAhead = 4;
    static constexpr std::chrono::milliseconds kStopCheck{50};
    static constexpr std::chrono::seconds kStopGrace{2};
    int64_t sequenceStart_;  // a numbered sequence's first number (openSequence()), or -1
    bool ahead_;
    int wake_ = -1;  // an eventfd written when the source is let go (pipes)
    std::thread decoding_;
    std::mutex mutex_;
    std::condition_variable frameReady_;
    std::condition_variable roomFreed_;
    std::deque<Decoded> queue_;
    bool ended_ = false;  // the queue gave the end of the input
    std::atomic<bool> quit_{false};

    // Decoding groups (see startGroups()). The caps on the pictures decoded
    // ahead of the reads: those of the group being read, those of the
    // groups after it, and the bytes of them all (see roomFor()).
    static constexpr int kMaxLanes = 4;
    static constexpr int64_t kMinGroup = 8;  // packets
    static constexpr size_t kGroupPackets = 64;
    static constexpr size_t kLeadFrames = 20;
    static constexpr size_t kAheadFrames = 44;
    static constexpr int64_t kAheadBytes = int64_t{256} << 20;
    bool grouped_ = false;
    GroupStart groupStart_ = GroupStart::None;
    int nalLength_ = 0;                // bytes of each NAL unit's length; 0: Annex B
    bool inBandParameters_ = false;    // the stream carried parameter sets in its packets
    AVPacket* firstPacket_ = nullptr;  // see prime()
    std::thread demuxing_;
    std::vector<std::thread> groupDecoding_;
    std::condition_variable changed_;             // any change to the groups
    std::deque<std::unique_ptr<Group> > groups_;  // from the one being read
    int64_t firstGroup_ = 0;                      // the number of groups_.front()
    int64_t groupCount_ = 0;                      // groups begun
    bool demuxed_ = false;                        // the demuxer reached the end
    std::string demuxPending_;                    // the damage that ended it
    // Going on after damage (see restart()): the pictures the reads took.
    int64_t consumed_ = 0;
    const AVCodec* codec_ = nullptr;
};

}  // namespace

namespace {

std::atomic<void (*)(const std::string&)> transportErrors{nullptr};

// An error of libsrt's, as one printable line.
void readTransportLine(const char*, const char* text) {
    auto* report = transportErrors.load();
    if (report == nullptr) return;
    std::string line;
    for (const char* c = text; *c != '\0' && line.size() < 500; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        line += byte < 0x20 || byte == 0x7f ? ' ' : *c;
    }
    // Without its area's name the text still begins with its colon.
    const size_t start = line.find_first_not_of(": ");
    const size_t end = line.find_last_not_of(' ');
    if (start != std::string::npos) report(line.substr(start, end + 1 - start));
}

}  // namespace

void installDecoderLogHandler(void (*transportError)(const std::string& line)) {
    ffmpeg::setMessageHandler(readLibraryMessage);
    transportErrors = transportError;
    ffmpeg::setTransportLogHandler(readTransportLine, 3);  // syslog's LOG_ERR and worse
    messagesRead = true;
}

std::string decoderMissing() {
    std::string why;
    return ffmpeg::load(&why) ? "" : why;
}

std::string decoderLibraries() {
    if (!ffmpeg::load()) return "";
    return versionText("libavformat", ffmpeg::api().avformat_version()) + ", " +
           versionText("libavcodec", ffmpeg::api().avcodec_version()) + ", " +
           versionText("libswscale", ffmpeg::api().swscale_version()) + ", " +
           versionText("libavutil", ffmpeg::api().avutil_version());
}

std::unique_ptr<FrameSource> openDecoderSource(const std::string& path,
                                               std::unique_ptr<InputStream> input,
                                               const std::atomic<int>* stop, DecoderOpen& status,
                                               std::string& error, const DecoderOptions& options,
                                               const InputFile& facts) {
    std::string why;
    if (!ffmpeg::load(&why)) {
        status = DecoderOpen::Failed;
        error = "Cannot decode " + printableName(input ? input->name() : path) + ": " + why + "\n";
        return nullptr;
    }
    auto source = std::make_unique<DecoderSource>(path, std::move(input), stop, options, facts);
    status = source->open(error);
    if (status != DecoderOpen::Ok) return nullptr;
    return source;
}

std::unique_ptr<FrameSource> openDecoderUrl(const std::string& url, UrlAccess& access,
                                            std::string& error) {
    access.bounded = false;
    access.permanent = false;
    std::string why;
    if (!ffmpeg::load(&why)) {
        access.permanent = true;
        error = "Cannot open " + printableName(url) + ": " + why + "\n";
        return nullptr;
    }
    // A live stream goes on after damage (packets lost on the way).
    auto source = std::make_unique<DecoderSource>(
        url, nullptr, nullptr,
        DecoderOptions{
            .continueAfterDamage = true, .quantisers = access.quantisers, .decoderThreads = 0},
        InputFile{});
    if (source->openUrl(access, error) != DecoderOpen::Ok) return nullptr;
    return source;
}

bool readUrlText(const std::string& url, const UrlAccess& access, size_t limit, std::string& text) {
    text.clear();
    if (!ffmpeg::load(nullptr)) return false;
    AVIOContext* io = nullptr;
    const AVIOInterruptCB interrupt{access.interrupt, access.opaque};
    if (ffmpeg::api().avio_open2(&io, url.c_str(), AVIO_FLAG_READ, &interrupt, nullptr) < 0) {
        return false;
    }
    char buffer[4096];
    while (text.size() < limit) {
        const int got = ffmpeg::api().avio_read(io, reinterpret_cast<unsigned char*>(buffer),
                                                static_cast<int>(sizeof buffer));
        if (got <= 0) break;
        text.append(buffer, static_cast<size_t>(got));
    }
    const bool read = io->error >= 0 || io->error == AVERROR_EOF;
    ffmpeg::api().avio_closep(&io);
    return read;
}

}  // namespace lumaqc

#endif
