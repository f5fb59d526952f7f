#include "io/display_name.h"

#include <cstdint>

namespace lumaqc {

namespace {

// Length of the valid UTF-8 sequence at `at` (shortest form, no surrogates,
// at most U+10FFFF), or 0; `code` gets its code point.
size_t sequenceAt(std::string_view text, size_t at, uint32_t& code) {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[at + k]); };
    const uint8_t lead = byte(0);
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    size_t length = 0;
    uint32_t min = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        code = lead & 0x1fu;
        min = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        code = lead & 0x0fu;
        min = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        code = lead & 0x07u;
        min = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(k) & 0xc0) != 0x80) return 0;
        code = code << 6 | (byte(k) & 0x3fu);
    }
    if (code < min || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    return length;
}

void appendEscaped(std::string& out, uint8_t byte) {
    static const char* const kHex = "0123456789abcdef";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xf];
}

std::string displayed(std::string_view name, bool controls) {
    std::string out;
    out.reserve(name.size());
    for (size_t at = 0; at < name.size();) {
        uint32_t code = 0;
        const size_t length = sequenceAt(name, at, code);
        const bool control = code < 0x20 || code == 0x7f || (code >= 0x80 && code < 0xa0);
        if (length == 0) {
            appendEscaped(out, static_cast<uint8_t>(name[at]));
            ++at;
            continue;
        }
        if (controls && control) {
            for (size_t k = 0; k < length; ++k)
                appendEscaped(out, static_cast<uint8_t>(name[at + k]));
        } else {
            out.append(name.substr(at, length));
        }
        at += length;
    }
    return out;
}

}  // namespace

std::string readableName(std::string_view name) {
    return displayed(name, false);
}

std::string printableName(std::string_view name) {
    return displayed(name, true);
}

}  // namespace lumaqc
