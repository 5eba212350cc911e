// Opening, closing and cloning cursors, their open options and passwords, and how a
// cursor notices changes made by other cursors and by another program.
#include "engine/core/DataCursor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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

int32_t IdOf(TDataCursor& c) {
    const uint8_t* b = c.GetRecordBuffer();
    return static_cast<int32_t>(dfbytes::GetU32(b + 10));
}

// A table of n records with Ids 1..n.
void MakeFilled(CursorDb& db, const std::string& name, int n) {
    MakeTable(*db.dir, name);
    TDataTable* table = nullptr;
    ASSERT_EQ(db.dir->OpenTable(name, table, false, false, false, false, false, false), 0);
    for (int i = 1; i <= n; ++i) AppendRecord(*table, i);
    db.dir->CloseTable(table, false, false, false);
}

}  // namespace

TEST(CursorOpen, TableNameKeepsTheFileNameWithoutItsDataExtension) {
    TempDir tmp;
    CursorDb db(tmp.path());
    TDataCursor c(db.dir);
    c.SetTableName("STAFF.DAT");
    EXPECT_EQ(c.GetTableName(), "STAFF");
    c.SetTableName("Staff.dAt");
    EXPECT_EQ(c.GetTableName(), "Staff");
    c.SetTableName("STAFF.DATA");
    EXPECT_EQ(c.GetTableName(), "STAFF.DATA");
    c.SetTableName("C:\\data\\old\\Kazoku.dat");
    EXPECT_EQ(c.GetTableName(), "Kazoku");
    c.SetTableName("sub/dir/Gakureki");
    EXPECT_EQ(c.GetTableName(), "Gakureki");
    c.SetTableName(".DAT");
    EXPECT_EQ(c.GetTableName(), "");
}

TEST(CursorOpen, OptionsChangeOnlyWhileClosed) {
    TempDir tmp;
    CursorDb db(tmp.path());
    MakeFilled(db, "T", 3);
    TDataCursor c(db.dir);
    c.SetTableName("T");
    c.OpenCursor();
    ASSERT_TRUE(c.IsOpen());
    c.OpenCursor();  // already open: nothing
    EXPECT_EQ(ErrorOf([&] { c.SetExclusive(true); }), KURA_TABLEOPEN);
    EXPECT_EQ(ErrorOf([&] { c.SetExclusiveClone(true); }), KURA_TABLEOPEN);
    EXPECT_EQ(ErrorOf([&] { c.SetReadOnly(true); }), KURA_TABLEOPEN);
    EXPECT_EQ(ErrorOf([&] { c.SetInMemory(true); }), KURA_TABLEOPEN);
    EXPECT_EQ(ErrorOf([&] { c.SetTableName("Other"); }), KURA_TABLEOPEN);
    EXPECT_EQ(ErrorOf([&] { c.SetQuerySource(true); }), KURA_TABLEOPEN);
    EXPECT_EQ(ErrorOf([&] { c.SetTemporaryFiles(true); }), KURA_TABLEOPEN);
    EXPECT_EQ(ErrorOf([&] { c.SetQueryResult(false); }), 0);
    EXPECT_FALSE(c.IsExclusive());
    EXPECT_EQ(c.GetTableName(), "T");
    c.CloseCursor(false);
    c.CloseCursor(false);  // already closed: nothing
    EXPECT_EQ(ErrorOf([&] { c.SetReadOnly(true); }), 0);
    EXPECT_TRUE(c.IsReadOnly());
}

TEST(CursorOpen, OpenReadsTheTableStateAndStandsBeforeTheFirstRecord) {
    TempDir tmp;
    CursorDb db(tmp.path());
    MakeFilled(db, "T", 3);
    auto c = OpenCursorOn(db.dir, "T");
    EXPECT_EQ(c->GetFieldCount(), 2);
    EXPECT_EQ(c->GetCursorFieldCount(), 2);
    EXPECT_EQ(c->GetRecordSize(), c->GetCursorRecordSize());
    EXPECT_TRUE(c->IsNaturalOrder());
    EXPECT_TRUE(c->FBOF);
    EXPECT_EQ(c->GetRecordCount(), 3u);
    TFieldDesc desc;
    c->GetFieldDesc(2, desc);
    EXPECT_EQ(desc.Name(), "Name");
    // The cursor's copies carry where each field comes from.
    EXPECT_EQ(dfbytes::GetPStr(&desc.Bytes[fdo::Origin], 100), "T.Name");
    EXPECT_EQ(dfbytes::GetU16(&desc.Bytes[fdo::SourceFieldNo]), 2);
    // (The descriptor keeps the first 100 bytes of the database's name.)
    EXPECT_EQ(dfbytes::GetPStr(&desc.Bytes[fdo::DatabaseText], 100), db.dir->GetDatabaseName().substr(0, 100));
    c->CloseCursor(false);
    EXPECT_EQ(c->GetCursorFieldCount(), 0);
    EXPECT_EQ(c->GetTable(), nullptr);
    EXPECT_TRUE(db.dir->Tables().empty());
}

TEST(CursorOpen, EachOpenOption) {
    TempDir tmp;
    CursorDb db(tmp.path());
    MakeFilled(db, "T", 2);

    // A missing table, and a failed open leaves the cursor closed.
    TDataCursor missing(db.dir);
    missing.SetTableName("NOPE");
    EXPECT_EQ(ErrorOf([&] { missing.OpenCursor(); }), KURA_OSENOENT);
    EXPECT_FALSE(missing.IsOpen());

    // Exclusive: no second ordinary cursor of this process, but its clone.
    TDataCursor exclusive(db.dir);
    exclusive.SetTableName("T");
    exclusive.SetExclusive(true);
    exclusive.OpenCursor();
    TDataCursor other(db.dir);
    other.SetTableName("T");
    EXPECT_EQ(ErrorOf([&] { other.OpenCursor(); }), KURA_OSEACCES);
    EXPECT_FALSE(other.IsOpen());
    TDataCursor sibling(db.dir);
    sibling.SetTableName("T");
    sibling.SetExclusive(true);
    sibling.SetExclusiveClone(true);
    sibling.OpenCursor();
    EXPECT_TRUE(sibling.IsOpen());
    sibling.CloseCursor(false);
    exclusive.CloseCursor(false);

    // Read-only by option, and by the files' attributes.
    TDataCursor reader(db.dir);
    reader.SetTableName("T");
    reader.SetReadOnly(true);
    reader.OpenCursor();
    EXPECT_TRUE(reader.IsReadOnly());
    EXPECT_FALSE(reader.IsTableFilesReadOnly());
    reader.CloseCursor(false);
    for (const char* ext : {".DAT", ".IDX"})
        std::filesystem::permissions(tmp.file(std::string("T") + ext), std::filesystem::perms::owner_read |
                                                                            std::filesystem::perms::group_read);
    TDataCursor attr(db.dir);
    attr.SetTableName("T");
    attr.OpenCursor();
    EXPECT_TRUE(attr.IsTableFilesReadOnly());
    EXPECT_TRUE(attr.IsReadOnly());
    EXPECT_EQ(attr.GetRecordCount(), 2u);
    // No brackets, no change detection on such files.
    EXPECT_FALSE(attr.BeginRead());
    EXPECT_FALSE(attr.TableHasChanged());
    attr.CloseCursor(false);

    // In memory: a table of the memory database.
    TDataDirectory* mem = db.session.OpenDataDirectory("Memory", "");
    test::CreateTableOf(*mem, "M", SmallTable(), true);
    TDataCursor inMemory(mem);
    inMemory.SetTableName("M");
    inMemory.SetInMemory(true);
    inMemory.OpenCursor();
    EXPECT_TRUE(inMemory.IsOpen());
    EXPECT_EQ(inMemory.GetRecordCount(), 0u);
    EXPECT_FALSE(std::filesystem::exists(tmp.file("M.DAT")));
    inMemory.CloseCursor(true);
}

TEST(CursorOpen, EncryptedTableAsksThePasswordEventAtMostThreeTimes) {
    TempDir tmp;
    CursorDb db(tmp.path());
    TTableDefinition def = SmallTable();
    def.Encrypted = true;
    def.Password = "himitsu";
    test::CreateTableOf(*db.dir, "SECRET", def);

    TDataCursor c(db.dir);
    c.SetTableName("SECRET");
    // No event: refused.
    EXPECT_EQ(ErrorOf([&] { c.OpenCursor(); }), KURA_NOTSUFFTABLERIGHTS);
    EXPECT_FALSE(c.IsOpen());
    // Closed cursors read the header from disk, with the same check.
    EXPECT_EQ(ErrorOf([&] { c.GetLocaleID(); }), KURA_NOTSUFFTABLERIGHTS);
    // An event that gives up.
    int calls = 0;
    c.SetPasswordEvent([&](TDataCursor* sender) {
        EXPECT_EQ(sender, &c);
        ++calls;
        return false;
    });
    EXPECT_EQ(ErrorOf([&] { c.OpenCursor(); }), KURA_NOTSUFFTABLERIGHTS);
    EXPECT_EQ(calls, 1);
    // An event that keeps asking to try again without adding the password.
    calls = 0;
    c.SetPasswordEvent([&](TDataCursor*) {
        ++calls;
        return true;
    });
    EXPECT_EQ(ErrorOf([&] { c.OpenCursor(); }), KURA_NOTSUFFTABLERIGHTS);
    EXPECT_EQ(calls, 3);
    // A wrong password first, the right one on the second round.
    calls = 0;
    c.SetPasswordEvent([&](TDataCursor*) {
        ++calls;
        db.session.AddPassword(calls == 1 ? "wrong" : "himitsu");
        return true;
    });
    c.OpenCursor();
    EXPECT_TRUE(c.IsOpen());
    EXPECT_EQ(calls, 2);
    c.CloseCursor(false);
    // Known now: no event needed, closed header reads work too.
    EXPECT_EQ(c.GetLocaleID(), 0);
    EXPECT_EQ(c.GetBlobBlockSize(), 512);
    EXPECT_EQ(c.GetBlobBlockDataSize(), 494);
    c.OpenCursor();
    EXPECT_TRUE(c.IsOpen());
}

TEST(CursorOpen, CloseClearsTheCallbacksButTheSecondStatusPair) {
    TempDir tmp;
    CursorDb db(tmp.path());
    MakeFilled(db, "T", 1);
    TDataCursor c(db.dir);
    c.SetTableName("T");
    c.SetPasswordEvent([](TDataCursor*) { return true; });
    c.SetImportProgressEvent([](TDataCursor*, uint16_t) {});
    c.Events().StatusNumber2 = [](TDataCursor*, const std::string&, uint16_t) {};
    c.Events().StatusText2 = [](TDataCursor*, const std::string&) {};
    c.Events().StatusText = [](TDataCursor*, const std::string&) {};
    c.OpenCursor();
    c.CloseCursor(false);
    EXPECT_FALSE(c.Events().Password);
    EXPECT_FALSE(c.Events().ImportProgress);
    EXPECT_FALSE(c.Events().StatusText);
    EXPECT_TRUE(c.Events().StatusNumber2);
    EXPECT_TRUE(c.Events().StatusText2);
}

TEST(CursorOpen, CloneTakesIndexRangeAndPositionButMovesOnItsOwn) {
    TempDir tmp;
    CursorDb db(tmp.path());
    MakeFilled(db, "T", 5);
    auto source = OpenCursorOn(db.dir, "T");
    source->SetToRecordNumber(3);
    ASSERT_EQ(IdOf(*source), 3);

    std::unique_ptr<TDataCursor> clone(source->CloneCursor());
    ASSERT_TRUE(clone->IsOpen());
    EXPECT_EQ(clone->GetTable(), source->GetTable());
    EXPECT_EQ(clone->GetCurrentIndexNo(), source->GetCurrentIndexNo());
    EXPECT_EQ(clone->FRecordNo, 3u);
    EXPECT_EQ(IdOf(*clone), 3);
    EXPECT_EQ(clone->GetCursorFieldCount(), source->GetCursorFieldCount());
    // Its own position from now on.
    clone->MoveBy(1);
    clone->LoadCurrentRecord(1);
    EXPECT_EQ(IdOf(*clone), 4);
    EXPECT_EQ(IdOf(*source), 3);
    EXPECT_EQ(source->FRecordNo, 3u);

    // A range on the source is copied with its bounds.
    TTableDefinition def = SmallTable(false, true);
    test::CreateTableOf(*db.dir, "I", def);
    auto indexed = OpenCursorOn(db.dir, "I");
    indexed->SetIndexName("ByName");
    std::array<uint8_t, RANGE_KEY_SIZE> low{}, high{};
    low[0] = 1;
    low[1] = 'B';
    high[0] = 1;
    high[1] = 'M';
    indexed->SetRangeStartKey(low.data());
    indexed->SetRangeEndKey(high.data());
    indexed->SetRangeActive();
    std::unique_ptr<TDataCursor> rangeClone(indexed->CloneCursor());
    EXPECT_EQ(rangeClone->GetIndexName(), "ByName");
    EXPECT_EQ(rangeClone->GetCurrentIndexNo(), indexed->GetCurrentIndexNo());
    EXPECT_TRUE(rangeClone->FRangeActive);
    EXPECT_EQ(rangeClone->FRangeStartKey, indexed->FRangeStartKey);
    EXPECT_EQ(rangeClone->FRangeEndKey, indexed->FRangeEndKey);
    EXPECT_EQ(rangeClone->FKeySize, indexed->FKeySize);
}

TEST(CursorOpen, OtherCursorsWritesAreNoticedAndAnExclusiveCursorNeverSeesAChange) {
    TempDir tmp;
    CursorDb db(tmp.path());
    MakeFilled(db, "T", 2);
    auto c = OpenCursorOn(db.dir, "T");
    EXPECT_FALSE(c->TableHasChanged());
    AppendRecord(*c->GetTable(), 3);
    EXPECT_TRUE(c->TableHasChanged());
    c->CheckForChanges();
    c->EndRead();
    EXPECT_FALSE(c->TableHasChanged());
    EXPECT_EQ(c->GetRecordCount(), 3u);
    c->CloseCursor(false);

    TDataCursor exclusive(db.dir);
    exclusive.SetTableName("T");
    exclusive.SetExclusive(true);
    exclusive.OpenCursor();
    std::unique_ptr<TDataCursor> clone(exclusive.CloneCursor());
    EXPECT_TRUE(clone->IsExclusiveClone());
    AppendRecord(*exclusive.GetTable(), 4);
    EXPECT_FALSE(exclusive.TableHasChanged());
    EXPECT_TRUE(clone->TableHasChanged());
    EXPECT_FALSE(exclusive.BeginRead());
}

TEST(CursorOpen, RefreshAndBracketsSeeAnotherProgramsWrites) {
    TempDir tmp;
    CursorDb db(tmp.path());
    MakeFilled(db, "T", 3);
    for (bool strict : {false, true}) {
        SCOPED_TRACE(strict);
        db.session.SetStrictChangeDetection(strict);
        auto c = OpenCursorOn(db.dir, "T");
        c->SetToRecordNumber(2);
        ASSERT_EQ(IdOf(*c), 2);
        const uint32_t before = c->GetRecordCount();

        test::ChildProcess child({"tbl-append", tmp.path(), "T", strict ? "200" : "100"});
        ASSERT_EQ(child.readLine(), "ready");
        child.send("go");
        const std::string reply = child.readLine();
        ASSERT_EQ(reply.rfind("appended", 0), 0u) << reply;
        // Only the disk knows: the cursor's copy of the counters is still the old one.
        EXPECT_FALSE(c->TableHasChanged());
        if (strict) {
            // Strict detection re-reads the headers in the change check itself.
            c->CheckForChanges();
            c->EndRead();
        } else {
            c->Refresh();
        }
        EXPECT_EQ(c->GetRecordCount(), before + 1);
        // Still on the same record.
        EXPECT_EQ(c->FRecordNo, 2u);
        EXPECT_EQ(IdOf(*c), 2);
        child.send("quit");
        EXPECT_EQ(child.wait(), 0);
    }
}
