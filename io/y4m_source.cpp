#include "io/y4m_source.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <sstream>
#include <utility>
#include <vector>

#include "io/colour_picture.h"
#include "io/mapped_frames.h"
#include "io/read_ahead.h"
#include "io/sample_reducer.h"

namespace lumaqc {

namespace {

// Header and FRAME lines longer than this are taken for damage.
constexpr size_t MAX_LINE = 4096;

// Reads `count` bytes of `fd` at `offset` (fewer at the end of the file);
// -1 on a read error, with errno set.
ssize_t preadAll(int fd, void* buffer, size_t count, int64_t offset) {
    auto* out = static_cast<uint8_t*>(buffer);
    size_t got = 0;
    while (got < count) {
        const ssize_t n = ::pread(fd, out + got, count - got,
                                  static_cast<off_t>(offset) + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// "FRAME", then parameters separated by spaces, which are skipped; the
// `size` bytes of `line` end with its line feed.
bool isFrameLine(const char* line, size_t size) {
    return size >= 6 && std::memcmp(line, "FRAME", 5) == 0 && (line[5] == '\n' || line[5] == ' ');
}

bool isFrameLine(const std::string& line) {
    return isFrameLine(line.data(), line.size());
}

// A pipe is read in order; a file (a seekable regular file, `fd` >= 0) at
// offsets, on any thread: each frame's FRAME line is read where the frame
// before ends, so the offsets of the frames are learnt as the reading goes
// on, and a frame skipped is never read.
class Y4mSource : public FrameSource {
  public:
    Y4mSource(std::unique_ptr<InputStream> input, SourceInfo info, FrameLayout layout,
              int64_t firstFrame, bool mapFrames)
        : input_(std::move(input)),
          info_(std::move(info)),
          layout_(std::move(layout)),
          mapFrames_(mapFrames) {
        layout_.describe(info_);
        if (layout_.reducer) samples_.resize(static_cast<size_t>(layout_.lumaBytes));
        if (firstFrame >= 0) {
            file_ = input_->release();
            firstFrame_ = nextLine_ = firstFrame;
            readOnlyWhatIsAskedFor(fileno(file_));
        }
    }
    ~Y4mSource() override {
        if (file_ != nullptr) std::fclose(file_);
    }

    const SourceInfo& info() const override { return info_; }
    void keepColour() override { keepColour_ = true; }
    // As a raw file: not while the colour is kept, nor for samples reduced
    // in one shared buffer.
    bool readsConcurrently() const override {
        return file_ != nullptr && !layout_.reducer && !keepColour_;
    }
    // Past a clean end only: a frame that cannot be read is left to read()
    // to report.
    ReadStatus has(int64_t index) const override {
        int64_t data = 0;
        if (file_ == nullptr) return ReadStatus::Ok;
        return locate(index, data, false).status == ReadStatus::End ? ReadStatus::End
                                                                    : ReadStatus::Ok;
    }

    ReadResult read(int64_t index, uint8_t* luma) override {
        if (file_ != nullptr) return readFromFile(index, luma);
        for (; next_ < index; ++next_) {
            const ReadResult skipped = readFrame(next_, nullptr);
            if (skipped.status != ReadStatus::Ok) return skipped;
        }
        const ReadResult result = readFrame(index, luma);
        if (result.status == ReadStatus::Ok) ++next_;
        return result;
    }

    // A file's frame is analysed in its mapping when it can be (as a raw
    // file's; the whole frame must be in the file, as read() requires).
    ReadResult readHeld(int64_t index, uint8_t* luma, HeldLuma& held) override {
        held = {};
        if (file_ == nullptr || !mapFrames_ || layout_.reducer || keepColour_) {
            return read(index, luma);
        }
        int64_t data = 0;
        const ReadResult located = locate(index, data, true);
        if (located.status != ReadStatus::Ok) return located;
        readAhead(index, data);
        if (mapFrame(fileno(file_), data, layout_.lumaBytes, data + layout_.frameBytes, held,
                     [this, index, data] { return truncated(index, bytesFrom(data)); })) {
            return {};
        }
        return read(index, luma);
    }

  private:
    ReadResult error(int64_t index, const std::string& what) const {
        return ReadResult{ReadStatus::Error,
                          "Error reading frame " + std::to_string(index) + " of " + input_->name() +
                              ": " + what + "\n",
                          false};
    }
    ReadResult readError(int64_t index) const {
        return error(index, std::strerror(input_->errorNumber()));
    }
    ReadResult truncated(int64_t index, int64_t got) const {
        return error(index, "the stream ends inside the frame (" + std::to_string(got) + " of " +
                                std::to_string(layout_.frameBytes) + " bytes; truncated)");
    }

    // Reads frame `index` and delivers its luma to `luma`; skips it when
    // `luma` is null.
    ReadResult readFrame(int64_t index, uint8_t* luma) {
        std::string line;
        if (!input_->readLine(line, MAX_LINE)) {
            if (input_->failed()) return readError(index);
            if (line.empty()) return ReadResult{ReadStatus::End, "", false};
            if (line.size() >= MAX_LINE) return error(index, "FRAME header too long");
            return error(index, "the stream ends inside the FRAME header (truncated)");
        }
        if (!isFrameLine(line)) return error(index, "no FRAME header where the frame should start");
        const size_t lumaSize = luma != nullptr ? static_cast<size_t>(layout_.lumaBytes) : 0;
        const size_t frameSize = static_cast<size_t>(layout_.frameBytes);
        uint8_t* target = layout_.reducer ? samples_.data() : luma;
        size_t got = lumaSize > 0 ? input_->read(target, lumaSize) : 0;
        // The report's thumbnails: the chroma is read, not skipped.
        std::vector<uint8_t> chroma(luma != nullptr && keepColour_
                                        ? chromaBytes(*layout_.format, info_.width, info_.height,
                                                      layout_.frameBytes, layout_.lumaBytes)
                                        : 0);
        if (got == lumaSize && !chroma.empty()) got += input_->read(chroma.data(), chroma.size());
        if (got == lumaSize + chroma.size()) got += input_->skip(frameSize - got);
        if (input_->failed()) return readError(index);
        if (got < frameSize) return truncated(index, static_cast<int64_t>(got));
        if (luma != nullptr) layout_.deliver(target, luma);
        ReadResult result;
        if (!chroma.empty()) {
            result.colour = colourOf(*layout_.format, info_.width, info_.height, std::move(chroma));
        }
        return result;
    }

    // The file's bytes of a frame that starts at `data`, up to a whole frame.
    int64_t bytesFrom(int64_t data) const {
        struct stat st {};
        const int64_t size = fstat(fileno(file_), &st) == 0 ? st.st_size : data;
        return std::clamp<int64_t>(size - data, 0, layout_.frameBytes);
    }

    // Reads the FRAME line of the first frame not located yet; as readFrame()
    // would, it ends the input (End) at the end of the file, or reports the
    // frame before it cut short (a frame skipped) or a line that is no FRAME
    // line. A frame before it that was read whole and is short now means the
    // file was cut during the run: this frame is then the one reported.
    // Called with mutex_ held.
    ReadResult locateNext() const {
        const int64_t index = first_ + static_cast<int64_t>(starts_.size());
        // A FRAME line fits in a few bytes, read here without allocating; a
        // long one (parameters) is read again, up to MAX_LINE.
        char head[64];
        std::string longLine;
        const char* line = head;
        ssize_t n = preadAll(fileno(file_), head, sizeof head, nextLine_);
        if (n == static_cast<ssize_t>(sizeof head) &&
            std::memchr(head, '\n', sizeof head) == nullptr) {
            longLine.resize(MAX_LINE);
            n = preadAll(fileno(file_), longLine.data(), longLine.size(), nextLine_);
            line = longLine.data();
        }
        if (n < 0) return error(index, std::strerror(errno));
        if (n == 0) {
            const int64_t got = starts_.empty() ? 0 : bytesFrom(starts_.back());
            if (!starts_.empty() && got < layout_.frameBytes) {
                return index - 1 <= lastRead_ ? truncated(index, 0) : truncated(index - 1, got);
            }
            return ReadResult{ReadStatus::End, "", false};
        }
        const auto* end = static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(n)));
        if (end == nullptr) {
            if (static_cast<size_t>(n) >= MAX_LINE) return error(index, "FRAME header too long");
            return error(index, "the stream ends inside the FRAME header (truncated)");
        }
        const auto size = static_cast<size_t>(end - line) + 1;
        if (!isFrameLine(line, size)) {
            return error(index, "no FRAME header where the frame should start");
        }
        starts_.push_back(nextLine_ + static_cast<int64_t>(size));
        nextLine_ = starts_.back() + layout_.frameBytes;
        return {};
    }

    // Where the samples of frame `index` start, its FRAME line read. Frames
    // are read in order: reading one forgets where the earlier ones start
    // (an earlier one asked for again is looked for from the first frame).
    ReadResult locate(int64_t index, int64_t& data, bool reading) const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (index < first_) {
            starts_.clear();
            first_ = 0;
            nextLine_ = firstFrame_;
        }
        while (first_ + static_cast<int64_t>(starts_.size()) <= index) {
            const ReadResult next = locateNext();
            if (next.status != ReadStatus::Ok) return next;
        }
        for (; reading && first_ < index; ++first_) starts_.pop_front();
        if (reading) lastRead_ = std::max(lastRead_, index);
        data = starts_[static_cast<size_t>(index - first_)];
        return {};
    }

    // Asks for the bytes the frames ahead of frame `index`, whose samples
    // start at `data`, will be read from (io/read_ahead.h): each frame's
    // FRAME line, its luma plane (its whole frame when the colour is kept)
    // and the last byte of the frame before. The frames ahead are taken to
    // start one frame and "FRAME\n" apart; the page added on either side
    // makes up for parameters on the lines.
    void readAhead(int64_t index, int64_t data) {
        constexpr int64_t PAGE = 4096;
        const int64_t bytes = keepColour_ ? layout_.frameBytes : layout_.lumaBytes;
        const int64_t step = layout_.frameBytes + 6;
        const int64_t last = index + framesAhead(step);
        for (int64_t next = std::max(readAhead_.exchange(last + 1), index); next <= last; ++next) {
            const int64_t start = std::max<int64_t>(data + (next - index) * step - PAGE, 0);
            askAhead(fileno(file_), start, bytes + 2 * PAGE);
        }
    }

    ReadResult readFromFile(int64_t index, uint8_t* luma) {
        int64_t data = 0;
        const ReadResult located = locate(index, data, true);
        if (located.status != ReadStatus::Ok) return located;
        readAhead(index, data);
        const int fd = fileno(file_);
        const int64_t lumaSize = layout_.lumaBytes;
        uint8_t* target = layout_.reducer ? samples_.data() : luma;
        const ssize_t got = preadAll(fd, target, static_cast<size_t>(lumaSize), data);
        if (got < 0) return error(index, std::strerror(errno));
        if (got < lumaSize) return truncated(index, got);
        std::vector<uint8_t> chroma(keepColour_
                                        ? chromaBytes(*layout_.format, info_.width, info_.height,
                                                      layout_.frameBytes, lumaSize)
                                        : 0);
        const auto size = static_cast<ssize_t>(chroma.size());
        if (size > 0) {
            const ssize_t more = preadAll(fd, chroma.data(), chroma.size(), data + lumaSize);
            if (more < 0) return error(index, std::strerror(errno));
            if (more < size) return truncated(index, lumaSize + more);
        }
        // The rest of the frame is not read, only its last byte looked for.
        uint8_t last = 0;
        if (lumaSize + size < layout_.frameBytes) {
            const ssize_t n = preadAll(fd, &last, 1, data + layout_.frameBytes - 1);
            if (n < 0) return error(index, std::strerror(errno));
            if (n == 0) return truncated(index, bytesFrom(data));
        }
        layout_.deliver(target, luma);
        ReadResult result;
        if (size > 0) {
            result.colour = colourOf(*layout_.format, info_.width, info_.height, std::move(chroma));
        }
        return result;
    }

    std::unique_ptr<InputStream> input_;
    SourceInfo info_;
    FrameLayout layout_;
    int64_t next_ = 0;
    std::vector<uint8_t> samples_;  // the luma plane as read, when it needs reducing
    bool keepColour_ = false;
    bool mapFrames_ = false;
    // A file read at offsets (released by input_): where the samples of
    // frames first_, first_ + 1, ... start, and where the next FRAME line
    // starts.
    FILE* file_ = nullptr;
    int64_t firstFrame_ = 0;
    mutable std::mutex mutex_;
    mutable std::deque<int64_t> starts_;
    mutable int64_t first_ = 0;
    mutable int64_t nextLine_ = 0;
    mutable int64_t lastRead_ = -1;      // the last frame located to be read
    std::atomic<int64_t> readAhead_{0};  // the frames before it were asked for
};

// A header field as it can be shown in a message: control bytes (a NUL
// would end the message) written as \xNN.
std::string printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        }
    }
    return out;
}

// A decimal number of digits only, within [1, limit].
bool parsePositive(const std::string& text, int64_t limit, int64_t& value) {
    if (text.empty() || text.size() > 18) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value >= 1 && value <= limit;
}

}  // namespace

std::unique_ptr<FrameSource> openY4mSource(std::unique_ptr<InputStream> input,
                                           const std::string& path, std::string& error,
                                           const InputFile& facts, bool waitForFrame,
                                           bool mapFrames) {
    const std::string where = "Y4M header of " + input->name();
    std::string line;
    if (!input->readLine(line, MAX_LINE)) {
        if (input->failed()) {
            error =
                "Error reading the " + where + ": " + std::strerror(input->errorNumber()) + "\n";
        } else {
            error = "Invalid " + where + ": " +
                    (line.size() >= MAX_LINE ? "longer than " + std::to_string(MAX_LINE) + " bytes"
                                             : "no line feed at its end (truncated)") +
                    "\n";
        }
        return nullptr;
    }
    // A regular file is read at offsets from its first FRAME line on.
    const int64_t firstFrame = facts.sizeBytes >= 0 ? static_cast<int64_t>(line.size()) : -1;
    line.pop_back();  // the line feed

    constexpr int64_t kMaxSide = std::numeric_limits<int32_t>::max();
    int64_t width = 0;
    int64_t height = 0;
    SourceInfo info;
    info.path = path;
    info.kind = "y4m";
    info.file = facts;
    info.container = "y4m";
    info.codec = "rawvideo";
    info.frameRateKind = "constant";
    info.frames = -1;
    std::string colour = "420";
    std::istringstream tokens(line.substr(std::strlen(Y4M_SIGNATURE)));
    std::string token;
    auto fail = [&](const std::string& what) {
        error = "Invalid " + where + ": " + what + "\n";
        return nullptr;
    };
    while (tokens >> token) {
        const std::string value = token.substr(1);
        switch (token[0]) {
            case 'W':
                if (!parsePositive(value, kMaxSide, width))
                    return fail("bad width " + printable(token));
                break;
            case 'H':
                if (!parsePositive(value, kMaxSide, height))
                    return fail("bad height " + printable(token));
                break;
            case 'F': {
                // Frame rate as a ratio; "F0:0" means unknown.
                const size_t colon = value.find(':');
                int64_t num = 0;
                int64_t den = 0;
                if (value == "0:0") break;
                if (colon == std::string::npos ||
                    !parsePositive(value.substr(0, colon), kMaxSide, num) ||
                    !parsePositive(value.substr(colon + 1), kMaxSide, den)) {
                    return fail("bad frame rate " + printable(token));
                }
                info.fps = static_cast<double>(num) / static_cast<double>(den);
                info.fpsKnown = true;
                break;
            }
            case 'C':
                colour = value;
                break;
            case 'I':  // fields: a stream declared interlaced is not judged for them
                if (value == "t" || value == "b") {
                    info.scanType = "interlaced";
                    info.fieldOrder = value == "t" ? "tff" : "bff";
                }
                break;
            case 'X':  // extensions: only the colour range is needed
                if (value == "COLORRANGE=FULL") info.fullRange = true;
                break;
            default:  // aspect ratio: not needed
                break;
        }
    }
    if (width == 0 || height == 0) return fail("no picture size (W and H)");
    if (width * height > kMaxSide) {
        return fail("picture size " + std::to_string(width) + " x " + std::to_string(height) +
                    " is too large");
    }
    const PixelFormat* format = y4mPixelFormat(colour);
    if (format == nullptr) {
        error = "Unsupported Y4M colour space C" + printable(colour) + " in " + input->name() +
                ": the colour spaces read are C420, C420jpeg, C420paldv, C420mpeg2, C411, C422, "
                "C440, C444, C444alpha and Cmono, and C420, C422, C444, C440 and Cmono with 9 to "
                "16 bits (C420p10, Cmono16, ...)\n";
        return nullptr;
    }
    FrameLayout layout;
    std::string why;
    if (!makeFrameLayout(format, static_cast<int32_t>(width), static_cast<int32_t>(height), layout,
                         why)) {
        error =
            "Cannot read " + input->name() + " (Y4M, C" + printable(colour) + "): " + why + "\n";
        return nullptr;
    }
    // A file or pipe of its header alone: refused as a raw input that holds
    // no whole frame is, before any output is touched.
    const bool headerAlone = firstFrame >= 0 ? facts.sizeBytes == firstFrame
                                             : waitForFrame && input->atEnd() && !input->failed();
    if (headerAlone) {
        error = (path == "-" ? std::string("Standard input") : "The file " + input->name()) +
                " holds no frame after its Y4M header\n";
        return nullptr;
    }
    info.width = static_cast<int32_t>(width);
    info.height = static_cast<int32_t>(height);
    return std::make_unique<Y4mSource>(std::move(input), std::move(info), std::move(layout),
                                       firstFrame, mapFrames);
}

}  // namespace lumaqc
