#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "io/decoder_source.h"
#include "io/display_name.h"
#include "io/frame_source.h"
#include "io/input_stream.h"
#include "io/pixel_format.h"
#include "io/raw_file_source.h"
#include "io/raw_stream_source.h"
#include "io/sample_reducer.h"
#include "io/y4m_source.h"

namespace lumaqc {

namespace {

// Standard input, pipes, sockets and terminals can only be read forward.
bool isStream(FILE* file) {
    struct stat st {};
    if (file == stdin) return true;
    if (fstat(fileno(file), &st) != 0) return false;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode);
}

// The absolute path, size and modification time of the file read.
InputFile describeFile(const std::string& path, const struct stat& st) {
    InputFile facts;
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    facts.absolutePath = absolute.empty() ? path : absolute.lexically_normal().string();
    if (S_ISREG(st.st_mode)) {
        facts.sizeBytes = static_cast<int64_t>(st.st_size);
        facts.modifiedTime = static_cast<int64_t>(st.st_mtim.tv_sec);
    }
    return facts;
}

std::unique_ptr<FrameSource> failed(OpenStatus* status, OpenStatus why, std::string& error,
                                    const std::string& message) {
    if (status != nullptr) *status = why;
    error = message;
    return nullptr;
}

// "SUBJECT holds no whole frame of W x H (N bytes; a frame is M)".
std::string noWholeFrame(const std::string& subject, const SourceRequest& request, uint64_t got,
                         uint64_t frame) {
    return subject + " holds no whole frame of " + std::to_string(request.width) + " x " +
           std::to_string(request.height) + " (" + std::to_string(got) + " bytes; a frame is " +
           std::to_string(frame) + ")\n";
}

// The pattern of a numbered sequence of picture files, as libavformat reads
// them: a file name with exactly one %d or %Nd (the number written with at
// least N digits, zeros in front), %% for a percent sign.
struct SequencePattern {
    std::string directory;  // "" for the working directory
    std::string prefix, suffix;
    size_t digits = 1;

    std::string name(int64_t number) const {
        const std::string text = std::to_string(number);
        const std::string zeros(text.size() < digits ? digits - text.size() : 0, '0');
        return prefix + zeros + text + suffix;
    }
    std::string path(int64_t number) const {
        if (directory.empty()) return name(number);
        std::string text = directory;
        if (text.back() != '/') text += '/';
        return text + name(number);
    }
};

bool parseSequence(const std::string& path, SequencePattern& pattern) {
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // "/x%04d.tif" lies in "/".
    pattern.directory =
        slash == std::string::npos ? "" : path.substr(0, std::max<size_t>(slash, 1));
    if (pattern.directory.find('%') != std::string::npos) return false;
    int conversions = 0;
    std::string* part = &pattern.prefix;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '%') {
            *part += name[i];
            continue;
        }
        if (i + 1 < name.size() && name[i + 1] == '%') {
            *part += '%';
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < name.size() && name[j] >= '0' && name[j] <= '9') ++j;
        if (j == name.size() || name[j] != 'd' || j - i - 1 > 2) return false;
        pattern.digits =
            j == i + 1 ? 1 : std::max<size_t>(1, std::stoul(name.substr(i + 1, j - i - 1)));
        ++conversions;
        part = &pattern.suffix;
        i = j;
    }
    return conversions == 1;
}

// The digits where `pattern` has its number in the file name `name`, however
// many there are (at most 9); "" when the name is not one of its kind.
std::string digitsOf(const SequencePattern& pattern, const std::string& name) {
    if (name.size() <= pattern.prefix.size() + pattern.suffix.size() ||
        name.compare(0, pattern.prefix.size(), pattern.prefix) != 0 ||
        name.compare(name.size() - pattern.suffix.size(), pattern.suffix.size(), pattern.suffix) !=
            0) {
        return "";
    }
    std::string middle = name.substr(pattern.prefix.size(),
                                     name.size() - pattern.prefix.size() - pattern.suffix.size());
    if (middle.size() > 9 || middle.find_first_not_of("0123456789") != std::string::npos) {
        return "";
    }
    return middle;
}

// The names of the files in the pattern's directory.
std::vector<std::string> namesBeside(const SequencePattern& pattern) {
    std::vector<std::string> names;
    std::error_code failed;
    const std::filesystem::path directory = pattern.directory.empty() ? "." : pattern.directory;
    for (std::filesystem::directory_iterator it(directory, failed), end; !failed && it != end;
         it.increment(failed)) {
        names.push_back(it->path().filename().string());
    }
    return names;
}

// The numbers of the sequence's files in its directory, in order.
std::vector<int64_t> sequenceNumbers(const SequencePattern& pattern) {
    std::vector<int64_t> numbers;
    for (const std::string& name : namesBeside(pattern)) {
        const std::string digits = digitsOf(pattern, name);
        if (digits.empty()) continue;
        const int64_t number = std::stoll(digits);
        if (pattern.name(number) == name) numbers.push_back(number);
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

// The pattern that names the files of the directory which differ from
// `pattern` only in how their number is written (pic_1001.tif for
// pic_%d.tif: "pic_%04d.tif"), with the first of them; empty when none do.
std::pair<std::string, std::string> otherNumbering(const SequencePattern& pattern,
                                                   const std::string& given) {
    std::string first;
    size_t padded = 0;  // the digits of a number written with zeros in front
    for (const std::string& name : namesBeside(pattern)) {
        const std::string digits = digitsOf(pattern, name);
        if (digits.empty()) continue;
        if (first.empty() || name < first) first = name;
        if (digits.size() > 1 && digits[0] == '0') padded = digits.size();
    }
    if (first.empty()) return {};
    const auto escaped = [](const std::string& text) {
        std::string out;
        for (const char c : text) out += c == '%' ? std::string("%%") : std::string(1, c);
        return out;
    };
    const size_t slash = given.rfind('/');
    const std::string other =
        (slash == std::string::npos ? "" : given.substr(0, slash + 1)) + escaped(pattern.prefix) +
        (padded > 0 ? "%0" + std::to_string(padded) + "d" : "%d") + escaped(pattern.suffix);
    if (other == given) return {};
    return {other, first};
}

DecoderOptions decoderOptions(const SourceRequest& request) {
    return {.continueAfterDamage = request.continueAfterDamage,
            .quantisers = request.quantisers,
            .groupDecoders = request.threads,
            // Two more than the analysis threads keep the decoder's pipeline
            // full while they take the cores (see docs/performance.md).
            .frameThreads = request.threads > 1 ? request.threads + 2 : 1};
}

// A numbered sequence of pictures, from its lowest number on. A number
// missing between its first and last file refuses it: libavformat would end
// the sequence there and leave the pictures after it unread.
std::unique_ptr<FrameSource> openSequence(const SourceRequest& request,
                                          const SequencePattern& pattern, OpenStatus* status,
                                          std::string& error) {
    const std::string opening = "Error opening the file " + printableName(request.path) + ": ";
    const std::vector<int64_t> numbers = sequenceNumbers(pattern);
    if (numbers.empty()) {
        // Files numbered otherwise (pic_1001.tif for pic_%d.tif): say how.
        const auto [other, example] = otherNumbering(pattern, request.path);
        const std::string hint = other.empty() ? ""
                                               : "(files such as " + printableName(example) +
                                                     " are named by " + printableName(other) + ")";
        return failed(status, OpenStatus::Failed, error,
                      opening + std::strerror(ENOENT) + " " + hint + "\n");
    }
    for (size_t i = 1; i < numbers.size(); ++i) {
        if (numbers[i] != numbers[i - 1] + 1) {
            return failed(status, OpenStatus::Failed, error,
                          opening + printableName(pattern.path(numbers[i - 1] + 1)) +
                              " is missing from the sequence of " +
                              printableName(pattern.path(numbers.front())) + " to " +
                              printableName(pattern.path(numbers.back())) + "\n");
        }
    }
    DecoderOptions decoding = decoderOptions(request);
    decoding.sequenceStart = numbers.front();
    const struct stat none {};  // no file of that name: no size
    const InputFile facts = describeFile(request.path, none);
    DecoderOpen opened = DecoderOpen::NotVideo;
    std::unique_ptr<FrameSource> source =
        openDecoderSource(request.path, nullptr, request.stop, opened, error, decoding, facts);
    if (!source) return failed(status, OpenStatus::Failed, error, error);
    return source;
}

}  // namespace

std::unique_ptr<FrameSource> openFrameSource(const SourceRequest& request, std::string& error,
                                             OpenStatus* status) {
    if (status != nullptr) *status = OpenStatus::Ok;
    const PixelFormat* format = nullptr;
    if (!request.pixelFormat.empty()) {
        format = findPixelFormat(request.pixelFormat);
        if (format == nullptr) {
            return failed(status, OpenStatus::Failed, error,
                          "Unknown pixel format " + request.pixelFormat +
                              "; the formats read are " + pixelFormatNames() + "\n");
        }
    }
    const bool fromStdin = request.path == "-";
    FILE* file = fromStdin ? stdin : std::fopen(request.path.c_str(), "rb");
    if (file == nullptr) {
        const int code = errno;
        // No file of that name, but the name of a numbered sequence of
        // pictures (scans, renders): decoded one file after the other.
        SequencePattern pattern;
        if (code == ENOENT && request.width <= 0 && format == nullptr &&
            parseSequence(request.path, pattern)) {
            return openSequence(request, pattern, status, error);
        }
        return failed(status, OpenStatus::Failed, error,
                      "Error opening the file " + printableName(request.path) + ": " +
                          std::strerror(code) + " \n");
    }
    // A directory opens for reading but holds no frames.
    struct stat st {};
    const bool statted = !fromStdin && fstat(fileno(file), &st) == 0;
    if (statted && S_ISDIR(st.st_mode)) {
        std::fclose(file);
        return failed(status, OpenStatus::Failed, error,
                      "Error opening the file " + printableName(request.path) + ": " +
                          std::strerror(EISDIR) + " \n");
    }
    const InputFile facts = statted ? describeFile(request.path, st) : InputFile{};
    const bool stream = isStream(file);
    auto input = std::make_unique<InputStream>(
        file, fromStdin ? "standard input" : printableName(request.path));
    const std::string signature(Y4M_SIGNATURE);
    const std::string head = input->peek(signature.size());
    // What the refusals below call the input.
    const std::string subject =
        fromStdin ? std::string("Standard input") : "The file " + printableName(request.path);
    // Nothing at all to read (an empty file, a pipe whose writer failed):
    // refused before any output is touched. A raw file of a given size says
    // it in its own words below.
    const bool sized = request.width > 0 && request.height > 0;
    if (head.empty() && !input->failed() && (stream || !sized)) {
        return failed(status, OpenStatus::Failed, error, subject + " is empty\n");
    }

    if (head == signature) {
        std::unique_ptr<FrameSource> source =
            openY4mSource(std::move(input), request.path, error, facts, stream && !request.live,
                          request.mapFrames);
        if (!source) return failed(status, OpenStatus::Failed, error, error);
        const SourceInfo& info = source->info();
        if (request.width > 0 && (request.width != info.width || request.height != info.height)) {
            return failed(status, OpenStatus::Failed, error,
                          "Picture size " + std::to_string(request.width) + " x " +
                              std::to_string(request.height) + " does not match " +
                              (fromStdin ? "the Y4M header of standard input"
                                         : "the Y4M header of " + printableName(request.path)) +
                              " (" + std::to_string(info.width) + " x " +
                              std::to_string(info.height) + ")\n");
        }
        if (format != nullptr && info.pixelFormat != format->name) {
            return failed(status, OpenStatus::Failed, error,
                          "Pixel format " + request.pixelFormat + " does not match " +
                              (fromStdin ? "the Y4M header of standard input"
                                         : "the Y4M header of " + printableName(request.path)) +
                              " (" + info.pixelFormat + ")\n");
        }
        return source;
    }

    if (request.width > 0 && request.height > 0) {
        FrameLayout layout;
        std::string why;
        if (!makeFrameLayout(format, request.width, request.height, layout, why)) {
            return failed(status, OpenStatus::Failed, error,
                          "Cannot read " +
                              (fromStdin ? std::string("standard input") : request.path) + " as " +
                              request.pixelFormat + ": " + why + "\n");
        }
        if (stream) {
            // A pipe that ends inside its first frame is refused before any
            // output is touched, as such a file is (a run said to be live
            // does not wait for it).
            const auto frame = static_cast<size_t>(layout.frameBytes);
            const size_t got = request.live ? frame : input->lookAhead(frame);
            if (got < frame && !input->failed()) {
                return failed(status, OpenStatus::Failed, error,
                              noWholeFrame(subject, request, got, frame));
            }
            return std::make_unique<RawStreamSource>(std::move(input), request.path, request.width,
                                                     request.height, std::move(layout), facts);
        }
        // A seekable file: each frame is read at its own offset.
        FILE* raw = input->release();
        std::clearerr(raw);
        std::rewind(raw);
        auto source =
            std::make_unique<RawFileSource>(raw, request.path, request.width, request.height,
                                            std::move(layout), facts, request.mapFrames);
        if (source->info().frames == 0) {
            return failed(status, OpenStatus::Failed, error,
                          noWholeFrame(subject, request, source->fileSize(), source->frameSize()));
        }
        return source;
    }
    if (format != nullptr) {
        return failed(status, OpenStatus::Failed, error,
                      "A pixel format (--pix-fmt " + request.pixelFormat +
                          ") describes raw video, which needs WIDTH and HEIGHT; " +
                          (fromStdin ? std::string("standard input") : request.path) +
                          " has no Y4M header that gives them\n");
    }

    DecoderOpen opened = DecoderOpen::NotVideo;
    std::unique_ptr<FrameSource> source;
    if (!stream) input.reset();
    source = openDecoderSource(request.path, std::move(input), request.stop, opened, error,
                               decoderOptions(request), facts);
    // No video: raw samples (no message: they need their size), or a
    // container without a video stream (the decoder's message).
    if (opened == DecoderOpen::NotVideo) return failed(status, OpenStatus::NeedsSize, error, error);
    if (!source) return failed(status, OpenStatus::Failed, error, error);
    return source;
}

}  // namespace lumaqc
