// Typed date texts normalised to yyyy/mm/dd, the digit test and ages in whole years.
#include <gtest/gtest.h>

#include <random>

#include "app/DateText.h"

namespace app {
namespace {

TEST(NormalizeDateText, ShortFormsErasAndPlainDatesGiveTheCanonicalText) {
    struct Case {
        const char* typed;
        const char* expected;
    };
    const Case cases[] = {
        {"", ""},
        {"0401", "2006/04/01"},        // this year's
        {"060401", "2006/04/01"},      // two-digit year, century rule in 2006
        {"990401", "1999/04/01"},
        {"560401", "1956/04/01"},      // the window begins 50 years back
        {"550401", "2055/04/01"},
        {"H180401", "2006/04/01"},
        {"h180401", "2006/04/01"},
        {"S640107", "1989/01/07"},
        {"M450730", "1912/07/30"},
        {"m010101", "1868/01/01"},     // Meiji year 1
        {"T010730", "1912/07/30"},     // Taisho year 1
        {"T151225", "1926/12/25"},
        {"S011225", "1926/12/25"},     // Showa year 1
        {"H010108", "1989/01/08"},     // Heisei year 1
        {"H310430", "2019/04/30"},
        {"R010501", "2019/05/01"},     // Reiwa year 1
        {"20060401", "2006/04/01"},
        {"2006/4/1", "2006/04/01"},
        {"2006/04/01 12:30", "2006/04/01"},  // a time part is dropped
        {"04/01", "2006/04/01"},  // month and day of this year
        {"20000229", "2000/02/29"},    // a leap day of a century divisible by 400
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NormalizeDateText(c.typed, 2006), c.expected) << c.typed;
    }
    EXPECT_EQ(NormalizeDateText("R060229", 2026), "2024/02/29");  // Reiwa 6 is a leap year
}

TEST(NormalizeDateText, TooShortTextsRaiseDateErrorWithTheTypedText) {
    for (const char* typed : {"1", "12", "123", "H18"}) {
        try {
            NormalizeDateText(typed, 2006);
            ADD_FAILURE() << typed;
        } catch (const DateError& e) {
            EXPECT_EQ(std::string(e.what()), std::string(typed) + "は日付ではありません");
        }
    }
}

TEST(NormalizeDateText, TextsThatAreNoDateRaiseTheConversionError) {
    for (const char* typed : {"12345", "0230", "H990231", "X180401", "20060431", "19000229", "2006/13/01",
                              "2006/00/10", "abcd", "2006-04-01", "060431", "2006/4/1/2", "//01"}) {
        EXPECT_THROW(NormalizeDateText(typed, 2006), EConvertError) << typed;
    }
    try {
        NormalizeDateText("12345", 2006);
    } catch (const EConvertError& e) {
        EXPECT_EQ(std::string(e.what()), "'12345' is not a valid date");
    }
}

TEST(NormalizeDateText, EveryDayOfFourHundredYearsSurvivesTheEightDigitForm) {
    // The calendar arithmetic against itself: encode, format, normalise, decode.
    for (double day = EncodeDate(1868, 1, 1); day < EncodeDate(2268, 1, 1); day += 1) {
        const std::string text = FormatDate(day);
        const std::string digits = text.substr(0, 4) + text.substr(5, 2) + text.substr(8, 2);
        ASSERT_EQ(NormalizeDateText(digits, 2026), text);
        int y, m, d;
        DecodeDate(day, y, m, d);
        ASSERT_EQ(EncodeDate(y, m, d), day);
    }
}

TEST(DateCalendar, KnownDayNumbers) {
    EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
    EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
    EXPECT_EQ(FormatDate(36526.75), "2000/01/01");  // the time of day is dropped
    EXPECT_EQ(FormatDate(-1), "1899/12/29");
}

TEST(IsNumber, OnlyNonEmptyAsciiDigits) {
    EXPECT_TRUE(IsNumber("0"));
    EXPECT_TRUE(IsNumber("0123456789"));
    EXPECT_FALSE(IsNumber(""));
    EXPECT_FALSE(IsNumber("12a"));
    EXPECT_FALSE(IsNumber(" 1"));
    EXPECT_FALSE(IsNumber("-1"));
    EXPECT_FALSE(IsNumber("１２"));  // full-width digits are not digits here
}

TEST(YearsBetween, BirthdayCountsOnItsDayAndLeapDaysWaitForTheFirstOfMarch) {
    const double born = EncodeDate(2000, 3, 15);
    EXPECT_EQ(YearsBetween(born, EncodeDate(2010, 3, 14)), 9);
    EXPECT_EQ(YearsBetween(born, EncodeDate(2010, 3, 15)), 10);
    const double leap = EncodeDate(2004, 2, 29);
    EXPECT_EQ(YearsBetween(leap, EncodeDate(2005, 2, 28)), 0);
    EXPECT_EQ(YearsBetween(leap, EncodeDate(2005, 3, 1)), 1);
    EXPECT_EQ(YearsBetween(leap, EncodeDate(2008, 2, 28)), 3);
    EXPECT_EQ(YearsBetween(leap, EncodeDate(2008, 2, 29)), 4);
    EXPECT_EQ(YearsBetween(born, EncodeDate(2000, 3, 15) + 0.99), 0);
    // Backwards: 0 within a year, negative beyond.
    EXPECT_EQ(YearsBetween(EncodeDate(2010, 3, 15), EncodeDate(2009, 6, 1)), 0);
    EXPECT_EQ(YearsBetween(EncodeDate(2010, 3, 15), EncodeDate(2008, 3, 14)), -2);
}

TEST(YearsBetween, AgreesWithCountingBirthdaysOnRandomDates) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> dayOf(0, 60000);
    for (int i = 0; i < 5000; ++i) {
        double a = dayOf(rng), b = dayOf(rng);
        if (a > b) std::swap(a, b);
        int y1, m1, d1, y2, m2, d2;
        DecodeDate(a, y1, m1, d1);
        DecodeDate(b, y2, m2, d2);
        int age = y2 - y1;
        if (m2 < m1 || (m2 == m1 && d2 < d1)) --age;
        ASSERT_EQ(YearsBetween(a, b), age) << FormatDate(a) << " " << FormatDate(b);
    }
}

}  // namespace
}  // namespace app
