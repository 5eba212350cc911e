// Display masks against a model: FormatFloat with grouping and fixed decimals compared
// with integer arithmetic, and arbitrary data texts through both mask kinds.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "report/FormatText.h"

using namespace report;

namespace {

// "#,##0" + optional ".00..." by integer arithmetic, rounding halves away from zero.
std::string Model(long long units, int decimals) {
    const bool negative = units < 0;
    unsigned long long u = negative ? 0ULL - static_cast<unsigned long long>(units) : static_cast<unsigned long long>(units);
    unsigned long long scale = 1;
    for (int i = 0; i < decimals; ++i) scale *= 10;
    std::string whole = std::to_string(u / scale);
    for (int i = static_cast<int>(whole.size()) - 3; i > 0; i -= 3) whole.insert(static_cast<size_t>(i), ",");
    std::string text = whole;
    if (decimals > 0) {
        std::string frac = std::to_string(u % scale);
        text += "." + std::string(static_cast<size_t>(decimals) - frac.size(), '0') + frac;
    }
    return (negative && u != 0 ? "-" : "") + text;
}

TEST(DisplayMasks, GroupedNumbersMatchIntegerArithmetic) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 5000; ++i) {
        const int decimals = static_cast<int>(random() % 4);
        const long long whole = static_cast<long long>(random() % 100000000000LL) - 50000000000LL;
        const int extra = static_cast<int>(random() % 10);
        // value = whole units of 10^-decimals plus one more digit that decides the rounding
        std::string text = std::to_string(std::llabs(whole));
        while (static_cast<int>(text.size()) <= decimals) text.insert(text.begin(), '0');
        text.insert(text.size() - static_cast<size_t>(decimals), ".");
        if (decimals == 0) text.pop_back(), text += ".";
        text += std::to_string(extra);
        if (whole < 0) text.insert(text.begin(), '-');
        const long long rounded = whole + (extra >= 5 ? (whole < 0 ? -1 : 1) : 0);
        const std::string mask = decimals == 0 ? "#,##0" : "#,##0." + std::string(static_cast<size_t>(decimals), '0');
        ASSERT_EQ(FormatFloat(mask, StrToFloat(text)), Model(rounded, decimals)) << text << " " << mask;
    }
}

TEST(DisplayMasks, AnyDataTextEitherFormatsOrRaisesTheConversionError) {
    std::mt19937 random(11);
    const char* masks[] = {"#,##0", "0.000", "#;(#);zero", "\"JPY\" #,##0", "000-0000;0;_", ">LL-99", "!\\(999\\)", ""};
    const std::string alphabet = "0123456789+-.eE aZ,";
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        const size_t length = random() % 40;
        for (size_t k = 0; k < length; ++k) text += alphabet[random() % alphabet.size()];
        if (random() % 50 == 0) text = std::string(400, '9');
        for (const char* mask : masks) {
            try {
                (void)FormatFloat(mask, StrToFloat(text));
            } catch (const EConvertError&) {
            }
            (void)FormatMaskText(mask, text);
        }
    }
    EXPECT_EQ(FormatFloat("#,##0", StrToFloat(std::string(400, '9'))), "INF");
    EXPECT_EQ(FormatFloat("0." + std::string(60, '0'), 1.5), "1." + std::string(1, '5') + std::string(17, '0'));
    EXPECT_THROW(StrToFloat("-"), EConvertError);
    EXPECT_THROW(StrToFloat("1.2.3"), EConvertError);
    EXPECT_EQ(StrToFloat(" 12.5 "), 12.5);
}

}  // namespace
