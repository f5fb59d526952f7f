// Where results go: the contract between the frame loop and the outputs.
// Every output format (console table, log, JSON, HTML, the decision, a
// caller's own) implements this interface: a start, one call per frame in
// frame order, and an end with the run's summary. The engine depends on this
// header alone for its outputs, and the outputs on these result types only,
// never on the engine.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "indicators/indicator_id.h"
#include "io/frame_source.h"

namespace lumaqc {

struct RunInfo {
    const SourceInfo* source = nullptr;
    double fps = 0.0;
    int64_t frames = 0;  // frames requested (as printed); -1 for "to the end of the stream"
    // A count of 0 or less was asked for: the run analyses no frame, and
    // its outputs are written as they are, not held for a first frame.
    bool noFrameAsked = false;
    int64_t start = 0;
    int threads = 1;
    // A live run's documents that hold only the frames of the last
    // `windowSeconds` of the stream, or are written while the run goes on;
    // 0 for documents of every frame analysed.
    double windowSeconds = 0.0;
};

struct RunSummary {
    double overallSeconds = 0.0;  // process CPU time with one thread, wall-clock time with more
    int64_t frames = 0;           // the divisor of the per-frame averages
    int64_t framesDone = 0;       // rows delivered
    IndicatorSeconds seconds{};   // per indicator, CPU time of its own calls
    bool complete = true;         // false when the run stopped early
    // When the input ended on damage after the last frame (an input that
    // goes on after damage): the decoding errors and the first one's text.
    int damage = 0;
    std::string damageMessage{};
    bool running = false;  // a live run's document written while the run goes on
    // When the input ended the run with an error after frames were read (a
    // decoder that gave up, a file cut short): its message, line feed
    // included; empty otherwise.
    std::string inputError{};
};

// What the input says about a frame besides its picture.
struct FrameMeta {
    int64_t index = 0;
    // Presentation time in seconds: the stream's timestamp for decoded input
    // (from the start of the stream), index / fps otherwise.
    double seconds = 0.0;
    // Decoding errors reported for this frame or since the frame before (only
    // when the input goes on after damage), and the first one's text.
    int damage = 0;
    std::string damageMessage;
    // The picture's mean quantiser on H.264's scale, when the decoder tells
    // it (H.264, MPEG-1/2/4); NaN otherwise.
    double quantiser = std::numeric_limits<double>::quiet_NaN();
    // The range of the picture's luma when its source tells it (1 full, 0
    // the video range: ReadResult::fullRange); -1: the stream's.
    int fullRange = -1;
    // The picture's colour, when the source keeps it (see
    // AnalysisRequest::keepColour); null otherwise.
    std::shared_ptr<const ColourPicture> colour{};
};

// A frame's luma plane as the engine holds it; valid only during the call
// that receives it (the engine reuses the picture for a later frame).
struct LumaPicture {
    const unsigned char* data = nullptr;
    int width = 0;
    int height = 0;
    int64_t stride = 0;  // bytes from one row to the next
};

// What a sink measures on each picture besides the indicators (the QC
// measures of a decision), for one frame. The engine computes it where it
// computes the frame's indicators: on any thread, and for several frames at
// once, each in a PictureWork of its own; measure() then touches this object
// alone. The sink gets it back with the frame, in frame order.
class PictureWork {
  public:
    virtual ~PictureWork();
    // Measures the frame's picture; `previous` is the picture of the frame
    // before it in the run (same size), null for the run's first frame.
    // Both are valid during the call only. `values` holds the frame's
    // indicators that read its picture alone; those that compare it with
    // other frames (temporal activity, freezing, flickering) are not set yet.
    virtual void measure(const LumaPicture& picture, const LumaPicture* previous,
                         const FrameValues& values) = 0;
};

class ResultSink {
  public:
    virtual ~ResultSink();
    // Each returns false when the output cannot be written; error() says why.
    virtual bool begin(const RunInfo& run) = 0;
    // One call per frame, in frame order, with what the input said about it.
    virtual bool frame(const FrameMeta& meta, const FrameValues& values) = 0;
    // Sinks that keep pictures (the report's thumbnails) override both: for
    // a sink whose wantsPictures() is true, the engine calls picture() just
    // before frame() of the same frame, with the picture the values were
    // computed from (valid until that frame() returns). Nothing is copied
    // for the others.
    virtual bool wantsPictures() const { return false; }
    virtual void picture(const FrameMeta& /*meta*/, const LumaPicture& /*luma*/) {}
    // Sinks that measure every picture override both. pictureWork() gives a
    // new, empty PictureWork each call, or null for a sink that measures
    // nothing; the engine asks before begin(), for one per frame it may have
    // in flight, and reuses them frame after frame. For the frame measured
    // in one, it calls measured() just before frame() of the same frame (the
    // work is valid until that frame() returns).
    virtual std::unique_ptr<PictureWork> pictureWork() const { return nullptr; }
    virtual void measured(const FrameMeta& /*meta*/, const PictureWork& /*work*/) {}
    virtual bool end(const RunSummary& summary) = 0;
    virtual std::string error() const { return error_; }
    // True for outputs that are worth completing when the run stops on an
    // error (the JSON document, the HTML report): they then get end() with
    // RunSummary::complete false.
    virtual bool keepsPartialResults() const { return false; }

  protected:
    std::string error_;
};

}  // namespace lumaqc
