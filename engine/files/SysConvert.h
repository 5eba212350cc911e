#pragma once
// The run-time library's own conversions that the engine's text formats are built
// on: integers, floats and currency to and from text with the local decimal
// separator, and day-count dates and times.
//
// Dates and times are day counts since 1899-12-30 with the time as the fraction of
// a day. For a moment before 1899-12-30 the whole part is the day and the absolute
// value of the fraction the time of day (-1.25 is 1899-12-29 06:00).
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kura {

using TDateTime = double;
// A fixed-point value counted in ten-thousandths.
using TCurrency = int64_t;

constexpr int64_t MSecsPerDay = 86400000;
// 0001-01-01 and 9999-12-31 as day counts.
constexpr int32_t MinDateDays = -693593;
constexpr int32_t MaxDateDays = 2958465;

// A text that does not convert; the message names the text.
class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(const std::string& message) : std::runtime_error(message) {}
};

// The user's decimal separator used by the local conversions ("." unless set).
char LocalDecimalSeparator();
void SetLocalDecimalSeparator(char separator);

// Decimal integers: leading blanks, an optional sign, digits, nothing after them.
// Raise EConvertError with "'<text>' is not a valid integer value".
int32_t StrToInt(std::string_view text);
int64_t StrToInt64(std::string_view text);
bool TryStrToInt(std::string_view text, int32_t& value);
bool TryStrToInt64(std::string_view text, int64_t& value);

// Floats: blanks around, sign, digits with one decimal separator, an exponent
// "E"/"e" with optional sign. A value beyond the extended range raises; one below
// its smallest magnitude reads as 0. Raise EConvertError with
// "'<text>' is not a valid floating point value".
long double StrToFloat(std::string_view text, char decimalSeparator);
long double StrToFloat(std::string_view text);  // local separator
bool TryStrToFloat(std::string_view text, char decimalSeparator, long double& value);

// The general float text: the shortest form of up to 15 significant digits, fixed
// point from 0.0001 up to 15 integer digits, else "d.dddE[-]x"; "NAN", "INF", "-INF".
std::string FloatToStr(long double value, char decimalSeparator);
std::string FloatToStr(long double value);  // local separator

// Currency texts have the float syntax; the value is rounded exactly to a whole
// number of ten-thousandths, halves to even. Out of range or malformed texts raise
// EConvertError with "'<text>' is not a valid floating point value".
TCurrency StrToCurr(std::string_view text, char decimalSeparator);
TCurrency StrToCurr(std::string_view text);  // local separator
bool TryStrToCurr(std::string_view text, char decimalSeparator, TCurrency& value);
// Plain decimal text without trailing zeros ("1.5", "-20", "0").
std::string CurrToStr(TCurrency value, char decimalSeparator);
std::string CurrToStr(TCurrency value);  // local separator

// Dates.
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);  // 0 for a month outside 1..12
bool TryEncodeDate(int year, int month, int day, TDateTime& date);
// Raises EConvertError when a value is out of range.
TDateTime EncodeDate(int year, int month, int day);
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& time);
TDateTime EncodeTime(int hour, int minute, int second, int msec);
// Date plus time such that the result decodes back to both, also before 1899-12-30.
TDateTime ComposeDateTime(TDateTime date, TDateTime time);

// The moment split into its day count and its milliseconds of the day, rounded to
// the nearest millisecond. False for NaN, infinities and moments outside the years
// 1..9999.
bool SplitDateTime(TDateTime value, int32_t& days, int32_t& msecOfDay);
// Raise EConvertError for a value that SplitDateTime refuses.
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec);
// The day count of a proleptic Gregorian date of any year, unchecked.
int64_t DateToDays(int64_t year, int month, int day);
// Calendar date of a day count within MinDateDays..MaxDateDays.
void DaysToDate(int32_t days, int& year, int& month, int& day);

}  // namespace kura
