// File names as shown to people: in the JSON document and the report, and
// on the console and the error stream. A name is any string of bytes; what
// is not valid UTF-8 is written as \xNN (a backslash, x and two hexadecimal
// digits per byte), so nothing is silently replaced by U+FFFD and the bytes
// can be read back from the text. On a terminal, control characters (C0,
// DEL and C1) are written the same way, so a name cannot move the cursor,
// change colours or retitle the window.
#pragma once

#include <string>
#include <string_view>

namespace lumaqc {

// Valid UTF-8 as it is (control characters too: JSON escapes them); each
// byte that is not part of a valid UTF-8 sequence as \xNN.
std::string readableName(std::string_view name);

// As readableName(), with control characters as \xNN too (each of their bytes).
std::string printableName(std::string_view name);

}  // namespace lumaqc
