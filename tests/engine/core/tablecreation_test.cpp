#include "engine/core/TableCreation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/core/EngineLibrary.h"
#include "engine/core/TextIndexParams.h"
#include "engine/core/TextWords.h"
#include "engine/errors/EngineErrors.h"
#include "engine/files/DataFile.h"
#include "engine/files/FieldTypes.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/EngineTestSupport.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/CursorTableTestSupport.h"
#include "tests/engine/core/TableTestSupport.h"

using namespace kura;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

const TDefinitionContext kContext{"", "/data/", "STAFF"};

TFieldDesc Field(uint16_t no, const char* name, TEngineFieldType type, uint8_t size = 0,
                 TEngineFieldSubtype subType = fldstNONE) {
    TFieldDesc d;
    d.SetFieldNo(no);
    d.SetName(name);
    d.SetFieldType(type);
    d.SetSubType(subType);
    d.SetDeclaredSize(size);
    return d;
}

TIndexDesc Index(const char* name, std::vector<uint16_t> fields, bool unique = false) {
    TIndexDesc d;
    d.SetName(name);
    for (std::size_t i = 0; i < fields.size(); ++i) d.SetField(static_cast<int>(i), fields[i]);
    d.SetByte(ido::Unique, unique ? 1 : 0);
    return d;
}

// Id (32-bit integer), Name (string of 20), Notes (memo), Photo (graphic BLOB).
std::vector<TFieldDesc> StaffFields() {
    return {Field(1, "Id", fldINT32), Field(2, "Name", fldZSTRING, 20), Field(3, "Notes", fldBLOB, 0, fldstMEMO),
            Field(4, "Photo", fldBLOB, 0, fldstGRAPHIC)};
}

TIndexDescSlots PrimaryOnId() {
    TIndexDescSlots slots{};
    slots[0] = Index("", {1});
    return slots;
}

using test::Raised;
using test::RaisedBy;

TEngineErrorCode FieldError(std::vector<TFieldDesc> fields, bool allowComputed = false) {
    return RaisedBy([&] { ValidateFieldDefs(kContext, allowComputed, fields, true); }).code;
}

TEngineErrorCode IndexError(TIndexDescSlots slots, uint32_t count, bool noPrimary = false) {
    std::vector<TFieldDesc> fields = StaffFields();
    ValidateFieldDefs(kContext, false, fields, true);
    return RaisedBy([&] { ValidateIndexDefs(kContext, slots, count, fields, noPrimary); }).code;
}

}  // namespace

// ---- Field definitions -------------------------------------------------------------------

TEST(FieldDefinitionChecks, NamesAreTrimmedAndMustBeDistinctIdentifiers) {
    std::vector<TFieldDesc> fields = {Field(1, "  Id ", fldINT32), Field(2, "Name", fldZSTRING, 20)};
    ValidateFieldDefs(kContext, false, fields, true);
    EXPECT_EQ(fields[0].Name(), "Id");

    const Raised dup = RaisedBy([] {
        std::vector<TFieldDesc> f = {Field(1, " Name", fldINT32), Field(2, "NAME ", fldZSTRING, 20)};
        ValidateFieldDefs(kContext, false, f, true);
    });
    EXPECT_EQ(dup.code, KURA_INVALIDFIELDNAME);
    EXPECT_EQ(dup.table, "STAFF");
    EXPECT_EQ(dup.field, "Name");

    EXPECT_EQ(FieldError({Field(1, "   ", fldINT32)}), KURA_INVALIDFIELDNAME);
    EXPECT_EQ(FieldError({Field(1, "1st", fldINT32)}), KURA_INVALIDFIELDNAME);
    EXPECT_EQ(FieldError({Field(1, "-x", fldINT32)}), KURA_INVALIDFIELDNAME);
    EXPECT_EQ(FieldError({Field(1, "_x", fldINT32)}), 0);
    // A double-byte name (code page 932 "社員") starts with a lead byte.
    EXPECT_EQ(FieldError({Field(1, "\x8E\xD0\x88\xF5", fldINT32)}), 0);
    // Trail bytes that look like lower-case letters are not folded: these differ.
    EXPECT_EQ(FieldError({Field(1, "\x83\x61", fldINT32), Field(2, "\x83\x41", fldINT32)}), 0);
}

TEST(FieldDefinitionChecks, NumbersTypesSizesAndConstants) {
    EXPECT_EQ(FieldError({Field(1, "A", fldINT32), Field(1, "B", fldINT32)}), KURA_INVALIDFLDTYPE);
    EXPECT_EQ(FieldError({Field(1, "A", fldUNKNOWN)}), KURA_INVALIDFLDTYPE);
    EXPECT_EQ(FieldError({Field(1, "A", fldZSTRING, 250)}), 0);
    EXPECT_EQ(FieldError({Field(1, "A", fldZSTRING, 251)}), KURA_INVALIDFLDTYPE);
    EXPECT_EQ(FieldError({Field(1, "A", fldZSTRING, 0)}), KURA_INVALIDFLDTYPE);
    EXPECT_EQ(FieldError({Field(1, "A", fldBYTES, 0)}), KURA_INVALIDFLDTYPE);
    EXPECT_EQ(FieldError({Field(1, "A", fldVARBYTES, 251)}), KURA_INVALIDFLDTYPE);

    // Sizes and decimals that mean nothing for the type are cleared; stored ones derived.
    std::vector<TFieldDesc> fields = {Field(1, "N", fldINT32, 99), Field(2, "Amount", fldBCD, 20),
                                      Field(3, "S", fldZSTRING, 10)};
    fields[0].SetDeclaredDecimals(3);
    fields[1].SetDeclaredDecimals(2);
    ValidateFieldDefs(kContext, false, fields, true);
    EXPECT_EQ(fields[0].DeclaredSize(), 0);
    EXPECT_EQ(fields[0].DeclaredDecimals(), 0);
    EXPECT_EQ(fields[0].StoredSize(), 4);
    EXPECT_EQ(fields[1].DeclaredDecimals(), 2);
    EXPECT_EQ(fields[1].StoredDecimals(), 2);
    EXPECT_EQ(fields[1].StoredSize(), 34);
    EXPECT_EQ(fields[2].StoredSize(), 11);

    TFieldDesc bad = Field(1, "N", fldINT32);
    bad.SetMinValue("ten");
    EXPECT_EQ(FieldError({bad}), KURA_INVALIDVCHKSTRUCT);
    bad = Field(1, "N", fldINT32);
    bad.SetMaxValue("1.5");
    EXPECT_EQ(FieldError({bad}), KURA_INVALIDVCHKSTRUCT);
    TFieldDesc hired = Field(1, "Hired", fldDATE);
    hired.SetDefaultValue("current_date");
    EXPECT_EQ(FieldError({hired}), 0);
    hired.SetDefaultValue("CURRENT_TIME");
    EXPECT_EQ(FieldError({hired}), KURA_INVALIDVCHKSTRUCT);

    TFieldDesc computed = Field(2, "Total", fldINT32);
    computed.SetComputed(1);
    EXPECT_EQ(FieldError({Field(1, "N", fldINT32), computed}), KURA_INVALIDFLDTYPE);
    EXPECT_EQ(FieldError({Field(1, "N", fldINT32), computed}, true), 0);
}

TEST(FieldDefinitionChecks, OffsetsFollowTheRecordHeader) {
    // The auto-increment field lives in the record header: the next field's
    // presence byte is the first byte after it.
    std::vector<TFieldDesc> fields = {Field(1, "Seq", fldINT32, 0, fldstAUTOINC), Field(2, "N", fldINT32),
                                      Field(3, "S", fldZSTRING, 5), Field(4, "T", fldINT16)};
    fields[3].SetComputed(1);
    fields[3].SetOffset(777);
    ValidateFieldDefs(kContext, true, fields, true);
    EXPECT_EQ(fields[0].Offset(), AUTOINC_FIELD_OFFSET);
    EXPECT_EQ(fields[1].Offset(), 9);
    EXPECT_EQ(fields[2].Offset(), 14);
    EXPECT_EQ(fields[3].Offset(), 777);  // computed fields take no room in the record

    // Counting only leaves the offsets alone.
    std::vector<TFieldDesc> counted = {Field(1, "A", fldINT32), Field(2, "B", fldINT32)};
    counted[1].SetOffset(1234);
    ValidateFieldDefs(kContext, false, counted, false);
    EXPECT_EQ(counted[1].Offset(), 1234);

    // 300 strings of 250 cannot be addressed by 16-bit offsets.
    std::vector<TFieldDesc> wide;
    for (uint16_t i = 1; i <= 300; ++i) wide.push_back(Field(i, ("F" + std::to_string(i)).c_str(), fldZSTRING, 250));
    EXPECT_EQ(FieldError(wide), KURA_RECTOOBIG);
}

// ---- Table-level checks ------------------------------------------------------------------

TEST(TableDefinitionChecks, PasswordLocaleCountsAndBlockSize) {
    auto check = [](bool encrypted, std::string_view password, uint16_t language, uint16_t block,
                    std::size_t fieldCount, uint32_t secondaries) {
        std::vector<TFieldDesc> fields;
        for (uint16_t i = 1; i <= fieldCount; ++i) fields.push_back(Field(i, ("F" + std::to_string(i)).c_str(), fldINT16));
        TIndexDescSlots slots{};
        slots[0] = Index("", {1});
        return RaisedBy([&] {
                   ValidateTableDefs(kContext, language, 0, encrypted, password, block, fields, slots, secondaries,
                                     false, false);
               }).code;
    };
    EXPECT_EQ(check(true, "fifteen-chars!!", 0, 512, 2, 0), 0);
    EXPECT_EQ(check(true, "sixteen-chars!!!", 0, 512, 2, 0), KURA_INVALIDPASSWORD);
    EXPECT_EQ(check(true, "    ", 0, 512, 2, 0), KURA_INVALIDPASSWORD);
    EXPECT_EQ(check(true, "", 0, 512, 2, 0), KURA_INVALIDPASSWORD);
    // Blanks around count for the trim but the header could not keep them all.
    EXPECT_EQ(check(true, " fifteen-chars!!", 0, 512, 2, 0), KURA_INVALIDPASSWORD);
    EXPECT_EQ(check(false, "", 0, 512, 2, 0), 0);
    EXPECT_EQ(check(false, "", 0x0411, 512, 2, 0), 0);  // Japanese
    EXPECT_EQ(check(false, "", 0x7FFF, 512, 2, 0), KURA_CANNOTLOADLDDRV);
    EXPECT_EQ(check(false, "", 0, 512, 1025, 0), KURA_FLDLIMIT);
    EXPECT_EQ(check(false, "", 0, 512, 1024, 0), 0);
    EXPECT_EQ(check(false, "", 0, 512, 2, 33), KURA_INDEXLIMIT);
    EXPECT_EQ(check(false, "", 0, 512, 2, 31), KURA_INDEXLIMIT);  // the index checks allow 30
    EXPECT_EQ(check(false, "", 0, 63, 2, 0), KURA_BLOBLIMIT);
    EXPECT_EQ(check(false, "", 0, 64, 2, 0), 0);
}

// ---- Index definitions -------------------------------------------------------------------

TEST(IndexDefinitionChecks, NamesOfSecondaryIndexes) {
    TIndexDescSlots slots = PrimaryOnId();
    slots[0].SetName("ignored");
    slots[1] = Index(" ByName ", {2});
    slots[2] = Index("ByIdName", {1, 2}, true);
    std::vector<TFieldDesc> fields = StaffFields();
    ValidateFieldDefs(kContext, false, fields, true);
    ValidateIndexDefs(kContext, slots, 2, fields, false);
    EXPECT_EQ(slots[0].GetName(), "");
    EXPECT_EQ(slots[0].GetByte(ido::Unique), 1);
    EXPECT_EQ(slots[1].GetName(), "ByName");

    slots = PrimaryOnId();
    slots[1] = Index("", {2});
    EXPECT_EQ(IndexError(slots, 1), KURA_INVALIDINDEXNAME);
    slots[1] = Index("9th", {2});
    EXPECT_EQ(IndexError(slots, 1), KURA_INVALIDINDEXNAME);
    slots[1] = Index("ByName", {2});
    slots[2] = Index("byname ", {1});
    EXPECT_EQ(IndexError(slots, 2), KURA_INDEXEXISTS);
}

TEST(IndexDefinitionChecks, KeyFieldsAndKeySizes) {
    TIndexDescSlots slots = PrimaryOnId();
    slots[1] = Index("Gap", {1, 0, 2});
    std::vector<TFieldDesc> fields = StaffFields();
    ValidateFieldDefs(kContext, false, fields, true);
    const Raised gap = RaisedBy([&] { ValidateIndexDefs(kContext, slots, 1, fields, false); });
    EXPECT_EQ(gap.code, KURA_INVALIDIDXDESC);
    EXPECT_EQ(gap.field, "2");
    EXPECT_EQ(gap.index, "Gap");

    slots[1] = Index("Two", {1, 2});
    ValidateIndexDefs(kContext, slots, 1, fields, false);
    EXPECT_EQ(slots[1].GetFieldCount(), 2);
    EXPECT_EQ(slots[1].GetKeySize(), 5 + 22 + 4);
    EXPECT_EQ(slots[0].GetKeySize(), 5);  // unique: no row identifier

    slots[1] = Index("ById", {1});
    slots[1].SetU32(ido::RootPage, 44);
    slots[1].SetU32(ido::FreeHead, 45);
    slots[1].SetU32(ido::ParamsPage, 46);
    ValidateIndexDefs(kContext, slots, 1, fields, false);
    EXPECT_EQ(slots[1].GetKeySize(), 9);
    EXPECT_EQ(slots[1].GetU32(ido::RootPage), 0u);
    EXPECT_EQ(slots[1].GetU32(ido::FreeHead), 0u);
    EXPECT_EQ(slots[1].GetU32(ido::ParamsPage), 0u);

    slots[1] = Index("Nobody", {9});
    EXPECT_EQ(IndexError(slots, 1), KURA_INVALIDIDXDESC);
    slots[1] = Index("ByPhoto", {4});
    const Raised blob = RaisedBy([&] { ValidateIndexDefs(kContext, slots, 1, fields, false); });
    EXPECT_EQ(blob.code, KURA_SEARCHCOLREQD);
    EXPECT_EQ(blob.field, "Photo");
    EXPECT_EQ(blob.index, "ByPhoto");
    slots[1] = Index("Empty", {});
    EXPECT_EQ(IndexError(slots, 1), KURA_INVALIDKEY);
    EXPECT_EQ(IndexError(PrimaryOnId(), 31), KURA_INDEXLIMIT);

    // Two strings of 250 and one of 20 exceed the 522 bytes of key fields.
    std::vector<TFieldDesc> wide = {Field(1, "A", fldZSTRING, 250), Field(2, "B", fldZSTRING, 250),
                                    Field(3, "C", fldZSTRING, 20)};
    ValidateFieldDefs(kContext, false, wide, true);
    TIndexDescSlots w{};
    w[0] = Index("", {1, 2});
    ValidateIndexDefs(kContext, w, 0, wide, false);
    EXPECT_EQ(w[0].GetKeySize(), 504);
    w[0] = Index("", {1, 2, 3});
    EXPECT_EQ(RaisedBy([&] { ValidateIndexDefs(kContext, w, 0, wide, false); }).code, KURA_INVALIDKEY);
}

TEST(IndexDefinitionChecks, PrimaryIndexAndNoPrimaryOption) {
    TIndexDescSlots slots{};
    EXPECT_EQ(IndexError(slots, 0, false), KURA_INVALIDKEY);
    EXPECT_EQ(IndexError(slots, 0, true), 0);
    slots[0] = Index("", {9});
    EXPECT_EQ(IndexError(slots, 0, false), KURA_INVALIDIDXDESC);

    // Under the option an unknown field ends the primary's list.
    std::vector<TFieldDesc> fields = StaffFields();
    ValidateFieldDefs(kContext, false, fields, true);
    slots[0] = Index("", {1, 9, 2});
    ValidateIndexDefs(kContext, slots, 0, fields, true);
    EXPECT_EQ(slots[0].GetFieldCount(), 1);
    EXPECT_EQ(slots[0].GetField(1), 0);
    EXPECT_EQ(slots[0].GetField(2), 0);
    EXPECT_EQ(slots[0].GetKeySize(), 5);
}

TEST(IndexDefinitionChecks, FullTextIndexFields) {
    std::vector<TFieldDesc> fields = StaffFields();
    ValidateFieldDefs(kContext, false, fields, true);
    TIndexDescSlots slots = PrimaryOnId();
    slots[SYS_TEXT_SLOT] = Index("Sys Text", {2, 3});
    ValidateIndexDefs(kContext, slots, 0, fields, false);
    EXPECT_EQ(slots[SYS_TEXT_SLOT].GetKeySize(), SYS_TEXT_KEY_SIZE);
    EXPECT_EQ(slots[SYS_TEXT_SLOT].GetFieldCount(), 2);

    slots[SYS_TEXT_SLOT] = Index("Sys Text", {1});
    EXPECT_EQ(IndexError(slots, 0), KURA_SEARCHCOLREQD);
    slots[SYS_TEXT_SLOT] = Index("Sys Text", {4});  // a BLOB that is not a memo
    EXPECT_EQ(IndexError(slots, 0), KURA_SEARCHCOLREQD);
    slots[SYS_TEXT_SLOT] = Index("Sys Text", {2, 0, 3});
    EXPECT_EQ(IndexError(slots, 0), KURA_INVALIDIDXDESC);
    slots[SYS_TEXT_SLOT] = Index("Sys Text", {7});
    EXPECT_EQ(IndexError(slots, 0), KURA_INVALIDIDXDESC);
}

// ---- Definition comparisons of restructuring --------------------------------------------

TEST(DefinitionComparison, FieldsAndIndexRebuilds) {
    TFieldDesc a = Field(2, "Name", fldZSTRING, 20);
    a.DerivePhysical();
    a.SetDefaultValue("abc");
    TFieldDesc b = a;
    b.SetName("Renamed");
    b.SetDescription("other");
    b.SetDefaultValue("ABC");
    EXPECT_FALSE(CompareFieldDefs(a, b));
    b.SetDeclaredSize(30);
    b.DerivePhysical();
    EXPECT_TRUE(CompareFieldDefs(a, b));
    b = a;
    b.SetRequired(1);
    EXPECT_TRUE(CompareFieldDefs(a, b));
    b = a;
    b.Bytes[fdo::Reserved] = 1;
    EXPECT_TRUE(CompareFieldDefs(a, b));

    std::vector<TFieldDesc> oldFields = StaffFields();
    ValidateFieldDefs(kContext, false, oldFields, true);
    std::vector<TFieldDesc> newFields = oldFields;
    TIndexDescSlots oldSlots = PrimaryOnId();
    oldSlots[1] = Index("ByName", {2});
    ValidateIndexDefs(kContext, oldSlots, 1, oldFields, false);
    TIndexDescSlots newSlots = oldSlots;
    EXPECT_FALSE(IndexNeedsRebuild(kContext, oldSlots[1], newSlots[1], oldFields, newFields));
    newSlots[1].SetByte(ido::CaseInsensitive, 1);
    EXPECT_TRUE(IndexNeedsRebuild(kContext, oldSlots[1], newSlots[1], oldFields, newFields));
    newSlots[1] = oldSlots[1];
    newFields[1].SetDeclaredSize(21);
    newFields[1].DerivePhysical();
    EXPECT_TRUE(IndexNeedsRebuild(kContext, oldSlots[1], newSlots[1], oldFields, newFields));
    newFields.erase(newFields.begin() + 1);
    const Raised missing = RaisedBy([&] { IndexNeedsRebuild(kContext, oldSlots[1], newSlots[1], oldFields, newFields); });
    EXPECT_EQ(missing.code, KURA_OUTOFRANGE);
    EXPECT_EQ(missing.field, "2");
}

// ---- Stored form of the full-text parameters ---------------------------------------------

namespace {

struct Decoded {
    bool ok = false;
    TLanguageStringList words;
    TCharSet spaces, includes;
};

Decoded Decode(const std::vector<std::vector<uint8_t>>& pages) {
    Decoded d;
    d.words.SetSorted(true);
    std::size_t next = 1;
    d.ok = DecodeTextIndexParams(pages.empty() ? nullptr : pages[0].data(),
                                 [&]() -> const uint8_t* { return next < pages.size() ? pages[next++].data() : nullptr; },
                                 d.words, d.spaces, d.includes);
    return d;
}

void PutU32(std::vector<uint8_t>& page, std::size_t at, uint32_t v) { dfbytes::PutU32(page.data() + at, v); }

}  // namespace

TEST(TextIndexParamsFormat, LayoutAndRoundTripOverSeveralPages) {
    TLanguageStringList words;
    words.SetSorted(true);
    TCharSet spaces, includes;
    GetDefaultTextIndexParams(words, spaces, includes);
    auto pages = EncodeTextIndexParams(words, spaces, includes);
    ASSERT_EQ(pages.size(), 1u);
    ASSERT_EQ(pages[0].size(), static_cast<std::size_t>(PAGE_DATA_SIZE));
    EXPECT_EQ(dfbytes::GetU32(pages[0].data()), 22u);
    EXPECT_EQ(dfbytes::GetU32(pages[0].data() + 4), 1u);  // "A"
    EXPECT_EQ(pages[0][8], 'A');
    EXPECT_EQ(dfbytes::GetU32(pages[0].data() + 9), 2u);  // "AN"
    // Byte 4 of the space set holds characters 32..39: " " is bit 0, "*" bit 10 of
    // the set is byte 5 bit 2.
    const auto bytes = CharSetToBytes(spaces);
    EXPECT_EQ(bytes[4] & 1, 1);
    EXPECT_EQ(bytes[5] & 4, 4);
    EXPECT_EQ(BytesToCharSet(bytes.data()), spaces);

    // 900 words of 8 to 17 bytes need several pages; no item straddles a page.
    TLanguageStringList many;
    many.SetSorted(true);
    for (int i = 0; i < 900; ++i) many.Add("WORD" + std::to_string(i) + std::string(static_cast<std::size_t>(i % 10), 'X'));
    pages = EncodeTextIndexParams(many, spaces, includes);
    EXPECT_GE(pages.size(), 4u);
    Decoded back = Decode(pages);
    ASSERT_TRUE(back.ok);
    ASSERT_EQ(back.words.Count(), many.Count());
    for (int32_t i = 0; i < many.Count(); ++i) EXPECT_EQ(back.words.Get(i), many.Get(i));
    EXPECT_EQ(back.spaces, spaces);
    EXPECT_EQ(back.includes, includes);

    // Fifteen 255-byte words end at 4 + 15 * 259 = 3889; a sixteenth keeps its
    // length on the page (3893 <= 4083) but its bytes would end at 4148.
    TLanguageStringList edge;
    for (int i = 0; i < 15; ++i) edge.Add(std::string(255, static_cast<char>('A' + i)));
    pages = EncodeTextIndexParams(edge, spaces, includes);
    ASSERT_EQ(pages.size(), 1u);
    edge.Add(std::string(255, 'Z'));
    pages = EncodeTextIndexParams(edge, spaces, includes);
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(dfbytes::GetU32(pages[0].data() + 3889), 255u);
    EXPECT_EQ(pages[1][0], 'Z');
    EXPECT_EQ(dfbytes::GetU32(pages[1].data() + 255), 32u);
    EXPECT_TRUE(Decode(pages).ok);
    // Words longer than a short string are stored cut.
    TLanguageStringList longWord;
    longWord.Add(std::string(300, 'L'));
    EXPECT_EQ(Decode(EncodeTextIndexParams(longWord, spaces, includes)).words.Get(0).size(), 255u);
}

TEST(TextIndexParamsFormat, DamagedStreamsAreRefused) {
    TLanguageStringList words;
    TCharSet spaces, includes;
    GetDefaultTextIndexParams(words, spaces, includes);
    const auto good = EncodeTextIndexParams(words, spaces, includes);

    auto damaged = good;
    PutU32(damaged[0], 0, 0x80000000u);  // a negative count
    EXPECT_FALSE(Decode(damaged).ok);
    damaged = good;
    PutU32(damaged[0], 4, 5000);  // a word longer than a page
    EXPECT_FALSE(Decode(damaged).ok);
    damaged = good;
    PutU32(damaged[0], 4, 0xFFFFFFF0u);  // a negative length
    EXPECT_FALSE(Decode(damaged).ok);
    damaged = good;
    PutU32(damaged[0], 0, 2000);  // more words than the page holds, and no next page
    EXPECT_FALSE(Decode(damaged).ok);
    damaged = good;
    std::size_t setAt = 4;
    for (int i = 0; i < 22; ++i) setAt += 4 + words.Get(i).size();
    EXPECT_EQ(dfbytes::GetU32(damaged[0].data() + setAt), 32u);
    PutU32(damaged[0], setAt, 40);  // a set that would not fit its 32 bytes
    EXPECT_FALSE(Decode(damaged).ok);
    EXPECT_FALSE(Decode({}).ok);
    EXPECT_TRUE(Decode(good).ok);
}

// ---- Creating, deleting, renaming and emptying tables through a cursor -------------------

namespace {

namespace fs = std::filesystem;

struct Db : test::TestDb {
    std::string File(const std::string& name) const { return (fs::path(tmp.path()) / name).string(); }
    bool Exists(const std::string& name) const { return fs::exists(File(name)); }
    std::unique_ptr<TDataCursor> Cursor(const std::string& table, bool exclusive = true) {
        auto c = std::make_unique<TDataCursor>(dir);
        c->SetTableName(table);
        c->SetExclusive(exclusive);
        return c;
    }
};

// The full set of definitions of a staff table, and the options of a create.
struct Plan {
    std::vector<TFieldDesc> fields = StaffFields();
    TIndexDescSlots slots = PrimaryOnId();
    uint32_t secondaries = 1;
    const TStringList* stopWords = nullptr;
    TCharSet spaces, includes;
    bool encrypted = false;
    std::string password;
    bool overwrite = false;
    bool noPrimary = false;
    uint16_t language = 0;
    Plan() {
        slots[1] = Index("ByName", {2});
        slots[SYS_TEXT_SLOT] = Index("", {2, 3});
    }
};

void Create(TDataCursor& c, Plan& s) {
    c.CreateTable(s.language, 0, s.overwrite, s.stopWords, s.spaces, s.includes, s.fields, s.slots, s.secondaries,
                  256, "staff records", s.password, s.encrypted, 3, 7, s.noPrimary);
}

std::vector<std::string> Words(TLanguageStringList& list) {
    std::vector<std::string> words;
    for (int32_t i = 0; i < list.Count(); ++i) words.push_back(list.Get(i));
    return words;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

uint32_t ParamsPageOnDisk(const std::vector<uint8_t>& idx) {
    return dfbytes::GetU32(idx.data() + iho::Descs + SYS_TEXT_SLOT * INDEX_DESC_SIZE + ido::ParamsPage);
}

}  // namespace

TEST(CreateTable, NeedsAClosedExclusiveWritableCursorAndValidDefinitions) {
    Db db;
    Plan s;
    auto shared = db.Cursor("STAFF", false);
    EXPECT_EQ(RaisedBy([&] { Create(*shared, s); }).code, KURA_NEEDEXCLACCESS);
    auto readOnly = db.Cursor("STAFF");
    readOnly->SetReadOnly(true);
    EXPECT_EQ(RaisedBy([&] { Create(*readOnly, s); }).code, KURA_OSEACCES);

    // A failed check leaves no file behind.
    auto c = db.Cursor("STAFF");
    s.fields[1].SetDeclaredSize(251);
    const Raised bad = RaisedBy([&] { Create(*c, s); });
    EXPECT_EQ(bad.code, KURA_INVALIDFLDTYPE);
    EXPECT_EQ(bad.table, "STAFF");
    s = Plan();
    s.slots[1] = Index("ByPhoto", {4});
    EXPECT_EQ(RaisedBy([&] { Create(*c, s); }).code, KURA_SEARCHCOLREQD);
    EXPECT_FALSE(db.Exists("STAFF.DAT"));
    EXPECT_FALSE(db.Exists("STAFF.IDX"));

    s = Plan();
    Create(*c, s);
    EXPECT_FALSE(c->IsOpen());
    EXPECT_TRUE(db.Exists("STAFF.DAT") && db.Exists("STAFF.IDX") && db.Exists("STAFF.BLB"));

    // Over an existing table only with the overwrite option.
    s = Plan();
    EXPECT_EQ(RaisedBy([&] { Create(*c, s); }).code, KURA_TABLEEXISTS);
    s.overwrite = true;
    s.secondaries = 0;
    Create(*c, s);
    c->OpenCursor();
    EXPECT_EQ(c->GetIndexCount(), 0);
    // An open cursor cannot create.
    EXPECT_EQ(RaisedBy([&] { Create(*c, s); }).code, KURA_TABLEOPEN);
    // Nor can another cursor while the table is open.
    auto other = db.Cursor("STAFF");
    EXPECT_EQ(RaisedBy([&] { Create(*other, s); }).code, KURA_OSEACCES);
}

TEST(CreateTable, DefinitionsAndHeaderAreReadFromTheFiles) {
    Db db;
    Plan s;
    // Field numbers are positions: the auto-increment field comes first.
    s.fields.insert(s.fields.begin(), Field(1, " Seq ", fldINT32, 0, fldstAUTOINC));
    for (uint16_t i = 1; i < s.fields.size(); ++i) s.fields[i].SetFieldNo(static_cast<uint16_t>(i + 1));
    s.slots[0] = Index("", {2});
    s.slots[1] = Index("ByName", {3});
    s.slots[2] = Index("BySeq", {1}, true);
    s.slots[SYS_TEXT_SLOT] = Index("", {3, 4});
    s.secondaries = 2;
    auto c = db.Cursor("STAFF");
    Create(*c, s);
    EXPECT_EQ(s.fields[0].Offset(), AUTOINC_FIELD_OFFSET);  // completed in place
    EXPECT_EQ(s.fields[1].Offset(), 9);

    // The header of the closed table, without opening it.
    uint8_t header[DATA_HEADER_SIZE];
    c->GetDataHeader(header);
    EXPECT_EQ(header[dho::Version], DATA_FILE_VERSION);
    EXPECT_EQ(dfbytes::GetU16(&header[dho::FieldCount]), 5);
    EXPECT_EQ(dfbytes::GetU16(&header[dho::BlobFieldCount]), 2);
    EXPECT_EQ(dfbytes::GetU16(&header[dho::RecordSize]), 9 + 5 + 22 + 9 + 9);
    EXPECT_EQ(dfbytes::GetPStr(&header[dho::Description], TABLE_DESCRIPTION_LENGTH), "staff records");
    EXPECT_EQ(c->GetUserMajorVersion(), 3);
    EXPECT_EQ(c->GetUserMinorVersion(), 7);
    EXPECT_EQ(c->GetBlobBlockSize(), 256);
    EXPECT_FALSE(c->IsOpen());

    // The files alone carry the definitions.
    TDataFile data(nullptr);
    data.FileName = db.File("STAFF.DAT");
    data.ReadOnly = true;
    data.OpenFile();
    TFieldDesc seq;
    ASSERT_TRUE(data.GetFieldDesc(1, seq));
    EXPECT_EQ(seq.Name(), "Seq");
    EXPECT_EQ(seq.Offset(), AUTOINC_FIELD_OFFSET);
    TFieldDesc name;
    ASSERT_TRUE(data.GetFieldDesc(3, name));
    EXPECT_EQ(name.Name(), "Name");
    EXPECT_EQ(name.StoredSize(), 21);
    EXPECT_EQ(name.Offset(), 14);
    data.CloseFile();

    TIndexFile index(nullptr);
    index.FileName = db.File("STAFF.IDX");
    index.ReadOnly = true;
    index.OpenFile();
    TIndexDesc d;
    EXPECT_EQ(index.GetIndexCount(), 2);
    EXPECT_FALSE(index.GetNoPrimaryIndex());
    index.GetIndexDesc(0, d);
    EXPECT_EQ(d.GetKeySize(), 5);
    EXPECT_EQ(d.GetByte(ido::Unique), 1);
    index.GetIndexDesc(1, d);
    EXPECT_EQ(d.GetName(), "ByName");
    EXPECT_EQ(d.GetKeySize(), 22 + 4);
    index.GetIndexDesc(2, d);
    EXPECT_EQ(d.GetName(), "BySeq");
    EXPECT_EQ(d.GetKeySize(), 5);
    index.GetIndexDesc(SYS_TEXT_SLOT, d);
    EXPECT_EQ(d.GetName(), "Sys Text");
    EXPECT_EQ(d.GetKeySize(), SYS_TEXT_KEY_SIZE);
    EXPECT_EQ(d.GetByte(ido::Compression), kcBoth);
    EXPECT_EQ(d.GetFieldCount(), 2);
    EXPECT_NE(d.GetU32(ido::ParamsPage), 0u);  // the full-text parameters are stored
    index.CloseFile();

    c->OpenCursor();
    EXPECT_TRUE(c->IndexNameExists("byname"));
    EXPECT_FALSE(c->IndexNameExists("ByPhoto"));
    c->CloseCursor(false);

    // Without a primary index.
    Plan n;
    n.slots[0] = TIndexDesc{};
    n.noPrimary = true;
    auto np = db.Cursor("NOPRIM");
    Create(*np, n);
    np->OpenCursor();
    EXPECT_TRUE(np->GetNoPrimaryIndex());
    EXPECT_TRUE(np->IsNaturalOrder());
}

TEST(CreateTable, EncryptedHeaderNeedsThePassword) {
    Db db;
    Plan s;
    s.encrypted = true;
    s.password = "secret";
    auto c = db.Cursor("VAULT");
    Create(*c, s);
    uint8_t header[DATA_HEADER_SIZE];
    EXPECT_EQ(RaisedBy([&] { c->GetDataHeader(header); }).code, KURA_NOTSUFFTABLERIGHTS);
    EXPECT_EQ(RaisedBy([&] { c->DeleteTable(); }).code, KURA_NOTSUFFTABLERIGHTS);
    EXPECT_TRUE(db.Exists("VAULT.DAT"));
    int asked = 0;
    c->SetPasswordEvent([&](TDataCursor*) {
        ++asked;
        db.session.AddPassword("secret");
        return true;
    });
    c->GetDataHeader(header);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(header[dho::Encrypted], 1);
    c->DeleteTable();
    EXPECT_FALSE(db.Exists("VAULT.DAT"));
}

TEST(TableFiles, DeleteRenameAndBackup) {
    Db db;
    Plan s;
    auto c = db.Cursor("STAFF");
    Create(*c, s);

    auto reader = db.Cursor("STAFF", false);
    reader->OpenCursor();
    EXPECT_EQ(RaisedBy([&] { c->DeleteTable(); }).code, KURA_OSEACCES);
    EXPECT_EQ(RaisedBy([&] { reader->DeleteTable(); }).code, KURA_TABLEOPEN);
    reader->CloseCursor(false);

    c->RenameTable("PEOPLE");
    EXPECT_FALSE(db.Exists("STAFF.DAT") || db.Exists("STAFF.IDX") || db.Exists("STAFF.BLB"));
    EXPECT_TRUE(db.Exists("PEOPLE.DAT") && db.Exists("PEOPLE.IDX") && db.Exists("PEOPLE.BLB"));
    EXPECT_NE(RaisedBy([&] { c->DeleteTable(); }).code, 0);  // STAFF is gone

    auto people = db.Cursor("PEOPLE");
    people->OpenCursor();
    EXPECT_EQ(people->GetFieldCount(), 4);
    people->CloseCursor(false);

    people->BackupTableFiles();
    EXPECT_TRUE(db.Exists("PEOPLE.DBK") && db.Exists("PEOPLE.IBK") && db.Exists("PEOPLE.BBK"));
    EXPECT_FALSE(db.Exists("PEOPLE.DAT"));

    Create(*people, s);
    people->DeleteTable();
    EXPECT_FALSE(db.Exists("PEOPLE.DAT") || db.Exists("PEOPLE.IDX") || db.Exists("PEOPLE.BLB"));
    EXPECT_TRUE(db.Exists("PEOPLE.DBK"));

    // The same for a table of the in-memory file store: nothing reaches the folder.
    auto mem = db.Cursor("MEMSTAFF");
    mem->SetInMemory(true);
    Create(*mem, s);
    EXPECT_TRUE(db.dir->TableExists("MEMSTAFF", true));
    EXPECT_FALSE(db.Exists("MEMSTAFF.DAT"));
    mem->DeleteTable();
    EXPECT_FALSE(db.dir->TableExists("MEMSTAFF", true));
}

TEST(TableFiles, EmptyTableKeepsDefinitionsAndTextParameters) {
    Db db;
    Plan s;
    TStringList custom;
    custom.Add("KURA");
    custom.Add("YOMI");
    s.stopWords = &custom;
    auto c = db.Cursor("STAFF");
    Create(*c, s);

    auto shared = db.Cursor("STAFF", false);
    shared->OpenCursor();
    EXPECT_EQ(RaisedBy([&] { shared->EmptyTable(); }).code, KURA_NEEDEXCLACCESS);
    shared->CloseCursor(false);

    c->OpenCursor();
    for (int id = 1; id <= 3; ++id) test::AppendRecord(*c->GetTable(), id);
    EXPECT_EQ(c->GetTableRecordCount(), 3u);
    c->BackupIndexFile();
    EXPECT_TRUE(db.Exists("STAFF.IBK"));
    c->EmptyTable();
    EXPECT_EQ(c->GetTableRecordCount(), 0u);
    EXPECT_EQ(c->GetRecordCount(), 0u);
    c->RestoreIndexFile(true, true);
    EXPECT_FALSE(db.Exists("STAFF.IBK"));
    c->CloseCursor(false);

    auto again = db.Cursor("STAFF", false);
    again->OpenCursor();
    EXPECT_EQ(again->GetTableRecordCount(), 0u);
    EXPECT_EQ(again->GetIndexCount(), 1);
    EXPECT_EQ(Words(again->GetStopWords()), (std::vector<std::string>{"KURA", "YOMI"}));
    EXPECT_EQ(again->GetSpaceChars(), DefaultSpaceChars());
}

// ---- The full-text parameters in the index file ------------------------------------------

TEST(TextIndexParams, DefaultsGivenSetsAndManyWordsSurviveTheFile) {
    Db db;
    Plan plain;
    auto c = db.Cursor("PLAIN");
    Create(*c, plain);
    auto reader = db.Cursor("PLAIN", false);
    reader->OpenCursor();
    EXPECT_EQ(reader->GetStopWords().Count(), 22);
    int32_t at = 0;
    EXPECT_TRUE(reader->GetStopWords().Find("the", at));  // the locale's case-insensitive search
    EXPECT_EQ(reader->GetSpaceChars(), DefaultSpaceChars());
    EXPECT_EQ(reader->GetIncludeChars(), DefaultIncludeChars());
    reader->CloseCursor(false);

    // 1500 stop words need several raw-data pages; given sets replace the defaults.
    TStringList many;
    for (int i = 0; i < 1500; ++i) many.Add("W" + std::to_string(100000 + i));
    Plan big;
    big.stopWords = &many;
    big.spaces.set(' ');
    big.spaces.set(0x81);
    big.includes.set('Q');
    auto b = db.Cursor("BIG");
    Create(*b, big);
    auto check = db.Cursor("BIG", false);
    check->OpenCursor();
    TLanguageStringList& words = check->GetStopWords();
    ASSERT_EQ(words.Count(), 1500);
    EXPECT_EQ(words.Get(0), "W100000");
    EXPECT_EQ(words.Get(1499), "W101499");
    EXPECT_EQ(check->GetSpaceChars(), big.spaces);
    EXPECT_EQ(check->GetIncludeChars(), big.includes);
    check->CloseCursor(false);

    const auto idx = ReadFileBytes(db.File("BIG.IDX"));
    const uint32_t first = ParamsPageOnDisk(idx);
    ASSERT_NE(first, 0u);
    const uint8_t* page = idx.data() + static_cast<std::size_t>(first) * INDEX_PAGE_SIZE;
    EXPECT_EQ(page[0], ptRawData);
    EXPECT_NE(dfbytes::GetU32(page + 7), 0u);  // linked to a second page
    EXPECT_EQ(dfbytes::GetU32(page + PAGE_HEADER_SIZE), 1500u);
}

TEST(TextIndexParams, ReadingWritesNothingAndDamageIsRefused) {
    Db db;
    Plan s;
    auto c = db.Cursor("STAFF");
    Create(*c, s);
    const auto before = ReadFileBytes(db.File("STAFF.IDX"));
    {
        auto reader = db.Cursor("STAFF", false);
        reader->OpenCursor();
        // The load leaves the read brackets as it found them: none, or the caller's.
        TDataTable& table = *reader->GetTable();
        table.BeginRead();
        EXPECT_EQ(reader->GetStopWords().Count(), 22);
        EXPECT_TRUE(table.IsReadLocked());
        EXPECT_EQ(table.GetReadDepth(), 1u);
        table.EndRead();
        EXPECT_FALSE(table.IsReadLocked());
        reader->CloseCursor(false);
    }
    EXPECT_EQ(ReadFileBytes(db.File("STAFF.IDX")), before);
    {
        auto reader = db.Cursor("STAFF", false);
        reader->OpenCursor();
        EXPECT_EQ(reader->GetIncludeChars(), DefaultIncludeChars());
        EXPECT_FALSE(reader->GetTable()->IsReadLocked());
    }

    // A first raw-data page of another type.
    auto damaged = before;
    const std::size_t at = static_cast<std::size_t>(ParamsPageOnDisk(before)) * INDEX_PAGE_SIZE;
    damaged[at] = ptLeaf;
    WriteFileBytes(db.File("STAFF.IDX"), damaged);
    {
        auto reader = db.Cursor("STAFF", false);
        reader->OpenCursor();
        const Raised r = RaisedBy([&] { reader->GetStopWords(); });
        EXPECT_EQ(r.code, KURA_INDEXCORRUPT);
        EXPECT_EQ(r.table, "STAFF");
    }

    // A chain that links back to itself while the count asks for more words.
    damaged = before;
    dfbytes::PutU32(damaged.data() + at + 7, ParamsPageOnDisk(before));
    dfbytes::PutU32(damaged.data() + at + PAGE_HEADER_SIZE, 100000);
    WriteFileBytes(db.File("STAFF.IDX"), damaged);
    {
        auto reader = db.Cursor("STAFF", false);
        reader->OpenCursor();
        EXPECT_EQ(RaisedBy([&] { reader->GetStopWords(); }).code, KURA_INDEXCORRUPT);
        // The failed load leaves the cursor usable.
        EXPECT_EQ(reader->GetCurrentIndexNo(), 0);
        reader->CloseCursor(false);
    }
}
