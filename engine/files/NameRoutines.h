#pragma once
// Scans and comparisons of names and paths in code page 932 text.
//
// These are the engine's only scans of names and paths and its only foldings and
// comparisons of names (tables, indexes, fields, files, databases, SQL identifiers):
// each steps over double-byte characters (platform/CodePage.h), so a trail byte 0x5C
// is never a separator and a trail byte that looks like a letter is never folded.
// A test over the sources keeps byte-wise scans from coming back elsewhere.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kura {

// Bytes of the character at s[i]: 2 for a lead byte with a byte after it, else 1.
size_t CharLengthAt(std::string_view s, size_t i);
// Position of the last / first single-byte character of s that is one of chars,
// npos when none (a trail byte never counts).
size_t LastDelimiter(std::string_view s, std::string_view chars);
size_t FirstDelimiter(std::string_view s, std::string_view chars, size_t from = 0);
// Names equal without regard to the case of letters, ASCII and full-width Latin
// (ａ as Ａ); other double-byte characters exactly. CompareNameText orders the same
// way (-1, 0, 1).
bool SameNameText(std::string_view a, std::string_view b);
int32_t CompareNameText(std::string_view a, std::string_view b);
// ASCII and full-width Latin letters upper-cased, other double-byte characters intact.
std::string UpperCaseName(std::string_view s);
// Whether the last component of the name, without a trailing ".DAT" (any case),
// names a file: not empty (nor only blanks), ".", or "..". A name that ends in a
// separator has an empty last component.
bool NamesTableFile(std::string_view name);

}  // namespace kura
