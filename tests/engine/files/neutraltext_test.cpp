#include "engine/files/NeutralText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace kura;

namespace {

TDateTime D(int y, int m, int d) { return EncodeDate(y, m, d); }
TDateTime T(int h, int n, int s, int ms) { return EncodeTime(h, n, s, ms); }

std::string ConvertMessage(void (*f)(std::string_view), std::string_view text) {
    try {
        f(text);
    } catch (const EConvertError& e) {
        return e.what();
    }
    return "no error";
}

// Restores the local decimal separator whatever a test sets.
struct SeparatorGuard {
    char saved = LocalDecimalSeparator();
    ~SeparatorGuard() { SetLocalDecimalSeparator(saved); }
};

}  // namespace

TEST(NeutralText, DayCountsOfTheCalendarLimits) {
    EXPECT_EQ(D(1899, 12, 30), 0.0);
    EXPECT_EQ(D(2000, 1, 1), 36526.0);
    EXPECT_EQ(D(1, 1, 1), MinDateDays);
    EXPECT_EQ(D(9999, 12, 31), MaxDateDays);
    EXPECT_EQ(D(2024, 3, 1) - D(2024, 2, 28), 2.0);
    EXPECT_EQ(D(1900, 3, 1) - D(1900, 2, 28), 1.0);  // 1900 is no leap year
    TDateTime unused = 0;
    EXPECT_FALSE(TryEncodeDate(1900, 2, 29, unused));
    EXPECT_FALSE(TryEncodeDate(0, 1, 1, unused));
    EXPECT_FALSE(TryEncodeDate(10000, 1, 1, unused));
    EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, unused));
    EXPECT_FALSE(TryEncodeTime(0, 0, 0, 1000, unused));
}

TEST(NeutralText, DatesWriteAndReadBack) {
    EXPECT_EQ(ANSIDateToStr(D(99, 3, 5)), "0099-03-05");
    EXPECT_EQ(ANSIDateToStr(D(1, 1, 1)), "0001-01-01");
    EXPECT_EQ(ANSIDateToStr(D(9999, 12, 31)), "9999-12-31");
    EXPECT_EQ(ANSIDateToStr(D(2024, 2, 29) + 0.75), "2024-02-29");  // the time is ignored
    EXPECT_EQ(ANSIDateToStr(-1.25), "1899-12-29");

    const TDateTime samples[] = {D(1, 1, 1),        D(99, 3, 5),    D(1600, 2, 29), D(1899, 12, 29),
                                 D(1899, 12, 30),   D(1900, 2, 28), D(2000, 2, 29), D(2024, 2, 29),
                                 D(9999, 12, 31),   D(1582, 10, 4), D(1752, 9, 3)};
    for (TDateTime date : samples) {
        EXPECT_EQ(ANSIStrToDate(ANSIDateToStr(date)), date) << ANSIDateToStr(date);
    }
    EXPECT_EQ(ANSIStrToDate("2024-2-9"), D(2024, 2, 9));
    EXPECT_EQ(ANSIStrToDate(" 2024-02-09"), D(2024, 2, 9));  // leading blanks of an integer
}

TEST(NeutralText, MalformedDatesRaiseTheirMessage) {
    EXPECT_EQ(ConvertMessage([](std::string_view s) { ANSIStrToDate(s); }, "2023-02-29"),
              "'2023-02-29' is not a valid date");
    for (const char* text : {"", "2024", "2024-01", "2024/01/02", "2024-13-01", "2024-00-10", "2024-01-32",
                             "0-01-01", "10000-01-01", "2024-01-02-03", "-2024-01-02", "2024-01-02 ",
                             "99999999999-01-01", "a-b-c", "2024--01", "2024-1.5-01"}) {
        EXPECT_THROW(ANSIStrToDate(text), EConvertError) << text;
    }
    // Values outside the calendar are refused, never decoded into garbage.
    EXPECT_THROW(ANSIDateToStr(std::numeric_limits<double>::quiet_NaN()), EConvertError);
    EXPECT_THROW(ANSIDateToStr(1e300), EConvertError);
    EXPECT_THROW(ANSITimeToStr(true, -std::numeric_limits<double>::infinity()), EConvertError);
    EXPECT_THROW(ANSIDateToStr(MinDateDays - 1.0), EConvertError);
}

TEST(NeutralText, TimesInBothForms) {
    EXPECT_EQ(ANSITimeToStr(true, T(9, 5, 0, 0)), "09:05");
    EXPECT_EQ(ANSITimeToStr(true, T(13, 0, 7, 250)), "13:00:07.250");
    EXPECT_EQ(ANSITimeToStr(true, T(13, 0, 7, 5)), "13:00:07.5");
    EXPECT_EQ(ANSITimeToStr(true, T(13, 0, 7, 500)), "13:00:07.500");
    EXPECT_EQ(ANSITimeToStr(false, T(0, 30, 0, 0)), "12:30 AM");
    EXPECT_EQ(ANSITimeToStr(false, T(12, 30, 0, 0)), "12:30 PM");
    EXPECT_EQ(ANSITimeToStr(false, T(23, 59, 59, 999)), "11:59:59.999 PM");
    EXPECT_EQ(ANSITimeToStr(true, D(2024, 1, 1) + T(6, 0, 0, 0)), "06:00");
}

TEST(NeutralText, MillisecondsSurviveZeroSeconds) {
    EXPECT_EQ(ANSITimeToStr(true, T(10, 20, 0, 5)), "10:20:00.5");
    EXPECT_EQ(ANSITimeToStr(false, T(10, 20, 0, 999)), "10:20:00.999 AM");
    for (int ms : {1, 5, 10, 250, 999}) {
        const TDateTime time = T(10, 20, 0, ms);
        EXPECT_EQ(ANSIStrToTime(ANSITimeToStr(true, time)), time) << ms;
        EXPECT_EQ(ANSIStrToTime(ANSITimeToStr(false, time)), time) << ms;
    }
}

TEST(NeutralText, TimesReadBack) {
    EXPECT_EQ(ANSIStrToTime("12:15 am"), T(0, 15, 0, 0));
    EXPECT_EQ(ANSIStrToTime("12:15 PM"), T(12, 15, 0, 0));
    EXPECT_EQ(ANSIStrToTime("1:15pm"), T(13, 15, 0, 0));
    EXPECT_EQ(ANSIStrToTime("1:02:03.4"), T(1, 2, 3, 4));
    EXPECT_EQ(ANSIStrToTime("23:59:59.999"), T(23, 59, 59, 999));
    for (int h = 0; h < 24; ++h) {
        for (int n : {0, 1, 59}) {
            const TDateTime time = T(h, n, h % 60, h * 41 % 1000);
            EXPECT_EQ(ANSIStrToTime(ANSITimeToStr(true, time)), time);
            EXPECT_EQ(ANSIStrToTime(ANSITimeToStr(false, time)), time);
        }
    }
    EXPECT_EQ(ConvertMessage([](std::string_view s) { ANSIStrToTime(s); }, "7"), "'7' is not a valid time");
    for (const char* text : {"", "7", ":", "12:", ":30", "24:00", "12:60", "1:2:60", "1:2:3.1000", "13:00 PM",
                             "1:2:3.", "1:2:3.-1", "am", "12.30", "1:2:3:4", "x1:00", "99999999999:00"}) {
        EXPECT_THROW(ANSIStrToTime(text), EConvertError) << text;
    }
}

TEST(NeutralText, DateTimesReadBackAlsoBefore1899) {
    EXPECT_EQ(ANSIStrToDateTime("2024-02-29 13:45:10.5"), D(2024, 2, 29) + T(13, 45, 10, 5));
    EXPECT_EQ(ANSIStrToDateTime("13:45"), T(13, 45, 0, 0));
    EXPECT_EQ(ANSIStrToDateTime("2024-02-29"), D(2024, 2, 29));
    EXPECT_EQ(ANSIDateTimeToStr(true, D(2024, 2, 29)), "2024-02-29 00:00");
    EXPECT_EQ(ANSIDateTimeToStr(false, D(2024, 2, 29) + T(13, 0, 0, 7)), "2024-02-29 01:00:00.7 PM");

    // Before 1899-12-30 the day is the whole part and the time the fraction's size.
    EXPECT_EQ(ANSIStrToDateTime("1899-12-29 06:00"), -1.25);
    EXPECT_EQ(ANSIDateTimeToStr(true, -1.25), "1899-12-29 06:00");
    const TDateTime samples[] = {D(1, 1, 1) - T(23, 59, 59, 999), D(1, 1, 1), D(1899, 12, 29) - T(0, 0, 0, 1),
                                 D(1600, 2, 29) - T(12, 0, 0, 0), D(1899, 12, 30) + T(0, 0, 1, 0),
                                 D(9999, 12, 31) + T(23, 59, 59, 999), D(2020, 1, 1) + T(10, 20, 0, 5)};
    for (TDateTime value : samples) {
        for (bool hours24 : {true, false}) {
            const std::string text = ANSIDateTimeToStr(hours24, value);
            EXPECT_NEAR(ANSIStrToDateTime(text), value, 1e-9) << text;
            EXPECT_EQ(ANSIDateTimeToStr(hours24, ANSIStrToDateTime(text)), text);
        }
    }
    EXPECT_EQ(ConvertMessage([](std::string_view s) { ANSIStrToDateTime(s); }, "2024-02-30 10:00"),
              "'2024-02-30 10:00' is not a valid date and time");
    for (const char* text : {"", " ", "x", "2024-01-01 ", " 2024-01-01 10:00", "2024-01-01 25:00", "10:00 PM",
                             "2024-01-01T10:00"}) {
        EXPECT_THROW(ANSIStrToDateTime(text), EConvertError) << text;
    }
}

TEST(NeutralText, Booleans) {
    EXPECT_EQ(ANSIBoolToStr(true), "True");
    EXPECT_EQ(ANSIBoolToStr(false), "False");
    EXPECT_TRUE(ANSIStrToBool("true"));
    EXPECT_TRUE(ANSIStrToBool("TrUe"));
    EXPECT_FALSE(ANSIStrToBool("FALSE"));
    EXPECT_EQ(ConvertMessage([](std::string_view s) { ANSIStrToBool(s); }, "yes"), "'yes' is not a valid boolean");
    for (const char* text : {"", "1", "T", " true", "true ", "truee", "fals"}) {
        EXPECT_THROW(ANSIStrToBool(text), EConvertError) << text;
    }
}

TEST(NeutralText, FloatTexts) {
    EXPECT_EQ(ANSIFloatToStr(1.5L), "1.5");
    EXPECT_EQ(ANSIFloatToStr(-2.25L), "-2.25");
    EXPECT_EQ(ANSIFloatToStr(0.0L), "0");
    EXPECT_EQ(ANSIFloatToStr(100.0L), "100");
    EXPECT_EQ(ANSIFloatToStr(0.1), "0.1");  // a double's binary error stays beyond 15 digits
    EXPECT_EQ(ANSIFloatToStr(1.0L / 3), "0.333333333333333");
    EXPECT_EQ(ANSIFloatToStr(123456789012345.0L), "123456789012345");
    EXPECT_EQ(ANSIFloatToStr(1e15L), "1E15");
    EXPECT_EQ(ANSIFloatToStr(0.0001L), "0.0001");
    EXPECT_EQ(ANSIFloatToStr(0.00001L), "1E-5");
    EXPECT_EQ(ANSIFloatToStr(-1.5e-7L), "-1.5E-7");
    EXPECT_EQ(ANSIFloatToStr(6.02214076e23L), "6.02214076E23");
    EXPECT_EQ(ANSIFloatToStr(std::numeric_limits<long double>::infinity()), "INF");

    EXPECT_EQ(ANSIStrToFloat("1.5"), 1.5L);
    EXPECT_EQ(ANSIStrToFloat(" -2.5 "), -2.5L);
    EXPECT_EQ(ANSIStrToFloat("1.5e3"), 1500.0L);
    EXPECT_EQ(ANSIStrToFloat("+1E-2"), ANSIStrToFloat("0.01"));
    EXPECT_EQ(ANSIStrToFloat(".5"), 0.5L);
    EXPECT_EQ(ANSIStrToFloat("5."), 5.0L);
    EXPECT_EQ(ANSIStrToFloat("1e-99999"), 0.0L);
    EXPECT_EQ(ANSIStrToFloat("0000000000000000000000000000001e-3"), 0.001L);
    for (double v : {1.5, -0.1, 1e-300, 1e308, 123456.789}) {
        EXPECT_EQ(static_cast<double>(ANSIStrToFloat(ANSIFloatToStr(v))), std::stod(ANSIFloatToStr(v)));
    }
    for (const char* text : {"", ".", "-", "e5", "1e", "1e+", "1.2.3", "1,5", "1 5", "abc", "0x10", "1e99999",
                             "NAN", "INF", "1.5f", "--1"}) {
        EXPECT_THROW(ANSIStrToFloat(text), EConvertError) << text;
    }
}

TEST(NeutralText, FloatsIgnoreTheLocalSeparator) {
    SeparatorGuard guard;
    SetLocalDecimalSeparator(',');
    EXPECT_EQ(FloatToStr(1.5L), "1,5");
    EXPECT_EQ(ANSIFloatToStr(1.5L), "1.5");
    EXPECT_EQ(ANSIStrToFloat("1.5"), 1.5L);
    EXPECT_EQ(ANSIStrToCurr("1.5"), 15000);
    EXPECT_EQ(ANSIFloatToStr(-1.5e-7L), "-1.5E-7");
}

TEST(NeutralText, CurrencyTextsRoundHalvesToEven) {
    EXPECT_EQ(ANSIStrToCurr("1.2345"), 12345);
    EXPECT_EQ(ANSIStrToCurr("-1.5"), -15000);
    EXPECT_EQ(ANSIStrToCurr("1e2"), 1000000);
    EXPECT_EQ(ANSIStrToCurr("12.34567"), 123457);
    EXPECT_EQ(ANSIStrToCurr("0.00005"), 0);
    EXPECT_EQ(ANSIStrToCurr("0.00015"), 2);
    EXPECT_EQ(ANSIStrToCurr("0.00025"), 2);
    EXPECT_EQ(ANSIStrToCurr("0.000250001"), 3);
    EXPECT_EQ(ANSIStrToCurr("-0.00015"), -2);
    EXPECT_EQ(ANSIStrToCurr("1e-30"), 0);
    EXPECT_EQ(ANSIStrToCurr("922337203685477.5807"), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(ANSIStrToCurr("-922337203685477.5808"), std::numeric_limits<int64_t>::min());
    for (const char* text : {"922337203685477.5808", "922337203685477.58075", "1e15", "-922337203685477.5809",
                             "1e400", "", "1,5", "x"}) {
        EXPECT_THROW(ANSIStrToCurr(text), EConvertError) << text;
    }
    EXPECT_EQ(CurrToStr(15000, '.'), "1.5");
    EXPECT_EQ(CurrToStr(-5, '.'), "-0.0005");
    EXPECT_EQ(CurrToStr(std::numeric_limits<int64_t>::min(), '.'), "-922337203685477.5808");
}

TEST(NeutralText, IntegerTexts) {
    EXPECT_EQ(StrToInt(" 42"), 42);
    EXPECT_EQ(StrToInt("+7"), 7);
    EXPECT_EQ(StrToInt("-2147483648"), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(StrToInt64("-9223372036854775808"), std::numeric_limits<int64_t>::min());
    for (const char* text : {"", "-", "+", "42 ", "4 2", "2147483648", "-2147483649", "1.0", "0x1F", "$1F"}) {
        EXPECT_THROW(StrToInt(text), EConvertError) << text;
    }
    EXPECT_THROW(StrToInt64("9223372036854775808"), EConvertError);
    EXPECT_THROW(StrToInt64("99999999999999999999999"), EConvertError);
}
