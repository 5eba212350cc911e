// The numbered scratch tables a statement makes in its session's folder in the
// temporary folder (results, sorts, the distinct part of a UNION, an INSERT's source)
// go with the statement whatever write of it fails, and the statement runs again once
// the fault is gone, or once its folder was removed by someone else. A temporary
// folder where no file can be made refuses it.
#include "tests/engine/sql/StatementTestSupport.h"

#include "platform/FileCalls.h"
#include "platform/Files.h"
#include "tests/common/EngineTestSupport.h"
#include "tests/common/FileCallFaults.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

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
    // Each statement makes at least one scratch table of its own, all but the last
    // in the temporary folder (the last makes its INTO table where it is named).
    const char* const statements[] = {
        "SELECT name, n FROM src ORDER BY name DESC, n",
        "SELECT n, COUNT(*), MAX(k) FROM src GROUP BY n",
        "SELECT DISTINCT name FROM src",
        "SELECT k FROM src WHERE n = 1 UNION ALL SELECT k FROM src WHERE n = 2 UNION SELECT k FROM src",
        "INSERT INTO dst SELECT k, name, n, note FROM src TOP 30 COMMIT INTERVAL 7",
        "INSERT INTO dst SELECT k, name, n, note FROM src WHERE k IN (SELECT k FROM src WHERE n > 2)",
        "SELECT k, name, note INTO copied FROM src ORDER BY name",
    };
    const std::string privateDir = db.Session().GetPrivateDir();
    const auto workFolder = [&] { return platform::ResolvePath(db.Session().GetWorkPath()); };
    std::string temp = workFolder();
    ASSERT_NE(temp, db.Path() + "/");
    const std::vector<std::string> tempBefore = FolderNames(temp);
    const TempDir unwritable;
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
        // Its folder removed by someone else: the statement makes another.
        std::filesystem::remove_all(temp);
        EXPECT_EQ(db.ErrorOf(sql).Code, 0u);
        reset();
        temp = workFolder();
        EXPECT_EQ(FolderNames(temp), tempBefore);
        // A folder where no file can be made: the refusal names it, written as a folder.
        const RefusedOpensIn refused(unwritable.path());
        db.Session().SetPrivateDir(unwritable.path());
        const Raised refusal = RaisedBy([&] { db.Run(sql); });
        db.Session().SetPrivateDir(privateDir);
        const bool inTemporaryFolder = sql != std::end(statements)[-1];
        EXPECT_EQ(refusal.code, inTemporaryFolder ? KURA_OSEACCES : 0);
        EXPECT_EQ(refusal.table, inTemporaryFolder ? unwritable.path() + "/" : "");
        EXPECT_EQ(FolderNames(unwritable.path()), std::vector<std::string>{});
        reset();
    }
}

// A program stopped while it builds a result (ORDER BY a column without an index,
// GROUP BY) has its result table in a folder of its own, which the queries of
// another program leave alone while it lives, also once its lock file was removed.
// Killed there, it leaves the folder to the next program's first query, which
// clears it.
TEST_F(ScratchTables, AKilledProgramsResultGoesWithTheNextQueryAndALivingOnesStays) {
    SqlDatabase db;
    db.Run("CREATE TABLE src (k INTEGER, name CHAR(40), PRIMARY KEY (k))");
    db.Run("START TRANSACTION");
    for (int k = 1; k <= 3000; ++k)
        db.Run("INSERT INTO src VALUES (" + std::to_string(k) + ", 'name " + std::to_string(k * 7919 % 1009) + "')");
    db.Run("COMMIT");
    const std::string own = "KURA" + std::to_string(getpid()) + "-";
    for (const char* sql :
         {"SELECT name, k FROM src ORDER BY name DESC, k", "SELECT name, COUNT(*), MAX(k) FROM src GROUP BY name"}) {
        SCOPED_TRACE(sql);
        const TempDir shared;  // the temporary folder of both programs
        // The query run by another program, `meanwhile` checked while it lives.
        const auto query = [&](const std::function<void()>& meanwhile) {
            SessionDb other(db.Path());
            other.session.SetPrivateDir(shared.path());
            {
                TQueryStatement statement(other.dir);
                statement.Prepare(sql);
                TDataCursor* result = nullptr;
                statement.Execute(result);
                EXPECT_GT(result ? result->GetRecordCount() : 0u, 0u);
            }
            meanwhile();
        };
        ChildProcess builder({"result-builder", db.Path(), shared.path(), sql});
        ASSERT_TRUE(WaitUntil([&] { return TaskState(builder.pid()) == 'T'; }, 60000)) << builder.readLine(100);
        const std::string its = "KURA" + std::to_string(builder.pid()) + "-0";
        const std::vector<std::string> left = FolderNames(shared.path());
        ASSERT_EQ(left, (std::vector<std::string>{its, its + ".LCK"}));
        const std::vector<std::string> building = FolderNames(shared.file(its));
        EXPECT_TRUE(std::any_of(building.begin(), building.end(),
                                [](const std::string& name) { return name.find(".DAT") != std::string::npos; }));
        query([&] { EXPECT_EQ(FolderNames(shared.file(its)), building); });
        EXPECT_EQ(FolderNames(shared.path()), left);
        // Its lock file removed by someone else: the folder still tells that it lives.
        ASSERT_EQ(unlink(shared.file(its + ".LCK").c_str()), 0);
        query([&] { EXPECT_EQ(FolderNames(shared.file(its)), building); });
        EXPECT_EQ(FolderNames(shared.path()), std::vector<std::string>{its});
        builder.kill(SIGKILL);
        EXPECT_EQ(builder.wait(), 128 + SIGKILL);
        EXPECT_EQ(FolderNames(shared.path()), std::vector<std::string>{its});
        query([&] {
            for (const std::string& name : FolderNames(shared.path())) EXPECT_EQ(name.rfind(own, 0), 0u) << name;
        });
        EXPECT_EQ(FolderNames(shared.path()), std::vector<std::string>{});
    }
}

}  // namespace
