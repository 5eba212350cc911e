#include "engine/files/FieldConversions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <vector>

#include "engine/files/NeutralText.h"

namespace kura {

namespace {

// Stored day numbers of 0001-01-01 and 9999-12-31.
constexpr int32_t MinDayNumber = MinDateDays + DateDelta;
constexpr int32_t MaxDayNumber = MaxDateDays + DateDelta;
// Text written into a value buffer keeps room for its terminator.
constexpr std::size_t MaxBufferText = FieldValueBufferSize - 1;

// ---- little-endian access to the value buffer ----

uint64_t ReadLE(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void WriteLE(uint8_t* p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i, v >>= 8) p[i] = static_cast<uint8_t>(v & 0xFF);
}

double ReadDouble(const uint8_t* p) {
    const uint64_t bits = ReadLE(p, 8);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

void WriteDouble(uint8_t* p, double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    WriteLE(p, bits, 8);
}

void ClearBuffer(uint8_t* buffer) { std::memset(buffer, 0, FieldValueBufferSize); }

// The zero-terminated text at the start of a buffer (never read past it).
std::string ReadText(const uint8_t* buffer) {
    std::size_t length = 0;
    while (length < FieldValueBufferSize && buffer[length] != 0) ++length;
    return std::string(reinterpret_cast<const char*>(buffer), length);
}

void WriteText(uint8_t* buffer, std::string_view text) {
    ClearBuffer(buffer);
    std::memcpy(buffer, text.data(), std::min(text.size(), MaxBufferText));
}

// ---- numbers ----

// Round half to even, the platform's rounding of a float into an integer type.
long double RoundHalfEven(long double x) {
    const long double lower = std::floor(x);
    const long double diff = x - lower;
    if (diff > 0.5L) return lower + 1;
    if (diff < 0.5L) return lower;
    return std::fmod(lower, 2.0L) == 0 ? lower : lower + 1;
}

// A float that lies inside the signed 64-bit range, as an integer.
bool FloatToInt64(long double x, int64_t& value) {
    if (!(x >= -9223372036854775808.0L && x < 9223372036854775808.0L)) return false;  // also NaN
    value = static_cast<int64_t>(x);
    return true;
}

bool FloatToCurrency(long double x, TCurrency& value) { return FloatToInt64(RoundHalfEven(x * CurrencyScale), value); }

bool IntegerToCurrency(int64_t x, TCurrency& value) {
    constexpr int64_t limit = std::numeric_limits<int64_t>::max() / CurrencyScale;
    if (x > limit || x < -limit) return false;
    value = x * CurrencyScale;
    return true;
}

bool IsIntegerType(TEngineFieldType type) {
    return type == fldINT16 || type == fldINT32 || type == fldUINT16 || type == fldINT64;
}

int IntegerWidth(TEngineFieldType type) {
    switch (type) {
        case fldINT16:
        case fldUINT16:
            return 2;
        case fldINT32:
            return 4;
        default:
            return 8;
    }
}

int64_t ReadInteger(const uint8_t* buffer, TEngineFieldType type) {
    switch (type) {
        case fldINT16:
            return static_cast<int16_t>(ReadLE(buffer, 2));
        case fldUINT16:
            return static_cast<uint16_t>(ReadLE(buffer, 2));
        case fldINT32:
            return static_cast<int32_t>(ReadLE(buffer, 4));
        default:
            return static_cast<int64_t>(ReadLE(buffer, 8));
    }
}

// Writes the low bytes of an integer into an integer type: a narrower type keeps
// what fits of it, as a narrowing cast does.
void WriteLowBytes(uint8_t* buffer, TEngineFieldType type, int64_t value) {
    WriteLE(buffer, static_cast<uint64_t>(value), IntegerWidth(type));
}

// Writes an integer into an integer type; false when it does not fit.
bool WriteInteger(uint8_t* buffer, TEngineFieldType type, int64_t value) {
    int64_t low = std::numeric_limits<int64_t>::min();
    int64_t high = std::numeric_limits<int64_t>::max();
    switch (type) {
        case fldINT16:
            low = -32768;
            high = 32767;
            break;
        case fldUINT16:
            low = 0;
            high = 65535;
            break;
        case fldINT32:
            low = std::numeric_limits<int32_t>::min();
            high = std::numeric_limits<int32_t>::max();
            break;
        default:
            break;
    }
    if (value < low || value > high) return false;
    WriteLE(buffer, static_cast<uint64_t>(value), IntegerWidth(type));
    return true;
}

bool WriteCurrencyAsBCD(uint8_t* buffer, TCurrency value, uint8_t decimals) {
    return CurrToBCDValue(value, decimals, buffer);
}

// ---- dates and times ----

bool IsValidDayNumber(int32_t day) { return day >= MinDayNumber && day <= MaxDayNumber; }
bool IsValidTimeOfDay(int32_t msec) { return msec >= 0 && msec < MSecsPerDay; }

// A stored timestamp as day number and milliseconds of the day, from its value
// rounded to a whole millisecond.
bool SplitTimestamp(double stored, int32_t& day, int32_t& msec) {
    int64_t ms;
    if (!FloatToInt64(RoundHalfEven(stored), ms) || ms < 0) return false;
    const int64_t d = ms / MSecsPerDay;
    if (d > MaxDayNumber) return false;
    day = static_cast<int32_t>(d);
    msec = static_cast<int32_t>(ms % MSecsPerDay);
    return IsValidDayNumber(day);
}

double TimestampValue(int32_t day, int32_t msec) {
    return static_cast<double>(day) * static_cast<double>(MSecsPerDay) + msec;
}

TDateTime ToDateTime(int32_t day, int32_t msec) {
    return ComposeDateTime(static_cast<TDateTime>(day - DateDelta), static_cast<TDateTime>(msec) / MSecsPerDay);
}

// Stores a moment as a date, time or timestamp; false for a moment outside the
// years 1..9999 (or not a number) and for other types.
bool StoreMoment(uint8_t* buffer, TEngineFieldType type, TDateTime moment) {
    int32_t days = 0;
    int32_t msec = 0;
    if (!SplitDateTime(moment, days, msec)) return false;
    const int32_t day = days + DateDelta;
    switch (type) {
        case fldDATE:
            WriteLE(buffer, static_cast<uint32_t>(day), 4);
            return true;
        case fldTIME:
            WriteLE(buffer, static_cast<uint32_t>(msec), 4);
            return true;
        case fldTIMESTAMP:
            WriteDouble(buffer, TimestampValue(day, msec));
            return true;
        default:
            return false;
    }
}

struct TMoment {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0, msec = 0;
    int dayOfWeek = 7;  // 1 Sunday .. 7 Saturday; 1899-12-30 was a Saturday
};

TMoment MakeMoment(int32_t day, int32_t msec) {
    TMoment m;
    DaysToDate(day - DateDelta, m.year, m.month, m.day);
    // 0001-01-01 (day 1) was a Monday.
    m.dayOfWeek = static_cast<int>((day % 7 + 7) % 7) + 1;
    m.hour = msec / 3600000;
    m.minute = msec / 60000 % 60;
    m.second = msec / 1000 % 60;
    m.msec = msec % 1000;
    return m;
}

const char* const ShortMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const LongMonthNames[12] = {"January", "February", "March",     "April",   "May",      "June",
                                        "July",    "August",   "September", "October", "November", "December"};
const char* const ShortDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const LongDayNames[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

std::string Padded(int value, int width) {
    std::string s = std::to_string(value);
    if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<std::size_t>(width) - s.size(), '0');
    return s;
}

bool StartsWithNoCase(std::string_view text, std::size_t at, std::string_view word) {
    if (text.size() - at < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(text[at + i])) != std::toupper(static_cast<unsigned char>(word[i])))
            return false;
    return true;
}

bool HasAmPm(std::string_view format) {
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (c == '\'' || c == '"') {
            const std::size_t close = format.find(c, i + 1);
            if (close == std::string_view::npos) return false;
            i = close;
        } else if (StartsWithNoCase(format, i, "am/pm") || StartsWithNoCase(format, i, "a/p") ||
                   StartsWithNoCase(format, i, "ampm")) {
            return true;
        }
    }
    return false;
}

// The run-time library's date-time formatting: y, m, d, h, n, s, z runs, AM/PM
// markers, quoted literals, c (date and time), ddddd (date) and t / tt (time).
// A letter m right after an hour is the minute. Names are English.
void FormatMoment(std::string& out, std::string_view format, const TMoment& m, int depth = 0) {
    const bool twelveHour = HasAmPm(format);
    char lastLetter = 0;
    std::size_t i = 0;
    while (i < format.size()) {
        const char c = format[i];
        const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (c == '\'' || c == '"') {
            const std::size_t close = format.find(c, i + 1);
            const std::size_t end = close == std::string_view::npos ? format.size() : close;
            out.append(format.substr(i + 1, end - i - 1));
            i = end == format.size() ? end : end + 1;
            continue;
        }
        if (u == 'A') {
            if (StartsWithNoCase(format, i, "am/pm")) {
                const bool upper = c == 'A';
                out += m.hour >= 12 ? (upper ? "PM" : "pm") : (upper ? "AM" : "am");
                i += 5;
            } else if (StartsWithNoCase(format, i, "a/p")) {
                const bool upper = c == 'A';
                out += m.hour >= 12 ? (upper ? 'P' : 'p') : (upper ? 'A' : 'a');
                i += 3;
            } else if (StartsWithNoCase(format, i, "ampm")) {
                out += m.hour >= 12 ? "PM" : "AM";
                i += 4;
            } else {
                out += c;
                ++i;
            }
            lastLetter = 'A';
            continue;
        }
        std::size_t run = 1;
        if (u >= 'A' && u <= 'Z')
            while (i + run < format.size() &&
                   std::toupper(static_cast<unsigned char>(format[i + run])) == static_cast<unsigned char>(u))
                ++run;
        switch (u) {
            case 'Y':
                out += run <= 2 ? Padded(m.year % 100, 2) : Padded(m.year, 4);
                break;
            case 'M':
                if (lastLetter == 'H' && run <= 2)
                    out += run == 1 ? std::to_string(m.minute) : Padded(m.minute, 2);
                else if (run == 1)
                    out += std::to_string(m.month);
                else if (run == 2)
                    out += Padded(m.month, 2);
                else
                    out += run == 3 ? ShortMonthNames[m.month - 1] : LongMonthNames[m.month - 1];
                break;
            case 'D':
                if (run == 1)
                    out += std::to_string(m.day);
                else if (run == 2)
                    out += Padded(m.day, 2);
                else if (run == 3)
                    out += ShortDayNames[m.dayOfWeek - 1];
                else if (run == 4)
                    out += LongDayNames[m.dayOfWeek - 1];
                else if (depth == 0)
                    FormatMoment(out, "yyyy/mm/dd", m, depth + 1);
                break;
            case 'H': {
                int hour = m.hour;
                if (twelveHour) {
                    hour %= 12;
                    if (hour == 0) hour = 12;
                }
                out += run == 1 ? std::to_string(hour) : Padded(hour, 2);
                break;
            }
            case 'N':
                out += run == 1 ? std::to_string(m.minute) : Padded(m.minute, 2);
                break;
            case 'S':
                out += run == 1 ? std::to_string(m.second) : Padded(m.second, 2);
                break;
            case 'Z':
                out += run < 3 ? std::to_string(m.msec) : Padded(m.msec, 3);
                break;
            case 'C':
                if (depth == 0) {
                    FormatMoment(out, "yyyy/mm/dd", m, depth + 1);
                    if (m.hour != 0 || m.minute != 0 || m.second != 0) FormatMoment(out, " h:nn:ss", m, depth + 1);
                }
                break;
            case 'T':
                if (depth == 0) FormatMoment(out, run == 1 ? "h:nn" : "h:nn:ss", m, depth + 1);
                break;
            default:
                out.append(run, c);
                break;
        }
        if (u >= 'A' && u <= 'Z') lastLetter = u;
        i += run;
    }
}

[[noreturn]] void RaiseConvert(std::string_view text, const char* what) {
    throw EConvertError("'" + std::string(text) + "' is not a valid " + what);
}

int CurrentYear() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr) return 2000;
    return local.tm_year + 1900;
}

constexpr int DefaultCenturyWindow = 50;

// Splits off the part before `separator` (or, when allowed, before a "."); with
// neither, the whole rest.
std::string_view NextPart(std::string_view& rest, char separator, bool dotFallback) {
    std::size_t pos = separator != 0 ? rest.find(separator) : std::string_view::npos;
    if (pos == std::string_view::npos && dotFallback) pos = rest.find('.');
    std::string_view part;
    if (pos == std::string_view::npos) {
        part = rest;
        rest = {};
    } else {
        part = rest.substr(0, pos);
        rest = rest.substr(pos + 1);
    }
    return part;
}

std::string Trimmed(std::string_view s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return std::string(s.substr(b, e - b));
}

std::string ReplaceChar(std::string_view text, char from, char to) {
    std::string s(text);
    std::replace(s.begin(), s.end(), from, to);
    return s;
}

// ---- ConvertFieldData by source type; `src` is a copy of the value, `buffer`
// is already zeroed ----

bool IsRawSource(TEngineFieldType type) {
    switch (type) {
        case fldZSTRING:
        case fldDATE:
        case fldBOOL:
        case fldINT16:
        case fldINT32:
        case fldFLOAT:
        case fldBCD:
        case fldTIME:
        case fldTIMESTAMP:
        case fldUINT16:
        case fldINT64:
            return true;
        default:
            return false;
    }
}

bool FromString(const uint8_t* src, TEngineFieldType target, uint8_t decimals, uint8_t* buffer) {
    const std::string text = ReadText(src).substr(0, 255);
    try {
        switch (target) {
            case fldDATE:
                return StoreMoment(buffer, target, ANSIStrToDate(text));
            case fldTIME:
                return StoreMoment(buffer, target, ANSIStrToTime(text));
            case fldTIMESTAMP:
                return StoreMoment(buffer, target, ANSIStrToDateTime(text));
            case fldBOOL:
                WriteLE(buffer, ANSIStrToBool(text) ? 1 : 0, 2);
                return true;
            case fldINT16:
            case fldINT32:
            case fldUINT16: {
                int32_t value;
                if (!TryStrToInt(text, value)) return false;
                WriteLowBytes(buffer, target, value);
                return true;
            }
            case fldINT64: {
                int64_t value;
                return TryStrToInt64(text, value) && WriteInteger(buffer, target, value);
            }
            case fldFLOAT: {
                const long double value = ANSIStrToFloat(text);
                // A value beyond the double range does not fit.
                if (std::isfinite(value) && !std::isfinite(static_cast<double>(value))) return false;
                WriteDouble(buffer, static_cast<double>(value));
                return true;
            }
            case fldBCD: {
                TCurrency value;
                return TryStrToCurr(text, LocalDecimalSeparator(), value) &&
                       WriteCurrencyAsBCD(buffer, value, decimals);
            }
            default:
                return false;
        }
    } catch (const EConvertError&) {
        return false;
    }
}

bool FromDate(const uint8_t* src, TEngineFieldType target, uint8_t* buffer) {
    const int32_t day = static_cast<int32_t>(ReadLE(src, 4));
    if (!IsValidDayNumber(day)) return false;
    switch (target) {
        case fldZSTRING:
            WriteText(buffer, ANSIDateToStr(static_cast<TDateTime>(day - DateDelta)));
            return true;
        case fldTIMESTAMP:
            WriteDouble(buffer, TimestampValue(day, 0));
            return true;
        default:
            return false;
    }
}

bool FromBoolean(const uint8_t* src, TEngineFieldType target, uint8_t decimals, uint8_t* buffer) {
    const bool value = ReadLE(src, 2) != 0;
    if (target == fldZSTRING) {
        WriteText(buffer, ANSIBoolToStr(value));
        return true;
    }
    if (IsIntegerType(target)) return WriteInteger(buffer, target, value ? 1 : 0);
    if (target == fldBCD) return WriteCurrencyAsBCD(buffer, value ? CurrencyScale : 0, decimals);
    return false;
}

bool FromInteger(const uint8_t* src, TEngineFieldType source, TEngineFieldType target, uint8_t decimals,
                 uint8_t* buffer) {
    const int64_t value = ReadInteger(src, source);
    if (target == fldZSTRING) {
        WriteText(buffer, std::to_string(value));
        return true;
    }
    if (target == fldBOOL) {
        if (source != fldINT16 && source != fldUINT16) return false;
        WriteLE(buffer, value != 0 ? 1 : 0, 2);
        return true;
    }
    if (IsIntegerType(target)) {
        WriteLowBytes(buffer, target, value);
        return true;
    }
    if (target == fldFLOAT) {
        WriteDouble(buffer, static_cast<double>(value));
        return true;
    }
    if (target == fldBCD) {
        TCurrency currency;
        return IntegerToCurrency(value, currency) && WriteCurrencyAsBCD(buffer, currency, decimals);
    }
    return false;
}

bool FromFloat(const uint8_t* src, TEngineFieldType target, uint8_t decimals, uint8_t* buffer) {
    const double value = ReadDouble(src);
    if (target == fldZSTRING) {
        WriteText(buffer, ANSIFloatToStr(value));
        return true;
    }
    if (IsIntegerType(target)) {
        int64_t whole;
        return FloatToInt64(std::trunc(static_cast<long double>(value)), whole) &&
               WriteInteger(buffer, target, whole);
    }
    if (target == fldBCD) {
        TCurrency currency;
        return FloatToCurrency(value, currency) && WriteCurrencyAsBCD(buffer, currency, decimals);
    }
    return false;
}

bool FromBCD(const uint8_t* src, TEngineFieldType target, uint8_t* buffer) {
    TCurrency value;
    if (!BCDToCurrValue(src, value)) return false;
    if (target == fldZSTRING) {
        WriteText(buffer, CurrToStr(value));
        return true;
    }
    if (IsIntegerType(target)) return WriteInteger(buffer, target, value / CurrencyScale);
    if (target == fldFLOAT) {
        WriteDouble(buffer, static_cast<double>(value) / CurrencyScale);
        return true;
    }
    return false;
}

bool FromTime(const uint8_t* src, TEngineFieldType target, uint8_t* buffer) {
    const int32_t msec = static_cast<int32_t>(ReadLE(src, 4));
    if (!IsValidTimeOfDay(msec)) return false;
    switch (target) {
        case fldZSTRING:
            WriteText(buffer, ANSITimeToStr(true, static_cast<TDateTime>(msec) / MSecsPerDay));
            return true;
        case fldTIMESTAMP:
            WriteDouble(buffer, TimestampValue(DateDelta, msec));
            return true;
        default:
            return false;
    }
}

bool FromTimestamp(const uint8_t* src, TEngineFieldType target, uint8_t* buffer) {
    int32_t day = 0;
    int32_t msec = 0;
    if (!SplitTimestamp(ReadDouble(src), day, msec)) return false;
    switch (target) {
        case fldZSTRING:
            WriteText(buffer, ANSIDateTimeToStr(true, ToDateTime(day, msec)));
            return true;
        case fldDATE:
            WriteLE(buffer, static_cast<uint32_t>(day), 4);
            return true;
        case fldTIME:
            WriteLE(buffer, static_cast<uint32_t>(msec), 4);
            return true;
        default:
            return false;
    }
}

}  // namespace

// ---------------------------------------------------------------------------

long double StrToFloatDot(std::string_view text, char decimalChar) {
    return StrToFloat(ReplaceChar(text, decimalChar, LocalDecimalSeparator()));
}

TCurrency StrToCurrDot(std::string_view text, char decimalChar) {
    return StrToCurr(ReplaceChar(text, decimalChar, LocalDecimalSeparator()));
}

void FloatToStrEngine(char decimalChar, std::string& text, long double value) {
    text = ReplaceChar(FloatToStr(value), LocalDecimalSeparator(), decimalChar);
}

void CurrToStrEngine(char decimalChar, std::string& text, TCurrency value) {
    text = ReplaceChar(CurrToStr(value), LocalDecimalSeparator(), decimalChar);
}

int ExpandTwoDigitYear(int year, int currentYear, int window) {
    const int base = currentYear - window;
    year += base / 100 * 100;
    if (window != 0 && year < base) year += 100;
    return year;
}

TDateTime StrToDateFmt(std::string_view text, std::string_view format) {
    return StrToDateFmt(text, format, CurrentYear(), DefaultCenturyWindow);
}

TDateTime StrToDateFmt(std::string_view text, std::string_view format, int currentYear, int centuryWindow) {
    std::vector<char> elements;
    char separator = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(format[i])));
        if (u == 'D' || u == 'M' || u == 'Y') {
            if (elements.size() < 3 && std::find(elements.begin(), elements.end(), u) == elements.end())
                elements.push_back(u);
            while (i + 1 < format.size() && std::toupper(static_cast<unsigned char>(format[i + 1])) == u) ++i;
        } else if (format[i] != ' ' && separator == 0) {
            separator = format[i];
        }
    }

    int day = 0;
    int month = 0;
    int year = 0;
    std::size_t yearChars = 4;
    std::string_view rest = text;
    for (std::size_t e = 0; e < 3; ++e) {
        const std::string_view part = NextPart(rest, separator, false);
        if (e >= elements.size()) continue;
        int32_t value;
        if (!TryStrToInt(part, value)) RaiseConvert(text, "date");
        if (elements[e] == 'D') day = value;
        if (elements[e] == 'M') month = value;
        if (elements[e] == 'Y') {
            year = value;
            yearChars = part.size();
        }
    }
    if (yearChars < 3) year = ExpandTwoDigitYear(year, currentYear, centuryWindow);
    TDateTime date;
    if (!TryEncodeDate(year, month, day, date)) RaiseConvert(text, "date");
    return date;
}

TDateTime StrToTimeFmt(std::string_view text, std::string_view format) {
    std::vector<char> elements;
    char separator = 0;
    bool twelveHour = false;
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(format[i])));
        if ((u == 'A' || u == 'P') && i + 1 < format.size() && (format[i + 1] == 'M' || format[i + 1] == 'm')) {
            twelveHour = true;
            ++i;  // the M of the marker names no element
        } else if (u == 'H' || u == 'M' || u == 'S' || u == 'Z') {
            if (elements.size() < 4 && std::find(elements.begin(), elements.end(), u) == elements.end())
                elements.push_back(u);
            while (i + 1 < format.size() && std::toupper(static_cast<unsigned char>(format[i + 1])) == u) ++i;
        } else if (format[i] != ' ' && separator == 0) {
            separator = format[i];
        }
    }

    int values[4] = {0, 0, 0, 0};  // hour, minute, second, millisecond
    int offset = 0;
    std::string_view rest = text;
    for (const char element : elements) {
        std::string part(NextPart(rest, separator, true));
        if (twelveHour) {
            std::string upper = part;
            for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            std::size_t marker = upper.find("AM");
            if (marker != std::string::npos) {
                offset = 0;
            } else if ((marker = upper.find("PM")) != std::string::npos) {
                offset = 12;
            }
            if (marker != std::string::npos) part = Trimmed(part.erase(marker, 2));
        }
        int32_t value;
        if (!TryStrToInt(part, value)) RaiseConvert(text, "time");
        values[element == 'H' ? 0 : element == 'M' ? 1 : element == 'S' ? 2 : 3] = value;
    }
    if (twelveHour) {
        if (values[0] == 12)
            values[0] = offset == 0 ? 0 : 12;
        else if (values[0] <= 23)  // a larger hour stays invalid rather than overflowing
            values[0] += offset;
    }
    TDateTime time;
    if (!TryEncodeTime(values[0], values[1], values[2], values[3], time)) RaiseConvert(text, "time");
    return time;
}

TDateTime StrToDateTimeFmt(std::string_view text, std::string_view dateFormat, std::string_view timeFormat) {
    const std::size_t blank = text.find(' ');
    if (blank == std::string_view::npos || blank == 0 || blank + 1 == text.size() || dateFormat.empty() ||
        timeFormat.empty())
        RaiseConvert(text, "date and time");
    return ComposeDateTime(StrToDateFmt(text.substr(0, blank), dateFormat),
                           StrToTimeFmt(text.substr(blank + 1), timeFormat));
}

namespace {

// Replaces the text in the buffer by the date, time or timestamp read from it with
// the parser for that type; an unreadable text leaves the buffer cleared.
template <typename ParseDate, typename ParseTime, typename ParseDateTime>
bool TextToMoment(uint8_t* buffer, TEngineFieldType type, ParseDate&& parseDate, ParseTime&& parseTime,
                  ParseDateTime&& parseDateTime) {
    const std::string text = ReadText(buffer).substr(0, 255);
    ClearBuffer(buffer);
    try {
        switch (type) {
            case fldDATE:
                return StoreMoment(buffer, type, parseDate(text));
            case fldTIME:
                return StoreMoment(buffer, type, parseTime(text));
            case fldTIMESTAMP:
                return StoreMoment(buffer, type, parseDateTime(text));
            default:
                return false;
        }
    } catch (const EConvertError&) {
        ClearBuffer(buffer);
        return false;
    }
}

}  // namespace

bool ANSITextToDateTimeValue(uint8_t* buffer, TEngineFieldType type) {
    return TextToMoment(buffer, type, ANSIStrToDate, ANSIStrToTime, ANSIStrToDateTime);
}

bool TextToDateTimeValue(uint8_t* buffer, TEngineFieldType type, std::string_view dateFormat,
                         std::string_view timeFormat) {
    return TextToMoment(
        buffer, type, [&](std::string_view text) { return StrToDateFmt(text, dateFormat); },
        [&](std::string_view text) { return StrToTimeFmt(text, timeFormat); },
        [&](std::string_view text) { return StrToDateTimeFmt(text, dateFormat, timeFormat); });
}

bool DateTimeValueToText(uint8_t* buffer, TEngineFieldType type, std::string_view dateFormat,
                         std::string_view timeFormat) {
    int32_t day = DateDelta;
    int32_t msec = 0;
    std::string format;
    bool valid = false;
    switch (type) {
        case fldDATE:
            day = static_cast<int32_t>(ReadLE(buffer, 4));
            valid = IsValidDayNumber(day);
            format = dateFormat;
            break;
        case fldTIME:
            msec = static_cast<int32_t>(ReadLE(buffer, 4));
            valid = IsValidTimeOfDay(msec);
            format = timeFormat;
            break;
        case fldTIMESTAMP:
            valid = SplitTimestamp(ReadDouble(buffer), day, msec);
            format = std::string(dateFormat) + " " + std::string(timeFormat);
            break;
        default:
            break;
    }
    ClearBuffer(buffer);
    if (!valid) return false;
    std::string text;
    FormatMoment(text, format, MakeMoment(day, msec));
    WriteText(buffer, text);
    return true;
}

bool TextToNumericValue(uint8_t* buffer, TEngineFieldType type, uint8_t decimals, char decimalChar) {
    const std::string text = ReadText(buffer).substr(0, 255);
    ClearBuffer(buffer);
    try {
        if (type == fldFLOAT) {
            const long double value = StrToFloatDot(text, decimalChar);
            if (std::isfinite(value) && !std::isfinite(static_cast<double>(value))) return false;
            WriteDouble(buffer, static_cast<double>(value));
            return true;
        }
        if (type == fldBCD) return WriteCurrencyAsBCD(buffer, StrToCurrDot(text, decimalChar), decimals);
    } catch (const EConvertError&) {
        ClearBuffer(buffer);
    }
    return false;
}

bool NumericValueToText(uint8_t* buffer, TEngineFieldType type, char decimalChar) {
    std::string text;
    bool ok = false;
    if (type == fldFLOAT) {
        FloatToStrEngine(decimalChar, text, ReadDouble(buffer));
        ok = true;
    } else if (type == fldBCD) {
        TCurrency value;
        ok = BCDToCurrValue(buffer, value);
        if (ok) CurrToStrEngine(decimalChar, text, value);
    }
    ClearBuffer(buffer);
    if (ok) WriteText(buffer, text);
    return ok;
}

bool ConvertFieldData(TEngineFieldType sourceType, uint16_t sourceSize, uint8_t sourceDecimals,
                      TEngineFieldType targetType, uint16_t targetSize, uint8_t targetDecimals, uint8_t* buffer) {
    (void)sourceDecimals;  // a BCD carries its places in its own bytes
    if (sourceType == fldBLOB || sourceType == fldUINT32 || sourceType == fldFLOATIEEE || sourceType == 16 ||
        sourceType == fldCURSOR || sourceType > fldINT64)
        return true;

    // Sizes never reach past the buffer, whatever the caller's descriptor says.
    const std::size_t sourceBytes = std::min<std::size_t>(sourceSize, FieldValueBufferSize);
    const std::size_t targetBytes = std::min<std::size_t>(targetSize, FieldValueBufferSize);
    const std::size_t common = std::min(sourceBytes, targetBytes);

    uint8_t src[FieldValueBufferSize];
    std::memcpy(src, buffer, FieldValueBufferSize);

    if (sourceType == targetType) {
        if (sourceType == fldZSTRING) {
            const std::string text = ReadText(src);
            ClearBuffer(buffer);
            // The text keeps a terminator inside the buffer whatever the sizes say.
            std::memcpy(buffer, text.data(), std::min({text.size(), common, MaxBufferText}));
        } else if (sourceType == fldBYTES || sourceType == fldVARBYTES) {
            ClearBuffer(buffer);
            std::memcpy(buffer, src, common);
        }
        return true;
    }

    ClearBuffer(buffer);
    bool ok = false;
    if ((targetType == fldBYTES || targetType == fldVARBYTES) && IsRawSource(sourceType)) {
        std::memcpy(buffer, src, common);
        ok = true;
    } else if (sourceType == fldBYTES || sourceType == fldVARBYTES) {
        ok = targetType != fldBLOB;
        if (ok) std::memcpy(buffer, src, common);
    } else {
        switch (sourceType) {
            case fldZSTRING:
                ok = FromString(src, targetType, targetDecimals, buffer);
                break;
            case fldDATE:
                ok = FromDate(src, targetType, buffer);
                break;
            case fldBOOL:
                ok = FromBoolean(src, targetType, targetDecimals, buffer);
                break;
            case fldINT16:
            case fldINT32:
            case fldUINT16:
            case fldINT64:
                ok = FromInteger(src, sourceType, targetType, targetDecimals, buffer);
                break;
            case fldFLOAT:
                ok = FromFloat(src, targetType, targetDecimals, buffer);
                break;
            case fldBCD:
                ok = FromBCD(src, targetType, buffer);
                break;
            case fldTIME:
                ok = FromTime(src, targetType, buffer);
                break;
            case fldTIMESTAMP:
                ok = FromTimestamp(src, targetType, buffer);
                break;
            default:
                break;
        }
    }
    if (!ok) ClearBuffer(buffer);
    return ok;
}

}  // namespace kura
