// Thumbnails for the HTML report under a QC profile: the first frame of each
// event (of a counting rule's event, the occurrence that passed the count)
// and the five worst frames of each indicator rule, scaled down with
// libswscale as the frames go by and encoded (JPEG, or PNG when no JPEG
// encoder is built in) with libavcodec at the end. The analysed luma makes
// them; the input's chroma (FrameMeta::colour), when the source keeps it,
// colours them (JPEG only).
//
// Memory stays bounded by the caps, not by the run: a picture is scaled only
// when a rule's run starts on its frame (kept until the run becomes an event
// or another run of that rule starts) or when it ranks among a rule's five
// worst so far; the scaled copies are small (at most kThumbnailWidth wide)
// and at most kMaxEventThumbnails event pictures are kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "indicators/indicator_id.h"
#include "qc/detector.h"
#include "results/result_sink.h"

namespace lumaqc {

inline constexpr int kThumbnailWidth = 160;
inline constexpr size_t kMaxEventThumbnails = 60;
inline constexpr size_t kWorstFrames = 5;
// What the page may hold in thumbnails at most: this many pictures, this many
// bytes of encoded data.
inline constexpr size_t kMaxThumbnails = 60;
inline constexpr size_t kThumbnailBytes = 600 * 1024;

// A scaled-down picture: grey, or in colour with its chroma at the same size.
struct SmallPicture {
    int64_t frame = -1;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> samples;  // width x height, no padding
    std::vector<uint8_t> cb, cr;   // likewise; empty for a grey picture
};

// True when this build can scale and encode pictures.
bool thumbnailsAvailable();
// The picture scaled to at most `maxWidth` samples wide (aspect kept), in
// colour when `colour` is given; nothing when this build cannot scale.
std::shared_ptr<const SmallPicture> scaleDown(const LumaPicture& luma, int64_t frame, int maxWidth,
                                              const ColourPicture* colour = nullptr);
// "data:image/jpeg;base64,..." (or PNG); empty when it cannot be encoded.
std::string encodeDataUri(const SmallPicture& picture);

class ThumbnailKeeper {
  public:
    struct Worst {
        int64_t frame = -1;
        double value = 0.0;
        std::shared_ptr<const SmallPicture> picture;
    };
    // The indicator rules that share an indicator, direction and threshold
    // share their worst frames.
    struct RuleWorst {
        std::string rule;  // the first rule of the group
        IndicatorId indicator = kBlockiness;
        qc::Direction direction = qc::Direction::Above;
        double threshold = 0.0;
        bool perFrame = true;       // false: a statistic rule, every frame ranks
        std::vector<Worst> frames;  // worst first
    };

    explicit ThumbnailKeeper(const qc::Profile& profile);

    // After the detector has been fed the frame: keeps what it may need.
    // `colour`, when given, makes the pictures kept colour ones.
    void frame(const qc::EventDetector& detector, int64_t index, const FrameValues& values,
               const LumaPicture& luma, const ColourPicture* colour = nullptr);

    // Takes the first pictures of events that opened since (also those that
    // opened when the detector finished).
    void claim(const qc::EventDetector& detector);

    // The first picture of each event that has one, by event id.
    const std::map<int64_t, std::shared_ptr<const SmallPicture>>& eventPictures() const {
        return eventPictures_;
    }
    const std::vector<RuleWorst>& worst() const { return worst_; }

  private:
    std::vector<RuleWorst> worst_;
    // The run each rule began last, and its first picture.
    std::map<std::string, std::shared_ptr<const SmallPicture>> runStarts_;
    std::map<int64_t, std::shared_ptr<const SmallPicture>> eventPictures_;
    size_t eventsSeen_ = 0;
};

}  // namespace lumaqc
