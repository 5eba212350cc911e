#include "engine/files/Locale.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

using namespace kura;

namespace {

constexpr uint16_t kGerman = 0x0407;
constexpr uint16_t kEnglish = 0x0409;
constexpr uint16_t kUnknownLanguage = 0x0499;

// Counts how often a map is built.
class CountingCharMaps : public TLanguageCharMapsList {
public:
    int Builds = 0;
    void BuildCharMap(uint16_t languageId, uint16_t sortId, TCharMap& map) override {
        ++Builds;
        TLanguageCharMapsList::BuildCharMap(languageId, sortId, map);
    }
};

bool IsPermutation(const TCharMap& map) {
    TCharMap sorted = map;
    std::sort(sorted.begin(), sorted.end());
    for (int i = 0; i < 256; ++i)
        if (sorted[static_cast<size_t>(i)] != i) return false;
    return true;
}

size_t PositionOf(const TCharMap& map, char c) {
    return static_cast<size_t>(std::find(map.begin(), map.end(), static_cast<uint8_t>(c)) - map.begin());
}

}  // namespace

TEST(EngineLocale, Identifiers) {
    EXPECT_EQ(MakeLCID(0x0407, 1), 0x10407u);
    EXPECT_EQ(MakeLCID(0x0409, 0), 0x0409u);
    EXPECT_EQ(MakeLangID(0x07, 0x01), 0x0407);
    EXPECT_EQ(MakeLangID(0x0A, 0x03), 0x0C0A);
    EXPECT_TRUE(IsValidLCID(MakeLCID(kGerman, 1)));
    EXPECT_FALSE(IsValidLCID(MakeLCID(kEnglish, 1)));
    EXPECT_FALSE(IsValidLCID(kUnknownLanguage));
}

TEST(EngineLocale, NoLocaleComparesBytes) {
    EXPECT_EQ(CompareStringsByLocale(0, 0, "abc", true, 0, "ABC"), 0);
    EXPECT_EQ(CompareStringsByLocale(0, 0, "abc", false, 0, "ABC"), 1);
    EXPECT_EQ(CompareStringsByLocale(0, 0, "abX", false, 2, "abY"), 0);   // only the first 2 bytes
    EXPECT_EQ(CompareStringsByLocale(0, 0, "abX", false, 3, "abY"), -1);
    EXPECT_EQ(CompareStringsByLocale(0, 0, "ab", false, 0, "abc"), -1);
    EXPECT_EQ(CompareStringsByLocale(0, 0, "\x95\x5C", false, 0, "z"), 1);  // unsigned
    // Texts shorter than the length end at their zero byte; nothing beyond is read.
    const char shortA[] = "ab";
    const char shortB[] = "ab";
    EXPECT_EQ(CompareStringsByLocale(0, 0, shortA, false, 200, shortB), 0);
    EXPECT_EQ(CompareStringsByLocale(0, 0, shortA, false, 200, "abc"), -1);
    EXPECT_EQ(CompareStringsByLocale(0, 0, nullptr, false, 0, ""), 0);
    // A trail byte equal to a lower-case letter is not folded.
    EXPECT_NE(CompareStringsByLocale(0, 0, "\x83\x61", true, 0, "\x83\x41"), 0);
    EXPECT_EQ(CompareCharsByLocale(0, 0, 'Z', 'a'), -1);
    EXPECT_EQ(CompareCharsByLocale(0, 0, '\x81', 'a'), 1);
    EXPECT_EQ(CompareCharsByLocale(0, 0, 'q', 'q'), 0);
}

TEST(EngineLocale, LocaleComparison) {
    const char* umlaut = "M\xFC" "ller";
    EXPECT_EQ(CompareStringsByLocale(kGerman, 1, umlaut, true, 0, "Mueller"), 0);
    EXPECT_EQ(CompareStringsByLocale(kGerman, 0, umlaut, true, 0, "Mueller"), 1);
    EXPECT_EQ(CompareStringsByLocale(kGerman, 1, umlaut, false, 0, "Muf"), -1);
    EXPECT_EQ(CompareStringsByLocale(kGerman, 0, umlaut, false, 0, "Muf"), 1);
    EXPECT_EQ(CompareStringsByLocale(kEnglish, 0, "apple", true, 0, "APPLE"), 0);
    EXPECT_NE(CompareStringsByLocale(kEnglish, 0, "apple", false, 0, "APPLE"), 0);
    EXPECT_EQ(CompareStringsByLocale(kEnglish, 0, "apple", false, 0, "Banana"), -1);
    EXPECT_EQ(CompareStringsByLocale(kEnglish, 0, "appleX", true, 5, "APPLEY"), 0);
    EXPECT_EQ(CompareStringsByLocale(kEnglish, 0, "ap", true, 5, "APPLE"), -1);
    EXPECT_EQ(CompareCharsByLocale(kEnglish, 0, 'a', 'B'), -1);
    EXPECT_EQ(CompareCharsByLocale(kEnglish, 0, 'B', 'a'), 1);
}

TEST(EngineLocale, FailedComparisonFallsBackToByteOrder) {
    // The platform cannot collate this language: the result is the byte order, never
    // the platform's failure value turned into "less".
    EXPECT_EQ(CompareStringsByLocale(kUnknownLanguage, 0, "b", false, 0, "a"), 1);
    EXPECT_EQ(CompareStringsByLocale(kUnknownLanguage, 0, "a", false, 0, "b"), -1);
    EXPECT_EQ(CompareStringsByLocale(kUnknownLanguage, 0, "same", false, 0, "same"), 0);
    EXPECT_EQ(CompareStringsByLocale(kUnknownLanguage, 0, "abc", true, 0, "ABC"), 0);
    EXPECT_EQ(CompareStringsByLocale(kEnglish, 7, "b", false, 0, "a"), 1);  // no such sort order
    EXPECT_EQ(CompareCharsByLocale(kUnknownLanguage, 0, 'b', 'a'), 1);
    EXPECT_EQ(CompareCharsByLocale(kUnknownLanguage, 0, 'a', 'a'), 0);

    char text[] = "abc\x83\x61";
    LocaleUpperCase(kUnknownLanguage, 0, text);
    EXPECT_STREQ(text, "ABC\x83\x61");
}

TEST(EngineLocale, CaseMapping) {
    char text[] = "ab\x83\x5C\x95\x5C\x83\x61yz";
    LocaleUpperCase(0, 0, text);
    EXPECT_STREQ(text, "AB\x83\x5C\x95\x5C\x83\x61YZ");
    LocaleLowerCase(0, 0, text);
    EXPECT_STREQ(text, "ab\x83\x5C\x95\x5C\x83\x61yz");

    std::string s = std::string("\xE9t\xE9") + '\0' + "x";
    LocaleUpperCase(kEnglish, 0, s);
    EXPECT_EQ(s, std::string("\xC9T\xC9") + '\0' + "X");
    LocaleLowerCase(kEnglish, 0, s);
    EXPECT_EQ(s, std::string("\xE9t\xE9") + '\0' + "x");

    LocaleUpperCase(0, 0, static_cast<char*>(nullptr));  // nothing to do, no crash
    std::string empty;
    LocaleUpperCase(kEnglish, 0, empty);
    EXPECT_TRUE(empty.empty());
}

TEST(EngineLocale, CharMaps) {
    CountingCharMaps maps;
    TCharMap a{};
    TCharMap b{};
    maps.GetCharMap(0, 0, a);
    maps.GetCharMap(0, 0, b);
    EXPECT_EQ(maps.Builds, 1);
    EXPECT_EQ(maps.Count(), 1);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(a[static_cast<size_t>(i)], i);
    EXPECT_EQ(a, b);

    TCharMap en{};
    maps.GetCharMap(kEnglish, 0, en);
    maps.GetCharMap(kEnglish, 0, b);
    EXPECT_EQ(maps.Builds, 2);
    EXPECT_EQ(en, b);
    EXPECT_TRUE(IsPermutation(en));
    EXPECT_NE(en, a);
    // Letters collate alphabetically regardless of case, accents next to their letter.
    EXPECT_LT(PositionOf(en, 'a'), PositionOf(en, 'B'));
    EXPECT_LT(PositionOf(en, 'B'), PositionOf(en, 'c'));
    EXPECT_LT(PositionOf(en, '\xE9'), PositionOf(en, 'f'));
    EXPECT_LT(PositionOf(en, '1'), PositionOf(en, 'a'));

    maps.GetCharMap(kGerman, 1, b);
    EXPECT_TRUE(IsPermutation(b));
    EXPECT_EQ(maps.Count(), 3);

    // A language that cannot collate still gives a permutation (byte order).
    maps.GetCharMap(kUnknownLanguage, 0, b);
    EXPECT_EQ(b, a);

    // Without the library started the map is built directly.
    ASSERT_EQ(LanguageCharMaps, nullptr);
    GetLanguageCharMap(kEnglish, 0, b);
    EXPECT_EQ(b, en);
}

TEST(EngineLocale, LanguageStringListFind) {
    TLanguageStringList list;
    list.LanguageId = kEnglish;
    for (const char* s : {"pear", "Apple", "banana", "APPLE", "apple", "cherry", "Banana"}) list.Add(s);
    list.SetDuplicates(TDuplicates::dupAccept);
    list.SetSorted(true);
    ASSERT_EQ(list.Count(), 7);
    for (int32_t i = 1; i < list.Count(); ++i)
        EXPECT_LE(CompareStringsByLocale(kEnglish, 0, list[i - 1].c_str(), true, 0, list[i].c_str()), 0);

    int32_t index = -1;
    EXPECT_TRUE(list.Find("aPPle", index));
    EXPECT_EQ(index, 0);  // the first of the three apples
    EXPECT_TRUE(list.Find("BANANA", index));
    EXPECT_EQ(index, 3);
    EXPECT_FALSE(list.Find("blueberry", index));
    EXPECT_EQ(index, 5);  // insertion point
    EXPECT_FALSE(list.Find("zucchini", index));
    EXPECT_EQ(index, 7);

    // Duplicates present but not accepted: still the first equal item.
    list.SetDuplicates(TDuplicates::dupIgnore);
    EXPECT_TRUE(list.Find("apple", index));
    EXPECT_EQ(index, 0);
    EXPECT_EQ(list.Add("Apple"), 0);  // ignored, points at the existing one
    EXPECT_EQ(list.Count(), 7);
    list.SetDuplicates(TDuplicates::dupError);
    EXPECT_THROW(list.Add("CHERRY"), EStringListError);
    EXPECT_THROW(list.Insert(0, "x"), EStringListError);
    EXPECT_THROW(list.Get(7), EStringListError);

    // Partial search: words beginning with "ba", then from a later low bound.
    index = 0;
    EXPECT_TRUE(list.FindPartial("BAx", index, 2));
    EXPECT_EQ(index, 3);
    index = 5;
    EXPECT_FALSE(list.FindPartial("ba", index, 2));
    EXPECT_EQ(index, 5);
    index = -3;  // a bad low bound is clamped
    EXPECT_TRUE(list.FindPartial("ch", index, 2));
    EXPECT_EQ(index, 5);

    TLanguageStringList empty;
    EXPECT_FALSE(empty.Find("x", index));
    EXPECT_EQ(index, 0);
    EXPECT_EQ(empty.IndexOf("x"), -1);
}

TEST(EngineLocale, PlainStringList) {
    TStringList list;
    list.Add("b");
    list.Add("\x83\x61");
    list.Add("A");
    EXPECT_EQ(list.IndexOf("a"), 2);
    EXPECT_EQ(list.IndexOf("\x83\x41"), -1);  // trail bytes are not folded
    list.SetSorted(true);
    EXPECT_EQ(list[0], "A");
    EXPECT_EQ(list[1], "b");
    list.Delete(0);
    EXPECT_EQ(list.Count(), 2);
}
