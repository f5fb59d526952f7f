#include "report/provenance.h"

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <ctime>

#include "io/display_name.h"
#include "io/frame_source.h"
#include "tools/simd.h"

namespace lumaqc {

using Json = nlohmann::ordered_json;

namespace {

Json textOrNull(const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(text);
}

// Names and arguments are bytes; what is not UTF-8 is written as \xNN.
Json nameOrNull(const std::string& name) {
    return name.empty() ? Json(nullptr) : Json(readableName(name));
}

}  // namespace

std::string isoTime(int64_t seconds) {
    const auto t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    char text[64] = "";
    if (gmtime_r(&t, &utc) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string isoTimeNow() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    std::string text = isoTime(ms / 1000);
    if (text.empty()) return text;
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>(ms % 1000));
    return text.substr(0, text.size() - 1) + fraction;
}

std::string compilerName() {
#if defined(__clang__)
    return "clang " __clang_version__;
#elif defined(__GNUC__)
    return "GCC " __VERSION__;
#else
    return "unknown";
#endif
}

RunProvenance startProvenance(int argc, const char* const* argv) {
    RunProvenance provenance;
    for (int i = 0; i < argc; ++i) provenance.commandLine.emplace_back(argv[i]);
    provenance.startTime = isoTimeNow();
    char host[HOST_NAME_MAX + 1] = "";
    if (gethostname(host, sizeof host) == 0) {
        host[HOST_NAME_MAX] = '\0';
        provenance.host = host;
    }
    return provenance;
}

Json inputRecord(const RunInfo& run) {
    const SourceInfo& source = *run.source;
    const InputFile& file = source.file;
    const bool regular = file.sizeBytes >= 0;
    // A container's declared duration, else the frames of a file at the run's rate.
    double duration = source.durationSeconds;
    if (duration < 0 && source.frames >= 0 && run.fps > 0 && std::isfinite(run.fps)) {
        duration = static_cast<double>(source.frames) / run.fps;
    }
    return Json{{"path", readableName(source.path)},
                {"kind", source.kind},
                {"width", source.width},
                {"height", source.height},
                {"fps", std::isfinite(run.fps) ? Json(run.fps) : Json(nullptr)},
                {"start_frame", run.start},
                {"frames_requested", run.frames >= 0 ? Json(run.frames) : Json(nullptr)},
                {"absolute_path", nameOrNull(file.absolutePath)},
                {"size_bytes", regular ? Json(file.sizeBytes) : Json(nullptr)},
                {"modified_time", regular ? textOrNull(isoTime(file.modifiedTime)) : Json(nullptr)},
                {"container", textOrNull(source.container)},
                {"codec", textOrNull(source.codec)},
                {"pixel_format", textOrNull(source.pixelFormat)},
                {"bit_depth", source.bitDepth > 0 ? Json(source.bitDepth) : Json(nullptr)},
                {"samples_reduced", source.samplesReduced},
                {"duration_seconds", duration >= 0 ? Json(duration) : Json(nullptr)},
                {"frame_rate_kind", textOrNull(source.frameRateKind)}};
}

Json runRecord(const RunInfo& run, const RunProvenance* provenance, const std::string& endTime) {
    if (provenance == nullptr) return nullptr;
    const RunProvenance& p = *provenance;
    const Json build{{"compiler", compilerName()},
                     {"vector_target", activeSimdTarget()},
                     {"decoder_libraries", textOrNull(decoderLibraries())}};
    Json commandLine = Json::array();
    for (const std::string& word : p.commandLine) commandLine.push_back(readableName(word));
    return Json{{"tool", "lumaqc"},
                {"version", LUMAQC_VERSION},
                {"build", build},
                {"command_line", commandLine},
                {"start_time", p.startTime},
                {"end_time", endTime},
                {"host", textOrNull(p.host)},
                {"threads", run.threads}};
}

}  // namespace lumaqc
