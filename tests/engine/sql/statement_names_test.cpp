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

// A field or index name has room for 30 bytes (15 double-byte characters): a
// longer one is refused with a message saying so, in every statement that names
// a new field or index, and nothing is made or changed; names that fit are made
// and found as written.
TEST(Names, FieldAndIndexNamesLongerThanTheirRoomAreRefused) {
    const std::string fits(30, 'a'), tooLong(31, 'a');
    std::string kanji15;
    for (int i = 0; i < 15; ++i) kanji15 += kStaff.substr(0, 2);
    const std::string kanji16 = kanji15 + kStaff.substr(0, 2);
    struct Case {
        std::string Sql;
        std::string Message;
    };
    const auto field = [](const std::string& name, size_t bytes) {
        return "Field name '" + name + "' is too long: " + std::to_string(bytes) + " bytes, at most 30";
    };
    const Case cases[] = {
        {"CREATE TABLE u (" + tooLong + " INTEGER)", field(tooLong, 31)},
        {"CREATE TABLE u (\"" + kanji16 + "\" INTEGER)", field(kanji16, 32)},
        {"CREATE TABLE u (\"x" + kanji15 + "\" INTEGER)", field("x" + kanji15, 31)},
        // Two names alike in their first 30 bytes are not taken as one.
        {"CREATE TABLE u (" + fits + "x INTEGER, " + fits + "y INTEGER)", field(fits + "x", 31)},
        {"ALTER TABLE t ADD " + tooLong + " INTEGER", field(tooLong, 31)},
        {"ALTER TABLE t REDEFINE id " + tooLong + " INTEGER", field(tooLong, 31)},
        {"CREATE INDEX " + tooLong + " ON t (id)", "Index name '" + tooLong + "' is too long: 31 bytes, at most 30"},
        {"CREATE INDEX \"" + kanji16 + "\" ON t (id)",
         "Index name '" + kanji16 + "' is too long: 32 bytes, at most 30"},
    };
    SqlDatabase db;
    db.Run("CREATE TABLE t (id INTEGER); INSERT INTO t VALUES (1)");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Sql);
        const SqlError error = db.ErrorOf(c.Sql);
        EXPECT_EQ(error.Code, KURA_SQLPARSE);
        EXPECT_EQ(error.Message, c.Message);
        EXPECT_FALSE(db.Dir().TableExists("u", false));
        EXPECT_EQ(db.ColumnNames("t"), (std::vector<std::string>{"id"}));
        EXPECT_EQ(db.Rows("t"), Rows{"1"});
    }
    // Corrected to names that fit: made, and found by the names written.
    db.Run("ALTER TABLE t ADD " + fits + " INTEGER, ADD \"" + kanji15 + "\" INTEGER");
    db.Run("CREATE INDEX \"" + kanji15 + "\" ON t (\"" + kanji15 + "\"); CREATE INDEX " + fits + " ON t (" + fits + ")");
    db.Run("INSERT INTO t (id, " + fits + ", \"" + kanji15 + "\") VALUES (2, 20, 200)");
    EXPECT_EQ(db.ColumnNames("t"), (std::vector<std::string>{"id", fits, kanji15}));
    EXPECT_EQ(db.Select("SELECT id FROM t WHERE [" + kanji15 + "] = 200 AND " + fits + " = 20"), Rows{"2"});
    db.Run("DROP INDEX t.\"" + kanji15 + "\"; DROP INDEX t." + fits);
    EXPECT_EQ(db.ErrorOf("DROP INDEX t." + fits).Code, KURA_INVALIDINDEXNAME);
}

}  // namespace
