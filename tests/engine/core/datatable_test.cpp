#include "engine/core/DataTable.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "engine/core/DataDirectory.h"
#include "engine/core/EngineLibrary.h"
#include "engine/errors/EngineErrors.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/TableTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

using Db = test::SessionDb;

TDataTable* OpenShared(TDataDirectory& dir, const std::string& name) {
    TDataTable* table = nullptr;
    EXPECT_EQ(dir.OpenTable(name, table, false, false, false, false, false, false), 0);
    return table;
}

bool Exists(const TempDir& dir, const std::string& name) { return std::filesystem::exists(dir.file(name)); }

}  // namespace

TEST(DataTable, CreateOpenAndCloseTheThreeFiles) {
    TempDir tmp;
    Db db(tmp.path());
    TDataTable* table = nullptr;
    ASSERT_EQ(db.dir->CreateTable(table, "STAFF", false, false, SmallTable(true, true)), 0);
    EXPECT_TRUE(table->IsOpen());
    EXPECT_TRUE(table->IsExclusive());
    EXPECT_EQ(table->GetOpenCount(), 1);
    ASSERT_EQ(db.dir->CloseTable(table, false, false, false), 0);
    EXPECT_TRUE(db.dir->Tables().empty());
    EXPECT_TRUE(Exists(tmp, "STAFF.DAT"));
    EXPECT_TRUE(Exists(tmp, "STAFF.IDX"));
    EXPECT_TRUE(Exists(tmp, "STAFF.BLB"));

    // A name ending in ".DAT" names the same files.
    table = OpenShared(*db.dir, "staff.dat");
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->GetFieldCount(), 3);
    EXPECT_EQ(table->GetBlobFieldCount(), 1);
    EXPECT_EQ(table->GetBlobBlockSize(), 512);
    EXPECT_FALSE(table->GetNoPrimaryIndex());
    EXPECT_EQ(table->GetIndexCount(), 1);
    EXPECT_EQ(table->GetDescription(), "test table");
    EXPECT_FALSE(table->IsReadOnly());
    EXPECT_NO_THROW(table->VerifyHeaders());
    EXPECT_EQ(AppendRecord(*table, 41), 1u);
    EXPECT_EQ(AppendRecord(*table, 42), 2u);
    EXPECT_EQ(ReadId(*table, 2), 42);
    EXPECT_EQ(db.dir->CloseTable(table, false, false, false), 0);

    // Without BLOB fields there is no .BLB; a table without indexes has no primary.
    TDataTable* plain = nullptr;
    ASSERT_EQ(db.dir->CreateTable(plain, "PLAIN", false, false, SmallTable()), 0);
    EXPECT_EQ(plain->GetBlobBlockSize(), 0);
    EXPECT_TRUE(plain->GetNoPrimaryIndex());
    db.dir->CloseTable(plain, false, false, false);
    EXPECT_FALSE(Exists(tmp, "PLAIN.BLB"));

    // The records survive a close and a new session.
    Db other(tmp.path());
    table = OpenShared(*other.dir, "STAFF");
    EXPECT_EQ(CountNow(*table), 2u);
    EXPECT_EQ(ReadId(*table, 1), 41);
    other.dir->CloseTable(table, false, false, false);
}

TEST(DataTable, MissingIndexIsRecreatedAndOpenFailuresCloseEverything) {
    TempDir tmp;
    Db db(tmp.path());
    test::MakeTable(*db.dir, "STAFF", true);
    std::filesystem::remove(tmp.file("STAFF.IDX"));
    TDataTable* table = OpenShared(*db.dir, "STAFF");
    ASSERT_NE(table, nullptr);
    EXPECT_TRUE(table->IsIndexRecreated());
    EXPECT_TRUE(Exists(tmp, "STAFF.IDX"));
    EXPECT_EQ(table->GetRecordCount(), 0u);
    EXPECT_NO_THROW(table->VerifyHeaders());
    db.dir->CloseTable(table, false, false, false);
    // No cursor rebuilt it from the records: it goes with the close.
    EXPECT_FALSE(Exists(tmp, "STAFF.IDX"));

    // A missing .BLB is an error of the open, and nothing stays open behind it.
    test::MakeTable(*db.dir, "PICTURES", true);
    std::filesystem::remove(tmp.file("PICTURES.BLB"));
    TDataTable* failed = nullptr;
    EXPECT_EQ(ErrorOf([&] { db.dir->OpenTable("PICTURES", failed, false, false, false, false, false, false); }),
              KURA_OSENOENT);
    EXPECT_TRUE(db.dir->Tables().empty());
    // The .DAT is free again: it can be deleted.
    EXPECT_EQ(db.dir->DeleteTable("PICTURES", false), 0);
    EXPECT_FALSE(Exists(tmp, "PICTURES.DAT"));

    TDataTable* none = nullptr;
    EXPECT_EQ(ErrorOf([&] { db.dir->OpenTable("NOSUCH", none, false, false, false, false, false, false); }),
              KURA_OSENOENT);

    // An open that fails makes nothing: neither the index it would have made again
    // nor a journal, which would make a name holding the .DAT alone look like a table.
    test::MakeTable(*db.dir, "HALF", true);
    for (const char* gone : {"HALF.IDX", "HALF.BLB", "HALF.JNL"}) std::filesystem::remove(tmp.file(gone));
    EXPECT_EQ(ErrorOf([&] { db.dir->OpenTable("HALF", failed, false, false, false, false, false, false); }), KURA_OSENOENT);
    for (const char* made : {"HALF.IDX", "HALF.JNL"}) EXPECT_FALSE(Exists(tmp, made)) << made;
    EXPECT_TRUE(Exists(tmp, "HALF.DAT"));
}

TEST(DataTable, BracketsNestAndOnlyTheOutermostEndReleases) {
    TempDir tmp;
    Db a(tmp.path());
    Db b(tmp.path());
    test::MakeTable(*a.dir, "STAFF");
    TDataTable* ta = OpenShared(*a.dir, "STAFF");
    TDataTable* tb = OpenShared(*b.dir, "STAFF");
    tb->GetIndexFile().LockAttempts = 1;
    tb->SemaphoreAttempts = 1;

    ta->BeginRead();
    ta->BeginRead();
    EXPECT_EQ(ta->GetReadDepth(), 2u);
    ta->EndRead();
    EXPECT_TRUE(ta->IsReadLocked());
    // The reader byte is still held: another session cannot write.
    EXPECT_EQ(ErrorOf([&] { tb->BeginWrite(); }), KURA_LOCKTIMEOUT);
    EXPECT_FALSE(tb->IsWriteLocked());
    ta->EndRead();
    EXPECT_FALSE(ta->IsReadLocked());
    EXPECT_NO_THROW(tb->BeginWrite());
    tb->EndWrite();

    // Write brackets nest the same way, and hold the semaphore to the end.
    ta->BeginWrite();
    ta->BeginWrite();
    ta->EndWrite();
    EXPECT_TRUE(ta->IsWriteLocked());
    EXPECT_EQ(ErrorOf([&] { tb->BeginWrite(); }), KURA_LOCKTIMEOUT);
    ta->EndWrite();
    EXPECT_FALSE(ta->IsWriteLocked());
    ta->EndWrite();  // an unmatched end does nothing
    EXPECT_NO_THROW(tb->BeginWrite());
    tb->EndWrite();

    // A failed release still releases the rest before it raises.
    ta->BeginWrite();
    ASSERT_TRUE(ta->GetIndexFile().UnlockWrite());
    EXPECT_EQ(ErrorOf([&] { ta->EndWrite(); }), KURA_LOCKTIMEOUT);
    EXPECT_FALSE(ta->IsWriteLocked());
    EXPECT_NO_THROW(tb->BeginWrite());  // the semaphore was given back
    tb->EndWrite();

    // The second read pair nests too, and covers the first while it is held.
    ta->BeginSharedRead();
    ta->BeginSharedRead();
    EXPECT_FALSE(ta->BeginRead());
    EXPECT_FALSE(ta->IsReadLocked());
    ta->EndRead();
    ta->EndSharedRead();
    EXPECT_TRUE(ta->IsSharedReadLocked());
    EXPECT_EQ(ErrorOf([&] { tb->BeginWrite(); }), KURA_LOCKTIMEOUT);
    ta->EndSharedRead();
    EXPECT_FALSE(ta->IsSharedReadLocked());

    // Changes of another session are reported by the next bracket.
    AppendRecord(*tb, 7);
    EXPECT_TRUE(ta->BeginRead());
    EXPECT_EQ(ta->GetRecordCount(), 1u);
    ta->EndRead();
    EXPECT_FALSE(ta->BeginRead());
    ta->EndRead();

    a.dir->CloseTable(ta, false, false, false);
    b.dir->CloseTable(tb, false, false, false);
}

TEST(DataTable, RecordLocksRetryAndConflictBetweenSessions) {
    TempDir tmp;
    Db a(tmp.path());
    Db b(tmp.path());
    test::MakeTable(*a.dir, "STAFF");
    TDataTable* ta = OpenShared(*a.dir, "STAFF");
    TDataTable* tb = OpenShared(*b.dir, "STAFF");
    AppendRecord(*ta, 1);
    AppendRecord(*ta, 2);

    EXPECT_EQ(ErrorOf([&] { ta->LockRecord(0); }), KURA_RECLOCKFAILED);
    EXPECT_EQ(ErrorOf([&] { ta->UnlockRecord(0); }), KURA_UNLOCKFAILED);
    EXPECT_EQ(ErrorOf([&] { ta->UnlockRecord(2); }), KURA_UNLOCKFAILED);

    ta->LockRecord(1);
    EXPECT_TRUE(ta->IsRecordLocked(1));
    EXPECT_FALSE(ta->IsReadLocked());  // its own read bracket ended
    // Refused after its retries (counted where another program holds the lock, see
    // the table-lock tests); the other record is free.
    EXPECT_EQ(ErrorOf([&] { tb->LockRecord(1); }), KURA_RECLOCKFAILED);
    EXPECT_FALSE(tb->IsReadLocked());
    EXPECT_NO_THROW(tb->LockRecord(2));
    b.session.SetLockRetryCount(0);
    EXPECT_EQ(ErrorOf([&] { tb->LockRecord(1); }), KURA_RECLOCKFAILED);

    // Inside an outer read bracket the read lock survives the failed wait's release
    // only as far as the bracket is concerned: nothing is left held.
    tb->BeginRead();
    EXPECT_EQ(ErrorOf([&] { tb->LockRecord(1); }), KURA_RECLOCKFAILED);
    tb->EndRead();
    EXPECT_FALSE(tb->IsReadLocked());

    ta->UnlockRecord(1);
    EXPECT_NO_THROW(tb->LockRecord(1));
    tb->UnlockRecord(1);
    tb->UnlockRecord(2);

    // Cursor marks are bookkeeping only.
    ta->MarkRecordLocked(9000);
    EXPECT_TRUE(ta->IsRecordMarkedLocked(9000));
    ta->UnmarkRecordLocked(9000);
    EXPECT_FALSE(ta->IsRecordMarkedLocked(9000));

    // Closing the table gives every record lock back.
    ta->LockRecord(2);
    a.dir->CloseTable(ta, false, false, false);
    EXPECT_NO_THROW(tb->LockRecord(2));
    b.dir->CloseTable(tb, false, false, false);
}

TEST(DataTable, TransactionDefersUnlocksAndHoldsBackWrites) {
    TempDir tmp;
    Db a(tmp.path());
    Db b(tmp.path());
    test::MakeTable(*a.dir, "STAFF");
    TDataTable* ta = OpenShared(*a.dir, "STAFF");
    TDataTable* tb = OpenShared(*b.dir, "STAFF");
    tb->SemaphoreAttempts = 1;
    AppendRecord(*ta, 1);

    ta->StartTransaction();
    EXPECT_TRUE(ta->InTransaction());
    EXPECT_TRUE(ta->IsTransactionLocked());
    // Writers of other sessions are kept out; readers are not.
    EXPECT_EQ(ErrorOf([&] { tb->BeginWrite(); }), KURA_LOCKTIMEOUT);
    EXPECT_EQ(CountNow(*tb), 1u);

    ta->LockRecord(1);
    ta->UnlockRecord(1);
    EXPECT_TRUE(ta->IsRecordLocked(1));  // kept until the transaction ends
    EXPECT_FALSE(ta->LockRecord(1));     // held already: at once
    EXPECT_EQ(ErrorOf([&] { tb->LockRecord(1); }), KURA_RECLOCKFAILED);
    // Locked again, the record is wanted again: the earlier unlock no longer
    // counts, and an intermediate commit keeps the lock.
    a.dir->StartTransaction();
    a.dir->Commit(false, false);
    EXPECT_TRUE(ta->IsRecordLocked(1));
    EXPECT_EQ(ErrorOf([&] { tb->LockRecord(1); }), KURA_RECLOCKFAILED);
    ta->UnlockRecord(1);

    // Writes inside the transaction stay in memory.
    const uint32_t before = tb->GetDataChangeCount();
    AppendRecord(*ta, 2);
    EXPECT_FALSE(tb->BeginRead());
    EXPECT_EQ(tb->GetDataChangeCount(), before);
    EXPECT_EQ(tb->GetRecordCount(), 1u);
    tb->EndRead();

    // An intermediate commit writes everything and releases the deferred unlocks,
    // but keeps the semaphore and the transaction.
    a.dir->StartTransaction();  // the database joins the table's own transaction
    a.dir->Commit(false, false);
    EXPECT_FALSE(a.dir->InTransaction());
    EXPECT_TRUE(ta->InTransaction());
    EXPECT_FALSE(ta->IsRecordLocked(1));
    EXPECT_EQ(CountNow(*tb), 2u);
    EXPECT_EQ(ReadId(*tb, 2), 2);
    EXPECT_NO_THROW(tb->LockRecord(1));
    tb->UnlockRecord(1);
    EXPECT_EQ(ErrorOf([&] { tb->BeginWrite(); }), KURA_LOCKTIMEOUT);

    // A rollback forgets what was written since, and lets writers in.
    AppendRecord(*ta, 3);
    ta->FlushBuffers(false, true, false, false, true);  // inside: nothing written
    EXPECT_EQ(CountNow(*tb), 2u);
    a.dir->Rollback();
    EXPECT_FALSE(ta->InTransaction());
    EXPECT_EQ(ta->GetRecordCount(), 2u);
    EXPECT_EQ(ta->GetLastRecordNumber(), 2u);
    EXPECT_NO_THROW(tb->BeginWrite());
    tb->EndWrite();

    a.dir->CloseTable(ta, false, false, false);
    b.dir->CloseTable(tb, false, false, false);
}

TEST(DataTable, ExclusiveAndReadOnlyTablesTakeNoLocks) {
    TempDir tmp;
    Db a(tmp.path());
    test::MakeTable(*a.dir, "STAFF");
    TDataTable* ta = nullptr;
    ASSERT_EQ(a.dir->OpenTable("STAFF", ta, false, false, false, false, false, true), 0);
    EXPECT_FALSE(ta->BeginRead());
    EXPECT_FALSE(ta->IsReadLocked());
    EXPECT_FALSE(ta->BeginWrite());
    EXPECT_FALSE(ta->LockRecord(5));
    EXPECT_NO_THROW(ta->UnlockRecord(5));
    EXPECT_EQ(AppendRecord(*ta, 1), 1u);
    // An exclusive table writes its buffers when it is closed.
    a.dir->CloseTable(ta, false, false, false);

    // Read-only by attribute: opened, no locks, nothing written.
    for (const char* ext : {"STAFF.DAT", "STAFF.IDX"})
        std::filesystem::permissions(tmp.file(ext), std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    Db b(tmp.path());
    TDataTable* tb = OpenShared(*b.dir, "STAFF");
    ASSERT_NE(tb, nullptr);
    EXPECT_TRUE(tb->IsReadOnly());
    EXPECT_TRUE(tb->IsReadOnlyByAttribute());
    EXPECT_FALSE(tb->BeginRead());
    EXPECT_EQ(tb->GetRecordCount(), 1u);
    EXPECT_NO_THROW(tb->FlushBuffers(true, true, true, true, true));
    tb->StartTransaction();
    EXPECT_FALSE(tb->InTransaction());
    b.dir->CloseTable(tb, false, false, false);
    for (const char* ext : {"STAFF.DAT", "STAFF.IDX"})
        std::filesystem::permissions(tmp.file(ext), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(DataTable, EmptyRenameAndBackUpFiles) {
    TempDir tmp;
    Db db(tmp.path());
    TDataTable* table = nullptr;
    ASSERT_EQ(db.dir->CreateTable(table, "STAFF", false, false, SmallTable(true)), 0);
    AppendRecord(*table, 1);
    AppendRecord(*table, 2);
    table->EmptyFiles();
    EXPECT_EQ(table->GetLastRecordNumber(), 0u);
    EXPECT_EQ(table->GetRecordCount(), 0u);
    EXPECT_EQ(table->GetFieldCount(), 3);
    table->BackupIndexFile();
    EXPECT_TRUE(Exists(tmp, "STAFF.IBK"));
    table->RestoreIndexFile(false, true);
    EXPECT_FALSE(Exists(tmp, "STAFF.IBK"));
    db.dir->CloseTable(table, false, false, false);

    EXPECT_EQ(db.dir->RenameTable("STAFF", "OLDSTAFF", true, false), 0);
    EXPECT_TRUE(Exists(tmp, "OLDSTAFF.DBK"));
    EXPECT_TRUE(Exists(tmp, "OLDSTAFF.IBK"));
    EXPECT_TRUE(Exists(tmp, "OLDSTAFF.BBK"));
    EXPECT_FALSE(Exists(tmp, "STAFF.DAT"));
}

TEST(DataTable, RemoteSessionTablesTouchNoFiles) {
    TDataSession session;
    session.SetRemote(true);
    session.RemoteHost = "server1";
    TDataDirectory* dir = session.OpenDataDirectory("STAFFDB", "", true);
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(dir->GetDatabaseName(), "STAFFDB");
    TDataTable* table = nullptr;
    ASSERT_EQ(dir->OpenTable("STAFF", table, false, false, false, false, false, false), 0);
    EXPECT_TRUE(table->IsOpen());
    EXPECT_FALSE(table->GetDataFile().IsOpen);
    EXPECT_FALSE(table->BeginRead());
    EXPECT_FALSE(table->BeginWrite());
    EXPECT_FALSE(table->LockRecord(3));
    EXPECT_TRUE(table->IsRecordLocked(3));
    table->UnlockRecord(3);
    // No server answers "server1": database-wide requests say so.
    EXPECT_EQ(ErrorOf([&] { dir->StartTransaction(); }), KURA_REMOTECONNECT);
    EXPECT_EQ(ErrorOf([&] { dir->TableExists("OTHER", false); }), KURA_REMOTECONNECT);
    EXPECT_EQ(dir->CloseTable(table, false, false, false), 0);
}
