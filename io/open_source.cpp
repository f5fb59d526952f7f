#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

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
    const DecoderOptions decoding{.continueAfterDamage = request.continueAfterDamage,
                                  .quantisers = request.quantisers,
                                  .groupDecoders = request.threads,
                                  // Two more than the analysis threads keep
                                  // the decoder's pipeline full while they take
                                  // the cores (see docs/performance.md).
                                  .frameThreads = request.threads > 1 ? request.threads + 2 : 1};
    source = openDecoderSource(request.path, std::move(input), request.stop, opened, error,
                               decoding, facts);
    // No video: raw samples (no message: they need their size), or a
    // container without a video stream (the decoder's message).
    if (opened == DecoderOpen::NotVideo) return failed(status, OpenStatus::NeedsSize, error, error);
    if (!source) return failed(status, OpenStatus::Failed, error, error);
    return source;
}

}  // namespace lumaqc
