// Field defaults of a new record and the required, minimum and maximum checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/errors/EngineErrors.h"
#include "engine/files/Bcd.h"
#include "engine/files/FieldConversions.h"
#include "engine/files/SysConvert.h"
#include "tests/common/EngineTestSupport.h"
#include "tests/engine/core/CursorTableTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

LibraryScope library;

uint64_t Raw(const std::vector<uint8_t>& v, int bytes) {
    uint64_t x = 0;
    for (int i = bytes - 1; i >= 0; --i) x = (x << 8) | v[static_cast<std::size_t>(i)];
    return x;
}

// The stored bytes of table field n and its blank flag.
std::vector<uint8_t> FieldBytes(TDataCursor& c, uint16_t n, const uint8_t* record, bool& blank) {
    std::vector<uint8_t> v(260, 0);
    c.GetTableField(n, record, v.data(), blank);
    return v;
}

double StoredDouble(const std::vector<uint8_t>& v) { return dfbytes::GetDouble(v.data()); }

int32_t DayNumber(int y, int m, int d) { return static_cast<int32_t>(EncodeDate(y, m, d)) + DateDelta; }

}  // namespace

TEST(RecordDefaults, EveryTypeAndTheClockWords) {
    TestDb db;
    TableBuilder b;
    b.Field("D", fldDATE).SetDefaultValue("current_date");                // 1
    b.Field("T", fldTIME).SetDefaultValue("Current_Time");                // 2
    b.Field("TS", fldTIMESTAMP).SetDefaultValue("CURRENT_TIMESTAMP");     // 3
    b.Field("TSD", fldTIMESTAMP).SetDefaultValue("CURRENT_DATE");         // 4
    b.Field("TST", fldTIMESTAMP).SetDefaultValue("CURRENT_TIME");         // 5
    b.Field("S", fldZSTRING, 10).SetDefaultValue("abc");                  // 6
    b.Field("I16", fldINT16).SetDefaultValue("-5");                       // 7
    b.Field("I32", fldINT32).SetDefaultValue("123456");                   // 8
    b.Field("U16", fldUINT16).SetDefaultValue("65535");                   // 9
    b.Field("I64", fldINT64).SetDefaultValue("9000000000");               // 10
    b.Field("F", fldFLOAT).SetDefaultValue("1.5");                        // 11
    b.Field("B", fldBCD, 0, 2).SetDefaultValue("12.345");                // 12
    b.Field("L", fldBOOL).SetDefaultValue("true");                        // 13
    b.Field("DL", fldDATE).SetDefaultValue("2001-02-03");                 // 14
    b.Field("TL", fldTIME).SetDefaultValue("12:34:56");                   // 15
    b.Field("TSL", fldTIMESTAMP).SetDefaultValue("2001-02-03 04:05:06");  // 16
    b.Field("NoDefault", fldINT32);                                       // 17
    b.Field("Long", fldZSTRING, 3).SetDefaultValue("abcdef");             // 18
    db.Create("DEFS", b.Def);
    auto c = db.Open("DEFS");

    const TDateTime fixed = EncodeDate(2024, 3, 15) + EncodeTime(13, 45, 30, 250);
    c->GetTable()->GetDataFile().Clock = [fixed] { return fixed; };
    const int32_t today = DayNumber(2024, 3, 15);
    const int32_t nowMs = ((13 * 60 + 45) * 60 + 30) * 1000 + 250;

    std::vector<uint8_t> record(c->GetCursorRecordSize(), 0xAA);
    c->InitRecord(record.data());
    bool blank = true;
    EXPECT_EQ(static_cast<int32_t>(Raw(FieldBytes(*c, 1, record.data(), blank), 4)), today);
    EXPECT_FALSE(blank);
    EXPECT_EQ(static_cast<int32_t>(Raw(FieldBytes(*c, 2, record.data(), blank), 4)), nowMs);
    EXPECT_EQ(StoredDouble(FieldBytes(*c, 3, record.data(), blank)),
              static_cast<double>(today) * MSecsPerDay + nowMs);
    EXPECT_EQ(StoredDouble(FieldBytes(*c, 4, record.data(), blank)), static_cast<double>(today) * MSecsPerDay);
    // The time alone lies on day zero.
    EXPECT_EQ(StoredDouble(FieldBytes(*c, 5, record.data(), blank)), static_cast<double>(DateDelta) * MSecsPerDay + nowMs);
    EXPECT_STREQ(reinterpret_cast<const char*>(FieldBytes(*c, 6, record.data(), blank).data()), "abc");
    EXPECT_EQ(static_cast<int16_t>(Raw(FieldBytes(*c, 7, record.data(), blank), 2)), -5);
    EXPECT_EQ(static_cast<int32_t>(Raw(FieldBytes(*c, 8, record.data(), blank), 4)), 123456);
    EXPECT_EQ(Raw(FieldBytes(*c, 9, record.data(), blank), 2), 65535u);
    EXPECT_EQ(static_cast<int64_t>(Raw(FieldBytes(*c, 10, record.data(), blank), 8)), 9000000000LL);
    EXPECT_EQ(StoredDouble(FieldBytes(*c, 11, record.data(), blank)), 1.5);
    TCurrency money = 0;
    ASSERT_TRUE(BCDToCurrValue(FieldBytes(*c, 12, record.data(), blank).data(), money));
    EXPECT_EQ(money, 123400);  // two places, the half rounded to even
    EXPECT_EQ(Raw(FieldBytes(*c, 13, record.data(), blank), 2), 1u);
    EXPECT_EQ(static_cast<int32_t>(Raw(FieldBytes(*c, 14, record.data(), blank), 4)), DayNumber(2001, 2, 3));
    EXPECT_EQ(static_cast<int32_t>(Raw(FieldBytes(*c, 15, record.data(), blank), 4)), (12 * 3600 + 34 * 60 + 56) * 1000);
    EXPECT_EQ(StoredDouble(FieldBytes(*c, 16, record.data(), blank)),
              static_cast<double>(DayNumber(2001, 2, 3)) * MSecsPerDay + (4 * 3600 + 5 * 60 + 6) * 1000);
    // No default: blank and zero, like every byte the defaults do not touch.
    const auto none = FieldBytes(*c, 17, record.data(), blank);
    EXPECT_TRUE(blank);
    EXPECT_EQ(Raw(none, 4), 0u);
    EXPECT_EQ(record[0], 0);
    // A default longer than its field keeps the terminator inside the field.
    EXPECT_STREQ(reinterpret_cast<const char*>(FieldBytes(*c, 18, record.data(), blank).data()), "abc");

    // The real clock, bracketed by readings taken before and after.
    c->GetTable()->GetDataFile().Clock = nullptr;
    auto localNow = [] {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        std::tm local{};
        time_t s = ts.tv_sec;
        localtime_r(&s, &local);
        return (static_cast<double>(ts.tv_sec) + local.tm_gmtoff) * 1000.0 + ts.tv_nsec / 1000000;
    };
    // Local milliseconds since 1970 against the stored milliseconds since 0001-01-01.
    const double epoch = (25569.0 + DateDelta) * MSecsPerDay;
    const double before = epoch + localNow() - 1;
    c->InitRecord(record.data());
    const double after = epoch + localNow() + 1;
    const double stamp = StoredDouble(FieldBytes(*c, 3, record.data(), blank));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    const int32_t dayNo = static_cast<int32_t>(Raw(FieldBytes(*c, 1, record.data(), blank), 4));
    EXPECT_GE(dayNo, static_cast<int32_t>(std::floor(before / MSecsPerDay)));
    EXPECT_LE(dayNo, static_cast<int32_t>(std::floor(after / MSecsPerDay)));
}

TEST(RecordDefaults, WithoutDefaultsOnlyZeroesAndBadTextsRaise) {
    TestDb db;
    TableBuilder plain;
    plain.Field("Id", fldINT32);
    plain.Field("Name", fldZSTRING, 20);
    db.Create("PLAIN", plain.Def);
    auto c = db.Open("PLAIN");
    std::vector<uint8_t> record(c->GetCursorRecordSize() + 4, 0xAA);
    c->InitRecord(record.data());
    for (std::size_t i = 0; i < c->GetCursorRecordSize(); ++i) ASSERT_EQ(record[i], 0) << i;
    // Nothing beyond the record size is touched.
    EXPECT_EQ(record[c->GetCursorRecordSize()], 0xAA);
    std::fill(record.begin(), record.end(), 0x55);
    c->ClearRecordBuffer(record.data());
    EXPECT_EQ(record[0], 0);
    EXPECT_EQ(record[c->GetCursorRecordSize() - 1], 0);
    EXPECT_EQ(record[c->GetCursorRecordSize()], 0x55);

    TableBuilder bad;
    bad.Field("A", fldINT32).SetDefaultValue("7");
    bad.Field("B", fldDATE).SetDefaultValue("2001-01-01");
    db.Create("BAD", bad.Def);
    auto c2 = db.Open("BAD");
    // The files refuse such texts, so the definition is changed in memory.
    TFieldDesc badDate;
    c2->GetTableFieldDesc(2, badDate);
    badDate.SetDefaultValue("2001-13-45");
    c2->SetFieldDesc(2, badDate);
    std::vector<uint8_t> r2(c2->GetCursorRecordSize(), 0);
    EXPECT_THROW(c2->InitRecord(r2.data()), EConvertError);
    // The record holds what was converted before the bad text.
    bool blank = true;
    EXPECT_EQ(Raw(FieldBytes(*c2, 1, r2.data(), blank), 4), 7u);
    EXPECT_FALSE(blank);

    TableBuilder badInt;
    badInt.Field("A", fldINT16).SetDefaultValue("12");
    db.Create("BADINT", badInt.Def);
    auto c3 = db.Open("BADINT");
    TFieldDesc badNumber;
    c3->GetTableFieldDesc(1, badNumber);
    badNumber.SetDefaultValue("12x");
    c3->SetFieldDesc(1, badNumber);
    std::vector<uint8_t> r3(c3->GetCursorRecordSize(), 0);
    EXPECT_THROW(c3->InitRecord(r3.data()), EConvertError);
}

TEST(RecordConstraints, RequiredMinimumAndMaximumWithTheirCodes) {
    TestDb db;
    TableBuilder b;
    b.Field("Code", fldINT32).SetRequired(1);  // 1
    auto& name = b.Field("Name", fldZSTRING, 10);  // 2
    name.SetMinValue("B");
    name.SetMaxValue("M");
    auto& qty = b.Field("Qty", fldINT32);  // 3
    qty.SetMinValue("1");
    qty.SetMaxValue("100");
    db.Create("CHECKED", b.Def);
    auto c = db.Open("CHECKED");

    auto image = [&](bool withCode, const std::string& text, int32_t q, bool withQty) {
        RecordImage r(*c);
        if (withCode) r.Int(1, 5);
        r.Text(2, text);
        if (withQty) r.Int(3, q);
        return std::vector<uint8_t>(r.data(), r.data() + c->GetCursorRecordSize());
    };

    auto ok = image(true, "B", 1, true);
    EXPECT_EQ(RaisedBy([&] { c->ValidateRecordValues(ok.data()); }).code, 0);
    ok = image(true, "M", 100, true);
    EXPECT_EQ(RaisedBy([&] { c->ValidateRecordValues(ok.data()); }).code, 0);

    auto noCode = image(false, "C", 5, true);
    Raised r = RaisedBy([&] { c->ValidateRecordValues(noCode.data()); });
    EXPECT_EQ(r.code, KURA_REQDERR);
    EXPECT_EQ(r.field, "Code");
    EXPECT_EQ(r.table, "CHECKED");

    auto low = image(true, "A", 5, true);
    r = RaisedBy([&] { c->ValidateRecordValues(low.data()); });
    EXPECT_EQ(r.code, KURA_MINVALERR);
    EXPECT_EQ(r.field, "Name");
    auto high = image(true, "N", 5, true);
    EXPECT_EQ(RaisedBy([&] { c->ValidateRecordValues(high.data()); }).code, KURA_MAXVALERR);
    // Case matters: a lower-case "b" sorts after "M" byte by byte.
    auto lower = image(true, "b", 5, true);
    EXPECT_EQ(RaisedBy([&] { c->ValidateRecordValues(lower.data()); }).code, KURA_MAXVALERR);

    auto big = image(true, "C", 101, true);
    r = RaisedBy([&] { c->ValidateRecordValues(big.data()); });
    EXPECT_EQ(r.code, KURA_MAXVALERR);
    EXPECT_EQ(r.field, "Qty");
    // A blank number is checked on its zero bytes.
    auto blankQty = image(true, "C", 0, false);
    EXPECT_EQ(RaisedBy([&] { c->ValidateRecordValues(blankQty.data()); }).code, KURA_MINVALERR);

    // Only the first failing field is reported.
    auto both = image(false, "A", 500, true);
    EXPECT_EQ(RaisedBy([&] { c->ValidateRecordValues(both.data()); }).code, KURA_REQDERR);
}

TEST(RecordConstraints, BoundsOfEveryComparedType) {
    TestDb db;
    TableBuilder b;
    b.Field("S", fldZSTRING, 10);
    db.Create("BOUNDS", b.Def);
    auto c = db.Open("BOUNDS");

    struct Case {
        TEngineFieldType type;
        uint8_t size, decimals;
        const char* bound;
        std::vector<uint8_t> below, equal, above;
    };
    auto le = [](uint64_t v, int n) {
        std::vector<uint8_t> out(260, 0);
        for (int i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
        return out;
    };
    auto dbl = [](double d) {
        std::vector<uint8_t> out(260, 0);
        dfbytes::PutDouble(out.data(), d);
        return out;
    };
    auto bcd = [](TCurrency v) {
        std::vector<uint8_t> out(260, 0);
        CurrToBCDValue(v, 2, out.data());
        return out;
    };
    const double day = DayNumber(2020, 5, 6);
    const double stamp = day * MSecsPerDay + 3723000;  // 01:02:03
    std::vector<Case> cases = {
        {fldINT16, 2, 0, "-3", le(static_cast<uint16_t>(-4), 2), le(static_cast<uint16_t>(-3), 2), le(2, 2)},
        {fldINT32, 4, 0, "70000", le(69999, 4), le(70000, 4), le(70001, 4)},
        {fldUINT16, 2, 0, "40000", le(39999, 2), le(40000, 2), le(40001, 2)},
        {fldINT64, 8, 0, "-9000000000", le(static_cast<uint64_t>(-9000000001LL), 8),
         le(static_cast<uint64_t>(-9000000000LL), 8), le(0, 8)},
        // A value equal to the bound's text passes both bounds.
        {fldFLOAT, 8, 0, "0.1", dbl(0.09), dbl(0.1), dbl(0.11)},
        {fldBCD, 34, 2, "12.34", bcd(123300), bcd(123400), bcd(123500)},
        {fldDATE, 4, 0, "2020-05-06", le(static_cast<uint32_t>(day - 1), 4), le(static_cast<uint32_t>(day), 4),
         le(static_cast<uint32_t>(day + 1), 4)},
        {fldTIME, 4, 0, "01:02:03", le(3722999, 4), le(3723000, 4), le(3723001, 4)},
        {fldTIMESTAMP, 8, 0, "2020-05-06 01:02:03", dbl(stamp - 1), dbl(stamp), dbl(stamp + 1)},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(static_cast<int>(k.type));
        TFieldDesc d;
        d.SetFieldType(k.type);
        d.SetStoredSize(k.size);
        d.SetStoredDecimals(k.decimals);
        EXPECT_FALSE(c->CheckFieldBound(k.bound, 1, d, k.below.data()));
        EXPECT_TRUE(c->CheckFieldBound(k.bound, 1, d, k.equal.data()));
        EXPECT_TRUE(c->CheckFieldBound(k.bound, 1, d, k.above.data()));
        EXPECT_TRUE(c->CheckFieldBound(k.bound, 2, d, k.below.data()));
        EXPECT_TRUE(c->CheckFieldBound(k.bound, 2, d, k.equal.data()));
        EXPECT_FALSE(c->CheckFieldBound(k.bound, 2, d, k.above.data()));
    }

    // Types without an order pass whatever the bound says.
    TFieldDesc boolean;
    boolean.SetFieldType(fldBOOL);
    boolean.SetStoredSize(2);
    auto zero = le(0, 2);
    EXPECT_TRUE(c->CheckFieldBound("True", 1, boolean, zero.data()));
    TFieldDesc blob;
    blob.SetFieldType(fldBLOB);
    blob.SetStoredSize(8);
    EXPECT_TRUE(c->CheckFieldBound("x", 2, blob, zero.data()));

    // A string without its terminator is read only over its stored bytes.
    TFieldDesc text;
    text.SetFieldType(fldZSTRING);
    text.SetStoredSize(3);
    std::vector<uint8_t> unterminated(260, 0);
    std::memcpy(unterminated.data(), "ZZZQQQ", 6);
    EXPECT_TRUE(c->CheckFieldBound("ZZZA", 2, text, unterminated.data()));
    EXPECT_TRUE(c->CheckFieldBound("ZZZ", 2, text, unterminated.data()));
    EXPECT_FALSE(c->CheckFieldBound("ZZY", 2, text, unterminated.data()));

    // Bound texts that are no values of the type raise the conversion error.
    TFieldDesc number;
    number.SetFieldType(fldINT32);
    number.SetStoredSize(4);
    EXPECT_THROW(c->CheckFieldBound("CURRENT_DATE", 1, number, zero.data()), EConvertError);
    TFieldDesc date;
    date.SetFieldType(fldDATE);
    date.SetStoredSize(4);
    EXPECT_THROW(c->CheckFieldBound("CURRENT_DATE", 1, date, zero.data()), EConvertError);

    EXPECT_EQ(c->GetBlobBlockCount(0), 0);
    EXPECT_EQ(c->GetBlobBlockCount(-5), 0);
    const int32_t blockData = c->GetBlobBlockDataSize();
    ASSERT_GT(blockData, 0);
    EXPECT_EQ(c->GetBlobBlockCount(1), 1);
    EXPECT_EQ(c->GetBlobBlockCount(blockData), 1);
    EXPECT_EQ(c->GetBlobBlockCount(blockData + 1), 2);
    EXPECT_EQ(c->GetBlobBlockCount(INT32_MAX), static_cast<int32_t>((int64_t{INT32_MAX} + blockData - 1) / blockData));
}

TEST(RecordConstraints, RecordWritesAreCheckedFirst) {
    TestDb db;
    TableBuilder b;
    b.Field("Code", fldINT32).SetRequired(1);
    b.Field("Qty", fldINT16).SetMaxValue("10");
    auto& day = b.Field("Day", fldDATE);
    day.SetDefaultValue("CURRENT_DATE");
    day.SetMinValue("2000-01-01");
    db.Create("WRITES", b.Def);
    auto c = db.Open("WRITES", false);
    c->GetTable()->GetDataFile().Clock = [] { return EncodeDate(2024, 3, 15) + 0.5; };

    std::vector<uint8_t> record(c->GetCursorRecordSize(), 0);
    c->InitRecord(record.data());
    // The default date passes its minimum; the missing code does not pass.
    EXPECT_EQ(RaisedBy([&] { c->AppendRecord(record.data(), false); }).code, KURA_REQDERR);
    EXPECT_EQ(c->GetTableRecordCount(), 0u);
    uint8_t v[4] = {7, 0, 0, 0};
    c->PutTableField(1, record.data(), v);
    uint8_t eleven[2] = {11, 0};
    c->PutTableField(2, record.data(), eleven);
    Raised r = RaisedBy([&] { c->AppendRecord(record.data(), false); });
    EXPECT_EQ(r.code, KURA_MAXVALERR);
    EXPECT_EQ(r.field, "Qty");
    uint8_t ten[2] = {10, 0};
    c->PutTableField(2, record.data(), ten);
    c->AppendRecord(record.data(), false);
    EXPECT_EQ(c->GetTableRecordCount(), 1u);
}
