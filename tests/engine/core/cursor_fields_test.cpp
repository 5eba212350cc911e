// Field access on record buffers for every stored type, definitions, bookmarks, the
// record lock and the brackets of a cursor.
#include "engine/core/DataCursor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/core/EngineLibrary.h"
#include "engine/errors/EngineErrors.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/CursorTestRows.h"
#include "tests/engine/core/TableTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

// One field of every stored type.
enum : uint16_t {
    fText = 1, fDate, fBlob, fBool, fInt16, fInt32, fFloat, fBcd, fBytes, fTime, fStamp, fWord, fDword,
    fInt64, fAuto, fUpper
};

TTableDefinition AllTypes() {
    TFieldDesc upper = NewField("Upper", fldZSTRING, 8);
    upper.Bytes[fdo::Reserved] = 2;  // character case: upper
    return test::DefinitionOf({
        NewField("Text", fldZSTRING, 5),  NewField("Date", fldDATE),       NewField("Blob", fldBLOB, 0, fldstMEMO),
        NewField("Bool", fldBOOL),        NewField("Int16", fldINT16),     NewField("Int32", fldINT32),
        NewField("Float", fldFLOAT),      NewField("Bcd", fldBCD),         NewField("Bytes", fldBYTES, 6),
        NewField("Time", fldTIME),        NewField("Stamp", fldTIMESTAMP), NewField("Word", fldUINT16),
        NewField("Dword", fldUINT32),     NewField("Int64", fldINT64),     NewField("Auto", fldINT32, 0, fldstAUTOINC),
        upper,
    });
}

template <class T>
T Read(TDataCursor& c, uint16_t field, const std::vector<uint8_t>& buffer, bool& blank) {
    TFieldDesc desc;
    c.GetFieldDesc(field, desc);
    std::vector<uint8_t> value(std::max<std::size_t>(desc.StoredSize(), sizeof(T)), 0xEE);
    c.GetField(field, buffer.data(), value.data(), blank);
    T out;
    std::memcpy(&out, value.data(), sizeof(T));
    return out;
}

std::string ReadText(TDataCursor& c, uint16_t field, const std::vector<uint8_t>& buffer, bool& blank) {
    char value[256] = {};
    c.GetField(field, buffer.data(), value, blank);
    return value;
}

int32_t IdOf(TDataCursor& c) { return static_cast<int32_t>(dfbytes::GetU32(c.GetRecordBuffer() + 10)); }

}  // namespace

TEST(CursorFields, GetAndPutEveryType) {
    TempDir tmp;
    CursorDb db(tmp.path());
    test::CreateTableOf(*db.dir, "ALL", AllTypes());
    auto c = OpenCursorOn(db.dir, "ALL");
    std::vector<uint8_t> buffer(c->GetCursorRecordSize(), 0);
    bool blank = false;

    // Strings: trailing blanks go, long values are cut to the room, empty is blank.
    c->PutField(fText, buffer.data(), "abc  ");
    EXPECT_EQ(ReadText(*c, fText, buffer, blank), "abc");
    EXPECT_FALSE(blank);
    c->PutField(fText, buffer.data(), "0123456789");
    EXPECT_EQ(ReadText(*c, fText, buffer, blank), "01234");
    c->PutField(fText, buffer.data(), "");
    EXPECT_EQ(ReadText(*c, fText, buffer, blank), "");
    EXPECT_TRUE(blank);
    c->PutField(fText, buffer.data(), "   ");
    c->GetField(fText, buffer.data(), nullptr, blank);
    EXPECT_TRUE(blank);
    c->PutField(fUpper, buffer.data(), "mixed");
    EXPECT_EQ(ReadText(*c, fUpper, buffer, blank), "MIXED");
    // A text longer than any field stops at the work area.
    const std::string huge(400, 'x');
    c->PutField(fUpper, buffer.data(), huge.c_str());
    EXPECT_EQ(ReadText(*c, fUpper, buffer, blank), std::string(8, 'X'));

    // Fixed-size values round-trip and are present.
    const int32_t date = 730000;
    const int16_t i16 = -12345;
    const int32_t i32 = -7;
    const double f = 3.5;
    uint8_t bcd[34] = {4, 2, 0x12, 0x34};
    const uint8_t bytes[6] = {1, 2, 0, 4, 5, 6};
    const int32_t time = 3600000;
    const double stamp = 63e12;
    const uint16_t word = 65535;
    const uint32_t dword = 4000000000u;
    const int64_t i64 = -(int64_t{1} << 40);
    c->PutField(fDate, buffer.data(), &date);
    c->PutField(fInt16, buffer.data(), &i16);
    c->PutField(fInt32, buffer.data(), &i32);
    c->PutField(fFloat, buffer.data(), &f);
    c->PutField(fBcd, buffer.data(), bcd);
    c->PutField(fBytes, buffer.data(), bytes);
    c->PutField(fTime, buffer.data(), &time);
    c->PutField(fStamp, buffer.data(), &stamp);
    c->PutField(fWord, buffer.data(), &word);
    c->PutField(fDword, buffer.data(), &dword);
    c->PutField(fInt64, buffer.data(), &i64);
    EXPECT_EQ(Read<int32_t>(*c, fDate, buffer, blank), date);
    EXPECT_FALSE(blank);
    EXPECT_EQ(Read<int16_t>(*c, fInt16, buffer, blank), i16);
    EXPECT_EQ(Read<int32_t>(*c, fInt32, buffer, blank), i32);
    EXPECT_EQ(Read<double>(*c, fFloat, buffer, blank), f);
    std::vector<uint8_t> bcdOut(34);
    c->GetField(fBcd, buffer.data(), bcdOut.data(), blank);
    EXPECT_EQ(0, std::memcmp(bcdOut.data(), bcd, 34));
    std::vector<uint8_t> bytesOut(6);
    c->GetField(fBytes, buffer.data(), bytesOut.data(), blank);
    EXPECT_EQ(bytesOut, std::vector<uint8_t>(bytes, bytes + 6));
    EXPECT_EQ(Read<int32_t>(*c, fTime, buffer, blank), time);
    EXPECT_EQ(Read<double>(*c, fStamp, buffer, blank), stamp);
    EXPECT_EQ(Read<uint16_t>(*c, fWord, buffer, blank), word);
    EXPECT_EQ(Read<uint32_t>(*c, fDword, buffer, blank), dword);
    EXPECT_EQ(Read<int64_t>(*c, fInt64, buffer, blank), i64);

    // Booleans are stored as 0 or 1.
    const uint16_t yes = 0x0100;
    const uint16_t no = 0;
    c->PutField(fBool, buffer.data(), &yes);
    EXPECT_EQ(Read<uint16_t>(*c, fBool, buffer, blank), 1);
    c->PutField(fBool, buffer.data(), &no);
    EXPECT_EQ(Read<uint16_t>(*c, fBool, buffer, blank), 0);
    EXPECT_FALSE(blank);

    // Nil makes a field blank and zero; the value is still handed out.
    c->PutField(fInt32, buffer.data(), nullptr);
    EXPECT_EQ(Read<int32_t>(*c, fInt32, buffer, blank), 0);
    EXPECT_TRUE(blank);

    // The auto-increment field lives in the record header: never blank, and nil
    // leaves it as it is.
    const uint32_t autoValue = 77;
    c->PutField(fAuto, buffer.data(), &autoValue);
    EXPECT_EQ(TDataCursor::GetBufferAutoInc(buffer.data()), 77u);
    c->PutField(fAuto, buffer.data(), nullptr);
    EXPECT_EQ(Read<uint32_t>(*c, fAuto, buffer, blank), 77u);
    EXPECT_FALSE(blank);

    // BLOB references: positive present, zero blank, a negative (open BLOB) handle
    // blank exactly when asked.
    const int32_t stored = 12, none = 0, open = -3;
    c->PutField(fBlob, buffer.data(), &stored);
    EXPECT_EQ(Read<int32_t>(*c, fBlob, buffer, blank), 12);
    EXPECT_FALSE(blank);
    c->PutField(fBlob, buffer.data(), &none);
    c->GetField(fBlob, buffer.data(), nullptr, blank);
    EXPECT_TRUE(blank);
    c->PutField(fBlob, buffer.data(), &open, false, true);
    EXPECT_EQ(Read<int32_t>(*c, fBlob, buffer, blank), -3);
    EXPECT_TRUE(blank);
    c->PutField(fBlob, buffer.data(), &open, false, false);
    c->GetField(fBlob, buffer.data(), nullptr, blank);
    EXPECT_FALSE(blank);
    c->SetBlobFieldID(buffer.data(), fBlob, false, 99);
    EXPECT_EQ(c->GetBlobFieldID(buffer.data(), fBlob, true), 99u);

    // The table's definitions give the same view of a table record.
    c->GetTableField(fDate, buffer.data(), nullptr, blank);
    EXPECT_FALSE(blank);
    c->PutTableField(fDate, buffer.data(), nullptr);
    c->GetField(fDate, buffer.data(), nullptr, blank);
    EXPECT_TRUE(blank);
}

TEST(CursorFields, Definitions) {
    TempDir tmp;
    CursorDb db(tmp.path());
    test::CreateTableOf(*db.dir, "ALL", AllTypes());
    auto c = OpenCursorOn(db.dir, "ALL");
    TFieldDesc desc;
    EXPECT_EQ(ErrorOf([&] { c->GetFieldDesc(0, desc); }), KURA_OUTOFRANGE);
    EXPECT_EQ(ErrorOf([&] { c->GetFieldDesc(17, desc); }), KURA_OUTOFRANGE);
    EXPECT_EQ(ErrorOf([&] { c->GetTableFieldDesc(99, desc); }), KURA_OUTOFRANGE);
    bool blank = false;
    std::vector<uint8_t> buffer(c->GetCursorRecordSize(), 0);
    EXPECT_EQ(ErrorOf([&] { c->GetField(40, buffer.data(), nullptr, blank); }), KURA_OUTOFRANGE);
    c->GetFieldDescByName("int32", desc);
    EXPECT_EQ(desc.FieldNo(), fInt32);
    EXPECT_TRUE(c->FieldNameExists("BCD"));
    EXPECT_FALSE(c->FieldNameExists("Nope"));
    EXPECT_EQ(ErrorOf([&] { c->GetFieldDescByName("Nope", desc); }), KURA_OUTOFRANGE);
    TFieldDesc source;
    ASSERT_TRUE(c->GetSourceFieldDesc("stamp", source));
    EXPECT_EQ(source.FieldNo(), fStamp);
    EXPECT_EQ(c->FindFieldNo("Bytes"), fBytes);
    EXPECT_EQ(c->GetBlobFieldCount(), 1);
    TIndexDesc index;
    index.SetName("x");
    c->GetIndexDesc(NATURAL_ORDER, index);
    EXPECT_EQ(index.Bytes, TIndexDesc{}.Bytes);
    EXPECT_TRUE(c->GetNoPrimaryIndex());
    // A definition placed past the record would read past the buffer.
    TFieldDesc bad = desc;
    bad.SetOffset(static_cast<uint16_t>(c->GetCursorRecordSize() - 2));
    EXPECT_EQ(ErrorOf([&] { c->GetFieldData(bad, buffer.data(), nullptr, blank); }), KURA_OUTOFRANGE);
    EXPECT_EQ(ErrorOf([&] { c->PutFieldData(bad, buffer.data(), nullptr, false, false); }), KURA_OUTOFRANGE);

    // The path stack never drops below depth 1 and never grows past 64.
    c->FPosition.Depth = 1;
    c->PopPath();
    EXPECT_EQ(c->GetPathDepth(), 1);
    for (int i = 1; i < MAX_INDEX_DEPTH; ++i) c->PushPath();
    EXPECT_EQ(c->GetPathDepth(), MAX_INDEX_DEPTH);
    EXPECT_EQ(ErrorOf([&] { c->PushPath(); }), KURA_INDEXCORRUPT);
    c->SetPathPage(5);
    c->SetPathSlot(6);
    EXPECT_EQ(c->GetPathParent(MAX_INDEX_DEPTH), 5u);
    EXPECT_EQ(c->GetPathSlot(MAX_INDEX_DEPTH), 6u);
    c->ClearPathPages();
    c->ClearPathSlots();
    EXPECT_EQ(c->GetPathPage(), 0u);
    c->FPosition.Depth = 1;
}

TEST(CursorFields, NaturalOrderBookmarksSurviveOtherRecords) {
    TempDir tmp;
    CursorDb db(tmp.path());
    test::MakeTable(*db.dir, "T");
    auto c = OpenCursorOn(db.dir, "T");
    for (int i = 1; i <= 5; ++i) test::AppendRecord(*c->GetTable(), i * 10);
    c->SetToRecordNumber(3);
    c->LoadCurrentRecord(1);
    ASSERT_EQ(IdOf(*c), 30);
    const TCursorBookmark mark = c->GetBookmark();
    EXPECT_EQ(mark.size(), 4u);
    EXPECT_EQ(dfbytes::GetU32(mark.data()), 3u);

    auto other = OpenCursorOn(db.dir, "T");
    for (int i = 6; i <= 8; ++i) test::AppendRecord(*other->GetTable(), i * 10);
    c->SetToRecordNumber(1);
    EXPECT_TRUE(c->SetToBookmark(mark, false, false));
    EXPECT_EQ(IdOf(*c), 30);
    EXPECT_EQ(c->GetRecordCount(), 8u);

    // Record numbers compare as signed values.
    const TCursorBookmark high = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(c->CompareBookmarks(high, mark), -1);
    EXPECT_EQ(c->CompareBookmarks(mark, high), 1);
    EXPECT_EQ(c->CompareBookmarks(mark, mark), 0);
    // A short (damaged) bookmark is read as zero-padded, never past its end.
    EXPECT_EQ(c->CompareBookmarks(TCursorBookmark{3}, mark), 0);

    // A bookmark past the last record: the nearest one, reported as not found.
    TCursorBookmark far(4, 0);
    dfbytes::PutU32(far.data(), 1000);
    EXPECT_FALSE(c->SetToBookmark(far, false, false));
    EXPECT_EQ(IdOf(*c), 80);
    EXPECT_TRUE(c->SetToBookmark(far, true, false));

    // Another cursor's position, and the record it is on.
    other->SetToRecordNumber(6);
    other->LoadCurrentRecord(1);
    EXPECT_EQ(c->SetToCursor(*other), 0);
    EXPECT_EQ(IdOf(*c), 60);
}

TEST(CursorFields, RecordLocksAndBrackets) {
    TempDir tmp;
    CursorDb db(tmp.path());
    test::MakeTable(*db.dir, "T");
    auto a = OpenCursorOn(db.dir, "T");
    for (int i = 1; i <= 3; ++i) test::AppendRecord(*a->GetTable(), i);
    auto b = OpenCursorOn(db.dir, "T");
    a->SetToRecordNumber(2);
    b->SetToRecordNumber(2);

    a->LockRecord(0);
    EXPECT_EQ(a->GetLockedRecordNo(), 2u);
    EXPECT_TRUE(a->GetTable()->IsRecordMarkedLocked(2));
    // Held in this process: refused at once, also for the holder itself.
    EXPECT_EQ(ErrorOf([&] { b->LockRecord(0); }), KURA_RECLOCKFAILED);
    EXPECT_EQ(ErrorOf([&] { a->LockRecord(2); }), KURA_RECLOCKFAILED);
    EXPECT_EQ(b->GetLockedRecordNo(), 0u);
    b->LockRecord(3);
    EXPECT_EQ(b->GetLockedRecordNo(), 3u);
    a->WriteUnlockRecord(0, false);
    EXPECT_EQ(a->GetLockedRecordNo(), 0u);
    EXPECT_FALSE(a->GetTable()->IsRecordMarkedLocked(2));
    b->LockRecord(2);
    b->WriteUnlockRecord(2, false);
    b->WriteUnlockRecord(3, false);

    // A change by another cursor moves a bracket back onto the same record.
    a->SetToRecordNumber(2);
    test::AppendRecord(*b->GetTable(), 4);
    EXPECT_TRUE(a->BeginRead());
    EXPECT_TRUE(a->GetTable()->IsReadLocked());
    EXPECT_EQ(a->FRecordNo, 2u);
    EXPECT_EQ(a->GetRecordCount(), 4u);
    a->EndRead();
    EXPECT_FALSE(a->GetTable()->IsReadLocked());
    EXPECT_FALSE(a->BeginWrite());
    EXPECT_TRUE(a->GetTable()->IsWriteLocked());
    a->EndWrite();
    EXPECT_FALSE(a->BeginTableRead());
    EXPECT_TRUE(a->GetTable()->IsSharedReadLocked());
    a->EndTableRead();
    EXPECT_FALSE(a->GetTable()->IsSharedReadLocked());
    // A record lock left at close goes with the cursor.
    a->LockRecord(1);
    a->CloseCursor(false);
    EXPECT_FALSE(b->GetTable()->IsRecordMarkedLocked(1));
    b->LockRecord(1);
}

TEST(CursorFields, RecordLockThatRepositionsKeepsTheCallersBracket) {
    TempDir tmp;
    CursorDb db(tmp.path());
    test::MakeTable(*db.dir, "T");
    auto a = OpenCursorOn(db.dir, "T");
    for (int i = 1; i <= 3; ++i) test::AppendRecord(*a->GetTable(), i);
    auto b = OpenCursorOn(db.dir, "T");
    a->SetToRecordNumber(2);
    TDataTable* table = a->GetTable();

    // The caller's read bracket is open and holds the reader lock when the record
    // lock finds the table changed and moves the cursor back onto its record.
    table->BeginRead();
    ASSERT_TRUE(table->IsReadLocked());
    const uint32_t depth = table->GetReadDepth();
    a->FDataChangeCount ^= 1u;  // as if another cursor had written meanwhile
    a->LockRecord(0);
    EXPECT_EQ(a->FRecordNo, 2u);
    EXPECT_EQ(a->GetLockedRecordNo(), 2u);
    // The repositioning must not end a bracket it did not begin.
    EXPECT_EQ(table->GetReadDepth(), depth);
    EXPECT_TRUE(table->IsReadLocked());
    table->EndRead();
    EXPECT_EQ(table->GetReadDepth(), 0u);
    EXPECT_FALSE(table->IsReadLocked());
    a->WriteUnlockRecord(0, false);
    EXPECT_FALSE(b->GetTable()->IsRecordMarkedLocked(2));
}
