#pragma once
// Engine-neutral texts of dates, times, booleans and numbers.
//
// Whatever the engine stores as text or reads from constants (field defaults,
// minimums and maximums, filter and SQL constants, import and export) must read
// back the same on every machine, so it never follows the user's regional
// settings: dates are "yyyy-mm-dd", times "hh:mm[:ss[.z]]" with an optional
// " AM"/" PM", "." is the decimal separator and booleans are "True"/"False".
//
// Every parse failure raises EConvertError (SysConvert.h).
#include <string>
#include <string_view>

#include "engine/files/SysConvert.h"

namespace kura {

// "yyyy-mm-dd", the year padded to 4 digits.
std::string ANSIDateToStr(TDateTime date);
// "hh:mm", then ":ss" when there are seconds or milliseconds, then ".<ms>" (plain
// decimal, 5 ms is ".5") when there are milliseconds; in 12-hour form " AM"/" PM".
std::string ANSITimeToStr(bool hours24, TDateTime time);
// The date text, a blank, the time text.
std::string ANSIDateTimeToStr(bool hours24, TDateTime dateTime);

// "'<text>' is not a valid date".
TDateTime ANSIStrToDate(std::string_view text);
// "'<text>' is not a valid time".
TDateTime ANSIStrToTime(std::string_view text);
// A date, a blank and a time; or a time alone (with ":"); or a date alone.
// "'<text>' is not a valid date and time".
TDateTime ANSIStrToDateTime(std::string_view text);

// "True" / "False".
std::string ANSIBoolToStr(bool value);
// "TRUE" or "FALSE" in any letter case; "'<text>' is not a valid boolean".
bool ANSIStrToBool(std::string_view text);

// Floats and currency with "." as the decimal separator whatever the local one is.
std::string ANSIFloatToStr(long double value);
long double ANSIStrToFloat(std::string_view text);
TCurrency ANSIStrToCurr(std::string_view text);

}  // namespace kura
