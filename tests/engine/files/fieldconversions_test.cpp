#include "engine/files/FieldConversions.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace kura {
namespace {

using Bytes = std::vector<uint8_t>;

// A value buffer of exactly the guaranteed size, so the sanitizer sees over-reads.
struct Buffer {
    std::vector<uint8_t> b = std::vector<uint8_t>(FieldValueBufferSize, 0);
    uint8_t* data() { return b.data(); }
    void SetText(const char* text) {
        std::fill(b.begin(), b.end(), 0);
        std::memcpy(b.data(), text, std::strlen(text));
    }
    void SetInt(int64_t v, int bytes) {
        std::fill(b.begin(), b.end(), 0);
        for (int i = 0; i < bytes; ++i) b[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
    }
    void SetDouble(double d) {
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        SetInt(static_cast<int64_t>(bits), 8);
    }
    std::string Text() const { return std::string(reinterpret_cast<const char*>(b.data())); }
    int64_t Int(int bytes) const {
        uint64_t v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | b[i];
        if (bytes < 8 && (v >> (8 * bytes - 1)) != 0) v |= ~uint64_t{0} << (8 * bytes);  // sign-extend
        return static_cast<int64_t>(v);
    }
    double Double() const {
        uint64_t bits = static_cast<uint64_t>(Int(8));
        double d;
        std::memcpy(&d, &bits, 8);
        return d;
    }
    bool IsZero() const {
        return std::all_of(b.begin(), b.end(), [](uint8_t x) { return x == 0; });
    }
};

// Stored day number of a calendar date (0001-01-01 is day 1), computed apart
// from the engine's own calendar.
int32_t DayNumber(int y, unsigned m, unsigned d) {
    using namespace std::chrono;
    const sys_days date = year_month_day{year{y}, month{m}, day{d}};
    const sys_days first = year_month_day{year{1}, January, day{1}};
    return static_cast<int32_t>((date - first).count() + 1);
}

Bytes Bcd(TCurrency value, int decimals) {
    Bytes b(BcdSize);
    EXPECT_TRUE(CurrToBCDValue(value, decimals, b.data())) << value << " " << decimals;
    return b;
}

// 34 bytes from the precision, the sign/places byte and the digit nibbles.
Bytes Golden(uint8_t precision, uint8_t signPlaces, const char* nibbles) {
    Bytes b(BcdSize, 0);
    b[0] = precision;
    b[1] = signPlaces;
    for (size_t i = 0; nibbles[i] != 0; ++i) {
        const uint8_t d = static_cast<uint8_t>(nibbles[i] - '0');
        b[2 + i / 2] |= (i % 2 == 0) ? static_cast<uint8_t>(d << 4) : d;
    }
    return b;
}

TEST(Bcd, GoldenBytes) {
    EXPECT_EQ(Bcd(0, 4), Golden(32, 0x04, "00000000000000000000000000000000"));
    EXPECT_EQ(Bcd(125000, 2), Golden(32, 0x02, "00000000000000000000000000001250"));
    EXPECT_EQ(Bcd(-125000, 2), Golden(32, 0x82, "00000000000000000000000000001250"));
    EXPECT_EQ(Bcd(-1, 4), Golden(32, 0x84, "00000000000000000000000000000001"));
    // The whole currency range at full precision.
    EXPECT_EQ(Bcd(std::numeric_limits<int64_t>::max(), 4), Golden(32, 0x04, "00000000000009223372036854775807"));
    EXPECT_EQ(Bcd(std::numeric_limits<int64_t>::min(), 4), Golden(32, 0x84, "00000000000009223372036854775808"));
    // More places than a currency has: zeros; 17 places still hold 0.5.
    EXPECT_EQ(Bcd(15000, 6), Golden(32, 0x06, "00000000000000000000000001500000"));
    EXPECT_EQ(Bcd(5000, 32), Golden(32, 0x20, "50000000000000000000000000000000"));
    // Fewer places round half to even; a rounded-away negative is plain zero.
    EXPECT_EQ(Bcd(12350, 2), Golden(32, 0x02, "00000000000000000000000000000124"));
    EXPECT_EQ(Bcd(12250, 2), Golden(32, 0x02, "00000000000000000000000000000122"));
    EXPECT_EQ(Bcd(-12351, 2), Golden(32, 0x82, "00000000000000000000000000000124"));
    EXPECT_EQ(Bcd(25000, 0), Golden(32, 0x00, "00000000000000000000000000000002"));
    EXPECT_EQ(Bcd(35000, 0), Golden(32, 0x00, "00000000000000000000000000000004"));
    EXPECT_EQ(Bcd(-4000, 0), Golden(32, 0x00, "00000000000000000000000000000000"));

    Bytes out(BcdSize, 0xCC);
    EXPECT_FALSE(CurrToBCDValue(10000, 32, out.data()));  // 1.0 needs a 33rd digit
    EXPECT_EQ(out, Bytes(BcdSize, 0));
    EXPECT_FALSE(CurrToBCDValue(1, 33, out.data()));
    EXPECT_FALSE(CurrToBCDValue(std::numeric_limits<int64_t>::max(), 18, out.data()));
    EXPECT_TRUE(CurrToBCDValue(std::numeric_limits<int64_t>::max(), 17, out.data()));
}

TEST(Bcd, ReadsBackAndRejectsDamagedBytes) {
    std::mt19937_64 rng(42);
    for (int i = 0; i < 2000; ++i) {
        const TCurrency v = static_cast<TCurrency>(rng());
        const int decimals = 4 + static_cast<int>(rng() % 14);
        Bytes b(BcdSize);
        ASSERT_TRUE(CurrToBCDValue(v, decimals, b.data()));
        TCurrency back = 1;
        ASSERT_TRUE(BCDToCurrValue(b.data(), back));
        EXPECT_EQ(back, v);
    }
    TCurrency v = 7;
    EXPECT_TRUE(BCDToCurrValue(Bytes(BcdSize, 0).data(), v));  // all zero reads as zero
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(BCDToCurrValue(Golden(3, 0x01, "125").data(), v));  // a shorter precision
    EXPECT_EQ(v, 125000);
    EXPECT_TRUE(BCDToCurrValue(Golden(4, 0x80, "0000").data(), v));  // negative zero
    EXPECT_EQ(v, 0);
    // Places past the fourth round half to even.
    EXPECT_TRUE(BCDToCurrValue(Golden(7, 0x06, "1000050").data(), v));
    EXPECT_EQ(v, 10000);
    EXPECT_TRUE(BCDToCurrValue(Golden(7, 0x06, "1000150").data(), v));
    EXPECT_EQ(v, 10002);
    EXPECT_TRUE(BCDToCurrValue(Golden(8, 0x87, "10000501").data(), v));
    EXPECT_EQ(v, -10001);

    const Bytes damaged[] = {
        Golden(65, 0x00, ""),                                   // precision beyond 64 nibbles
        Golden(2, 0x03, "12"),                                  // places beyond precision
        Golden(2, 0x40, "12"),                                  // special bit
        Golden(2, 0x00, "1:"),                                  // nibble 10
        Golden(32, 0x04, "00000000000009223372036854775808"),   // 2^63 positive
        Golden(32, 0x84, "00000000000009223372036854775809"),
        Golden(40, 0x00, "1000000000000000000000000000000000000000"),
    };
    for (const Bytes& b : damaged) {
        v = 5;
        EXPECT_FALSE(BCDToCurrValue(b.data(), v));
        EXPECT_EQ(v, 0);
    }
}

struct Case {
    TEngineFieldType from;
    TEngineFieldType to;
    int64_t in;
    bool ok;
    int64_t out;
};

TEST(ConvertFieldData, IntegerAndFloatTable) {
    const Case cases[] = {
        {fldINT16, fldINT32, -1, true, -1},          {fldUINT16, fldINT32, 65535, true, 65535},
        {fldINT16, fldINT64, -32768, true, -32768},  {fldINT32, fldINT16, -32768, true, -32768},
        // Narrowing keeps the low bytes, widening extends by the source's sign.
        {fldINT32, fldINT16, 40000, true, -25536},   {fldINT16, fldUINT16, -1, true, 65535},
        {fldUINT16, fldINT16, 65535, true, -1},      {fldINT64, fldINT32, int64_t{1} << 31, true, INT32_MIN},
        {fldINT64, fldINT32, 5000000000, true, 705032704}, {fldINT64, fldINT16, 5000000000, true, -3584},
        {fldINT32, fldINT16, 70000, true, 4464},     {fldINT32, fldUINT16, -1, true, 65535},
        {fldINT64, fldUINT16, -65537, true, 65535},  {fldINT64, fldINT16, INT64_MIN, true, 0},
        {fldUINT16, fldINT64, 65535, true, 65535},   {fldINT32, fldINT64, INT32_MIN, true, INT32_MIN},
        {fldINT64, fldUINT16, 65535, true, 65535},   {fldINT16, fldBOOL, -5, true, 1},
        {fldUINT16, fldBOOL, 0, true, 0},            {fldINT32, fldBOOL, 1, false, 0},
        {fldINT64, fldBOOL, 1, false, 0},
    };
    Buffer buf;
    for (const Case& c : cases) {
        const int inBytes = c.from == fldINT32 ? 4 : c.from == fldINT64 ? 8 : 2;
        const int outBytes = c.to == fldINT32 ? 4 : c.to == fldINT64 ? 8 : 2;
        buf.SetInt(c.in, inBytes);
        EXPECT_EQ(ConvertFieldData(c.from, inBytes, 0, c.to, outBytes, 0, buf.data()), c.ok)
            << int(c.from) << "->" << int(c.to) << " " << c.in;
        const int64_t mask = (c.to == fldUINT16 || c.to == fldBOOL) ? 0xFFFF : -1;
        EXPECT_EQ(buf.Int(outBytes) & mask, c.out);
        if (!c.ok) {
            EXPECT_TRUE(buf.IsZero());
        }
    }

    const struct {
        double in;
        TEngineFieldType to;
        bool ok;
        int64_t out;
    } floats[] = {
        {2.9, fldINT32, true, 2},      {-2.9, fldINT32, true, -2},         {32767.9, fldINT16, true, 32767},
        {-0.5, fldUINT16, true, 0},    {65536.0, fldUINT16, false, 0},     {1e20, fldINT64, false, 0},
        {-9.2233720368547758e18, fldINT64, true, std::numeric_limits<int64_t>::min()},
        {std::nan(""), fldINT32, false, 0}, {INFINITY, fldINT16, false, 0}, {3e9, fldINT32, false, 0},
    };
    for (const auto& f : floats) {
        const int outBytes = f.to == fldINT32 ? 4 : f.to == fldINT64 ? 8 : 2;
        buf.SetDouble(f.in);
        EXPECT_EQ(ConvertFieldData(fldFLOAT, 8, 0, f.to, outBytes, 0, buf.data()), f.ok) << f.in;
        EXPECT_EQ(buf.Int(outBytes), f.to == fldUINT16 ? static_cast<int16_t>(f.out) : f.out) << f.in;
    }

    buf.SetInt(-123456789012345, 8);
    EXPECT_TRUE(ConvertFieldData(fldINT64, 8, 0, fldFLOAT, 8, 0, buf.data()));
    EXPECT_EQ(buf.Double(), -123456789012345.0);
}

TEST(ConvertFieldData, BcdTable) {
    Buffer buf;
    auto setBcd = [&](TCurrency v, int decimals) {
        buf.SetInt(0, 1);
        ASSERT_TRUE(CurrToBCDValue(v, decimals, buf.data()));
    };
    auto bcdOf = [&]() {
        TCurrency v = 0;
        EXPECT_TRUE(BCDToCurrValue(buf.data(), v));
        return v;
    };
    buf.SetInt(12, 4);
    EXPECT_TRUE(ConvertFieldData(fldINT32, 4, 0, fldBCD, 34, 2, buf.data()));
    EXPECT_EQ(Bytes(buf.b.begin(), buf.b.begin() + 34), Golden(32, 0x02, "00000000000000000000000000001200"));
    buf.SetInt(std::numeric_limits<int64_t>::max() / 10000 + 1, 8);
    EXPECT_FALSE(ConvertFieldData(fldINT64, 8, 0, fldBCD, 34, 4, buf.data()));
    EXPECT_TRUE(buf.IsZero());

    buf.SetDouble(1.23456);
    EXPECT_TRUE(ConvertFieldData(fldFLOAT, 8, 0, fldBCD, 34, 4, buf.data()));
    EXPECT_EQ(bcdOf(), 12346);
    buf.SetDouble(1e15);
    EXPECT_FALSE(ConvertFieldData(fldFLOAT, 8, 0, fldBCD, 34, 4, buf.data()));
    buf.SetDouble(std::nan(""));
    EXPECT_FALSE(ConvertFieldData(fldFLOAT, 8, 0, fldBCD, 34, 4, buf.data()));

    buf.SetInt(1, 2);
    EXPECT_TRUE(ConvertFieldData(fldBOOL, 2, 0, fldBCD, 34, 2, buf.data()));
    EXPECT_EQ(bcdOf(), 10000);

    setBcd(-125000, 2);
    EXPECT_TRUE(ConvertFieldData(fldBCD, 34, 2, fldINT32, 4, 0, buf.data()));
    EXPECT_EQ(buf.Int(4), -12);  // truncated toward zero
    setBcd(-125000, 2);
    EXPECT_TRUE(ConvertFieldData(fldBCD, 34, 2, fldFLOAT, 8, 0, buf.data()));
    EXPECT_EQ(buf.Double(), -12.5);
    setBcd(-125000, 2);
    EXPECT_TRUE(ConvertFieldData(fldBCD, 34, 2, fldZSTRING, 20, 0, buf.data()));
    EXPECT_EQ(buf.Text(), "-12.5");
    setBcd(400000000, 4);
    EXPECT_FALSE(ConvertFieldData(fldBCD, 34, 4, fldINT16, 2, 0, buf.data()));
    setBcd(10000, 4);
    EXPECT_FALSE(ConvertFieldData(fldBCD, 34, 4, fldBOOL, 2, 0, buf.data()));
    buf.SetInt(0x40FF, 2);  // special bit: not a BCD
    EXPECT_FALSE(ConvertFieldData(fldBCD, 34, 4, fldINT32, 4, 0, buf.data()));
    EXPECT_TRUE(buf.IsZero());
}

TEST(ConvertFieldData, StringsDatesAndTimes) {
    Buffer buf;
    const struct {
        const char* text;
        TEngineFieldType to;
        bool ok;
        int64_t out;
    } parses[] = {
        // The integer parse, its low bytes kept for the narrower types.
        {"abc", fldINT32, false, 0},  {"70000", fldINT16, true, 4464}, {"65535", fldUINT16, true, 65535},
        {"-1", fldUINT16, true, 65535}, {"-42", fldINT16, true, -42},   {"123456789012", fldINT64, true, 123456789012},
        {"123456789012", fldINT32, false, 0}, {"TrUe", fldBOOL, true, 1}, {"yes", fldBOOL, false, 0},
        {"2024-02-29", fldDATE, true, DayNumber(2024, 2, 29)}, {"2023-02-29", fldDATE, false, 0},
        {"13:00:07.250", fldTIME, true, 46807250}, {"25:00", fldTIME, false, 0},
        {"x", fldBLOB, false, 0},     {"1", fldUINT32, false, 0},
    };
    for (const auto& p : parses) {
        const int bytes = p.to == fldINT64 ? 8 : (p.to == fldINT16 || p.to == fldUINT16 || p.to == fldBOOL) ? 2 : 4;
        buf.SetText(p.text);
        EXPECT_EQ(ConvertFieldData(fldZSTRING, 21, 0, p.to, bytes, 0, buf.data()), p.ok) << p.text;
        EXPECT_EQ(buf.Int(bytes) & (bytes == 2 && p.to == fldUINT16 ? 0xFFFF : -1), p.out) << p.text;
        if (!p.ok) {
            EXPECT_TRUE(buf.IsZero()) << p.text;
        }
    }

    buf.SetText("2024-02-29 13:00:07.250");
    ASSERT_TRUE(ConvertFieldData(fldZSTRING, 30, 0, fldTIMESTAMP, 8, 0, buf.data()));
    const double stamp = DayNumber(2024, 2, 29) * 86400000.0 + 46807250;
    EXPECT_EQ(buf.Double(), stamp);
    EXPECT_TRUE(ConvertFieldData(fldTIMESTAMP, 8, 0, fldZSTRING, 30, 0, buf.data()));
    EXPECT_EQ(buf.Text(), "2024-02-29 13:00:07.250");
    buf.SetDouble(stamp + 0.6);  // rounds to the next millisecond
    EXPECT_TRUE(ConvertFieldData(fldTIMESTAMP, 8, 0, fldTIME, 4, 0, buf.data()));
    EXPECT_EQ(buf.Int(4), 46807251);
    buf.SetDouble(stamp);
    EXPECT_TRUE(ConvertFieldData(fldTIMESTAMP, 8, 0, fldDATE, 4, 0, buf.data()));
    EXPECT_EQ(buf.Int(4), DayNumber(2024, 2, 29));
    EXPECT_TRUE(ConvertFieldData(fldDATE, 4, 0, fldZSTRING, 11, 0, buf.data()));
    EXPECT_EQ(buf.Text(), "2024-02-29");
    buf.SetInt(DayNumber(99, 3, 5), 4);
    EXPECT_TRUE(ConvertFieldData(fldDATE, 4, 0, fldTIMESTAMP, 8, 0, buf.data()));
    EXPECT_EQ(buf.Double(), DayNumber(99, 3, 5) * 86400000.0);
    buf.SetInt(46807250, 4);
    EXPECT_TRUE(ConvertFieldData(fldTIME, 4, 0, fldTIMESTAMP, 8, 0, buf.data()));
    EXPECT_EQ(buf.Double(), 693594 * 86400000.0 + 46807250);
    buf.SetInt(46807250, 4);
    EXPECT_TRUE(ConvertFieldData(fldTIME, 4, 0, fldZSTRING, 20, 0, buf.data()));
    EXPECT_EQ(buf.Text(), "13:00:07.250");

    // Damaged moments and undefined pairs: false and zero.
    const struct {
        TEngineFieldType from, to;
        int64_t in;
        int bytes;
    } failing[] = {
        {fldDATE, fldINT32, DayNumber(2024, 1, 1), 4}, {fldDATE, fldTIME, DayNumber(2024, 1, 1), 4},
        {fldTIME, fldDATE, 5, 4},   {fldDATE, fldZSTRING, 0, 4},      {fldTIME, fldZSTRING, -1, 4},
        {fldTIME, fldTIMESTAMP, 86400000, 4}, {fldBOOL, fldFLOAT, 1, 2}, {fldFLOAT, fldBOOL, 0, 8},
        {fldINT32, fldDATE, 5, 4},
    };
    for (const auto& f : failing) {
        buf.SetInt(f.in, f.bytes);
        EXPECT_FALSE(ConvertFieldData(f.from, f.bytes, 0, f.to, 8, 0, buf.data())) << int(f.from) << "->" << int(f.to);
        EXPECT_TRUE(buf.IsZero());
    }
    for (double bad : {std::nan(""), -1.0, 1e300}) {
        buf.SetDouble(bad);
        EXPECT_FALSE(ConvertFieldData(fldTIMESTAMP, 8, 0, fldDATE, 4, 0, buf.data())) << bad;
    }

    buf.SetInt(1, 2);
    EXPECT_TRUE(ConvertFieldData(fldBOOL, 2, 0, fldZSTRING, 6, 0, buf.data()));
    EXPECT_EQ(buf.Text(), "True");
    buf.SetInt(-7, 8);
    EXPECT_TRUE(ConvertFieldData(fldINT64, 8, 0, fldZSTRING, 6, 0, buf.data()));
    EXPECT_EQ(buf.Text(), "-7");
    buf.SetDouble(1.5);
    EXPECT_TRUE(ConvertFieldData(fldFLOAT, 8, 0, fldZSTRING, 6, 0, buf.data()));
    EXPECT_EQ(buf.Text(), "1.5");
    buf.SetText("1e400");
    EXPECT_FALSE(ConvertFieldData(fldZSTRING, 6, 0, fldFLOAT, 8, 0, buf.data()));
    buf.SetText("12.345");
    EXPECT_TRUE(ConvertFieldData(fldZSTRING, 7, 0, fldBCD, 34, 2, buf.data()));
    TCurrency c = 0;
    EXPECT_TRUE(BCDToCurrValue(buf.data(), c));
    EXPECT_EQ(c, 123400);  // 12.345 to two places, half to even
}

TEST(ConvertFieldData, EqualTypesBytesAndUntouchedSources) {
    Buffer buf;
    buf.SetText("abcdef");
    EXPECT_TRUE(ConvertFieldData(fldZSTRING, 7, 0, fldZSTRING, 4, 0, buf.data()));
    EXPECT_EQ(buf.Text(), "abcd");
    EXPECT_TRUE(std::all_of(buf.b.begin() + 4, buf.b.end(), [](uint8_t x) { return x == 0; }));

    buf.SetInt(0x0807060504030201, 8);
    EXPECT_TRUE(ConvertFieldData(fldBYTES, 8, 0, fldBYTES, 3, 0, buf.data()));
    EXPECT_EQ(buf.Int(8), 0x030201);
    buf.SetInt(0x0807060504030201, 8);
    EXPECT_TRUE(ConvertFieldData(fldFLOAT, 8, 0, fldFLOAT, 8, 0, buf.data()));
    EXPECT_EQ(buf.Int(8), 0x0807060504030201);

    buf.SetInt(0x44332211, 4);
    EXPECT_TRUE(ConvertFieldData(fldINT32, 4, 0, fldVARBYTES, 2, 0, buf.data()));
    EXPECT_EQ(buf.Int(4), 0x2211);
    buf.SetInt(0x44332211, 4);
    EXPECT_TRUE(ConvertFieldData(fldBYTES, 4, 0, fldINT32, 4, 0, buf.data()));
    EXPECT_EQ(buf.Int(4), 0x44332211);
    EXPECT_FALSE(ConvertFieldData(fldBYTES, 4, 0, fldBLOB, 8, 0, buf.data()));

    for (TEngineFieldType from : {3, 13, 14, 16, 17, 20, 23, 255}) {
        buf.SetInt(0x1122334455667788, 8);
        EXPECT_TRUE(ConvertFieldData(from, 8, 0, fldINT32, 4, 0, buf.data())) << int(from);
        EXPECT_EQ(buf.Int(8), 0x1122334455667788);
    }
    // Sizes larger than the buffer never read or write past it.
    std::fill(buf.b.begin(), buf.b.end(), 'x');
    EXPECT_TRUE(ConvertFieldData(fldZSTRING, 300, 0, fldZSTRING, 300, 0, buf.data()));
    EXPECT_TRUE(ConvertFieldData(fldBYTES, 1000, 0, fldVARBYTES, 1000, 0, buf.data()));
    EXPECT_TRUE(ConvertFieldData(fldZSTRING, 300, 0, fldBYTES, 300, 0, buf.data()));
    EXPECT_FALSE(ConvertFieldData(fldZSTRING, 300, 0, fldINT32, 4, 0, buf.data()));
}

TEST(FormatParsers, DatesTimesAndTwoDigitYears) {
    EXPECT_EQ(ExpandTwoDigitYear(99, 2026, 50), 1999);
    EXPECT_EQ(ExpandTwoDigitYear(30, 2026, 50), 2030);
    EXPECT_EQ(ExpandTwoDigitYear(76, 2026, 50), 1976);
    EXPECT_EQ(ExpandTwoDigitYear(5, 2026, 0), 2005);
    EXPECT_EQ(StrToDateFmt("31/12/99", "dd/mm/yy", 2026, 50), EncodeDate(1999, 12, 31));
    EXPECT_EQ(StrToDateFmt("31/12/30", "dd/mm/yy", 2026, 50), EncodeDate(2030, 12, 31));
    EXPECT_EQ(StrToDateFmt("2024.2.29", "yyyy.m.d"), EncodeDate(2024, 2, 29));
    EXPECT_EQ(StrToDateFmt("12-31-0099", "MM-DD-YYYY"), EncodeDate(99, 12, 31));  // four characters: no window
    EXPECT_THROW(StrToDateFmt("31/02/2024", "dd/mm/yyyy"), EConvertError);
    EXPECT_THROW(StrToDateFmt("31/xx/2024", "dd/mm/yyyy"), EConvertError);
    try {
        StrToDateFmt("bad", "dd/mm/yyyy");
        ADD_FAILURE();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'bad' is not a valid date");
    }

    EXPECT_EQ(StrToTimeFmt("12:30 AM", "hh:mm AMPM"), EncodeTime(0, 30, 0, 0));
    EXPECT_EQ(StrToTimeFmt("12:30 PM", "hh:mm AMPM"), EncodeTime(12, 30, 0, 0));
    EXPECT_EQ(StrToTimeFmt("01:15 pm", "hh:mm ampm"), EncodeTime(13, 15, 0, 0));
    EXPECT_EQ(StrToTimeFmt("1:02:03.4", "hh:mm:ss.zzz"), EncodeTime(1, 2, 3, 4));
    EXPECT_EQ(StrToTimeFmt("13:00", "hh:mm"), EncodeTime(13, 0, 0, 0));
    // An hour at the integer limit with PM is refused, not wrapped into range.
    EXPECT_THROW(StrToTimeFmt("2147483647:00 PM", "hh:mm AMPM"), EConvertError);
    EXPECT_THROW(StrToTimeFmt("2147483640:00 PM", "hh:mm AMPM"), EConvertError);
    try {
        StrToTimeFmt("25:00", "hh:mm");
        ADD_FAILURE();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'25:00' is not a valid time");
    }
    EXPECT_EQ(StrToDateTimeFmt("29/02/2024 01:15 PM", "dd/mm/yyyy", "hh:mm AMPM"),
              EncodeDate(2024, 2, 29) + EncodeTime(13, 15, 0, 0));
    EXPECT_THROW(StrToDateTimeFmt("29/02/2024", "dd/mm/yyyy", "hh:mm"), EConvertError);
    EXPECT_THROW(StrToDateTimeFmt("29/02/2024 10:00", "", "hh:mm"), EConvertError);
}

TEST(TextConversions, FormatsAndDecimalCharacters) {
    Buffer buf;
    buf.SetText("29/02/2024");
    EXPECT_TRUE(TextToDateTimeValue(buf.data(), fldDATE, "dd/mm/yyyy", "hh:mm"));
    EXPECT_EQ(buf.Int(4), DayNumber(2024, 2, 29));
    EXPECT_TRUE(DateTimeValueToText(buf.data(), fldDATE, "dddd d mmm yyyy", ""));
    EXPECT_EQ(buf.Text(), "Thursday 29 Feb 2024");
    buf.SetText("29/02/2024 01:15 PM");
    EXPECT_TRUE(TextToDateTimeValue(buf.data(), fldTIMESTAMP, "dd/mm/yyyy", "hh:mm AMPM"));
    EXPECT_TRUE(DateTimeValueToText(buf.data(), fldTIMESTAMP, "yyyy/mm/dd", "h:mm am/pm"));
    EXPECT_EQ(buf.Text(), "2024/02/29 1:15 pm");
    buf.SetInt(46807250, 4);
    EXPECT_TRUE(DateTimeValueToText(buf.data(), fldTIME, "", "hh:nn:ss.zzz 'ok'"));
    EXPECT_EQ(buf.Text(), "13:00:07.250 ok");
    buf.SetText("31/02/2024");
    EXPECT_FALSE(TextToDateTimeValue(buf.data(), fldDATE, "dd/mm/yyyy", ""));
    EXPECT_TRUE(buf.IsZero());
    buf.SetInt(0, 4);
    EXPECT_FALSE(DateTimeValueToText(buf.data(), fldDATE, "yyyy", ""));
    EXPECT_TRUE(buf.IsZero());

    buf.SetText("2024-02-29 13:00:07.250");
    EXPECT_TRUE(ANSITextToDateTimeValue(buf.data(), fldTIMESTAMP));
    EXPECT_EQ(buf.Double(), DayNumber(2024, 2, 29) * 86400000.0 + 46807250);
    buf.SetText("2024-02-30");
    EXPECT_FALSE(ANSITextToDateTimeValue(buf.data(), fldDATE));
    EXPECT_TRUE(buf.IsZero());
    buf.SetText("2024-02-28");
    EXPECT_FALSE(ANSITextToDateTimeValue(buf.data(), fldINT32));

    // A comma as the decimal character reads and writes whatever the local one is.
    for (char local : {'.', ','}) {
        SetLocalDecimalSeparator(local);
        buf.SetText("3,5");
        EXPECT_TRUE(TextToNumericValue(buf.data(), fldFLOAT, 0, ','));
        EXPECT_EQ(buf.Double(), 3.5);
        EXPECT_TRUE(NumericValueToText(buf.data(), fldFLOAT, ','));
        EXPECT_EQ(buf.Text(), "3,5");
        buf.SetText("-12,345");
        EXPECT_TRUE(TextToNumericValue(buf.data(), fldBCD, 2, ','));
        EXPECT_EQ(Bytes(buf.b.begin(), buf.b.begin() + 34), Golden(32, 0x82, "00000000000000000000000000001234"));
        EXPECT_TRUE(NumericValueToText(buf.data(), fldBCD, ','));
        EXPECT_EQ(buf.Text(), "-12,34");
        buf.SetText("1.2.3");
        EXPECT_FALSE(TextToNumericValue(buf.data(), fldFLOAT, 0, '.'));
        EXPECT_TRUE(buf.IsZero());
    }
    SetLocalDecimalSeparator('.');
    buf.SetText("1");
    EXPECT_FALSE(TextToNumericValue(buf.data(), fldINT32, 0, '.'));
    buf.SetInt(0x40FF, 2);
    EXPECT_FALSE(NumericValueToText(buf.data(), fldBCD, '.'));
    EXPECT_TRUE(buf.IsZero());
}

}  // namespace
}  // namespace kura
