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

// ---- Names ------------------------------------------------------------------------
// The one place that knows how names and paths of code page 932 text are scanned and
// compared. The trail byte of a double-byte character may be any of 0x40-0xFC: "\"
// (0x5C, as in 表, 能, 十, ソ), "|" (0x7C) and the ASCII letters among them. So a scan
// for a separator, and every folding of letters, steps over whole characters; the
// engine reaches these through its file layer (engine/files/Routines.h).

// Code page 932 lead bytes (0x81-0x9F, 0xE0-0xFC).
constexpr bool IsCp932LeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
// Bytes of the character that starts at text[pos]: 2 for a lead byte that has a byte
// after it, else 1 (a lead byte at the very end stands alone).
size_t Cp932CharLength(std::string_view text, size_t pos);
// Position of the first / last single-byte character of text that is one of chars;
// npos when there is none. A trail byte never counts.
size_t Cp932FindFirstOf(std::string_view text, std::string_view chars, size_t from = 0);
size_t Cp932FindLastOf(std::string_view text, std::string_view chars);
// Equal, or ordered (-1, 0, 1 by unsigned bytes), with letters folded to upper case
// as names compare: ASCII letters, and the full-width Latin letters ａ-ｚ to Ａ-Ｚ (a
// double-byte character, whose trail byte alone is never taken for a letter); every
// other double-byte character compares exactly.
bool Cp932SameText(std::string_view a, std::string_view b);
int Cp932CompareText(std::string_view a, std::string_view b);
// ASCII and full-width Latin letters upper-cased; other double-byte characters intact.
std::string Cp932UpperCase(std::string_view text);

}  // namespace platform
