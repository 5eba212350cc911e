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
}

}  // namespace
