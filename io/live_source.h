// Live inputs: network streams (any URL libavformat opens) and pipes, read
// for as long as they deliver pictures.
//
// A LiveSource wraps the frame source of the input and adds what a run that
// watches a live feed needs:
// - the time of every frame: the input's own timestamps when it has them,
//   index / fps for Y4M and raw video, kept continuous across gaps and
//   timestamp jumps (see Timeline);
// - signal loss: a watchdog thread notices at once when no picture has
//   arrived for the stall timeout, while the reading thread is still waiting,
//   and tells the observer; the first picture after the gap ends the loss;
// - for URLs, reopening: a stalled or broken connection is abandoned (the
//   libavformat interrupt callback gives up the wait) and the URL opened
//   again, at least once a second, until pictures flow again or the run is
//   stopped. A URL whose input has a known duration or size (a file served
//   over HTTP, a finished playlist) ends the run at its end, as a file does.
//   A stream that comes back with another picture size, pixel format or
//   codec goes on (pictures scaled to the run's size; ReadResult::formatChange).
// - a feed that is dead at the start is a loss from the start: the watchdog
//   runs while the URL is first opened.
//
// Reading stays on the calling thread, so a stop signal interrupts a read
// blocked on a pipe as it does for any input.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "io/decoder_source.h"
#include "io/frame_source.h"

namespace lumaqc {

// True for inputs named by a URL ("scheme://..."), which libavformat opens.
bool isUrl(const std::string& path);
// True for inputs that are live by nature: URLs, standard input ("-"), and
// paths that name a pipe, a socket or a character device.
bool isLiveInput(const std::string& path);

// Maps what is known of each frame to a time that only moves forward.
//
// Within a run of well-behaved timestamps the time follows them. A step that
// goes backwards, or forwards by more than 10 s beyond the wall-clock time
// that passed (a restarted encoder, a wrapped MPEG-TS clock), is a
// discontinuity: the time then moves on by the wall-clock time that passed,
// at least one frame duration, and follows the new timestamps from there.
// Frames without a timestamp take the arrival time the same way. After a
// signal loss, inputs whose timestamps are only index / fps (Y4M and raw
// video) move on by the length of the gap.
class Timeline {
  public:
    explicit Timeline(double fps) : fps_(fps) {}

    // `stamp`: the input's timestamp in seconds, if any; `nominal`: the stamp
    // is index / fps rather than the input's own; `arrival`: seconds on a
    // monotonic clock; `afterGap`: a signal loss (or a reopened input) lies
    // between this frame and the previous one.
    double next(std::optional<double> stamp, bool nominal, double arrival, bool afterGap);

  private:
    double frameDuration() const;
    double fps_;
    bool started_ = false;
    double time_ = 0.0;
    double arrival_ = 0.0;
    std::optional<double> stamp_;
    double offset_ = 0.0;  // time - stamp while the timestamps are followed
};

// A stretch without pictures, as the observer hears of it.
struct SignalGap {
    int64_t lastFrame = -1;  // last frame before the gap; -1 when none came yet
    double lastTime = 0.0;   // its time
    int64_t nextFrame = -1;  // first frame after the gap (on recovery)
    double nextTime = 0.0;   // its time
    double seconds = 0.0;    // wall-clock length of the gap (on recovery)
};

// Told of signal losses and recoveries, in order, one call at a time, from
// the watchdog or the reading thread; notice() gets one-line messages about
// reconnection attempts.
class LiveObserver {
  public:
    virtual ~LiveObserver() = default;
    virtual void signalLost(const SignalGap& gap) = 0;
    virtual void signalBack(const SignalGap& gap) = 0;
    virtual void notice(const std::string& line) = 0;
    // The input's picture size, pixel format or codec changed with frame
    // `index` (at `seconds`); `change` says from what to what.
    // The input is being opened again (after it broke, ended or stalled).
    virtual void reconnecting() {}
    virtual void formatChanged(int64_t index, double seconds, const std::string& change) {
        (void)index;
        (void)seconds;
        (void)change;
    }
};

// A picture's coarse likeness (see LiveSource::replayed()).
using PictureLikeness = std::array<uint8_t, 16>;

struct LiveSettings {
    double stallTimeout = 2.0;               // seconds without a picture that make a signal loss
    double fps = 25.0;                       // frame rate of the run (see LiveSource::setFrameRate)
    const std::atomic<int>* stop = nullptr;  // set by the stop signals: give up waiting
    bool quantisers = true;                  // a URL's pictures' quantisers are read
    LiveObserver* observer = nullptr;
};

class LiveSource : public FrameSource {
  public:
    // Wraps an input that is already open (a pipe); it is never reopened.
    LiveSource(std::unique_ptr<FrameSource> inner, const LiveSettings& settings);
    ~LiveSource() override;
    LiveSource(const LiveSource&) = delete;
    LiveSource& operator=(const LiveSource&) = delete;

    // Opens a URL, trying again with backoff until the first picture is
    // decoded (the picture size comes from it) or the run is stopped. Errors
    // that another attempt cannot cure (no such protocol, a malformed URL,
    // no video stream) fail at once. On failure returns null with the
    // message (line feed included) in `error`.
    static std::unique_ptr<LiveSource> openUrl(const std::string& url, const LiveSettings& settings,
                                               std::string& error);

    const SourceInfo& info() const override { return info_; }
    // As the input's read(), with ReadResult::seconds the frame's time on
    // the continuous timeline (see Timeline). When the input ends or the run
    // stops during a signal loss, the loss ends there.
    ReadResult read(int64_t index, uint8_t* luma) override;

    // Stops the watchdog; a signal loss still open ends (the observer hears
    // of it as a recovery without a frame).
    void finish();

    // The frame rate of the run, for inputs whose timestamps are index / fps.
    void setFrameRate(double fps);

  private:
    LiveSource(const LiveSettings& settings, std::string url);
    void startWatchdog();
    bool connect(std::string& error);
    bool openAttempt(std::string& error, bool& permanent);
    bool reopen(int64_t index, ReadResult& failure);
    bool replayed(double seconds, const uint8_t* luma);
    double delivered(int64_t index, double stamp, bool drained);
    void endLoss();
    void watch();
    void watchPlaylist(std::unique_lock<std::mutex>& lock, double now);
    void announce();
    SignalGap gapSoFar() const;
    bool stopped() const;
    static int interruptCallback(void* opaque);
    static int playlistInterrupt(void* opaque);

    LiveSettings settings_;
    std::string url_;  // empty for a wrapped input
    bool bounded_ = false;
    std::atomic<bool> playlist_{false};  // a live playlist (see interruptCallback)
    double backoff_ = 1.0;               // seconds from one attempt to open the URL to the next
    double lastAttempt_ = 0.0;           // when the last attempt started (monotonic seconds)
    int64_t attempts_ = 0;               // attempts to open the URL so far
    double connectedAt_ = 0.0;           // when the current connection was made; 0 before the first
    UrlAccess lastAccess_;               // of the last attempt to open the URL
    std::string format_;                 // the input's picture size, pixel format and codec
    std::string pendingChange_;          // a change found on reopening, told with the next frame
    std::unique_ptr<FrameSource> inner_;
    SourceInfo info_;
    int64_t innerOrigin_ = 0;   // run index of the current inner source's frame 0
    int64_t nextIndex_ = 0;     // run index of the next connection's frame 0
    bool reopened_ = false;     // the next frame comes from a reopened input
    bool checkReplay_ = false;  // ... a live playlist, which may replay pictures
    std::deque<std::pair<double, PictureLikeness>> seen_;  // (time, likeness) of recent pictures
    std::atomic<double> openDeadline_{0.0};      // while opening: when the attempt gives up
    std::atomic<bool> interrupted_{false};       // a wait was given up because of a signal loss
    std::atomic<double> playlistDeadline_{0.0};  // when a look at the playlist gives up
    Timeline timeline_;
    const double openedAt_;

    mutable std::mutex mutex_;  // guards what follows
    std::condition_variable wake_;
    bool closing_ = false;
    bool reading_ = false;       // the reading thread waits for a picture
    double waitingSince_ = 0.0;  // since when (seconds since opening)
    bool lost_ = false;          // no picture for the stall timeout
    bool announced_ = false;     // the observer was told
    double lostAt_ = 0.0;        // when it was noticed (seconds since opening)
    // A live playlist during a loss (see watchPlaylist): its text when first
    // read, when it was seen to change, when to read it next, and whether
    // the input is to be opened again.
    std::string lossPlaylist_;
    bool lossPlaylistRead_ = false;
    double playlistChangedAt_ = 0.0;
    double nextPlaylistLook_ = 0.0;
    bool playlistMoved_ = false;
    int64_t lastIndex_ = -1;
    double lastTime_ = 0.0;
    double lastArrival_ = 0.0;
    std::mutex deliver_;  // keeps losses and recoveries in order at the observer
    std::thread watchdog_;
};

// Seconds on the monotonic clock.
double monotonicSeconds();

// Blocks SIGINT and SIGTERM in the calling thread, so that they reach the
// thread that reads the input and can interrupt a read blocked on a pipe.
// Every helper thread calls it first (threads started from it inherit it).
void keepStopSignalsAway();

}  // namespace lumaqc
