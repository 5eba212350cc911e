#pragma once
// Date and time formatting for printed sheets, with the Japanese era calendar.
//
// FormatDateTime(format, value) reads the format left to right:
//   yyyy / yy   the Western year in four / two digits
//   m / mm      the month (mm with a leading zero); after h or hh, minutes
//   d / dd      the day
//   h / hh      the hour (0..23)
//   n / nn      the minutes
//   g / gg      the era's first character / full name ("昭" / "昭和")
//   e / ee      the era year (ee with a leading zero)
//   '...' "..." literal text; every other character is copied as it stands.
// Dates before the Meiji era have no era: g and e print nothing.
// value is a TDateTime (days since 1899-12-30). The result is UTF-8.
#include <string>

namespace app {

std::string FormatDateTime(const std::string& format, double value);
// The local date and time now, as a TDateTime.
double Now();

}  // namespace app
