#include "engine/files/Routines.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "engine/files/NeutralText.h"
#include "platform/Locale.h"

namespace kura {

namespace {

bool IsLead(char c) { return platform::IsDBCSLeadByte(static_cast<uint8_t>(c)); }

// Byte length of the character at p (p points at a non-terminator).
size_t CharLength(const char* p) { return IsLead(p[0]) && p[1] != '\0' ? 2 : 1; }

// Whether the rest of a pattern is one or more "%" and nothing else.
bool OnlyPercent(const char* p) {
    if (*p != '%') return false;
    while (*p == '%') ++p;
    return *p == '\0';
}

// First occurrence of sub in s starting at a character boundary; null when none.
const char* FindAtCharBoundary(const char* s, const char* sub) {
    const size_t subLength = std::strlen(sub);
    if (subLength == 0) return nullptr;
    for (const char* p = s; *p != '\0'; p += CharLength(p)) {
        if (std::strncmp(p, sub, subLength) == 0) return p;
    }
    return nullptr;
}

}  // namespace

// ---- LIKE matching and characters -------------------------------------------

void NextCharDBCS(const char*& p) {
    if (*p == '\0') {
        ++p;
        return;
    }
    p += CharLength(p);
}

void NextCharDBCS(char*& p) {
    const char* q = p;
    NextCharDBCS(q);
    p += q - p;
}

size_t CharCountDBCS(std::string_view s) {
    size_t count = 0;
    for (size_t i = 0; i < s.size(); ++count) i += CharLengthAt(s, i);
    return count;
}

size_t CharPrefixDBCS(std::string_view s, size_t maxChars, size_t maxBytes) {
    size_t i = 0;
    for (size_t chars = 0; chars < maxChars && i < s.size(); ++chars) {
        const size_t step = CharLengthAt(s, i);
        if (step > maxBytes - i) break;
        i += step;
    }
    return i;
}

bool MatchLikePattern(uint16_t languageId, uint16_t sortId, const char* text, const char* pattern) {
    const char* t = text ? text : "";
    const char* p = pattern ? pattern : "";
    const char* savedPattern = nullptr;
    const char* savedText = nullptr;
    bool saved = false;
    for (;;) {
        // Any run of "%" matches whatever is left, also at the end of the text.
        if (OnlyPercent(p)) return true;
        if (*t == '\0' && *p == '\0') return true;
        if (*t != '\0' && *p == '%') {
            savedPattern = p;
            savedText = t;
            saved = true;
            ++p;
            continue;
        }
        if (*t != '\0' && *p != '\0' && (*p == '_' || CompareCharLocale(languageId, sortId, t, p) == 0)) {
            NextCharDBCS(t);
            NextCharDBCS(p);
            continue;
        }
        // No match here (or text or pattern used up): let the last "%" swallow
        // one more character.
        if (!saved) return false;
        p = savedPattern;
        t = savedText;
        saved = false;
        NextCharDBCS(t);
    }
}

int32_t CompareBuffers(const void* a, const void* b, uint16_t length, bool descending) {
    if (a == nullptr) return 1;
    const auto* pa = static_cast<const unsigned char*>(a);
    const auto* pb = static_cast<const unsigned char*>(b);
    for (uint16_t i = 0; i < length; ++i) {
        if (pa[i] != pb[i]) {
            const int32_t ascending = pa[i] < pb[i] ? -1 : 1;
            return descending ? -ascending : ascending;
        }
    }
    return 0;
}

// ---- Dates ------------------------------------------------------------------

namespace {

bool WholeDays(TDateTime date, int32_t& days) {
    int32_t msec = 0;
    return SplitDateTime(date, days, msec);
}

// The whole days of a date and the year they fall in.
bool WholeDaysAndYear(TDateTime date, int32_t& days, int& year) {
    if (!WholeDays(date, days)) return false;
    int month = 0;
    int day = 0;
    DaysToDate(days, year, month, day);
    return true;
}

// Monday 1 ... Sunday 7 of a day count (1899-12-30 was a Saturday).
int32_t DayOfWeekOfDays(int64_t days) {
    const int64_t r = (days + 5) % 7;
    return static_cast<int32_t>(r < 0 ? r + 7 : r) + 1;
}

// Day count of 1 January of any year, also outside 1..9999 (the weeks of the first
// and last supported years look one year further).
int64_t NewYearDays(int64_t year) { return DateToDays(year, 1, 1); }

int64_t FirstWeekStartDays(int64_t year) {
    const int64_t newYear = NewYearDays(year);
    int64_t monday = newYear + (8 - DayOfWeekOfDays(newYear)) % 7;
    if (monday > newYear + 3) monday -= 7;
    return monday;
}

}  // namespace

uint8_t ISODayOfWeek(TDateTime date) {
    int32_t days = 0;
    if (!WholeDays(date, days)) return 0;
    return static_cast<uint8_t>(DayOfWeekOfDays(days));
}

uint16_t DayOfYear(TDateTime date) {
    int32_t days = 0;
    int year = 0;
    if (!WholeDaysAndYear(date, days, year)) return 0;
    return static_cast<uint16_t>(days - NewYearDays(year) + 1);
}

TDateTime FirstWeekStart(int year) { return static_cast<TDateTime>(FirstWeekStartDays(year)); }

uint8_t WeekOfYear(TDateTime date) {
    int32_t days = 0;
    int year = 0;
    if (!WholeDaysAndYear(date, days, year)) return 0;
    const int64_t w0 = FirstWeekStartDays(year);
    const int64_t wn = FirstWeekStartDays(static_cast<int64_t>(year) + 1);
    const int64_t wp = FirstWeekStartDays(static_cast<int64_t>(year) - 1);
    int64_t d = 0;
    if (days >= wn) {
        d = days - wn + 1;
    } else if (days < w0) {
        d = days - wp + 1;
    } else {
        d = days - w0 + 1;
    }
    return static_cast<uint8_t>(d / 7 + (d % 7 != 0 ? 1 : 0));
}

// ---- Memory blocks ----------------------------------------------------------

void RoundUpToMultiple(int32_t size, int32_t step, void*& buffer, int32_t& capacity) {
    if (size <= 0) {
        if (capacity > 0) {
            std::free(buffer);
            buffer = nullptr;
            capacity = 0;
        }
        return;
    }
    const int64_t unit = step < 1 ? 1 : step;
    const int64_t rounded = (static_cast<int64_t>(size) + unit - 1) / unit * unit;
    if (rounded > std::numeric_limits<int32_t>::max()) throw std::bad_alloc();
    if (capacity >= rounded) return;
    const int32_t oldCapacity = capacity > 0 && buffer != nullptr ? capacity : 0;
    void* grown = std::realloc(oldCapacity > 0 ? buffer : nullptr, static_cast<size_t>(rounded));
    if (grown == nullptr) throw std::bad_alloc();
    std::memset(static_cast<char*>(grown) + oldCapacity, 0, static_cast<size_t>(rounded - oldCapacity));
    buffer = grown;
    capacity = static_cast<int32_t>(rounded);
}

// ---- Rounding ---------------------------------------------------------------

long double FloatPower(uint8_t n, long double x) {
    if (n == 0) return 1.0L;
    if (x == 0 || n == 1) return x;
    long double result = x;
    for (uint8_t i = 1; i < n; ++i) result *= x;
    return result;
}

long double RoundFloat(long double x, uint8_t n) {
    if (x == 0) return x;
    if (n == 0) {
        if (x > 0) return std::trunc(x + 0.5L);
        if (x < 0) return std::trunc(x - 0.5L);
        return x;
    }
    const long double p = FloatPower(n, 0.1L);
    if (x > 0) return std::trunc(x / p + 0.5L) * p;
    if (x < 0) return std::trunc(x / p - 0.5L) * p;
    return x;  // NaN
}

TCurrency RoundCurrency(TCurrency c, uint8_t n) {
    if (n > 4) n = 4;
    if (c == 0 || n == 4) return c;
    // c / 0.1^n + 0.5 in whole ten-thousandths: a multiple of step, with halves of
    // step going away from zero. Done on magnitudes so nothing can overflow.
    int64_t step = 1;
    for (uint8_t i = n; i < 4; ++i) step *= 10;
    const bool negative = c < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(c) : static_cast<uint64_t>(c);
    const uint64_t ustep = static_cast<uint64_t>(step);
    uint64_t rounded = magnitude / ustep * ustep;
    if (magnitude % ustep * 2 >= ustep) {
        const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
        if (rounded <= limit - ustep) rounded += ustep;
    }
    return negative ? static_cast<TCurrency>(0 - rounded) : static_cast<TCurrency>(rounded);
}

// ---- Constant checks --------------------------------------------------------

bool IsValidWordStr(std::string_view text) {
    int32_t value = 0;
    return TryStrToInt(text, value) && value >= 0 && value <= 65535;
}

bool IsValidSmallIntStr(std::string_view text) {
    int32_t value = 0;
    return TryStrToInt(text, value) && value >= -32768 && value <= 32767;
}

bool IsValidIntegerStr(std::string_view text) {
    int32_t value = 0;
    return TryStrToInt(text, value);
}

bool IsValidLargeIntStr(std::string_view text) {
    int64_t value = 0;
    return TryStrToInt64(text, value);
}

namespace {

template <typename F>
bool Converts(F&& convert) {
    try {
        convert();
        return true;
    } catch (const EConvertError&) {
        return false;
    }
}

}  // namespace

bool IsValidBooleanStr(std::string_view text) {
    return Converts([&] { ANSIStrToBool(text); });
}

bool IsValidFloatStr(std::string_view text) {
    return Converts([&] { ANSIStrToFloat(text); });
}

bool IsValidCurrencyStr(std::string_view text) {
    return Converts([&] { ANSIStrToCurr(text); });
}

bool IsValidDateStr(std::string_view text) {
    return Converts([&] { ANSIStrToDate(text); });
}

bool IsValidTimeStr(std::string_view text) {
    return Converts([&] { ANSIStrToTime(text); });
}

bool IsValidTimeStampStr(std::string_view text) {
    return Converts([&] { ANSIStrToDateTime(text); });
}

// ---- Text -------------------------------------------------------------------

void ExtractToken(std::string& s, std::string_view separator, std::string& token) {
    const size_t pos = separator.empty() ? std::string::npos : s.find(separator);
    if (pos == std::string::npos) {
        token = s;
        s.clear();
        return;
    }
    token = s.substr(0, pos);
    s.erase(0, pos + separator.size());
}

void SplitWords(std::string_view s, TStringList& list) {
    list.Clear();
    std::string rest(s);
    std::string token;
    while (!rest.empty()) {
        ExtractToken(rest, " ", token);
        list.Add(token);
    }
}

std::string PadLeft(std::string_view s, int length, char fill) {
    std::string text(s);
    if (length > 0 && text.size() < static_cast<size_t>(length)) {
        text.insert(0, static_cast<size_t>(length) - text.size(), fill);
    }
    return text;
}

std::string LeftStr(std::string_view s, int n) {
    if (n <= 0) return {};
    return std::string(s.substr(0, static_cast<size_t>(n)));
}

std::string RightStr(std::string_view s, int n) {
    if (n <= 0) return {};
    const size_t count = static_cast<size_t>(n) < s.size() ? static_cast<size_t>(n) : s.size();
    return std::string(s.substr(s.size() - count));
}

int RPos(std::string_view sub, std::string_view s) {
    if (sub.empty() || sub.size() > s.size()) return 0;
    const std::string text(s);
    const std::string needle(sub);
    int last = 0;
    for (const char* p = FindAtCharBoundary(text.c_str(), needle.c_str()); p != nullptr;
         p = FindAtCharBoundary(p + CharLength(p), needle.c_str())) {
        last = static_cast<int>(p - text.c_str()) + 1;
    }
    return last;
}

char* StrTrimLeadingChar(char* s, char c) {
    if (s == nullptr || c == '\0') return s;
    const size_t skip = std::strspn(s, std::string(1, c).c_str());
    if (skip > 0) std::memmove(s, s + skip, std::strlen(s + skip) + 1);
    return s;
}

char* StrTrimTrailingChar(char* s, char c) {
    if (s == nullptr || c == '\0') return s;
    // Walk characters so that a trail byte equal to c is never cut off.
    char* cut = nullptr;
    for (char* p = s; *p != '\0'; p += CharLength(p)) {
        if (*p == c && CharLength(p) == 1) {
            if (cut == nullptr) cut = p;
        } else {
            cut = nullptr;
        }
    }
    if (cut != nullptr) *cut = '\0';
    return s;
}

char* StrTrimChar(char* s, char c) { return StrTrimTrailingChar(StrTrimLeadingChar(s, c), c); }

int StrPosIndex(const char* sub, const char* s) {
    if (sub == nullptr || s == nullptr) return 0;
    const char* found = FindAtCharBoundary(s, sub);
    return found ? static_cast<int>(found - s) + 1 : 0;
}

int StrCountOccurs(const char* sub, const char* s) {
    if (sub == nullptr || s == nullptr || *sub == '\0') return 0;
    const size_t subLength = std::strlen(sub);
    int count = 0;
    for (const char* p = FindAtCharBoundary(s, sub); p != nullptr; p = FindAtCharBoundary(p + subLength, sub)) {
        ++count;
    }
    return count;
}

int StrReplaceLength(const char* oldText, const char* newText, const char* s) {
    if (s == nullptr) return 0;
    const int length = static_cast<int>(std::strlen(s));
    if (oldText == nullptr || *oldText == '\0') return length;
    const int newLength = newText ? static_cast<int>(std::strlen(newText)) : 0;
    return length + StrCountOccurs(oldText, s) * (newLength - static_cast<int>(std::strlen(oldText)));
}

void StrReplaceAll(const char* oldText, const char* newText, const char* source, char* destination) {
    if (destination == nullptr) return;
    if (source == nullptr) {
        *destination = '\0';
        return;
    }
    if (oldText == nullptr || *oldText == '\0' || (newText != nullptr && std::strcmp(oldText, newText) == 0)) {
        std::memmove(destination, source, std::strlen(source) + 1);
        return;
    }
    const size_t oldLength = std::strlen(oldText);
    const size_t newLength = newText ? std::strlen(newText) : 0;
    std::string result;
    const char* p = source;
    for (const char* found = FindAtCharBoundary(p, oldText); found != nullptr;
         found = FindAtCharBoundary(p, oldText)) {
        result.append(p, static_cast<size_t>(found - p));
        if (newLength > 0) result.append(newText, newLength);
        p = found + oldLength;
    }
    result.append(p);
    std::memcpy(destination, result.c_str(), result.size() + 1);
}

std::string RemoveLineBreaks(std::string_view s) {
    std::string text;
    text.reserve(s.size());
    for (char c : s) {
        if (c != '\r' && c != '\n') text.push_back(c);
    }
    return text;
}

std::string UnquoteDoubled(char quote, std::string_view s) {
    std::string text(s);
    const bool both = quote != '"' && quote != '\'';
    auto isQuote = [&](char c) { return both ? (c == '"' || c == '\'') : c == quote; };
    size_t i = text.size();
    while (i > 1) {
        if (isQuote(text[i - 1]) && text[i - 2] == text[i - 1]) {
            text.erase(i - 1, 1);
            --i;
        }
        --i;
    }
    return text;
}

std::string CharSetToString(const TCharSet& set) {
    std::string text;
    for (size_t b = 1; b < 256; ++b) {
        if (set.test(b)) text.push_back(static_cast<char>(b));
    }
    return text;
}

TCharSet StringToCharSet(std::string_view s) {
    TCharSet set;
    for (char c : s) set.set(static_cast<unsigned char>(c));
    return set;
}

void AssignList(const TStringList& source, TStringList& destination) {
    if (&source == &destination) return;
    destination.Clear();
    for (int32_t i = 0; i < source.Count(); ++i) destination.Add(source.Get(i));
}

void ZeroBuffer(void* buffer, uint8_t length) {
    if (buffer != nullptr && length > 0) std::memset(buffer, 0, length);
}

// ---- Character classes ------------------------------------------------------

bool IsIdentStartChar(char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b >= 'A' && b <= 'Z') || b == '_' || (b >= 'a' && b <= 'z') || (b >= 128 && b <= 254);
}

bool IsDigitChar(char c) { return c >= '0' && c <= '9'; }

bool IsIdentChar(char c) { return IsIdentStartChar(c) || IsDigitChar(c); }

bool IsSpecialIdentChar(char c) { return c == '!' || c == '$' || c == '@'; }

bool IsDelimiterChar(char c) {
    switch (c) {
        case '*': case '+': case ',': case '-': case '.': case '/': case ':':
        case ';': case '<': case '=': case '>': case '\\': case '`':
            return true;
        default:
            return false;
    }
}

// ---- Numbers ----------------------------------------------------------------

int32_t IncWrap(int32_t n) { return n == std::numeric_limits<int32_t>::max() ? 1 : n + 1; }

int32_t MaxInt32(int32_t a, int32_t b) { return a > b ? a : b; }
int32_t MinInt32(int32_t a, int32_t b) { return a < b ? a : b; }
int64_t MaxInt64(int64_t a, int64_t b) { return a > b ? a : b; }
int64_t MinInt64(int64_t a, int64_t b) { return a < b ? a : b; }
uint16_t MaxWord(uint16_t a, uint16_t b) { return a > b ? a : b; }
uint16_t MinWord(uint16_t a, uint16_t b) { return a < b ? a : b; }
int16_t MaxSmallInt(int16_t a, int16_t b) { return a > b ? a : b; }
int16_t MinSmallInt(int16_t a, int16_t b) { return a < b ? a : b; }
double MaxDouble(double a, double b) { return a > b ? a : b; }
double MinDouble(double a, double b) { return a < b ? a : b; }
long double MaxExtended(long double a, long double b) { return a > b ? a : b; }
long double MinExtended(long double a, long double b) { return a < b ? a : b; }
uint8_t MaxByte(uint8_t a, uint8_t b) { return a > b ? a : b; }

}  // namespace kura
