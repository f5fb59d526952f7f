#include "report/thumbnails.h"

#include <algorithm>
#include <cmath>

#include "indicators/registry.h"
#include "qc/conditions.h"

#ifdef LUMAQC_HAVE_DECODER
#include "io/ffmpeg_library.h"
#endif

namespace lumaqc {

namespace {

std::string base64(const uint8_t* data, size_t size) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        const uint32_t n = static_cast<uint32_t>(data[i]) << 16 |
                           (i + 1 < size ? static_cast<uint32_t>(data[i + 1]) << 8 : 0u) |
                           (i + 2 < size ? static_cast<uint32_t>(data[i + 2]) : 0u);
        out += digits[n >> 18 & 63];
        out += digits[n >> 12 & 63];
        out += i + 1 < size ? digits[n >> 6 & 63] : '=';
        out += i + 2 < size ? digits[n & 63] : '=';
    }
    return out;
}

#ifdef LUMAQC_HAVE_DECODER
// One picture through one encoder; empty when the encoder is missing or fails.
std::string encodeWith(const SmallPicture& picture, AVCodecID id, const char* mime) {
    const AVCodec* codec = ffmpeg::api().avcodec_find_encoder(id);
    if (codec == nullptr) return "";
    const bool jpeg = id == AV_CODEC_ID_MJPEG;
    AVCodecContext* context = ffmpeg::api().avcodec_alloc_context3(codec);
    AVFrame* frame = ffmpeg::api().av_frame_alloc();
    AVPacket* packet = ffmpeg::api().av_packet_alloc();
    std::string uri;
    if (context != nullptr && frame != nullptr && packet != nullptr) {
        context->width = picture.width;
        context->height = picture.height;
        context->time_base = AVRational{1, 25};
        context->pix_fmt = jpeg ? AV_PIX_FMT_YUVJ444P : AV_PIX_FMT_GRAY8;
        if (jpeg) {
            context->flags |= AV_CODEC_FLAG_QSCALE;
            context->global_quality = FF_QP2LAMBDA * 5;
            context->color_range = AVCOL_RANGE_JPEG;
        }
        frame->format = context->pix_fmt;
        frame->width = picture.width;
        frame->height = picture.height;
        if (jpeg) frame->quality = context->global_quality;
        if (ffmpeg::api().avcodec_open2(context, codec, nullptr) >= 0 &&
            ffmpeg::api().av_frame_get_buffer(frame, 0) >= 0) {
            for (int y = 0; y < picture.height; ++y) {
                const uint8_t* row =
                    picture.samples.data() + static_cast<size_t>(y) * picture.width;
                std::copy(row, row + picture.width, frame->data[0] + y * frame->linesize[0]);
                if (jpeg) {
                    const size_t at = static_cast<size_t>(y) * picture.width;
                    const bool colour = !picture.cb.empty();
                    for (int plane = 1; plane <= 2; ++plane) {
                        uint8_t* out = frame->data[plane] + y * frame->linesize[plane];
                        const std::vector<uint8_t>& chroma = plane == 1 ? picture.cb : picture.cr;
                        if (colour) {
                            std::copy_n(chroma.data() + at, picture.width, out);
                        } else {
                            std::fill_n(out, picture.width, 128);
                        }
                    }
                }
            }
            if (ffmpeg::api().avcodec_send_frame(context, frame) >= 0 &&
                ffmpeg::api().avcodec_send_frame(context, nullptr) >= 0 &&
                ffmpeg::api().avcodec_receive_packet(context, packet) >= 0) {
                uri = std::string("data:") + mime + ";base64," + base64(packet->data, packet->size);
            }
        }
    }
    ffmpeg::api().av_packet_free(&packet);
    ffmpeg::api().av_frame_free(&frame);
    ffmpeg::api().avcodec_free_context(&context);
    return uri;
}
#endif

bool ranksWorse(double a, double b, qc::Direction direction) {
    return direction == qc::Direction::Above ? a > b : a < b;
}

}  // namespace

bool thumbnailsAvailable() {
#ifdef LUMAQC_HAVE_DECODER
    if (!ffmpeg::load()) return false;
    return ffmpeg::api().avcodec_find_encoder(AV_CODEC_ID_MJPEG) != nullptr ||
           ffmpeg::api().avcodec_find_encoder(AV_CODEC_ID_PNG) != nullptr;
#else
    return false;
#endif
}

std::shared_ptr<const SmallPicture> scaleDown(const LumaPicture& luma, int64_t frame, int maxWidth,
                                              const ColourPicture* colour) {
#ifdef LUMAQC_HAVE_DECODER
    if (luma.data == nullptr || luma.width <= 0 || luma.height <= 0 || maxWidth <= 0 ||
        !ffmpeg::load()) {
        return nullptr;
    }
    auto picture = std::make_shared<SmallPicture>();
    picture->frame = frame;
    picture->width = std::min(luma.width, maxWidth);
    picture->height = std::max(1, static_cast<int>(std::lround(static_cast<double>(luma.height) *
                                                               picture->width / luma.width)));
    picture->samples.resize(static_cast<size_t>(picture->width) * picture->height);
    SwsContext* scaler = ffmpeg::api().sws_getContext(
        luma.width, luma.height, AV_PIX_FMT_GRAY8, picture->width, picture->height,
        AV_PIX_FMT_GRAY8, SWS_AREA, nullptr, nullptr, nullptr);
    if (scaler == nullptr) return nullptr;
    const uint8_t* source[4] = {luma.data, nullptr, nullptr, nullptr};
    const int sourceStride[4] = {static_cast<int>(luma.stride), 0, 0, 0};
    uint8_t* target[4] = {picture->samples.data(), nullptr, nullptr, nullptr};
    const int targetStride[4] = {picture->width, 0, 0, 0};
    const int rows =
        ffmpeg::api().sws_scale(scaler, source, sourceStride, 0, luma.height, target, targetStride);
    ffmpeg::api().sws_freeContext(scaler);
    if (rows != picture->height) return nullptr;
    if (colour != nullptr) {
        picture->cb.resize(picture->samples.size());
        picture->cr.resize(picture->samples.size());
        if (!colour->chroma(picture->width, picture->height, picture->cb.data(),
                            picture->cr.data())) {
            picture->cb.clear();
            picture->cr.clear();
        }
    }
    return picture;
#else
    (void)luma;
    (void)frame;
    (void)maxWidth;
    (void)colour;
    return nullptr;
#endif
}

std::string encodeDataUri(const SmallPicture& picture) {
#ifdef LUMAQC_HAVE_DECODER
    if (picture.width <= 0 || picture.height <= 0 || !ffmpeg::load()) return "";
    std::string uri = encodeWith(picture, AV_CODEC_ID_MJPEG, "image/jpeg");
    if (uri.empty()) uri = encodeWith(picture, AV_CODEC_ID_PNG, "image/png");
    return uri;
#else
    (void)picture;
    return "";
#endif
}

ThumbnailKeeper::ThumbnailKeeper(const qc::Profile& profile) {
    for (const qc::Rule& rule : profile.rules) {
        if (!qc::conditionOf(rule.watch).onIndicator) continue;
        const bool perFrame = rule.statistic == qc::Statistic::None;
        const bool known = std::any_of(worst_.begin(), worst_.end(), [&](const RuleWorst& w) {
            return w.indicator == rule.indicator && w.direction == rule.direction &&
                   w.perFrame == perFrame && (!perFrame || w.threshold == rule.threshold);
        });
        if (known) continue;
        RuleWorst w;
        w.rule = rule.id;
        w.indicator = rule.indicator;
        w.direction = rule.direction;
        w.threshold = rule.threshold;
        w.perFrame = perFrame;
        worst_.push_back(std::move(w));
    }
}

void ThumbnailKeeper::frame(const qc::EventDetector& detector, int64_t index,
                            const FrameValues& values, const LumaPicture& luma,
                            const ColourPicture* colour) {
    std::shared_ptr<const SmallPicture> scaled;  // this frame's, made at most once
    const auto picture = [&] {
        if (!scaled) scaled = scaleDown(luma, index, kThumbnailWidth, colour);
        return scaled;
    };
    // A run that may become an event keeps its first picture, while there is
    // room for event pictures at all.
    if (eventPictures_.size() < kMaxEventThumbnails) {
        for (const std::string& rule : detector.runsStarted()) runStarts_[rule] = picture();
    }
    claim(detector);

    // Black pictures rate no indicator rule (the detector leaves them out too).
    if (values[kBlackout] == 1.0) return;
    for (RuleWorst& w : worst_) {
        const double v = values[w.indicator];
        const NoValueRule noValue = indicatorInfo(w.indicator).noValue;
        if (!std::isfinite(v) || (noValue.minusOne && v == -1.0)) continue;
        if (w.perFrame && !ranksWorse(v, w.threshold, w.direction)) continue;
        if (w.frames.size() == kWorstFrames && !ranksWorse(v, w.frames.back().value, w.direction)) {
            continue;
        }
        const auto at = std::find_if(w.frames.begin(), w.frames.end(), [&](const Worst& other) {
            return ranksWorse(v, other.value, w.direction);
        });
        w.frames.insert(at, Worst{index, v, picture()});
        if (w.frames.size() > kWorstFrames) w.frames.pop_back();
    }
}

void ThumbnailKeeper::claim(const qc::EventDetector& detector) {
    const std::vector<qc::Event>& events = detector.events();
    for (; eventsSeen_ < events.size(); ++eventsSeen_) {
        const qc::Event& e = events[eventsSeen_];
        if (e.statistic != qc::Statistic::None || eventPictures_.size() >= kMaxEventThumbnails) {
            continue;
        }
        // A counting rule's event: the start of the occurrence that passed
        // the count, the run its rule began last.
        if (e.maxCount >= 0) {
            const auto found = runStarts_.find(e.rule);
            if (found != runStarts_.end() && found->second) eventPictures_[e.id] = found->second;
            continue;
        }
        // A held picture's run starts on the frame before its first repeat,
        // the frame the detector told of: both show the held picture.
        for (const auto& [rule, picture] : runStarts_) {
            if (picture && (picture->frame == e.firstFrame || picture->frame == e.firstFrame + 1)) {
                eventPictures_[e.id] = picture;
                break;
            }
        }
    }
}

}  // namespace lumaqc
