// SQL as a user writes it, run through the statement object: sub-queries that
// are UNION chains (also under UPDATE and DELETE), computed DECIMAL columns, the
// one in-memory database, NULL keys in IN (SELECT ...), code page 932 text in
// text functions and stored by UPDATE, the hidden AVG helpers, "?" marks without
// values and long AND chains. (Mixed UNION chains: select_exec_test and the
// SQLite differential test.)
#include <map>

#include "engine/expr/ExpTokenPool.h"
#include "engine/sql/SourceTable.h"
#include "tests/engine/sql/StatementTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

using Rows = std::vector<std::string>;

// Code page 932: 山田太, and 凜, whose lead byte lies in the upper range 0xE0-0xFC.
const std::string kYamada = "\x8E\x52" "\x93\x63" "\x91\xBE";
const std::string kRin = "\xEA\xA3";

class Semantics : public ::testing::Test {
protected:
    void SetUp() override {
        db.Run("CREATE TABLE emp (id INTEGER, name CHAR(10), dept INTEGER, pay DECIMAL(10,2), PRIMARY KEY (id))");
        db.Run("INSERT INTO emp VALUES (1, 'Ann', 10, 100.5); INSERT INTO emp VALUES (2, 'Bob', 20, 200.25);"
               "INSERT INTO emp VALUES (3, 'Cid', 10, NULL); INSERT INTO emp VALUES (4, 'Dee', NULL, 50);"
               "INSERT INTO emp VALUES (5, '" + kYamada + "', 30, 81.25)");
        db.Run("CREATE TABLE d (k INTEGER); INSERT INTO d VALUES (10); INSERT INTO d VALUES (20);"
               "INSERT INTO d VALUES (NULL)");
    }
    SqlDatabase db;
};

struct SelectCase {
    std::string Sql;
    Rows Expected;
};

void ExpectRows(SqlDatabase& db, const std::vector<SelectCase>& cases) {
    for (const SelectCase& c : cases) {
        try {
            EXPECT_EQ(db.Select(c.Sql), c.Expected) << c.Sql;
        } catch (const EKuraEngineError& e) {
            ADD_FAILURE() << c.Sql << ": " << e.what() << " " << e.ErrorContext(ctxMessage);
        }
    }
}

TEST_F(Semantics, SubQueriesThatAreUnionChainsRun) {
    ExpectRows(db, {
        // The NULL of d matches the NULL dept of 4: "=" takes two NULLs as equal.
        {"SELECT id FROM emp WHERE dept IN (SELECT k FROM d UNION SELECT k FROM d) ORDER BY id", {"1", "2", "3", "4"}},
        {"SELECT id FROM emp WHERE dept IN (SELECT k FROM d UNION ALL SELECT k FROM d) ORDER BY id", {"1", "2", "3", "4"}},
        {"SELECT id FROM emp WHERE dept NOT IN (SELECT k FROM d UNION SELECT k FROM d WHERE k = 10) ORDER BY id", {"5"}},
        {"SELECT id FROM emp WHERE dept IN (SELECT k FROM d WHERE k = 10 UNION SELECT dept FROM emp WHERE id = 2) "
         "ORDER BY id",
         {"1", "2", "3"}},
        {"SELECT id FROM emp WHERE dept IN (SELECT k FROM d WHERE k = 10 UNION ALL SELECT k FROM d WHERE k = 20 "
         "UNION SELECT dept FROM emp WHERE id = 5) ORDER BY id",
         {"1", "2", "3", "5"}},
        // Two chains side by side, one of them nested in the other's member.
        {"SELECT id FROM emp WHERE dept IN (SELECT k FROM d WHERE k = 10 UNION SELECT k FROM d WHERE k = 20) AND "
         "id NOT IN (SELECT id FROM emp WHERE id = 1 UNION SELECT id FROM emp WHERE dept IN "
         "(SELECT k FROM d WHERE k = 20 UNION SELECT k FROM d WHERE k = 20)) ORDER BY id",
         {"3"}},
    });
    EXPECT_EQ(db.Run("UPDATE emp SET name = 'X' WHERE dept IN (SELECT k FROM d WHERE k = 10 UNION "
                     "SELECT k FROM d WHERE k = 20)"),
              3u);
    EXPECT_EQ(db.Run("DELETE FROM emp WHERE id IN (SELECT id FROM emp WHERE id = 1 UNION ALL "
                     "SELECT id FROM emp WHERE id = 4)"),
              2u);
    EXPECT_EQ(db.Rows("emp"), (Rows{"2|X|20|200.25", "3|X|10|NULL", "5|" + kYamada + "|30|81.25"}));
}

TEST_F(Semantics, NullKeysMatchInSubQueriesAsInLists) {
    // Each IN (SELECT ...) gives the rows of the IN list of the same values.
    const std::pair<std::string, std::string> pairs[] = {
        {"dept IN (SELECT k FROM d)", "dept IN (10, 20, NULL)"},
        {"dept NOT IN (SELECT k FROM d)", "dept NOT IN (10, 20, NULL)"},
        {"dept IN (SELECT k FROM d WHERE k IS NOT NULL)", "dept IN (10, 20)"},
        {"dept NOT IN (SELECT k FROM d WHERE k > 10)", "dept NOT IN (20)"},
        {"pay IN (SELECT pay FROM emp WHERE id > 2)", "pay IN (NULL, 50, 81.25)"},
        {"name IN (SELECT name FROM emp WHERE dept IS NULL)", "name IN ('Dee')"},
    };
    for (const auto& [sub, list] : pairs) {
        const Rows viaSub = db.Select("SELECT id FROM emp WHERE " + sub + " ORDER BY id");
        EXPECT_EQ(viaSub, db.Select("SELECT id FROM emp WHERE " + list + " ORDER BY id")) << sub;
        EXPECT_EQ(db.Select("SELECT COUNT(*) FROM emp WHERE " + sub), Rows{std::to_string(viaSub.size())}) << sub;
    }
    EXPECT_EQ(db.Select("SELECT id FROM emp WHERE dept IN (SELECT k FROM d) ORDER BY id"), (Rows{"1", "2", "3", "4"}));
}

TEST_F(Semantics, ComputedDecimalColumns) {
    ExpectRows(db, {
        {"SELECT SUM(pay), AVG(pay), MIN(pay), MAX(pay), COUNT(pay) FROM emp", {"432|108|50|200.25|4"}},
        {"SELECT pay * 2, pay + 1, ABS(pay - 300), ROUND(pay TO 1), -pay FROM emp WHERE id = 2",
         {"400.5|201.25|99.75|200.3|-200.25"}},
        {"SELECT CAST(id AS DECIMAL(10,2)), CAST('2.5' AS NUMERIC(8,1)) FROM emp WHERE id = 1", {"1|2.5"}},
        {"SELECT dept, SUM(pay), AVG(pay) FROM emp GROUP BY dept",
         {"NULL|50|50", "10|100.5|100.5", "20|200.25|200.25", "30|81.25|81.25"}},
        {"SELECT id, pay / 0.5 FROM emp WHERE pay > 90 ORDER BY 2 DESC", {"2|400.5", "1|201"}},
        {"SELECT DISTINCT pay * 0 FROM emp WHERE pay IS NOT NULL", {"0"}},
    });
    // Stored by INTO, the computed column keeps its type.
    db.Run("SELECT id, pay * 10 AS ten INTO dec FROM emp WHERE id <= 2");
    EXPECT_EQ(db.Rows("dec"), (Rows{"1|1005", "2|2002.5"}));
}

// A cast into a narrower integer type keeps the low bytes of the value, a wider
// one extends it by its sign; a text is read as a 32-bit integer first. Stored
// through INSERT ... SELECT the column holds what the cast gives.
TEST_F(Semantics, IntegerCastsKeepTheLowBytesWhenNarrowing) {
    struct Case {
        const char* value;
        const char* type;
        const char* expected;
    };
    const Case cases[] = {
        {"5000000000", "INTEGER", "705032704"}, {"5000000000", "SMALLINT", "-3584"},
        {"70000", "SMALLINT", "4464"},          {"-1", "WORD", "65535"},
        {"5000000000", "WORD", "61952"},        {"-5000000000", "INTEGER", "-705032704"},
        {"5000000000", "AUTOINC", "705032704"}, {"-1", "LARGEINT", "-1"},
        {"CAST(-1 AS WORD)", "SMALLINT", "-1"}, {"CAST(-1 AS WORD)", "LARGEINT", "65535"},
        {"CAST(65535 AS WORD)", "INTEGER", "65535"}, {"CAST(-2 AS SMALLINT)", "LARGEINT", "-2"},
        {"'70000'", "SMALLINT", "4464"},        {"'-1'", "WORD", "65535"},
        {"id * 1000000000000", "INTEGER", "-727379968"},
    };
    db.Run("CREATE TABLE n (s SMALLINT, w WORD, i INTEGER, l LARGEINT)");
    const std::map<std::string, std::string> columns = {
        {"SMALLINT", "s"}, {"WORD", "w"}, {"INTEGER", "i"}, {"AUTOINC", "i"}, {"LARGEINT", "l"}};
    for (const Case& c : cases) {
        const std::string cast = std::string("CAST(") + c.value + " AS " + c.type + ")";
        ExpectRows(db, {{"SELECT " + cast + " FROM emp WHERE id = 1", {c.expected}}});
        const std::string column = columns.at(c.type);
        db.Run("DELETE FROM n; INSERT INTO n (" + column + ") SELECT " + cast + " FROM emp WHERE id = 1");
        EXPECT_EQ(db.Select("SELECT " + column + " FROM n"), Rows{c.expected}) << cast;
    }
    ExpectRows(db, {{"SELECT CAST(5000000000 AS INTEGER), CAST(5000000000 AS SMALLINT), CAST(70000 AS SMALLINT), "
                     "CAST(-1 AS WORD) FROM emp WHERE id = 1",
                     {"705032704|-3584|4464|65535"}}});
}

TEST_F(Semantics, TextFunctionsCountCharactersOfStoredText) {
    const std::string da = kYamada.substr(2, 2), ta = kYamada.substr(4, 2);
    ExpectRows(db, {
        {"SELECT SUBSTRING(name FROM 2 FOR 2), LENGTH(name), POS('" + ta + "' IN name) FROM emp WHERE id = 5",
         {da + ta + "|6|3"}},
        {"SELECT id FROM emp WHERE name LIKE '_" + da + "_'", {"5"}},
        {"SELECT id FROM emp WHERE LENGTH(name) = 6 ORDER BY id", {"5"}},
        {"SELECT id FROM emp WHERE SUBSTRING(name FROM 3 FOR 1) = '" + ta + "'", {"5"}},
    });
    EXPECT_EQ(db.Run("UPDATE emp SET name = SUBSTRING(name FROM 2 FOR 2) + '" + kRin + kRin + kRin + "' WHERE id = 5"),
              1u);
    // 田太 and three 凜 are ten bytes: CHAR(10) keeps them all; one more is cut whole.
    EXPECT_EQ(db.Select("SELECT name FROM emp WHERE id = 5"), Rows{da + ta + kRin + kRin + kRin});
    db.Run("UPDATE emp SET name = 'x' + name WHERE id = 5");
    EXPECT_EQ(db.Select("SELECT name, LENGTH(name) FROM emp WHERE id = 5"), Rows{"x" + da + ta + kRin + kRin + "|9"});
}

TEST_F(Semantics, OneInMemoryDatabase) {
    // Made one way, read, filled, listed and dropped the others.
    db.Run("CREATE TABLE MEMORY mt (a INTEGER, b CHAR(4))");
    db.Run("INSERT INTO MEMORY mt VALUES (1, 'x'); INSERT INTO MEMORY mt (a) SELECT id FROM emp WHERE id > 3");
    EXPECT_EQ(db.Select("SELECT a, b FROM MEMORY mt ORDER BY a"), (Rows{"1|x", "4|NULL", "5|NULL"}));
    db.Run("SELECT a INTO MEMORY m2 FROM MEMORY mt WHERE a > 1");
    EXPECT_EQ(db.Run("INSERT INTO MEMORY m2 VALUES (9)"), 1u);
    EXPECT_EQ(db.Select("SELECT SUM(a) FROM MEMORY m2"), Rows{"18"});
    EXPECT_EQ(db.Run("UPDATE MEMORY m2 SET a = a + 1 WHERE a IN (SELECT a FROM MEMORY mt)"), 2u);
    EXPECT_EQ(db.Select("SELECT m2.a FROM MEMORY m2, MEMORY mt WHERE m2.a = mt.a + 1 ORDER BY 1"), (Rows{"5", "6"}));
    // A statement of the in-memory database itself finds its tables by name alone.
    TDataDirectory* memory = db.Session().OpenDataDirectory(MemoryDatabaseName, {});
    const auto references = memory->References;
    {
        TQueryStatement statement(memory);
        statement.Prepare("SELECT COUNT(*) FROM m2 WHERE a IN (SELECT a FROM mt)");
        TDataCursor* cursor = nullptr;
        statement.Execute(cursor);
        ASSERT_NE(cursor, nullptr);
        EXPECT_EQ(SqlDatabase::VisibleRows(*cursor), Rows{"1"});
    }
    // The statement gives back every reference it took to its own database.
    EXPECT_EQ(memory->References, references);
    db.Session().CloseDataDirectory(memory);
    db.Run("DROP TABLE MEMORY m2; DROP TABLE MEMORY mt");
    EXPECT_EQ(db.ErrorOf("SELECT a FROM MEMORY mt").Code, KURA_OSENOENT);
}

TEST_F(Semantics, AverageHelpersStayHiddenAndOutOfInto) {
    std::vector<std::string> names;
    EXPECT_EQ(db.Select("SELECT dept, AVG(id), AVG(pay) FROM emp GROUP BY dept", &names),
              (Rows{"NULL|4|50", "10|2|100.5", "20|2|200.25", "30|5|81.25"}));
    EXPECT_EQ(names, (Rows{"dept", "Average Of id", "Average Of pay"}));
    db.Run("SELECT dept, AVG(id) AS mean INTO means FROM emp GROUP BY dept HAVING AVG(id) > 2");
    EXPECT_EQ(db.ColumnNames("means"), (Rows{"dept", "mean"}));
    EXPECT_EQ(db.Rows("means"), (Rows{"NULL|4", "30|5"}));
    db.Run("SELECT AVG(id) INTO whole FROM emp");
    EXPECT_EQ(db.ColumnNames("whole"), (Rows{"Average Of id"}));
    EXPECT_EQ(db.Rows("whole"), (Rows{"3"}));
}

TEST_F(Semantics, EveryMarkNeedsAValue) {
    TFieldDesc number;
    number.SetFieldType(fldINT32);
    number.SetStoredSize(4);
    number.SetOffset(0);
    uint8_t record[5] = {1, 3, 0, 0, 0};
    const TFieldDesc* descs[] = {&number, &number};
    const struct {
        const char* Sql;
        uint16_t Given;
        const char* Message;  // empty: runs
    } cases[] = {
        {"SELECT id FROM emp WHERE id > ?", 0, "The statement has 1 parameter but 0 parameter values were given"},
        {"SELECT id FROM emp WHERE id > ? AND dept < ?", 1,
         "The statement has 2 parameters but 1 parameter value was given"},
        {"UPDATE emp SET dept = ? WHERE id = ?", 1, "The statement has 2 parameters but 1 parameter value was given"},
        {"DELETE FROM emp WHERE id > ?", 0, "The statement has 1 parameter but 0 parameter values were given"},
        {"SELECT id FROM emp WHERE id > ?", 1, ""},
        {"SELECT id FROM emp WHERE id > ?", 2, ""},
    };
    for (const auto& c : cases) {
        TQueryStatement statement(&db.Dir());
        statement.Prepare(c.Sql);
        TDataCursor* cursor = nullptr;
        std::string message;
        try {
            statement.Execute(cursor, c.Given, descs, record);
        } catch (const EKuraEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), KURA_SQLPARSE) << c.Sql;
            message = e.ErrorContext(ctxMessage);
        }
        EXPECT_EQ(message, c.Message) << c.Sql << " with " << c.Given;
    }
    EXPECT_EQ(db.Rows("emp").size(), 5u);
    // Values bound once stay bound for the executions after.
    TQueryStatement statement(&db.Dir());
    statement.Prepare("SELECT id FROM emp WHERE id > ?");
    statement.SetParams(1, descs, record);
    TDataCursor* cursor = nullptr;
    statement.Execute(cursor);
    EXPECT_EQ(SqlDatabase::VisibleRows(*cursor), (Rows{"4", "5"}));
}

TEST_F(Semantics, LongAndChainsRunInEveryStatement) {
    // More conditions than a cursor takes filters (64); "<>" is true for a NULL dept.
    std::string where = "id > 1";
    for (int i = 1; i <= 70; ++i) where += " AND dept <> " + std::to_string(1000 + i);
    const int64_t before = TExpToken::LiveCount() - ExpTokenStack->Count();
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(db.Select("SELECT id FROM emp WHERE " + where + " ORDER BY id"), (Rows{"2", "3", "4", "5"}));
        EXPECT_EQ(db.Select("SELECT COUNT(*) FROM emp WHERE " + where), Rows{"4"});
        // Dee's NULL dept joins d's NULL key: two NULLs are equal under "=".
        EXPECT_EQ(db.Select("SELECT emp.id FROM emp, d WHERE emp.dept = d.k AND " + where + " ORDER BY 1"),
                  (Rows{"2", "3", "4"}));
        EXPECT_EQ(db.Select("SELECT dept, COUNT(*) FROM emp WHERE " + where + " GROUP BY dept"),
                  (Rows{"NULL|1", "10|1", "20|1", "30|1"}));
        EXPECT_EQ(db.Select("SELECT id FROM emp WHERE " + where + " AND id IN (SELECT id FROM emp WHERE " + where +
                            ") ORDER BY id"),
                  (Rows{"2", "3", "4", "5"}));
    }
    EXPECT_EQ(db.Run("UPDATE emp SET dept = dept WHERE " + where), 4u);
    EXPECT_EQ(db.Run("DELETE FROM emp WHERE " + where), 4u);
    EXPECT_EQ(TExpToken::LiveCount() - ExpTokenStack->Count(), before);
}

}  // namespace
