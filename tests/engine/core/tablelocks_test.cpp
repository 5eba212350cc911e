// The table lock protocol between programs: each test runs helper processes
// (tests/helpers/child_table.cpp) started with fork and exec.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "engine/core/DataDirectory.h"
#include "engine/core/EngineLibrary.h"
#include "engine/errors/EngineErrors.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/FileCallFaults.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/TableTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

using Db = test::SessionDb;

TDataTable* OpenShared(TDataDirectory& dir, const std::string& name, bool exclusive = false) {
    TDataTable* table = nullptr;
    EXPECT_EQ(dir.OpenTable(name, table, false, false, false, false, false, exclusive), 0);
    return table;
}

}  // namespace

TEST(TableLocks, TransactionMakesAnotherProgramsAppendWaitForTheCommit) {
    TempDir tmp;
    Db db(tmp.path());
    MakeTable(*db.dir, "STAFF");
    TDataTable* table = OpenShared(*db.dir, "STAFF");

    db.dir->StartTransaction();
    AppendRecord(*table, 100);
    ChildProcess child({"tbl-append", tmp.path(), "STAFF", "200"});
    ASSERT_EQ(child.readLine(), "ready");
    child.send("go");
    // The child cannot get the write semaphore while the transaction holds it.
    EXPECT_EQ(child.readLine(400), "");
    db.dir->Commit();
    // It then sees the committed record and appends after it.
    EXPECT_EQ(child.readLine(), "appended 2 2 100");
    child.send("quit");
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(CountNow(*table), 2u);
    EXPECT_EQ(ReadId(*table, 2), 200);
    db.dir->CloseTable(table, false, false, false);
}

TEST(TableLocks, AfterARollbackTheWaiterSeesNoneOfTheTransaction) {
    TempDir tmp;
    Db db(tmp.path());
    MakeTable(*db.dir, "STAFF");
    TDataTable* table = OpenShared(*db.dir, "STAFF");

    db.dir->StartTransaction();
    AppendRecord(*table, 100);
    AppendRecord(*table, 101);
    ChildProcess child({"tbl-append", tmp.path(), "STAFF", "200"});
    ASSERT_EQ(child.readLine(), "ready");
    child.send("go");
    EXPECT_EQ(child.readLine(300), "");
    db.dir->Rollback();
    EXPECT_EQ(child.readLine(), "appended 1 1 200");
    child.send("quit");
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(CountNow(*table), 1u);
    EXPECT_EQ(ReadId(*table, 1), 200);
    db.dir->CloseTable(table, false, false, false);
}

TEST(TableLocks, AProgramKilledInsideATransactionLeavesTheTableUsable) {
    TempDir tmp;
    Db db(tmp.path());
    MakeTable(*db.dir, "STAFF", true);
    TDataTable* table = OpenShared(*db.dir, "STAFF");
    table->SemaphoreAttempts = 2;
    {
        ChildProcess child({"tbl-txn", tmp.path(), "STAFF", "7"});
        ASSERT_EQ(child.readLine(), "ready");
        // While it lives its transaction keeps writers out and its record lock holds.
        EXPECT_EQ(ErrorOf([&] { table->BeginWrite(); }), KURA_LOCKTIMEOUT);
        EXPECT_EQ(ErrorOf([&] { table->LockRecord(1); }), KURA_RECLOCKFAILED);
        child.kill(SIGKILL);
        EXPECT_EQ(child.wait(), 128 + SIGKILL);
    }
    // Its locks died with it; what it committed is there, the rest never was.
    EXPECT_NO_THROW(table->VerifyHeaders());
    EXPECT_EQ(CountNow(*table), 1u);
    EXPECT_EQ(ReadId(*table, 1), 7);
    EXPECT_NO_THROW(table->LockRecord(1));
    table->UnlockRecord(1);
    EXPECT_EQ(AppendRecord(*table, 8), 2u);
    EXPECT_NO_THROW(table->VerifyHeaders());
    db.dir->CloseTable(table, false, false, false);

    // A fresh open verifies too.
    Db again(tmp.path());
    TDataTable* reopened = OpenShared(*again.dir, "STAFF");
    EXPECT_NO_THROW(reopened->VerifyHeaders());
    EXPECT_EQ(CountNow(*reopened), 2u);
    again.dir->CloseTable(reopened, false, false, false);
}

TEST(TableLocks, ExclusiveOpenRefusesOtherPrograms) {
    TempDir tmp;
    Db db(tmp.path());
    MakeTable(*db.dir, "STAFF");
    TDataTable* table = OpenShared(*db.dir, "STAFF", true);
    {
        ChildProcess child({"tbl-open", tmp.path(), "STAFF", "shared"});
        EXPECT_EQ(child.readLine(), "error 11013");
        EXPECT_EQ(child.wait(), 0);
    }
    {
        ChildProcess child({"tbl-delete", tmp.path(), "STAFF"});
        EXPECT_EQ(child.readLine(), "error 11013");
        EXPECT_EQ(child.wait(), 0);
    }
    db.dir->CloseTable(table, false, false, false);

    // The other way round: the other program holds it exclusively.
    {
        ChildProcess child({"tbl-open", tmp.path(), "STAFF", "exclusive"});
        ASSERT_EQ(child.readLine(), "open");
        TDataTable* refused = nullptr;
        EXPECT_EQ(ErrorOf([&] { db.dir->OpenTable("STAFF", refused, false, false, false, false, false, false); }),
                  KURA_OSEACCES);
        EXPECT_EQ(ErrorOf([&] { db.dir->DeleteTable("STAFF", false); }), KURA_OSEACCES);
        child.send("quit");
        EXPECT_EQ(child.wait(), 0);
    }
    // Shared opens of two programs live side by side; deleting still fails then.
    table = OpenShared(*db.dir, "STAFF");
    {
        ChildProcess child({"tbl-open", tmp.path(), "STAFF", "shared"});
        EXPECT_EQ(child.readLine(), "open");
        child.send("quit");
        EXPECT_EQ(child.wait(), 0);
    }
    {
        ChildProcess child({"tbl-delete", tmp.path(), "STAFF"});
        EXPECT_EQ(child.readLine(), "error 11013");
        EXPECT_EQ(child.wait(), 0);
    }
    db.dir->CloseTable(table, false, false, false);
    ChildProcess child({"tbl-delete", tmp.path(), "STAFF"});
    EXPECT_EQ(child.readLine(), "deleted");
    EXPECT_EQ(child.wait(), 0);
}

TEST(TableLocks, RecordLocksConflictBetweenProgramsAsBetweenSessions) {
    TempDir tmp;
    Db db(tmp.path());
    Db second(tmp.path());
    MakeTable(*db.dir, "STAFF");
    TDataTable* table = OpenShared(*db.dir, "STAFF");
    TDataTable* other = OpenShared(*second.dir, "STAFF");
    AppendRecord(*table, 1);
    AppendRecord(*table, 2);

    ChildProcess child({"tbl-lockrec", tmp.path(), "STAFF", "1"});
    ASSERT_EQ(child.readLine(), "locked");
    // Another program's lock: refused after 1 + 2 tries (the session's retry count),
    // or at the first without retries.
    RefusedLocks refused;
    EXPECT_EQ(ErrorOf([&] { table->LockRecord(1); }), KURA_RECLOCKFAILED);
    EXPECT_EQ(refused.Take(), 3);
    db.session.SetLockRetryCount(0);
    EXPECT_EQ(ErrorOf([&] { table->LockRecord(1); }), KURA_RECLOCKFAILED);
    EXPECT_EQ(refused.Take(), 1);
    db.session.SetLockRetryCount(2);
    EXPECT_NO_THROW(table->LockRecord(2));
    // Another session of this program: the same refusal.
    EXPECT_EQ(ErrorOf([&] { other->LockRecord(2); }), KURA_RECLOCKFAILED);
    // And the other program is refused this program's lock.
    {
        ChildProcess locker({"tbl-lockrec", tmp.path(), "STAFF", "2"});
        EXPECT_EQ(locker.readLine(), "error 10258");
        EXPECT_EQ(locker.wait(), 1);
    }
    child.send("quit");
    EXPECT_EQ(child.wait(), 0);
    EXPECT_NO_THROW(table->LockRecord(1));
    table->UnlockRecord(1);
    table->UnlockRecord(2);
    EXPECT_NO_THROW(other->LockRecord(2));
    other->UnlockRecord(2);
    second.dir->CloseTable(other, false, false, false);
    db.dir->CloseTable(table, false, false, false);
}
