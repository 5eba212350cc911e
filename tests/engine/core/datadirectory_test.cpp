#include "engine/core/DataDirectory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/EngineLibrary.h"
#include "engine/errors/EngineErrors.h"
#include "engine/sql/QueryStatement.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/TableTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

struct Db : test::SessionDb {
    explicit Db(const std::string& path) : SessionDb(path, 1, 10) {}
};

int32_t Open(TDataDirectory& dir, const std::string& name, TDataTable*& table, bool exclusive = false,
             bool skipCheck = false, bool inMemory = false) {
    return dir.OpenTable(name, table, false, false, false, inMemory, skipCheck, exclusive);
}

void Touch(const std::string& path) { std::ofstream(path) << ""; }

}  // namespace

TEST(DataDirectory, OpenAndCloseShareOneTableObject) {
    TempDir tmp;
    Db db(tmp.path());
    EXPECT_EQ(db.dir->GetDatabaseName(), db.dir->Path);
    MakeTable(*db.dir, "STAFF");
    TDataTable* t1 = nullptr;
    TDataTable* t2 = nullptr;
    ASSERT_EQ(Open(*db.dir, "STAFF", t1), 0);
    ASSERT_EQ(Open(*db.dir, " staff ", t2), 0);
    EXPECT_EQ(t1, t2);
    EXPECT_EQ(t1->GetOpenCount(), 2);
    EXPECT_EQ(t1->GetCursorCount(), 2);
    // SQL work cursors (exactly one of the two flags) are not counted as users.
    TDataTable* t3 = nullptr;
    ASSERT_EQ(db.dir->OpenTable("STAFF", t3, true, false, false, false, false, false), 0);
    EXPECT_EQ(t1->GetCursorCount(), 2);
    EXPECT_EQ(db.dir->CloseTable(t3, false, true, false), 0);
    // Exclusive use of a table in use is refused unless the check is skipped.
    TDataTable* t4 = nullptr;
    EXPECT_EQ(Open(*db.dir, "STAFF", t4, true), -static_cast<int32_t>(KURA_OSEACCES));
    EXPECT_EQ(Open(*db.dir, "STAFF", t4, true, true), 0);
    EXPECT_EQ(t1->GetOpenCount(), 3);
    db.dir->CloseTable(t4, false, false, false);

    // Creating, deleting or renaming a table in use is refused.
    TDataTable* made = nullptr;
    EXPECT_EQ(db.dir->CreateTable(made, "STAFF", false, false, SmallTable()), -static_cast<int32_t>(KURA_OSEACCES));
    EXPECT_EQ(db.dir->DeleteTable("STAFF.DAT", false), -static_cast<int32_t>(KURA_OSEACCES));
    EXPECT_EQ(db.dir->RenameTable("STAFF", "X", false, false), -static_cast<int32_t>(KURA_OSEACCES));

    EXPECT_EQ(db.dir->CloseTable(t1, false, false, false), 0);
    EXPECT_EQ(db.dir->Tables().size(), 1u);
    EXPECT_EQ(t2->GetCursorCount(), 1);
    EXPECT_EQ(db.dir->CloseTable(t2, false, false, false), 0);
    EXPECT_TRUE(db.dir->Tables().empty());
    EXPECT_EQ(db.dir->CloseTable(t2, false, false, false), -static_cast<int32_t>(KURA_OSENOENT));

    // Opened exclusively, the table refuses every other open of this database.
    TDataTable* ex = nullptr;
    ASSERT_EQ(Open(*db.dir, "STAFF", ex, true), 0);
    TDataTable* again = nullptr;
    EXPECT_EQ(Open(*db.dir, "STAFF", again), -static_cast<int32_t>(KURA_OSEACCES));
    EXPECT_EQ(Open(*db.dir, "STAFF", again, false, true), 0);
    db.dir->CloseTable(again, false, false, false);
    db.dir->CloseTable(ex, false, false, false);
}

TEST(DataDirectory, DeleteRenameAndExistence) {
    TempDir tmp;
    Db db(tmp.path());
    MakeTable(*db.dir, "STAFF", true);
    EXPECT_TRUE(db.dir->TableExists("STAFF", false));
    EXPECT_TRUE(db.dir->TableExists("staff.dat", false));
    EXPECT_FALSE(db.dir->TableExists("STAFF", true));
    EXPECT_FALSE(db.dir->TableExists("OTHER", false));

    EXPECT_EQ(db.dir->RenameTable("STAFF", "PEOPLE", false, false), 0);
    EXPECT_FALSE(db.dir->TableExists("STAFF", false));
    EXPECT_TRUE(std::filesystem::exists(tmp.file("PEOPLE.DAT")));
    EXPECT_TRUE(std::filesystem::exists(tmp.file("PEOPLE.IDX")));
    EXPECT_TRUE(std::filesystem::exists(tmp.file("PEOPLE.BLB")));
    TDataTable* t = nullptr;
    ASSERT_EQ(Open(*db.dir, "PEOPLE", t), 0);
    EXPECT_EQ(t->GetFieldCount(), 3);
    db.dir->CloseTable(t, false, false, false);

    EXPECT_EQ(db.dir->DeleteTable("PEOPLE", false), 0);
    EXPECT_FALSE(std::filesystem::exists(tmp.file("PEOPLE.DAT")));
    EXPECT_FALSE(std::filesystem::exists(tmp.file("PEOPLE.IDX")));
    EXPECT_FALSE(std::filesystem::exists(tmp.file("PEOPLE.BLB")));
    EXPECT_EQ(ErrorOf([&] { db.dir->DeleteTable("PEOPLE", false); }), KURA_OSENOENT);
}

TEST(DataDirectory, MemoryDatabaseKeepsTablesOutOfTheFolder) {
    TempDir tmp;
    TDataSession session;
    TDataDirectory* mem = session.OpenDataDirectory("Memory", "");
    ASSERT_NE(mem, nullptr);
    TDataTable* t = nullptr;
    ASSERT_EQ(mem->CreateTable(t, "WORK", true, false, SmallTable(true)), 0);
    AppendRecord(*t, 5);
    mem->CloseTable(t, false, false, false);
    EXPECT_TRUE(mem->TableExists("WORK", true));
    EXPECT_FALSE(mem->TableExists("WORK", false));
    ASSERT_EQ(Open(*mem, "WORK", t, false, false, true), 0);
    EXPECT_EQ(t->GetRecordCount(), 1u);
    EXPECT_EQ(ReadId(*t, 1), 5);
    mem->CloseTable(t, false, false, false);
    EXPECT_EQ(mem->RenameTable("WORK", "DONE", false, true), 0);
    EXPECT_TRUE(mem->TableExists("DONE", true));
    EXPECT_EQ(mem->DeleteTable("DONE", true), 0);
    EXPECT_FALSE(mem->TableExists("DONE", true));
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
}

TEST(DataDirectory, TemporaryTableNames) {
    TempDir tmp;
    Db db(tmp.path());
    const std::string first = db.dir->GetTempTableName(false);
    EXPECT_EQ(first.substr(first.size() - 4), ".DAT");
    EXPECT_EQ(db.dir->GetTempTableName(false), first);  // nothing created yet
    const std::string prefix = first.substr(0, first.size() - 5);  // counter 0
    ASSERT_EQ(first, prefix + "0.DAT");

    // Names present on disk or open in the database are skipped.
    Touch(tmp.file(prefix + "0.DAT"));
    EXPECT_EQ(db.dir->GetTempTableName(false), prefix + "1.DAT");
    TDataTable* t = nullptr;
    ASSERT_EQ(db.dir->CreateTable(t, prefix + "1.DAT", false, true, SmallTable()), 0);
    EXPECT_EQ(t->GetName(), prefix + "1.DAT");
    EXPECT_EQ(db.dir->GetTempTableName(false), prefix + "2.DAT");

    // Another program takes the name between the choice and the create: the create
    // moves on instead of overwriting its table.
    const std::string chosen = db.dir->GetTempTableName(false);
    Touch(tmp.file(chosen));
    TDataTable* t2 = nullptr;
    ASSERT_EQ(db.dir->CreateTable(t2, chosen, false, true, SmallTable()), 0);
    EXPECT_NE(t2->GetName(), chosen);
    EXPECT_EQ(std::filesystem::file_size(tmp.file(chosen)), 0u);

    // Temporary files are opened delete-on-close: they vanish when closed again.
    const std::string name2 = t2->GetName();
    db.dir->CloseTable(t2, false, false, false);  // written: it can be opened again
    db.dir->CloseTable(t, true, false, false);
    ASSERT_TRUE(std::filesystem::exists(tmp.file(name2)));
    ASSERT_EQ(db.dir->OpenTable(name2, t2, false, false, true, false, false, true), 0);
    db.dir->CloseTable(t2, true, false, false);
    EXPECT_FALSE(std::filesystem::exists(tmp.file(name2)));

    // In memory the names are looked up in the memory store.
    TDataSession session;
    TDataDirectory* mem = session.OpenDataDirectory("Memory", "");
    const std::string memName = mem->GetTempTableName(true);
    EXPECT_EQ(memName, prefix + "0.DAT");
    ASSERT_EQ(mem->CreateTable(t, memName, true, true, SmallTable()), 0);
    EXPECT_EQ(mem->GetTempTableName(true), prefix + "1.DAT");
    mem->CloseTable(t, true, false, false);
    // The memory store is the process's: a memory table outlives its last close, and
    // a repeated run starts clean only once it is deleted.
    EXPECT_EQ(mem->DeleteTable(memName, true), 0);
    EXPECT_EQ(mem->GetTempTableName(true), memName);
}

TEST(DataDirectory, TransactionsOverSeveralTables) {
    TempDir tmp;
    Db db(tmp.path());
    Db other(tmp.path());
    MakeTable(*db.dir, "A");
    MakeTable(*db.dir, "B");
    TDataTable* a = nullptr;
    TDataTable* b = nullptr;
    ASSERT_EQ(Open(*db.dir, "A", a), 0);
    ASSERT_EQ(Open(*db.dir, "B", b), 0);

    db.dir->StartTransaction();
    EXPECT_TRUE(db.dir->InTransaction());
    EXPECT_TRUE(a->InTransaction());
    EXPECT_TRUE(b->InTransaction());
    db.dir->StartTransaction();  // a second start is ignored
    AppendRecord(*a, 1);
    AppendRecord(*b, 2);

    // A table opened during the transaction joins it.
    MakeTable(*other.dir, "C");
    TDataTable* c = nullptr;
    ASSERT_EQ(Open(*db.dir, "C", c), 0);
    EXPECT_TRUE(c->InTransaction());
    AppendRecord(*c, 3);
    // Its last user goes, but the table object stays until the transaction ends.
    db.dir->CloseTable(c, false, false, false);
    EXPECT_EQ(db.dir->Tables().size(), 3u);
    EXPECT_EQ(c->GetOpenCount(), 0);
    EXPECT_TRUE(c->IsOpen());

    TDataTable* oa = nullptr;
    ASSERT_EQ(Open(*other.dir, "A", oa), 0);
    EXPECT_EQ(CountNow(*oa), 0u);
    db.dir->Commit();
    EXPECT_FALSE(db.dir->InTransaction());
    EXPECT_FALSE(a->InTransaction());
    EXPECT_EQ(db.dir->Tables().size(), 2u);  // C was freed by the commit
    EXPECT_EQ(CountNow(*oa), 1u);
    EXPECT_EQ(ReadId(*oa, 1), 1);
    TDataTable* oc = nullptr;
    ASSERT_EQ(Open(*other.dir, "C", oc), 0);
    EXPECT_EQ(ReadId(*oc, 1), 3);
    other.dir->CloseTable(oc, false, false, false);

    // Rollback without a transaction changes nothing.
    db.dir->Rollback();
    EXPECT_EQ(db.dir->Tables().size(), 2u);

    db.dir->StartTransaction();
    AppendRecord(*b, 9);
    db.dir->Rollback();
    EXPECT_EQ(b->GetRecordCount(), 1u);
    other.dir->CloseTable(oa, false, false, false);
    db.dir->CloseTable(a, false, false, false);
    db.dir->CloseTable(b, false, false, false);
}

TEST(DataDirectory, FailedStartOrCommitLeavesNoLockBehind) {
    TempDir tmp;
    Db db(tmp.path());
    Db other(tmp.path());
    MakeTable(*db.dir, "A");
    MakeTable(*db.dir, "B");
    TDataTable* a = nullptr;
    TDataTable* b = nullptr;
    ASSERT_EQ(Open(*db.dir, "A", a), 0);
    ASSERT_EQ(Open(*db.dir, "B", b), 0);
    a->SemaphoreAttempts = 2;
    b->SemaphoreAttempts = 2;
    TDataTable* oa = nullptr;
    TDataTable* ob = nullptr;
    ASSERT_EQ(Open(*other.dir, "A", oa), 0);
    ASSERT_EQ(Open(*other.dir, "B", ob), 0);
    oa->SemaphoreAttempts = 1;
    oa->GetIndexFile().LockAttempts = 1;
    ob->GetIndexFile().LockAttempts = 1;

    // Another session writes B: the start times out on B and gives A back.
    ob->BeginWrite();
    EXPECT_EQ(ErrorOf([&] { db.dir->StartTransaction(); }), KURA_LOCKTIMEOUT);
    EXPECT_FALSE(db.dir->InTransaction());
    EXPECT_FALSE(a->InTransaction());
    EXPECT_FALSE(a->IsTransactionLocked());
    EXPECT_FALSE(b->InTransaction());
    EXPECT_NO_THROW(oa->BeginWrite());
    oa->EndWrite();
    ob->EndWrite();

    // A reader of A keeps the commit from taking A's writer lock (commit runs from
    // the last table to the first, so B's is taken first): the commit fails, gives
    // B's writer lock back and keeps the transaction.
    db.dir->StartTransaction();
    AppendRecord(*a, 1);
    AppendRecord(*b, 2);
    a->GetIndexFile().LockAttempts = 2;
    oa->BeginRead();
    EXPECT_EQ(ErrorOf([&] { db.dir->Commit(); }), KURA_LOCKTIMEOUT);
    EXPECT_TRUE(db.dir->InTransaction());
    EXPECT_TRUE(a->InTransaction());
    EXPECT_TRUE(b->InTransaction());
    EXPECT_FALSE(b->IsWriteLocked());
    EXPECT_FALSE(a->IsWriteLocked());
    EXPECT_NO_THROW(ob->BeginRead());  // B's writer range is free again
    EXPECT_EQ(ob->GetRecordCount(), 0u);
    ob->EndRead();
    oa->EndRead();
    // Tried again, it goes through.
    EXPECT_NO_THROW(db.dir->Commit());
    EXPECT_FALSE(db.dir->InTransaction());
    EXPECT_EQ(CountNow(*oa), 1u);
    EXPECT_EQ(CountNow(*ob), 1u);
    EXPECT_NO_THROW(ob->BeginWrite());
    ob->EndWrite();

    other.dir->CloseTable(oa, false, false, false);
    other.dir->CloseTable(ob, false, false, false);
    db.dir->CloseTable(a, false, false, false);
    db.dir->CloseTable(b, false, false, false);
}

TEST(DataDirectory, SessionFreesItsDatabasesAndTheirTables) {
    TempDir tmp;
    auto* session = new TDataSession();
    TDataDirectory* dir = session->OpenDataDirectory("DB", tmp.path());
    MakeTable(*dir, "A");
    TDataTable* a = nullptr;
    ASSERT_EQ(Open(*dir, "A", a), 0);
    dir->StartTransaction();
    AppendRecord(*a, 1);
    // The session goes with an open transaction: it is rolled back, files closed.
    delete session;
    Db db(tmp.path());
    ASSERT_EQ(Open(*db.dir, "A", a, true), 0);
    EXPECT_EQ(a->GetRecordCount(), 0u);
    db.dir->CloseTable(a, false, false, false);
}

// A session made with a nonzero creation flag: its databases list every cursor and
// statement made on them, each leaves the list when freed, and what is still listed
// goes with the database (the sanitizers see a leak or a double free otherwise).
// Other sessions keep no lists and name their local databases by path.
TEST(DataDirectory, SessionsWithObjectListsKeepTheirCursorsAndStatements) {
    TempDir tmp;
    for (uint8_t flag : {uint8_t{0}, uint8_t{1}}) {
        SCOPED_TRACE(static_cast<int>(flag));
        TDataSession session(flag);
        // A database opened before the statement's own, whose table the statement
        // reads: its cursor is listed there, yet the statement owns it.
        TempDir otherTmp;
        TDataDirectory* other = session.OpenDataDirectory("Other database", otherTmp.path());
        MakeTable(*other, "PAY");
        TDataDirectory* dir = session.OpenDataDirectory("Staff database", tmp.path());
        EXPECT_EQ(dir->KeepsObjectLists(), flag != 0);
        EXPECT_EQ(dir->GetDatabaseName(), flag != 0 ? std::string("Staff database") : dir->Path);
        MakeTable(*dir, "STAFF");

        auto kept = std::make_unique<TDataCursor>(dir);
        auto* left = new TDataCursor(dir);
        left->SetTableName("STAFF");
        left->OpenCursor();
        TFieldDesc desc;
        left->GetFieldDesc(1, desc);
        // (The descriptor keeps the first 100 bytes of the database's name.)
        EXPECT_EQ(dfbytes::GetPStr(&desc.Bytes[fdo::DatabaseText], 100), dir->GetDatabaseName().substr(0, 100));
        auto* statement = new TQueryStatement(dir);
        statement->Prepare("SELECT * FROM STAFF");
        auto* across = new TQueryStatement(dir);
        across->Prepare("SELECT * FROM \"" + otherTmp.path() + "/PAY\"");
        EXPECT_EQ(other->Cursors().empty(), flag == 0);
        auto listed = [&](TDataCursor* c) {
            return std::find(dir->Cursors().begin(), dir->Cursors().end(), c) != dir->Cursors().end();
        };
        // The statement's own source cursors are listed as well.
        EXPECT_EQ(listed(kept.get()) && listed(left), flag != 0);
        EXPECT_EQ(dir->Cursors().size() > 2, flag != 0);
        const std::vector<TDirectoryStatement*> both{statement, across};
        EXPECT_EQ(dir->Statements(), flag ? both : std::vector<TDirectoryStatement*>{});
        TDataCursor* const gone = kept.get();
        kept.reset();
        EXPECT_FALSE(listed(gone));
        EXPECT_EQ(listed(left), flag != 0);
        if (flag == 0) {
            delete across;
            delete statement;
            delete left;
        }
        // The database goes with the session; with lists, so do the objects left on it.
        session.FreeDirectories();
    }
}
