// Transactions and texts of several statements through the statement object.
#include "tests/engine/sql/StatementTestSupport.h"

#include "engine/core/DataDirectory.h"
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
    std::string Name() { return db.Dir().GetDatabaseName(); }
    SqlDatabase db;
};

TEST_F(Transactions, StateMessages) {
    SqlError error = db.ErrorOf("COMMIT");
    EXPECT_EQ(error.Code, KURA_SQLPARSE);
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
