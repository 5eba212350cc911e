// INSERT ... SELECT through the statement object, checked row by row.
#include "tests/engine/sql/StatementTestSupport.h"

#include <algorithm>

#include "engine/core/DataDirectory.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

using Rows = std::vector<std::string>;

class InsertSelect : public ::testing::Test {
protected:
    void SetUp() override {
        db.Run("CREATE TABLE src (k INTEGER, name CHAR(8), n INTEGER, note MEMO, PRIMARY KEY (k));"
               "INSERT INTO src VALUES (1, 'one', 10, 'first');"
               "INSERT INTO src VALUES (2, NULL, 20, NULL);"
               "INSERT INTO src VALUES (3, 'three', NULL, 'third')");
        db.Run("CREATE TABLE dst (k INTEGER, name CHAR(3), n FLOAT, note MEMO)");
    }
    SqlDatabase db;
};

TEST_F(InsertSelect, EveryRowWithNullsConversionsAndCuts) {
    EXPECT_EQ(db.Run("INSERT INTO dst (k, name, n) SELECT k, name, n FROM src"), 3u);
    EXPECT_EQ(db.Rows("dst"), (Rows{"1|one|10|NULL", "2|NULL|20|NULL", "3|thr|NULL|NULL"}));
}

TEST_F(InsertSelect, MemosAreCopiedWhole) {
    EXPECT_EQ(db.Run("INSERT INTO dst SELECT * FROM src"), 3u);
    EXPECT_EQ(db.Rows("dst"), (Rows{"1|one|10|first", "2|NULL|20|NULL", "3|thr|NULL|third"}));
    // Inside the caller's transaction, into the source table itself.
    db.Run("START TRANSACTION; INSERT INTO src SELECT k + 10, name, n, note FROM src; COMMIT");
    EXPECT_EQ(db.Rows("src"), (Rows{"1|one|10|first", "2|NULL|20|NULL", "3|three|NULL|third", "11|one|10|first",
                                    "12|NULL|20|NULL", "13|three|NULL|third"}));
}

TEST_F(InsertSelect, ColumnListWhereAndExpressions) {
    EXPECT_EQ(db.Run("INSERT INTO dst (n, k) SELECT n * 2, k + 100 FROM src WHERE n IS NOT NULL"), 2u);
    EXPECT_EQ(db.Rows("dst"), (Rows{"101|NULL|20|NULL", "102|NULL|40|NULL"}));
}

TEST_F(InsertSelect, FromJoinedTables) {
    db.Run("CREATE TABLE tag (k INTEGER, label CHAR(3));"
           "INSERT INTO tag VALUES (3, 'c'); INSERT INTO tag VALUES (1, 'a'); INSERT INTO tag VALUES (9, 'z')");
    EXPECT_EQ(db.Run("INSERT INTO dst (k, name, n) SELECT s.k, g.label, s.n FROM src s, tag g WHERE s.k = g.k"), 2u);
    Rows rows = db.Rows("dst");
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (Rows{"1|a|10|NULL", "3|c|NULL|NULL"}));
    EXPECT_EQ(db.Run("INSERT INTO dst (k) SELECT g.k FROM tag g LEFT OUTER JOIN src s ON g.k = s.k WHERE s.k IS NULL"),
              1u);
    EXPECT_EQ(db.Rows("dst").back(), "9|NULL|NULL|NULL");
}

TEST_F(InsertSelect, IntoTheSourceTableCopiesEachRowOnce) {
    EXPECT_EQ(db.Run("INSERT INTO src SELECT k + 10, name, n, note FROM src"), 3u);
    EXPECT_EQ(db.Rows("src").size(), 6u);
    EXPECT_EQ(db.Rows("src")[4], "12|NULL|20|NULL");
    EXPECT_EQ(db.Rows("src")[5], "13|three|NULL|third");
}

TEST_F(InsertSelect, MessagesAndFailures) {
    SqlError error = db.ErrorOf("INSERT INTO dst (k, n) SELECT k FROM src");
    EXPECT_EQ(error.Code, KURA_SQLPARSE);
    EXPECT_EQ(error.Message, "The number of values must match the number of table columns");
    // A key violation part-way: the statement's own transaction takes every row back.
    db.Run("CREATE TABLE keyed (k INTEGER, PRIMARY KEY (k)); INSERT INTO keyed VALUES (3)");
    EXPECT_EQ(db.ErrorOf("INSERT INTO keyed SELECT k FROM src").Code, KURA_KEYVIOL);
    EXPECT_EQ(db.Rows("keyed"), (Rows{"3"}));
    EXPECT_FALSE(db.Dir().InTransaction());
}

TEST_F(InsertSelect, EmptySourceInsertsNothing) {
    EXPECT_EQ(db.Run("INSERT INTO dst SELECT * FROM src WHERE k > 100"), 0u);
    EXPECT_TRUE(db.Rows("dst").empty());
}

}  // namespace
