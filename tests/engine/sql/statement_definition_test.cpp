// CREATE TABLE, ALTER TABLE, CREATE/DROP INDEX and DROP TABLE through the
// statement object, checked on the table's definitions and rows.
#include <filesystem>
#include <fstream>

#include "tests/common/EngineTestSupport.h"
#include "tests/engine/sql/StatementTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

using Names = std::vector<std::string>;
using Rows = std::vector<std::string>;

class Definitions : public ::testing::Test {
protected:
    void SetUp() override {
        db.Run("CREATE TABLE t (a INTEGER, b CHAR(5), c INTEGER, PRIMARY KEY (a))");
        db.Run("INSERT INTO t VALUES (1, 'one', 10); INSERT INTO t VALUES (2, 'two', NULL)");
    }
    SqlDatabase db;
};

TEST_F(Definitions, CreateTableMakesColumnsKeyAndOptions) {
    EXPECT_EQ(db.ColumnNames("t"), (Names{"a", "b", "c"}));
    EXPECT_EQ(db.Rows("t"), (Rows{"1|one|10", "2|two|NULL"}));
    // The key refuses a second 1.
    EXPECT_EQ(db.ErrorOf("INSERT INTO t VALUES (1, 'x', 0)").Code, KURA_KEYVIOL);
    EXPECT_EQ(db.Rows("t").size(), 2u);
}

TEST_F(Definitions, CreateTableIfNotExistsLeavesAnExistingTableAlone) {
    EXPECT_EQ(db.ErrorOf("CREATE TABLE IF NOT EXISTS t (z INTEGER)").Code, 0);
    EXPECT_EQ(db.ColumnNames("t"), (Names{"a", "b", "c"}));
    EXPECT_EQ(db.Rows("t"), (Rows{"1|one|10", "2|two|NULL"}));
    EXPECT_EQ(db.ErrorOf("CREATE TABLE t (z INTEGER)").Code, KURA_TABLEEXISTS);
    EXPECT_EQ(db.ErrorOf("CREATE TABLE IF NOT EXISTS u (z INTEGER)").Code, 0);
    EXPECT_EQ(db.ColumnNames("u"), (Names{"z"}));

    // A link at a file of the table to be made (to a table elsewhere, or to
    // nowhere) is refused, naming it, and nothing is made or settled beside it.
    const TempDir elsewhere;
    for (const char* ext : {".DAT", ".IDX", ".BLB", ".JNL"}) std::ofstream(elsewhere.file(std::string("x") + ext)) << "x";
    for (const char* ext : {".DAT", ".IDX", ".JNL", ".BLB"})
        for (const bool leads : {true, false}) {
            SCOPED_TRACE(std::string(ext) + (leads ? ", a link to a file" : ", a link to nowhere"));
            const std::string link = db.Path() + "/v" + ext;
            std::filesystem::create_symlink(elsewhere.file((leads ? "x" : "none") + std::string(ext)), link);
            const Raised r = RaisedBy([&] { db.Run("CREATE TABLE v (z INTEGER, m MEMO)"); });
            EXPECT_EQ(r.code, KURA_OSEACCES);
            EXPECT_EQ(r.table, link);
            for (const auto& entry : std::filesystem::directory_iterator(db.Path()))
                EXPECT_TRUE(entry.path().filename().string().rfind("v.", 0) != 0 || entry.path() == link)
                    << entry.path() << " made";
            std::filesystem::remove(link);
        }
}

TEST_F(Definitions, AddAtPositionsAndAppends) {
    struct Case {
        const char* sql;
        Names names;
        Rows rows;
    };
    const Case cases[] = {
        {"ALTER TABLE t ADD d INTEGER AT 1", {"d", "a", "b", "c"}, {"NULL|1|one|10", "NULL|2|two|NULL"}},
        {"ALTER TABLE t ADD d INTEGER AT 2", {"a", "d", "b", "c"}, {"1|NULL|one|10", "2|NULL|two|NULL"}},
        {"ALTER TABLE t ADD d INTEGER AT 9", {"a", "b", "c", "d"}, {"1|one|10|NULL", "2|two|NULL|NULL"}},
        {"ALTER TABLE t ADD d INTEGER AT 0", {"a", "b", "c", "d"}, {"1|one|10|NULL", "2|two|NULL|NULL"}},
        {"ALTER TABLE t ADD d INTEGER, ADD e CHAR(3) AT 1",
         {"e", "a", "b", "c", "d"},
         {"NULL|1|one|10|NULL", "NULL|2|two|NULL|NULL"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        SqlDatabase fresh;
        fresh.Run("CREATE TABLE t (a INTEGER, b CHAR(5), c INTEGER, PRIMARY KEY (a))");
        fresh.Run("INSERT INTO t VALUES (1, 'one', 10); INSERT INTO t VALUES (2, 'two', NULL)");
        fresh.Run(c.sql);
        EXPECT_EQ(fresh.ColumnNames("t"), c.names);
        EXPECT_EQ(fresh.Rows("t"), c.rows);
    }
}

TEST_F(Definitions, RedefineWidensInPlaceAndRenames) {
    db.Run("ALTER TABLE t REDEFINE b CHAR(20), ADD v CHAR(1)");
    EXPECT_EQ(db.ColumnNames("t"), (Names{"a", "b", "c", "v"}));
    db.Run("UPDATE t SET b = 'a much longer text' WHERE a = 1");
    EXPECT_EQ(db.Rows("t"), (Rows{"1|a much longer text|10|NULL", "2|two|NULL|NULL"}));

    db.Run("ALTER TABLE t REDEFINE c cc INTEGER AT 1");
    EXPECT_EQ(db.ColumnNames("t"), (Names{"cc", "a", "b", "v"}));
    EXPECT_EQ(db.Rows("t"), (Rows{"10|1|a much longer text|NULL", "NULL|2|two|NULL"}));
}

TEST_F(Definitions, DropColumnKeepsTheOthers) {
    db.Run("ALTER TABLE t DROP c");
    EXPECT_EQ(db.ColumnNames("t"), (Names{"a", "b"}));
    EXPECT_EQ(db.Rows("t"), (Rows{"1|one", "2|two"}));
}

TEST_F(Definitions, AlterMessagesLeaveTheTableUnchanged) {
    struct Case {
        const char* sql;
        const char* message;
    };
    const Case cases[] = {
        {"ALTER TABLE t REDEFINE x INTEGER", "Column x not found"},
        {"ALTER TABLE t DROP x", "Column x not found"},
        {"ALTER TABLE t ADD PRIMARY KEY (b)", "Cannot REDEFINE the primary key using the ADD keyword"},
        {"ALTER TABLE t DROP PRIMARY KEY, ADD PRIMARY KEY (q)", "Invalid field name 'q' specified for index ''"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        const SqlError error = db.ErrorOf(c.sql);
        EXPECT_EQ(error.Code, KURA_SQLPARSE);
        EXPECT_EQ(error.Message, c.message);
        EXPECT_EQ(db.ColumnNames("t"), (Names{"a", "b", "c"}));
        EXPECT_EQ(db.Rows("t"), (Rows{"1|one|10", "2|two|NULL"}));
    }
}

TEST_F(Definitions, PrimaryKeyReplacedAndDropped) {
    db.Run("ALTER TABLE t DROP PRIMARY KEY, ADD PRIMARY KEY (b)");
    EXPECT_EQ(db.ErrorOf("INSERT INTO t VALUES (1, 'three', 0)").Code, 0);
    EXPECT_EQ(db.ErrorOf("INSERT INTO t VALUES (9, 'two', 0)").Code, KURA_KEYVIOL);
    db.Run("DROP INDEX t.PRIMARY");
    EXPECT_EQ(db.ErrorOf("INSERT INTO t VALUES (9, 'two', 0)").Code, 0);
    // Nothing left to drop: IF EXISTS makes that silent.
    EXPECT_EQ(db.ErrorOf("DROP INDEX IF EXISTS t.PRIMARY").Code, 0);
}

TEST_F(Definitions, SecondaryIndexesComeAndGo) {
    db.Run("CREATE UNIQUE INDEX byb ON t (b)");
    EXPECT_EQ(db.ErrorOf("INSERT INTO t VALUES (3, 'one', 0)").Code, KURA_KEYVIOL);
    EXPECT_EQ(db.ErrorOf("CREATE INDEX IF NOT EXISTS byb ON t (c)").Code, 0);
    EXPECT_EQ(db.ErrorOf("CREATE INDEX byb ON t (c)").Code, KURA_INDEXEXISTS);
    const SqlError unknown = db.ErrorOf("CREATE INDEX byq ON t (q)");
    EXPECT_EQ(unknown.Code, KURA_SQLPARSE);
    EXPECT_EQ(unknown.Message, "Invalid field name 'q' specified for index 'byq'");
    db.Run("DROP INDEX t.byb");
    EXPECT_EQ(db.ErrorOf("INSERT INTO t VALUES (3, 'one', 0)").Code, 0);
    EXPECT_EQ(db.ErrorOf("DROP INDEX IF EXISTS t.byb").Code, 0);
    EXPECT_EQ(db.ErrorOf("DROP INDEX t.byb").Code, KURA_INVALIDINDEXNAME);
}

TEST_F(Definitions, KeysOverDuplicateValuesAreRefusedAndNoRowIsLost) {
    db.Run("INSERT INTO t VALUES (3, 'three', 10)");
    const Rows before = db.Rows("t");
    EXPECT_EQ(db.ErrorOf("CREATE UNIQUE INDEX byc ON t (c)").Code, KURA_KEYVIOL);
    EXPECT_EQ(db.Rows("t"), before);
    EXPECT_EQ(db.ErrorOf("DROP INDEX t.byc").Code, KURA_INVALIDINDEXNAME);
    EXPECT_EQ(db.ErrorOf("ALTER TABLE t DROP PRIMARY KEY, ADD PRIMARY KEY (c)").Code, KURA_KEYVIOL);
    EXPECT_EQ(db.Rows("t"), before);
    EXPECT_EQ(db.ErrorOf("INSERT INTO t VALUES (1, 'dup', 0)").Code, KURA_KEYVIOL);
    // Without the clash the unique index is made.
    db.Run("UPDATE t SET c = 30 WHERE a = 3");
    EXPECT_EQ(db.ErrorOf("CREATE UNIQUE INDEX byc ON t (c)").Code, 0);
    EXPECT_EQ(db.ErrorOf("INSERT INTO t VALUES (4, 'four', 30)").Code, KURA_KEYVIOL);
}

TEST_F(Definitions, DropTable) {
    EXPECT_EQ(db.ErrorOf("DROP TABLE IF EXISTS nothere").Code, 0);
    EXPECT_NE(db.ErrorOf("DROP TABLE nothere").Code, 0);
    db.Run("DROP TABLE t");
    EXPECT_FALSE(db.Dir().TableExists("t", false));
}

TEST_F(Definitions, UnknownKeyColumnCreatesNothing) {
    const SqlError error = db.ErrorOf("CREATE TABLE k (a INTEGER, PRIMARY KEY (z))");
    EXPECT_EQ(error.Code, KURA_SQLPARSE);
    EXPECT_EQ(error.Message, "Invalid field name 'z' specified for index ''");
    EXPECT_FALSE(db.Dir().TableExists("k", false));
}

TEST_F(Definitions, ColumnAttributesAndTableOptionsReachTheTable) {
    db.Run("CREATE TABLE IF NOT EXISTS \"Staff\" ("
           " \"StaffCD\" INTEGER NOT NULL,"
           " \"Simei\" CHARACTER(20) DESCRIPTION 'name' NOT NULL,"
           " \"KBN\" CHAR(2) DEFAULT 'A' CHARCASE UPPER,"
           " \"Age\" INTEGER MIN 0 MAX 150,"
           " \"Photo\" BLOB(0,5),"
           " \"Biko\" MEMO,"
           " PRIMARY KEY (\"StaffCD\") COMPRESS NONE"
           " LANGUAGE \"ANSI Standard\" SORT \"Default Order\" USER MAJOR VERSION 3 );");
    EXPECT_EQ(db.ColumnNames("Staff"), (Names{"StaffCD", "Simei", "KBN", "Age", "Photo", "Biko"}));
    db.Run("INSERT INTO Staff (StaffCD, Simei, Age) VALUES (1, 'Yamada', 30)");
    db.Run("INSERT INTO Staff (StaffCD, Simei, KBN) VALUES (2, 'Sato', 'bc')");
    EXPECT_EQ(db.Rows("Staff"), (Rows{"1|Yamada|A|30|NULL|NULL", "2|Sato|BC|NULL|NULL|NULL"}));
    EXPECT_EQ(db.ErrorOf("INSERT INTO Staff (StaffCD) VALUES (3)").Code, KURA_REQDERR);
    EXPECT_EQ(db.ErrorOf("INSERT INTO Staff (StaffCD, Simei, Age) VALUES (4, 'x', 200)").Code, KURA_MAXVALERR);
    EXPECT_EQ(db.ErrorOf("UPDATE Staff SET Age = -1").Code, KURA_MINVALERR);
    EXPECT_EQ(db.Rows("Staff").size(), 2u);
    // The upgrade the program runs at start-up: new columns at the end, data kept.
    db.Run("ALTER TABLE \"Staff\" ADD \"Furikomi_KozaMeigi\" CHARACTER(40), ADD \"Fututyo_KozaMeigi\" CHARACTER(40)");
    EXPECT_EQ(db.ColumnNames("Staff"), (Names{"StaffCD", "Simei", "KBN", "Age", "Photo", "Biko", "Furikomi_KozaMeigi",
                                              "Fututyo_KozaMeigi"}));
    EXPECT_EQ(db.Rows("Staff")[1], "2|Sato|BC|NULL|NULL|NULL|NULL|NULL");
    // A REDEFINE that names only an attribute keeps the type and the data.
    db.Run("ALTER TABLE Staff REDEFINE Age MAX 200");
    db.Run("UPDATE Staff SET Age = 180 WHERE StaffCD = 1");
    EXPECT_EQ(db.Rows("Staff")[0], "1|Yamada|A|180|NULL|NULL|NULL|NULL");
}

// The BLOB block size of a table is its header's, BLOB fields or not: a table
// without them keeps the size it is given for the BLOB file a later MEMO makes.
TEST(BlobBlockSize, GivenToATableWithoutBlobFieldsItReachesTheMemoAddedLater) {
    struct Case {
        const char* create;
        const char* alter;  // gives the size
        uint16_t size;
    };
    const Case cases[] = {
        {"CREATE TABLE d (a INTEGER)", "ALTER TABLE d BLOB BLOCK SIZE 1024", 1024},
        // With a key added too: the indexes are rebuilt without a copy.
        {"CREATE TABLE d (a INTEGER)", "ALTER TABLE d ADD PRIMARY KEY (a) BLOB BLOCK SIZE 2048", 2048},
        {"CREATE TABLE d (a INTEGER, PRIMARY KEY (a) BLOB BLOCK SIZE 1536)", "ALTER TABLE d DESCRIPTION 'kept'", 1536},
        // A table with a MEMO is copied into a new BLOB file.
        {"CREATE TABLE d (a INTEGER, n MEMO)", "ALTER TABLE d BLOB BLOCK SIZE 1024", 1024},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.alter);
        SqlDatabase db;
        db.Run(c.create);
        db.Run("INSERT INTO d (a) VALUES (1)");
        db.Run(c.alter);
        auto blockSize = [&] {
            TDataCursor cursor(&db.Dir());
            cursor.SetTableName("d");
            cursor.OpenCursor();
            const uint16_t size = cursor.GetBlobBlockSize();
            cursor.CloseCursor(false);
            return size;
        };
        EXPECT_EQ(blockSize(), c.size);
        db.Run("ALTER TABLE d ADD m MEMO");
        EXPECT_EQ(blockSize(), c.size);
        const std::string memo(3000, 'x');
        db.Run("UPDATE d SET m = '" + memo + "'");
        EXPECT_EQ(db.Select("SELECT a, m FROM d"), Rows{"1|" + memo});
        // The BLOB file: its 512-byte header, then the memo in blocks of that size,
        // each with an 18-byte block header.
        std::error_code error;
        const auto bytes = std::filesystem::file_size(db.Path() + "/d.BLB", error);
        EXPECT_FALSE(error);
        const size_t blocks = (memo.size() + c.size - 18 - 1) / (c.size - 18);
        EXPECT_EQ(bytes, 512u + blocks * c.size);
    }
}

TEST_F(Definitions, MemoryTablesLiveInTheMemoryDatabase) {
    db.Run("CREATE TABLE MEMORY m (a INTEGER, b CHAR(3))");
    db.Run("INSERT INTO MEMORY m VALUES (5, 'x')");
    EXPECT_FALSE(db.Dir().TableExists("m", false));
    db.Run("DROP TABLE MEMORY m");
}

}  // namespace
