#include "engine/files/NeutralText.h"

namespace kura {

namespace {

std::string Padded(int value, size_t width) {
    std::string text = std::to_string(value);
    if (text.size() < width) text.insert(0, width - text.size(), '0');
    return text;
}

[[noreturn]] void RaiseInvalid(std::string_view text, const char* what) {
    throw EConvertError("'" + std::string(text) + "' is not a valid " + what);
}

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameAsciiText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
    }
    return true;
}

// The platform's Trim: control characters and blanks off both ends.
std::string_view Trimmed(std::string_view s) {
    size_t first = 0;
    size_t last = s.size();
    while (first < last && static_cast<unsigned char>(s[first]) <= ' ') ++first;
    while (last > first && static_cast<unsigned char>(s[last - 1]) <= ' ') --last;
    return s.substr(first, last - first);
}

bool TryDate(std::string_view text, TDateTime& date) {
    const size_t first = text.find('-');
    if (first == std::string_view::npos) return false;
    const size_t second = text.find('-', first + 1);
    if (second == std::string_view::npos) return false;
    int32_t year = 0;
    int32_t month = 0;
    int32_t day = 0;
    return TryStrToInt(text.substr(0, first), year) &&
           TryStrToInt(text.substr(first + 1, second - first - 1), month) &&
           TryStrToInt(text.substr(second + 1), day) && TryEncodeDate(year, month, day, date);
}

bool TryTime(std::string_view text, TDateTime& time) {
    std::string work(text);
    std::string upper(text);
    for (char& c : upper) c = AsciiUpper(c);
    bool am = false;
    bool pm = false;
    if (size_t pos = upper.find("AM"); pos != std::string::npos) {
        work.erase(pos, 2);
        am = true;
    } else if (size_t pmPos = upper.find("PM"); pmPos != std::string::npos) {
        work.erase(pmPos, 2);
        pm = true;
    }
    std::string_view s = Trimmed(work);

    const size_t colon = s.find(':');
    if (colon == std::string_view::npos) return false;
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
    int32_t msec = 0;
    if (!TryStrToInt(s.substr(0, colon), hour)) return false;
    std::string_view rest = s.substr(colon + 1);
    if (const size_t colon2 = rest.find(':'); colon2 != std::string_view::npos) {
        if (!TryStrToInt(rest.substr(0, colon2), minute)) return false;
        std::string_view seconds = rest.substr(colon2 + 1);
        if (const size_t point = seconds.find('.'); point != std::string_view::npos) {
            if (!TryStrToInt(seconds.substr(0, point), second) || !TryStrToInt(seconds.substr(point + 1), msec)) {
                return false;
            }
        } else if (!TryStrToInt(seconds, second)) {
            return false;
        }
    } else if (!TryStrToInt(rest, minute)) {
        return false;
    }
    if (hour < 0 || hour > 23) return false;
    if (pm && hour != 12) hour += 12;
    if (am && hour == 12) hour = 0;
    return TryEncodeTime(hour, minute, second, msec, time);
}

}  // namespace

std::string ANSIDateToStr(TDateTime date) {
    int year = 0;
    int month = 0;
    int day = 0;
    DecodeDate(date, year, month, day);
    return Padded(year, 4) + "-" + Padded(month, 2) + "-" + Padded(day, 2);
}

std::string ANSITimeToStr(bool hours24, TDateTime time) {
    int hour = 0;
    int minute = 0;
    int second = 0;
    int msec = 0;
    DecodeTime(time, hour, minute, second, msec);
    bool pm = false;
    if (!hours24) {
        pm = hour >= 12;
        if (pm) hour -= 12;
        if (hour == 0) hour = 12;
    }
    // Appended piecewise: g++ 12 at -O2 reports a false overlap for "x" + temporary.
    std::string text = Padded(hour, 2);
    text += ':';
    text += Padded(minute, 2);
    // Milliseconds need the seconds in front of them to read back as milliseconds.
    if (second != 0 || msec != 0) {
        text += ':';
        text += Padded(second, 2);
        if (msec != 0) {
            text += '.';
            text += std::to_string(msec);
        }
    }
    if (!hours24) text += pm ? " PM" : " AM";
    return text;
}

std::string ANSIDateTimeToStr(bool hours24, TDateTime dateTime) {
    return ANSIDateToStr(dateTime) + " " + ANSITimeToStr(hours24, dateTime);
}

TDateTime ANSIStrToDate(std::string_view text) {
    TDateTime date = 0;
    if (!TryDate(text, date)) RaiseInvalid(text, "date");
    return date;
}

TDateTime ANSIStrToTime(std::string_view text) {
    TDateTime time = 0;
    if (!TryTime(text, time)) RaiseInvalid(text, "time");
    return time;
}

TDateTime ANSIStrToDateTime(std::string_view text) {
    TDateTime date = 0;
    TDateTime time = 0;
    bool ok = false;
    if (const size_t blank = text.find(' '); blank != std::string_view::npos) {
        ok = TryDate(text.substr(0, blank), date) && TryTime(text.substr(blank + 1), time);
        if (ok) return ComposeDateTime(date, time);
    } else if (text.find(':') != std::string_view::npos) {
        ok = TryTime(text, time);
        if (ok) return time;
    } else {
        ok = TryDate(text, date);
        if (ok) return date;
    }
    RaiseInvalid(text, "date and time");
}

std::string ANSIBoolToStr(bool value) { return value ? "True" : "False"; }

bool ANSIStrToBool(std::string_view text) {
    if (SameAsciiText(text, "TRUE")) return true;
    if (SameAsciiText(text, "FALSE")) return false;
    RaiseInvalid(text, "boolean");
}

std::string ANSIFloatToStr(long double value) {
    const char local = LocalDecimalSeparator();
    std::string text = FloatToStr(value, local);
    for (char& c : text) {
        if (c == local) c = '.';
    }
    return text;
}

namespace {

std::string WithLocalSeparator(std::string_view text) {
    std::string local(text);
    const char separator = LocalDecimalSeparator();
    for (char& c : local) {
        if (c == '.') c = separator;
    }
    return local;
}

}  // namespace

long double ANSIStrToFloat(std::string_view text) {
    long double value = 0;
    if (!TryStrToFloat(WithLocalSeparator(text), LocalDecimalSeparator(), value)) {
        throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
    }
    return value;
}

TCurrency ANSIStrToCurr(std::string_view text) {
    TCurrency value = 0;
    if (!TryStrToCurr(WithLocalSeparator(text), LocalDecimalSeparator(), value)) {
        throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
    }
    return value;
}

}  // namespace kura
