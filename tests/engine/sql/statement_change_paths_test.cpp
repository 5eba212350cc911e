// UPDATE and DELETE take shortcuts when they can: rows marked from the keys of
// their range alone, each row read once when its lock was taken ahead, indexes
// whose key fields a write leaves alone not touched. The same statement, made to
// take the general way (a condition the range does not cover, one row per
// stretch so that nothing is locked ahead), must leave the same table; and every
// index must read like one built afresh from the records. A joined UPDATE finds
// the records of a join key in memory where it can (another name of the changed
// table through a copy ordered by its index, the changed table under another
// driving table through a key kept up to date with its changes, a text column no
// index serves through a key made for the statement); the general way joins on an
// expression (%S, %N) that no index and no key serves. Every other case runs the
// shortcut with a transaction memory of a few bytes, so that what the statement
// keeps of its rows goes to its spill file.
#include <string>
#include <vector>

#include "engine/core/DataDirectory.h"
#include "engine/core/DataTable.h"
#include "tests/common/EngineTestSupport.h"
#include "tests/engine/sql/StatementTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

using Rows = std::vector<std::string>;

// Code page 932 names whose second bytes are 0x5C (ソ, 表, 能).
const std::string kNames[] = {"\x83\x5C", "\x95\x5C\x83\x5C", "ab\x94\x5C", "\x83\x5Cz"};

void CreateTable(SqlDatabase& db, const std::string& table) {
    db.Run("CREATE TABLE " + table +
           " (k INTEGER, name CHAR(20), n INTEGER, code INTEGER, label CHAR(20), note MEMO, PRIMARY KEY (k))");
    db.Run("CREATE INDEX byname ON " + table + " (name)");
    db.Run("CREATE INDEX bycode ON " + table + " (code)");
}

void Fill(SqlDatabase& db, const std::string& table, int rows) {
    CreateTable(db, table);
    db.Run("START TRANSACTION");
    for (int k = 1; k <= rows; ++k) {
        const std::string n = k % 5 == 0 ? "NULL" : std::to_string(k % 7);
        const std::string code = k % 6 == 0 ? "NULL" : std::to_string(k % 4);
        const std::string name = kNames[k % 4] + std::to_string(k % 3);
        db.Run("INSERT INTO " + table + " VALUES (" + std::to_string(k) + ", '" + name + "', " + n + ", " + code +
               ", '" + name + "', 'n" + std::to_string(k) + "')");
    }
    db.Run("COMMIT");
}

// Every index of the table walked in its order, each row given as its key fields.
std::vector<Rows> IndexWalks(SqlDatabase& db, const std::string& table) {
    TDataCursor cursor(&db.Dir());
    cursor.SetTableName(table);
    cursor.SetReadOnly(true);
    cursor.OpenCursor();
    std::vector<uint8_t> record(cursor.GetCursorRecordSize() + 16, 0);
    std::vector<Rows> walks;
    for (uint8_t slot = 0; slot <= cursor.GetIndexCount(); ++slot) {
        TIndexDesc desc;
        cursor.GetIndexDesc(slot, desc);
        cursor.SwitchToIndex(slot);
        cursor.SetToBegin();
        Rows walk;
        while (cursor.GetNextRecord(record.data()) == 0) {
            std::string keys;
            for (int i = 0; i < desc.GetFieldCount(); ++i)
                keys += CursorFieldText(cursor, desc.GetField(i), record.data()) + "|";
            walk.push_back(keys);
        }
        walks.push_back(walk);
    }
    cursor.CloseCursor(false);
    return walks;
}

// The walks of indexes built from scratch over a copy of the table's records.
std::vector<Rows> FreshIndexWalks(SqlDatabase& db, const std::string& table) {
    CreateTable(db, "fresh");
    db.Run("INSERT INTO fresh SELECT * FROM " + table);
    std::vector<Rows> walks = IndexWalks(db, "fresh");
    db.Run("DROP TABLE fresh");
    return walks;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

TEST(ChangePaths, ShortcutsLeaveWhatTheGeneralWayLeaves) {
    struct Case {
        const char* statement;  // on table %T; WHERE last
        uint16_t abortAt;       // progress percent at which to stop; 0: never
        int deleteAtProgress;   // k of a row another cursor deletes at the first progress event; 0: none
        int rows = 60;          // enough for several index leaves: 2000
    };
    const std::string cp932 = "\x83\x5C\x95\x5C";
    const std::string renameTen = "UPDATE %T SET name = '" + cp932 + "' WHERE k >= 10 AND k <= 20";
    const Case cases[] = {
        {"UPDATE %T SET n = n + 1 WHERE k <= 30", 0, 0},
        {renameTen.c_str(), 0, 0},
        // Changes the primary key of the rows it walks.
        {"UPDATE %T SET k = k + 100 WHERE k <= 12", 0, 0},
        // The code index holds blank keys below the range: they are no rows of it.
        {"UPDATE %T SET n = NULL, code = 9 WHERE code <= 1", 0, 0},
        {"UPDATE %T SET code = NULL, n = n - 1 WHERE code = 2", 0, 0},
        {"UPDATE %T SET n = k WHERE code >= 3", 0, 0},
        {"DELETE FROM %T WHERE k >= 25 AND k <= 35", 0, 0},
        // Gone after the rows were marked, before they were written.
        {"UPDATE %T SET n = 0 WHERE k >= 20", 0, 50},
        {"DELETE FROM %T WHERE k <= 40", 0, 33},
        // Stopped halfway: the rows so far stay written, the others untouched.
        {"UPDATE %T SET n = n * 2, name = 'x' WHERE k >= 30", 40, 0},
        // The keys of many leaves, blank ones among them, rewritten as they are walked.
        {"UPDATE %T SET n = n + 1, code = 7 WHERE code <= 2", 0, 0, 2000},
        {"UPDATE %T SET n = %T.n * 2 + COALESCE(s.n, 1) FROM %T INNER JOIN %T s ON s.name%S = %T.name WHERE %T.k <= 40",
         0, 0},
        {"UPDATE %T SET name = s.name + 'x', n = s.n FROM %T INNER JOIN %T s ON s.name%S = %T.name WHERE s.k >= %T.k",
         0, 0},
        {"UPDATE %T SET n = %T.n + 1 FROM %T INNER JOIN %T s ON s.name%S = %T.name WHERE s.code = 1", 0, 0},
        // Few targets among many records: the other name reads through its key range,
        // a record the rows changed as it was before.
        {"UPDATE %T SET n = %T.n + COALESCE(s.n, 1) FROM %T INNER JOIN %T s ON s.name%S = %T.name WHERE %T.k <= 20",
         0, 0, 2000},
        {"UPDATE %T SET n = %T.n + 1 FROM %T INNER JOIN %T s ON s.name%S = %T.name WHERE %T.k <= 20", 0, 0, 2000},
        {"UPDATE %T SET code = %T.code + 1, n = r.n FROM %T INNER JOIN %T s ON s.k = %T.k RIGHT OUTER JOIN %T r ON "
         "r.code = %T.code%N AND r.k <= s.k WHERE r.k > 0", 0, 0},
        // A text column no index serves; the key the rows find their partner by
        // written, by a text and through an index: each partner as it was, memo too.
        {"UPDATE %T SET n = %T.n + COALESCE(s.n, 1) FROM %T INNER JOIN %T s ON s.label%S = %T.label WHERE %T.k <= 40",
         0, 0},
        {"UPDATE %T SET label = s.label + 'x', n = s.n FROM %T INNER JOIN %T s ON s.label%S = %T.label WHERE s.k >= %T.k",
         0, 0},
        // Few targets among many records: the index serves the other name, but
        // a row writes its key.
        {"UPDATE %T SET name = s.name + 'x', n = COALESCE(%T.n, 0) + COALESCE(s.n, 1) FROM %T INNER JOIN %T s ON "
         "s.name%S = %T.name WHERE %T.k <= 20",
         0, 0, 2000},
        {"UPDATE %T SET code = s.n, n = %T.code FROM %T INNER JOIN %T s ON s.code%N = %T.code WHERE s.k = %T.k + 4", 0,
         0},
        {"UPDATE %T SET k = %T.k + 5000, n = COALESCE(s.n, 0) + %T.k, note = s.note + '/' + %T.note FROM %T INNER JOIN "
         "%T s ON s.k%N = %T.k - 1 WHERE %T.k > 0",
         0, 0},
        // Two other names, each as it was: one found by a key that carries what is
        // read of it, one whose memo no key carries.
        {"UPDATE %T SET n = COALESCE(s.n, 0) + 1, note = r.note + 'x' FROM %T INNER JOIN %T r ON r.n%N = %T.code "
         "INNER JOIN %T s ON s.label%S = %T.label WHERE %T.k > 0",
         0, 0},
    };
    bool small = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.statement);
        SqlDatabase db;
        db.Session().SetProgressSteps(10);
        Fill(db, "fast", c.rows);
        Fill(db, "general", c.rows);
        auto run = [&](const std::string& table, const std::string& text) {
            TQueryStatement statement(&db.Dir());
            bool deleted = false;
            statement.SetProgressEvent([&](TQueryStatement*, uint16_t percent, bool& abort) {
                if (c.deleteAtProgress != 0 && !deleted) {
                    deleted = true;
                    EXPECT_EQ(db.Run("DELETE FROM " + table + " WHERE k = " + std::to_string(c.deleteAtProgress)), 1u);
                }
                if (c.abortAt != 0 && percent >= c.abortAt) abort = true;
            });
            statement.Prepare(text);
            TDataCursor* cursor = nullptr;
            statement.Execute(cursor);
            return statement.RowsAffected();
        };
        const std::string fast = Replace(Replace(Replace(c.statement, "%T", "fast"), "%S", ""), "%N", "");
        // A condition no range covers, and intermediate commits after every row.
        const std::string general =
            Replace(Replace(Replace(c.statement, "%T", "general"), "%S", " + ''"), "%N", " + 0") +
            " AND 1 = 1 COMMIT INTERVAL 1";
        small = !small;
        db.Session().TransactionMemory = small ? 64 : DEFAULT_TRANSACTION_MEMORY;
        const uint32_t fastRows = run("fast", fast);
        db.Session().TransactionMemory = DEFAULT_TRANSACTION_MEMORY;
        const uint32_t generalRows = run("general", general);
        EXPECT_EQ(fastRows, generalRows);
        EXPECT_GT(fastRows, 0u);
        EXPECT_EQ(db.Rows("fast"), db.Rows("general"));
        const std::vector<Rows> walks = IndexWalks(db, "fast");
        EXPECT_EQ(walks, IndexWalks(db, "general"));
        EXPECT_EQ(walks, FreshIndexWalks(db, "fast"));
        ASSERT_EQ(walks.size(), 3u);
        EXPECT_EQ(walks[0].size(), db.Rows("fast").size());
    }
}

}  // namespace

// A range reads only its rows however it is written: BETWEEN, two or three
// comparisons, a constant on either side, the narrower of two bounds on one side
// kept whichever comes first, float bounds ordered as numbers, an equality on
// another column before or after the range. Each spelling asks the table for as
// many records as its plain form and finds the same rows, in SELECT, COUNT(*),
// UPDATE and DELETE (the last two rolled back).
TEST(ChangePaths, ARangeReadsOnlyItsRowsHoweverItIsWritten) {
    SqlDatabase db;
    db.Run("CREATE TABLE r (k INTEGER, x FLOAT, s CHAR(8), n INTEGER, PRIMARY KEY (k))");
    db.Run("CREATE INDEX byx ON r (x); CREATE INDEX bys ON r (s); START TRANSACTION");
    for (int k = 1; k <= 200; ++k)
        db.Run("INSERT INTO r VALUES (" + std::to_string(k) + ", " + std::to_string(k) + ".25, 's" +
               std::to_string(1000 + k).substr(1) + "', " + std::to_string(k % 3) + ")");
    db.Run("COMMIT");
    TDataCursor watch(&db.Dir());
    watch.SetTableName("r");
    watch.OpenCursor();
    // The rows a statement finds or changes (rolled back) and the records it asked for.
    auto run = [&](const std::string& sql) {
        const uint32_t before = watch.GetTable()->GetDataFile().Statistics().RecordRequests;
        db.Run("START TRANSACTION");
        const std::string rows = sql[0] == 'S' ? ::testing::PrintToString(db.Select(sql)) : std::to_string(db.Run(sql));
        db.Run("ROLLBACK");
        return std::make_pair(rows, watch.GetTable()->GetDataFile().Statistics().RecordRequests - before);
    };
    const std::vector<std::vector<std::string>> spellings = {  // the plain form first
        {"k > 40 AND k < 50", "40 < k AND 50 > k", "k > 2 AND k > 40 AND k < 50", "k < 50 AND 90 > k AND k > 40",
         "k > 40 AND k > 2 AND k < 90 AND k < 50"},
        {"k >= 41 AND k <= 49", "k BETWEEN 41 AND 49", "49 >= k AND 41 <= k"},
        {"x > 40.25 AND x < 49.5", "x > 0.25 AND x > 40.25 AND x < 90.5 AND x < 49.5",
         "x < 49.5 AND 90.5 > x AND 40.25 < x AND 0.25 < x"},
        {"x >= 41.25 AND x <= 49.25", "x BETWEEN 41.25 AND 49.25"},
        {"s >= 's040' AND s < 's050'", "'s040' <= s AND s < 's090' AND 's050' > s"},
        {"s >= 's041' AND s <= 's049'", "s BETWEEN 's041' AND 's049'"},
        // An equality on another column keeps the range from answering alone.
        {"n = 0 AND k >= 41 AND k <= 49", "n = 0 AND k BETWEEN 41 AND 49", "k BETWEEN 41 AND 49 AND n = 0",
         "n = 0 AND 49 >= k AND 41 <= k"}};
    for (const auto& forms : spellings)
        for (const std::string statement : {"SELECT k FROM r", "SELECT COUNT(*) FROM r", "UPDATE r SET n = 1",
                                            "DELETE FROM r"}) {
            const auto plain = run(statement + " WHERE " + forms[0]);
            EXPECT_NE(plain.first, "0") << statement << " WHERE " << forms[0];
            for (std::size_t i = 1; i < forms.size(); ++i)
                EXPECT_EQ(run(statement + " WHERE " + forms[i]), plain) << statement << " WHERE " << forms[i];
        }
}
