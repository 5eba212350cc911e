#include "app/DateText.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

namespace app {

namespace {

// Days from 0001-01-01 to 1899-12-30, the runtime's date delta.
constexpr int DateDelta = 693594;

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

int ToInt(const std::string& s) {
    int v = 0;
    std::from_chars(s.data(), s.data() + s.size(), v);
    return v;
}

[[noreturn]] void NotADate(const std::string& s) { throw EConvertError("'" + s + "' is not a valid date"); }

// Two-digit years move into the window of 50 years before today's year.
int ExpandYear(int year, int digits, int currentYear) {
    if (digits > 2) return year;
    const int base = currentYear - 50;
    year += base / 100 * 100;
    if (year < base) year += 100;
    return year;
}

// The runtime's text-to-date conversion with the order year, month, day and "/".
double StrToDate(const std::string& text, int currentYear) {
    std::string s = text;
    // A time part after a blank is read and dropped.
    const auto blank = s.find(' ');
    if (blank != std::string::npos) {
        const std::string time = s.substr(blank + 1);
        s = s.substr(0, blank);
        for (char c : time)
            if (!(c == ':' || (c >= '0' && c <= '9') || c == ' ')) NotADate(text);
    }
    std::vector<std::string> parts;
    std::string part;
    for (char c : s) {
        if (c == '/') {
            parts.push_back(part);
            part.clear();
        } else if (c >= '0' && c <= '9') {
            part += c;
        } else {
            NotADate(text);
        }
    }
    parts.push_back(part);
    for (const auto& p : parts)
        if (p.empty() || p.size() > 4) NotADate(text);
    int y, m, d;
    if (parts.size() == 3) {
        y = ExpandYear(ToInt(parts[0]), static_cast<int>(parts[0].size()), currentYear);
        m = ToInt(parts[1]);
        d = ToInt(parts[2]);
    } else if (parts.size() == 2) {
        y = currentYear;
        m = ToInt(parts[0]);
        d = ToInt(parts[1]);
    } else {
        NotADate(text);
    }
    double value;
    if (!TryEncodeDate(y, m, d, value)) NotADate(text);
    return value;
}

struct Era {
    char letter;
    int added;
};
// Meiji, Taisho, Showa, Heisei, Reiwa: era year 1 is added + 1.
constexpr Era Eras[] = {{'M', 1867}, {'T', 1911}, {'S', 1925}, {'H', 1988}, {'R', 2018}};

}  // namespace

bool IsNumber(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool TryEncodeDate(int year, int month, int day, double& out) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return false;
    int days = day;
    for (int m = 1; m < month; ++m) days += DaysInMonth(year, m);
    const int y = year - 1;
    days += y * 365 + y / 4 - y / 100 + y / 400;
    out = static_cast<double>(days - DateDelta);
    return true;
}

double EncodeDate(int year, int month, int day) {
    double v;
    if (!TryEncodeDate(year, month, day, v)) throw EConvertError("Invalid argument to date encode");
    return v;
}

void DecodeDate(double value, int& year, int& month, int& day) {
    // Whole days since 0001-01-01, counted from 0.
    long long d = static_cast<long long>(std::floor(value)) + DateDelta - 1;
    if (d < 0) d = 0;
    int y = 1;
    // 400-year cycles of 146097 days, then centuries, 4-year cycles and years.
    y += static_cast<int>(d / 146097) * 400;
    d %= 146097;
    long long c = d / 36524;
    if (c == 4) c = 3;
    y += static_cast<int>(c) * 100;
    d -= c * 36524;
    y += static_cast<int>(d / 1461) * 4;
    d %= 1461;
    long long yy = d / 365;
    if (yy == 4) yy = 3;
    y += static_cast<int>(yy);
    d -= yy * 365;
    int m = 1;
    while (d >= DaysInMonth(y, m)) {
        d -= DaysInMonth(y, m);
        ++m;
    }
    year = y;
    month = m;
    day = static_cast<int>(d) + 1;
}

std::string FormatDate(double value) {
    int y, m, d;
    DecodeDate(value, y, m, d);
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04d/%02d/%02d", y, m, d);
    return buffer;
}

int CurrentYear() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_year + 1900;
}

std::string NormalizeDateText(const std::string& s) { return NormalizeDateText(s, CurrentYear()); }

std::string NormalizeDateText(const std::string& s, int currentYear) {
    if (s.empty()) return {};
    if (s.size() <= 3) throw DateError(s + "は日付ではありません");
    std::string w = s;
    if (w.size() == 4 && IsNumber(w)) {
        w = std::to_string(currentYear) + w;
        w = w.substr(0, 4) + "/" + w.substr(4, 2) + "/" + w.substr(6, 2);
    }
    if (w.size() == 6 && IsNumber(w)) w = w.substr(0, 2) + "/" + w.substr(2, 2) + "/" + w.substr(4, 2);
    if (w.size() == 7 && IsNumber(w.substr(1))) {
        char letter = w[0];
        if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 32);
        for (const Era& era : Eras)
            if (era.letter == letter) {
                w = std::to_string(ToInt(w.substr(1, 2)) + era.added) + "/" + w.substr(3, 2) + "/" + w.substr(5, 2);
                break;
            }
    }
    if (w.size() == 8 && IsNumber(w)) w = w.substr(0, 4) + "/" + w.substr(4, 2) + "/" + w.substr(6, 2);
    return FormatDate(StrToDate(w, currentYear));
}

int YearsBetween(double earlier, double later) {
    int y1, m1, d1, y2, m2, d2;
    DecodeDate(earlier, y1, m1, d1);
    DecodeDate(later, y2, m2, d2);
    const int a = y1 * 10000 + m1 * 100 + d1;
    const int b = y2 * 10000 + m2 * 100 + d2;
    return (b - a) / 10000;
}

}  // namespace app
