// The word splitter, TEXTSEARCH and TEXTOCCURS, and the "Sys Text" keys that the
// record writes keep: one key per distinct non-stop word of each indexed field.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "engine/core/TextWords.h"
#include "tests/engine/core/CursorTableTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

// Code page 932 words whose second bytes look like delimiters ("\" 0x5C).
const std::string SOFT = "\x83\x5C\x83\x74\x83\x67";                       // ソフト
const std::string SOFTWARE = SOFT + "\x83\x45\x83\x46\x83\x41";              // ソフトウェア
const std::string HYOUJI = "\x95\x5C\x8E\xA6";                               // 表示
const std::string NOURYOKU = "\x94\x5C\x97\xCD";                             // 能力
const std::string SHAIN = "\x8E\xD0\x88\xF5";                                // 社員

std::vector<std::pair<std::string, uint32_t>> Split(const std::string& text, bool keepAsterisk = false) {
    TTextWordList list;
    SplitTextIntoWords(text.data(), static_cast<int32_t>(text.size()), list, keepAsterisk, true,
                       DefaultIncludeChars(), DefaultSpaceChars());
    std::vector<std::pair<std::string, uint32_t>> out;
    for (int32_t i = 0; i < list.Count(); ++i) out.emplace_back(list.Word(i), list.Object(i));
    return out;
}

struct Words {
    TLanguageStringList stop;
    TCharSet space, include;
    Words() {
        stop.SetSorted(true);
        GetDefaultTextIndexParams(stop, space, include);
    }
    TTextWordList Of(const std::string& text, bool keepAsterisk) {
        TTextWordList list;
        SplitTextIntoWords(text.data(), static_cast<int32_t>(text.size()), list, keepAsterisk, true, include, space);
        return list;
    }
    bool Search(const std::string& search, const std::string& text) {
        TTextWordList s = Of(search, true), f = Of(text, false);
        return TextSearchWords(s, f, stop);
    }
    int32_t Occurs(const std::string& search, const std::string& text) {
        TTextWordList s = Of(search, true), f = Of(text, false);
        return TextOccursWords(s, f, stop);
    }
};

TEST(TextWords, SplitCountsCutsAndDrops) {
    using W = std::vector<std::pair<std::string, uint32_t>>;
    EXPECT_EQ(Split("The cat, the CAT and the dog"), (W{{"and", 1}, {"cat", 2}, {"dog", 1}, {"The", 3}}));
    // Bytes in neither set vanish without ending the word.
    EXPECT_EQ(Split("don't  stop!"), (W{{"dont", 1}, {"stop", 1}}));
    const std::string longWord(70, 'x');
    EXPECT_EQ(Split(longWord + " y"), (W{{std::string(60, 'x'), 1}, {"y", 1}}));
    EXPECT_EQ(Split("cat* *"), (W{{"cat", 1}}));
    EXPECT_EQ(Split("cat* *", true), (W{{"*", 1}, {"cat*", 1}}));
    EXPECT_TRUE(Split("").empty());
    TTextWordList list;
    SplitTextIntoWords(nullptr, 5, list, false, true, DefaultIncludeChars(), DefaultSpaceChars());
    EXPECT_EQ(list.Count(), 0);
    // Outside count mode a word carries the offset where it first starts.
    SplitTextIntoWords("ab cd ab", 8, list, false, false, DefaultIncludeChars(), DefaultSpaceChars());
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Object(0), 0u);
    EXPECT_EQ(list.Object(1), 3u);
}

TEST(TextWords, DoubleByteCharactersStayWhole) {
    using W = std::vector<std::pair<std::string, uint32_t>>;
    // The trail bytes 0x5C would end the word if they were judged on their own.
    const W words = Split(SOFT + " " + HYOUJI + "," + NOURYOKU + " " + SOFT);
    EXPECT_EQ(words, (W{{SOFT, 2}, {NOURYOKU, 1}, {HYOUJI, 1}}) );
    // 31 double-byte characters: cut at 60 bytes, never inside a character.
    std::string many;
    for (int i = 0; i < 31; ++i) many += "\x83\x5C";
    const W cut = Split(many);
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].first.size(), 60u);
    EXPECT_EQ(cut[0].first, many.substr(0, 60));
    // 59 letters and a double-byte character that no longer fits.
    const W cut2 = Split(std::string(59, 'a') + HYOUJI.substr(0, 2) + "b");
    ASSERT_EQ(cut2.size(), 1u);
    EXPECT_EQ(cut2[0].first, std::string(59, 'a'));
    // A lead byte at the very end stands alone.
    EXPECT_EQ(Split("ab\x83"), (W{{"ab\x83", 1}}));
}

TEST(TextWords, SearchAndOccurrences) {
    Words w;
    EXPECT_FALSE(w.Search("cat* dog", "Catalogue of dogs"));
    EXPECT_TRUE(w.Search("cat* dog*", "Catalogue of dogs"));
    EXPECT_TRUE(w.Search("CATALOGUE the", "Catalogue of dogs"));  // stop word ignored
    EXPECT_TRUE(w.Search("", "anything"));
    EXPECT_TRUE(w.Search("*", "anything"));
    EXPECT_FALSE(w.Search("*", ""));
    EXPECT_EQ(w.Occurs("cat", "cat cat CAT"), 3);
    EXPECT_EQ(w.Occurs("the", "it"), 0);
    EXPECT_EQ(w.Occurs("the", "the the"), 0);
    EXPECT_EQ(w.Occurs("ca*", "cat car cab dog"), 3);
    EXPECT_EQ(w.Occurs("ca* dog cat", "cat car cab dog"), 5);
    EXPECT_EQ(w.Occurs("cow", "cat"), 0);

    // Japanese words and prefixes.
    const std::string text = SOFTWARE + " " + HYOUJI + " " + SOFT + " " + SOFT;
    EXPECT_TRUE(w.Search(SOFT + "*", text));
    EXPECT_TRUE(w.Search(HYOUJI + " " + SOFTWARE, text));
    EXPECT_FALSE(w.Search(SHAIN, text));
    EXPECT_FALSE(w.Search(HYOUJI + " " + SHAIN + "*", text));
    EXPECT_EQ(w.Occurs(SOFT + "*", text), 3);
    EXPECT_EQ(w.Occurs(SOFT, text), 2);
}

// ---- The index ---------------------------------------------------------------------

constexpr uint16_t F_ID = 1;
constexpr uint16_t F_NAME = 2;
constexpr uint16_t F_NOTES = 3;
constexpr uint8_t RW = 2;

using TextKey = std::tuple<uint16_t, std::string, uint32_t, uint32_t>;  // field, word, auto-inc, record

TTableDefinition TextTable() {
    TableBuilder b;
    b.Field("Id", fldINT32);
    b.Field("Name", fldZSTRING, 60);
    b.Field("Notes", fldBLOB).SetSubType(fldstMEMO);
    b.Primary({F_ID});
    TIndexDesc text;
    text.SetName("Sys Text");
    text.SetField(0, F_NAME);
    text.SetField(1, F_NOTES);
    text.SetByte(ido::FieldCount, 2);
    text.SetKeySize(SYS_TEXT_KEY_SIZE);
    b.Def.TextIndex = text;
    return b.Def;
}

// Every key of "Sys Text", decoded, in key order.
std::vector<TextKey> TextKeys(TDataCursor& c) {
    std::vector<TextKey> keys;
    ForEachKey(c, SYS_TEXT_SLOT, [&](TPage& page, uint32_t i) {
        const uint8_t* k = page.GetKeyAddress(i);
        EXPECT_EQ(k[0], 1);
        const uint16_t field = static_cast<uint16_t>(k[1] << 8 | k[2]);
        std::string word(reinterpret_cast<const char*>(k + 3), 61);
        word.resize(word.find('\0'));
        const uint32_t autoInc = (static_cast<uint32_t>(k[64] ^ 0x80) << 24) | (k[65] << 16) | (k[66] << 8) | k[67];
        keys.emplace_back(field, word, autoInc, page.GetRecordNo(i));
    });
    return keys;
}

struct TextIndexFixture : ::testing::Test {
    LibraryScope library;
    TestDb db;
    std::unique_ptr<TDataCursor> c;

    void SetUp() override {
        db.Create("STAFF", TextTable());
        c = db.Open("STAFF", false);
    }
    std::vector<uint8_t> Record(int32_t id, const std::string& name) {
        std::vector<uint8_t> rec(c->GetCursorRecordSize(), 0);
        uint8_t v[8] = {};
        PutI32(v, id);
        c->PutField(F_ID, rec.data(), v);
        std::vector<char> text(name.begin(), name.end());
        text.resize(300, 0);
        c->PutField(F_NAME, rec.data(), text.data());
        return rec;
    }
    void SetNotes(std::vector<uint8_t>& rec, const std::string& notes) {
        uint32_t size = 0;
        ASSERT_EQ(c->OpenBlob(F_NOTES, rec.data(), RW, false, true, size), 0);
        ASSERT_EQ(c->TruncateBlob(F_NOTES, rec.data(), 0, false), 0);
        ASSERT_EQ(c->PutBlob(F_NOTES, rec.data(), 0, notes.data(), static_cast<uint32_t>(notes.size()), false), 0);
    }
    // Positions on the record with this Id and reads it; with lock it enters edit
    // state as the dataset does it (a plain read first, then the locked one).
    std::vector<uint8_t> Edit(int32_t id, bool lock) {
        std::vector<uint8_t> rec;
        if (!SeekRecordById(*c, F_ID, id, rec)) {
            ADD_FAILURE() << "record " << id << " not found";
        } else if (lock) {
            EXPECT_EQ(c->GetCurrentRecord(rec.data(), true), 0);
        }
        return rec;
    }
};

std::set<std::string> WordsOf(const std::vector<TextKey>& keys, uint16_t field, uint32_t autoInc) {
    std::set<std::string> words;
    for (const auto& [f, w, a, r] : keys)
        if (f == field && a == autoInc) words.insert(w);
    return words;
}

TEST_F(TextIndexFixture, KeysFollowAppendModifyAndDelete) {
    EXPECT_TRUE(c->IsTextIndexField(F_NAME));
    EXPECT_TRUE(c->IsTextIndexField(F_NOTES));
    EXPECT_FALSE(c->IsTextIndexField(F_ID));

    std::vector<uint8_t> rec = Record(1, "The cat, the CAT and the dog");
    SetNotes(rec, SOFT + " " + HYOUJI + " report");
    c->AppendRecord(rec.data(), true);
    std::vector<uint8_t> other = Record(2, "dog days");
    c->AppendRecord(other.data(), true);

    std::vector<TextKey> keys = TextKeys(*c);
    EXPECT_EQ(keys.size(), 7u);
    EXPECT_EQ(WordsOf(keys, F_NAME, 1), (std::set<std::string>{"CAT", "DOG"}));
    EXPECT_EQ(WordsOf(keys, F_NOTES, 1), (std::set<std::string>{SOFT, HYOUJI, "REPORT"}));
    EXPECT_EQ(WordsOf(keys, F_NAME, 2), (std::set<std::string>{"DAYS", "DOG"}));
    for (const auto& [f, w, a, r] : keys) EXPECT_EQ(r, a) << w;  // record n has auto-increment n here

    // The memo loses one word and gains another: one key out, one key in.
    rec = Edit(1, true);
    SetNotes(rec, SOFT + " " + HYOUJI + " summary");
    c->ModifyRecord(rec.data(), true, true);
    std::vector<TextKey> after = TextKeys(*c);
    EXPECT_EQ(after.size(), 7u);
    EXPECT_EQ(WordsOf(after, F_NOTES, 1), (std::set<std::string>{SOFT, HYOUJI, "SUMMARY"}));

    // Rewriting the memo with the same bytes changes no key.
    rec = Edit(1, true);
    SetNotes(rec, SOFT + " " + HYOUJI + " summary");
    c->BeginWrite();
    EXPECT_FALSE(c->UpdateTextIndexWords(rec.data(), c->FRecord->GetBuffer()));
    c->EndWrite();
    c->FreeAllBlobs(true, true);
    c->CancelRecord();
    EXPECT_EQ(TextKeys(*c), after);

    // Deleting the record takes all its keys, memo words included.
    rec = Edit(1, false);
    c->DeleteRecord(rec.data(), true);
    keys = TextKeys(*c);
    EXPECT_EQ(keys.size(), 2u);
    EXPECT_EQ(WordsOf(keys, F_NAME, 2), (std::set<std::string>{"DAYS", "DOG"}));
}

TEST_F(TextIndexFixture, ChangedAutoIncrementMovesEveryKey) {
    std::vector<uint8_t> rec = Record(1, "alpha beta");
    SetNotes(rec, "gamma");
    c->AppendRecord(rec.data(), true);
    ASSERT_EQ(TextKeys(*c).size(), 3u);

    // The new image keeps "beta" but under another auto-increment value: the old
    // keys go with the old value, every word comes back with the new one.
    std::vector<uint8_t> now = Edit(1, true);
    std::vector<uint8_t> changed = Record(1, "beta delta");
    std::copy(now.begin(), now.begin() + 9, changed.begin());
    TDataCursor::SetBufferAutoInc(changed.data(), 50);
    c->BeginWrite();
    EXPECT_TRUE(c->UpdateTextIndexWords(changed.data(), c->FRecord->GetBuffer()));
    c->EndWrite();
    const std::vector<TextKey> keys = TextKeys(*c);
    EXPECT_TRUE(WordsOf(keys, F_NAME, 1).empty());
    EXPECT_TRUE(WordsOf(keys, F_NOTES, 1).empty());
    EXPECT_EQ(WordsOf(keys, F_NAME, 50), (std::set<std::string>{"BETA", "DELTA"}));
    EXPECT_EQ(WordsOf(keys, F_NOTES, 50), (std::set<std::string>{"GAMMA"}));
    c->CancelRecord();
}

TEST_F(TextIndexFixture, RebuildReadsStoredMemos) {
    std::vector<uint8_t> rec = Record(1, "one two");
    SetNotes(rec, std::string("three ") + SHAIN + " " + std::string(70, 'z'));
    c->AppendRecord(rec.data(), true);
    const std::vector<TextKey> before = TextKeys(*c);
    ASSERT_EQ(before.size(), 5u);
    EXPECT_EQ(WordsOf(before, F_NOTES, 1), (std::set<std::string>{"THREE", SHAIN, std::string(60, 'Z')}));

    std::vector<uint8_t> image(c->FRecord->GetBuffer(), c->FRecord->GetBuffer() + c->GetRecordSize());
    c->BeginWrite();
    c->SetIndexNumber(SYS_TEXT_SLOT);
    c->DeleteFieldTextWords(F_NAME, "one two", 7, 1);
    const std::string notes = std::string("three ") + SHAIN + " " + std::string(70, 'z');
    c->DeleteFieldTextWords(F_NOTES, notes.data(), static_cast<int32_t>(notes.size()), 1);
    EXPECT_TRUE(TextKeys(*c).empty());
    c->SetIndexNumber(PRIMARY_INDEX);
    c->RebuildTextIndexWords(image.data());
    EXPECT_EQ(c->GetCurrentIndexNo(), PRIMARY_INDEX);
    c->EndWrite();
    EXPECT_EQ(TextKeys(*c), before);
    EXPECT_TRUE(c->FOpenBlobs.empty());
}

TEST_F(TextIndexFixture, CursorSearchUsesTheTableParameters) {
    const std::string field = "Catalogue of dogs, " + SOFTWARE;
    auto search = [&](const std::string& s) {
        return c->TextSearch(s.data(), static_cast<int32_t>(s.size()), field.data(), static_cast<int32_t>(field.size()));
    };
    auto occurs = [&](const std::string& s, const std::string& f) {
        return c->TextOccurs(s.data(), static_cast<int32_t>(s.size()), f.data(), static_cast<int32_t>(f.size()));
    };
    EXPECT_FALSE(search("cat* dog"));
    EXPECT_TRUE(search("cat* dog* of"));
    EXPECT_TRUE(search(SOFT + "*"));
    EXPECT_FALSE(search(SOFT));
    EXPECT_EQ(occurs("cat", "cat cat CAT"), 3);
    EXPECT_EQ(occurs("the", "it"), 0);
    EXPECT_EQ(occurs("ca*", "cat car cab"), 3);
}

}  // namespace
