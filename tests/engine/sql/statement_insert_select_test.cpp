// INSERT ... SELECT through the statement object, checked row by row.
#include "tests/engine/sql/StatementTestSupport.h"

#include <algorithm>
#include <array>
#include <random>

#include "engine/core/DataDirectory.h"
#include "engine/core/DataTable.h"
#include "platform/FileCalls.h"
#include "tests/engine/core/TableCheck.h"

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

// ---- Columns copied as stored --------------------------------------------------

// A source of every stored type, with NULLs everywhere and code page 932 texts
// whose trail bytes are 0x5C, filled in key order (natural order = key order).
void FillTypedSource(SqlDatabase& db, int rows) {
    db.Run("CREATE TABLE src (k INTEGER, s CHAR(10), i SMALLINT, l LARGEINT, f FLOAT, c DECIMAL(12, 4), d DATE, "
           "b BOOLEAN, m MEMO, w CHAR(12), PRIMARY KEY (k))");
    const std::string hyo = "\x95\x5c", so = "\x83\x5c";  // two characters ending in 0x5C
    const std::vector<std::string> texts = {"a", "abc", "ABCDEFGHI", "a" + hyo + so, hyo + hyo + hyo + hyo,
                                            "ab" + so, " x", "mixed Case", "abcd" + hyo + "e", "abc" + hyo + so};
    std::mt19937 random(34);
    auto pick = [&](const std::string& value) { return random() % 5 == 0 ? std::string("NULL") : value; };
    auto number = [&](int limit) { return std::to_string(static_cast<int>(random() % (2u * limit)) - limit); };
    db.Run("START TRANSACTION");
    for (int k = 1; k <= rows; ++k) {
        const std::string values[] = {
            std::to_string(k),
            pick("'" + texts[random() % texts.size()] + "'"),
            pick(number(30000)),
            pick(number(1000000) + "000000"),
            pick(number(1000) + "." + std::to_string(random() % 100)),
            pick(number(100000) + "." + std::to_string(1000 + random() % 9000)),
            pick("'2001-02-" + std::to_string(10 + random() % 18) + "'"),
            pick(random() % 2 ? "TRUE" : "FALSE"),
            pick("'memo " + std::to_string(k) + hyo + "'"),
            pick("'" + texts[random() % texts.size()] + (random() % 2 ? so : "") + "'"),
        };
        std::string sql = "INSERT INTO src VALUES (";
        for (const std::string& v : values) sql += (&v == values ? "" : ", ") + v;
        db.Run(sql + ")");
    }
    db.Run("COMMIT");
}

// Every index of the table ("Sys Deleted" too) as its leaf entries; a broken tree
// fails the test.
std::vector<std::vector<std::pair<std::string, uint32_t>>> IndexEntries(SqlDatabase& db, const std::string& table) {
    TDataCursor cursor(&db.Dir());
    cursor.SetTableName(table);
    cursor.SetReadOnly(true);
    cursor.OpenCursor();
    std::vector<std::vector<std::pair<std::string, uint32_t>>> all;
    std::vector<uint8_t> slots;
    for (uint8_t slot = cursor.GetNoPrimaryIndex() ? 1 : 0; slot <= cursor.GetIndexCount(); ++slot) slots.push_back(slot);
    slots.push_back(SYS_DELETED_SLOT);
    for (const uint8_t slot : slots) {
        std::vector<TreeEntry> entries;
        EXPECT_EQ(CheckTree(cursor, slot, entries), "") << table << " index " << int(slot);
        all.emplace_back();
        for (const TreeEntry& e : entries) all.back().emplace_back(e.Key, e.Record);
    }
    cursor.CloseCursor(false);
    return all;
}

// A column whose source is a plain column of the same type is stored from the
// source's bytes; the same statement with a row limit runs through a result table
// and takes every value through evaluation and conversion. Both must leave
// the same table: records, memos, auto-increment values and every index, across
// NULLs, conversions, narrower and wider text columns, character-case rules and
// intermediate commits.
TEST(InsertSelectCopies, LeaveTheTableEvaluatedValuesLeave) {
    SqlDatabase db;
    FillTypedSource(db, 90);
    struct Case {
        const char* Layout;
        const char* Columns;  // target list, then the source's
        const char* Values;
    };
    const Case cases[] = {
        {"(k INTEGER, s CHAR(10), i SMALLINT, l LARGEINT, f FLOAT, c DECIMAL(12, 4), d DATE, b BOOLEAN, m MEMO, "
         "w CHAR(12), PRIMARY KEY (k))",
         "", "*"},
        {"(id AUTOINC, k FLOAT, s CHAR(10) CHARCASE UPPER, w CHAR(5), i INTEGER, c DECIMAL(12, 4), d DATE, m MEMO)",
         "(k, s, w, i, c, d, m)", "k, s, w, i, c, d, m"},
        {"(w CHAR(20), s CHAR(3), b BOOLEAN, l LARGEINT, f FLOAT)", "", "w, s, b, l, f"},
        {"(s CHAR(10) CHARCASE LOWER, w CHAR(6), k INTEGER)", "", "s, w, k + 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Layout);
        db.Run(std::string("CREATE TABLE copied ") + c.Layout + "; CREATE TABLE evaluated " + c.Layout);
        db.Run("CREATE INDEX byfirst ON copied (" + db.ColumnNames("copied")[1] + ")");
        db.Run("CREATE INDEX byfirst ON evaluated (" + db.ColumnNames("evaluated")[1] + ")");
        const std::string select = std::string(" SELECT ") + c.Values + " FROM src";
        EXPECT_EQ(db.Run(std::string("INSERT INTO copied ") + c.Columns + select + " COMMIT INTERVAL 7"), 90u);
        EXPECT_EQ(db.Run(std::string("INSERT INTO evaluated ") + c.Columns + select + " TOP 1000 COMMIT INTERVAL 7"), 90u);
        EXPECT_EQ(db.Rows("copied"), db.Rows("evaluated"));
        EXPECT_EQ(IndexEntries(db, "copied"), IndexEntries(db, "evaluated"));
        db.Run("DROP TABLE copied; DROP TABLE evaluated");
    }
    // The cuts themselves, independent of the evaluated way: never half of a
    // double-byte character, never past the column.
    db.Run("CREATE TABLE narrow (w CHAR(5) CHARCASE UPPER)");
    db.Run("CREATE TABLE words (k INTEGER, w CHAR(12)); "
           "INSERT INTO words VALUES (1, 'ab\x95\x5c\x83\x5c'); INSERT INTO words VALUES (2, 'a\x95\x5cxy'); "
           "INSERT INTO words VALUES (3, 'abcd\x95\x5c'); INSERT INTO words VALUES (4, 'a\x83\x5c')");
    EXPECT_EQ(db.Run("INSERT INTO narrow SELECT w FROM words"), 4u);
    EXPECT_EQ(db.Rows("narrow"), (Rows{"AB\x95\x5c", "A\x95\x5cXY", "ABCD", "A\x83\x5c"}));
}

class InsertSelectFaults : public ::testing::Test {
protected:
    void TearDown() override { platform::ArmFileFault({}); }
};

// A write that fails in any intermediate commit, or in the last one, leaves the
// rows of the commits before it and nothing else; the table stays whole and
// takes the statement again once the fault is gone.
TEST_F(InsertSelectFaults, AFailedWriteKeepsTheEarlierCommitsOnly) {
    SqlDatabase db;
    FillTypedSource(db, 30);
    const char* layout = "(k INTEGER, s CHAR(10), m MEMO, w CHAR(5), PRIMARY KEY (k))";
    const std::string insert = "INSERT INTO dst SELECT k, s, m, w FROM src COMMIT INTERVAL 10";
    db.Run(std::string("CREATE TABLE dst ") + layout);
    platform::ArmFileFault({});
    ASSERT_EQ(db.Run(insert), 30u);
    const uint64_t calls = platform::FileWriteCalls();
    const Rows all = db.Rows("dst");
    ASSERT_GT(calls, 3u);
    // The statement's scratch tables go with it, whichever write fails.
    std::string temp = db.Session().GetWorkPath();
    std::replace(temp.begin(), temp.end(), '\\', '/');
    const std::vector<std::string> scratch = FolderNames(temp);
    int failures = 0;
    for (uint64_t at = 1; at <= calls; ++at) {
        SCOPED_TRACE("write call " + std::to_string(at));
        db.Run("DROP TABLE dst");
        db.Run(std::string("CREATE TABLE dst ") + layout);
        platform::ArmFileFault({at, platform::FileFaultAction::Fail, 5});
        const TEngineErrorCode code = db.ErrorOf(insert).Code;
        platform::ArmFileFault({});
        if (code != 0) ++failures;
        EXPECT_EQ(FolderNames(temp), scratch);
        EXPECT_FALSE(db.Dir().InTransaction());
        const Rows rows = db.Rows("dst");
        ASSERT_LE(rows.size(), all.size());
        EXPECT_TRUE(std::equal(rows.begin(), rows.end(), all.begin()));
        if (code != 0) {
            EXPECT_EQ(rows.size() % 10, 0u) << rows.size();
        }
        {
            TDataCursor cursor(&db.Dir());
            cursor.SetTableName("dst");
            cursor.OpenCursor();
            cursor.SwitchToIndex(NATURAL_ORDER);
            const uint32_t count = cursor.GetTable()->GetRecordCount();
            EXPECT_EQ(count, rows.size());
            std::vector<TreeEntry> entries;
            EXPECT_EQ(CheckTree(cursor, 0, entries), "");
            EXPECT_EQ(entries.size(), count);
            cursor.CloseCursor(false);
        }
        // The rest goes in once the fault is gone.
        EXPECT_EQ(db.Run("INSERT INTO dst SELECT k, s, m, w FROM src WHERE k > " + std::to_string(rows.size())),
                  all.size() - rows.size());
        EXPECT_EQ(db.Rows("dst"), all);
    }
    EXPECT_GT(failures, 0);
}

// An abort from progress ends the statement after the row at hand, keeping what it
// wrote; the rows are those the copy would have written first.
TEST(InsertSelectCopies, AbortFromProgressKeepsTheRowsSoFar) {
    SqlDatabase db;
    FillTypedSource(db, 50);
    db.Run("CREATE TABLE dst (k INTEGER, s CHAR(10), m MEMO)");
    db.Session().SetProgressSteps(100);
    TQueryStatement statement(&db.Dir());
    int events = 0;
    statement.SetProgressEvent([&](TQueryStatement*, uint16_t, bool& abort) { abort = ++events == 3; });
    statement.Prepare("INSERT INTO dst SELECT k, s, m FROM src COMMIT INTERVAL 4");
    TDataCursor* cursor = nullptr;
    statement.Execute(cursor);
    const Rows rows = db.Rows("dst");
    EXPECT_EQ(statement.RowsAffected(), rows.size());
    ASSERT_GT(rows.size(), 0u);
    ASSERT_LT(rows.size(), 50u);
    db.Run("CREATE TABLE whole (k INTEGER, s CHAR(10), m MEMO)");
    db.Run("INSERT INTO whole SELECT k, s, m FROM src TOP 1000");
    const Rows whole = db.Rows("whole");
    EXPECT_TRUE(std::equal(rows.begin(), rows.end(), whole.begin()));
    EXPECT_FALSE(db.Dir().InTransaction());
}

}  // namespace

namespace {

// The appends of a run of rows share one write bracket of the target table. At
// every progress event, and after the statement however it ends, no bracket may
// be open; another program then reads exactly the rows of the commits so far
// and, once the statement is over, writes at its first attempt.
TEST(InsertSelectStretches, NoWriteBracketOutlivesARunAndAnotherProgramSeesWholeCommits) {
    SqlDatabase db;
    FillTypedSource(db, 300);
    TDataSession other;
    TDataDirectory* dir = other.OpenDataDirectory("OTHER", db.Path());
    auto otherRun = [&](const std::string& sql) {
        TQueryStatement statement(dir);
        statement.Prepare(sql);
        TDataCursor* cursor = nullptr;
        statement.Execute(cursor);
        const std::vector<std::string> rows = cursor ? SqlDatabase::VisibleRows(*cursor) : std::vector<std::string>{};
        return rows;
    };
    // How each statement ends: 'f' finished, from half-way on 'a' aborted by the
    // event or 'r' stopped by an exception it throws. 13 rows a commit: commits
    // and progress events fall on different rows.
    const std::pair<const char*, char> cases[] = {
        {"INSERT INTO dst SELECT k, s, m FROM src COMMIT INTERVAL 13", 'f'},
        {"INSERT INTO dst SELECT k, s, m FROM src TOP 1000 COMMIT INTERVAL 13", 'f'},
        {"INSERT INTO dst SELECT k, s, m FROM src COMMIT INTERVAL 13", 'a'},
        {"INSERT INTO dst SELECT k, s, m FROM src TOP 1000 COMMIT INTERVAL 13", 'r'},
        {"INSERT INTO dst SELECT k, s, m FROM src COMMIT INTERVAL 13", 'r'},
    };
    db.Session().SetProgressSteps(10);
    for (const auto& [text, ending] : cases) {
        // A table of its own per case: the other program keeps the last one open.
        const std::string dst = "dst" + std::to_string(&ending - &cases[0].second);
        std::string sql = text;
        sql.replace(sql.find("dst"), 3, dst);
        SCOPED_TRACE(sql + " ending " + ending);
        db.Run("CREATE TABLE " + dst + " (k INTEGER, s CHAR(10), m MEMO, PRIMARY KEY (k))");
        TDataTable* ours = nullptr;
        ASSERT_EQ(db.Dir().OpenTable(dst, ours, false, false, false, false, false, false), 0);
        int events = 0;
        TQueryStatement statement(&db.Dir());
        statement.SetProgressEvent([&](TQueryStatement*, uint16_t percent, bool& abort) {
            EXPECT_FALSE(ours->IsWriteLocked());
            ++events;
            const bool late = percent >= 50 && percent < 100;
            abort = late && ending == 'a';
            if (late && ending == 'r') throw std::runtime_error("stop");
            if (percent >= 100 || abort) return;
            const Rows seen = otherRun("SELECT COUNT(*) FROM " + dst);
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(std::stoi(seen[0]) % 13, 0) << seen[0];
        });
        statement.Prepare(sql);
        TDataCursor* cursor = nullptr;
        if (ending == 'r')
            EXPECT_THROW(statement.Execute(cursor), std::runtime_error);
        else
            statement.Execute(cursor);
        EXPECT_GE(events, ending == 'f' ? 9 : 5);
        EXPECT_FALSE(ours->IsWriteLocked());
        EXPECT_EQ(ours->GetWriteDepth(), 0u);
        EXPECT_FALSE(db.Dir().InTransaction());
        const Rows rows = db.Rows(dst);
        EXPECT_EQ(otherRun("SELECT COUNT(*) FROM " + dst), Rows{std::to_string(rows.size())});
        EXPECT_TRUE(ending != 'f' || rows.size() == 300u) << rows.size();
        {
            std::vector<TreeEntry> entries;
            TDataCursor check(&db.Dir());
            check.SetTableName(dst);
            check.OpenCursor();
            EXPECT_EQ(CheckTree(check, SYS_DELETED_SLOT, entries), "");
            EXPECT_EQ(entries.size(), rows.size());
            check.CloseCursor(false);
        }
        // Nothing of the statement holds the other program off now.
        TDataTable* theirs = nullptr;
        ASSERT_EQ(dir->OpenTable(dst, theirs, false, false, false, false, false, false), 0);
        theirs->SemaphoreAttempts = 1;
        theirs->GetIndexFile().LockAttempts = 1;
        otherRun("INSERT INTO " + dst + " (k) VALUES (100000)");
        dir->CloseTable(theirs, false, false, false);
        db.Dir().CloseTable(ours, false, false, false);
    }
}

}  // namespace

namespace {

// Long runs of appends split leaves and grow every tree ("Sys Deleted" too) by a
// level inside one shared write bracket: the copying statement and the evaluating
// one must leave the same sound trees, with intermediate commits falling inside
// the runs and at their ends.
TEST(InsertSelectCopies, LongRunsSplitLeavesAndGrowTheTreesAlike) {
    SqlDatabase db;
    FillTypedSource(db, 90);
    // 90 rows doubled six times; the keys stay unique.
    for (int k = 90; k < 5760; k *= 2)
        db.Run("INSERT INTO src SELECT k + " + std::to_string(k) + ", s, i, l, f, c, d, b, m, w FROM src");
    const char* layout = " (k INTEGER, s CHAR(10), l LARGEINT, w CHAR(12), PRIMARY KEY (k))";
    db.Run(std::string("CREATE TABLE copied") + layout + "; CREATE TABLE evaluated" + layout);
    db.Run("CREATE INDEX byw ON copied (w); CREATE INDEX byw ON evaluated (w)");
    EXPECT_EQ(db.Run("INSERT INTO copied SELECT k, s, l, w FROM src COMMIT INTERVAL 700"), 5760u);
    EXPECT_EQ(db.Run("INSERT INTO evaluated SELECT k, s, l, w FROM src TOP 100000 COMMIT INTERVAL 640"), 5760u);
    EXPECT_EQ(db.Rows("copied"), db.Rows("evaluated"));
    EXPECT_EQ(IndexEntries(db, "copied"), IndexEntries(db, "evaluated"));
    TDataCursor cursor(&db.Dir());
    cursor.SetTableName("copied");
    cursor.SetReadOnly(true);
    cursor.OpenCursor();
    for (const uint8_t slot : {uint8_t{0}, uint8_t{SYS_DELETED_SLOT}}) {
        TIndexFile& file = cursor.GetTable()->GetIndexFile();
        TestIndexCursor walker(file, slot);
        TreeChecker checker(file, walker);
        std::vector<TreeEntry> entries;
        EXPECT_EQ(checker.Check(entries, false), "");
        EXPECT_EQ(entries.size(), 5760u);
        EXPECT_GE(checker.Height(), 2) << "index " << int(slot);
    }
    cursor.CloseCursor(false);
}

}  // namespace

namespace {

// Whole by the rules every table keeps, and the same as its twin.
void ExpectWholeAndAlike(SqlDatabase& db, const std::string& table, const std::string& twin) {
    for (const std::string& name : {table, twin}) {
        SCOPED_TRACE(name);
        TDataCursor cursor(&db.Dir());
        cursor.SetTableName(name);
        cursor.SetReadOnly(true);
        cursor.OpenCursor();
        std::vector<Slot> slots;
        CheckSlotsAndKeys(cursor, slots);
        cursor.CloseCursor(false);
    }
    EXPECT_EQ(db.Rows(table), db.Rows(twin));
    EXPECT_EQ(IndexEntries(db, table), IndexEntries(db, twin));
}

// The rows a run appends have their row identifiers filed in "Sys Deleted"
// together when the run ends. Twin tables take the same random rounds of copies
// and deletions; in one of them a sub-query reads the target, which keeps every
// row filed on its own. Deleted slots put keys above the appended ones, so runs
// end at a bound inside the tree; a primary key makes appends reuse deleted
// slots; short and long commit intervals end runs anywhere, and the trees grow by
// levels. A copy that fails on a duplicate key inside the caller's transaction
// keeps the rows before it, filed.
TEST(InsertSelectRowIds, FiledTogetherAsEachOnItsOwn) {
    SqlDatabase db;
    FillTypedSource(db, 90);
    for (int k = 90; k < 1440; k *= 2)
        db.Run("INSERT INTO src SELECT k + " + std::to_string(k) + ", s, i, l, f, c, d, b, m, w FROM src");
    const char* layouts[] = {
        " (k INTEGER, s CHAR(10), w CHAR(12))",
        " (k INTEGER, s CHAR(10), w CHAR(12), PRIMARY KEY (k))",
        " (id AUTOINC, k INTEGER, s CHAR(10), w CHAR(12))",
    };
    std::mt19937 random(3434);
    for (const char* layout : layouts) {
        SCOPED_TRACE(layout);
        db.Run(std::string("CREATE TABLE together") + layout + "; CREATE TABLE single" + layout);
        if (std::string(layout).find("id AUTOINC") != std::string::npos)
            db.Run("CREATE INDEX byw ON together (w); CREATE INDEX byw ON single (w)");
        const std::string columns = std::string(layout).find("id AUTOINC") != std::string::npos ? " (k, s, w)" : "";
        int offset = 0;
        for (int round = 0; round < 12; ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            const int from = static_cast<int>(random() % 1440) + 1;
            const int to = from + static_cast<int>(random() % 1440);
            const int interval = std::array{1, 3, 50, 700}[random() % 4];
            if (round % 3 == 2) {
                std::string where = " WHERE k < 0";
                for (int range = 0; range < 3; ++range) {
                    const int low = 10000 + static_cast<int>(random() % static_cast<unsigned>(offset + 1440));
                    where += " OR (k > " + std::to_string(low) + " AND k < " +
                             std::to_string(low + 1 + static_cast<int>(random() % 300)) + ")";
                }
                EXPECT_EQ(db.Run("DELETE FROM together" + where), db.Run("DELETE FROM single" + where));
            } else {
                offset += 10000;
                auto copy = [&](const std::string& target, const std::string& reader) {
                    return "INSERT INTO " + target + columns + " SELECT k + " + std::to_string(offset) +
                           ", s, w FROM src WHERE k BETWEEN " + std::to_string(from) + " AND " + std::to_string(to) +
                           " AND k NOT IN (SELECT k FROM " + reader + " WHERE k < 0) COMMIT INTERVAL " +
                           std::to_string(interval);
                };
                EXPECT_EQ(db.Run(copy("together", "src")), db.Run(copy("single", "single")));
            }
            ExpectWholeAndAlike(db, "together", "single");
        }
        // A duplicate key half-way through, inside the caller's transaction.
        if (std::string(layout).find("PRIMARY") != std::string::npos) {
            for (const std::string target : {"together", "single"}) {
                db.Run("START TRANSACTION");
                db.Run("INSERT INTO " + target + " VALUES (-100, 'x', 'x')");
                const std::string reader = target == "together" ? "src" : target;
                // Keys -199 to -60: -100 is taken, 99 rows before it go in.
                EXPECT_EQ(db.ErrorOf("INSERT INTO " + target + " SELECT k - 1500, s, w FROM src WHERE k > 1300 AND k "
                                     "NOT IN (SELECT k FROM " + reader + " WHERE k < -5000)").Code,
                          KURA_KEYVIOL);
                db.Run("COMMIT");
            }
            ExpectWholeAndAlike(db, "together", "single");
        }
        TDataCursor cursor(&db.Dir());
        cursor.SetTableName("together");
        cursor.SetReadOnly(true);
        cursor.OpenCursor();
        std::vector<TreeEntry> entries;
        TIndexFile& file = cursor.GetTable()->GetIndexFile();
        TestIndexCursor walker(file, SYS_DELETED_SLOT);
        TreeChecker checker(file, walker);
        EXPECT_EQ(checker.Check(entries, false), "");
        EXPECT_GE(checker.Height(), 2);
        cursor.CloseCursor(false);
        db.Run("DROP TABLE together; DROP TABLE single");
    }
}

}  // namespace
