// Session and database components: activation, settings, names, the in-memory
// database, transactions and disconnecting.
#include <atomic>
#include <chrono>
#include <thread>
#include <unistd.h>

#include "components/FieldTypeMap.h"
#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/Engine.h"
#include "engine/core/TableCreation.h"
#include "tests/common/EngineTestSupport.h"
#include "tests/components/ComponentTestSupport.h"

namespace kura::test {
namespace {

using Sessions_ = ComponentTest;
using Databases = ComponentTest;

TEST_F(Sessions_, ActivatingASecondSessionStartsTheDefaultOneFirst) {
    TKuraSession s(nullptr);
    s.SetSessionName("Second");
    EXPECT_FALSE(Session().Active());
    EXPECT_FALSE(IsEngineInitialized());
    s.SetActive(true);
    EXPECT_TRUE(Session().Active());
    EXPECT_TRUE(IsEngineInitialized());
    EXPECT_NE(s.Handle(), Session().Handle());
    s.SetActive(false);
    EXPECT_TRUE(Session().Active());
    Session().SetActive(false);
    EXPECT_FALSE(IsEngineInitialized());
}

TEST_F(Sessions_, SettingsAreCheckedAndForwardedToTheEngineSession) {
    TKuraSession s(nullptr);
    s.SetSessionName("S");
    EXPECT_EQ(s.ProgressSteps(), 20);
    s.SetProgressSteps(101);
    EXPECT_EQ(s.ProgressSteps(), 20);
    s.SetActive(true);
    s.SetLockRetryCount(3);
    EXPECT_EQ(s.Handle()->GetLockRetryCount(), 3);
    s.SetLockProtocol(lpOptimistic);
    EXPECT_EQ(s.Handle()->GetLockProtocol(), lpOptimistic);
    EXPECT_EQ(DatabaseErrorOf([&] { s.SetRemotePort(1); }), "Cannot perform this operation on an active session.");
    EXPECT_EQ(DatabaseErrorOf([&] { s.SetSessionName("T"); }), "Cannot perform this operation on an active session.");
    EXPECT_EQ(s.RemotePort(), 12005);
    EXPECT_EQ(std::string(TKuraSession::EngineVersion), "3.30");
}

TEST_F(Sessions_, NamesAreUniqueIgnoringCaseAndLookedUp) {
    TKuraSession a(nullptr);
    a.SetSessionName("Staff");
    TKuraSession b(nullptr);
    EXPECT_EQ(DatabaseErrorOf([&] { b.SetSessionName("STAFF"); }), "Session name STAFF already exists.");
    EXPECT_EQ(Sessions().FindSession("staff"), &a);
    EXPECT_EQ(Sessions().FindSession(""), &Session());
    EXPECT_EQ(DatabaseErrorOf([&] { Sessions().GetSession("Nobody"); }), "Session name Nobody is not valid.");
    EXPECT_EQ(DatabaseErrorOf([&] { b.SetActive(true); }), "Session name is missing.");
    EXPECT_FALSE(b.Active());
    // Full-width letters fold too: ｓｔａｆｆ２ is ＳＴＡＦＦ２ (code page 932).
    TKuraSession c(nullptr);
    c.SetSessionName("\x82\x72\x82\x73\x82\x60\x82\x65\x82\x65\x82\x51");
    EXPECT_EQ(Sessions().FindSession("\x82\x93\x82\x94\x82\x81\x82\x86\x82\x86\x82\x51"), &c);
    EXPECT_EQ(DatabaseErrorOf([&] { b.SetSessionName("\x82\x93\x82\x54\x82\x81\x82\x86\x82\x86\x82\x51"); }), "");
    EXPECT_EQ(DatabaseErrorOf([&] { b.SetSessionName("\x82\x93\x82\x94\x82\x81\x82\x86\x82\x86\x82\x51"); }),
              "Session name \x82\x93\x82\x94\x82\x81\x82\x86\x82\x86\x82\x51 already exists.");
}

TEST_F(Sessions_, ARemoteSessionFailsToConnectAndStaysInactive) {
    TKuraSession s(nullptr);
    s.SetSessionName("Remote");
    s.SetSessionType(stRemote);
    s.SetRemoteHost("server");
    EXPECT_EQ(EngineErrorOf([&] { s.SetActive(true); }), KURA_REMOTECONNECT);
    EXPECT_FALSE(s.Active());
}

TEST_F(Sessions_, LockSessionNestsAndStartsAnInactiveSession) {
    TKuraSession s(nullptr);
    s.SetSessionName("L");
    s.LockSession();
    EXPECT_TRUE(s.Active());
    s.LockSession();
    EXPECT_EQ(s.LockCount(), 2);
    s.UnlockSession();
    s.UnlockSession();
    EXPECT_EQ(s.LockCount(), 0);
    // The engine-wide section is free again: another thread can enter it.
    bool entered = false;
    std::thread other([&] {
        entered = Sessions().EngineLock().TryEnter();
        if (entered) Sessions().EngineLock().Leave();
    });
    other.join();
    EXPECT_TRUE(entered);
}

TEST_F(Sessions_, PasswordsGoToTheEngineSession) {
    Session().SetActive(true);
    Session().AddPassword("secret");
    EXPECT_TRUE(Session().Handle()->PasswordExists("secret"));
    Session().RemovePassword("secret");
    EXPECT_FALSE(Session().Handle()->PasswordExists("secret"));
    bool asked = false;
    Session().OnPassword = [&](TKuraSession*, bool& cont) {
        asked = true;
        cont = true;
    };
    EXPECT_TRUE(Session().GetPassword());
    EXPECT_TRUE(asked);
}

TEST_F(Databases, NamesWithPathCharactersOnlyForTemporaryDatabases) {
    TKuraDatabase db(nullptr);
    EXPECT_EQ(DatabaseErrorOf([&] { db.SetDatabaseName("C:\\Data"); }), "Database name C:\\Data is not valid.");
    EXPECT_EQ(DatabaseErrorOf([&] { db.SetConnected(true); }), "Database name is missing.");
    // A double-byte character whose trail byte is 0x5C is no path separator.
    db.SetDatabaseName("\x95\x5C");
    EXPECT_EQ(db.DatabaseName(), "\x95\x5C");
    TKuraDatabase other(nullptr);
    other.SetDatabaseName("Work");
    EXPECT_EQ(DatabaseErrorOf([&] { db.SetDatabaseName("work"); }), "Database name work already exists.");
}

TEST_F(Databases, TransactionsCommitAndRollBack) {
    TKuraDatabase db(nullptr);
    db.SetDatabaseName("DataDB");
    db.SetDirectory(dir.path());
    EXPECT_EQ(DatabaseErrorOf([&] { db.StartTransaction(); }), "Cannot perform this operation on a closed database.");
    db.SetConnected(true);
    EXPECT_EQ(DatabaseErrorOf([&] { db.Commit(true); }), "Database DataDB has no active transaction.");
    auto t = std::make_unique<TKuraTable>();
    t->SetDatabaseName("DataDB");
    t->SetTableName("Staff");
    DefineStaff(*t);
    t->CreateTable();
    t->Open();
    EXPECT_EQ(t->Database(), &db);
    db.StartTransaction();
    EXPECT_TRUE(db.InTransaction());
    EXPECT_EQ(DatabaseErrorOf([&] { db.StartTransaction(); }), "Database DataDB already has an active transaction.");
    AddStaff(*t, 1, "Kept", 1);
    db.Commit(true);
    db.StartTransaction();
    AddStaff(*t, 2, "Dropped", 2);
    db.Rollback();
    EXPECT_FALSE(db.InTransaction());
    t->Refresh();
    EXPECT_EQ(Ids(*t), (std::vector<int>{1}));
    // Disconnecting closes every dataset that uses the database.
    db.SetConnected(false);
    EXPECT_FALSE(t->Active());
}

TEST_F(Databases, MemoryDatabaseHoldsTablesWithoutFiles) {
    auto t = std::make_unique<TKuraTable>();
    t->SetDatabaseName("memory");
    EXPECT_TRUE(t->InMemory());
    t->SetTableName("Scratch");
    t->FieldDefs().Add("K", ftInteger);
    t->FieldDefs().Add("V", ftString, 10);
    t->CreateTable();
    t->Open();
    t->Append();
    t->FieldByName("K")->SetAsInteger(1);
    t->FieldByName("V")->SetAsString("one");
    t->Post();
    EXPECT_EQ(t->RecordCount(), 1);
    EXPECT_TRUE(t->Database()->Directory().empty());
}

}  // namespace
}  // namespace kura::test

namespace kura::test {
namespace {

using Lifetimes = ComponentTest;

TEST_F(Lifetimes, TemporaryDatabasesComeAndGoWithTheirDataSets) {
    TKuraSession s(nullptr);
    s.SetSessionName("Short");
    s.KeepConnections = false;
    auto t = StaffTable(2);
    t->Close();
    t->SetSessionName("Short");
    t->Open();
    ASSERT_NE(t->Database(), nullptr);
    EXPECT_TRUE(t->Database()->Temporary());
    EXPECT_EQ(s.Databases().size(), 1u);
    t->Close();
    EXPECT_TRUE(s.Databases().empty());  // freed with its last dataset
    t->Open();
    // Stopping the session closes the dataset and frees the database.
    s.SetActive(false);
    EXPECT_FALSE(t->Active());
    EXPECT_TRUE(s.Databases().empty());
    t->Open();
    EXPECT_EQ(Ids(*t), (std::vector<int>{1, 2}));
}

TEST_F(Lifetimes, ADatabaseOutlivesItsSessionBoundToTheDefault) {
    auto s = std::make_unique<TKuraSession>(nullptr);
    s->SetSessionName("Gone");
    TKuraDatabase db(nullptr);
    db.SetSessionName("Gone");
    db.SetDatabaseName("D");
    db.SetDirectory(dir.path());
    db.SetConnected(true);
    s.reset();
    EXPECT_FALSE(db.Connected());
    EXPECT_EQ(db.Session(), &Session());
    db.SetConnected(true);
    EXPECT_TRUE(db.Connected());
}

TEST_F(Lifetimes, AutoSessionNamesFollowTheComponentName) {
    TComponent form(nullptr);
    auto* s = new TKuraSession(&form);
    s->SetName("Session1");
    s->SetAutoSessionName(true);
    EXPECT_EQ(s->SessionName(), "Session1_1");
    EXPECT_EQ(DatabaseErrorOf([&] { s->SetSessionName("X"); }),
              "Cannot perform this operation on the active auto-session.");
    EXPECT_EQ(DatabaseErrorOf([&] { new TKuraSession(&form); }), "This auto-session already exists.");
    auto* table = new TKuraTable(&form);
    EXPECT_EQ(table->SessionName(), "Session1_1");
}

}  // namespace
}  // namespace kura::test

namespace kura::test {
namespace {

TEST_F(Lifetimes, TheEngineWideSectionSerialisesSessionsOfDifferentThreads) {
    TKuraSession a(nullptr), b(nullptr);
    a.SetSessionName("A");
    b.SetSessionName("B");
    a.SetActive(true);
    b.SetActive(true);
    std::atomic<int> stage{0};
    std::atomic<pid_t> otherId{0};
    a.LockSession();
    std::thread other([&] {
        otherId = gettid();
        stage = 1;
        b.LockSession();  // waits for A's UnlockSession
        stage = 2;
        EXPECT_EQ(GetEngineSession(), b.Handle());
        b.UnlockSession();
    });
    EXPECT_TRUE(WaitUntil([&] { return stage.load() == 1; }));
    // B's thread has gone to sleep in the kernel without passing its lock.
    EXPECT_TRUE(WaitUntil([&] { return TaskState(otherId) == 'S'; }));
    EXPECT_EQ(stage.load(), 1);
    EXPECT_EQ(GetEngineSession(), a.Handle());
    a.UnlockSession();
    other.join();
    EXPECT_EQ(stage.load(), 2);
}

// A field or index definition whose name is longer than its room (30 bytes) is
// refused, not cut: nothing is made, and names that fit make the table.
TEST(TableDefinitions, NamesLongerThanTheirRoomAreRefused) {
    const std::string fits(30, 'f'), tooLong(31, 'f');
    struct Case {
        std::string Field, Index;
        TEngineErrorCode Code;
    };
    const Case cases[] = {
        {tooLong, "ByK", KURA_INVALIDFIELDNAME},
        {"K", tooLong, KURA_INVALIDINDEXNAME},
        {fits, fits, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Field + " " + c.Index);
        auto t = std::make_unique<TKuraTable>();
        t->SetDatabaseName("memory");
        t->SetTableName("Named");
        t->FieldDefs().Add(c.Field, ftInteger);
        t->FieldDefs().Add("V", ftString, 10);
        t->IndexDefs().Add(c.Index, c.Field, 0);
        EXPECT_EQ(EngineErrorOf([&] { t->CreateTable(); }), c.Code);
        EXPECT_EQ(t->Exists(), c.Code == 0);
        if (c.Code != 0) continue;
        t->SetExclusive(true);
        t->Open();
        EXPECT_NE(t->FindField(fits), nullptr);
        t->SetIndexName(fits);
        // Descriptors handed to the engine itself: a name whose length says 31
        // bytes (the 31st where the key size follows) was cut, and is refused by
        // adding an index and by creating a table, which make nothing.
        const auto said = [](const Raised& r) { return GetEngineErrorName(r.code) + " " + r.index; };
        const std::string refused = "KURA_INVALIDINDEXNAME " + std::string(30, 'g');
        TIndexDescSlots slots{};
        slots[0].SetField(0, 1);
        slots[1].SetName(std::string(30, 'g'));
        slots[1].SetByte(ido::Name, 31);
        slots[1].SetByte(ido::KeySize, 'g');
        slots[1].SetField(0, 2);
        EXPECT_EQ(said(RaisedBy([&] { t->Handle()->AddSecondaryIndex(slots[1], 0); })), refused);
        EXPECT_EQ(t->Handle()->GetIndexCount(), 1);
        std::vector<TFieldDesc> fields{FieldDescFromDef(t->FieldDefs()[0], 1), FieldDescFromDef(t->FieldDefs()[1], 2)};
        TDataCursor fresh(t->Database()->Handle());
        fresh.SetTableName("Planted");
        fresh.SetExclusive(true);
        fresh.SetInMemory(true);
        EXPECT_EQ(said(RaisedBy([&] {
                      fresh.CreateTable(0, 0, false, nullptr, {}, {}, fields, slots, 1, 512, "", "", false, 0, 0, false);
                  })),
                  refused);
        EXPECT_FALSE(t->Database()->Handle()->TableExists("Planted", true));
        t->Close();
        t->DeleteTable();
    }
}

}  // namespace
}  // namespace kura::test
