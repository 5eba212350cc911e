// Names in statements as users write them: full-width Latin letters fold as ASCII
// ones do (ＩＤ is ｉｄ) in table, field and index names and in the look-up of the
// table's files, with the double-byte characters around them kept; and the
// messages of names and columns that cannot be used say what is wrong with them.
#include "tests/engine/sql/StatementTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

using Rows = std::vector<std::string>;

// Code page 932: ＩＤ and ｉｄ, ＡＢ and ａｂ, ＩＸ and ｉｘ, and 社員 (no letters).
const std::string kID = "\x82\x68\x82\x63", kid = "\x82\x89\x82\x84";
const std::string kAB = "\x82\x60\x82\x61", kab = "\x82\x81\x82\x82";
const std::string kIX = "\x82\x68\x82\x77", kix = "\x82\x89\x82\x98";
const std::string kStaff = "\x8E\xD0\x88\xF5";

TEST(Names, FullWidthLettersFoldInEveryName) {
    SqlDatabase db;
    db.Run("CREATE TABLE \"" + kAB + "\" (\"" + kID + "\" INTEGER, \"" + kStaff + "x\" CHAR(4))");
    db.Run("CREATE INDEX \"" + kIX + "\" ON \"" + kab + "\" (\"" + kid + "\")");
    // Each statement names the table, a field or the index in the other case.
    const std::vector<std::pair<std::string, Rows>> cases = {
        {"INSERT INTO \"" + kab + "\" (\"" + kid + "\", \"" + kStaff + "X\") VALUES (1, 'a')", {}},
        {"INSERT INTO " + kAB + " VALUES (2, 'b')", {}},
        {"SELECT [" + kid + "] FROM \"" + kAB + "\" ORDER BY 1", {"1", "2"}},
        {"SELECT t." + kid + " FROM \"" + kab + "\" t WHERE t." + kID + " = 2", {"2"}},
        {"SELECT t.\"" + kStaff + "X\" FROM \"" + kab + "\" t WHERE " + kid + " = 1", {"a"}},
        {"UPDATE \"" + kab + "\" SET " + kid + " = " + kID + " + 10", {}},
        {"SELECT " + kID + " FROM " + kab + " ORDER BY " + kid, {"11", "12"}},
        {"DROP INDEX \"" + kab + "\".\"" + kix + "\"", {}},
        {"SELECT COUNT(*) FROM \"" + kAB + "\"", {"2"}},
    };
    for (const auto& [sql, rows] : cases) {
        SCOPED_TRACE(sql);
        try {
            if (sql.rfind("SELECT", 0) == 0)
                EXPECT_EQ(db.Select(sql), rows);
            else
                db.Run(sql);
        } catch (const EKuraEngineError& e) {
            ADD_FAILURE() << e.what() << " " << e.ErrorContext(ctxMessage);
        }
    }
    // One name in two cases is one name: a second field or table of it is refused.
    EXPECT_NE(db.ErrorOf("CREATE TABLE t2 (\"" + kID + "\" INTEGER, \"" + kid + "\" INTEGER)").Code, 0);
    EXPECT_EQ(db.ErrorOf("CREATE TABLE \"" + kab + "\" (x INTEGER)").Code, KURA_TABLEEXISTS);
    // A full-width letter is not its ASCII letter.
    EXPECT_EQ(db.ErrorOf("SELECT * FROM AB").Code, KURA_OSENOENT);
    EXPECT_EQ(db.ErrorOf("SELECT ID FROM \"" + kAB + "\"").Code, KURA_SQLPARSE);
    db.Run("DROP TABLE \"" + kab + "\"");
    EXPECT_EQ(db.ErrorOf("SELECT * FROM \"" + kAB + "\"").Code, KURA_OSENOENT);
}

TEST(Names, MessagesSayWhatIsWrong) {
    SqlDatabase db;
    db.Run("CREATE TABLE t (id INTEGER, note MEMO, pic BLOB)");
    db.Run("INSERT INTO t VALUES (1, 'a', NULL); INSERT INTO t VALUES (2, 'a', NULL)");
    struct Case {
        std::string Sql;
        TEngineErrorCode Code;
        std::string Message;
    };
    const std::string longName(301, 'n');
    const Case cases[] = {
        {"SELECT note FROM t UNION SELECT note FROM t", KURA_SQLPARSE,
         "Invalid BLOB column 'note' specified in UNION clause"},
        {"SELECT id, pic FROM t UNION ALL SELECT id, pic FROM t UNION SELECT id, pic FROM t", KURA_SQLPARSE,
         "Invalid BLOB column 'pic' specified in UNION clause"},
        {"SELECT id FROM t WHERE id IN (SELECT id FROM t UNION SELECT id FROM t) AND note IN "
         "(SELECT note FROM t UNION SELECT note FROM t)",
         KURA_SQLPARSE, "Invalid BLOB column 'note' specified in UNION clause"},
        {"SELECT DISTINCT note FROM t", KURA_SQLPARSE, "Invalid BLOB column 'note' specified in DISTINCT clause"},
        // A name is kept to 255 characters, which no folder and extension fit.
        {"CREATE TABLE " + longName + " (x INTEGER)", KURA_SQLPARSE,
         "Table name '" + std::string(40, 'n') + "...' is too long: its file name would have " +
             std::to_string(db.Path().size() + 1 + 255 + 4) + " characters with its folder, at most 255"},
        {"CREATE TABLE MEMORY " + longName + " (x INTEGER)", KURA_SQLPARSE,
         "Table name '" + std::string(40, 'n') + "...' is too long: its file name would have 259 characters "
         "with its folder, at most 255"},
    };
    for (const Case& c : cases) {
        const SqlError error = db.ErrorOf(c.Sql);
        EXPECT_EQ(error.Code, c.Code) << c.Sql;
        EXPECT_EQ(error.Message, c.Message) << c.Sql;
    }
    // What the refusals leave: UNION ALL over a MEMO column, and names that fit.
    EXPECT_EQ(db.Select("SELECT note FROM t UNION ALL SELECT note FROM t"), (Rows{"a", "a", "a", "a"}));
    const std::string fits(255 - 4 - db.Path().size() - 1, 'f');
    EXPECT_EQ(db.ErrorOf("CREATE TABLE " + fits + " (x INTEGER)").Code, 0);
    EXPECT_EQ(db.Select("SELECT COUNT(*) FROM " + fits), Rows{"0"});
    EXPECT_EQ(db.ErrorOf("CREATE TABLE " + fits + "g (x INTEGER)").Code, KURA_SQLPARSE);
}

}  // namespace
