// The query component over a remote session: the same SQL through the loopback test
// server gives the same rows, counts and parameters as through a local session, by
// a database component of its own or by a temporary database the session opens.
#include "components/KuraQuery.h"

#include "platform/dataset/Field.h"
#include "tests/components/ComponentTestSupport.h"
#include "tests/engine/core/RemoteTestServer.h"

using namespace kura;
using namespace kura::test;

namespace {

using RowList = std::vector<std::string>;

class RemoteQuery : public ComponentTest {
protected:
    void SetUp() override {
        server.Version = 33000;
        server.AddDatabase("StaffDB", dir.path());
        StaffTable(9)->Close();
        remote.SetSessionName("Remote");
        remote.SetSessionType(stRemote);
        remote.SetRemotePort(server.Port());
        remote.SetRemoteUser(server.User);
        remote.SetRemotePassword(server.Password);
        remote.SetActive(true);
    }
    void TearDown() override {
        remote.SetActive(false);
        ComponentTest::TearDown();
    }

    // A query of the remote session on the server's database name, or of the
    // default local session on the folder.
    std::unique_ptr<TKuraQuery> Query(bool onRemote, const std::string& sql) {
        auto q = std::make_unique<TKuraQuery>();
        if (onRemote) {
            q->SetSessionName("Remote");
            q->SetDatabaseName("StaffDB");
        } else {
            q->SetDatabaseName(dir.path());
        }
        q->SetSQL(sql);
        return q;
    }
    static RowList Rows(TDataSet& q) {
        RowList rows;
        q.First();
        while (!q.Eof()) {
            std::string row;
            for (int i = 0; i < q.FieldCount(); ++i) {
                TField* f = q.Fields(i);
                row += (i ? "|" : "") + (f->IsNull() ? std::string("NULL") : f->AsString());
            }
            rows.push_back(row);
            q.Next();
        }
        return rows;
    }

    TRemoteTestServer server;
    // The session list frees its sessions.
    TKuraSession& remote = *new TKuraSession(nullptr);
};

TEST_F(RemoteQuery, SelectsBrowseTheSameRowsAsLocally) {
    const char* const texts[] = {
        "SELECT Id, Name, Score FROM Staff WHERE Score > :low ORDER BY Score DESC, Id",
        "SELECT Score, COUNT(*) AS N FROM Staff WHERE Id > :low GROUP BY Score",
        "SELECT * FROM Staff WHERE Score > :low",
    };
    for (const char* sql : texts) {
        RowList expected;
        for (const bool onRemote : {false, true}) {
            auto q = Query(onRemote, sql);
            q->ParamByName("low").SetAsInteger(2);
            q->Open();
            const RowList rows = Rows(*q);
            if (!onRemote) expected = rows;
            EXPECT_FALSE(rows.empty()) << sql;
            EXPECT_EQ(rows, expected) << sql;
            // Backwards from the end as well.
            q->Last();
            EXPECT_EQ(q->Fields(0)->AsString(), expected.back().substr(0, expected.back().find('|')))
                << sql;
            q->Close();
        }
    }
}

TEST_F(RemoteQuery, ExecSqlCountsTheRowsAndTheDataChanges) {
    auto update = Query(true, "UPDATE Staff SET Score = :s WHERE Id > :id");
    update->ParamByName("s").SetAsInteger(50);
    update->ParamByName("id").SetAsInteger(6);
    update->ExecSQL();
    EXPECT_FALSE(update->Active());
    EXPECT_EQ(update->RowsAffected(), 3u);
    auto insert = Query(true, "INSERT INTO Staff (Id, Name, Score) VALUES (:id, :name, 1)");
    insert->ParamByName("id").SetAsInteger(20);
    insert->ParamByName("name").SetAsString("\x89\x93\x8a\x75");
    insert->ExecSQL();
    EXPECT_EQ(insert->RowsAffected(), 1u);
    // A SELECT through ExecSQL leaves the query open on its result.
    auto check = Query(false, "SELECT Id, Name FROM Staff WHERE Score >= 50 OR Id = 20");
    check->Open();
    EXPECT_EQ(Rows(*check), (RowList{"7|N7", "8|N8", "9|N9", "20|\x89\x93\x8a\x75"}));
    auto remove = Query(true, "DELETE FROM Staff WHERE Score = 50");
    remove->ExecSQL();
    EXPECT_EQ(remove->RowsAffected(), 3u);
    auto select = Query(true, "SELECT COUNT(*) AS N FROM Staff");
    select->ExecSQL();
    EXPECT_TRUE(select->Active());
    EXPECT_EQ(select->FieldByName("N")->AsInteger(), 7);
}

TEST_F(RemoteQuery, ADatabaseComponentNamesTheServersDatabase) {
    TKuraDatabase db;
    db.SetSessionName("Remote");
    db.SetDatabaseName("Personnel");
    db.SetRemoteDatabase("StaffDB");
    db.SetConnected(true);
    ASSERT_TRUE(db.Connected());
    const std::vector<TServerRequest> seen = server.Requests();
    const auto open = std::find_if(seen.rbegin(), seen.rend(),
                                   [](const TServerRequest& r) { return r.Code == REQUEST_OPENDATADIR; });
    ASSERT_NE(open, seen.rend());
    EXPECT_EQ(open->Text(0), "StaffDB");
    TKuraQuery q;
    q.SetSessionName("Remote");
    q.SetDatabaseName("Personnel");
    q.SetSQL("SELECT Name FROM Staff WHERE Id IN (:a, :b)");
    q.ParamByName("a").SetAsInteger(3);
    q.ParamByName("b").SetAsInteger(5);
    q.Open();
    EXPECT_EQ(Rows(q), (RowList{"N3", "N5"}));
    q.Close();
    db.SetConnected(false);
}

}  // namespace

namespace {

TEST_F(RemoteQuery, ATableComponentBrowsesTheServersTable) {
    TKuraTable t;
    t.SetSessionName("Remote");
    t.SetDatabaseName("StaffDB");
    t.SetTableName("Staff");
    t.Open();
    RowList names;
    for (t.First(); !t.Eof(); t.Next()) names.push_back(t.FieldByName("Name")->AsString());
    EXPECT_EQ(names, (RowList{"N1", "N2", "N3", "N4", "N5", "N6", "N7", "N8", "N9"}));
    t.Close();

    // In a secondary index's order, edited, appended to and searched, as locally.
    t.SetIndexName("ByScore");
    t.Open();
    std::vector<int> scores;
    for (t.First(); !t.Eof(); t.Next()) scores.push_back(t.FieldByName("Score")->AsInteger());
    EXPECT_EQ(scores, (std::vector<int>{0, 1, 1, 2, 2, 3, 4, 5, 6}));
    ASSERT_TRUE(t.Locate("Name", std::string("N4"), {}));
    t.Edit();
    t.FieldByName("Notes")->SetAsString("edited remotely");
    t.FieldByName("Score")->SetAsInteger(9);
    t.Post();
    AddStaff(t, 10, "N10", 8);
    t.Last();
    EXPECT_EQ(t.FieldByName("Name")->AsString(), "N4");
    t.Close();
    auto local = NewTable();
    local->Open();
    ASSERT_TRUE(local->Locate("Id", 4, {}));
    EXPECT_EQ(local->FieldByName("Notes")->AsString(), "edited remotely");
    EXPECT_EQ(local->FieldByName("Score")->AsInteger(), 9);
    EXPECT_EQ(local->RecordCount(), 10);
}

// A memo written through the table component reaches the server whichever side keeps
// the open BLOBs: one request per BLOB operation (3.04), contents uploaded with the
// post (3.11), uploaded with a flag byte each (from 3.27).
TEST_F(RemoteQuery, MemosEditedThroughATableAreStoredWhateverTheServersVersion) {
    for (const int64_t version : {30400, 31100, 33000}) {
        remote.SetActive(false);
        server.Version = version;
        remote.SetActive(true);
        const std::string tag = std::to_string(version);
        TKuraTable t;
        t.SetSessionName("Remote");
        t.SetDatabaseName("StaffDB");
        t.SetTableName("Staff");
        t.Open();
        // Written into an empty memo, then overwritten shorter, then cleared.
        ASSERT_TRUE(t.Locate("Id", 2, {})) << tag;
        t.Edit();
        t.FieldByName("Notes")->SetAsString("a first, longer note " + tag);
        t.Post();
        ASSERT_TRUE(t.Locate("Id", 3, {})) << tag;
        t.Edit();
        t.FieldByName("Notes")->SetAsString("to be cleared");
        t.Post();
        t.Edit();
        t.FieldByName("Notes")->SetAsString("");
        t.FieldByName("Score")->SetAsInteger(5);
        t.Post();
        ASSERT_TRUE(t.Locate("Id", 2, {})) << tag;
        t.Edit();
        t.FieldByName("Notes")->SetAsString("short " + tag);
        t.Post();
        // A new record with its memo, and an edit that leaves the memo alone.
        t.Append();
        t.FieldByName("Id")->SetAsInteger(100);
        t.FieldByName("Name")->SetAsString("New");
        t.FieldByName("Notes")->SetAsString("appended " + tag);
        t.Post();
        ASSERT_TRUE(t.Locate("Id", 100, {})) << tag;
        t.Edit();
        t.FieldByName("Score")->SetAsInteger(6);
        t.Post();
        EXPECT_EQ(t.FieldByName("Notes")->AsString(), "appended " + tag);
        t.Close();

        auto local = NewTable();
        local->Open();
        ASSERT_TRUE(local->Locate("Id", 2, {})) << tag;
        EXPECT_EQ(local->FieldByName("Notes")->AsString(), "short " + tag);
        ASSERT_TRUE(local->Locate("Id", 3, {})) << tag;
        EXPECT_TRUE(local->FieldByName("Notes")->IsNull()) << tag;
        EXPECT_EQ(local->FieldByName("Score")->AsInteger(), 5) << tag;
        ASSERT_TRUE(local->Locate("Id", 100, {})) << tag;
        EXPECT_EQ(local->FieldByName("Notes")->AsString(), "appended " + tag);
        EXPECT_EQ(local->FieldByName("Score")->AsInteger(), 6) << tag;
        // Taken out again, so that the next version starts alike.
        local->Delete();
        local->Close();
    }
}

}  // namespace
