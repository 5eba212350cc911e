// Transactions and texts of several statements through the statement object.
#include "tests/engine/sql/StatementTestSupport.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
#include <stdexcept>

#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "platform/Files.h"
#include "tests/common/EngineTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

using Rows = std::vector<std::string>;

class Transactions : public ::testing::Test {
protected:
    void SetUp() override {
        db.Run("CREATE TABLE t (k INTEGER, v INTEGER, PRIMARY KEY (k));"
               "INSERT INTO t VALUES (1, 10); INSERT INTO t VALUES (2, 20); INSERT INTO t VALUES (3, 30)");
    }
    std::string Name() { return platform::NormalizeSeparators(db.Dir().GetDatabaseName()); }
    SqlDatabase db;
};

TEST_F(Transactions, StateMessages) {
    SqlError error = db.ErrorOf("COMMIT");
    EXPECT_EQ(error.Code, KURA_SQLPARSE);
    // The database's path as the system writes it: the scratch folder's.
    EXPECT_NE(error.Message.find("'" + db.Path()), std::string::npos) << error.Message;
    EXPECT_EQ(error.Message.find('\\'), std::string::npos) << error.Message;
    EXPECT_EQ(error.Message, "Transaction not in progress for database '" + Name() + "'");
    error = db.ErrorOf("ROLLBACK WORK");
    EXPECT_EQ(error.Message, "Transaction not in progress for database '" + Name() + "'");
    db.Run("START TRANSACTION");
    EXPECT_TRUE(db.Dir().InTransaction());
    error = db.ErrorOf("START TRANSACTION");
    EXPECT_EQ(error.Code, KURA_SQLPARSE);
    EXPECT_EQ(error.Message, "Transaction already in progress for database '" + Name() + "'");
    db.Run("COMMIT WORK FLUSH");
    EXPECT_FALSE(db.Dir().InTransaction());
}

TEST_F(Transactions, RollbackUndoesAndIsNotCounted) {
    EXPECT_EQ(db.Run("START TRANSACTION; UPDATE t SET v = 0; ROLLBACK"), 0u);
    EXPECT_EQ(db.Rows("t"), (Rows{"1|10", "2|20", "3|30"}));
    EXPECT_FALSE(db.Dir().InTransaction());
    EXPECT_EQ(db.Run("START TRANSACTION; UPDATE t SET v = 0 WHERE k > 1; COMMIT"), 2u);
    EXPECT_EQ(db.Rows("t"), (Rows{"1|10", "2|0", "3|0"}));
}

TEST_F(Transactions, RowsBeforeAStartStayCounted) {
    EXPECT_EQ(db.Run("DELETE FROM t WHERE k = 1; START TRANSACTION; DELETE FROM t; ROLLBACK"), 1u);
    EXPECT_EQ(db.Rows("t"), (Rows{"2|20", "3|30"}));
}

TEST_F(Transactions, CommitIntervalInsideATransactionCommitsAsItGoes) {
    db.Run("START TRANSACTION; UPDATE t SET v = v + 1 COMMIT INTERVAL 1; ROLLBACK");
    EXPECT_EQ(db.Rows("t"), (Rows{"1|11", "2|21", "3|31"}));
}

TEST_F(Transactions, InsideTheCallersTransactionAFailureRollsNothingBack) {
    db.Run("START TRANSACTION");
    db.Run("UPDATE t SET v = 99 WHERE k = 3");
    EXPECT_EQ(db.ErrorOf("UPDATE t SET k = k + 1").Code, KURA_KEYVIOL);
    EXPECT_TRUE(db.Dir().InTransaction());
    db.Run("ROLLBACK");
    EXPECT_EQ(db.Rows("t"), (Rows{"1|10", "2|20", "3|30"}));
}

TEST_F(Transactions, EarlierStatementsOfAFailingTextStay) {
    const SqlError error = db.ErrorOf("INSERT INTO t VALUES (4, 40); UPDATE t SET k = 1 WHERE k = 2; "
                                      "INSERT INTO t VALUES (5, 50)");
    EXPECT_EQ(error.Code, KURA_KEYVIOL);
    EXPECT_EQ(db.Rows("t"), (Rows{"1|10", "2|20", "3|30", "4|40"}));
    // A parse error in a later statement: the ones before it ran.
    const SqlError parse = db.ErrorOf("DELETE FROM t WHERE k = 4; DELETE t");
    EXPECT_EQ(parse.Code, KURA_SQLPARSE);
    EXPECT_EQ(db.Rows("t"), (Rows{"1|10", "2|20", "3|30"}));
}

TEST_F(Transactions, SeveralStatementsAndTrailingSeparators) {
    EXPECT_EQ(db.Run("INSERT INTO t VALUES (4, 40);  INSERT INTO t VALUES (5, 50) ;  "), 2u);
    EXPECT_EQ(db.Rows("t").size(), 5u);
}

TEST_F(Transactions, RePreparingKeepsNothingOfTheOldText) {
    TQueryStatement statement(&db.Dir());
    statement.Prepare("UPDATE t SET v = ? WHERE k = 1");
    EXPECT_EQ(statement.ParamCount(), 1u);
    EXPECT_EQ(statement.StatementKind(), skUpdate);
    statement.Prepare("DELETE FROM t WHERE k = 3");
    EXPECT_EQ(statement.ParamCount(), 0u);
    EXPECT_EQ(statement.StatementKind(), skDelete);
    EXPECT_EQ(statement.Queries().size(), 1u);
    TDataCursor* cursor = nullptr;
    statement.Execute(cursor);
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(statement.RowsAffected(), 1u);
    EXPECT_EQ(db.Rows("t"), (Rows{"1|10", "2|20"}));
    // A prepare that fails leaves no statement to run.
    EXPECT_THROW(statement.Prepare("DELETE t"), EKuraEngineError);
}

TEST_F(Transactions, DefaultRowLimitIsNone) {
    TQueryStatement statement(&db.Dir());
    EXPECT_EQ(statement.MaxRowCount(), -1);
}

TEST_F(Transactions, ProgressReachesOneHundredOnce) {
    TQueryStatement statement(&db.Dir());
    std::vector<uint16_t> seen;
    statement.SetProgressEvent([&](TQueryStatement*, uint16_t percent, bool&) { seen.push_back(percent); });
    statement.Prepare("UPDATE t SET v = 1");
    TDataCursor* cursor = nullptr;
    statement.Execute(cursor);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), 100);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 100), 1);
    // Nothing to change: no division by zero, still one 100.
    seen.clear();
    statement.Prepare("DELETE FROM t WHERE k > 100");
    statement.Execute(cursor);
    EXPECT_EQ(seen, (std::vector<uint16_t>{100}));
}

TEST_F(Transactions, AbortFromProgressKeepsTheRowsSoFar) {
    TQueryStatement statement(&db.Dir());
    statement.SetProgressEvent([](TQueryStatement*, uint16_t, bool& abort) { abort = true; });
    db.Session().SetProgressSteps(100);
    statement.Prepare("DELETE FROM t");
    TDataCursor* cursor = nullptr;
    statement.Execute(cursor);
    EXPECT_EQ(statement.RowsAffected(), 1u);
    EXPECT_EQ(db.Rows("t").size(), 2u);
}

// A data-changing statement takes the locks of the rows it is about to write ahead,
// in runs: another session (as another program) must see exactly the locks the
// rows' own writes would hold, no more and no longer.
TEST(StatementLocks, RowsAboutToBeWrittenAreLockedAsTheirOwnWritesWouldLockThem) {
    SqlDatabase db;
    db.Session().SetLockRetryCount(1);
    db.Session().SetLockWaitTime(5);
    db.Run("CREATE TABLE t (k INTEGER, v INTEGER, PRIMARY KEY (k))");
    db.Run("START TRANSACTION");
    for (int k = 1; k <= 40; ++k) db.Run("INSERT INTO t VALUES (" + std::to_string(k) + ", " + std::to_string(k) + ")");
    db.Run("COMMIT; CREATE TABLE j (k INTEGER); INSERT INTO j VALUES (1); INSERT INTO j VALUES (3);"
           "INSERT INTO j VALUES (20); INSERT INTO j VALUES (30)");
    TDataSession other;
    other.SetLockRetryCount(0);
    TDataDirectory* dir = other.OpenDataDirectory("OTHER", db.Path());
    TDataTable* table = nullptr;
    ASSERT_EQ(dir->OpenTable("t", table, false, false, false, false, false, false), 0);
    // Whether the other session can lock record n now (it lets go at once).
    auto free = [&](uint32_t n) {
        try {
            table->LockRecord(n);
        } catch (const EKuraEngineError&) {
            return false;
        }
        table->UnlockRecord(n);
        return true;
    };
    auto freeOnes = [&] {
        std::string s;
        for (uint32_t n : {1u, 15u, 20u, 30u, 31u, 40u}) s += free(n) ? '1' : '0';
        return s;
    };

    // A record held elsewhere stops the statement, which keeps nothing.
    table->LockRecord(20);
    EXPECT_EQ(db.ErrorOf("UPDATE t SET v = 0 WHERE k <= 30").Code, KURA_RECLOCKFAILED);
    table->UnlockRecord(20);
    EXPECT_EQ(freeOnes(), "111111");
    EXPECT_EQ(db.Rows("t")[19], "20|20");

    struct Case {
        const char* statement;
        uint32_t rows;
        bool abortHalfway;
        const char* held;  // of records 1, 15, 20, 30, 31, 40 while the transaction is open
    };
    const Case cases[] = {
        {"UPDATE t SET v = v + 1 WHERE k <= 30", 30, false, "000011"},
        {"DELETE FROM t WHERE k > 30", 10, false, "111100"},
        {"UPDATE t SET v = 0 WHERE k >= 15", 26, false, "100000"},
        // Stopped after some rows: the rows not reached are not kept locked.
        {"UPDATE t SET v = 0 WHERE k <= 30", 1, true, "011111"},
        // A joined UPDATE, whose rows come as the join finds them.
        {"UPDATE t SET v = v + 1 FROM t, j WHERE t.k = j.k", 4, false, "010011"},
        {"UPDATE t SET v = 0 FROM t, j WHERE t.k = j.k", 1, true, "011111"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.statement);
        db.Run("START TRANSACTION");
        TQueryStatement statement(&db.Dir());
        if (c.abortHalfway) {
            db.Session().SetProgressSteps(100);
            statement.SetProgressEvent([](TQueryStatement*, uint16_t, bool& abort) { abort = true; });
        }
        statement.Prepare(c.statement);
        TDataCursor* cursor = nullptr;
        statement.Execute(cursor);
        EXPECT_EQ(statement.RowsAffected(), c.rows);
        EXPECT_EQ(freeOnes(), c.held);
        db.Run("ROLLBACK");
        EXPECT_EQ(freeOnes(), "111111");
    }
    dir->CloseTable(table, false, false, false);
}

// A SELECT holds its sources' reader locks across stretches of rows, not per
// record-cache miss. Another program (a second session) must still be able to
// write whenever the progress event runs, the scan must see that program's
// change at its next stretch, and no lock may outlive the statement, however it
// ends. The other program tries each lock once: a lock still held fails at once
// instead of waiting.
TEST(ReadStretches, AnotherProgramWritesBetweenStretchesAndTheScanSeesIt) {
    SqlDatabase db;
    constexpr int ROWS = 600;
    db.Run("CREATE TABLE t (k INTEGER, n INTEGER, pad CHAR(200), PRIMARY KEY (k))");
    db.Run("START TRANSACTION");
    for (int k = 1; k <= ROWS; ++k) db.Run("INSERT INTO t VALUES (" + std::to_string(k) + ", 0, 'p')");
    db.Run("COMMIT");
    TDataTable* ours = nullptr;
    ASSERT_EQ(db.Dir().OpenTable("t", ours, false, false, false, false, false, false), 0);
    TDataSession other;
    TDataDirectory* dir = other.OpenDataDirectory("OTHER", db.Path());
    TDataTable* theirs = nullptr;
    ASSERT_EQ(dir->OpenTable("t", theirs, false, false, false, false, false, false), 0);
    theirs->GetIndexFile().LockAttempts = 1;
    theirs->SemaphoreAttempts = 1;
    auto write = [&](int value) {
        TQueryStatement statement(dir);
        statement.Prepare("UPDATE t SET n = " + std::to_string(value) + " WHERE k = " + std::to_string(ROWS));
        TDataCursor* cursor = nullptr;
        statement.Execute(cursor);
    };

    enum End { Finish, Abort, Raise };
    struct Case {
        const char* sql;
        End end;
        const char* lastRow;  // %d: the value written at the last event before the row was read
    };
    const Case cases[] = {
        {"SELECT k, MAX(n) FROM t GROUP BY k", Finish, "600|%d"},
        {"SELECT MAX(n) AS m, COUNT(*) AS c FROM t", Finish, "%d|600"},
        {"SELECT DISTINCT k, n FROM t", Finish, "600|%d"},
        {"SELECT k, MAX(n) FROM t GROUP BY k", Abort, nullptr},
        {"SELECT k, MAX(n) FROM t GROUP BY k", Raise, nullptr},
        {"SELECT MAX(n) AS m FROM t", Raise, nullptr},
    };
    db.Session().SetProgressSteps(10);
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        SCOPED_TRACE(c.end);
        int seen = 0;
        int events = 0;
        TQueryStatement statement(&db.Dir());
        statement.SetProgressEvent([&](TQueryStatement*, uint16_t percent, bool& abort) {
            EXPECT_FALSE(ours->IsReadLocked());
            ++events;
            if (percent >= 100) return;
            if (percent >= 50 && c.end == Abort) abort = true;
            if (percent >= 50 && c.end == Raise) throw std::runtime_error("stop");
            seen = ++round;
            write(seen);
        });
        statement.Prepare(c.sql);
        TDataCursor* cursor = nullptr;
        if (c.end == Raise) {
            EXPECT_THROW(statement.Execute(cursor), std::runtime_error);
        } else {
            statement.Execute(cursor);
        }
        EXPECT_GE(events, c.end == Finish ? 9 : 5);
        EXPECT_EQ(ours->GetReadDepth(), 0u);
        EXPECT_FALSE(ours->IsReadLocked());
        // Nothing of the statement holds the other program off now.
        write(0);
        if (c.lastRow && cursor) {
            const std::vector<std::string> rows = SqlDatabase::VisibleRows(*cursor);
            ASSERT_FALSE(rows.empty());
            char expected[64];
            std::snprintf(expected, sizeof expected, c.lastRow, seen);
            EXPECT_EQ(rows.back(), expected);
        }
    }
    dir->CloseTable(theirs, false, false, false);
    db.Dir().CloseTable(ours, false, false, false);
}

// A definition statement inside a transaction takes its table for itself; that
// ends with the transaction, whoever else of this program opened the table in
// the meantime and however the transaction ends. Another statement of this
// program and another program must get in afterwards.
TEST(DefinitionInATransaction, TheTableIsSharedAgainWhenTheTransactionEnds) {
    struct Case {
        const char* definition;
        TEngineErrorCode code;  // of the definition
    };
    const Case cases[] = {
        {"CREATE INDEX iv ON t (v)", 0},
        {"DROP INDEX t.ik", 0},
        {"CREATE INDEX IF NOT EXISTS ik ON t (k)", 0},
        {"ALTER TABLE t ADD w INTEGER", KURA_TABLEOPEN},
    };
    for (const Case& c : cases) {
        for (const char* end : {"COMMIT", "ROLLBACK"}) {
          for (const bool reading : {false, true}) {
            SCOPED_TRACE(std::string(c.definition) + "; " + end + (reading ? " with a live result" : ""));
            SqlDatabase db;
            db.Run("CREATE TABLE t (k INTEGER, v INTEGER, PRIMARY KEY (k)); CREATE INDEX ik ON t (k);"
                   "INSERT INTO t VALUES (1, 10)");
            db.Run("START TRANSACTION");
            TQueryStatement definition(&db.Dir());
            definition.Prepare(c.definition);
            TDataCursor* none = nullptr;
            EXPECT_EQ(ErrorOf([&] { definition.Execute(none); }), c.code);
            // A live result of this program keeps the table open past the end.
            TQueryStatement reader(&db.Dir());
            reader.LiveRequest = 1;
            TDataCursor* live = nullptr;
            if (reading) {
                ASSERT_NO_THROW(reader.Prepare("SELECT k, v FROM t"));
                ASSERT_NO_THROW(reader.Execute(live));
                ASSERT_NE(live, nullptr);
            }
            ASSERT_NO_THROW(db.Run(end));
            // Another statement of this program reads and writes the table.
            Rows rows;
            ASSERT_NO_THROW(rows = db.Rows("t"));
            EXPECT_EQ(rows, (Rows{"1|10"}));
            ASSERT_NO_THROW(db.Run("UPDATE t SET v = v + 1"));
            {
                ChildProcess other({"tbl-open", db.Path(), "t", "shared"});
                EXPECT_EQ(other.readLine(), "open");
                other.send("quit");
                EXPECT_EQ(other.wait(), 0);
            }
            if (live) {
                EXPECT_EQ(SqlDatabase::VisibleRows(*live), (Rows{"1|11"}));
            }
          }
        }
    }
}

}  // namespace

namespace {

TEST(StatementObject, AStatementOfAnUnreachableServerRaisesTheConnectionError) {
    TDataSession session;
    session.SetRemote(true);
    session.RemotePort = 1;  // nothing listens there
    TDataDirectory* remote = session.OpenDataDirectory("Remote", {}, true);
    const TEngineErrorCode code = kura::test::ErrorOf([&] { TQueryStatement statement(remote); });
    EXPECT_EQ(code, KURA_REMOTECONNECT);
}

TEST(StatementObject, AfterPrepareReportsKindAndFlags) {
    SqlDatabase db;
    db.Run("CREATE TABLE t (k INTEGER)");
    TQueryStatement statement(&db.Dir());
    std::vector<uint8_t> kinds;
    statement.OnAfterPrepare = [&](TQueryStatement*, uint8_t kind, uint8_t, uint8_t, uint8_t) { kinds.push_back(kind); };
    statement.Prepare("INSERT INTO t VALUES (1); DELETE FROM t; START TRANSACTION; COMMIT");
    TDataCursor* cursor = nullptr;
    statement.Execute(cursor);
    EXPECT_EQ(kinds, (std::vector<uint8_t>{skInsert, skDelete, skStartTransaction, skCommit}));
    EXPECT_EQ(statement.RowsAffected(), 2u);
}

}  // namespace

// UPDATE and DELETE over rows scattered all over the file visit them in the
// file's order, reading each stretch's records in a few spans ahead of the rows,
// and still see every change the transaction made before: the statement's own
// (rows of an earlier stretch, kept in the caches or, past a small transaction
// memory, held back outside them) and the caller's earlier statements'. Checked
// against a model of the table, in the statement's own transaction and the
// caller's, with intermediate commits and without.
TEST(ScatteredChanges, StatementsSeeTheTransactionsEarlierChangesWhereverTheyAreKept) {
    constexpr int COUNT = 1500;
    SqlDatabase db;
    db.Run("CREATE TABLE src (k INTEGER, n INTEGER, PRIMARY KEY (k))");
    std::vector<int> keys(COUNT);
    std::iota(keys.begin(), keys.end(), 1);
    std::shuffle(keys.begin(), keys.end(), std::mt19937(7));
    db.Run("START TRANSACTION");
    for (int k : keys) db.Run("INSERT INTO src VALUES (" + std::to_string(k) + ", " + std::to_string(k) + ")");
    db.Run("COMMIT");
    struct Case {
        bool callers;          // inside a transaction of the caller
        const char* interval;  // appended to each statement
        int64_t memory;        // the session's transaction memory
    };
    const Case cases[] = {
        {false, "", DEFAULT_TRANSACTION_MEMORY},
        {false, " COMMIT INTERVAL 200", DEFAULT_TRANSACTION_MEMORY},
        {true, "", 12000},
        {true, " COMMIT INTERVAL 200", 12000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.callers ? "caller's" : "own") + c.interval + " " + std::to_string(c.memory));
        db.Session().TransactionMemory = c.memory;
        db.Run("CREATE TABLE t (k INTEGER, n INTEGER, PRIMARY KEY (k))");
        db.Run("INSERT INTO t SELECT * FROM src");
        ASSERT_EQ(db.Rows("t"), db.Rows("src"));
        TDataCursor watch(&db.Dir());
        watch.SetTableName("t");
        watch.OpenCursor();
        std::map<int, int> model;
        for (int k = 1; k <= COUNT; ++k) model[k] = k;
        auto change = [&](const std::string& sql, uint32_t rows) {
            SCOPED_TRACE(sql);
            EXPECT_EQ(db.Run(sql + c.interval), rows);
        };
        if (c.callers) db.Run("START TRANSACTION");
        const uint32_t reads = watch.GetTable()->GetDataFile().Statistics().BlockReads;
        change("UPDATE t SET n = n + 1 WHERE k <= 1000", 1000);
        // Every record of the table read one by one would be 1,000 reads.
        EXPECT_LT(watch.GetTable()->GetDataFile().Statistics().BlockReads - reads, 100u);
        for (int k = 1; k <= 1000; ++k) ++model[k];
        change("DELETE FROM t WHERE k > 1300", 200);
        for (int k = 1301; k <= COUNT; ++k) model.erase(k);
        change("UPDATE t SET n = n * 2 WHERE k >= 700 AND k <= 1400", 601);
        for (int k = 700; k <= 1300; ++k) model[k] *= 2;
        change("UPDATE t SET n = n - 1 WHERE n > 1800", static_cast<uint32_t>(std::count_if(
                                                            model.begin(), model.end(),
                                                            [](const auto& e) { return e.second > 1800; })));
        for (auto& [k, n] : model)
            if (n > 1800) --n;
        if (c.callers) db.Run("COMMIT");
        std::vector<std::string> expected, rows = db.Rows("t");
        for (const auto& [k, n] : model) expected.push_back(std::to_string(k) + "|" + std::to_string(n));
        std::sort(rows.begin(), rows.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(rows, expected);
        watch.CloseCursor(false);
        db.Run("DROP TABLE t");
    }
}
