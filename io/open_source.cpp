#include <cerrno>
#include <cstdio>
#include <cstring>

#include "io/frame_source.h"
#include "io/raw_file_source.h"

std::unique_ptr<FrameSource> openFrameSource(const SourceRequest& request, std::string& error) {
    FILE* file = std::fopen(request.path.c_str(), "rb");
    if (file == nullptr) {
        error = "Error opening the file " + request.path + ": " + std::strerror(errno) + " \n";
        return nullptr;
    }
    return std::make_unique<RawFileSource>(file, request.path, request.width, request.height);
}
