#include "app/Wareki.h"

#include <cstdio>

#include "app/DateText.h"

namespace app {

namespace {

struct EraStart {
    int year, month, day;
    const char* name;
    const char* letter;
};

constexpr EraStart Eras[] = {{2019, 5, 1, "令和", "令"},
                             {1989, 1, 8, "平成", "平"},
                             {1926, 12, 25, "昭和", "昭"},
                             {1912, 7, 30, "大正", "大"},
                             {1868, 1, 1, "明治", "明"}};

const EraStart* EraOf(int y, int m, int d) {
    const int key = y * 10000 + m * 100 + d;
    for (const EraStart& era : Eras)
        if (key >= era.year * 10000 + era.month * 100 + era.day) return &era;
    return nullptr;
}

std::string Number(int value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*d", digits, value);
    return text;
}

}  // namespace

std::string FormatDateTime(const std::string& format, double value) {
    int y = 0, m = 0, d = 0;
    DecodeDate(value, y, m, d);
    const EraStart* era = EraOf(y, m, d);
    const int eraYear = era ? y - era->year + 1 : y;
    std::string out;
    for (std::size_t i = 0; i < format.size();) {
        const char c = format[i];
        std::size_t run = 1;
        while (i + run < format.size() && (format[i + run] | 0x20) == (c | 0x20)) ++run;
        switch (c | 0x20) {
        case 'g':
            if (era) out += run == 1 ? era->letter : era->name;
            break;
        case 'e': out += Number(eraYear, run >= 2 ? 2 : 1); break;
        case 'y': out += run <= 2 ? Number(y % 100, 2) : Number(y, 4); break;
        case 'm': out += Number(m, run >= 2 ? 2 : 1); break;
        case 'd': out += Number(d, run >= 2 ? 2 : 1); break;
        default: out.append(format, i, run); break;
        }
        i += run;
    }
    return out;
}

}  // namespace app
