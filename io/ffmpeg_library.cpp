#ifdef LUMAQC_HAVE_DECODER

#include "io/ffmpeg_library.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>

namespace lumaqc::ffmpeg {

namespace {

// The sonames of the major versions the headers describe.
#define LUMAQC_SONAME(name, major) "lib" #name ".so." AV_STRINGIFY(major)
struct Library {
    const char* soname;
    void* handle = nullptr;
};
Library avutil{LUMAQC_SONAME(avutil, LIBAVUTIL_VERSION_MAJOR)};
Library swscale{LUMAQC_SONAME(swscale, LIBSWSCALE_VERSION_MAJOR)};
Library avcodec{LUMAQC_SONAME(avcodec, LIBAVCODEC_VERSION_MAJOR)};
Library avformat{LUMAQC_SONAME(avformat, LIBAVFORMAT_VERSION_MAJOR)};
#undef LUMAQC_SONAME

Functions table;
std::once_flag once;
std::string failure;  // set once, before `loaded` is read
std::atomic<bool> loaded{false};
std::atomic<void (*)(void*, int, const char*, va_list)> messages{nullptr};

AVCodecParserContext* (*streamParser)(const AVStream*) = nullptr;  // optional
std::atomic<void (*)(const char*, const char*)> transport{nullptr};
std::atomic<int> transportLevel{-1};

// libsrt's own hand-over of its lines (srt/logging_api.h).
void transportLine(void*, int, const char*, int, const char* area, const char* text) {
    auto* handler = transport.load();
    if (handler != nullptr) handler(area != nullptr ? area : "", text != nullptr ? text : "");
}

void applyMessageHandler() {
    auto* handler = messages.load();
    if (handler == nullptr) return;
    table.av_log_set_level(AV_LOG_QUIET);
    table.av_log_set_callback(handler);
}

// libsrt, where libavformat depends on it: dlsym() on libavformat's handle
// searches the libraries it brought in.
void applyTransportLogHandler() {
    const int level = transportLevel.load();
    if (level < 0) return;
    using Handler = void(void*, int, const char*, int, const char*, const char*);
    auto* setHandler =
        reinterpret_cast<void (*)(void*, Handler*)>(dlsym(avformat.handle, "srt_setloghandler"));
    auto* setLevel = reinterpret_cast<void (*)(int)>(dlsym(avformat.handle, "srt_setloglevel"));
    auto* setFlags = reinterpret_cast<void (*)(int)>(dlsym(avformat.handle, "srt_setlogflags"));
    if (setHandler == nullptr || setLevel == nullptr) return;
    // No time, thread name, severity or line feed in the text handed on.
    if (setFlags != nullptr) setFlags(1 | 2 | 4 | 8);
    setHandler(nullptr, &transportLine);
    setLevel(level);
}

bool open(Library& library) {
    library.handle = dlopen(library.soname, RTLD_NOW | RTLD_LOCAL);
    if (library.handle != nullptr) return true;
    const char* why = dlerror();
    failure = std::string("cannot load ") + library.soname + " (" +
              (why != nullptr ? why : "unknown reason") + ")";
    return false;
}

template <typename Pointer>
bool find(const Library& library, const char* name, Pointer& pointer) {
    pointer = reinterpret_cast<Pointer>(dlsym(library.handle, name));
    if (pointer != nullptr) return true;
    failure = std::string("cannot load ") + library.soname + " (it has no " + name + ")";
    return false;
}

void openAll() {
    // Handles that opened stay open when a later library fails: dlclose of
    // a library whose initialisers ran is not worth its risks.
    for (Library* library : {&avutil, &swscale, &avcodec, &avformat}) {
        if (!open(*library)) return;
    }
#define LUMAQC_FFMPEG_FIND(library, name) \
    if (!find(library, #name, table.name)) return;
    LUMAQC_FFMPEG_FUNCTIONS(LUMAQC_FFMPEG_FIND)
#undef LUMAQC_FFMPEG_FIND
    streamParser = reinterpret_cast<AVCodecParserContext* (*)(const AVStream*)>(
        dlsym(avformat.handle, "av_stream_get_parser"));
    loaded = true;
    applyMessageHandler();
    applyTransportLogHandler();
}

}  // namespace

bool load(std::string* error) {
    std::call_once(once, openAll);
    if (!loaded && error != nullptr) *error = failure;
    return loaded;
}

const Functions& api() {
    return table;
}

void setMessageHandler(void (*handler)(void*, int, const char*, va_list)) {
    messages = handler;
    // A load under way applies it itself once it has the table.
    if (loaded) applyMessageHandler();
}

const AVCodecParserContext* parserOf(const AVStream& stream) {
    return streamParser != nullptr ? streamParser(&stream) : nullptr;
}

void setTransportLogHandler(void (*handler)(const char*, const char*), int level) {
    transport = handler;
    transportLevel = level;
    if (loaded) applyTransportLogHandler();
}

}  // namespace lumaqc::ffmpeg

#endif
