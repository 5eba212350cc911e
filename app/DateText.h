#pragma once
// Free routines of the data-entry windows: a digit test, the normaliser of typed
// dates and the age in whole years.
//
// NormalizeDateText turns what a user types into a date field into "yyyy/mm/dd":
//   ""                 -> ""
//   1 to 3 characters  -> DateError "<text>は日付ではありません"
//   mmdd               -> this year's date
//   yymmdd             -> the two-digit year expanded by the century rule below
//   Eyymmdd            -> era letter (M, T, S, H, R; either case) + era year
//   yyyymmdd           -> that date
//   anything else      -> read as a date in the order year, month, day with "/"
//                         ("2006/4/1"; "04/01" is this year's; a time after a blank is
//                         dropped), or EConvertError "'<text>' is not a valid date"
// The century rule of two-digit years (the runtime's window of 50): the year becomes the
// first year ending in those digits that is not before today's year - 50 (in 2026: 76
// -> 1976, 75 -> 2075, 06 -> 2006).
//
// Dates are TDateTime values: days since 1899-12-30 as a double.
#include <stdexcept>
#include <string>

namespace app {

class DateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Texts are UTF-8 (the windows convert at the widget).
bool IsNumber(const std::string& s);
std::string NormalizeDateText(const std::string& s);
// As above with "today" given, for tests and for callers with a reference year.
std::string NormalizeDateText(const std::string& s, int currentYear);
int YearsBetween(double earlier, double later);

// Calendar helpers over TDateTime.
double EncodeDate(int year, int month, int day);  // EConvertError for an invalid date
bool TryEncodeDate(int year, int month, int day, double& out);
void DecodeDate(double value, int& year, int& month, int& day);
// "yyyy/mm/dd"
std::string FormatDate(double value);
int CurrentYear();

}  // namespace app
