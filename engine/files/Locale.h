#pragma once
// Locale identifiers, locale-aware comparison and case mapping of engine text, the
// per-locale 256-byte collation maps and a string list sorted by locale.
//
// Language id 0 is no locale: texts compare as unsigned bytes, and case mapping
// touches ASCII letters only and leaves double-byte characters intact.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/files/StringList.h"
#include "platform/Sync.h"

namespace kura {

// sort id << 16 | language id
uint32_t MakeLCID(uint16_t languageId, uint16_t sortId);
// sub-language << 10 | primary language
uint16_t MakeLangID(uint16_t primary, uint16_t sub);
// Whether the locale is installed (supported by the platform's collation).
bool IsValidLCID(uint32_t lcid);

// Compares two zero-terminated texts (nullptr counts as empty): -1, 0 or 1. A length
// above 0 compares only the first length bytes of each (fewer when a text ends
// earlier); 0 or less compares the whole texts. When the locale cannot collate (an
// unknown language id, a platform failure) the texts are ordered by their bytes, with
// ASCII letters folded when case-insensitive, so callers always get a consistent order.
int32_t CompareStringsByLocale(uint16_t languageId, uint16_t sortId, const char* s1, bool caseInsensitive,
                               int32_t length, const char* s2);
// Case-sensitive comparison of two single-byte characters: -1, 0 or 1.
int32_t CompareCharsByLocale(uint16_t languageId, uint16_t sortId, char a, char b);

// Map a zero-terminated text in place. Length never changes; when the locale cannot
// map, the no-locale (ASCII) mapping is applied.
void LocaleUpperCase(uint16_t languageId, uint16_t sortId, char* text);
void LocaleLowerCase(uint16_t languageId, uint16_t sortId, char* text);
// The same over a whole string, embedded zero bytes included.
void LocaleUpperCase(uint16_t languageId, uint16_t sortId, std::string& text);
void LocaleLowerCase(uint16_t languageId, uint16_t sortId, std::string& text);

// map[i] is the byte value that sorts in place i.
using TCharMap = std::array<uint8_t, 256>;

// The collation maps of the locales in use, each built once and kept until shutdown.
class TLanguageCharMapsList {
public:
    TLanguageCharMapsList();
    virtual ~TLanguageCharMapsList() = default;

    // Under the list's section, so a locale's map is built only once.
    void GetCharMap(uint16_t languageId, uint16_t sortId, TCharMap& map);
    int32_t Count();

    // The bytes 0..255 ordered by the locale's case-sensitive collation of single
    // characters; equal ones stay in ascending byte order. Identity for language 0.
    virtual void BuildCharMap(uint16_t languageId, uint16_t sortId, TCharMap& map);

private:
    struct TEntry {
        uint16_t LanguageId;
        uint16_t SortId;
        TCharMap Map;
    };
    platform::CriticalSection FSection;
    std::vector<TEntry> FEntries;
};

// The process-wide instance, created and freed by the engine library start-up.
extern TLanguageCharMapsList* LanguageCharMaps;

// GetCharMap on the global instance; before start-up the map is built directly.
void GetLanguageCharMap(uint16_t languageId, uint16_t sortId, TCharMap& map);

// A string list ordered by a locale's case-insensitive collation.
class TLanguageStringList : public TStringList {
public:
    uint16_t LanguageId = 0;
    uint16_t SortId = 0;

    // Sort (inherited) and Find use CompareStrings: the locale's case-insensitive
    // collation of whole strings.
    bool Find(const std::string& s, int32_t& index) override;
    // Find from the low bound index, comparing only the first length bytes; index
    // receives the first match or the insertion point.
    bool FindPartial(const std::string& s, int32_t& index, uint16_t length);

protected:
    int32_t CompareStrings(const std::string& a, const std::string& b) const override;

private:
    bool Search(const std::string& s, int32_t low, int32_t length, int32_t& index) const;
};

}  // namespace kura
