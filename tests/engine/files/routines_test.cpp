#include "engine/files/Routines.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <set>

#include "engine/files/KeyEncoding.h"
#include "engine/files/OSServices.h"
#include "platform/Files.h"
#include "tests/common/TestSupport.h"

using namespace kura;

namespace {

bool Like(const char* text, const char* pattern) { return MatchLikePattern(0, 0, text, pattern); }

TDateTime D(int y, int m, int d) { return EncodeDate(y, m, d); }

// Code page 932 characters: "あ", "い", and "ソ"/"表", whose trail byte is 0x5C.
const std::string A = "\x82\xA0";
const std::string I = "\x82\xA2";
const std::string SO = "\x83\x5C";
const std::string HYO = "\x95\x5C";

}  // namespace

TEST(Like, SingleByteText) {
    for (const char* pattern : {"A%", "%C", "A_C", "%", "%%", "ABC", "_B_", "%B%", "A%C", "%%%C"}) {
        EXPECT_TRUE(Like("ABC", pattern)) << pattern;
    }
    for (const char* pattern : {"AB", "A_", "abc", "_", "ABCD", "%D", "B%", "____", ""}) {
        EXPECT_FALSE(Like("ABC", pattern)) << pattern;
    }
    EXPECT_TRUE(Like("", "%"));
    EXPECT_TRUE(Like("", ""));
    EXPECT_FALSE(Like("", "_"));
    EXPECT_TRUE(Like("AXBXC", "%X%C"));
    EXPECT_TRUE(Like("AXBXCXC", "%X%C"));
    EXPECT_FALSE(Like("AXBXCD", "%X%C"));
    EXPECT_TRUE(Like(nullptr, "%"));
    EXPECT_FALSE(Like(nullptr, "_"));
    EXPECT_FALSE(Like("x", nullptr));
}

TEST(Like, RemainderOfPercentSignsMatchesAtTheEndOfTheText) {
    EXPECT_TRUE(Like("A", "A%%"));
    EXPECT_TRUE(Like("", "%%%"));
    EXPECT_TRUE(Like("AB", "A%%B%%"));
    EXPECT_TRUE(Like("ABC", "ABC%%"));
    EXPECT_FALSE(Like("AB", "A%%C%%"));
    EXPECT_FALSE(Like("A", "A%_"));
}

TEST(Like, DoubleByteCharactersCountAsOne) {
    const std::string ai = A + I;
    EXPECT_TRUE(Like(ai.c_str(), "__"));
    EXPECT_FALSE(Like(ai.c_str(), "_"));
    EXPECT_FALSE(Like(ai.c_str(), "___"));
    EXPECT_TRUE(Like(ai.c_str(), (A + "%").c_str()));
    EXPECT_TRUE(Like(ai.c_str(), ("%" + I).c_str()));
    EXPECT_TRUE(Like(ai.c_str(), ("_" + I).c_str()));
    EXPECT_FALSE(Like(ai.c_str(), ("%" + A).c_str()));

    // Trail bytes are never characters of their own: 0x5C is no backslash, 0x41 no "A".
    const std::string so = SO + "X";
    EXPECT_TRUE(Like(so.c_str(), "_X"));
    EXPECT_TRUE(Like(SO.c_str(), "_"));
    EXPECT_FALSE(Like(SO.c_str(), "%\\"));
    EXPECT_FALSE(Like(SO.c_str(), "__"));
    EXPECT_FALSE(Like("\x82\x41", "%A"));
    EXPECT_TRUE(Like(("x" + HYO + SO + "y").c_str(), ("%" + SO + "_").c_str()));

    // A lead byte cut off by the terminator is one character and is not over-read.
    EXPECT_TRUE(Like("A\x82", "A_"));
    EXPECT_TRUE(Like("A\x82", "A\x82"));
    EXPECT_FALSE(Like("A", "A\x82"));
}

TEST(Routines, CharactersAndBuffers) {
    const std::string text = A + "x" + "\x82";
    const char* p = text.c_str();
    NextCharDBCS(p);
    EXPECT_EQ(p - text.c_str(), 2);
    NextCharDBCS(p);
    EXPECT_EQ(p - text.c_str(), 3);
    NextCharDBCS(p);  // a lone lead byte before the terminator
    EXPECT_EQ(p - text.c_str(), 4);

    // Counting and cutting walk the same characters: both lead-byte ranges, a lone
    // lead byte at the end as one, the single-byte katakana 0xA1-0xDF as one each.
    const std::string rin = "\xEA\xA3", ka = "\xB1";
    const struct {
        std::string Text;
        size_t Chars;
        size_t MaxChars, MaxBytes, Prefix;
    } cuts[] = {
        {A + "x" + "\x82", 3, 2, SIZE_MAX, 3},  {A + SO + HYO, 3, SIZE_MAX, 5, 4}, {rin + rin, 2, SIZE_MAX, 3, 2},
        {"x" + rin + ka, 3, 2, SIZE_MAX, 3},     {"x" + rin + ka, 3, SIZE_MAX, 2, 1}, {ka + ka + rin, 3, 9, 3, 2},
        {"", 0, 5, 5, 0},                        {rin, 1, 0, SIZE_MAX, 0},           {"\xFC\x40" "a", 2, SIZE_MAX, 2, 2},
    };
    for (const auto& c : cuts) {
        EXPECT_EQ(CharCountDBCS(c.Text), c.Chars) << c.Text;
        EXPECT_EQ(CharPrefixDBCS(c.Text, c.MaxChars, c.MaxBytes), c.Prefix) << c.Text;
    }

    EXPECT_EQ(CompareCharLocale(0, 0, A.c_str(), I.c_str()), -1);
    EXPECT_EQ(CompareCharLocale(0, 0, A.c_str(), A.c_str()), 0);
    EXPECT_EQ(CompareCharsLocale(0, 0, 'b', 'a'), 1);

    const unsigned char x[] = {1, 2, 0x80};
    const unsigned char y[] = {1, 2, 0x7F};
    EXPECT_EQ(CompareBuffers(nullptr, y, 3, false), 1);
    EXPECT_EQ(CompareBuffers(x, y, 2, false), 0);
    EXPECT_EQ(CompareBuffers(x, y, 0, true), 0);
    EXPECT_EQ(CompareBuffers(x, y, 3, false), 1);
    EXPECT_EQ(CompareBuffers(y, x, 3, false), -1);
    EXPECT_EQ(CompareBuffers(x, y, 3, true), -1);
}

TEST(Routines, IsoWeeksAcrossYearEnds) {
    struct Case {
        int y, m, d, week;
    };
    const Case cases[] = {{2004, 12, 27, 53}, {2005, 1, 2, 53}, {2005, 1, 3, 1},  {2008, 12, 29, 1},
                          {2020, 12, 31, 53}, {2021, 1, 3, 53}, {2021, 1, 4, 1},  {2024, 12, 30, 1},
                          {2024, 12, 29, 52}, {2010, 1, 3, 53}, {2016, 1, 1, 53}, {2018, 12, 31, 1},
                          {2023, 1, 1, 52},   {1, 1, 1, 1},     {9999, 12, 31, 52}, {1899, 12, 30, 52}};
    for (const Case& c : cases) {
        EXPECT_EQ(WeekOfYear(D(c.y, c.m, c.d)), c.week) << c.y << "-" << c.m << "-" << c.d;
    }
    EXPECT_EQ(WeekOfYear(D(2021, 1, 3) + 0.99), 53);  // the time of day is ignored
    EXPECT_EQ(FirstWeekStart(2021), D(2021, 1, 4));
    EXPECT_EQ(FirstWeekStart(2020), D(2019, 12, 30));
    EXPECT_EQ(FirstWeekStart(2015), D(2014, 12, 29));

    EXPECT_EQ(ISODayOfWeek(D(1899, 12, 30)), 6);
    EXPECT_EQ(ISODayOfWeek(D(2024, 12, 30)), 1);
    EXPECT_EQ(ISODayOfWeek(D(2021, 1, 3)), 7);
    EXPECT_EQ(ISODayOfWeek(-1.25), 5);  // 1899-12-29, a Friday
    EXPECT_EQ(ISODayOfWeek(D(1, 1, 1)), 1);

    EXPECT_EQ(DayOfYear(D(2020, 12, 31)), 366);
    EXPECT_EQ(DayOfYear(D(2021, 12, 31) + 0.75), 365);
    EXPECT_EQ(DayOfYear(D(2020, 3, 1)), 61);
    EXPECT_EQ(DayOfYear(D(1, 1, 1)), 1);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(WeekOfYear(nan), 0);
    EXPECT_EQ(DayOfYear(1e12), 0);
    EXPECT_EQ(ISODayOfWeek(-1e12), 0);
}

TEST(Routines, RoundUpToMultipleGrowsZeroFilled) {
    void* buffer = nullptr;
    int32_t capacity = 0;
    RoundUpToMultiple(10, 8, buffer, capacity);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(capacity, 16);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(static_cast<unsigned char*>(buffer)[i], 0);
    std::memset(buffer, 0xAB, 16);
    RoundUpToMultiple(17, 8, buffer, capacity);
    EXPECT_EQ(capacity, 24);
    EXPECT_EQ(static_cast<unsigned char*>(buffer)[15], 0xAB);
    EXPECT_EQ(static_cast<unsigned char*>(buffer)[16], 0);
    EXPECT_EQ(static_cast<unsigned char*>(buffer)[23], 0);
    RoundUpToMultiple(5, 8, buffer, capacity);  // never shrinks
    EXPECT_EQ(capacity, 24);
    RoundUpToMultiple(25, 0, buffer, capacity);  // a step below 1 counts as 1
    EXPECT_EQ(capacity, 25);
    EXPECT_THROW(RoundUpToMultiple(std::numeric_limits<int32_t>::max(), 1024, buffer, capacity), std::bad_alloc);
    EXPECT_EQ(capacity, 25);
    RoundUpToMultiple(0, 8, buffer, capacity);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(capacity, 0);
    RoundUpToMultiple(-1, 8, buffer, capacity);  // nothing to free
    EXPECT_EQ(capacity, 0);
}

TEST(Routines, RoundingGoesHalfAwayFromZero) {
    EXPECT_EQ(RoundFloat(2.5L, 0), 3.0L);
    EXPECT_EQ(RoundFloat(-2.5L, 0), -3.0L);
    EXPECT_EQ(RoundFloat(0.5L, 0), 1.0L);
    EXPECT_EQ(RoundFloat(1.5L, 0), 2.0L);
    EXPECT_EQ(RoundFloat(2.4L, 0), 2.0L);
    EXPECT_EQ(RoundFloat(0.0L, 3), 0.0L);
    EXPECT_NEAR(static_cast<double>(RoundFloat(1.2345L, 2)), 1.23, 1e-15);
    EXPECT_NEAR(static_cast<double>(RoundFloat(1.25L, 1)), 1.3, 1e-15);
    EXPECT_NEAR(static_cast<double>(RoundFloat(-1.25L, 1)), -1.3, 1e-15);
    EXPECT_NEAR(static_cast<double>(RoundFloat(123456.789L, 200)), 123456.789, 1e-9);
    EXPECT_TRUE(std::isnan(RoundFloat(std::numeric_limits<long double>::quiet_NaN(), 2)));
    EXPECT_EQ(FloatPower(0, 7.0L), 1.0L);
    EXPECT_EQ(FloatPower(1, 7.0L), 7.0L);
    EXPECT_EQ(FloatPower(5, 0.0L), 0.0L);
    EXPECT_EQ(FloatPower(3, 2.0L), 8.0L);

    EXPECT_EQ(RoundCurrency(12345, 2), 12300);   // 1.2345 -> 1.23
    EXPECT_EQ(RoundCurrency(-50, 2), -100);      // -0.005 -> -0.01
    EXPECT_EQ(RoundCurrency(25000, 0), 30000);   // 2.5 -> 3
    EXPECT_EQ(RoundCurrency(-25000, 0), -30000);
    EXPECT_EQ(RoundCurrency(5000, 0), 10000);
    EXPECT_EQ(RoundCurrency(4999, 0), 0);
    EXPECT_EQ(RoundCurrency(12355, 3), 12360);
    EXPECT_EQ(RoundCurrency(12345, 9), 12345);  // more than 4 decimals changes nothing
    EXPECT_EQ(RoundCurrency(0, 1), 0);
    // At the limits rounding away from zero would leave the range.
    EXPECT_EQ(RoundCurrency(std::numeric_limits<int64_t>::max(), 0), 9223372036854770000);
    EXPECT_EQ(RoundCurrency(std::numeric_limits<int64_t>::min(), 0), -9223372036854770000);
    EXPECT_EQ(RoundCurrency(std::numeric_limits<int64_t>::max(), 3), 9223372036854775800);
}

TEST(Routines, ConstantChecks) {
    EXPECT_TRUE(IsValidWordStr("65535"));
    EXPECT_FALSE(IsValidWordStr("65536"));
    EXPECT_FALSE(IsValidWordStr("-1"));
    EXPECT_TRUE(IsValidSmallIntStr("-32768"));
    EXPECT_FALSE(IsValidSmallIntStr("32768"));
    EXPECT_TRUE(IsValidIntegerStr("2147483647"));
    EXPECT_FALSE(IsValidIntegerStr("2147483648"));
    EXPECT_FALSE(IsValidIntegerStr("12a"));
    EXPECT_TRUE(IsValidLargeIntStr("-9223372036854775808"));
    EXPECT_FALSE(IsValidLargeIntStr("9223372036854775808"));
    EXPECT_TRUE(IsValidBooleanStr("fAlSe"));
    EXPECT_FALSE(IsValidBooleanStr("no"));
    EXPECT_TRUE(IsValidFloatStr("-1.5e3"));
    EXPECT_FALSE(IsValidFloatStr("1,5"));
    EXPECT_FALSE(IsValidFloatStr(""));
    EXPECT_TRUE(IsValidCurrencyStr("922337203685477.5807"));
    EXPECT_FALSE(IsValidCurrencyStr("1e15"));
    EXPECT_TRUE(IsValidDateStr("2024-02-29"));
    EXPECT_FALSE(IsValidDateStr("2023-02-29"));
    EXPECT_TRUE(IsValidTimeStr("11:59:59.999 pm"));
    EXPECT_FALSE(IsValidTimeStr("24:00"));
    EXPECT_TRUE(IsValidTimeStampStr("2024-02-29 23:59"));
    EXPECT_TRUE(IsValidTimeStampStr("23:59"));
    EXPECT_TRUE(IsValidTimeStampStr("2024-02-29"));
    EXPECT_FALSE(IsValidTimeStampStr("CURRENT_TIMESTAMP"));
}

TEST(Routines, TextRoutines) {
    TStringList words;
    words.Add("old");
    SplitWords("a  b c", words);
    ASSERT_EQ(words.Count(), 4);
    EXPECT_EQ(words[0], "a");
    EXPECT_EQ(words[1], "");
    EXPECT_EQ(words[2], "b");
    EXPECT_EQ(words[3], "c");
    SplitWords("", words);
    EXPECT_EQ(words.Count(), 0);

    std::string s = "key=value=x";
    std::string token;
    ExtractToken(s, "=", token);
    EXPECT_EQ(token, "key");
    EXPECT_EQ(s, "value=x");
    ExtractToken(s, ";", token);
    EXPECT_EQ(token, "value=x");
    EXPECT_EQ(s, "");

    EXPECT_EQ(PadLeft("7", 3, '0'), "007");
    EXPECT_EQ(PadLeft("1234", 3, '0'), "1234");
    EXPECT_EQ(LeftStr("abc", 2), "ab");
    EXPECT_EQ(LeftStr("abc", 9), "abc");
    EXPECT_EQ(RightStr("abc", 2), "bc");
    EXPECT_EQ(RightStr("abc", -1), "");
    EXPECT_EQ(RPos("ab", "abcab"), 4);
    EXPECT_EQ(RPos("x", "abc"), 0);
    EXPECT_EQ(RPos("\\", SO + "\\" + SO), 3);

    char trim[] = "**a*b**";
    EXPECT_STREQ(StrTrimChar(trim, '*'), "a*b");
    char lead[] = "--x-";
    EXPECT_STREQ(StrTrimLeadingChar(lead, '-'), "x-");
    std::string tail = SO + "\\\\";
    EXPECT_STREQ(StrTrimTrailingChar(tail.data(), '\\'), SO.c_str());
    std::string onlyDbcs = SO;
    EXPECT_STREQ(StrTrimTrailingChar(onlyDbcs.data(), '\\'), SO.c_str());
    EXPECT_EQ(StrTrimChar(nullptr, 'x'), nullptr);

    EXPECT_EQ(StrPosIndex("c", "abc"), 3);
    EXPECT_EQ(StrPosIndex("z", "abc"), 0);
    EXPECT_EQ(StrPosIndex("A", "\x82\x41" "A"), 3);  // not the trail byte
    EXPECT_EQ(StrCountOccurs("aa", "aaaa"), 2);
    EXPECT_EQ(StrCountOccurs("aa", "aaa"), 1);
    EXPECT_EQ(StrCountOccurs("\\", (SO + "\\" + HYO).c_str()), 1);
    EXPECT_EQ(StrReplaceLength("ab", "xyz", "abcab"), 7);
    char replaced[16];
    StrReplaceAll("ab", "xyz", "abcab", replaced);
    EXPECT_STREQ(replaced, "xyzcxyz");
    StrReplaceAll("ab", "ab", "abcab", replaced);
    EXPECT_STREQ(replaced, "abcab");
    StrReplaceAll("b", "", "abcab", replaced);
    EXPECT_STREQ(replaced, "aca");
    const std::string path = SO + "\\x";
    std::string slashed(32, '\0');
    StrReplaceAll("\\", "/", path.c_str(), slashed.data());
    EXPECT_STREQ(slashed.c_str(), (SO + "/x").c_str());

    EXPECT_EQ(RemoveLineBreaks("a\r\nb\nc\r"), "abc");
    EXPECT_EQ(UnquoteDoubled('\'', "it''s"), "it's");
    EXPECT_EQ(UnquoteDoubled('\'', "''''"), "''");
    EXPECT_EQ(UnquoteDoubled('\'', "a\"\"b"), "a\"\"b");
    EXPECT_EQ(UnquoteDoubled('"', "say \"\"hi\"\""), "say \"hi\"");
    EXPECT_EQ(UnquoteDoubled('*', "a''b\"\"c'\""), "a'b\"c'\"");

    const TCharSet set = StringToCharSet(std::string("cab\xF0\0", 5));
    EXPECT_TRUE(set.test(0));
    EXPECT_EQ(CharSetToString(set), "abc\xF0");

    TStringList a;
    TStringList b;
    a.Add("Abc");
    a.Add("x");
    b.Add("aBC");
    b.Add("X");
    EXPECT_TRUE(SameStringLists(0, 0, &a, &b));
    EXPECT_TRUE(SameStringLists(0, 0, nullptr, nullptr));
    EXPECT_FALSE(SameStringLists(0, 0, &a, nullptr));
    b.Add("y");
    EXPECT_FALSE(SameStringLists(0, 0, &a, &b));
    AssignList(a, b);
    ASSERT_EQ(b.Count(), 2);
    EXPECT_EQ(b[0], "Abc");
    EXPECT_EQ(b[1], "x");
    b.Delete(1);
    b.Add("z");
    EXPECT_FALSE(SameStringLists(0, 0, &a, &b));

    unsigned char bytes[4] = {1, 2, 3, 4};
    ZeroBuffer(bytes, 3);
    EXPECT_EQ(bytes[2], 0);
    EXPECT_EQ(bytes[3], 4);
}

TEST(Paths, FolderEndingInTrailByte0x5C) {
    const std::string folder = "C:\\data\\" + SO;
    EXPECT_EQ(AddTrailingBackslash(folder), folder + "\\");
    EXPECT_EQ(AddTrailingBackslash(" " + folder + "\\ "), folder + "\\");
    EXPECT_EQ(StripTrailingBackslash(folder), folder);
    EXPECT_EQ(StripTrailingBackslash(folder + "\\"), folder);
    EXPECT_EQ(StripAllTrailingBackslashes(folder + "\\\\"), folder);
    EXPECT_EQ(StripAllTrailingBackslashes(HYO), HYO);
    EXPECT_EQ(StripBackslashes("\\\\" + SO + "\\"), SO);
    EXPECT_FALSE(ContainsPath(SO + ".DAT"));
    EXPECT_EQ(ExtractFileName(folder + "\\" + HYO + ".DAT"), HYO + ".DAT");
    EXPECT_EQ(ExtractFileName(SO + ".DAT"), SO + ".DAT");
    std::string name;
    SplitFileNameExt(folder + "\\" + SO + ".dat", ".DAT", name);
    EXPECT_EQ(name, SO);
}

// The name routines every other place goes through: ア (0x83 0x41) and ヂ (0x83 0x61)
// differ although their second bytes are a letter in two cases; 表 and ソ end in
// 0x5C and hold no separator.
TEST(Paths, NameRoutinesStepOverDoubleByteCharacters) {
    const std::string DZI = "\x83\x61", AA = "\x83\x41";
    struct Same {
        std::string a, b;
        bool same;
        int order;
    } same[] = {
        {AA, DZI, false, -1},     {"abc", "ABC", true, 0}, {AA + "x", AA + "X", true, 0},
        {HYO, "\x95/", false, 1}, {"a", "ab", false, -1}, {SO + "a", SO + "B", false, -1},
        {"", "", true, 0},
    };
    for (const Same& c : same) {
        SCOPED_TRACE(c.a + " " + c.b);
        EXPECT_EQ(SameNameText(c.a, c.b), c.same);
        EXPECT_EQ(CompareNameText(c.a, c.b), c.order);
        EXPECT_EQ(CompareNameText(c.b, c.a), -c.order);
    }
    EXPECT_EQ(UpperCaseName("ab" + DZI + "c"), "AB" + DZI + "C");

    struct Split {
        std::string path, folder, dir, name;
        size_t lastSeparator;
    } splits[] = {
        {"C:\\db\\" + HYO, "C:\\db\\", "C:\\db", HYO, 5},
        {HYO + "\\" + SO, HYO + "\\", HYO, SO, 2},
        {SO + HYO, "", "", SO + HYO, std::string::npos},
        {"C:" + SO, "C:", "C:", SO, std::string::npos},
        {"/tmp/" + SO + "/", "/tmp/" + SO + "/", "/tmp/" + SO, "", 7},
    };
    for (const Split& c : splits) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(ExtractFilePath(c.path), c.folder);
        EXPECT_EQ(ExtractFileDir(c.path), c.dir);
        EXPECT_EQ(ExtractFileName(c.path), c.name);
        EXPECT_EQ(LastDelimiter(c.path, "\\/"), c.lastSeparator);
    }
    EXPECT_EQ(FirstDelimiter(HYO + "\\a\\", "\\"), 2u);
    EXPECT_EQ(FirstDelimiter(HYO + "\\a\\", "\\", 3), 4u);
    EXPECT_EQ(NormalizePathDelimiters("\x95/a/"), "\x95/a\\");

    // Names that name a file, and those that would only make extensions or land
    // beside the folder.
    for (const std::string& name : std::vector<std::string>{SO, HYO + ".DAT", "a", "DB\\" + SO, ".x", "..."}) {
        EXPECT_TRUE(NamesTableFile(name)) << name;
    }
    for (const std::string& name : std::vector<std::string>{"", " ", ".", "..", ".DAT", "..dat", "DB\\", "DB/", SO + "\\", "C:", "DB\\ "}) {
        EXPECT_FALSE(NamesTableFile(name)) << name;
    }
}

TEST(Paths, NamesAndExtensions) {
    EXPECT_EQ(NormalizePathDelimiters("a/b/c"), "a\\b\\c");
    EXPECT_EQ(AddTrailingBackslash(" C:\\dir "), "C:\\dir\\");
    EXPECT_EQ(AddTrailingBackslash("dir\\"), "dir\\");
    EXPECT_EQ(AddTrailingBackslash("/tmp/"), "/tmp/");
    EXPECT_EQ(AddTrailingBackslash("  "), "");
    EXPECT_EQ(StripTrailingBackslash("dir\\\\"), "dir\\");
    EXPECT_EQ(StripLeadingBackslash(" \\\\dir"), "\\dir");
    EXPECT_EQ(StripAllLeadingBackslashes("\\/\\dir\\"), "dir\\");
    EXPECT_EQ(StripAllTrailingBackslashes("\\\\"), "");
    EXPECT_EQ(StripBackslashes("\\\\a\\b\\\\"), "a\\b");

    EXPECT_TRUE(ContainsPath(""));
    EXPECT_FALSE(ContainsPath("STAFF.DAT"));
    EXPECT_TRUE(ContainsPath("C:STAFF.DAT"));
    EXPECT_TRUE(ContainsPath("data\\STAFF"));
    EXPECT_TRUE(ContainsPath("/home/data/STAFF"));

    std::string name;
    SplitFileNameExt("C:\\d\\Staff.dat", ".DAT", name);
    EXPECT_EQ(name, "Staff");
    SplitFileNameExt("C:\\d\\Staff.dat", ".IDX", name);
    EXPECT_EQ(name, "Staff.dat");
    SplitFileNameExt("/d/Staff.dat", "", name);
    EXPECT_EQ(name, "Staff");
    ExtractFileExtPart("d.x\\name", "", name);
    EXPECT_EQ(name, "d.x\\name");
    ExtractFileExtPart("a.b.c", ".C", name);
    EXPECT_EQ(name, "a.b");
    EXPECT_EQ(ExtractFileExt("dir.x/name"), "");

    ReplaceFileExt(" Staff.DAT ", ".dat", ".IDX", name);
    EXPECT_EQ(name, "Staff.IDX");
    ReplaceFileExt("Staff", ".DAT", ".IDX", name);
    EXPECT_EQ(name, "Staff.IDX");
    ReplaceFileExt("Staff.TMP", ".DAT", ".IDX", name);
    EXPECT_EQ(name, "Staff.TMP.IDX");
}

TEST(Paths, UniqueTemporaryNamesNeverCollide) {
    test::TempDir dir;
    std::string first;
    CreateUniqueFileName(dir.path(), ".TMP", false, first);
    const std::string prefix = std::to_string(platform::GetCurrentThreadId()).substr(0, 5);
    EXPECT_EQ(first, dir.path() + "\\" + prefix + "0.TMP");

    std::set<std::string> names;
    for (int i = 0; i < 60; ++i) {
        std::string name;
        CreateUniqueFileName(dir.path() + "\\", ".TMP", false, name);
        EXPECT_FALSE(DiskFileExists(name)) << name;
        EXPECT_TRUE(names.insert(name).second) << name;
        auto handle = platform::CreateFile(name, platform::GENERIC_WRITE, 0, platform::CREATE_NEW,
                                           platform::FILE_ATTRIBUTE_NORMAL);
        ASSERT_NE(handle, platform::INVALID_HANDLE_VALUE) << name;
        platform::CloseHandle(handle);
        ASSERT_TRUE(DiskFileExists(name));
    }
    EXPECT_EQ(*names.rbegin(), dir.path() + "\\" + prefix + "9.TMP");  // 0..59, sorted as text

    // A gap left by a deleted file is used again.
    std::string gap = dir.path() + "\\" + prefix + "7.TMP";
    ASSERT_TRUE(platform::DeleteFile(gap));
    std::string again;
    CreateUniqueFileName(dir.path(), ".TMP", false, again);
    EXPECT_EQ(again, gap);
}

TEST(Routines, CharacterClassesAndNumbers) {
    EXPECT_TRUE(IsIdentStartChar('_'));
    EXPECT_TRUE(IsIdentStartChar('\x80'));
    EXPECT_TRUE(IsIdentStartChar('\xFE'));
    EXPECT_FALSE(IsIdentStartChar('\xFF'));
    EXPECT_FALSE(IsIdentStartChar('1'));
    EXPECT_TRUE(IsIdentChar('1'));
    EXPECT_FALSE(IsIdentChar('-'));
    EXPECT_TRUE(IsSpecialIdentChar('@'));
    EXPECT_FALSE(IsSpecialIdentChar('#'));
    for (char c : std::string("*+,-./:;<=>\\`")) EXPECT_TRUE(IsDelimiterChar(c)) << c;
    EXPECT_FALSE(IsDelimiterChar('?'));

    EXPECT_EQ(IncWrap(std::numeric_limits<int32_t>::max()), 1);
    EXPECT_EQ(IncWrap(-1), 0);
    EXPECT_EQ(NegateInt(5), -5);
    EXPECT_EQ(NegateInt(std::numeric_limits<int32_t>::min()), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(MaxInt32(3, 7), 7);
    EXPECT_EQ(MinInt64(-3, 7), -3);
    EXPECT_EQ(MaxWord(65535, 1), 65535);
    EXPECT_EQ(MinSmallInt(-1, 1), -1);
    EXPECT_EQ(MaxByte(200, 100), 200);
    // Ties answer the second argument: visible with signed zeros.
    EXPECT_TRUE(std::signbit(MaxDouble(0.0, -0.0)));
    EXPECT_FALSE(std::signbit(MinDouble(-0.0, 0.0)));
    EXPECT_TRUE(std::signbit(MaxExtended(0.0L, -0.0L)));
}
