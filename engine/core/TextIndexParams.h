#pragma once
// The parameters of a table's full-text word index: the stop words (words never
// indexed), the space characters (which separate words) and the include characters
// (which belong to words). They are stored in the index file, in the raw-data page
// chain of the "Sys Text" index; each cursor keeps a working copy (TDataCursor
// LoadTextIndexParams / SetTextIndexParams / SaveTextIndexParams, TextIndexParams.cpp).
//
// Stored form, from offset 0 of the first raw-data page: u32 N; N times u32 L
// (at most 255) and L bytes of the word; u32 32 and the 32-byte space set; u32 32
// and the 32-byte include set. Character c is in a set when bit (c mod 8) of byte
// (c div 8) is set. An item never straddles two pages: when it would end beyond
// the page's 4083 data bytes it starts at offset 0 of the next page of the chain.
#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/files/Locale.h"
#include "engine/files/Routines.h"

namespace kura {

// Bytes of a character set in its stored form.
constexpr uint32_t TEXT_CHARSET_BYTES = 32;
// Stop words are short strings.
constexpr uint32_t TEXT_STOPWORD_MAX = 255;

// The defaults of a new table are GetDefaultTextIndexParams (TextWords.h).

// The stored 32-byte form of a set and back.
std::array<uint8_t, TEXT_CHARSET_BYTES> CharSetToBytes(const TCharSet& set);
TCharSet BytesToCharSet(const uint8_t* bytes);

// The whole parameter stream as it is laid over the raw-data pages: one vector per
// page, each PAGE_DATA_SIZE bytes. Words longer than 255 bytes are cut to 255.
std::vector<std::vector<uint8_t>> EncodeTextIndexParams(const TStringList& stopWords, const TCharSet& spaceChars,
                                                        const TCharSet& includeChars);

// Reads the stream back. firstPage is the data area (PAGE_DATA_SIZE bytes) of the
// first raw-data page; nextPage gives the next page's data area of the chain, or
// nullptr when the chain ends there or the next page is no raw-data page. The words
// are added to the list, which the caller has emptied. False when the stream is
// damaged (a negative count or length, an item longer than a page, a set whose
// length is not 32, or a chain that ends too early); whatever was read stays.
bool DecodeTextIndexParams(const uint8_t* firstPage, const std::function<const uint8_t*()>& nextPage,
                           TStringList& stopWords, TCharSet& spaceChars, TCharSet& includeChars);

}  // namespace kura
