#include "engine/files/FieldTypes.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <iterator>
#include <vector>

#include "engine/files/Bcd.h"

namespace kura {
namespace {

using Bytes = std::vector<uint8_t>;

// Keys one value into a segment with a guard byte behind it; returns the segment
// without the guard and checks the guard survived.
Bytes Key(TEngineFieldType type, uint8_t storedSize, Bytes value, bool descending = false,
          uint16_t language = 0, bool caseInsensitive = false) {
    const size_t length = 1u + GetFieldDataSize(type, storedSize);
    Bytes segment(length + 1, 0xEE);
    segment[0] = 1;
    FieldValueToKey(type, storedSize, value.data(), segment.data(), language, 0, descending, caseInsensitive);
    EXPECT_EQ(segment.back(), 0xEE) << "segment overrun for type " << int(type);
    segment.pop_back();
    return segment;
}

TEST(FieldTypes, CodesStoredSizesAndKeyWidths) {
    struct Row {
        TEngineFieldType type;
        int code;
        int stored;      // for a declared size of 20
        int keyWidth;
    };
    const Row rows[] = {
        {fldZSTRING, 1, 21, 21},  {fldDATE, 2, 4, 4},     {fldBLOB, 3, 8, 8},     {fldBOOL, 4, 2, 2},
        {fldINT16, 5, 2, 2},      {fldINT32, 6, 4, 4},    {fldFLOAT, 7, 8, 8},    {fldBCD, 8, 34, 8},
        {fldBYTES, 9, 20, 20},    {fldTIME, 10, 4, 4},    {fldTIMESTAMP, 11, 8, 8}, {fldUINT16, 12, 2, 2},
        {fldUINT32, 13, 4, 4},    {fldFLOATIEEE, 14, 10, 10}, {fldVARBYTES, 15, 20, 20}, {fldCURSOR, 17, 20, 20},
        {fldINT64, 18, 8, 8},     {fldADT, 20, 20, 20},   {fldARRAY, 21, 20, 20}, {fldREF, 22, 20, 20},
        {fldTABLE, 23, 20, 20},   {16, 16, 20, 20},       {0, 0, 20, 20},         {200, 200, 20, 20},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(r.type, r.code);
        const uint16_t stored = GetFieldPhysicalSize(r.type, 20);
        EXPECT_EQ(stored, r.stored) << "type " << r.code;
        EXPECT_EQ(GetFieldDataSize(r.type, static_cast<uint8_t>(stored)), r.keyWidth) << "type " << r.code;
    }
    // Fixed widths ignore the declared size; a 255-character string does not wrap.
    EXPECT_EQ(GetFieldPhysicalSize(fldFLOATIEEE, 0), 10);
    EXPECT_EQ(GetFieldPhysicalSize(fldBCD, 200), 34);
    EXPECT_EQ(GetFieldPhysicalSize(fldZSTRING, 255), 256);
    EXPECT_EQ(GetFieldPhysicalDecimals(3), 3);

    EXPECT_EQ(fldstNONE, 0);
    EXPECT_EQ(fldstMONEY, 21);
    EXPECT_EQ(fldstMEMO, 22);
    EXPECT_EQ(fldstFMTMEMO, 24);
    EXPECT_EQ(fldstGRAPHIC, 26);
    EXPECT_EQ(fldstTYPEDBINARY, 28);
    EXPECT_EQ(fldstAUTOINC, 29);
    EXPECT_EQ(fldstFIXED, 31);
    EXPECT_EQ(fldstUNICODE, 32);
}

TEST(FieldTypes, KeySegmentOfEveryNumericType) {
    EXPECT_EQ(Key(fldINT32, 4, {1, 0, 0, 0}), (Bytes{1, 0x80, 0, 0, 1}));
    EXPECT_EQ(Key(fldDATE, 4, {0xFF, 0xFF, 0xFF, 0xFF}), (Bytes{1, 0x7F, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Key(fldTIME, 4, {0x10, 0x20, 0x30, 0x40}), (Bytes{1, 0xC0, 0x30, 0x20, 0x10}));
    EXPECT_EQ(Key(fldINT16, 2, {0x00, 0x80}), (Bytes{1, 0x00, 0x00}));  // -32768
    EXPECT_EQ(Key(fldUINT16, 2, {0xFF, 0xFF}), (Bytes{1, 0xFF, 0xFF}));
    EXPECT_EQ(Key(fldBOOL, 2, {1, 0}), (Bytes{1, 0x00, 0x01}));
    EXPECT_EQ(Key(fldINT64, 8, {2, 0, 0, 0, 0, 0, 0, 0}), (Bytes{1, 0x80, 0, 0, 0, 0, 0, 0, 2}));
    // 1.0 and -1.0 as doubles, little-endian in the record.
    EXPECT_EQ(Key(fldFLOAT, 8, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}), (Bytes{1, 0xBF, 0xF0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Key(fldTIMESTAMP, 8, {0, 0, 0, 0, 0, 0, 0xF0, 0xBF}),
              (Bytes{1, 0x40, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));

    // A BCD keys as its currency: -1.5 is -15000 ten-thousandths.
    Bytes bcd(BcdSize);
    ASSERT_TRUE(CurrToBCDValue(-15000, 2, bcd.data()));
    const uint64_t image = static_cast<uint64_t>(int64_t{-15000}) ^ (uint64_t{1} << 63);
    Bytes expected{1};
    for (int i = 7; i >= 0; --i) expected.push_back(static_cast<uint8_t>(image >> (8 * i)));
    EXPECT_EQ(Key(fldBCD, 34, bcd), expected);

    // BCD keys of values with various places sort as the values do.
    const TCurrency values[] = {INT64_MIN, -150000000, -15001, -15000, -1, 0, 1, 9999, 10000, 123456789, INT64_MAX};
    Bytes previous;
    for (size_t i = 0; i < std::size(values); ++i) {
        ASSERT_TRUE(CurrToBCDValue(values[i], 4 + static_cast<int>(i % 5), bcd.data()));
        Bytes key = Key(fldBCD, 34, bcd);
        if (!previous.empty()) {
            EXPECT_GT(std::memcmp(key.data(), previous.data(), key.size()), 0) << values[i];
        }
        previous = key;
    }
}

TEST(FieldTypes, RawTypesAndDamagedDescriptorsCopyBytesWithinSize) {
    EXPECT_EQ(Key(fldBYTES, 3, {9, 8, 7}), (Bytes{1, 9, 8, 7}));
    EXPECT_EQ(Key(fldBLOB, 8, {1, 2, 3, 4, 5, 6, 7, 8}), (Bytes{1, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(Key(16, 2, {5, 6}), (Bytes{1, 5, 6}));       // unknown type: raw
    EXPECT_EQ(Key(fldUINT32, 4, {1, 2, 3, 4}), (Bytes{1, 1, 2, 3, 4}));
    // An integer field whose stored size says 2 is keyed as its 2 raw bytes.
    EXPECT_EQ(Key(fldINT32, 2, {1, 2}), (Bytes{1, 1, 2}));
    // A BCD with a damaged stored size never reads 34 bytes.
    EXPECT_EQ(Key(fldBCD, 4, {1, 2, 3, 4}), (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(FieldTypes, StringKeysUpperCaseInPlaceAndStayInsideTheirSize) {
    // Declared size 20: stored 21, segment 22.
    Bytes value(21, 0);
    std::memcpy(value.data(), "abc", 3);
    Bytes segment(22, 0xAA);
    segment[0] = 1;
    FieldValueToKey(fldZSTRING, 21, value.data(), segment.data(), 0, 0, false, true);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(value.data())), "ABC");
    Bytes expected(22, 0);
    expected[0] = 1;
    std::memcpy(expected.data() + 1, "ABC", 3);
    EXPECT_EQ(segment, expected);  // zero-filled after the terminator

    // Case-sensitive keys leave the value alone.
    std::memcpy(value.data(), "xyz", 3);
    FieldValueToKey(fldZSTRING, 21, value.data(), segment.data(), 0, 0, false, false);
    EXPECT_EQ(segment[1], 'x');

    // A damaged value without a terminator: only stored size - 1 characters.
    Bytes full = {'a', 'b', 'c', 'd'};
    Bytes key(5, 0xAA);
    key[0] = 1;
    FieldValueToKey(fldZSTRING, 4, full.data(), key.data(), 0, 0, false, true);
    EXPECT_EQ(key, (Bytes{1, 'A', 'B', 'C', 0}));
    EXPECT_EQ(full, (Bytes{'A', 'B', 'C', 'd'}));
}

TEST(FieldTypes, DescendingSegmentsInvertOnlyWithoutLanguage) {
    EXPECT_EQ(Key(fldINT32, 4, {1, 0, 0, 0}, true, 0), (Bytes{0xFE, 0x7F, 0xFF, 0xFF, 0xFE}));
    EXPECT_EQ(Key(fldINT32, 4, {1, 0, 0, 0}, true, 1033), (Bytes{1, 0x80, 0, 0, 1}));

    // String: the flag and stored size - 1 text bytes; the last text byte stays.
    Bytes text = {'a', 'b', 0, 0};
    EXPECT_EQ(Key(fldZSTRING, 4, text, true, 0), (Bytes{0xFE, 0x9E, 0x9D, 0xFF, 0x00}));
    // BCD: flag and all eight currency bytes.
    Bytes bcd(BcdSize);
    ASSERT_TRUE(CurrToBCDValue(0, 4, bcd.data()));
    EXPECT_EQ(Key(fldBCD, 34, bcd, true, 0), (Bytes{0xFE, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));

    // Descending keys of several integers sort in reverse value order.
    const int32_t values[] = {INT32_MIN, -7, 0, 5, INT32_MAX};
    Bytes previous;
    for (int32_t v : values) {
        const uint32_t u = static_cast<uint32_t>(v);
        Bytes key = Key(fldINT32, 4, {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16), uint8_t(u >> 24)}, true);
        if (!previous.empty()) {
            EXPECT_LT(std::memcmp(key.data(), previous.data(), key.size()), 0) << v;
        }
        previous = key;
    }
}

TEST(FieldTypes, CachedNumberComparisons) {
    for (auto* compare : {&CompareRecordNumber, &ComparePageNumber, &CompareBlockNumber, &CompareCachedNumbers}) {
        EXPECT_EQ(compare(1, 2), -1);
        EXPECT_EQ(compare(2, 1), 1);
        EXPECT_EQ(compare(7, 7), 0);
        EXPECT_EQ(compare(INT32_MIN, INT32_MAX), -1);  // signed, no wrapping subtraction
        EXPECT_EQ(compare(INT32_MAX, -1), 1);
    }
}

}  // namespace
}  // namespace kura
