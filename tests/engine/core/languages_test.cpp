// The language list and its lookups, and for every language and sort order a table
// whose index order agrees with ICU's collator for that locale on a word list.
#include <gtest/gtest.h>

#include <unicode/ucnv.h>
#include <unicode/ucol.h>

#include <map>

#include "engine/core/Languages.h"
#include "engine/files/Locale.h"
#include "tests/engine/core/CursorTableTestSupport.h"

namespace kura::test {
namespace {

TEST(Languages, LookupsFollowTheList) {
    EXPECT_EQ(GetLanguageEntry(0).Id, 0);
    EXPECT_STREQ(GetLanguageEntry(98).Name, "Vietnamese");
    EXPECT_EQ(GetLanguageID("english (usa)"), 0x0409);
    EXPECT_EQ(GetLanguageID("Klingon"), 0);
    EXPECT_EQ(GetLanguageID("ANSI Standard"), 0);
    EXPECT_TRUE(LanguageExists("GERMAN (SWISS)"));
    EXPECT_FALSE(LanguageExists("Japanese"));
    EXPECT_TRUE(SortOrderExists(0x0407, "german phone book order"));
    EXPECT_FALSE(SortOrderExists(0x0409, "german phone book order"));
    EXPECT_TRUE(SortOrderExists(0x0411, "Default Order"));
    EXPECT_FALSE(SortOrderExists(0x0411, "German Phone Book Order"));
    // The phone-book order has its own sort id, not the default's.
    EXPECT_EQ(GetSortOrderID(0x0407, "German Phone Book Order"), GERMAN_PHONE_BOOK_SORT_ID);
    EXPECT_EQ(GetSortOrderID(0x1407, "german phone book order"), GERMAN_PHONE_BOOK_SORT_ID);
    EXPECT_EQ(GetSortOrderID(0x0407, "Default Order"), 0);
    EXPECT_EQ(GetSortOrderID(0x0409, "German Phone Book Order"), 0);
    TStringList names;
    names.Add("stale");
    GetSortOrderNames(48, names);
    ASSERT_EQ(names.Count(), 2);
    EXPECT_EQ(names[0], "Default Order");
    EXPECT_EQ(names[1], "German Phone Book Order");
    GetSortOrderNames(47, names);
    EXPECT_EQ(names.Count(), 1);
    // No East Asian entry.
    for (int32_t i = 0; i < LANGUAGE_COUNT; ++i) {
        const uint16_t primary = GetLanguageEntry(i).Id & 0x3FF;
        EXPECT_TRUE(primary != 0x11 && primary != 0x12 && primary != 0x04) << GetLanguageEntry(i).Name;
    }
}

// What ICU calls each language, and its ANSI code page: the expectation, kept
// apart from the platform layer's own table.
struct IcuLocale {
    const char* locale;
    int codePage;
};

const std::map<uint16_t, IcuLocale>& Expected() {
    static const std::map<uint16_t, IcuLocale> m = {
        {0x0436, {"af", 1252}}, {0x041C, {"sq", 1250}}, {0x042D, {"eu", 1252}}, {0x0423, {"be", 1251}},
        {0x0402, {"bg", 1251}}, {0x0403, {"ca", 1252}}, {0x041A, {"hr", 1250}}, {0x0405, {"cs", 1250}},
        {0x0406, {"da", 1252}}, {0x0413, {"nl", 1252}}, {0x0813, {"nl_BE", 1252}}, {0x0425, {"et", 1257}},
        {0x0438, {"fo", 1252}}, {0x0429, {"fa", 1256}}, {0x040B, {"fi", 1252}}, {0x0408, {"el", 1253}},
        {0x040D, {"he", 1255}}, {0x040E, {"hu", 1250}}, {0x040F, {"is", 1252}}, {0x0421, {"id", 1252}},
        {0x0410, {"it", 1252}}, {0x0810, {"it_CH", 1252}}, {0x0426, {"lv", 1257}}, {0x0427, {"lt", 1257}},
        {0x0414, {"nb", 1252}}, {0x0814, {"nn", 1252}}, {0x0415, {"pl", 1250}}, {0x0816, {"pt_PT", 1252}},
        {0x0416, {"pt_BR", 1252}}, {0x0418, {"ro", 1250}}, {0x0419, {"ru", 1251}},
        {0x081A, {"sr_Latn", 1250}}, {0x0C1A, {"sr_Cyrl", 1251}}, {0x041B, {"sk", 1250}},
        {0x0424, {"sl", 1250}}, {0x040A, {"es@collation=traditional", 1252}}, {0x041D, {"sv", 1252}},
        {0x081D, {"sv_FI", 1252}}, {0x041E, {"th", 874}}, {0x041F, {"tr", 1254}}, {0x0422, {"uk", 1251}},
        {0x042A, {"vi", 1258}},
    };
    return m;
}

IcuLocale ExpectedFor(uint16_t id) {
    auto it = Expected().find(id);
    if (it != Expected().end()) return it->second;
    switch (id & 0x3FF) {
        case 0x01: return {"ar", 1256};
        case 0x09: return {"en", 1252};
        case 0x0C: return {"fr", 1252};
        case 0x07: return {"de", 1252};
        case 0x0A: return {"es", 1252};
        default: return {"", 0};
    }
}

// Words in the code page's bytes: ASCII pairs that locales order differently and
// every byte from 0xC0 up, alone and after a letter.
std::vector<std::string> WordList() {
    std::vector<std::string> words = {"apple", "Apple", "APPLE", "ape", "a-b", "ab", "co-op", "coop",
                                      "Zebra", "zebra", "cote", "ch", "cz", "ci", "h", "i", "ll", "lz",
                                      "lu", "aa", "az", "zz", "ss", "st", "1", "10", "2", "Ofen", "Ol",
                                      "Mueller", "Muller", "Apfel", "v", "w", "y", "j"};
    for (int b = 0xC0; b <= 0xFF; ++b) {
        words.push_back(std::string(1, static_cast<char>(b)));
        words.push_back("a" + std::string(1, static_cast<char>(b)) + "z");
    }
    words.push_back("C\xF4te");
    words.push_back("M\xFCller");
    words.push_back("\xC4pfel");
    words.push_back("\xD6l");
    return words;
}

// ICU's collator as the engine asks for it: accents and case at a lower level than
// the letters, punctuation weighed like any symbol.
class Collator {
public:
    Collator(const IcuLocale& l, bool phoneBook) {
        UErrorCode status = U_ZERO_ERROR;
        std::string name = l.locale;
        if (phoneBook) name += "@collation=phonebook";
        coll_ = ucol_open(name.c_str(), &status);
        ucol_setStrength(coll_, UCOL_PRIMARY);
        ucol_setAttribute(coll_, UCOL_CASE_LEVEL, UCOL_ON, &status);
        ucol_setAttribute(coll_, UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, &status);
        status = U_ZERO_ERROR;
        const std::string cp = "windows-" + std::to_string(l.codePage);
        conv_ = ucnv_open(cp.c_str(), &status);
        if (conv_) ucnv_setToUCallBack(conv_, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    }
    ~Collator() {
        if (coll_) ucol_close(coll_);
        if (conv_) ucnv_close(conv_);
    }
    bool Ready() const { return coll_ && conv_; }
    // False when the code page has no character for a byte of the word.
    bool Decode(const std::string& s, std::u16string& out) {
        UErrorCode status = U_ZERO_ERROR;
        out.assign(s.size() * 2 + 2, u'\0');
        const int32_t n = ucnv_toUChars(conv_, reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                                        s.data(), static_cast<int32_t>(s.size()), &status);
        if (U_FAILURE(status)) return false;
        out.resize(static_cast<std::size_t>(n));
        return true;
    }
    int Compare(const std::u16string& a, const std::u16string& b) const {
        return ucol_strcoll(coll_, reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()),
                            reinterpret_cast<const UChar*>(b.data()), static_cast<int32_t>(b.size()));
    }

private:
    UCollator* coll_ = nullptr;
    UConverter* conv_ = nullptr;
};

TEST(Languages, EveryLanguageAndSortOrderIndexesInCollatorOrder) {
    LibraryScope lib;
    TestDb db;
    const std::vector<std::string> words = WordList();
    int tables = 0;
    for (int32_t position = 0; position < LANGUAGE_COUNT; ++position) {
        const TLanguageEntry& entry = GetLanguageEntry(position);
        TStringList orders;
        GetSortOrderNames(position, orders);
        for (int32_t o = 0; o < orders.Count(); ++o) {
            const uint16_t sortId = GetSortOrderID(entry.Id, orders[o]);
            SCOPED_TRACE(std::string(entry.Name) + " / " + orders[o]);
            TableBuilder b;
            b.Field("W", fldZSTRING, 30);
            b.Secondary("ByWord", {1}, false);
            b.Def.LocaleId = entry.Id;
            b.Def.SortId = sortId;
            const std::string name = "L" + std::to_string(tables++);
            db.Create(name, b.Def);
            auto c = db.Open(name);

            std::unique_ptr<Collator> collator;
            if (entry.Id != 0) {
                collator = std::make_unique<Collator>(ExpectedFor(entry.Id), sortId == GERMAN_PHONE_BOOK_SORT_ID);
                ASSERT_TRUE(collator->Ready());
            }
            std::map<std::string, std::u16string> decoded;
            for (const std::string& w : words) {
                std::u16string u;
                if (collator && !collator->Decode(w, u)) continue;
                decoded[w] = u;
                RecordImage image(*c);
                image.Text(1, w);
                c->AppendRecord(image.data(), false);
            }
            c->SetIndexName("ByWord");
            std::vector<uint8_t> rec(c->GetCursorRecordSize(), 0);
            std::vector<std::string> order;
            c->SetToBegin();
            while (c->GetNextRecord(rec.data()) == 0) {
                char text[64] = {};
                bool blank = false;
                c->GetField(1, rec.data(), text, blank);
                order.emplace_back(text);
            }
            ASSERT_EQ(order.size(), decoded.size());
            for (std::size_t i = 1; i < order.size(); ++i) {
                const std::string& a = order[i - 1];
                const std::string& w = order[i];
                if (collator)
                    EXPECT_LE(collator->Compare(decoded[a], decoded[w]), 0) << "'" << a << "' before '" << w << "'";
                else
                    EXPECT_LE(a, w);
            }
            c.reset();
        }
    }
    EXPECT_EQ(tables, LANGUAGE_COUNT + 5);
}

}  // namespace
}  // namespace kura::test
