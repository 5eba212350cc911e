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

// Strict forms for places that must not lose text: false (out unspecified) when the
// UTF-8 is malformed or holds a character code page 932 cannot represent.
bool TryUtf8ToCp932(std::string_view text, std::string& out);
// True when every byte sequence is a character code page 932 defines.
bool IsValidCp932(std::string_view text);
// The longest prefix of at most maxBytes bytes that ends on a character boundary, so
// a byte limit never keeps the lead byte of a double-byte character without its trail.
size_t Cp932PrefixLength(std::string_view text, size_t maxBytes);

}  // namespace platform
