#pragma once
// The language and sort-order names the LANGUAGE and SORT clauses accept. The
// engine's language list lives in the engine core's start-up; the SQL library asks
// it through this lookup, which the engine installs. Until then only the names the
// application's tables use are known: "ANSI Standard" (id 0) and "Default Order"
// (sort id 0), compared without regard to case.
#include <cstdint>
#include <string_view>

namespace kura {

struct TLocaleNameLookup {
    bool (*LanguageExists)(std::string_view name) = nullptr;
    uint16_t (*GetLanguageID)(std::string_view name) = nullptr;
    bool (*SortOrderExists)(uint16_t languageId, std::string_view name) = nullptr;
    uint16_t (*GetSortOrderID)(uint16_t languageId, std::string_view name) = nullptr;
};

// Installs the lookup; a member left nullptr keeps the built-in answer.
void SetLocaleNameLookup(const TLocaleNameLookup& lookup);

bool SqlLanguageExists(std::string_view name);
uint16_t SqlLanguageID(std::string_view name);
bool SqlSortOrderExists(uint16_t languageId, std::string_view name);
uint16_t SqlSortOrderID(uint16_t languageId, std::string_view name);

}  // namespace kura
