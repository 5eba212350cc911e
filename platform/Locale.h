#pragma once
// Locale services with the semantics the engine was written against: locale-aware
// comparison and case mapping of code-page text, locale validity and the double-byte
// lead-byte test of code page 932.
//
// A locale identifier (LCID) is sort id << 16 | language id, the language id being
// sub-language << 10 | primary language. Language 0 is the engine's "no locale":
// text compares as unsigned bytes and case mapping touches ASCII letters only,
// stepping over double-byte characters so that their trail bytes stay intact.
// Every other supported language collates with ICU for its locale, its text first
// converted from that language's ANSI code page.
//
// Failures return 0 and set the thread's last error (platform/LastError.h).
#include <cstdint>

namespace platform {

constexpr uint32_t NORM_IGNORECASE = 0x00000001;
constexpr uint32_t NORM_IGNORENONSPACE = 0x00000002;
constexpr uint32_t SORT_STRINGSORT = 0x00001000;

constexpr uint32_t LCMAP_LOWERCASE = 0x00000100;
constexpr uint32_t LCMAP_UPPERCASE = 0x00000200;

constexpr uint32_t LCID_INSTALLED = 0x00000001;
constexpr uint32_t LCID_SUPPORTED = 0x00000002;

constexpr int32_t CSTR_LESS_THAN = 1;
constexpr int32_t CSTR_EQUAL = 2;
constexpr int32_t CSTR_GREATER_THAN = 3;

// Set by the locale calls beside the common numbers of LastError.h.
constexpr uint32_t ERROR_INVALID_FLAGS = 1004;

// Compares len1 bytes of s1 with len2 bytes of s2; a negative length means "up to the
// terminating zero". Returns CSTR_LESS_THAN, CSTR_EQUAL or CSTR_GREATER_THAN, or 0 on
// failure (unknown locale, unsupported flags, a null text) with the last error set.
// Accepted flags: NORM_IGNORECASE, NORM_IGNORENONSPACE, SORT_STRINGSORT.
int32_t CompareStringA(uint32_t lcid, uint32_t flags, const char* s1, int32_t len1, const char* s2, int32_t len2);

// Maps srcLen bytes of src (negative: up to and including the terminating zero) to
// upper case (LCMAP_UPPERCASE) or lower case (LCMAP_LOWERCASE) into dest, which may be
// src itself. Returns the number of bytes written, or with destLen 0 the number needed;
// 0 on failure with the last error set (ERROR_INSUFFICIENT_BUFFER when dest is short).
// The mapping never changes the length: a character whose counterpart does not exist
// in the code page, and every double-byte character, is copied unchanged.
int32_t LCMapStringA(uint32_t lcid, uint32_t flags, const char* src, int32_t srcLen, char* dest, int32_t destLen);

// True when the locale is one of the supported languages with a sort order it offers
// (sort 0 everywhere; sort 1, the phone book order, for German) and ICU can collate it.
// Language 0 is no locale and so not valid.
bool IsValidLocale(uint32_t lcid, uint32_t flags);

// Lead bytes of code page 932 (0x81-0x9F, 0xE0-0xFC), whatever the process locale.
bool IsDBCSLeadByte(uint8_t byte);

}  // namespace platform
