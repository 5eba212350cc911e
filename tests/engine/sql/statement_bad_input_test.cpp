// Damaged statement texts run through the statement object: every one either
// runs or raises an engine error; none crashes, hangs or leaks (the sanitizers
// watch), and the database stays usable with its table readable.
#include <random>

#include "tests/engine/sql/StatementTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

const char* const kStatements[] = {
    "INSERT INTO t VALUES (7, 'seven', 70, 'memo')",
    "INSERT INTO t (k, s) SELECT k + 100, s FROM t WHERE n > 10",
    "UPDATE t SET n = n * 2, s = 'x' WHERE k BETWEEN 2 AND 4",
    "UPDATE t SET k = k + 1000 WHERE s = 'b' OR n IS NULL",
    "DELETE FROM t WHERE k IN (SELECT k FROM t WHERE n > 20)",
    "ALTER TABLE t ADD z INTEGER AT 2, REDEFINE s CHAR(9)",
    "CREATE INDEX ix ON t (n)",
    "DROP INDEX t.ix",
    "START TRANSACTION; UPDATE t SET n = 1; ROLLBACK",
    "CREATE TABLE IF NOT EXISTS u (a INTEGER, b CHAR(4), PRIMARY KEY (a))",
    "UPDATE t SET m = s WHERE k = 1",
};

std::string Mutate(std::string text, std::mt19937& rng) {
    static const char* const pieces[] = {"(", ")", ",", "'", "\"", ";", "NULL", "SELECT", "*", "?", "\\", "..",
                                         "WHERE", "AND", "9999999999999", "-", "AT 0", "\x82", "COMMIT", "t.k"};
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits && !text.empty(); ++e) {
        const size_t at = rng() % text.size();
        switch (rng() % 3) {
            case 0: text.erase(at, 1 + rng() % 6); break;
            case 1: text.insert(at, pieces[rng() % (sizeof pieces / sizeof *pieces)]); break;
            default: text[at] = static_cast<char>(rng() % 256); break;
        }
    }
    return text;
}

TEST(BadInput, DamagedStatementsRaiseEngineErrorsAndLeaveTheDatabaseUsable) {
    SqlDatabase db;
    db.Run("CREATE TABLE t (k INTEGER, s CHAR(5), n INTEGER, m MEMO, PRIMARY KEY (k));"
           "INSERT INTO t VALUES (1, 'a', 10, 'one'); INSERT INTO t VALUES (2, 'b', 20, NULL);"
           "INSERT INTO t VALUES (3, 'c', NULL, 'three')");
    std::mt19937 rng(20261207);
    int failures = 0;
    for (int round = 0; round < 400; ++round) {
        const std::string text = Mutate(kStatements[rng() % (sizeof kStatements / sizeof *kStatements)], rng);
        SCOPED_TRACE(text);
        try {
            db.Run(text);
        } catch (const EKuraEngineError&) {
            ++failures;
        }
        ASSERT_FALSE(db.Dir().InTransaction() && text.find("START") == std::string::npos);
        if (db.Dir().InTransaction()) db.Run("ROLLBACK");
    }
    EXPECT_GT(failures, 0);
    EXPECT_NO_THROW(db.Rows("t"));
    EXPECT_EQ(db.ErrorOf("INSERT INTO t (k) VALUES (424242)").Code, 0);
}

}  // namespace
