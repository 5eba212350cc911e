#pragma once
// The engine's fixed list of table languages and the sort orders each offers. A
// table's locale id is sort id << 16 | language id (Windows LANGID: sub-language
// << 10 | primary language); "ANSI Standard" (id 0) means no locale. SQL table
// definitions name both by text (LANGUAGE '...' and SORT '...').
//
// Name lookups ignore letter case and take the first match in list order. Every
// language offers "Default Order" (sort id 0); the five German entries also offer
// "German Phone Book Order" (sort id 1, the Windows phone-book sort).
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/files/StringList.h"

namespace kura {

struct TLanguageEntry {
    const char* Name;
    uint16_t Id;
};

constexpr int32_t LANGUAGE_COUNT = 99;
inline constexpr std::string_view DEFAULT_SORT_ORDER = "Default Order";
inline constexpr std::string_view GERMAN_PHONE_BOOK_ORDER = "German Phone Book Order";
constexpr uint16_t GERMAN_PHONE_BOOK_SORT_ID = 1;

// Entry 0..98 in list order.
const TLanguageEntry& GetLanguageEntry(int32_t position);

bool LanguageExists(std::string_view name);
// 0 when no entry has this name (the same as "ANSI Standard").
uint16_t GetLanguageID(std::string_view name);
// An id absent from the list offers "Default Order" only.
bool SortOrderExists(uint16_t languageId, std::string_view sortOrderName);
// The sort id of a sort order the language offers; 0 for any other name.
uint16_t GetSortOrderID(uint16_t languageId, std::string_view sortOrderName);
// The list cleared and filled with the sort-order names of the language at this
// list position, in order.
void GetSortOrderNames(int32_t position, TStringList& names);

}  // namespace kura
