// The Y4M reader on any bytes after the signature, as a file and as a
// stream. Headers that declare pictures of more than 2^22 samples are left
// out: the reader rightly allocates what the header declares.
#include <algorithm>
#include <cctype>

#include "fuzz/reader_support.h"
#include "io/y4m_source.h"


namespace {

// The largest value of the header tokens starting with `letter` (W or H),
// read as the reader reads them: digits only.
int64_t largestToken(const std::string& header, char letter) {
    int64_t largest = 0;
    for (size_t pos = header.find(letter); pos != std::string::npos;
         pos = header.find(letter, pos + 1)) {
        int64_t value = 0;
        for (size_t i = pos + 1;
             i < header.size() && std::isdigit(static_cast<unsigned char>(header[i])) &&
             value < (int64_t{1} << 24);
             ++i)
            value = value * 10 + (header[i] - '0');
        largest = std::max(largest, value);
    }
    return largest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int64_t start = in.range(0, 3);
    const int count = in.range(0, 5);
    std::string bytes =
        Y4M_SIGNATURE + std::string(reinterpret_cast<const char*>(in.rest()), in.remaining());
    const std::string header = bytes.substr(0, bytes.find('\n'));
    if (largestToken(header, 'W') * largestToken(header, 'H') > (int64_t{1} << 22)) return 0;
    int fd = -1;
    if (auto source = openAsFile(bytes, 0, 0, fd)) readFrames(*source, start, count);
    close(fd);
    std::string error;
    if (auto source = openY4mSource(asStream(bytes), "-", error)) {
        readFrames(*source, start, count);
    } else {
        require(!error.empty() && error.back() == '\n', "a refused header without a message");
    }
    return 0;
}
