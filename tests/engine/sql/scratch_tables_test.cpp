// The numbered scratch tables a statement makes in the temporary folder (results,
// sorts, the distinct part of a UNION, an INSERT's source) go with the statement
// whatever write of it fails, and the statement runs again once the fault is gone.
#include "tests/engine/sql/StatementTestSupport.h"

#include "platform/FileCalls.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

class ScratchTables : public ::testing::Test {
protected:
    void TearDown() override { platform::ArmFileFault({}); }
};

TEST_F(ScratchTables, GoWithTheStatementWhicheverWriteFails) {
    SqlDatabase db;
    db.Run("CREATE TABLE src (k INTEGER, name CHAR(12), n INTEGER, note MEMO, PRIMARY KEY (k))");
    db.Run("START TRANSACTION");
    for (int k = 1; k <= 40; ++k)
        db.Run("INSERT INTO src VALUES (" + std::to_string(k) + ", 'n\x95\x5c" + std::to_string(k % 7) + "', " +
               std::to_string(k % 5) + ", 'memo " + std::to_string(k) + "')");
    db.Run("COMMIT");
    db.Run("CREATE TABLE dst (k INTEGER, name CHAR(12), n INTEGER, note MEMO)");
    // Each statement makes at least one scratch table of its own.
    const char* const statements[] = {
        "SELECT name, n FROM src ORDER BY name DESC, n",
        "SELECT n, COUNT(*), MAX(k) FROM src GROUP BY n",
        "SELECT DISTINCT name FROM src",
        "SELECT k FROM src WHERE n = 1 UNION ALL SELECT k FROM src WHERE n = 2 UNION SELECT k FROM src",
        "INSERT INTO dst SELECT k, name, n, note FROM src TOP 30 COMMIT INTERVAL 7",
        "INSERT INTO dst SELECT k, name, n, note FROM src WHERE k IN (SELECT k FROM src WHERE n > 2)",
        "SELECT k, name, note INTO copied FROM src ORDER BY name",
    };
    const std::string temp = db.Session().GetDatabasePath();
    ASSERT_NE(temp, db.Path() + "/");
    const std::vector<std::string> tempBefore = FolderNames(temp);
    for (const char* sql : statements) {
        SCOPED_TRACE(sql);
        auto reset = [&] {
            db.Run("DELETE FROM dst");
            const SqlError dropped = db.ErrorOf("DROP TABLE copied");
            EXPECT_TRUE(dropped.Code == 0 || dropped.Code == KURA_OSENOENT) << dropped.Code;
        };
        platform::ArmFileFault({});
        db.Run(sql);
        const uint64_t calls = platform::FileWriteCalls();
        reset();
        ASSERT_GT(calls, 0u);
        int failures = 0;
        for (uint64_t at = 1; at <= calls; ++at) {
            SCOPED_TRACE("write call " + std::to_string(at));
            platform::ArmFileFault({at, platform::FileFaultAction::Fail, 5});
            const SqlError error = db.ErrorOf(sql);
            platform::ArmFileFault({});
            if (error.Code != 0) ++failures;
            EXPECT_EQ(FolderNames(temp), tempBefore);
            EXPECT_FALSE(db.Dir().InTransaction());
            // Whatever the fault left, the statement runs again once it is gone.
            reset();
            EXPECT_EQ(db.ErrorOf(sql).Code, 0u);
            reset();
        }
        EXPECT_GT(failures, 0);
    }
}

}  // namespace
