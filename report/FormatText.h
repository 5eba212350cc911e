#pragma once
// The runtime library's number and mask formatting as display masks use them.
//
// FormatFloat: up to three sections "positive;negative;zero"; "0" a digit, "#" a digit
// left out when not significant, the first "." the decimal point, "," anywhere in the
// integer part groups thousands, text in single or double quotes and any other character
// printed as it stands. Rounding is half away from zero on the decimal digits.
// FormatMaskText: an edit mask "mask;save;blank": placeholders 0 9 # L l A a C c take
// the next character of the value (a missing one prints as a space), "\" quotes the
// next mask character, ">" and "<" switch upper and lower case, "<>" ends it, "!" is
// ignored; other characters are literals, which consume an equal value character when
// literals are saved (the default).
// StrToFloat raises EConvertError for anything but a decimal number.
#include <stdexcept>
#include <string>

namespace report {

class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

double StrToFloat(const std::string& text);
std::string FormatFloat(const std::string& format, double value);
std::string FormatMaskText(const std::string& mask, const std::string& value);

}  // namespace report
