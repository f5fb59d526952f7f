#include "report/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace lumaqc {

namespace {

constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);
constexpr int BAR_MAX_WIDTH = 30;
constexpr const char* ERASE_LINE = "\r\033[K";

// H:MM:SS, or M:SS under an hour; whole seconds rounded up.
std::string clockText(double seconds) {
    const auto whole = static_cast<long long>(std::ceil(std::min(seconds, 3.6e9)));
    char text[48];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                      whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    }
    return text;
}

}  // namespace

std::string formatProgress(int64_t done, int64_t total, double seconds, int columns) {
    const double fps = seconds > 0.0 ? static_cast<double>(done) / seconds : 0.0;
    char rate[48];
    if (fps > 0.0) {
        std::snprintf(rate, sizeof rate, "%.1f fps", fps);
    } else {
        std::snprintf(rate, sizeof rate, "- fps");
    }
    char text[160];
    if (total < 0) {
        std::snprintf(text, sizeof text, "%lld frames  %s", static_cast<long long>(done), rate);
        return std::string(text).substr(0, static_cast<size_t>(std::max(columns, 0)));
    }
    done = std::min(done, total);
    const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
    const std::string left =
        fps > 0.0 ? clockText(static_cast<double>(total - done) / fps) : std::string("-:--");
    char head[64];
    std::snprintf(head, sizeof head, "%lld/%lld frames", static_cast<long long>(done),
                  static_cast<long long>(total));
    std::snprintf(text, sizeof text, "%3d%%  %s  %s left", percent, rate, left.c_str());
    const std::string tail = text;

    // The bar takes what room is left, up to its maximum; none on a narrow terminal.
    const int room = columns - static_cast<int>(std::string(head).size() + tail.size()) - 4;
    const int width = std::min(room, BAR_MAX_WIDTH);
    std::string line = head;
    if (width >= 5) {
        const auto filled =
            total > 0 ? static_cast<int>(static_cast<int64_t>(width) * done / total) : width;
        line += " [" + std::string(static_cast<size_t>(filled), '#') +
                std::string(static_cast<size_t>(width - filled), '.') + "] ";
    } else {
        line += "  ";
    }
    line += tail;
    return line.substr(0, static_cast<size_t>(std::max(columns, 0)));
}

ProgressBar::ProgressBar(FILE* stream) : stream_(stream) {}

bool ProgressBar::wanted() {
    return isatty(STDERR_FILENO) == 1;
}

int ProgressBar::columns() const {
    winsize size{};
    if (ioctl(fileno(stream_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return static_cast<int>(size.ws_col) - 1;  // the last column would wrap on some terminals
    }
    return 79;
}

bool ProgressBar::begin(const RunInfo& run) {
    total_ = run.frames;
    done_ = 0;
    finished_ = false;
    start_ = std::chrono::steady_clock::now();
    lastDraw_ = start_;
    return true;
}

bool ProgressBar::frame(const FrameMeta&, const lumaqc::FrameValues&) {
    ++done_;
    const auto now = std::chrono::steady_clock::now();
    // Drawn on the first frame, so even a short run shows it once, then at
    // most every REDRAW_INTERVAL.
    if (!finished_ && (!shown_ || now - lastDraw_ >= REDRAW_INTERVAL)) {
        lastDraw_ = now;
        draw();
    }
    return true;  // a terminal that cannot show the bar is no reason to stop
}

bool ProgressBar::end(const RunSummary&) {
    clear();
    finished_ = true;
    return true;
}

void ProgressBar::draw() {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const std::string line = ERASE_LINE + formatProgress(done_, total_, seconds, columns());
    std::fputs(line.c_str(), stream_);
    std::fflush(stream_);
    shown_ = true;
}

void ProgressBar::clear() {
    if (!shown_) return;
    std::fputs(ERASE_LINE, stream_);
    std::fflush(stream_);
    shown_ = false;
}

bool ProgressBar::Eraser::frame(const FrameMeta&, const lumaqc::FrameValues&) {
    bar_.clear();
    return true;
}

bool ProgressBar::Eraser::end(const RunSummary&) {
    bar_.clear();
    return true;
}

}  // namespace lumaqc
