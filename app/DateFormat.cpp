#include "app/DateFormat.h"

#include <cctype>
#include <cmath>
#include <ctime>

#include "app/DateText.h"

namespace app {
namespace {

struct EraStart {
    int year, month, day;
    const char* name;
};
// Newest first; a date belongs to the first era that began on or before it.
constexpr EraStart kEras[] = {{2019, 5, 1, "令和"},
                              {1989, 1, 8, "平成"},
                              {1926, 12, 25, "昭和"},
                              {1912, 7, 30, "大正"},
                              {1868, 1, 1, "明治"}};

const EraStart* EraOf(int y, int m, int d) {
    for (const EraStart& e : kEras)
        if (y > e.year || (y == e.year && (m > e.month || (m == e.month && d >= e.day)))) return &e;
    return nullptr;
}

std::string Padded(int value, bool twoDigits) {
    std::string s = std::to_string(value);
    return twoDigits && s.size() < 2 ? "0" + s : s;
}

// The length of the run of letter c at position i (case-insensitive).
size_t RunOf(const std::string& f, size_t i, char c) {
    size_t n = 0;
    while (i + n < f.size() && std::tolower(static_cast<unsigned char>(f[i + n])) == c) ++n;
    return n;
}

}  // namespace

std::string FormatDateTime(const std::string& format, double value) {
    int y = 0, mo = 0, d = 0;
    DecodeDate(std::floor(value), y, mo, d);
    const double frac = value - std::floor(value);
    const int minutes = static_cast<int>(std::floor(frac * 1440.0 + 1e-7));
    const int hour = minutes / 60, minute = minutes % 60;
    const EraStart* era = EraOf(y, mo, d);

    std::string out;
    bool afterHour = false;
    for (size_t i = 0; i < format.size();) {
        const char raw = format[i];
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(raw)));
        if (raw == '\'' || raw == '"') {
            const size_t end = format.find(raw, i + 1);
            out += format.substr(i + 1, (end == std::string::npos ? format.size() : end) - i - 1);
            i = end == std::string::npos ? format.size() : end + 1;
            continue;
        }
        const size_t n = std::isalpha(static_cast<unsigned char>(raw)) ? RunOf(format, i, c) : 1;
        switch (c) {
        case 'y':
            out += n <= 2 ? Padded(y % 100, true) : std::to_string(y);
            break;
        case 'm':
            out += Padded(afterHour ? minute : mo, n >= 2);
            afterHour = false;
            break;
        case 'd':
            out += Padded(d, n >= 2);
            break;
        case 'h':
            out += Padded(hour, n >= 2);
            afterHour = true;
            break;
        case 'n':
            out += Padded(minute, n >= 2);
            afterHour = false;
            break;
        case 'g':
            if (era) out += n >= 2 ? std::string(era->name) : std::string(era->name, 3);  // one UTF-8 kanji
            break;
        case 'e':
            if (era) out += Padded(y - era->year + 1, n >= 2);
            break;
        default:
            out.append(format, i, n);
        }
        i += n;
    }
    return out;
}

double Now() {
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
           (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) / 86400.0;
}

}  // namespace app
