#include "engine/sql/LocaleNames.h"

#include "engine/expr/ExpToken.h"

namespace kura {

namespace {

TLocaleNameLookup Installed;

}  // namespace

void SetLocaleNameLookup(const TLocaleNameLookup& lookup) { Installed = lookup; }

bool SqlLanguageExists(std::string_view name) {
    if (Installed.LanguageExists) return Installed.LanguageExists(name);
    return SameNameText(name, "ANSI Standard");
}

uint16_t SqlLanguageID(std::string_view name) {
    return Installed.GetLanguageID ? Installed.GetLanguageID(name) : 0;
}

bool SqlSortOrderExists(uint16_t languageId, std::string_view name) {
    if (Installed.SortOrderExists) return Installed.SortOrderExists(languageId, name);
    return SameNameText(name, "Default Order");
}

uint16_t SqlSortOrderID(uint16_t languageId, std::string_view name) {
    return Installed.GetSortOrderID ? Installed.GetSortOrderID(languageId, name) : 0;
}

}  // namespace kura
