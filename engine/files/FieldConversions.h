#pragma once
// Conversions of one field value between the stored forms of the field types and
// between a stored form and text, in place in one value buffer.
//
// A value buffer holds one stored value without its presence byte and is at least
// FieldValueBufferSize bytes long. Every conversion zeroes those bytes before it
// writes its result, so a failed one leaves a zero value (or empty text). Text in
// a value buffer is zero-terminated. Stored forms: date i32 day number with
// 0001-01-01 as day 1; time i32 milliseconds since midnight; timestamp double
// milliseconds since 0001-01-01 00:00; boolean u16 0/1; BCD 34 bytes (Bcd.h).
//
// Nothing here raises to its caller except the three format parsers, which raise
// EConvertError (SysConvert.h) for a text they cannot read.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/files/Bcd.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/SysConvert.h"

namespace kura {

constexpr std::size_t FieldValueBufferSize = 251;

// Day number of 1899-12-30, the zero of TDateTime, in the stored date form.
constexpr int32_t DateDelta = 693594;

// Engine-neutral text (ANSIStrToDate / ANSIStrToTime / ANSIStrToDateTime) in the
// buffer to a stored date (2), time (10) or timestamp (11). False and a zero value
// when the text does not parse or the type is none of these.
bool ANSITextToDateTimeValue(uint8_t* buffer, TEngineFieldType type);

// The same with the caller's date and time formats (StrToDateFmt, StrToTimeFmt,
// StrToDateTimeFmt).
bool TextToDateTimeValue(uint8_t* buffer, TEngineFieldType type, std::string_view dateFormat,
                         std::string_view timeFormat);

// Stored date, time or timestamp to text formatted with the date format, the time
// format, or both joined by a blank. False and empty text for another type or a
// stored value that is not a moment of the years 1..9999.
bool DateTimeValueToText(uint8_t* buffer, TEngineFieldType type, std::string_view dateFormat,
                         std::string_view timeFormat);

// Text with the given decimal character to a float (7) or a BCD (8) with
// `decimals` places. False and a zero value when it does not parse or fit.
bool TextToNumericValue(uint8_t* buffer, TEngineFieldType type, uint8_t decimals, char decimalChar);

// A stored float or BCD to text with the given decimal character. False and empty
// text for another type or a damaged BCD.
bool NumericValueToText(uint8_t* buffer, TEngineFieldType type, char decimalChar);

// Every decimalChar becomes the local decimal separator, then the local
// conversion runs; raise EConvertError for bad text. The currency is rounded to
// whole ten-thousandths.
long double StrToFloatDot(std::string_view text, char decimalChar);
TCurrency StrToCurrDot(std::string_view text, char decimalChar);

// The local conversion to text, then every local decimal separator becomes
// decimalChar.
void FloatToStrEngine(char decimalChar, std::string& text, long double value);
void CurrToStrEngine(char decimalChar, std::string& text, TCurrency value);

// The run-time library's two-digit-year rule: a year of fewer than 3 written
// characters is moved into the century window that ends `window` years before
// `currentYear` (window 0: the current century).
int ExpandTwoDigitYear(int year, int currentYear, int window);

// Parsers driven by a display format: the letters D, M and Y of a date format
// (and H, M, S, Z, AM/PM of a time format) name the elements in the text and the
// first other character of the format is their separator. Two-digit years use the
// current year and a century window of 50 unless given. Raise EConvertError with
// "'<text>' is not a valid date", "... time" or "... date and time".
TDateTime StrToDateFmt(std::string_view text, std::string_view format);
TDateTime StrToDateFmt(std::string_view text, std::string_view format, int currentYear, int centuryWindow);
TDateTime StrToTimeFmt(std::string_view text, std::string_view format);
TDateTime StrToDateTimeFmt(std::string_view text, std::string_view dateFormat, std::string_view timeFormat);

// Converts the stored value in the buffer from the source type, size and decimals
// to the target's. Integer narrowing that does not fit, NaN or out-of-range floats
// to integers or BCD, damaged BCD or date values, and type pairs without a defined
// conversion all give false and a zero value. Equal types keep the value (strings
// and bytes cut to the smaller size); source types 3, 13, 14, 16, 17 and above 18
// leave the buffer untouched (true).
bool ConvertFieldData(TEngineFieldType sourceType, uint16_t sourceSize, uint8_t sourceDecimals,
                      TEngineFieldType targetType, uint16_t targetSize, uint8_t targetDecimals, uint8_t* buffer);

}  // namespace kura
