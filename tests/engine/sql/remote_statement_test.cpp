// SQL statements of a local session and of a remote one (the loopback test server
// running our own statements) must give the same rows, counts, errors and
// callbacks; the remote requests keep their wire layout and follow the server's
// version.
#include <list>
#include <random>

#include "engine/core/DataDirectory.h"
#include "platform/dataset/Params.h"
#include "tests/engine/core/LocalOrRemoteCursor.h"
#include "tests/engine/sql/StatementTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

using Rows = std::vector<std::string>;

// Parameter descriptors and their values in one record, as the query component
// hands them to a statement.
class ParamSet {
public:
    ParamSet& Int(int32_t value) {
        TFieldDesc& d = Add(fldINT32, 0, 4);
        std::memcpy(Slot(d) + 1, &value, 4);
        return *this;
    }
    ParamSet& Text(const std::string& value) {
        TFieldDesc& d = Add(fldZSTRING, 0, static_cast<uint8_t>(value.size() + 1));
        std::memcpy(Slot(d) + 1, value.c_str(), value.size() + 1);
        return *this;
    }
    ParamSet& Memo(const std::string& value) {
        TFieldDesc& d = Add(fldBLOB, fldstMEMO, static_cast<uint8_t>(ParamBlobRefSize));
        keep_.push_back(value);
        const auto length = static_cast<uint32_t>(value.size());
        const char* bytes = keep_.back().data();
        std::memcpy(Slot(d) + 1, &length, 4);
        std::memcpy(Slot(d) + 5, &bytes, sizeof bytes);
        return *this;
    }
    ParamSet& Null() {
        TFieldDesc& d = Add(fldINT32, 0, 4);
        Slot(d)[0] = 0;
        return *this;
    }
    uint16_t Count() const { return static_cast<uint16_t>(descs_.size()); }
    const TFieldDesc* const* Descriptors() {
        pointers_.clear();
        for (const TFieldDesc& d : descs_) pointers_.push_back(&d);
        return pointers_.data();
    }
    const uint8_t* Record() const { return record_.data(); }

private:
    TFieldDesc& Add(uint8_t type, uint8_t subType, uint8_t size) {
        TFieldDesc& d = descs_.emplace_back();
        d.SetFieldNo(static_cast<uint16_t>(descs_.size()));
        d.SetName("P" + std::to_string(descs_.size()));
        d.SetFieldType(type);
        d.SetSubType(subType);
        d.SetStoredSize(size);
        d.SetOffset(static_cast<uint16_t>(offset_));
        record_[offset_] = 1;
        offset_ += size + 1u;
        return d;
    }
    uint8_t* Slot(const TFieldDesc& d) { return record_.data() + d.Offset(); }

    std::vector<TFieldDesc> descs_;
    std::vector<const TFieldDesc*> pointers_;
    std::vector<uint8_t> record_ = std::vector<uint8_t>(4096, 0);
    std::list<std::string> keep_;
    size_t offset_ = 0;
};

Rows ResultRows(TDataCursor* cursor) {
    Rows rows;
    if (!cursor) return rows;
    std::vector<uint8_t> record(cursor->GetCursorRecordSize() + 16, 0);
    cursor->SetToBegin();
    while (cursor->GetNextRecord(record.data()) == 0) {
        std::string row;
        for (uint16_t n = 1; n <= cursor->GetFieldCount(); ++n) row += (n > 1 ? "|" : "") + CursorFieldText(*cursor, n, record.data());
        rows.push_back(row);
    }
    return rows;
}

struct Failure {
    TEngineErrorCode Code = 0;
    std::string Table;
    std::string Message;
    bool operator==(const Failure&) const = default;
};

class Statements : public LocalOrRemoteCursor {
protected:
    Statements() { ServerVersion = 33000; }

    void SetUp() override {
        LocalOrRemoteCursor::SetUp();
        if (HasFatalFailure()) return;
        Make("CREATE TABLE staff (id INTEGER, name CHAR(12), dept CHAR(4), pay INTEGER, PRIMARY KEY (id))");
        const char* depts[] = {"A", "B", "A", "C", "B", "A", "C", "A"};
        for (int i = 1; i <= 8; ++i) {
            Make("INSERT INTO staff VALUES (" + std::to_string(i) + ", 'S" + std::to_string(i) + "', '" + depts[i - 1] +
                 "', " + std::to_string(i * 100) + ")");
        }
    }

    // Runs a text through the maker's local session, as another program would.
    void Make(const std::string& sql) {
        TQueryStatement s(maker);
        s.Prepare(sql);
        TDataCursor* c = nullptr;
        s.Execute(c);
    }
    Rows MakerRows(const std::string& sql) {
        TQueryStatement s(maker);
        s.Prepare(sql);
        TDataCursor* c = nullptr;
        s.Execute(c);
        return ResultRows(c);
    }

    std::unique_ptr<TQueryStatement> Prepared(const std::string& sql, uint8_t live = 0) {
        auto s = std::make_unique<TQueryStatement>(dir);
        s->LiveRequest = live;
        s->Prepare(sql);
        return s;
    }
    Rows Select(const std::string& sql, ParamSet params = {}, uint8_t live = 0) {
        auto s = Prepared(sql, live);
        TDataCursor* c = nullptr;
        s->Execute(c, params.Count(), params.Descriptors(), params.Record());
        return ResultRows(c);
    }
    uint32_t Run(const std::string& sql, ParamSet params = {}) {
        auto s = Prepared(sql);
        TDataCursor* c = nullptr;
        s->Execute(c, params.Count(), params.Descriptors(), params.Record());
        return s->RowsAffected();
    }
    static Failure FailureOf(const std::function<void()>& f) {
        try {
            f();
        } catch (const EKuraEngineError& e) {
            return {e.ErrorCode(), e.ErrorContext(ctxTable), e.ErrorContext(ctxMessage)};
        }
        return {};
    }
};

TEST_P(Statements, SelectsWithParametersAndGrouping) {
    EXPECT_EQ(Select("SELECT name, pay FROM staff WHERE pay > ? AND dept = ? ORDER BY pay DESC",
                     ParamSet().Int(150).Text("A")),
              (Rows{"S8|800", "S6|600", "S3|300"}));
    EXPECT_EQ(Select("SELECT dept, COUNT(*), SUM(pay) FROM staff GROUP BY dept"),
              (Rows{"A|4|1800", "B|2|700", "C|2|1100"}));
    // A NULL parameter matches nothing.
    EXPECT_EQ(Select("SELECT id FROM staff WHERE pay = ?", ParamSet().Null()), Rows{});
    // More descriptors than markers: the surplus is ignored.
    EXPECT_EQ(Select("SELECT id FROM staff WHERE id = ?", ParamSet().Int(4).Int(5)), Rows{"4"});
}

TEST_P(Statements, APreparedStatementRunsAgainWithNewValues) {
    auto s = Prepared("SELECT name FROM staff WHERE dept = ? ORDER BY name");
    EXPECT_EQ(s->StatementKind(), skSelect);
    for (const auto& [dept, rows] : std::vector<std::pair<std::string, Rows>>{
             {"B", {"S2", "S5"}}, {"C", {"S4", "S7"}}, {"X", {}}, {"A", {"S1", "S3", "S6", "S8"}}}) {
        ParamSet p;
        p.Text(dept);
        TDataCursor* c = nullptr;
        s->Execute(c, p.Count(), p.Descriptors(), p.Record());
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(ResultRows(c), rows) << dept;
        EXPECT_EQ(s->RowsAffected(), rows.size());
    }
}

TEST_P(Statements, LiveResultsMatchTheLocalOnes) {
    for (const char* sql : {"SELECT * FROM staff WHERE dept = 'B'", "SELECT * FROM staff"}) {
        auto s = Prepared(sql, 1);
        TDataCursor* c = nullptr;
        s->Execute(c);
        EXPECT_EQ(ResultRows(c), MakerRows(sql)) << sql;
        EXPECT_EQ(s->ResultLive(), 1) << sql;
    }
}

TEST_P(Statements, DataChangesCountTheirRows) {
    EXPECT_EQ(Run("INSERT INTO staff VALUES (?, ?, 'D', ?)", ParamSet().Int(9).Text("S9").Int(900)), 1u);
    EXPECT_EQ(Run("UPDATE staff SET pay = pay + 1 WHERE dept = ?", ParamSet().Text("A")), 4u);
    EXPECT_EQ(Run("DELETE FROM staff WHERE pay > ?", ParamSet().Int(700)), 2u);
    EXPECT_EQ(MakerRows("SELECT id, pay FROM staff ORDER BY id"),
              (Rows{"1|101", "2|200", "3|301", "4|400", "5|500", "6|601", "7|700"}));
    // A rolled-back transaction counts nothing; the client's flag follows the server.
    EXPECT_EQ(Run("START TRANSACTION; UPDATE staff SET pay = 0 WHERE dept = 'B'; ROLLBACK"), 0u);
    EXPECT_FALSE(dir->InTransaction());
    EXPECT_EQ(Run("START TRANSACTION; UPDATE staff SET pay = 1 WHERE dept = 'B'; COMMIT"), 2u);
    EXPECT_FALSE(dir->InTransaction());
    Run("START TRANSACTION");
    EXPECT_TRUE(dir->InTransaction());
    Run("ROLLBACK");
    EXPECT_FALSE(dir->InTransaction());
    // A transaction that a text opens before other statements stays open after it.
    EXPECT_EQ(Run("START TRANSACTION; UPDATE staff SET pay = 2 WHERE id = 1"), 1u);
    EXPECT_TRUE(dir->InTransaction());
    EXPECT_EQ(Run("ROLLBACK; SELECT id FROM staff WHERE pay = 2"), 0u);
    EXPECT_FALSE(dir->InTransaction());
    EXPECT_EQ(MakerRows("SELECT pay FROM staff WHERE dept = 'B'"), (Rows{"1", "1"}));
}

TEST_P(Statements, AMemoParameterArrivesWhole) {
    Make("CREATE TABLE notes (id INTEGER, body MEMO)");
    const std::string text = std::string(300, 'x') + "\x82\xa0y";
    EXPECT_EQ(Run("INSERT INTO notes VALUES (?, ?)", ParamSet().Int(1).Memo(text)), 1u);
    EXPECT_EQ(Run("INSERT INTO notes VALUES (?, ?)", ParamSet().Int(2).Memo("")), 1u);
    EXPECT_EQ(MakerRows("SELECT id, body FROM notes"), (Rows{"1|" + text, "2|NULL"}));
}

TEST_P(Statements, FailuresCarryTheirCodeAndContext) {
    for (const char* sql : {"SELECT nosuch FROM staff", "SELECT * FROM nothere", "INSERT INTO staff VALUES (1, 'd', 'A', 1)",
                            "UPDATE staff SET pay = 'x'"}) {
        const Failure expected = FailureOf([&] { MakerRows(sql); });
        ASSERT_NE(expected.Code, 0u) << sql;
        EXPECT_EQ(FailureOf([&] {
                      auto s = Prepared(sql);
                      TDataCursor* c = nullptr;
                      s->Execute(c);
                  }),
                  expected)
            << sql;
    }
    // The statement stays usable after a failure.
    auto s = Prepared("SELECT id FROM staff WHERE id = 1");
    EXPECT_NE(FailureOf([&] { s->Prepare("SELECT FROM"); }).Code, 0u);
    s->Prepare("SELECT id FROM staff WHERE id = 2");
    TDataCursor* c = nullptr;
    s->Execute(c);
    EXPECT_EQ(ResultRows(c), Rows{"2"});
}

TEST_P(Statements, ProgressComesThroughTheCallbackLoop) {
    Make("CREATE TABLE big (id INTEGER, v INTEGER)");
    Make("INSERT INTO big SELECT id, pay FROM staff");
    for (int i = 0; i < 5; ++i) Make("INSERT INTO big SELECT id + 100, v FROM big");
    const auto run = [](TQueryStatement& s, std::vector<uint16_t>& seen, int abortAt) {
        s.SetProgressEvent([&seen, abortAt](TQueryStatement*, uint16_t percent, bool& abort) {
            seen.push_back(percent);
            if (static_cast<int>(seen.size()) == abortAt) abort = true;
        });
        TDataCursor* c = nullptr;
        s.Execute(c, 0, nullptr, nullptr, 1);
        return ResultRows(c).size();
    };
    for (const int abortAt : {0, 2}) {
        TQueryStatement local(maker);
        local.Prepare("SELECT id FROM big WHERE v > 0");
        std::vector<uint16_t> expected;
        const size_t expectedRows = run(local, expected, abortAt);
        auto s = Prepared("SELECT id FROM big WHERE v > 0");
        std::vector<uint16_t> seen;
        EXPECT_EQ(run(*s, seen, abortAt), expectedRows) << abortAt;
        EXPECT_EQ(seen, expected) << abortAt;
        EXPECT_FALSE(seen.empty());
    }
}

TEST_P(Statements, AFollowingSelectHandsBackItsResult) {
    auto s = Prepared("UPDATE staff SET pay = 5 WHERE id = 1; SELECT id, pay FROM staff WHERE pay < 250");
    EXPECT_EQ(s->StatementKind(), skUpdate);
    TDataCursor* c = nullptr;
    s->Execute(c);
    EXPECT_EQ(s->StatementKind(), skSelect);
    EXPECT_EQ(ResultRows(c), (Rows{"1|5", "2|200"}));
    // And again, from the statement's last queries.
    s->Execute(c);
    EXPECT_EQ(ResultRows(c), (Rows{"1|5", "2|200"}));
}

// Random SELECTs with parameters: the session under test must give the rows the
// maker's local session gives. A difference names the statement and its values.
TEST_P(Statements, RandomSelectsGiveTheLocalRows) {
    std::mt19937 random(20261207);
    const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); };
    const char* const columns[] = {"id", "name", "dept", "pay"};
    const char* const comparisons[] = {"=", "<>", "<", ">", "<=", ">="};
    auto s = std::make_unique<TQueryStatement>(dir);
    for (int round = 0; round < 40; ++round) {
        std::string sql = "SELECT ";
        const bool grouped = pick(4) == 0;
        if (grouped) {
            sql += "dept, COUNT(*), " + std::string(pick(2) ? "SUM(pay)" : "MAX(id)");
        } else {
            if (pick(5) == 0) sql += "DISTINCT ";
            const int count = 1 + pick(4);
            for (int i = 0; i < count; ++i) sql += std::string(i ? ", " : "") + columns[pick(4)];
        }
        sql += " FROM staff";
        ParamSet params;
        std::string values;
        const int conditions = pick(3);
        for (int i = 0; i < conditions; ++i) {
            sql += i ? (pick(2) ? " AND " : " OR ") : " WHERE ";
            if (pick(2)) {
                const int value = 100 * pick(10);
                sql += std::string("pay ") + comparisons[pick(6)] + " ?";
                params.Int(value);
                values += " " + std::to_string(value);
            } else {
                const std::string value(1, static_cast<char>('A' + pick(4)));
                sql += std::string("dept ") + comparisons[pick(6)] + " ?";
                params.Text(value);
                values += " " + value;
            }
        }
        if (grouped) sql += " GROUP BY dept";
        s->Prepare(sql);
        TDataCursor* c = nullptr;
        s->Execute(c, params.Count(), params.Descriptors(), params.Record());
        const Rows rows = ResultRows(c);
        TQueryStatement local(maker);
        local.Prepare(sql);
        TDataCursor* expected = nullptr;
        local.Execute(expected, params.Count(), params.Descriptors(), params.Record());
        EXPECT_EQ(rows, ResultRows(expected)) << sql << " with" << values;
        EXPECT_EQ(s->RowsAffected(), local.RowsAffected()) << sql << " with" << values;
    }
}

INSTANTIATE_LOCAL_AND_REMOTE(Statements);

}  // namespace

namespace {

// The remote side alone: wire layouts, server versions and the callbacks a test
// script adds.
class RemoteStatements : public Statements {
protected:
    // Logs in again to a server that reports another version.
    void UseServerVersion(int64_t version) {
        session.FreeDirectories();
        session.Disconnect();
        server->Version = version;
        session.Connect();
        session.Login();
        dir = session.OpenDataDirectory("DB", "");
    }
    std::vector<TServerRequest> RequestsSince(size_t first) {
        std::vector<TServerRequest> all = server->Requests();
        return std::vector<TServerRequest>(all.begin() + static_cast<std::ptrdiff_t>(first), all.end());
    }
    static std::vector<uint16_t> Codes(const std::vector<TServerRequest>& requests) {
        std::vector<uint16_t> codes;
        for (const TServerRequest& r : requests) codes.push_back(r.Code);
        return codes;
    }
    static std::vector<size_t> ParamSizes(const TServerRequest& r) {
        std::vector<size_t> sizes;
        for (const auto& p : r.Params) sizes.push_back(p.size());
        return sizes;
    }
};

std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

TEST_P(RemoteStatements, PrepareAndExecuteFramesKeepTheirLayout) {
    const size_t first = server->Requests().size();
    {
        auto s = Prepared("SELECT id FROM staff");
        TDataCursor* c = nullptr;
        s->Execute(c, 0, nullptr, nullptr, 1);
    }
    const std::vector<TServerRequest> seen = RequestsSince(first);
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen[0].Code, REQUEST_CREATESTMT);
    EXPECT_EQ(seen[0].Wire, Hex("12000000 4c00 08000000 04000000 01000000"));
    // Statement 2: handle, text length, text, live request, no row limit.
    EXPECT_EQ(seen[1].Wire, Hex("3f000000 4d00 35000000 04000000 02000000 04000000 14000000 14000000"
                                "53454c4543542069642046524f4d207374616666 01000000 00 04000000 ffffffff"));
    // Handle, no parameters, progress wanted.
    EXPECT_EQ(seen[2].Wire, Hex("1d000000 4f00 13000000 04000000 02000000 02000000 0000 01000000 01"));
    // The result's own database is the client's alone: nothing to close on the server.
    EXPECT_EQ(Codes(seen).back(), REQUEST_FREESTMT);
    EXPECT_EQ(session.Directories(), std::vector<TDataDirectory*>{dir});
    EXPECT_EQ(seen.back().Wire, Hex("12000000 5000 08000000 04000000 02000000"));
}

TEST_P(RemoteStatements, ParametersTravelWithTheExecutionFromServer309On) {
    for (const int64_t version : {30500, 30600, 30800, 30900, 32800, 33000}) {
        UseServerVersion(version);
        const size_t first = server->Requests().size();
        auto s = Prepared("SELECT name FROM staff WHERE pay > ? AND dept = ? ORDER BY name");
        EXPECT_EQ(s->ParamCount(), version >= 32800 ? 2u : 0u) << version;
        ParamSet p;
        p.Int(250).Text("A");
        TDataCursor* c = nullptr;
        s->Execute(c, p.Count(), p.Descriptors(), p.Record());
        EXPECT_EQ(ResultRows(c), (Rows{"S3", "S6", "S8"})) << version;
        std::vector<TServerRequest> seen = RequestsSince(first);
        const auto it = std::find_if(seen.begin(), seen.end(),
                                     [](const TServerRequest& r) { return r.Code == REQUEST_EXECUTESTMT; });
        ASSERT_NE(it, seen.end());
        const TServerRequest& execute = *it;
        seen.erase(it + 1, seen.end());
        if (version >= 30900) {
            // Handle, count, two descriptors, the values (presence byte first), progress.
            EXPECT_EQ(ParamSizes(execute), (std::vector<size_t>{4, 2, 768, 768, 5, 3, 1})) << version;
            EXPECT_EQ(Codes(seen), (std::vector<uint16_t>{REQUEST_CREATESTMT, REQUEST_PREPARESTMT, REQUEST_EXECUTESTMT}));
        } else {
            EXPECT_EQ(ParamSizes(execute), (std::vector<size_t>{4, 1})) << version;
            EXPECT_EQ(Codes(seen), (std::vector<uint16_t>{REQUEST_CREATESTMT, REQUEST_PREPARESTMT,
                                                          REQUEST_SETSTMTPARAMS, REQUEST_EXECUTESTMT}))
                << version;
            EXPECT_EQ(ParamSizes(seen[2]), (std::vector<size_t>{4, 2, 768, 768, 5, 3})) << version;
        }
        // Live results and following statements behave alike on every version.
        EXPECT_EQ(Select("SELECT * FROM staff WHERE dept = 'C'", {}, 1), (Rows{"4|S4|C|400", "7|S7|C|700"})) << version;
        EXPECT_EQ(Select("UPDATE staff SET pay = pay WHERE id = 1; SELECT id FROM staff WHERE dept = 'B'"),
                  (Rows{"2", "5"}))
            << version;
    }
}

TEST_P(RemoteStatements, PasswordStatusAndUnknownCallbacksAreServed) {
    server->SetScript([](const TServerRequest& req) {
        TServerAction action;
        if (req.Code != REQUEST_EXECUTESTMT) return action;
        const auto u16 = [](uint16_t v) { return std::vector<uint8_t>{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; };
        action.Callbacks.push_back({{u16(11)}, true});
        action.Callbacks.push_back({{u16(14), u16(4711)}, false});
        action.Callbacks.push_back({{u16(99), u16(1)}, false});
        return action;
    });
    auto s = Prepared("SELECT id FROM staff WHERE id < 3");
    int asked = 0;
    s->SetPasswordEvent([&](TQueryStatement* sender) {
        EXPECT_EQ(sender, s.get());
        return ++asked == 1;
    });
    std::vector<uint16_t> statuses;
    s->OnStatus = [&](TQueryStatement*, uint16_t value) { statuses.push_back(value); };
    const size_t first = server->Requests().size();
    TDataCursor* c = nullptr;
    s->Execute(c);
    EXPECT_EQ(ResultRows(c), (Rows{"1", "2"}));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(statuses, std::vector<uint16_t>{4711});
    const std::vector<TServerRequest> seen = RequestsSince(first);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[1].Code, REQUEST_CALLBACKRESPONSE);
    EXPECT_EQ(seen[1].Params, (std::vector<std::vector<uint8_t>>{{1}}));
}

TEST_P(RemoteStatements, AMalformedStatementStateDropsTheConnection) {
    server->SetScript([](const TServerRequest& req) {
        TServerAction action;
        // A statement-state callback that stops after its kind.
        if (req.Code == REQUEST_EXECUTESTMT) action.Callbacks.push_back({{{13, 0}, {1}}, false});
        return action;
    });
    auto s = Prepared("SELECT id FROM staff");
    TDataCursor* c = nullptr;
    EXPECT_EQ(EngineErrorOf([&] { s->Execute(c); }), KURA_UNCOMPRESS);
    server->SetScript(nullptr);
    // The statement's next request finds a new connection.
    s->Execute(c);
    EXPECT_EQ(ResultRows(c).size(), 8u);
}

TEST_P(RemoteStatements, AConnectionLostAmongTheCallbacksRepeatsTheRequestOnce) {
    auto s = Prepared("SELECT id FROM staff WHERE id > 6");
    const auto executes = [&] {
        size_t n = 0;
        for (const TServerRequest& r : server->Requests()) n += r.Code == REQUEST_EXECUTESTMT ? 1 : 0;
        return n;
    };
    // A status callback, then the reply breaks off: the statement asks again.
    int faults = 1;
    server->SetScript([&faults](const TServerRequest& req) {
        TServerAction action;
        if (req.Code != REQUEST_EXECUTESTMT || faults-- <= 0) return action;
        action.Callbacks.push_back({{{14, 0}, {7, 0}}, false});
        action.Fault = TFault::DropMidFrame;
        return action;
    });
    std::vector<uint16_t> statuses;
    s->OnStatus = [&](TQueryStatement*, uint16_t value) { statuses.push_back(value); };
    TDataCursor* c = nullptr;
    s->Execute(c);
    EXPECT_EQ(ResultRows(c), (Rows{"7", "8"}));
    EXPECT_EQ(executes(), 2u);
    EXPECT_EQ(statuses, std::vector<uint16_t>{7});
    // Without callbacks the channel's own repetition is the only one.
    server->SetScript([](const TServerRequest& req) {
        TServerAction action;
        if (req.Code == REQUEST_EXECUTESTMT) action.Fault = TFault::DropMidFrame;
        return action;
    });
    EXPECT_EQ(EngineErrorOf([&] { s->Execute(c); }), KURA_REMOTECOMMLOST);
    EXPECT_EQ(executes(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Remote, RemoteStatements, ::testing::Values(TCursorMode::RemoteLan), CursorModeName);

}  // namespace
