#include "engine/files/Locale.h"
#include "engine/files/Routines.h"
#include "platform/Locale.h"

namespace kura {

int32_t CompareCharsLocale(uint16_t languageId, uint16_t sortId, char a, char b) {
    return CompareCharsByLocale(languageId, sortId, a, b);
}

int32_t CompareCharLocale(uint16_t languageId, uint16_t sortId, const char* a, const char* b) {
    const int32_t first = CompareCharsByLocale(languageId, sortId, a[0], b[0]);
    // A locale may find an ignorable character equal to the terminator; b has no
    // second byte then.
    if (first == 0 && platform::IsDBCSLeadByte(static_cast<uint8_t>(a[0])) && b[0] != '\0') {
        return CompareCharsByLocale(languageId, sortId, a[1], b[1]);
    }
    return first;
}

bool SameStringLists(uint16_t languageId, uint16_t sortId, const TStringList* a, const TStringList* b) {
    if (a == nullptr || b == nullptr) return a == b;
    if (a->Count() != b->Count()) return false;
    for (int32_t i = 0; i < a->Count(); ++i) {
        if (CompareStringsByLocale(languageId, sortId, a->Get(i).c_str(), true, 0, b->Get(i).c_str()) != 0) {
            return false;
        }
    }
    return true;
}

bool SameNameByLocale(uint16_t languageId, uint16_t sortId, std::string_view a, std::string_view b) {
    if (languageId == 0) return SameNameText(a, b);
    // A zero byte would end the texts early for the locale's comparison.
    if (a.find('\0') != std::string_view::npos || b.find('\0') != std::string_view::npos) return a == b;
    return CompareStringsByLocale(languageId, sortId, std::string(a).c_str(), true, 0, std::string(b).c_str()) == 0;
}

}  // namespace kura
