#include "platform/Locale.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/CodePage.h"
#include "platform/LastError.h"

using namespace platform;

namespace {

int32_t Cmp(uint32_t lcid, uint32_t flags, const std::string& a, const std::string& b) {
    return CompareStringA(lcid, flags, a.data(), static_cast<int32_t>(a.size()), b.data(),
                          static_cast<int32_t>(b.size()));
}

std::string Map(uint32_t lcid, uint32_t flags, std::string text) {
    const int32_t n = LCMapStringA(lcid, flags, text.data(), static_cast<int32_t>(text.size()), text.data(),
                                   static_cast<int32_t>(text.size()));
    EXPECT_EQ(n, static_cast<int32_t>(text.size()));
    return text;
}

constexpr uint32_t kEngineFlags = NORM_IGNORENONSPACE | SORT_STRINGSORT;
constexpr uint32_t kGermanPhoneBook = 0x10407;

}  // namespace

TEST(PlatformLocale, LeadByteTableIsCodePage932) {
    EXPECT_FALSE(IsDBCSLeadByte(0x00));
    EXPECT_FALSE(IsDBCSLeadByte(0x5C));
    EXPECT_FALSE(IsDBCSLeadByte(0x80));
    EXPECT_TRUE(IsDBCSLeadByte(0x81));
    EXPECT_TRUE(IsDBCSLeadByte(0x9F));
    EXPECT_FALSE(IsDBCSLeadByte(0xA0));
    EXPECT_FALSE(IsDBCSLeadByte(0xDF));  // half-width katakana are single bytes
    EXPECT_TRUE(IsDBCSLeadByte(0xE0));
    EXPECT_TRUE(IsDBCSLeadByte(0xFC));
    EXPECT_FALSE(IsDBCSLeadByte(0xFD));
    EXPECT_FALSE(IsDBCSLeadByte(0xFF));
}

TEST(PlatformLocale, LanguageZeroComparesUnsignedBytes) {
    EXPECT_EQ(Cmp(0, 0, "abc", "abc"), CSTR_EQUAL);
    EXPECT_EQ(Cmp(0, 0, "Z", "a"), CSTR_LESS_THAN);             // no collation: 'Z' < 'a'
    EXPECT_EQ(Cmp(0, 0, "\x81\x40", "z"), CSTR_GREATER_THAN);   // bytes above 0x7F are not negative
    EXPECT_EQ(Cmp(0, 0, "ab", "abc"), CSTR_LESS_THAN);
    EXPECT_EQ(Cmp(0, 0, "abc", "ab"), CSTR_GREATER_THAN);
    EXPECT_EQ(CompareStringA(0, 0, "abX", 2, "abY", 2), CSTR_EQUAL);
    EXPECT_EQ(CompareStringA(0, 0, "abc", -1, "abd", -1), CSTR_LESS_THAN);
    EXPECT_EQ(Cmp(0, NORM_IGNORECASE, "abc", "ABC"), CSTR_EQUAL);
    EXPECT_EQ(Cmp(0, 0, "abc", "ABC"), CSTR_GREATER_THAN);
    // A trail byte that looks like a letter is not folded: these are different characters.
    EXPECT_NE(Cmp(0, NORM_IGNORECASE, "\x83\x61", "\x83\x41"), CSTR_EQUAL);
    EXPECT_EQ(Cmp(0, NORM_IGNORECASE, "x\x83\x61y", "X\x83\x61Y"), CSTR_EQUAL);
}

TEST(PlatformLocale, LanguageZeroCaseMappingKeepsDoubleByteCharacters) {
    // "ソ" and "表" end in 0x5C, and 0x83 0x61 has a lower-case ASCII trail byte.
    const std::string text = "ab\x83\x5C\x95\x5C\x83\x61z\xB1";
    EXPECT_EQ(Map(0, LCMAP_UPPERCASE, text), "AB\x83\x5C\x95\x5C\x83\x61Z\xB1");
    EXPECT_EQ(Map(0, LCMAP_LOWERCASE, "AB\x83\x41Z"), "ab\x83\x41z");
    // A lead byte at the very end has no trail to take along.
    EXPECT_EQ(Map(0, LCMAP_UPPERCASE, "a\x83"), "A\x83");

    char buffer[16] = "abc";
    EXPECT_EQ(LCMapStringA(0, LCMAP_UPPERCASE, buffer, -1, nullptr, 0), 4);  // size asked: with the zero
    EXPECT_EQ(LCMapStringA(0, LCMAP_UPPERCASE, buffer, -1, buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "ABC");
    EXPECT_EQ(LCMapStringA(0, LCMAP_UPPERCASE, buffer, -1, buffer, 3), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(PlatformLocale, LocalesCollateWithTheirLanguage) {
    const std::string mueller = "Mueller";
    const std::string umlaut = "M\xFC" "ller";  // code page 1252
    // Default German order: ü is u with an accent; phone book order: ü is "ue".
    EXPECT_EQ(Cmp(0x0407, kEngineFlags, umlaut, "Muf"), CSTR_GREATER_THAN);
    EXPECT_EQ(Cmp(kGermanPhoneBook, kEngineFlags, umlaut, "Muf"), CSTR_LESS_THAN);
    EXPECT_EQ(Cmp(kGermanPhoneBook, kEngineFlags | NORM_IGNORECASE, umlaut, mueller), CSTR_EQUAL);
    EXPECT_NE(Cmp(0x0407, kEngineFlags | NORM_IGNORECASE, umlaut, mueller), CSTR_EQUAL);

    EXPECT_EQ(Cmp(0x0409, kEngineFlags | NORM_IGNORECASE, "apple", "APPLE"), CSTR_EQUAL);
    EXPECT_NE(Cmp(0x0409, kEngineFlags, "apple", "APPLE"), CSTR_EQUAL);
    EXPECT_EQ(Cmp(0x0409, kEngineFlags, "apple", "Banana"), CSTR_LESS_THAN);  // bytes say otherwise
    EXPECT_EQ(Cmp(0x0409, kEngineFlags, "r\xE9sum\xE9", "resume"), CSTR_EQUAL);   // accents ignored
    EXPECT_NE(Cmp(0x0409, SORT_STRINGSORT, "r\xE9sum\xE9", "resume"), CSTR_EQUAL);

    // Japanese text in code page 932: katakana "カ" sorts before hiragana "き",
    // though its bytes (0x83 0x4A) are above those of "き" (0x82 0xAB).
    EXPECT_EQ(Cmp(0x0411, kEngineFlags, "\x83\x4A", "\x82\xAB"), CSTR_LESS_THAN);
    EXPECT_EQ(Cmp(0, 0, "\x83\x4A", "\x82\xAB"), CSTR_GREATER_THAN);
}

TEST(PlatformLocale, UndecodableBytesStayDistinctAndOrdered) {
    // 0x85 0x40 and 0x86 0x40 are unassigned in code page 932; they must not collapse
    // into one substitute character.
    const int32_t ab = Cmp(0x0411, kEngineFlags, "\x85\x40", "\x86\x40");
    const int32_t ba = Cmp(0x0411, kEngineFlags, "\x86\x40", "\x85\x40");
    EXPECT_NE(ab, CSTR_EQUAL);
    EXPECT_EQ(ab + ba, 4);  // antisymmetric
    EXPECT_EQ(Cmp(0x0411, kEngineFlags, "\x85\x40", "\x85\x40"), CSTR_EQUAL);
    EXPECT_NE(Cmp(0x0411, kEngineFlags, "a\x81", "a"), 0);  // a cut-off character
}

TEST(PlatformLocale, LocaleCaseMappingUsesTheCodePage) {
    EXPECT_EQ(Map(0x0409, LCMAP_UPPERCASE, "\xE9t\xE9 \xFF"), "\xC9T\xC9 \x9F");  // ÿ -> Ÿ in 1252
    EXPECT_EQ(Map(0x0409, LCMAP_LOWERCASE, "\xC9T\xC9"), "\xE9t\xE9");
    EXPECT_EQ(Map(0x0407, LCMAP_UPPERCASE, "stra\xDF" "e"), "STRA\xDF" "E");       // ß keeps its length
    EXPECT_EQ(Map(0x0419, LCMAP_UPPERCASE, "\xE0\xE1"), "\xC0\xC1");               // Cyrillic in 1251
    EXPECT_EQ(Map(0x0411, LCMAP_UPPERCASE, "a\x83\x61\x95\x5C"), "A\x83\x61\x95\x5C");
}

TEST(PlatformLocale, FailuresReturnZeroWithTheLastError) {
    SetLastError(0);
    EXPECT_EQ(Cmp(0x0499, kEngineFlags, "a", "b"), 0);  // no such language
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Cmp(0x10409, kEngineFlags, "a", "b"), 0);  // English has no phone book order
    EXPECT_EQ(Cmp(0x0409, 0x4, "a", "b"), 0);            // unsupported flag
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
    EXPECT_EQ(CompareStringA(0, 0, nullptr, -1, "a", -1), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    char text[] = "abc";
    EXPECT_EQ(LCMapStringA(0x0499, LCMAP_UPPERCASE, text, -1, text, 4), 0);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(LCMapStringA(0, LCMAP_UPPERCASE | LCMAP_LOWERCASE, text, -1, text, 4), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
}

TEST(PlatformLocale, ValidLocalesAreTheEngineLanguages) {
    // Every language the engine offers, besides "ANSI Standard".
    const uint16_t ids[] = {
        0x0436, 0x041C, 0x0401, 0x0801, 0x0C01, 0x1001, 0x1401, 0x1801, 0x1C01, 0x2001, 0x2401, 0x2801, 0x2C01,
        0x3001, 0x3401, 0x3801, 0x3C01, 0x4001, 0x042D, 0x0423, 0x0402, 0x0403, 0x041A, 0x0405, 0x0406, 0x0413,
        0x0813, 0x0409, 0x0809, 0x0C09, 0x1009, 0x1409, 0x1809, 0x1C09, 0x2009, 0x2409, 0x2809, 0x2C09, 0x0425,
        0x0438, 0x0429, 0x040B, 0x040C, 0x080C, 0x0C0C, 0x100C, 0x140C, 0x0407, 0x0807, 0x0C07, 0x1007, 0x1407,
        0x0408, 0x040D, 0x040E, 0x040F, 0x0421, 0x0410, 0x0810, 0x0426, 0x0427, 0x0414, 0x0814, 0x0415, 0x0816,
        0x0416, 0x0418, 0x0419, 0x081A, 0x0C1A, 0x041B, 0x0424, 0x040A, 0x080A, 0x0C0A, 0x100A, 0x140A, 0x180A,
        0x1C0A, 0x200A, 0x240A, 0x280A, 0x2C0A, 0x300A, 0x340A, 0x380A, 0x3C0A, 0x400A, 0x440A, 0x480A, 0x4C0A,
        0x500A, 0x041D, 0x081D, 0x041E, 0x041F, 0x0422, 0x042A};
    EXPECT_EQ(sizeof ids / sizeof ids[0], 98u);
    for (uint16_t id : ids) {
        EXPECT_TRUE(IsValidLocale(id, LCID_INSTALLED)) << std::hex << id;
        EXPECT_EQ(Cmp(id, kEngineFlags, "a", "b"), CSTR_LESS_THAN) << std::hex << id;
    }
    for (uint32_t lcid : {0x10407u, 0x10807u, 0x11407u, 0x0411u}) EXPECT_TRUE(IsValidLocale(lcid, LCID_INSTALLED));
    for (uint32_t lcid : {0x0u, 0x0499u, 0x10409u, 0x20407u, 0x100409u}) EXPECT_FALSE(IsValidLocale(lcid, LCID_INSTALLED));
    EXPECT_FALSE(IsValidLocale(0x0409, 0));
}

TEST(PlatformLocale, ConcurrentComparisonsAgree) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&wrong, t] {
            const uint32_t lcid = t % 2 ? kGermanPhoneBook : 0x0409u;
            for (int i = 0; i < 300; ++i) {
                if (Cmp(lcid, kEngineFlags | NORM_IGNORECASE, "apple", "APPLE") != CSTR_EQUAL) ++wrong;
                if (Cmp(lcid, kEngineFlags, "apple", "banana") != CSTR_LESS_THAN) ++wrong;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(PlatformCodePage, Cp932RoundTrip) {
    const std::string utf8 = "日本語テキスト ソ表 abc";
    const std::string cp932 = "\x93\xFA\x96\x7B\x8C\xEA\x83\x65\x83\x4C\x83\x58\x83\x67 \x83\x5C\x95\x5C abc";
    EXPECT_EQ(Utf8ToCp932(utf8), cp932);
    EXPECT_EQ(Cp932ToUtf8(cp932), utf8);
    EXPECT_EQ(Cp932ToUtf8(""), "");
    EXPECT_EQ(Utf8ToCp932(""), "");
}

// Converters are reused: a conversion left in the middle of a character (a lead
// byte at the end) never carries into the next one, on any thread, and ASCII,
// which both encodings write alike, passes as it is.
TEST(PlatformCodePage, EveryConversionStartsAfreshOnEveryThread) {
    const std::string utf8 = "表示ソ\\|~";
    const std::string cp932 = "\x95\x5C\x8E\xA6\x83\x5C\\|~";
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                if (Cp932ToUtf8("x\x83") != "x\xEF\xBF\xBD") ++wrong;  // a lead byte left open
                if (Cp932ToUtf8(cp932) != utf8) ++wrong;
                if (Utf8ToCp932("y\xE8\xA1") != "y??") ++wrong;  // a sequence left open
                if (Utf8ToCp932(utf8) != cp932) ++wrong;
                if (Cp932ToUtf8(std::string("a\0b", 3)) != std::string("a\0b", 3)) ++wrong;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(PlatformCodePage, InvalidInputIsReplaced) {
    EXPECT_EQ(Cp932ToUtf8("a\x81"), "a\xEF\xBF\xBD");           // lead byte cut off at the end
    EXPECT_EQ(Cp932ToUtf8("\xFF" "b"), "\xEF\xBF\xBD" "b");      // not a character of 932
    EXPECT_EQ(Utf8ToCp932("a\xC3"), "a?");                       // truncated UTF-8
    EXPECT_EQ(Utf8ToCp932("\xF0\x9F\x98\x80x"), "?x");           // outside code page 932: one "?"
    EXPECT_EQ(Utf8ToCp932("\x80\x80y"), "??y");                  // stray continuation bytes
    const std::string big(5000, '\x82');                         // long input, odd byte at the end
    EXPECT_EQ(Cp932ToUtf8(big).size(), 2500u * 3);
}

// Names compare as AnsiCompareText compares them: the full-width Latin letters
// ａ-ｚ (0x8281-0x829A) as Ａ-Ｚ (0x8260-0x8279), as ASCII letters fold; no other
// double-byte character folds, nor a trail byte that looks like a letter, and a
// full-width letter is never its ASCII one.
TEST(PlatformCodePage, NamesFoldFullWidthLettersAsAsciiOnes) {
    const std::string A = "\x82\x60", Z = "\x82\x79", a = "\x82\x81", z = "\x82\x9A";
    const std::string ka = "\x83\x4A", katakanaWithTrailA = "\x83\x41", katakanaWithTrailSmallA = "\x83\x61";
    struct Case {
        std::string Left, Right;
        int Order;
    };
    const Case cases[] = {
        {A + Z, a + z, 0},
        {"x" + a + "Y", "X" + A + "y", 0},
        {a + ka, A + ka, 0},
        {A, "A", 1},
        {a, "a", 1},
        {katakanaWithTrailA, katakanaWithTrailSmallA, -1},
        {"\x82\x5F", "\x82\x80", -1},  // beside the letters: not folded
        {"\x82\x7A", "\x82\x9B", -1},
        {A, "\x82\x82", -1},           // Ａ before ｂ, as before Ｂ
        {z, "\x82\x9F", -1},           // ｚ (as Ｚ) before ぁ
        {"\x81" + a, "\x81" + A, 1},   // 0x81 0x82 0x81 is another character and then "\x81"
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.Left) + " " + testing::PrintToString(c.Right));
        EXPECT_EQ(Cp932CompareText(c.Left, c.Right), c.Order);
        EXPECT_EQ(Cp932CompareText(c.Right, c.Left), -c.Order);
        EXPECT_EQ(Cp932SameText(c.Left, c.Right), c.Order == 0);
        EXPECT_EQ(Cp932UpperCase(c.Left) == Cp932UpperCase(c.Right), c.Order == 0);
    }
    EXPECT_EQ(Cp932UpperCase("id" + a + z + ka + katakanaWithTrailSmallA), "ID" + A + Z + ka + katakanaWithTrailSmallA);
    // Every full-width small letter folds onto its capital, and only there.
    for (int i = 0; i < 26; ++i) {
        const std::string small{'\x82', static_cast<char>(0x81 + i)}, capital{'\x82', static_cast<char>(0x60 + i)};
        EXPECT_TRUE(Cp932SameText(small, capital)) << i;
        EXPECT_EQ(Cp932UpperCase(small), capital) << i;
        EXPECT_EQ(Cp932UpperCase(capital), capital) << i;
    }
}

// Lead bytes F0-FC (user-defined and extension characters) are lead bytes like any
// other: their trail byte is never taken for a letter, in upper-casing and in
// comparison, with and without a language, and the character after them is.
TEST(PlatformLocale, HighLeadBytesKeepTheirTrailBytes) {
    for (unsigned lead = 0xE0; lead <= 0xFC; ++lead) {
        for (const unsigned char trail : {0x41, 0x5C, 0x61, 0x7A, 0x80, 0xFC}) {
            const std::string ch{static_cast<char>(lead), static_cast<char>(trail)};
            SCOPED_TRACE(testing::Message() << std::hex << lead << " " << static_cast<unsigned>(trail));
            for (const uint32_t lcid : {0u, 0x0411u}) {
                EXPECT_EQ(Map(lcid, LCMAP_UPPERCASE, "a" + ch + "b"), "A" + ch + "B");
                EXPECT_EQ(Map(lcid, LCMAP_LOWERCASE, "A" + ch + "B"), "a" + ch + "b");
                EXPECT_EQ(Cmp(lcid, NORM_IGNORECASE, "x" + ch + "y", "X" + ch + "Y"), CSTR_EQUAL);
            }
            if (trail >= 0x61 && trail <= 0x7A) {
                const std::string upper{static_cast<char>(lead), static_cast<char>(trail - 0x20)};
                EXPECT_NE(Cmp(0, NORM_IGNORECASE, ch, upper), CSTR_EQUAL);
                // Byte order without a language: the trail decides.
                EXPECT_EQ(Cmp(0, 0, upper, ch), CSTR_LESS_THAN);
            }
        }
    }
}
