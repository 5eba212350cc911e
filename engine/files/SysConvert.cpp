#include "engine/files/SysConvert.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <system_error>

namespace kura {

namespace {

std::atomic<char> gDecimalSeparator{'.'};

[[noreturn]] void RaiseInvalidInteger(std::string_view text) {
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
}

[[noreturn]] void RaiseInvalidFloat(std::string_view text) {
    throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Leading blanks, a sign, digits and nothing else; the magnitude may reach limit.
bool ParseInteger(std::string_view text, uint64_t positiveLimit, uint64_t negativeLimit, bool& negative,
                  uint64_t& magnitude) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) return false;
    const uint64_t limit = negative ? negativeLimit : positiveLimit;
    magnitude = 0;
    for (; i < text.size(); ++i) {
        if (!IsDigit(text[i])) return false;
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (magnitude > (limit - digit) / 10) return false;
        magnitude = magnitude * 10 + digit;
    }
    return true;
}

// A decimal number split into its significant digits: value = 0.digits x 10^exponent.
struct DecimalText {
    bool negative = false;
    std::string digits;  // no leading zeros; empty for zero
    int64_t exponent = 0;
};

// Blanks around, a sign, digits with at most one decimal separator (at least one
// digit), an optional exponent with at least one digit.
bool ParseDecimal(std::string_view text, char separator, DecimalText& out) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n && text[i] == ' ') ++i;
    out = DecimalText{};
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        out.negative = text[i] == '-';
        ++i;
    }
    std::string all;
    int64_t pointPos = -1;
    for (; i < n; ++i) {
        if (IsDigit(text[i])) {
            all.push_back(text[i]);
        } else if (text[i] == separator && pointPos < 0) {
            pointPos = static_cast<int64_t>(all.size());
        } else {
            break;
        }
    }
    if (all.empty()) return false;
    if (pointPos < 0) pointPos = static_cast<int64_t>(all.size());
    int64_t exponent = 0;
    if (i < n && (text[i] == 'E' || text[i] == 'e')) {
        ++i;
        bool negativeExp = false;
        if (i < n && (text[i] == '+' || text[i] == '-')) {
            negativeExp = text[i] == '-';
            ++i;
        }
        if (i == n || !IsDigit(text[i])) return false;
        for (; i < n && IsDigit(text[i]); ++i) {
            // Beyond this the value is out of every range or zero anyway.
            if (exponent < 1000000) exponent = exponent * 10 + (text[i] - '0');
        }
        if (negativeExp) exponent = -exponent;
    }
    while (i < n && text[i] == ' ') ++i;
    if (i != n) return false;
    size_t firstNonZero = all.find_first_not_of('0');
    if (firstNonZero == std::string::npos) {
        out.digits.clear();
        out.exponent = 0;
        return true;
    }
    size_t last = all.find_last_not_of('0');
    out.digits = all.substr(firstNonZero, last - firstNonZero + 1);
    out.exponent = pointPos - static_cast<int64_t>(firstNonZero) + exponent;
    return true;
}

constexpr int kMaxDecimalExponent = 4933;   // above: beyond the extended range
constexpr int kMinDecimalExponent = -4950;  // below: under the smallest denormal

bool DecimalToFloat(const DecimalText& d, long double& value) {
    if (d.digits.empty()) {
        value = d.negative ? -0.0L : 0.0L;
        return true;
    }
    if (d.exponent > kMaxDecimalExponent) return false;
    if (d.exponent < kMinDecimalExponent) {
        value = d.negative ? -0.0L : 0.0L;
        return true;
    }
    std::string canonical = "0." + d.digits + "e" + std::to_string(d.exponent);
    long double v = 0;
    auto result = std::from_chars(canonical.data(), canonical.data() + canonical.size(), v);
    if (result.ec == std::errc::result_out_of_range) {
        if (d.exponent > 0) return false;
        v = 0;
    } else if (result.ec != std::errc() || !std::isfinite(v)) {
        return false;
    }
    value = d.negative ? -v : v;
    return true;
}

// Whole ten-thousandths, halves to even.
bool DecimalToCurrency(const DecimalText& d, TCurrency& value) {
    if (d.digits.empty()) {
        value = 0;
        return true;
    }
    // Digits before the point of value x 10^4.
    const int64_t whole = d.exponent + 4;
    if (whole > 19) return false;
    uint64_t magnitude = 0;
    const int64_t len = static_cast<int64_t>(d.digits.size());
    for (int64_t k = 0; k < whole; ++k) {
        const uint64_t digit = k < len ? static_cast<uint64_t>(d.digits[static_cast<size_t>(k)] - '0') : 0;
        if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
        magnitude = magnitude * 10 + digit;
    }
    // The remainder digits decide the rounding.
    bool roundUp = false;
    if (whole >= 0 && whole < len) {
        const char first = d.digits[static_cast<size_t>(whole)];
        const bool moreAfter = whole + 1 < len;  // digits end in a non-zero digit
        if (first > '5' || (first == '5' && moreAfter)) {
            roundUp = true;
        } else if (first == '5') {
            roundUp = (magnitude & 1) != 0;
        }
    }
    // whole < 0: the value is below 0.5 ten-thousandths (a leading zero follows).
    if (roundUp) ++magnitude;
    const uint64_t limit = d.negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    if (magnitude > limit) return false;
    value = d.negative ? static_cast<TCurrency>(0 - magnitude) : static_cast<TCurrency>(magnitude);
    return true;
}

// Days since 1970-01-01 of a proleptic Gregorian date (any year).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

constexpr int64_t kUnixToDelphiDays = 25569;  // 1899-12-30 is 25569 days before 1970-01-01

}  // namespace

char LocalDecimalSeparator() { return gDecimalSeparator.load(std::memory_order_relaxed); }

void SetLocalDecimalSeparator(char separator) { gDecimalSeparator.store(separator, std::memory_order_relaxed); }

bool TryStrToInt(std::string_view text, int32_t& value) {
    bool negative = false;
    uint64_t magnitude = 0;
    if (!ParseInteger(text, 0x7FFFFFFFull, 0x80000000ull, negative, magnitude)) return false;
    value = static_cast<int32_t>(negative ? 0 - static_cast<uint32_t>(magnitude) : static_cast<uint32_t>(magnitude));
    return true;
}

bool TryStrToInt64(std::string_view text, int64_t& value) {
    bool negative = false;
    uint64_t magnitude = 0;
    if (!ParseInteger(text, (uint64_t{1} << 63) - 1, uint64_t{1} << 63, negative, magnitude)) return false;
    value = static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
    return true;
}

int32_t StrToInt(std::string_view text) {
    int32_t value = 0;
    if (!TryStrToInt(text, value)) RaiseInvalidInteger(text);
    return value;
}

int64_t StrToInt64(std::string_view text) {
    int64_t value = 0;
    if (!TryStrToInt64(text, value)) RaiseInvalidInteger(text);
    return value;
}

bool TryStrToFloat(std::string_view text, char decimalSeparator, long double& value) {
    DecimalText d;
    return ParseDecimal(text, decimalSeparator, d) && DecimalToFloat(d, value);
}

long double StrToFloat(std::string_view text, char decimalSeparator) {
    long double value = 0;
    if (!TryStrToFloat(text, decimalSeparator, value)) RaiseInvalidFloat(text);
    return value;
}

long double StrToFloat(std::string_view text) { return StrToFloat(text, LocalDecimalSeparator()); }

std::string FloatToStr(long double value, char decimalSeparator) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    if (value == 0) return "0";
    const bool negative = value < 0;
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, negative ? -value : value,
                                std::chars_format::scientific, 14);
    // d.dddddddddddddde[+-]x
    std::string_view image(buffer, static_cast<size_t>(result.ptr - buffer));
    const size_t ePos = image.find('e');
    std::string digits;
    for (size_t i = 0; i < ePos; ++i) {
        if (IsDigit(image[i])) digits.push_back(image[i]);
    }
    int exponent = 0;
    std::from_chars(image.data() + ePos + (image[ePos + 1] == '+' ? 2 : 1), image.data() + image.size(), exponent);
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

    std::string text = negative ? "-" : "";
    if (exponent >= -4 && exponent <= 14) {
        if (exponent >= 0) {
            const size_t intDigits = static_cast<size_t>(exponent) + 1;
            if (digits.size() <= intDigits) {
                text += digits + std::string(intDigits - digits.size(), '0');
            } else {
                text += digits.substr(0, intDigits);
                text += decimalSeparator;
                text += digits.substr(intDigits);
            }
        } else {
            text += '0';
            text += decimalSeparator;
            text += std::string(static_cast<size_t>(-exponent - 1), '0');
            text += digits;
        }
    } else {
        text += digits[0];
        if (digits.size() > 1) {
            text += decimalSeparator;
            text += digits.substr(1);
        }
        text += 'E';
        text += std::to_string(exponent);
    }
    return text;
}

std::string FloatToStr(long double value) { return FloatToStr(value, LocalDecimalSeparator()); }

bool TryStrToCurr(std::string_view text, char decimalSeparator, TCurrency& value) {
    DecimalText d;
    return ParseDecimal(text, decimalSeparator, d) && DecimalToCurrency(d, value);
}

TCurrency StrToCurr(std::string_view text, char decimalSeparator) {
    TCurrency value = 0;
    if (!TryStrToCurr(text, decimalSeparator, value)) RaiseInvalidFloat(text);
    return value;
}

TCurrency StrToCurr(std::string_view text) { return StrToCurr(text, LocalDecimalSeparator()); }

std::string CurrToStr(TCurrency value, char decimalSeparator) {
    const bool negative = value < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    std::string text = negative ? "-" : "";
    text += std::to_string(magnitude / 10000);
    uint64_t fraction = magnitude % 10000;
    if (fraction != 0) {
        std::string digits = std::to_string(fraction);
        digits.insert(0, 4 - digits.size(), '0');
        while (digits.back() == '0') digits.pop_back();
        text += decimalSeparator;
        text += digits;
    }
    return text;
}

std::string CurrToStr(TCurrency value) { return CurrToStr(value, LocalDecimalSeparator()); }

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& date) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) {
        return false;
    }
    date = static_cast<TDateTime>(DaysFromCivil(year, month, day) + kUnixToDelphiDays);
    return true;
}

TDateTime EncodeDate(int year, int month, int day) {
    TDateTime date = 0;
    if (!TryEncodeDate(year, month, day, date)) throw EConvertError("Invalid argument to date encode");
    return date;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& time) {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || msec < 0 ||
        msec > 999) {
        return false;
    }
    const int64_t ms = ((static_cast<int64_t>(hour) * 60 + minute) * 60 + second) * 1000 + msec;
    time = static_cast<TDateTime>(ms) / static_cast<TDateTime>(MSecsPerDay);
    return true;
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
    TDateTime time = 0;
    if (!TryEncodeTime(hour, minute, second, msec, time)) throw EConvertError("Invalid argument to time encode");
    return time;
}

int64_t DateToDays(int64_t year, int month, int day) {
    return DaysFromCivil(year, month, day) + kUnixToDelphiDays;
}

TDateTime ComposeDateTime(TDateTime date, TDateTime time) {
    // Before 1899-12-30 the fraction counts backwards from the (negative) day, so
    // the time of day must be subtracted to keep the day and the time apart.
    return date < 0 ? date - time : date + time;
}

bool SplitDateTime(TDateTime value, int32_t& days, int32_t& msecOfDay) {
    if (!std::isfinite(value) || value < MinDateDays - 1.0 || value > MaxDateDays + 1.0) return false;
    const long double scaled = static_cast<long double>(value) * static_cast<long double>(MSecsPerDay);
    const int64_t ms = static_cast<int64_t>(std::nearbyint(scaled));  // halves to even
    const int64_t wholeDays = ms / MSecsPerDay;
    if (wholeDays < MinDateDays || wholeDays > MaxDateDays) return false;
    days = static_cast<int32_t>(wholeDays);
    msecOfDay = static_cast<int32_t>((ms < 0 ? -ms : ms) % MSecsPerDay);
    return true;
}

void DaysToDate(int32_t days, int& year, int& month, int& day) {
    const int64_t z = static_cast<int64_t>(days) - kUnixToDelphiDays + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    month = static_cast<int>(m);
    day = static_cast<int>(d);
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
    int32_t days = 0;
    int32_t msec = 0;
    if (!SplitDateTime(value, days, msec)) throw EConvertError("Invalid date and time value");
    DaysToDate(days, year, month, day);
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec) {
    int32_t days = 0;
    int32_t ms = 0;
    if (!SplitDateTime(value, days, ms)) throw EConvertError("Invalid date and time value");
    hour = ms / 3600000;
    minute = ms / 60000 % 60;
    second = ms / 1000 % 60;
    msec = ms % 1000;
}

}  // namespace kura
