// The cursor's key comparison over keys built the way the index code builds them,
// without a locale and with one, and the callback dispatchers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/EngineLibrary.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/KeyEncoding.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"

using namespace kura;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

constexpr uint16_t kEnglish = 0x0409;

using Key = std::vector<uint8_t>;

TFieldDesc Field(TEngineFieldType type, uint8_t declared) {
    TFieldDesc d;
    d.SetFieldType(type);
    d.SetDeclaredSize(declared);
    d.DerivePhysical();
    return d;
}

// A cursor that is not open, set up as if its current index had these key fields.
struct KeyCursor {
    KeyCursor(uint16_t language, std::vector<TFieldDesc> fields, bool descending, bool unique,
              std::vector<uint8_t> fieldFlags = {}) {
        dir = session.OpenDataDirectory("DB", tmp.path());
        cursor = std::make_unique<TDataCursor>(dir);
        cursor->FIndexNo = 1;
        cursor->FLocaleID = language;
        cursor->FKeyFields = fields;
        cursor->FKeyFieldCount = static_cast<uint8_t>(fields.size());
        cursor->FDescending = descending;
        cursor->FUnique = unique;
        for (std::size_t i = 0; i < fieldFlags.size(); ++i) cursor->FKeyFieldFlags[i] = fieldFlags[i];
        uint16_t size = 0;
        for (const auto& f : fields) size = static_cast<uint16_t>(size + GetFieldDataSize(f.FieldType(), f.StoredSize()) + 1);
        cursor->FKeySize = static_cast<uint16_t>(size + (unique ? 0 : 4));
    }
    // The key of one record: per field a flag and the sortable value; the row id
    // of a non-unique index last.
    Key Build(const std::vector<const void*>& values, uint32_t rowId = 0) {
        Key key(cursor->FKeySize, 0);
        std::size_t pos = 0;
        for (std::size_t k = 0; k < cursor->FKeyFields.size(); ++k) {
            const TFieldDesc& f = cursor->FKeyFields[k];
            const uint8_t width = GetFieldDataSize(f.FieldType(), f.StoredSize());
            uint8_t value[256] = {};
            if (values[k]) {
                key[pos] = 1;
                if (f.FieldType() == fldZSTRING)
                    std::strncpy(reinterpret_cast<char*>(value), static_cast<const char*>(values[k]), f.StoredSize() - 1u);
                else
                    std::memcpy(value, values[k], f.StoredSize());
                const bool fieldDescending = !cursor->FDescending && cursor->FKeyFieldFlags[k] != 0;
                FieldValueToKey(f.FieldType(), f.StoredSize(), value, &key[pos], cursor->FLocaleID, 0, fieldDescending,
                                false);
            }
            pos += width + 1u;
        }
        if (!cursor->FUnique) EncodeIntegerKey(static_cast<int32_t>(rowId), &key[pos]);
        return key;
    }
    int Cmp(const Key& a, const Key& b) {
        const int32_t r = cursor->CompareFieldValues(a.data(), b.data(), cursor->FKeySize);
        return r < 0 ? -1 : (r > 0 ? 1 : 0);
    }
    test::TempDir tmp;
    TDataSession session;
    TDataDirectory* dir = nullptr;
    std::unique_ptr<TDataCursor> cursor;
};

// Sorts texts by the cursor's comparison of their keys.
std::vector<std::string> SortByKeys(KeyCursor& c, std::vector<std::string> texts) {
    std::sort(texts.begin(), texts.end(), [&](const std::string& a, const std::string& b) {
        return c.Cmp(c.Build({a.c_str()}), c.Build({b.c_str()})) < 0;
    });
    return texts;
}

}  // namespace

TEST(KeyCompare, StringsWithoutLocaleFollowTheBytes) {
    KeyCursor c(0, {Field(fldZSTRING, 10)}, false, true);
    EXPECT_EQ(SortByKeys(c, {"b", "B", "a", "A", "ab"}), (std::vector<std::string>{"A", "B", "a", "ab", "b"}));
    // A lower-case letter sorts after every upper-case letter.
    EXPECT_GT(c.Cmp(c.Build({"a"}), c.Build({"Z"})), 0);
    EXPECT_EQ(c.Cmp(c.Build({"same"}), c.Build({"same"})), 0);
    // A blank sorts before every value.
    EXPECT_LT(c.Cmp(c.Build({nullptr}), c.Build({""})), 1);
    EXPECT_LT(c.Cmp(c.Build({nullptr}), c.Build({"A"})), 0);
}

TEST(KeyCompare, StringsWithALocaleFollowItsCollation) {
    KeyCursor c(kEnglish, {Field(fldZSTRING, 10)}, false, true);
    const auto sorted = SortByKeys(c, {"b", "B", "a", "A", "ab"});
    // Letters of either case come together: a and A before ab, b and B after.
    const auto pos = [&](const std::string& s) { return std::find(sorted.begin(), sorted.end(), s) - sorted.begin(); };
    EXPECT_LT(pos("a"), pos("ab"));
    EXPECT_LT(pos("A"), pos("ab"));
    EXPECT_LT(pos("ab"), pos("b"));
    EXPECT_LT(pos("ab"), pos("B"));
    EXPECT_LT(c.Cmp(c.Build({"a"}), c.Build({"Z"})), 0);
    // Case-sensitive: the cases differ but are not equal.
    EXPECT_NE(c.Cmp(c.Build({"a"}), c.Build({"A"})), 0);
    EXPECT_EQ(c.Cmp(c.Build({"abc"}), c.Build({"abc"})), 0);
}

TEST(KeyCompare, DescendingIndexesAndFields) {
    int32_t one = 1, two = 2;
    for (uint16_t language : {uint16_t{0}, kEnglish}) {
        SCOPED_TRACE(language);
        KeyCursor whole(language, {Field(fldINT32, 0)}, true, true);
        EXPECT_GT(whole.Cmp(whole.Build({&one}), whole.Build({&two})), 0);
        // In a descending index a blank sorts after every present value.
        EXPECT_GT(whole.Cmp(whole.Build({nullptr}), whole.Build({&two})), 0);

        KeyCursor text(language, {Field(fldZSTRING, 8)}, true, true);
        EXPECT_GT(text.Cmp(text.Build({"apple"}), text.Build({"melon"})), 0);
        EXPECT_GT(text.Cmp(text.Build({nullptr}), text.Build({"melon"})), 0);

        // Only the second field descends.
        KeyCursor mixed(language, {Field(fldINT32, 0), Field(fldZSTRING, 8)}, false, true, {0, 1});
        EXPECT_LT(mixed.Cmp(mixed.Build({&one, "zz"}), mixed.Build({&two, "aa"})), 0);
        EXPECT_GT(mixed.Cmp(mixed.Build({&one, "aa"}), mixed.Build({&one, "zz"})), 0);
    }
}

TEST(KeyCompare, RowIdentifiersOrderEqualKeysAndPrefixesCompareOnlyTheirLength) {
    for (uint16_t language : {uint16_t{0}, kEnglish}) {
        SCOPED_TRACE(language);
        KeyCursor c(language, {Field(fldZSTRING, 6), Field(fldINT32, 0)}, false, false);
        int32_t v = 7;
        const Key low = c.Build({"same", &v}, 3);
        const Key high = c.Build({"same", &v}, 300);
        EXPECT_LT(c.Cmp(low, high), 0);
        EXPECT_GT(c.Cmp(high, low), 0);
        // Over the field part alone the two keys are equal.
        const int32_t fields = static_cast<int32_t>(c.cursor->FKeySize) - 4;
        EXPECT_EQ(c.cursor->CompareFieldValues(low.data(), high.data(), fields), 0);
        // A partial length covers the flag and the first characters only.
        const Key other = c.Build({"samx", &v}, 1);
        EXPECT_EQ(c.cursor->CompareFieldValues(low.data(), other.data(), 1 + 3), 0);
        EXPECT_LT(c.cursor->CompareFieldValues(low.data(), other.data(), 1 + 4), 0);
        EXPECT_EQ(c.cursor->CompareFieldValues(low.data(), other.data(), 0), 0);
    }
}

TEST(KeyCompare, SystemIndexes) {
    KeyCursor c(kEnglish, {}, false, true);
    // The deleted-record index: plain bytes, whatever the locale.
    c.cursor->FIndexNo = SYS_DELETED_SLOT;
    const Key live = {0, 0x80, 0, 0, 1};
    const Key gone = {1, 0x80, 0, 0, 0};
    EXPECT_LT(c.cursor->CompareFieldValues(live.data(), gone.data(), 5), 0);

    // The text index: flag and field number, word, row identifier.
    c.cursor->FIndexNo = SYS_TEXT_SLOT;
    auto word = [](uint16_t field, const std::string& w, uint32_t row) {
        Key k(SYS_TEXT_KEY_SIZE, 0);
        k[0] = 1;
        k[1] = static_cast<uint8_t>(field >> 8);
        k[2] = static_cast<uint8_t>(field);
        std::memcpy(&k[3], w.data(), std::min<std::size_t>(w.size(), 61));
        k[64] = static_cast<uint8_t>(row >> 24);
        k[67] = static_cast<uint8_t>(row);
        return k;
    };
    const int32_t n = SYS_TEXT_KEY_SIZE;
    EXPECT_LT(c.cursor->CompareFieldValues(word(1, "ZEBRA", 1).data(), word(2, "APPLE", 1).data(), n), 0);
    EXPECT_LT(c.cursor->CompareFieldValues(word(1, "APPLE", 9).data(), word(1, "BANANA", 1).data(), n), 0);
    EXPECT_LT(c.cursor->CompareFieldValues(word(1, "APPLE", 1).data(), word(1, "APPLE", 2).data(), n), 0);
    // A prefix search compares the word's first letters only.
    EXPECT_EQ(c.cursor->CompareFieldValues(word(1, "APP", 1).data(), word(1, "APPLE", 2).data(), 3 + 3), 0);
    // A word that fills its whole room is compared without reading past it.
    const std::string longWord(61, 'Q');
    EXPECT_EQ(c.cursor->CompareFieldValues(word(1, longWord, 1).data(), word(1, longWord, 1).data(), n), 0);
}

TEST(KeyCompare, OtherTypesCompareAsTheirSortableBytes) {
    for (uint16_t language : {uint16_t{0}, kEnglish}) {
        SCOPED_TRACE(language);
        KeyCursor c(language, {Field(fldFLOAT, 0)}, false, true);
        const double values[] = {-1e9, -2.5, 0.0, 1.0, 3.25, 1e12};
        for (std::size_t i = 0; i + 1 < std::size(values); ++i)
            EXPECT_LT(c.Cmp(c.Build({&values[i]}), c.Build({&values[i + 1]})), 0) << values[i];
        KeyCursor d(language, {Field(fldINT16, 0)}, false, true);
        const int16_t small = -300, big = 300;
        EXPECT_LT(d.Cmp(d.Build({&small}), d.Build({&big})), 0);
    }
}

TEST(CursorCallbacks, UnsetSlotsAreSkippedAndSetOnesCalledWithTheCursor) {
    test::TempDir tmp;
    TDataSession session;
    TDataCursor cursor(session.OpenDataDirectory("DB", tmp.path()));
    // Nothing set: every dispatcher returns quietly; the password event says no.
    EXPECT_FALSE(cursor.DoPasswordEvent());
    cursor.DoStatusNumber("x", 1);
    cursor.DoStatusText("x");
    cursor.DoIndexProgress(50);
    cursor.DoImportProgress(10);
    cursor.DoExportProgress(10);
    uint8_t a1 = 7, a2 = 8;
    cursor.DoRestructureQuestion(1, "q", a1, a2);
    EXPECT_EQ(a1, 7);

    std::vector<uint16_t> imported;
    TDataCursor* sender = nullptr;
    cursor.SetImportProgressEvent([&](TDataCursor* s, uint16_t p) {
        sender = s;
        imported.push_back(p);
    });
    cursor.SetPasswordEvent([](TDataCursor*) { return true; });
    cursor.Events().RestructureQuestion = [](TDataCursor*, uint8_t kind, const std::string&, uint8_t& x, uint8_t& y) {
        x = kind;
        y = 2;
    };
    cursor.DoImportProgress(25);
    cursor.DoImportProgress(100);
    EXPECT_EQ(imported, (std::vector<uint16_t>{25, 100}));
    EXPECT_EQ(sender, &cursor);
    EXPECT_TRUE(cursor.DoPasswordEvent());
    cursor.DoRestructureQuestion(5, "q", a1, a2);
    EXPECT_EQ(a1, 5);
    EXPECT_EQ(a2, 2);
}
