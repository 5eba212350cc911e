#include "engine/files/Locale.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/Locale.h"

namespace kura {

TLanguageCharMapsList* LanguageCharMaps = nullptr;

namespace {

// Flags the engine collates with: string sort, accents ignored.
constexpr uint32_t kCollateFlags = platform::SORT_STRINGSORT | platform::NORM_IGNORENONSPACE;

// Unsigned byte comparison of two buffers: -1, 0 or 1.
int32_t CompareBuffers(const void* a, const void* b, size_t length) {
    if (length == 0) return 0;
    const int c = std::memcmp(a, b, length);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

size_t BoundedLength(const char* s, int32_t length) {
    return length > 0 ? strnlen(s, static_cast<size_t>(length)) : std::strlen(s);
}

// Byte order over the first n1 and n2 bytes, as if each text went on with its
// terminating zero: the shorter of two texts equal so far sorts first.
int32_t CompareBytes(const char* s1, size_t n1, const char* s2, size_t n2) {
    const int32_t c = CompareBuffers(s1, s2, std::min(n1, n2));
    if (c != 0 || n1 == n2) return c;
    return n1 < n2 ? -1 : 1;
}

int32_t CompareWithoutLocale(const char* s1, bool caseInsensitive, int32_t length, const char* s2) {
    const size_t n1 = BoundedLength(s1, length);
    const size_t n2 = BoundedLength(s2, length);
    if (!caseInsensitive) return CompareBytes(s1, n1, s2, n2);
    std::string u1(s1, n1);
    std::string u2(s2, n2);
    LocaleUpperCase(0, 0, u1);
    LocaleUpperCase(0, 0, u2);
    return CompareBytes(u1.data(), n1, u2.data(), n2);
}

void MapCase(uint16_t languageId, uint16_t sortId, uint32_t flag, char* text, int32_t length) {
    if (length <= 0) return;
    const uint32_t lcid = languageId == 0 ? 0 : MakeLCID(languageId, sortId);
    if (platform::LCMapStringA(lcid, flag, text, length, text, length) == 0)
        platform::LCMapStringA(0, flag, text, length, text, length);
}

}  // namespace

uint32_t MakeLCID(uint16_t languageId, uint16_t sortId) {
    return (static_cast<uint32_t>(sortId) << 16) | languageId;
}

uint16_t MakeLangID(uint16_t primary, uint16_t sub) {
    return static_cast<uint16_t>((static_cast<uint32_t>(sub) << 10) | primary);
}

bool IsValidLCID(uint32_t lcid) { return platform::IsValidLocale(lcid, platform::LCID_INSTALLED); }

int32_t CompareStringsByLocale(uint16_t languageId, uint16_t sortId, const char* s1, bool caseInsensitive,
                               int32_t length, const char* s2) {
    if (!s1) s1 = "";
    if (!s2) s2 = "";
    if (languageId == 0) return CompareWithoutLocale(s1, caseInsensitive, length, s2);

    const uint32_t flags = kCollateFlags | (caseInsensitive ? platform::NORM_IGNORECASE : 0);
    // A partial comparison never reads past the end of a text shorter than length.
    const int32_t len1 = length > 0 ? static_cast<int32_t>(BoundedLength(s1, length)) : -1;
    const int32_t len2 = length > 0 ? static_cast<int32_t>(BoundedLength(s2, length)) : -1;
    const int32_t r = platform::CompareStringA(MakeLCID(languageId, sortId), flags, s1, len1, s2, len2);
    // A failed comparison (0) would read as "less"; fall back to an order that holds.
    if (r == 0) return CompareWithoutLocale(s1, caseInsensitive, length, s2);
    return r - 2;
}

int32_t CompareCharsByLocale(uint16_t languageId, uint16_t sortId, char a, char b) {
    if (languageId != 0) {
        const int32_t r = platform::CompareStringA(MakeLCID(languageId, sortId), kCollateFlags, &a, 1, &b, 1);
        if (r != 0) return r - 2;
    }
    return CompareBuffers(&a, &b, 1);
}

void LocaleUpperCase(uint16_t languageId, uint16_t sortId, char* text) {
    if (text) MapCase(languageId, sortId, platform::LCMAP_UPPERCASE, text, static_cast<int32_t>(std::strlen(text)));
}

void LocaleLowerCase(uint16_t languageId, uint16_t sortId, char* text) {
    if (text) MapCase(languageId, sortId, platform::LCMAP_LOWERCASE, text, static_cast<int32_t>(std::strlen(text)));
}

void LocaleUpperCase(uint16_t languageId, uint16_t sortId, std::string& text) {
    MapCase(languageId, sortId, platform::LCMAP_UPPERCASE, text.data(), static_cast<int32_t>(text.size()));
}

void LocaleLowerCase(uint16_t languageId, uint16_t sortId, std::string& text) {
    MapCase(languageId, sortId, platform::LCMAP_LOWERCASE, text.data(), static_cast<int32_t>(text.size()));
}

// ---------------------------------------------------------------------------------
// TLanguageCharMapsList

TLanguageCharMapsList::TLanguageCharMapsList() { FEntries.reserve(256); }

void TLanguageCharMapsList::GetCharMap(uint16_t languageId, uint16_t sortId, TCharMap& map) {
    platform::CriticalSectionLock lock(FSection);
    for (const TEntry& entry : FEntries) {
        if (entry.LanguageId == languageId && entry.SortId == sortId) {
            map = entry.Map;
            return;
        }
    }
    TEntry entry{languageId, sortId, {}};
    BuildCharMap(languageId, sortId, entry.Map);
    FEntries.push_back(entry);
    map = entry.Map;
}

int32_t TLanguageCharMapsList::Count() {
    platform::CriticalSectionLock lock(FSection);
    return static_cast<int32_t>(FEntries.size());
}

void TLanguageCharMapsList::BuildCharMap(uint16_t languageId, uint16_t sortId, TCharMap& map) {
    for (int i = 0; i < 256; ++i) map[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    if (languageId == 0) return;
    std::stable_sort(map.begin(), map.end(), [languageId, sortId](uint8_t a, uint8_t b) {
        return CompareCharsByLocale(languageId, sortId, static_cast<char>(a), static_cast<char>(b)) < 0;
    });
}

void GetLanguageCharMap(uint16_t languageId, uint16_t sortId, TCharMap& map) {
    if (LanguageCharMaps) {
        LanguageCharMaps->GetCharMap(languageId, sortId, map);
        return;
    }
    TLanguageCharMapsList list;
    list.BuildCharMap(languageId, sortId, map);
}

// ---------------------------------------------------------------------------------
// TLanguageStringList

int32_t TLanguageStringList::CompareStrings(const std::string& a, const std::string& b) const {
    return CompareStringsByLocale(LanguageId, SortId, a.c_str(), true, 0, b.c_str());
}

bool TLanguageStringList::Search(const std::string& s, int32_t low, int32_t length, int32_t& index) const {
    // After a hit the search goes on to the left, so the first equal string is found
    // whatever the duplicates mode; index ends on the final low bound.
    bool found = false;
    int32_t high = Count() - 1;
    while (low <= high) {
        const int32_t mid = low + (high - low) / 2;
        const int32_t c =
            CompareStringsByLocale(LanguageId, SortId, FItems[static_cast<size_t>(mid)].c_str(), true, length, s.c_str());
        if (c < 0) {
            low = mid + 1;
        } else {
            high = mid - 1;
            if (c == 0) found = true;
        }
    }
    index = low;
    return found;
}

bool TLanguageStringList::Find(const std::string& s, int32_t& index) { return Search(s, 0, 0, index); }

bool TLanguageStringList::FindPartial(const std::string& s, int32_t& index, uint16_t length) {
    const int32_t low = std::clamp(index, 0, Count());
    return Search(s, low, length, index);
}

}  // namespace kura
