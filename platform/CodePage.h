#pragma once
// Conversion between the engine's code page 932 text and UTF-8, for the places where
// text leaves the engine: the GUI and file names on disk.
//
// Neither direction fails: a byte sequence that code page 932 does not define becomes
// U+FFFD, and a character that code page 932 cannot hold (or malformed UTF-8) becomes "?".
#include <string>
#include <string_view>

namespace platform {

std::string Cp932ToUtf8(std::string_view text);
std::string Utf8ToCp932(std::string_view text);

}  // namespace platform
