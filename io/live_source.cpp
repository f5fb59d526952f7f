#include "io/live_source.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "io/decoder_source.h"

namespace lumaqc {

namespace {

// A timestamp may run ahead of the wall clock by this much before it counts
// as a jump (a variable-rate input read faster than real time).
constexpr double kJumpSeconds = 10.0;
// How long one attempt to open a URL may wait for its first picture, at
// least (probing a stream takes a while).
constexpr double kOpenSeconds = 10.0;
// During a loss the input is tried again at least this often, so that a
// source that comes back is seen within about a second whatever the protocol.
constexpr double kLongestBackoff = 1.0;
// A URL's loss is announced once the connection has been given up and the
// pictures the decoder still held came out (they belong before the gap), or
// after this long at the latest.
constexpr double kAnnounceGrace = 0.3;
// During a loss of a live playlist, its text is read this often; once it
// changed, the demuxer has this long to find pictures in it by itself.
constexpr double kPlaylistLook = 1.0;
constexpr double kPlaylistSettle = 2.0;
constexpr size_t kPlaylistBytes = size_t{1} << 18;
// A reopened live playlist's pictures that were seen already are left out
// (see LiveSource::replayed), from this far back at most.
constexpr double kReplaySeconds = 60.0;
constexpr size_t kReplayPictures = 7200;
// Levels by which a region's mean may differ in a picture encoded again.
constexpr int kLikenessLevels = 4;

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", s);
    return text;
}

// A master playlist names its variants' playlists, which a restarted
// packager rewrites (the master itself stays as it was): the URL of the
// first variant, resolved against the master's; empty for a media
// playlist.
std::string firstVariant(const std::string& url, const std::string& text) {
    const size_t tag = text.find("#EXT-X-STREAM-INF");
    if (tag == std::string::npos) return "";
    for (size_t at = text.find('\n', tag); at != std::string::npos; at = text.find('\n', at)) {
        const size_t end = text.find('\n', ++at);
        std::string line = text.substr(at, end == std::string::npos ? end : end - at);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line.find("://") != std::string::npos) return line;
        const size_t host = url.find('/', url.find("://") + 3);
        if (line[0] == '/') return url.substr(0, host) + line;
        const size_t query = url.find('?');
        return url.substr(0, url.rfind('/', query) + 1) + line;
    }
    return "";
}

// The media sequence number of a playlist's last segment: its first
// segment's (0 when it states none) and the count of the others. A live
// playlist only moves on: its segments leave at the head, which raises the
// first one's number, and come at the end.
long long lastSegment(const std::string& text) {
    const size_t tag = text.find("#EXT-X-MEDIA-SEQUENCE:");
    const long long number = tag == std::string::npos ? 0 : std::atoll(text.c_str() + tag + 22);
    long long segments = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        if (line.find_first_not_of(" \r") != std::string::npos && line[0] != '#') ++segments;
        at = end + 1;
    }
    return number + segments - 1;
}

// A picture's likeness, to know a picture seen already: the mean luma of
// each of 4 x 4 regions (every eighth row). Another encoding of the same
// picture (a segment encoded again) keeps each within a level or two; the
// picture of another moment rarely does.
PictureLikeness likenessOf(const uint8_t* luma, int width, int height) {
    uint64_t sums[16] = {};
    uint64_t counts[16] = {};
    int columns[5];
    for (int r = 0; r <= 4; ++r) columns[r] = static_cast<int>(int64_t{width} * r / 4);
    for (int y = 0; y < height; y += 8) {
        const uint8_t* row = luma + static_cast<size_t>(y) * static_cast<size_t>(width);
        const auto band = static_cast<size_t>(int64_t{y} * 4 / height) * 4;
        for (int r = 0; r < 4; ++r) {
            uint32_t sum = 0;
            for (int x = columns[r]; x < columns[r + 1]; ++x) sum += row[x];
            sums[band + static_cast<size_t>(r)] += sum;
            counts[band + static_cast<size_t>(r)] +=
                static_cast<uint64_t>(columns[r + 1] - columns[r]);
        }
    }
    PictureLikeness likeness{};
    for (size_t i = 0; i < likeness.size(); ++i) {
        likeness[i] =
            counts[i] == 0 ? 0 : static_cast<uint8_t>((sums[i] + counts[i] / 2) / counts[i]);
    }
    return likeness;
}

// Pictures alike enough to be one encoded twice.
bool alike(const PictureLikeness& a, const PictureLikeness& b) {
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::abs(int{a[i]} - int{b[i]}) > kLikenessLevels) return false;
    }
    return true;
}

}  // namespace

double monotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void keepStopSignalsAway() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
}

bool isUrl(const std::string& path) {
    const size_t colon = path.find("://");
    if (colon == std::string::npos || colon == 0) return false;
    return std::all_of(path.begin(), path.begin() + static_cast<ptrdiff_t>(colon), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '+' || c == '-' || c == '.';
    });
}

bool isLiveInput(const std::string& path) {
    if (path == "-" || isUrl(path)) return true;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode);
}

double Timeline::frameDuration() const {
    return fps_ > 0.0 && std::isfinite(fps_) ? 1.0 / fps_ : 0.0;
}

double Timeline::next(std::optional<double> stamp, bool nominal, double arrival, bool afterGap) {
    if (stamp && !std::isfinite(*stamp)) stamp.reset();
    if (!started_) {
        started_ = true;
        time_ = stamp ? *stamp : 0.0;
        offset_ = 0.0;
        stamp_ = stamp;
        arrival_ = arrival;
        return time_;
    }
    const double passed = std::max(0.0, arrival - arrival_);
    bool follow = stamp.has_value() && stamp_.has_value();
    if (follow) {
        const double step = *stamp - *stamp_;
        follow = step >= 0.0 && step <= passed + kJumpSeconds && !(afterGap && nominal);
    }
    if (follow) {
        time_ = *stamp + offset_;
    } else {
        // A jump, a gap, or no timestamp: the wall clock says how far to go.
        time_ += afterGap || !stamp ? passed : std::max(passed, frameDuration());
        if (stamp) offset_ = time_ - *stamp;
    }
    stamp_ = stamp;
    arrival_ = arrival;
    return time_;
}

LiveSource::LiveSource(const LiveSettings& settings, std::string url)
    : settings_(settings),
      url_(std::move(url)),
      timeline_(settings.fps),
      openedAt_(monotonicSeconds()) {}

LiveSource::LiveSource(std::unique_ptr<FrameSource> inner, const LiveSettings& settings)
    : LiveSource(settings, std::string()) {
    inner_ = std::move(inner);
    info_ = inner_->info();
    startWatchdog();
}

LiveSource::~LiveSource() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    wake_.notify_all();
    if (watchdog_.joinable()) watchdog_.join();
}

void LiveSource::startWatchdog() {
    watchdog_ = std::thread([this] { watch(); });
}

void LiveSource::setFrameRate(double fps) {
    settings_.fps = fps;
    timeline_ = Timeline(fps);
}

bool LiveSource::stopped() const {
    return settings_.stop != nullptr && settings_.stop->load() != 0;
}

int LiveSource::interruptCallback(void* opaque) {
    auto* self = static_cast<LiveSource*>(opaque);
    if (self->stopped()) {
        // The pictures the decoder still holds come out now: during a loss
        // (a live playlist is read on through one) they belong before it.
        std::lock_guard<std::mutex> lock(self->mutex_);
        if (self->lost_) self->interrupted_ = true;
        return 1;
    }
    const double deadline = self->openDeadline_.load();
    if (deadline > 0.0) return monotonicSeconds() > deadline ? 1 : 0;
    std::lock_guard<std::mutex> lock(self->mutex_);
    // A live playlist is not given up during a loss: opened again, it would
    // start a few segments back and replay pictures seen already (pictures
    // that never end the loss). The demuxer reloads it meanwhile and reads
    // its next segment when one comes; it is opened again only when the
    // playlist changed and the demuxer still finds nothing (a packager
    // started again, see watchPlaylist).
    if (self->closing_ || (self->lost_ && (!self->playlist_.load() || self->playlistMoved_))) {
        self->interrupted_ = true;
        return 1;
    }
    return 0;
}

std::unique_ptr<LiveSource> LiveSource::openUrl(const std::string& url,
                                                const LiveSettings& settings, std::string& error) {
    std::unique_ptr<LiveSource> source(new LiveSource(settings, url));
    // A feed that is dead at the start is a signal loss from the start: the
    // watchdog counts the stall timeout from now.
    {
        std::lock_guard<std::mutex> lock(source->mutex_);
        source->reading_ = true;
        source->waitingSince_ = 0.0;
    }
    source->startWatchdog();
    if (!source->connect(error)) {
        source->finish();
        return nullptr;
    }
    source->info_ = source->inner_->info();
    source->format_ = source->lastAccess_.format;
    return source;
}

// Opens the URL, the attempts starting 1, 2, 4 ... 30 s apart, until one
// delivers a picture. The intervals start again from 1 s only after a
// connection that held for 30 s, so an input that keeps ending at once is
// not opened in a tight loop. False on a stop signal (`error` empty) and on
// an error that no attempt can cure.
bool LiveSource::connect(std::string& error) {
    bool waitFirst = true;
    if (monotonicSeconds() - connectedAt_ >= kLongestBackoff) {
        backoff_ = 1.0;
        waitFirst = false;
    }
    for (;;) {
        if (waitFirst) {
            for (const double until = lastAttempt_ + backoff_;
                 monotonicSeconds() < until && !stopped();) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            backoff_ = std::min(backoff_ * 2.0, kLongestBackoff);
        }
        waitFirst = true;
        lastAttempt_ = monotonicSeconds();
        // Every attempt after the first is one again, also for a feed that
        // has been dead since the start.
        if (attempts_++ > 0 && settings_.observer != nullptr) settings_.observer->reconnecting();
        bool permanent = false;
        if (!stopped() && openAttempt(error, permanent)) {
            connectedAt_ = monotonicSeconds();
            return true;
        }
        if (stopped()) {
            error.clear();
            return false;
        }
        // Once the run has started, nothing ends it but a stop signal: an
        // input that cannot be opened now may be fixed at the source.
        if (permanent && connectedAt_ == 0.0) return false;
        if (settings_.observer != nullptr) {
            const double wait = lastAttempt_ + backoff_ - monotonicSeconds();
            settings_.observer->notice(error.substr(0, error.find('\n')) + "; trying again" +
                                       (wait > 0.0 ? " in " + seconds(std::ceil(wait)) : ""));
        }
    }
}

// One attempt: open the URL and decode its first picture, giving up after
// kOpenSeconds (or the stall timeout when longer) without it.
bool LiveSource::openAttempt(std::string& error, bool& permanent) {
    const double limit = std::max(kOpenSeconds, settings_.stallTimeout);
    openDeadline_ = monotonicSeconds() + limit;
    interrupted_ = false;
    UrlAccess access;
    access.interrupt = &LiveSource::interruptCallback;
    access.opaque = this;
    // A reopened input keeps the run's picture size.
    access.width = info_.width;
    access.height = info_.height;
    access.firstIndex = nextIndex_;
    // ... and its programme.
    access.streamId = lastAccess_.streamId;
    access.quantisers = settings_.quantisers;
    inner_ = openDecoderUrl(url_, access, error);
    lastAccess_ = access;
    const bool timedOut = monotonicSeconds() > openDeadline_.load();
    openDeadline_ = 0.0;
    if (!inner_) {
        permanent = access.permanent;
        if (timedOut && !stopped()) {
            error = "Cannot open " + url_ + ": no picture within " + seconds(limit) + "\n";
        }
        return false;
    }
    bounded_ = access.bounded;
    playlist_ = access.playlist;
    return true;
}

// Gives up the current connection and connects again. Fails on a stop signal
// (an end), an error no attempt can cure, or a new picture size.
bool LiveSource::reopen(int64_t index, ReadResult& failure) {
    inner_.reset();
    nextIndex_ = index;
    bool restarted = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lossPlaylistRead_ = false;
        playlistChangedAt_ = 0.0;
        restarted = std::exchange(playlistMoved_, false);
    }
    std::string error;
    if (!connect(error)) {
        failure = ReadResult{error.empty() ? ReadStatus::End : ReadStatus::Error, error, false};
        return false;
    }
    // Another picture size, pixel format or codec: the pictures are scaled
    // to the run's size, and the change told.
    if (!lastAccess_.format.empty() && lastAccess_.format != format_) {
        if (!format_.empty()) pendingChange_ = format_ + " to " + lastAccess_.format;
        format_ = lastAccess_.format;
    }
    innerOrigin_ = index;
    reopened_ = true;
    // A playlist started again has pictures of its own, even ones that look
    // like those seen before (a test source started again).
    checkReplay_ = playlist_.load() && !restarted;
    return true;
}

ReadResult LiveSource::read(int64_t index, uint8_t* luma) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reading_ = true;
        waitingSince_ = monotonicSeconds() - openedAt_;
    }
    wake_.notify_all();
    ReadResult result;
    for (;;) {
        if (!inner_) {
            if (!reopen(index, result)) break;
        }
        // The first inner source counts the run's indices (it skips to the
        // start frame itself); a reopened one counts from its own frame 0.
        const int64_t innerIndex = index - innerOrigin_;
        result = inner_->read(innerIndex, luma);
        if (result.status == ReadStatus::Ok && playlist_.load() && interrupted_.load()) {
            // A live playlist read on through a loss, given up at last (the
            // run stops, or the playlist started again): the pictures its
            // decoder held from before the loss would come long after their
            // time. They are left out.
            inner_.reset();
            if (stopped()) {
                result = ReadResult{ReadStatus::End, std::string(), false};
                break;
            }
            continue;
        }
        if (result.status == ReadStatus::Ok && replayed(result.seconds, luma)) {
            // The inner source counted it; the run's index stays.
            --innerOrigin_;
            continue;
        }
        if (result.status == ReadStatus::Ok) {
            if (!result.formatChange.empty()) {
                format_ = result.formatChange.substr(result.formatChange.rfind(" to ") + 4);
            } else if (!pendingChange_.empty()) {
                result.formatChange = pendingChange_;
            }
            pendingChange_.clear();
            // Frames still held by the decoder when a stalled connection was
            // given up belong before the gap: they do not end the loss.
            result.seconds = delivered(index, result.seconds, interrupted_.load());
            if (!result.formatChange.empty() && settings_.observer != nullptr) {
                settings_.observer->formatChanged(index, result.seconds, result.formatChange);
            }
            return result;
        }
        if (interrupted_.load()) announce();
        if (url_.empty() || stopped()) break;
        if (result.status == ReadStatus::End && bounded_) break;
        // A live URL that ends, breaks or stalls is opened again.
        if (!interrupted_.load() && settings_.observer != nullptr) {
            const std::string why = result.status == ReadStatus::End
                                        ? url_ + ": the stream ended"
                                        : result.message.substr(0, result.message.find('\n'));
            settings_.observer->notice(why + "; opening it again");
        }
        inner_.reset();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reading_ = false;
    }
    endLoss();
    return result;
}

// A live playlist opened again (after a brief outage of its server, say)
// starts a few segments back, and replays pictures the run has seen: they
// would count twice and read as a picture jumping back in time. After the
// reopening, pictures with the time of one seen in the last kReplaySeconds
// and a picture like it (the segment may have been encoded again, see
// likenessOf()) are left out, up to the first new one. (A restarted
// packager's pictures are new ones whatever their times.) Pictures of
// live playlists are remembered for it.
bool LiveSource::replayed(double seconds, const uint8_t* luma) {
    // The stream's own timestamp, which a connection counts from its start.
    const double stamp = seconds + lastAccess_.startSeconds;
    if (!playlist_.load() || !std::isfinite(stamp)) return false;
    const PictureLikeness likeness = likenessOf(luma, info_.width, info_.height);
    if (checkReplay_) {
        const bool seen = std::any_of(seen_.begin(), seen_.end(), [&](const auto& picture) {
            return std::fabs(picture.first - stamp) < 1e-3 && alike(picture.second, likeness);
        });
        if (seen) return true;
        checkReplay_ = false;
    }
    seen_.emplace_back(stamp, likeness);
    while (seen_.size() > kReplayPictures || seen_.front().first < stamp - kReplaySeconds ||
           seen_.front().first > stamp) {
        seen_.pop_front();
    }
    return false;
}

// Records the frame that came, returns its time, and ends a signal loss.
double LiveSource::delivered(int64_t index, double stamp, bool drained) {
    const double now = monotonicSeconds() - openedAt_;
    // Inputs without timestamps of their own (Y4M, raw) count index / fps.
    const bool nominal = std::isnan(stamp);
    const std::optional<double> known =
        !nominal              ? std::optional<double>(stamp)
        : settings_.fps > 0.0 ? std::optional<double>(static_cast<double>(index) / settings_.fps)
                              : std::nullopt;
    std::lock_guard<std::mutex> deliver(deliver_);
    double time = 0.0;
    SignalGap opened;
    SignalGap gap;
    bool announceFirst = false;
    bool recovered = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Pictures drained from the decoder when a stalled connection was
        // given up came in before the gap; when exactly is not known.
        const double arrival = drained ? lastArrival_ : now;
        const bool afterGap = (reopened_ || lost_) && !drained;
        time = timeline_.next(known, nominal, arrival, afterGap);
        reading_ = false;
        if (lost_ && !drained) {
            lossPlaylistRead_ = false;
            playlistChangedAt_ = 0.0;
            playlistMoved_ = false;
            // A picture came back before the loss was announced: it was a
            // loss all the same.
            announceFirst = !announced_;
            opened = gapSoFar();
            lost_ = false;
            recovered = true;
            gap = gapSoFar();
            gap.nextFrame = index;
            gap.nextTime = time;
            gap.seconds = arrival - lastArrival_;
        }
        lastIndex_ = index;
        lastTime_ = time;
        lastArrival_ = arrival;
    }
    if (!drained) {
        reopened_ = false;
        interrupted_ = false;
    }
    wake_.notify_all();
    if (settings_.observer != nullptr) {
        if (announceFirst) settings_.observer->signalLost(opened);
        if (recovered) settings_.observer->signalBack(gap);
    }
    return time;
}

SignalGap LiveSource::gapSoFar() const {
    SignalGap gap;
    gap.lastFrame = lastIndex_;
    gap.lastTime = lastTime_;
    return gap;
}

void LiveSource::announce() {
    std::lock_guard<std::mutex> deliver(deliver_);
    SignalGap gap;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!lost_ || announced_) return;
        announced_ = true;
        gap = gapSoFar();
    }
    if (settings_.observer != nullptr) settings_.observer->signalLost(gap);
}

// The watchdog: wakes when the reading thread has waited the stall timeout
// for a picture and declares the loss at once. A URL's connection is then
// given up (see interruptCallback) and the reading thread announces the loss
// when the decoder's last pictures are out; the watchdog does if it has not
// after kAnnounceGrace.
void LiveSource::watch() {
    keepStopSignalsAway();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!closing_) {
        const double now = monotonicSeconds() - openedAt_;
        if (reading_ && !lost_) {
            const double deadline = waitingSince_ + settings_.stallTimeout;
            if (now < deadline) {
                wake_.wait_for(lock, std::chrono::duration<double>(deadline - now));
                continue;
            }
            lost_ = true;
            announced_ = false;
            lostAt_ = now;
            if (!url_.empty()) continue;
        } else if (lost_ && !announced_ && now < lostAt_ + kAnnounceGrace) {
            wake_.wait_for(lock, std::chrono::duration<double>(lostAt_ + kAnnounceGrace - now));
            continue;
        } else if (lost_ && announced_ && playlist_.load() && !url_.empty() && !playlistMoved_) {
            watchPlaylist(lock, now);
            continue;
        } else if (!lost_ || announced_) {
            wake_.wait(lock);
            continue;
        }
        lock.unlock();
        announce();
        lock.lock();
    }
}

// During the loss of a live playlist, which is read on (see
// interruptCallback): its text is read once a second (a master playlist's:
// its first variant's). A playlist whose last segment's number went back,
// or that changed and still gave the demuxer no picture kPlaylistSettle
// later, was started again (a restarted packager numbers its segments from 0, which
// the demuxer waits to pass): the input is then opened again. One that does
// not change is a source still gone, and is left alone.
void LiveSource::watchPlaylist(std::unique_lock<std::mutex>& lock, double now) {
    if (now < nextPlaylistLook_) {
        wake_.wait_for(lock, std::chrono::duration<double>(nextPlaylistLook_ - now));
        return;
    }
    nextPlaylistLook_ = now + kPlaylistLook;
    lock.unlock();
    UrlAccess access;
    access.interrupt = &LiveSource::playlistInterrupt;
    access.opaque = this;
    playlistDeadline_ = monotonicSeconds() + kPlaylistLook * 3.0;
    std::string text;
    bool read = readUrlText(url_, access, kPlaylistBytes, text);
    if (read) {
        const std::string variant = firstVariant(url_, text);
        if (!variant.empty()) read = readUrlText(variant, access, kPlaylistBytes, text);
    }
    lock.lock();
    if (!read || !lost_ || closing_) return;
    const double then = monotonicSeconds() - openedAt_;
    if (!lossPlaylistRead_) {
        lossPlaylistRead_ = true;
        lossPlaylist_ = std::move(text);
    } else if (lastSegment(text) < lastSegment(lossPlaylist_)) {
        playlistMoved_ = true;  // numbered from the start again
    } else if (playlistChangedAt_ == 0.0 && text != lossPlaylist_) {
        playlistChangedAt_ = then;
    }
    if (playlistChangedAt_ > 0.0 && then >= playlistChangedAt_ + kPlaylistSettle) {
        playlistMoved_ = true;
    }
}

int LiveSource::playlistInterrupt(void* opaque) {
    auto* self = static_cast<LiveSource*>(opaque);
    if (self->stopped() || monotonicSeconds() > self->playlistDeadline_.load()) return 1;
    std::lock_guard<std::mutex> lock(self->mutex_);
    return self->closing_ ? 1 : 0;
}

void LiveSource::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    wake_.notify_all();
    if (watchdog_.joinable()) watchdog_.join();
    endLoss();
}

// A loss still lasting when the input ends or the run stops ends then.
void LiveSource::endLoss() {
    announce();
    std::lock_guard<std::mutex> deliver(deliver_);
    SignalGap gap;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!lost_) return;
        lost_ = false;
        gap = gapSoFar();
        gap.seconds = monotonicSeconds() - openedAt_ - lastArrival_;
        gap.nextTime = lastTime_ + gap.seconds;
    }
    if (settings_.observer != nullptr) settings_.observer->signalBack(gap);
}

}  // namespace lumaqc
