// The Y4M reader on any bytes after the signature, as a file and as a
// stream. Headers that declare pictures of more than 2^22 samples are left
// out: the reader rightly allocates what the header declares.
#include <cctype>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/fuzz_input.h"
#include "fuzz/reader_support.h"
#include "io/frame_source.h"
#include "io/input_stream.h"
#include "io/y4m_source.h"


namespace {

// The largest value of the header tokens starting with `letter` (W or H),
// read as the reader reads them: digits only.
int64_t largestToken(const std::string& header, char letter) {
    int64_t largest = 0;
    size_t pos = 0;
    while ((pos = header.find(letter, pos)) != std::string::npos) {
        int64_t value = 0;
        size_t i = pos + 1;
        while (i < header.size() && std::isdigit(static_cast<unsigned char>(header[i])) &&
               value < (int64_t{1} << 24)) {
            value = value * 10 + (header[i] - '0');
            ++i;
        }
        largest = std::max(largest, value);
        pos = i;
    }
    return largest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int64_t start = in.range(0, 3);
    const int count = in.range(0, 5);
    std::string bytes(Y4M_SIGNATURE);
    bytes.append(reinterpret_cast<const char*>(in.rest()), in.remaining());
    const std::string header = bytes.substr(0, bytes.find('\n'));
    if (largestToken(header, 'W') * largestToken(header, 'H') > (int64_t{1} << 22)) return 0;
    const auto* video = reinterpret_cast<const uint8_t*>(bytes.data());

    {
        MemoryFile file(video, bytes.size());
        SourceRequest request;
        request.path = file.path();
        std::string error;
        std::unique_ptr<FrameSource> source = openFrameSource(request, error);
        if (source) {
            readFrames(*source, start, count);
        } else {
            require(!error.empty() && error.back() == '\n', "a refused header without a message");
        }
    }

    if (FILE* stream = memoryStream(video, bytes.size())) {
        std::string error;
        std::unique_ptr<FrameSource> source =
            openY4mSource(std::make_unique<InputStream>(stream, "stream"), "-", error);
        if (source) {
            readFrames(*source, start, count);
        } else {
            require(!error.empty() && error.back() == '\n', "a refused header without a message");
        }
    }
    return 0;
}
