#include "report/FormatText.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <vector>

namespace report {

double StrToFloat(const std::string& text) {
    size_t start = text.find_first_not_of(' ');
    size_t end = text.find_last_not_of(' ');
    const std::string t = start == std::string::npos ? std::string() : text.substr(start, end - start + 1);
    bool digits = false;
    size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) digits = true;
    if (i < t.size() && t[i] == '.')
        for (++i; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) digits = true;
    if (digits && i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        size_t j = i + 1;
        if (j < t.size() && (t[j] == '+' || t[j] == '-')) ++j;
        bool exp = false;
        for (; j < t.size() && t[j] >= '0' && t[j] <= '9'; ++j) exp = true;
        if (exp) i = j;
    }
    if (!digits || i != t.size()) throw EConvertError("'" + text + "' is not a valid floating point value");
    return std::strtod(t.c_str(), nullptr);
}

namespace {

std::vector<std::string> Sections(const std::string& format) {
    std::vector<std::string> sections(1);
    char quote = 0;
    for (char c : format) {
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ';') {
            sections.emplace_back();
            continue;
        }
        sections.back() += c;
    }
    return sections;
}

// The digits of |value| rounded half away from zero to decimals places.
std::string Digits(double value, int decimals) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals + 3, std::fabs(value));
    std::string s = buffer;
    const size_t point = s.find('.');
    std::string whole = s.substr(0, point);
    std::string frac = s.substr(point + 1);
    std::string all = whole + frac.substr(0, static_cast<size_t>(decimals));
    if (frac[static_cast<size_t>(decimals)] >= '5') {
        int i = static_cast<int>(all.size()) - 1;
        for (; i >= 0; --i) {
            if (all[static_cast<size_t>(i)] == '9') {
                all[static_cast<size_t>(i)] = '0';
            } else {
                ++all[static_cast<size_t>(i)];
                break;
            }
        }
        if (i < 0) all.insert(all.begin(), '1');
    }
    return all;  // integer digits followed by exactly decimals fraction digits
}

std::string FormatSection(const std::string& section, double value) {
    int fracRequired = 0, fracOptional = 0;
    bool seenPoint = false, thousands = false, anyDigit = false;
    char quote = 0;
    for (char c : section) {
        if (quote) {
            if (c == quote) quote = 0;
            continue;
        }
        if (c == '"' || c == '\'') quote = c;
        else if (c == '.') seenPoint = true;
        else if (c == ',' && !seenPoint) thousands = true;
        else if (c == '0' || c == '#') {
            anyDigit = true;
            if (seenPoint && c == '0') ++fracRequired;
            if (seenPoint && c == '#') ++fracOptional;
        }
    }
    // Required integer digits: every placeholder from the first "0" to the point.
    int intRequired = 0;
    {
        bool counting = false;
        quote = 0;
        for (char c : section) {
            if (quote) {
                if (c == quote) quote = 0;
                continue;
            }
            if (c == '"' || c == '\'') quote = c;
            else if (c == '.') break;
            else if (c == '0') counting = true;
            if (counting && (c == '0' || c == '#')) ++intRequired;
        }
    }
    // At most 18 digits after the point, as the runtime library allows.
    fracRequired = std::min(fracRequired, 18);
    fracOptional = std::min(fracOptional, 18 - fracRequired);
    const int decimals = fracRequired + fracOptional;
    std::string digits = Digits(value, decimals);
    std::string intPart = digits.substr(0, digits.size() - static_cast<size_t>(decimals));
    std::string fracPart = digits.substr(digits.size() - static_cast<size_t>(decimals));
    while (intPart.size() > 1 && intPart[0] == '0') intPart.erase(0, 1);
    if (intPart == "0" && intRequired == 0) intPart.clear();
    while (static_cast<int>(intPart.size()) < intRequired) intPart.insert(intPart.begin(), '0');
    while (static_cast<int>(fracPart.size()) > fracRequired && !fracPart.empty() && fracPart.back() == '0')
        fracPart.pop_back();
    if (thousands)
        for (int i = static_cast<int>(intPart.size()) - 3; i > 0; i -= 3) intPart.insert(static_cast<size_t>(i), ",");
    if (!anyDigit) intPart.clear();

    // Literals before the first digit placeholder go in front, the rest after.
    std::string before, after;
    bool inDigits = false, done = false;
    quote = 0;
    for (char c : section) {
        std::string* out = done || inDigits ? &after : &before;
        if (quote) {
            if (c == quote) quote = 0;
            else *out += c;
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '0' || c == '#' || c == ',' || c == '.') {
            inDigits = true;
        } else {
            if (inDigits) done = true;
            (done ? after : before) += c;
        }
    }
    std::string number = intPart;
    if (!fracPart.empty()) number += "." + fracPart;
    return before + number + after;
}

}  // namespace

std::string FormatFloat(const std::string& format, double value) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    if (format.empty()) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%.15g", value);
        return buffer;
    }
    const std::vector<std::string> sections = Sections(format);
    if (value == 0 && sections.size() >= 3 && !sections[2].empty()) return FormatSection(sections[2], 0);
    if (value < 0 && sections.size() >= 2 && !sections[1].empty()) return FormatSection(sections[1], value);
    std::string text = FormatSection(sections[0], value);
    if (value < 0 && text.find_first_of("123456789") != std::string::npos) text = "-" + text;
    return text;
}

std::string FormatMaskText(const std::string& mask, const std::string& value) {
    std::string body = mask;
    bool saveLiterals = true;
    const size_t semi = mask.find(';');
    if (semi != std::string::npos) {
        body = mask.substr(0, semi);
        if (semi + 1 < mask.size()) saveLiterals = mask[semi + 1] != '0';
    }
    std::string out;
    size_t v = 0;
    int caseMode = 0;
    for (size_t i = 0; i < body.size(); ++i) {
        const char m = body[i];
        if (m == '!') continue;
        if (m == '<' && i + 1 < body.size() && body[i + 1] == '>') {
            caseMode = 0;
            ++i;
            continue;
        }
        if (m == '>') { caseMode = 1; continue; }
        if (m == '<') { caseMode = -1; continue; }
        bool literal = true;
        char lit = m;
        if (m == '\\' && i + 1 < body.size()) lit = body[++i];
        else if (std::string("09#LlAaCc").find(m) != std::string::npos) literal = false;
        if (literal) {
            out += lit;
            if (saveLiterals && v < value.size() && value[v] == lit) ++v;
            continue;
        }
        char c = v < value.size() ? value[v++] : ' ';
        if (caseMode > 0 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if (caseMode < 0 && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        out += c;
    }
    return out;
}

}  // namespace report
