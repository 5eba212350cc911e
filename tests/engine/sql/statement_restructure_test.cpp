// Definition statements inside a transaction through the statement object: a
// restructure (ALTER TABLE) is refused before anything changes, whatever the
// transaction touched and however it ends, and the table keeps its structure and
// every row; CREATE and DROP INDEX stay part of the transaction.
#include "tests/engine/sql/StatementTestSupport.h"

#include <filesystem>

#include "engine/core/DataDirectory.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

using Names = std::vector<std::string>;
using Rows = std::vector<std::string>;

// The files of the folder but the tables' rollback journals.
std::vector<std::string> TableFiles(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        if (e.path().extension() != ".JNL") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class RestructureInATransaction : public ::testing::Test {
protected:
    void SetUp() override {
        db.Run("CREATE TABLE d (code CHAR(10), title CHAR(20), PRIMARY KEY (code));"
               "INSERT INTO d VALUES ('a','x'); INSERT INTO d VALUES ('b','y');"
               "CREATE TABLE e (n INTEGER)");
    }
    SqlDatabase db;
};

// The reported case as it was met: the ALTER answered 11013 while it had already
// swapped in an empty copy, and the rollback left the new column without a row.
TEST_F(RestructureInATransaction, TheReportedAlterLosesNoRow) {
    db.Run("START TRANSACTION");
    EXPECT_EQ(db.ErrorOf("ALTER TABLE d ADD z INTEGER").Code, KURA_TABLEOPEN);
    db.Run("ROLLBACK");
    std::vector<std::string> names;
    EXPECT_EQ(db.Select("SELECT * FROM d", &names), (Rows{"a|x", "b|y"}));
    EXPECT_EQ(names, (Names{"code", "title"}));
    EXPECT_EQ(TableFiles(db.Path()), (Names{"d.DAT", "d.IDX", "e.DAT", "e.IDX"}));
}

// Every kind of restructure (a full copy, an index rebuild, a header rewrite), after
// a transaction that touched nothing, another table, the table itself or only read
// it, ended by ROLLBACK or COMMIT: refused, and the table as the transaction's end
// leaves it. Outside the transaction the same statement then runs.
TEST_F(RestructureInATransaction, EveryAlterIsRefusedAndTheTransactionEndsAsItWould) {
    // "@" stands for the table.
    struct Alter {
        const char* statement;
        Names columns;  // after it ran outside the transaction
    };
    const Alter alters[] = {
        {"ALTER TABLE @ ADD z INTEGER", {"code", "title", "z"}},
        {"ALTER TABLE @ DROP PRIMARY KEY, ADD PRIMARY KEY (title)", {"code", "title"}},
        {"ALTER TABLE @ REDEFINE title caption CHAR(20)", {"code", "caption"}},
    };
    const char* touches[] = {"", "INSERT INTO e VALUES (5)", "INSERT INTO @ VALUES ('c','z')", "SELECT * FROM @"};
    auto forTable = [](std::string text, const std::string& table) {
        const std::size_t at = text.find('@');
        return at == std::string::npos ? text : text.replace(at, 1, table);
    };
    int round = 0;
    for (const Alter& alter : alters) {
        for (const char* touch : touches) {
            for (const char* end : {"ROLLBACK", "COMMIT"}) {
                SCOPED_TRACE(std::string(alter.statement) + " after '" + touch + "', " + end);
                const std::string table = "t" + std::to_string(++round);
                db.Run("CREATE TABLE " + table + " (code CHAR(10), title CHAR(20), PRIMARY KEY (code));"
                       "INSERT INTO " + table + " VALUES ('a','x'); INSERT INTO " + table + " VALUES ('b','y')");
                const std::string statement = forTable(alter.statement, table);
                const std::string touched = forTable(touch, table);
                const Rows others = db.Rows("e");

                db.Run("START TRANSACTION");
                if (!touched.empty()) db.Run(touched);
                EXPECT_EQ(db.ErrorOf(statement).Code, KURA_TABLEOPEN);
                EXPECT_TRUE(db.Dir().InTransaction());
                db.Run(end);

                const bool committed = std::string(end) == "COMMIT";
                const bool insertedHere = std::string(touch).find("INSERT INTO @") == 0;
                const bool insertedThere = std::string(touch).find("INSERT INTO e") == 0;
                Rows rows = {"a|x", "b|y"};
                if (committed && insertedHere) rows.push_back("c|z");
                EXPECT_EQ(db.ColumnNames(table), (Names{"code", "title"}));
                EXPECT_EQ(db.Rows(table), rows);
                Rows otherRows = others;
                if (committed && insertedThere) otherRows.push_back("5");
                EXPECT_EQ(db.Rows("e"), otherRows);
                for (const char* ext : {".DBK", ".IBK", ".RSW", ".RSP"})
                    EXPECT_FALSE(std::filesystem::exists(db.Path() + "/" + table + ext)) << ext;

                db.Run(statement);
                EXPECT_EQ(db.ColumnNames(table), alter.columns);
                EXPECT_EQ(db.Rows(table).size(), rows.size());
            }
        }
    }
}

// Index changes of their own are part of the transaction: a rollback takes them
// back with the rows, a commit keeps them.
TEST_F(RestructureInATransaction, CreateAndDropIndexFollowTheTransaction) {
    for (const char* end : {"ROLLBACK", "COMMIT"}) {
        SCOPED_TRACE(end);
        const bool committed = std::string(end) == "COMMIT";
        db.Run("CREATE INDEX bytitle ON d (title)");
        db.Run("START TRANSACTION; INSERT INTO d VALUES ('c','w'); CREATE INDEX bycode ON d (code, title);"
               "DROP INDEX d.bytitle");
        db.Run(end);
        EXPECT_EQ(db.ErrorOf("DROP INDEX d.bytitle").Code, committed ? KURA_INVALIDINDEXNAME : 0);
        EXPECT_EQ(db.ErrorOf("DROP INDEX d.bycode").Code, committed ? 0 : KURA_INVALIDINDEXNAME);
        EXPECT_EQ(db.Rows("d"), committed ? (Rows{"a|x", "b|y", "c|w"}) : (Rows{"a|x", "b|y"}));
        EXPECT_EQ(db.Select("SELECT code, title FROM d ORDER BY title"), db.Select("SELECT code, title FROM d ORDER BY 2"));
        db.Run("DELETE FROM d WHERE code = 'c'");
    }
}

}  // namespace
