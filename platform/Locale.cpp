#include "platform/Locale.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucol.h>
#include <unicode/uchar.h>

#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/LastError.h"

namespace platform {
namespace {

constexpr uint32_t kNoUnicodeTranslation = 1113;

// One supported Windows language: its ICU locale and its ANSI code page.
struct LanguageEntry {
    uint16_t languageId;
    const char* icuLocale;
    uint16_t codePage;
};

// The languages the engine offers, plus the East Asian ones whose code pages the
// program lives in. Castilian Spanish (0x040A) is the traditional sort of Windows.
constexpr LanguageEntry kLanguages[] = {
    {0x0436, "af_ZA", 1252}, {0x041C, "sq_AL", 1250},
    {0x0401, "ar_SA", 1256}, {0x0801, "ar_IQ", 1256}, {0x0C01, "ar_EG", 1256}, {0x1001, "ar_LY", 1256},
    {0x1401, "ar_DZ", 1256}, {0x1801, "ar_MA", 1256}, {0x1C01, "ar_TN", 1256}, {0x2001, "ar_OM", 1256},
    {0x2401, "ar_YE", 1256}, {0x2801, "ar_SY", 1256}, {0x2C01, "ar_JO", 1256}, {0x3001, "ar_LB", 1256},
    {0x3401, "ar_KW", 1256}, {0x3801, "ar_AE", 1256}, {0x3C01, "ar_BH", 1256}, {0x4001, "ar_QA", 1256},
    {0x042D, "eu_ES", 1252}, {0x0423, "be_BY", 1251}, {0x0402, "bg_BG", 1251}, {0x0403, "ca_ES", 1252},
    {0x041A, "hr_HR", 1250}, {0x0405, "cs_CZ", 1250}, {0x0406, "da_DK", 1252},
    {0x0413, "nl_NL", 1252}, {0x0813, "nl_BE", 1252},
    {0x0409, "en_US", 1252}, {0x0809, "en_GB", 1252}, {0x0C09, "en_AU", 1252}, {0x1009, "en_CA", 1252},
    {0x1409, "en_NZ", 1252}, {0x1809, "en_IE", 1252}, {0x1C09, "en_ZA", 1252}, {0x2009, "en_JM", 1252},
    {0x2409, "en_029", 1252}, {0x2809, "en_BZ", 1252}, {0x2C09, "en_TT", 1252},
    {0x0425, "et_EE", 1257}, {0x0438, "fo_FO", 1252}, {0x0429, "fa_IR", 1256}, {0x040B, "fi_FI", 1252},
    {0x040C, "fr_FR", 1252}, {0x080C, "fr_BE", 1252}, {0x0C0C, "fr_CA", 1252}, {0x100C, "fr_CH", 1252},
    {0x140C, "fr_LU", 1252},
    {0x0407, "de_DE", 1252}, {0x0807, "de_CH", 1252}, {0x0C07, "de_AT", 1252}, {0x1007, "de_LU", 1252},
    {0x1407, "de_LI", 1252},
    {0x0408, "el_GR", 1253}, {0x040D, "he_IL", 1255}, {0x040E, "hu_HU", 1250}, {0x040F, "is_IS", 1252},
    {0x0421, "id_ID", 1252}, {0x0410, "it_IT", 1252}, {0x0810, "it_CH", 1252},
    {0x0426, "lv_LV", 1257}, {0x0427, "lt_LT", 1257}, {0x0414, "nb_NO", 1252}, {0x0814, "nn_NO", 1252},
    {0x0415, "pl_PL", 1250}, {0x0816, "pt_PT", 1252}, {0x0416, "pt_BR", 1252}, {0x0418, "ro_RO", 1250},
    {0x0419, "ru_RU", 1251}, {0x081A, "sr_Latn_RS", 1250}, {0x0C1A, "sr_Cyrl_RS", 1251},
    {0x041B, "sk_SK", 1250}, {0x0424, "sl_SI", 1250},
    {0x040A, "es_ES@collation=traditional", 1252}, {0x080A, "es_MX", 1252}, {0x0C0A, "es_ES", 1252},
    {0x100A, "es_GT", 1252}, {0x140A, "es_CR", 1252}, {0x180A, "es_PA", 1252}, {0x1C0A, "es_DO", 1252},
    {0x200A, "es_VE", 1252}, {0x240A, "es_CO", 1252}, {0x280A, "es_PE", 1252}, {0x2C0A, "es_AR", 1252},
    {0x300A, "es_EC", 1252}, {0x340A, "es_CL", 1252}, {0x380A, "es_UY", 1252}, {0x3C0A, "es_PY", 1252},
    {0x400A, "es_BO", 1252}, {0x440A, "es_SV", 1252}, {0x480A, "es_HN", 1252}, {0x4C0A, "es_NI", 1252},
    {0x500A, "es_PR", 1252},
    {0x041D, "sv_SE", 1252}, {0x081D, "sv_FI", 1252}, {0x041E, "th_TH", 874}, {0x041F, "tr_TR", 1254},
    {0x0422, "uk_UA", 1251}, {0x042A, "vi_VN", 1258},
    {0x0411, "ja_JP", 932}, {0x0412, "ko_KR", 949},
    {0x0404, "zh_TW", 950}, {0x0804, "zh_CN", 936}, {0x0C04, "zh_HK", 950}, {0x1004, "zh_SG", 936},
    {0x1404, "zh_MO", 950},
};

constexpr uint16_t kPrimaryGerman = 0x07;
constexpr uint16_t kSortGermanPhoneBook = 1;

struct ResolvedLocale {
    std::string icuLocale;
    uint16_t codePage = 0;
};

// Splits an LCID and checks it against the supported languages and sort orders.
bool ResolveLocale(uint32_t lcid, ResolvedLocale& out) {
    if ((lcid >> 20) != 0) return false;  // reserved bits
    const uint16_t language = static_cast<uint16_t>(lcid & 0xFFFF);
    const uint16_t sort = static_cast<uint16_t>((lcid >> 16) & 0xF);
    for (const auto& entry : kLanguages) {
        if (entry.languageId != language) continue;
        out.codePage = entry.codePage;
        out.icuLocale = entry.icuLocale;
        if (sort == 0) return true;
        if (sort == kSortGermanPhoneBook && (language & 0x3FF) == kPrimaryGerman) {
            // The phone-book sort is one order (umlauts as the vowel plus "e") for every
            // German locale; ICU's Austrian phone book is another order altogether.
            out.icuLocale = "de@collation=phonebook";
            return true;
        }
        return false;
    }
    return false;
}

bool IsLeadByteOf(uint16_t codePage, uint8_t b) {
    switch (codePage) {
        case 932: return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
        case 936:
        case 949:
        case 950: return b >= 0x81 && b <= 0xFE;
        default: return false;
    }
}

// Bytes that the code page cannot decode become private-use characters of their own
// (U+F700 + byte) instead of one shared substitute, so distinct invalid texts never
// collate as equal and the order stays total.
void U_CALLCONV InvalidBytesToPrivateUse(const void*, UConverterToUnicodeArgs* args, const char* codeUnits,
                                         int32_t length, UConverterCallbackReason reason, UErrorCode* err) {
    if (reason != UCNV_UNASSIGNED && reason != UCNV_ILLEGAL && reason != UCNV_IRREGULAR) return;
    *err = U_ZERO_ERROR;
    for (int32_t i = 0; i < length && U_SUCCESS(*err); ++i) {
        const UChar c = static_cast<UChar>(0xF700 + static_cast<uint8_t>(codeUnits[i]));
        ucnv_cbToUWriteUChars(args, &c, 1, 0, err);
    }
}

// ICU converters are not thread-safe, so each thread keeps its own per code page.
class ConverterCache {
public:
    ~ConverterCache() {
        for (auto& [cp, conv] : converters_)
            if (conv) ucnv_close(conv);
    }
    UConverter* Get(uint16_t codePage) {
        auto it = converters_.find(codePage);
        if (it != converters_.end()) return it->second;
        const std::string name = "windows-" + std::to_string(codePage);
        UErrorCode status = U_ZERO_ERROR;
        UConverter* conv = ucnv_open(name.c_str(), &status);
        if (U_FAILURE(status)) {
            conv = nullptr;
        } else {
            ucnv_setToUCallBack(conv, InvalidBytesToPrivateUse, nullptr, nullptr, nullptr, &status);
            ucnv_setFromUCallBack(conv, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
            if (U_FAILURE(status)) {
                ucnv_close(conv);
                conv = nullptr;
            }
        }
        converters_[codePage] = conv;
        return conv;
    }

private:
    std::map<uint16_t, UConverter*> converters_;
};

UConverter* ConverterFor(uint16_t codePage) {
    thread_local ConverterCache cache;
    return cache.Get(codePage);
}

bool ToUnicode(uint16_t codePage, const char* text, int32_t length, std::vector<UChar>& out) {
    UConverter* conv = ConverterFor(codePage);
    if (!conv) return false;
    // One byte never yields more than one UTF-16 unit, a byte pair at most two.
    out.resize(static_cast<size_t>(length) + 1);
    UErrorCode status = U_ZERO_ERROR;
    const int32_t n = ucnv_toUChars(conv, out.data(), static_cast<int32_t>(out.size()), text, length, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        out.resize(static_cast<size_t>(n) + 1);
        status = U_ZERO_ERROR;
        ucnv_toUChars(conv, out.data(), static_cast<int32_t>(out.size()), text, length, &status);
    }
    if (U_FAILURE(status)) return false;
    out.resize(static_cast<size_t>(n));
    return true;
}

// Collators are built once per locale and flag set and shared; ICU allows concurrent
// comparisons on one collator.
class CollatorCache {
public:
    UCollator* Get(uint32_t lcid, uint32_t flags, const std::string& icuLocale) {
        const uint64_t key = (static_cast<uint64_t>(lcid) << 32) | flags;
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = collators_.find(key);
        if (it != collators_.end()) return it->second;
        UCollator* coll = Open(flags, icuLocale);
        collators_[key] = coll;
        return coll;
    }

private:
    static UCollator* Open(uint32_t flags, const std::string& icuLocale) {
        UErrorCode status = U_ZERO_ERROR;
        UCollator* coll = ucol_open(icuLocale.c_str(), &status);
        if (U_FAILURE(status)) return nullptr;
        const bool ignoreCase = (flags & NORM_IGNORECASE) != 0;
        const bool ignoreNonSpace = (flags & NORM_IGNORENONSPACE) != 0;
        if (ignoreNonSpace) {
            // Accents fall away at the primary level; case stays unless ignored too.
            ucol_setStrength(coll, UCOL_PRIMARY);
            ucol_setAttribute(coll, UCOL_CASE_LEVEL, ignoreCase ? UCOL_OFF : UCOL_ON, &status);
        } else {
            ucol_setStrength(coll, ignoreCase ? UCOL_SECONDARY : UCOL_TERTIARY);
        }
        // A string sort weighs punctuation like any symbol; the word sort passes over it.
        ucol_setAttribute(coll, UCOL_ALTERNATE_HANDLING,
                          (flags & SORT_STRINGSORT) ? UCOL_NON_IGNORABLE : UCOL_SHIFTED, &status);
        if (U_FAILURE(status)) {
            ucol_close(coll);
            return nullptr;
        }
        return coll;
    }

    std::mutex mutex_;
    std::map<uint64_t, UCollator*> collators_;
};

// Never destroyed, so a comparison made while the process exits still finds it.
CollatorCache& Collators() {
    static CollatorCache* cache = new CollatorCache();
    return *cache;
}

// Upper- and lower-case tables of the single-byte characters of one code page.
struct CaseTables {
    std::array<uint8_t, 256> upper{};
    std::array<uint8_t, 256> lower{};
    uint16_t codePage = 0;
};

void FillAsciiTables(CaseTables& t) {
    for (int b = 0; b < 256; ++b) {
        t.upper[b] = static_cast<uint8_t>((b >= 'a' && b <= 'z') ? b - 32 : b);
        t.lower[b] = static_cast<uint8_t>((b >= 'A' && b <= 'Z') ? b + 32 : b);
    }
}

// The byte of the code page that stands for one character, when it is a single byte
// that decodes back to that very character.
bool SingleByteFor(UConverter* conv, uint16_t codePage, UChar32 c, uint8_t& out) {
    UChar units[2];
    int32_t count = 0;
    if (c > 0xFFFF) return false;
    units[count++] = static_cast<UChar>(c);
    char bytes[8];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t n = ucnv_fromUChars(conv, bytes, sizeof bytes, units, count, &status);
    if (U_FAILURE(status) || n != 1) return false;
    const uint8_t b = static_cast<uint8_t>(bytes[0]);
    if (IsLeadByteOf(codePage, b)) return false;
    std::vector<UChar> back;
    if (!ToUnicode(codePage, bytes, 1, back) || back.size() != 1 || back[0] != units[0]) return false;
    out = b;
    return true;
}

bool BuildCaseTables(uint16_t codePage, CaseTables& t) {
    FillAsciiTables(t);
    t.codePage = codePage;
    UConverter* conv = ConverterFor(codePage);
    if (!conv) return false;
    std::vector<UChar> units;
    for (int b = 0x80; b < 256; ++b) {
        if (IsLeadByteOf(codePage, static_cast<uint8_t>(b))) continue;
        const char byte = static_cast<char>(b);
        if (!ToUnicode(codePage, &byte, 1, units) || units.size() != 1) continue;
        const UChar32 c = units[0];
        uint8_t mapped;
        const UChar32 up = u_toupper(c);
        if (up != c && SingleByteFor(conv, codePage, up, mapped)) t.upper[b] = mapped;
        const UChar32 low = u_tolower(c);
        if (low != c && SingleByteFor(conv, codePage, low, mapped)) t.lower[b] = mapped;
    }
    return true;
}

// Built once per code page and kept for the life of the process (never destroyed,
// like the collators).
const CaseTables* CaseTablesFor(uint16_t codePage) {
    struct Registry {
        std::mutex mutex;
        std::map<uint16_t, std::unique_ptr<CaseTables>> tables;
    };
    static Registry* registry = new Registry();
    std::lock_guard<std::mutex> guard(registry->mutex);
    auto it = registry->tables.find(codePage);
    if (it != registry->tables.end()) return it->second.get();
    auto t = std::make_unique<CaseTables>();
    if (!BuildCaseTables(codePage, *t)) t.reset();
    const CaseTables* result = t.get();
    registry->tables.emplace(codePage, std::move(t));
    return result;
}

const CaseTables& NoLocaleTables() {
    static const CaseTables tables = [] {
        CaseTables t;
        FillAsciiTables(t);
        t.codePage = 932;
        return t;
    }();
    return tables;
}

// Maps single-byte characters through the table; a double-byte character is copied
// whole. Reads each byte before writing it, so dest may be src.
void MapBytes(const std::array<uint8_t, 256>& table, uint16_t codePage, const char* src, int32_t length,
              char* dest) {
    int32_t i = 0;
    while (i < length) {
        const uint8_t b = static_cast<uint8_t>(src[i]);
        if (IsLeadByteOf(codePage, b) && i + 1 < length) {
            const char trail = src[i + 1];
            dest[i] = static_cast<char>(b);
            dest[i + 1] = trail;
            i += 2;
        } else {
            dest[i] = static_cast<char>(table[b]);
            ++i;
        }
    }
}

int32_t CompareBytes(const uint8_t* a, int32_t lenA, const uint8_t* b, int32_t lenB) {
    const int32_t n = lenA < lenB ? lenA : lenB;
    if (n > 0) {
        const int c = std::memcmp(a, b, static_cast<size_t>(n));
        if (c != 0) return c < 0 ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    if (lenA == lenB) return CSTR_EQUAL;
    return lenA < lenB ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

bool IsNoLocale(uint32_t lcid) { return (lcid & 0xFFFF) == 0; }

}  // namespace

int32_t CompareStringA(uint32_t lcid, uint32_t flags, const char* s1, int32_t len1, const char* s2, int32_t len2) {
    if (!s1 || !s2) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if ((flags & ~(NORM_IGNORECASE | NORM_IGNORENONSPACE | SORT_STRINGSORT)) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (len1 < 0) len1 = static_cast<int32_t>(std::strlen(s1));
    if (len2 < 0) len2 = static_cast<int32_t>(std::strlen(s2));

    if (IsNoLocale(lcid)) {
        if (!(flags & NORM_IGNORECASE))
            return CompareBytes(reinterpret_cast<const uint8_t*>(s1), len1, reinterpret_cast<const uint8_t*>(s2),
                                len2);
        const CaseTables& t = NoLocaleTables();
        std::string u1(static_cast<size_t>(len1), '\0');
        std::string u2(static_cast<size_t>(len2), '\0');
        MapBytes(t.upper, t.codePage, s1, len1, u1.data());
        MapBytes(t.upper, t.codePage, s2, len2, u2.data());
        return CompareBytes(reinterpret_cast<const uint8_t*>(u1.data()), len1,
                            reinterpret_cast<const uint8_t*>(u2.data()), len2);
    }

    ResolvedLocale locale;
    if (!ResolveLocale(lcid, locale)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    UCollator* coll = Collators().Get(lcid, flags, locale.icuLocale);
    if (!coll) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Reused per thread: comparisons run for every key of an index.
    thread_local std::vector<UChar> w1;
    thread_local std::vector<UChar> w2;
    if (!ToUnicode(locale.codePage, s1, len1, w1) || !ToUnicode(locale.codePage, s2, len2, w2)) {
        SetLastError(kNoUnicodeTranslation);
        return 0;
    }
    switch (ucol_strcoll(coll, w1.data(), static_cast<int32_t>(w1.size()), w2.data(),
                         static_cast<int32_t>(w2.size()))) {
        case UCOL_LESS: return CSTR_LESS_THAN;
        case UCOL_EQUAL: return CSTR_EQUAL;
        default: return CSTR_GREATER_THAN;
    }
}

int32_t LCMapStringA(uint32_t lcid, uint32_t flags, const char* src, int32_t srcLen, char* dest, int32_t destLen) {
    if (flags != LCMAP_UPPERCASE && flags != LCMAP_LOWERCASE) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (!src || srcLen == 0 || destLen < 0 || (destLen > 0 && !dest)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const int32_t length = srcLen < 0 ? static_cast<int32_t>(std::strlen(src)) + 1 : srcLen;

    const CaseTables* tables = &NoLocaleTables();
    if (!IsNoLocale(lcid)) {
        ResolvedLocale locale;
        if (!ResolveLocale(lcid, locale) || !(tables = CaseTablesFor(locale.codePage))) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
    }
    if (destLen == 0) return length;
    if (destLen < length) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    MapBytes(flags == LCMAP_UPPERCASE ? tables->upper : tables->lower, tables->codePage, src, length, dest);
    return length;
}

bool IsValidLocale(uint32_t lcid, uint32_t flags) {
    if (flags != LCID_INSTALLED && flags != LCID_SUPPORTED) return false;
    if (IsNoLocale(lcid)) return false;
    ResolvedLocale locale;
    if (!ResolveLocale(lcid, locale)) return false;
    return ConverterFor(locale.codePage) != nullptr &&
           Collators().Get(lcid, NORM_IGNORENONSPACE | SORT_STRINGSORT, locale.icuLocale) != nullptr;
}

bool IsDBCSLeadByte(uint8_t byte) { return IsLeadByteOf(932, byte); }

}  // namespace platform
