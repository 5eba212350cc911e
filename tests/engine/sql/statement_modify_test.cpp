// INSERT, UPDATE and DELETE through the statement object: values, conversions,
// WHERE, key changes, failures and commit intervals, checked row by row.
#include "tests/engine/sql/StatementTestSupport.h"

#include <array>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <tuple>

#include "engine/core/DataDirectory.h"
#include "platform/CodePage.h"
#include "platform/FileCalls.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

using Rows = std::vector<std::string>;

class Modify : public ::testing::Test {
protected:
    void SetUp() override {
        db.Run("CREATE TABLE t (k INTEGER, name CHAR(6), n INTEGER, PRIMARY KEY (k))");
        for (int k = 1; k <= 5; ++k) {
            db.Run("INSERT INTO t VALUES (" + std::to_string(k) + ", 'n" + std::to_string(k) + "', " +
                   std::to_string(k * 10) + ")");
        }
    }
    SqlDatabase db;
};

TEST_F(Modify, InsertValuesWithNullsAndColumnLists) {
    EXPECT_EQ(db.Run("INSERT INTO t (k, n) VALUES (6, NULL)"), 1u);
    EXPECT_EQ(db.Run("INSERT INTO t (name, k) VALUES ('x', 7)"), 1u);
    const Rows rows = db.Rows("t");
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows[5], "6|NULL|NULL");
    EXPECT_EQ(rows[6], "7|x|NULL");
}

TEST_F(Modify, LongStringsAreCutToTheColumn) {
    // Into CHAR(6), by INSERT and by UPDATE: never past the column, and never half
    // of a double-byte character of code page 932, whose lead bytes are 0x81-0x9F
    // and 0xE0-0xFC (0xA1-0xDF are single-byte katakana).
    const std::string a = "\x82\xa0", i = "\x82\xa2", u = "\x82\xa4";  // あいう
    const std::string rin = "\xea\xa3";                                  // 凜
    const std::string ka = "\xb1";                                        // ｱ
    const std::pair<std::string, std::string> cases[] = {
        {"abcdefghijklmnop", "abcdef"},
        {"a" + a + i + u, "a" + a + i},
        {"a" + rin + rin + rin, "a" + rin + rin},
        {rin + rin + rin + "x", rin + rin + rin},
        {"abcde" + rin, "abcde"},
        {"ab" + ka + ka + ka + ka + ka, "ab" + ka + ka + ka + ka},
        {ka + rin + rin + rin, ka + rin + rin},
    };
    int key = 100;
    for (const auto& [text, kept] : cases) {
        SCOPED_TRACE(text);
        ++key;
        db.Run("INSERT INTO t VALUES (" + std::to_string(key) + ", '" + text + "', 0)");
        EXPECT_EQ(db.Rows("t").back(), std::to_string(key) + "|" + kept + "|0");
        db.Run("UPDATE t SET name = '" + text + "' WHERE k = 1");
        EXPECT_EQ(db.Rows("t")[0], "1|" + kept + "|10");
        // Computed from the column: cut again on a character boundary.
        db.Run("UPDATE t SET name = name + name WHERE k = 1");
        const std::string row = db.Rows("t")[0];
        const std::string name = row.substr(2, row.size() - 5);
        EXPECT_EQ(row.substr(0, 2 + kept.size()), "1|" + kept);
        EXPECT_LE(name.size(), 6u);
        EXPECT_EQ(platform::Utf8ToCp932(platform::Cp932ToUtf8(name)), name) << "a character was split";
    }
}

TEST_F(Modify, ValueMessages) {
    struct Case {
        const char* sql;
        const char* message;
    };
    const Case cases[] = {
        {"INSERT INTO t VALUES (1, 'a')", "The number of values must match the number of table columns"},
        {"INSERT INTO t (k, zz) VALUES (1, 2)",
         "Invalid column name 'zz' or table correlation name '' specified in table columns"},
        // A value's text is quoted once, whatever the value.
        {"UPDATE t SET n = 'text'", "Type mismatch between column 'n' and constant 'text' in update values"},
        {"INSERT INTO t VALUES (1, 'a', 'text')", "Type mismatch between column 'n' and constant 'text' in update values"},
        {"UPDATE t SET name = 12", "Type mismatch between column 'name' and constant '12' in update values"},
        {"UPDATE t SET n = name", "Type mismatch between column 'n' and column 'name' in update values"},
        {"UPDATE t SET n = 1 WHERE name", "WHERE or JOIN clause must be a boolean expression"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        const SqlError error = db.ErrorOf(c.sql);
        EXPECT_EQ(error.Code, KURA_SQLPARSE);
        EXPECT_EQ(error.Message, c.message);
    }
    EXPECT_EQ(db.Rows("t").size(), 5u);
}

TEST_F(Modify, DateStringsAreConvertedWhenPlanned) {
    db.Run("CREATE TABLE d (id INTEGER, born DATE)");
    db.Run("INSERT INTO d VALUES (1, '2001-02-03')");
    const Rows rows = db.Rows("d");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_NE(rows[0], "1|NULL");
    const SqlError bad = db.ErrorOf("INSERT INTO d VALUES (2, 'no date')");
    EXPECT_EQ(bad.Code, KURA_SQLPARSE);
    EXPECT_EQ(bad.Message, "Date, time, or timestamp expression expected, instead found 'no date' in update values");
    EXPECT_EQ(db.ErrorOf("UPDATE d SET born = 'x'").Message,
              "Date, time, or timestamp expression expected, instead found 'x' in update values");
}

TEST_F(Modify, UpdateWithWhereChangesExactlyTheMatchingRows) {
    EXPECT_EQ(db.Run("UPDATE t SET n = n + 1, name = 'odd' WHERE k = 1 OR k = 3 OR k = 5"), 3u);
    EXPECT_EQ(db.Rows("t"), (Rows{"1|odd|11", "2|n2|20", "3|odd|31", "4|n4|40", "5|odd|51"}));
    EXPECT_EQ(db.Run("UPDATE t SET n = NULL WHERE n > 100"), 0u);
    EXPECT_EQ(db.Run("UPDATE t SET n = NULL WHERE k >= 4"), 2u);
    EXPECT_EQ(db.Rows("t"), (Rows{"1|odd|11", "2|n2|20", "3|odd|31", "4|n4|NULL", "5|odd|NULL"}));
}

TEST_F(Modify, WhereWithSubSelects) {
    db.Run("CREATE TABLE gone (k INTEGER); INSERT INTO gone VALUES (2); INSERT INTO gone VALUES (4)");
    EXPECT_EQ(db.Run("UPDATE t SET n = 0 WHERE k NOT IN (SELECT k FROM gone)"), 3u);
    EXPECT_EQ(db.Run("DELETE FROM t WHERE k IN (SELECT k FROM gone)"), 2u);
    EXPECT_EQ(db.Rows("t"), (Rows{"1|n1|0", "3|n3|0", "5|n5|0"}));
}

TEST_F(Modify, UpdateAndDeleteOverJoinedTables) {
    db.Run("CREATE TABLE bonus (id INTEGER, extra INTEGER);"
           "INSERT INTO bonus VALUES (2, 5); INSERT INTO bonus VALUES (4, 7); INSERT INTO bonus VALUES (4, 9)");
    // Row 4 meets two bonus rows: each is applied, the second on the first's
    // result, and the record counts once.
    EXPECT_EQ(db.Run("UPDATE t SET n = n + b.extra FROM t, bonus b WHERE t.k = b.id"), 2u);
    EXPECT_EQ(db.Rows("t"), (Rows{"1|n1|10", "2|n2|25", "3|n3|30", "4|n4|56", "5|n5|50"}));
    EXPECT_EQ(db.Run("UPDATE t SET name = 'joined' FROM t INNER JOIN bonus ON t.k = bonus.id WHERE bonus.extra > 8"),
              1u);
    EXPECT_EQ(db.Rows("t")[3], "4|joined|56");
    // A record's joined rows come in the record order of the joined table, also
    // where its index (here keyed by text) holds them otherwise: the slot freed
    // by the deleted row takes the last one appended.
    db.Run("CREATE TABLE jt (id CHAR(2), v INTEGER); INSERT INTO jt VALUES ('a', 0); INSERT INTO jt VALUES ('b', 5);"
           "CREATE TABLE js (n INTEGER, k CHAR(2), x INTEGER, PRIMARY KEY (n)); CREATE INDEX byk ON js (k);"
           "INSERT INTO js VALUES (1, 'a', 10); INSERT INTO js VALUES (2, 'z', 0); INSERT INTO js VALUES (3, 'a', 30);"
           "DELETE FROM js WHERE k = 'z'; INSERT INTO js VALUES (4, 'a', 20)");
    EXPECT_EQ(db.Rows("js"), (Rows{"1|a|10", "4|a|20", "3|a|30"}));
    EXPECT_EQ(db.Run("UPDATE jt SET v = js.x FROM jt INNER JOIN js ON jt.id = js.k"), 1u);
    EXPECT_EQ(db.Rows("jt"), (Rows{"a|30", "b|5"}));
    // Row b's first joined row makes its v 510, which its later rows no longer accept.
    EXPECT_EQ(db.Run("UPDATE jt SET v = v * 100 + js.x FROM jt, js WHERE jt.id = js.k OR jt.v = 5"), 2u);
    EXPECT_EQ(db.Rows("jt"), (Rows{"a|30102030", "b|510"}));
    EXPECT_EQ(db.Run("START TRANSACTION; UPDATE jt SET v = js.x FROM jt, js WHERE jt.id = js.k COMMIT INTERVAL 1;"
                     "ROLLBACK"),
              0u);
    EXPECT_EQ(db.Rows("jt"), (Rows{"a|10", "b|510"}));
    // A null row reads NULL; a later joined row that fails undoes the statement.
    EXPECT_EQ(db.Run("UPDATE jt SET v = COALESCE(js.x, -1) FROM jt LEFT OUTER JOIN js ON jt.id = js.k"), 2u);
    EXPECT_EQ(db.Rows("jt"), (Rows{"a|30", "b|-1"}));
    db.Run("CREATE UNIQUE INDEX byv ON jt (v); UPDATE jt SET v = 20 WHERE id = 'b'");
    EXPECT_EQ(db.ErrorOf("UPDATE jt SET v = js.x FROM jt, js WHERE jt.id = js.k").Code, KURA_KEYVIOL);
    EXPECT_EQ(db.Rows("jt"), (Rows{"a|30", "b|20"}));
    // Memos of the joined rows as they were before the statement, a self-join's too.
    db.Run("CREATE TABLE jm (k CHAR(2), m MEMO); INSERT INTO jm VALUES ('a', 'one'); INSERT INTO jm VALUES ('a', 'two')");
    EXPECT_EQ(db.Run("UPDATE jm SET m = m + '/' + j.m FROM jm, jm j WHERE jm.k = j.k AND jm.m + j.k <> 'x'"), 2u);
    EXPECT_EQ(db.Rows("jm"), (Rows{"a|one/one/two", "a|two/one/two"}));
    // Each written memo of the copy kept apart, the record's other one too.
    db.Run("CREATE TABLE jn (k CHAR(2), m MEMO, p MEMO); INSERT INTO jn VALUES ('a', 'one', 'uno');"
           "INSERT INTO jn VALUES ('b', 'two', 'dos')");
    EXPECT_EQ(db.Run("UPDATE jn SET m = j.p, p = j.m FROM jn INNER JOIN jn j ON j.k = jn.k"), 2u);
    EXPECT_EQ(db.Rows("jn"), (Rows{"a|uno|one", "b|dos|two"}));
    // The other name found through an index on the key the UPDATE writes, a memo
    // written too: each partner by its key and its memo as they were at the start.
    db.Run("CREATE TABLE jk (k INTEGER, m MEMO); CREATE INDEX byk ON jk (k); INSERT INTO jk VALUES (1, 'one');"
           "INSERT INTO jk VALUES (2, 'two'); INSERT INTO jk VALUES (3, 'three'); INSERT INTO jk VALUES (4, 'four')");
    EXPECT_EQ(db.Run("UPDATE jk SET k = jk.k + 1, m = s.m + '/' + jk.m FROM jk INNER JOIN jk s ON s.k = jk.k - 1"), 3u);
    EXPECT_EQ(db.Rows("jk"), (Rows{"1|one", "3|one/two", "4|two/three", "5|three/four"}));
    // A key made for the statement (a transaction memory of a few bytes) keeps an
    // integer as itself and a NULL hashed: this number's key is the NULL's, and
    // still only its own record joins it.
    db.Session().TransactionMemory = 64;
    db.Run("CREATE TABLE hn (id INTEGER, v INTEGER); CREATE TABLE hk (j INTEGER, w INTEGER);"
           "INSERT INTO hn VALUES (1621885944, 0); INSERT INTO hk VALUES (NULL, 7); INSERT INTO hk VALUES (1621885944, 5)");
    EXPECT_EQ(db.Run("UPDATE hn SET v = v * 10 + hk.w FROM hn INNER JOIN hk ON hk.j = hn.id"), 1u);
    EXPECT_EQ(db.Rows("hn"), (Rows{"1621885944|5"}));
    db.Session().TransactionMemory = DEFAULT_TRANSACTION_MEMORY;
    EXPECT_EQ(db.Run("DELETE FROM t, bonus WHERE t.k = bonus.id AND bonus.extra < 6"), 1u);
    EXPECT_EQ(db.Rows("t"), (Rows{"1|n1|10", "3|n3|30", "4|joined|56", "5|n5|50"}));
    EXPECT_EQ(db.Run("DELETE FROM jt, js WHERE jt.id = js.k"), 1u);
    EXPECT_EQ(db.Rows("bonus").size(), 3u);
    // The changed table drives the rows: a RIGHT OUTER JOIN that it owns would put
    // another table first and is refused; one owned by a later table turns round.
    for (const char* sql : {"UPDATE t SET n = 0 FROM t RIGHT OUTER JOIN bonus ON t.k = bonus.id",
                            "DELETE FROM t RIGHT OUTER JOIN bonus b ON b.id = t.k"}) {
        SCOPED_TRACE(sql);
        const SqlError error = db.ErrorOf(sql);
        EXPECT_EQ(error.Code, KURA_SQLPARSE);
        EXPECT_EQ(error.Message.substr(0, 46), "Internal join error - table correlation name \"");
        EXPECT_NE(error.Message.find("cannot be the target of a RIGHT OUTER JOIN"), std::string::npos);
    }
    db.Run("CREATE TABLE grade (id INTEGER, extra INTEGER); INSERT INTO grade VALUES (9, 1);"
           "INSERT INTO grade VALUES (47, 2)");
    EXPECT_EQ(db.Run("UPDATE t SET name = 'graded' FROM t INNER JOIN bonus b ON t.k = b.id "
                     "RIGHT OUTER JOIN grade g ON g.id = b.extra"),
              1u);
    EXPECT_EQ(db.Rows("t"), (Rows{"1|n1|10", "3|n3|30", "4|graded|56", "5|n5|50"}));
    // The join's own nested loop, the target first, its record stored and read
    // again after each row: a join's comparison with the target sees the record
    // as it was when the joined table restarted, a joined table's other ON
    // conditions see it as it is when that table reads a record, the rest of
    // WHERE as it is on each joined row; the target's own conditions and the
    // other names of its table read the records as they were at the start.
    const std::string add = "UPDATE ra SET v = v + rb.x FROM ra", join = add + ", rb WHERE ra.id = rb.k AND ";
    const std::string seven = "UPDATE ra SET v = v + 7 FROM ra, rb, rc WHERE ra.id = rb.k AND ";
    // ra (id, k, v) with (1, 29, 0), (2, 29, 0); rb (id, j) with (1, 29), (2, 29); rc (j) with (29).
    const std::string remake =
        "DROP TABLE ra; DROP TABLE rb; DROP TABLE rc; CREATE TABLE ra (id INTEGER, k INTEGER, v INTEGER);"
        "CREATE TABLE rb (id INTEGER, j INTEGER); CREATE TABLE rc (j INTEGER); INSERT INTO ra VALUES (1, 29, 0);"
        "INSERT INTO ra VALUES (2, 29, 0); INSERT INTO rb VALUES (1, 29); INSERT INTO rb VALUES (2, 29);"
        "INSERT INTO rc VALUES (29);";
    // The statement, the rows it changes, ra after it; of ra (1, 0), (2, 0), (3, 30),
    // rb (1, 10), (1, 20), (1, 30), (2, 5) and rc (1, 0), (1, 5):
    const std::tuple<std::string, uint32_t, Rows> cases[] = {
        {join + "(ra.v < 15 OR rb.x > 100)", 2, {"1|30", "2|5", "3|30"}},
        {join + "ra.v + rb.x < 25", 2, {"1|10", "2|5", "3|30"}},
        {join + "NOT (ra.v >= 15 AND rb.x < 100)", 2, {"1|30", "2|5", "3|30"}},
        {join + "(ra.v < 5 OR rb.x > 25)", 2, {"1|40", "2|5", "3|30"}},  // skips x = 20 only
        {join + "(ra.v > 15 OR rb.x = 20)", 1, {"1|50", "2|0", "3|30"}},  // held at x = 20, then by v
        {join + "ra.v < 15", 2, {"1|60", "2|5", "3|30"}},
        {join + "ra.v < rb.x", 2, {"1|60", "2|5", "3|30"}},
        {add + " INNER JOIN rb ON ra.id = rb.k AND (ra.v < 15 OR rb.x > 100)", 2, {"1|30", "2|5", "3|30"}},
        {add + " LEFT OUTER JOIN rb ON ra.id = rb.k AND (ra.v < 15 OR rb.x > 100)", 3, {"1|30", "2|5", "3|NULL"}},
        {add + " LEFT OUTER JOIN rb ON ra.id = rb.k AND ra.v + rb.x < 25", 3, {"1|10", "2|5", "3|NULL"}},
        {seven + "rb.k = rc.j AND ra.v = rc.y", 1, {"1|7", "2|0", "3|30"}},
        {seven + "ra.v = rc.y", 2, {"1|7", "2|7", "3|30"}},
        {add + " INNER JOIN rb ON ra.id = rb.k AND (ra.v < 5 OR rb.x > 100) INNER JOIN rc ON rc.j = rb.k", 1,
         {"1|20", "2|0", "3|30"}},
        {add + " INNER JOIN rb ON ra.id = rb.k INNER JOIN rc ON rc.j = rb.k AND (ra.v < 5 OR rb.x > 100)", 1,
         {"1|10", "2|0", "3|30"}},
        {add + ", rb, rc WHERE ra.id = rb.k AND rc.j = rb.k AND (ra.v < 5 OR rb.x > 100)", 1, {"1|10", "2|0", "3|30"}},
        // rc drives, then rb, which owns the RIGHT OUTER JOIN: ra restarts for each
        // rb row, as the rows before left it (its key too), and a record met again
        // after another counts again, and is committed again.
        {"UPDATE ra SET v = v + 1 FROM ra INNER JOIN rb ON ra.id = rb.k RIGHT OUTER JOIN rc ON rc.j = ra.id AND "
         "rc.j = rb.k WHERE ra.v < 2", 1, {"1|2", "2|0", "3|30"}},
        // The first rb row moves record 1 off key 1: the other rb rows find none.
        {"UPDATE ra SET id = id + 1, v = v + rc.y FROM ra INNER JOIN rb ON ra.id >= rb.k RIGHT OUTER JOIN rc ON "
         "rc.j = ra.id AND rc.j = rb.k", 1, {"2|0", "2|0", "3|30"}},
        // Two records of key 29 under each of two rb rows: four changes, each to
        // another record than the one before; moved to 129 under the first rb
        // row, neither is found under the second (the remake's five rows first).
        {remake + "UPDATE ra SET v = ra.v * 10 + rb.id FROM ra INNER JOIN rb ON ra.k = rb.j RIGHT OUTER JOIN rc ON "
         "rb.j = rc.j", 5 + 4, {"1|29|12", "2|29|12"}},
        {remake + "UPDATE ra SET v = ra.v * 10 + rb.id, k = ra.k + 100 FROM ra INNER JOIN rb ON ra.k = rb.j "
         "RIGHT OUTER JOIN rc ON rb.j = rc.j", 5 + 2, {"1|129|1", "2|129|1"}},
        // Record 1 comes to key 2, where it is met before record 2 (the INSERT's
        // row, and the UPDATE's two).
        {"INSERT INTO rc VALUES (2, 9); UPDATE ra SET id = 2, v = v + rc.y FROM ra INNER JOIN rb ON ra.id >= rb.k "
         "RIGHT OUTER JOIN rc ON rc.j = ra.id AND rc.j = rb.k", 1 + 2, {"2|9", "2|9", "3|30"}},
        {"UPDATE ra SET v = v + rc.y + 1 FROM ra INNER JOIN rb ON ra.id <= rb.k AND rb.x = 5 RIGHT OUTER JOIN rc ON "
         "rc.j < rb.k", 4, {"1|7", "2|7", "3|30"}},
        {"START TRANSACTION; UPDATE ra SET v = v + rc.y + 1 FROM ra INNER JOIN rb ON ra.id <= rb.k AND rb.x = 5 "
         "RIGHT OUTER JOIN rc ON rc.j < rb.k COMMIT INTERVAL 1; ROLLBACK", 0, {"1|7", "2|7", "3|30"}},
        {"DELETE FROM ra, rb WHERE ra.id = rb.k AND ra.v + rb.x > 7", 1, {"2|0", "3|30"}},
        // A shift reads each partner as it was: no change carries down the rows.
        {"UPDATE ra SET v = s.v + 1 FROM ra, ra s WHERE s.id = ra.id - 1", 2, {"1|0", "2|1", "3|1"}},
        {"UPDATE ra SET v = v + 1 FROM ra INNER JOIN ra s ON s.v > ra.v", 2, {"1|1", "2|1", "3|30"}},
        {"DELETE FROM ra, ra s WHERE s.id = ra.id - 1 AND s.v + ra.v = 0", 1, {"1|0", "3|30"}},
        {"DELETE FROM ra, ra s WHERE s.id = ra.id - 1", 2, {"1|0"}},
    };
    for (const auto& [sql, rows, after] : cases) {
        SCOPED_TRACE(sql);
        db.Run("CREATE TABLE ra (id INTEGER, v INTEGER); CREATE TABLE rb (k INTEGER, x INTEGER);"
               "INSERT INTO ra VALUES (1, 0); INSERT INTO ra VALUES (2, 0); INSERT INTO ra VALUES (3, 30);"
               "INSERT INTO rb VALUES (1, 10); INSERT INTO rb VALUES (1, 20); INSERT INTO rb VALUES (1, 30);"
               "INSERT INTO rb VALUES (2, 5); CREATE TABLE rc (j INTEGER, y INTEGER);"
               "INSERT INTO rc VALUES (1, 0); INSERT INTO rc VALUES (1, 5)");
        EXPECT_EQ(db.Run(sql), rows);
        EXPECT_EQ(db.Rows("ra"), after);
        db.Run("DROP TABLE ra; DROP TABLE rb; DROP TABLE rc");
    }
}

// A model of the row loop where another table drives: the join tree as planning
// builds it and its rows as the loops step them. Tables 0 ra, 1 rb (or ra under
// another name), 2 rc and 3 rd hold records (key, value); a NULL key is a number
// no comparison holds for. A Test2 tests two tables' records (the same table
// twice for one of one table).
using Record = std::array<int, 2>;
constexpr int kNullKey = INT32_MIN / 2;

struct Test2 {
    int left = 0, right = 0;
    std::string text;
    std::function<bool(const Record&, const Record&)> holds;
};

struct JoinClause {
    int table = 0, kind = 1;  // 1 INNER, 3 RIGHT OUTER
    std::vector<Test2> on;
};

// Each table linked to the next; a JOIN clause joins its table to the highest other
// table its comparisons name, in place of the link when that is the table before;
// each RIGHT OUTER JOIN (the first table it joins first) turned round, its owner
// made the root first: every join on the way turned round and put after the last
// join of the table it now hangs from that reads the table it came from, a right
// outer join becoming a left outer one, and the joined table swapping places with
// the owner where that was the owner's only join, taking the owner's place
// otherwise. Then links go where their table is joined with a condition, or is
// the first one.
struct JoinTreeModel {
    struct Join {
        int kind = 0;  // 0 link, 1 inner, 2 left outer, 3 right outer
        int target = 0;
        std::set<int> reads;
    };
    std::vector<std::vector<Join>> joins;
    std::vector<int> places, parent;

    bool AnyJoin(const std::function<bool(const Join&)>& test) const {
        return std::ranges::any_of(joins, [&](const auto& list) { return std::ranges::any_of(list, test); });
    }

    JoinTreeModel(int tables, const std::vector<JoinClause>& clauses) : joins(tables), parent(tables, -1) {
        for (int t = 0; t < tables; ++t) {
            places.push_back(t);
            if (t > 0) joins[t - 1].push_back({0, t, {}}), parent[t] = t - 1;
        }
        for (const JoinClause& c : clauses) {
            int from = -1;
            std::set<int> reads;
            for (const Test2& x : c.on) {
                reads.insert({x.left, x.right});
                from = std::max(from, x.left == c.table ? x.right : x.left);
            }
            const auto link = std::ranges::find(joins[from], c.table, &Join::target);
            if (link != joins[from].end()) *link = {c.kind, c.table, reads};
            else joins[from].push_back({c.kind, c.table, reads}), parent[c.table] = from;
        }
        const auto rightOuter = [&](int t) { return AnyJoin([&](auto& j) { return j.target == t && j.kind == 3; }); };
        for (auto r = places.begin(); (r = std::ranges::find_if(places, rightOuter)) != places.end();) Reroot(*r);
        for (const int t : places)
            for (std::size_t i = joins[t].size(); i-- > 0;) {
                const Join& l = joins[t][i];
                const auto conditioned = [&](auto& j) { return &j != &l && j.target == l.target && j.reads.size(); };
                if (l.kind == 0 && (l.target == places[0] || AnyJoin(conditioned)))
                    joins[t].erase(joins[t].begin() + i);
            }
    }

    void Reroot(int table) {
        const int owner = parent[table];
        if (parent[owner] >= 0) Reroot(owner);
        auto& from = joins[owner];
        auto& to = joins[table];
        const auto it = std::ranges::find(from, table, &Join::target);
        Join join = *it;
        const bool only = from.size() == 1;
        from.erase(it);
        const auto reads = [&](const Join& j) { return j.reads.count(owner) > 0; };
        const auto at = std::find_if(to.rbegin(), to.rend(), reads).base();
        join.target = owner;
        if (join.kind == 3) join.kind = 2;
        to.insert(at, join);
        parent[owner] = table;
        parent[table] = -1;
        if (only) {
            std::iter_swap(std::ranges::find(places, owner), std::ranges::find(places, table));
        } else {
            places.erase(std::ranges::find(places, table));
            places.insert(std::ranges::find(places, owner), table);
        }
    }

    // The tables as the loops visit them: a table, then the tree of each of its
    // joins in turn, from the first.
    std::vector<int> Order() const {
        std::vector<int> order;
        const std::function<void(int)> visit = [&](int t) {
            order.push_back(t);
            for (const Join& j : joins[t]) visit(j.target);
        };
        visit(places[0]);
        return order;
    }
};

// The joined rows in the loops' order: a table's records in record order, under
// each the rows of its joins' trees in turn, the last varying fastest; a left outer
// join whose tree gives no row gives one in which that tree's tables are NULL. An
// ON comparison is decided when the later of its two tables reads a record, on
// the other's record as it was when that table started its rows again (ra's
// changes since count from the next start); the row (with the WHERE tests on the
// records as they are) goes to `row` unless ra is NULL in it.
struct JoinLoop {
    const JoinTreeModel& tree;
    std::array<const std::vector<Record>*, 4> records{};
    std::array<std::vector<const Test2*>, 4> decided;  // by table
    std::vector<Test2> where;
    std::function<void(std::size_t target)> row;
    std::array<std::size_t, 4> current{};
    std::array<bool, 4> null{};

    JoinLoop(const JoinTreeModel& t, const std::vector<JoinClause>& clauses) : tree(t) {
        const std::vector<int> order = tree.Order();
        const auto rank = [&](int table) { return std::ranges::find(order, table) - order.begin(); };
        for (const JoinClause& c : clauses)
            for (const Test2& x : c.on) decided[rank(x.left) > rank(x.right) ? x.left : x.right].push_back(&x);
    }
    const Record& At(int t) const { return (*records[t])[current[t]]; }
    // With ra's record as `restart` gives it, where it gives one.
    bool Holds(const Test2& x, const Record* restart) const {
        const auto value = [&](int t) -> const Record& { return t == 0 && restart ? *restart : At(t); };
        return !null[x.left] && !null[x.right] && x.holds(value(x.left), value(x.right));
    }
    void Run() {
        Rows(tree.places[0], [&] {
            if (!null[0] && std::ranges::all_of(where, [&](auto& w) { return Holds(w, nullptr); })) row(current[0]);
        });
    }
    bool Rows(int table, const std::function<void()>& next) {
        const Record restart = !null[0] && current[0] < records[0]->size() ? At(0) : Record{};
        bool any = false;
        for (current[table] = 0; current[table] < records[table]->size(); ++current[table]) {
            null[table] = false;
            const auto holds = [&](const Test2* x) { return Holds(*x, table != 0 ? &restart : nullptr); };
            if (std::ranges::all_of(decided[table], holds)) Joins(table, 0, [&] { any = true; next(); });
        }
        return any;
    }
    void Joins(int table, std::size_t j, const std::function<void()>& next) {
        const auto& list = tree.joins[table];
        if (j == list.size()) return next();
        const auto rest = [&] { Joins(table, j + 1, next); };
        if (Rows(list[j].target, rest) || list[j].kind != 2) return;
        std::vector<int> below{list[j].target};
        for (std::size_t i = 0; i < below.size(); ++i)
            for (const auto& sub : tree.joins[below[i]]) below.push_back(sub.target);
        for (const int b : below) null[b] = true;
        rest();
        for (const int b : below) null[b] = false;
    }
};

// Random joined UPDATE and DELETE statements against a model of their row loop:
// ra's records in record order, then a second table (rb, or ra under another
// name, read as at the start) and at times a third (rc, in a chain through the
// second or a tree from ra), each joined in WHERE, by INNER or by LEFT OUTER
// JOIN, each in record order; every condition decided where the cases above say.
// Before those, statements in which another table drives, run through the model
// of the join tree above: a RIGHT OUTER JOIN owned by the second or the third of
// three or four tables (rd the fourth), in six shapes. ra starts its rows again
// under the table before it in the tree's order, found by its key as the rows
// before left it; every WHERE condition waits for the joined row; a record changed
// again after another counts again and, under COMMIT INTERVAL, is committed again
// (in a transaction rolled back afterwards, ra stays as the last commit left it).
// Every third round runs with a transaction memory of a few bytes, so that what
// the statement keeps of its rows (keys made for it, records as they were) goes
// to its spill file.
TEST_F(Modify, JoinedRowsAgreeWithAModelOfTheRowLoop) {
    using Row = std::array<int, 2>;    // ra (id, v), rb (k, x), rc (j, y)
    using Value = std::optional<int>;  // a joined table's value, none in a null row
    // On the record as read, as the level restarted, as the level reads, per joined row.
    enum When { Read0, Restart, Read, Joined };
    struct Condition { When when; int level; std::function<bool(int v, Value o)> test; std::string text; };
    std::mt19937 random(59), drive(61);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    // The rows as the engine holds them, in record order (a refill reuses the
    // slots the rows before freed); a NULL key as a number no row joins.
    auto read = [&](const char* table) {
        std::vector<Row> rows;
        for (const std::string& r : db.Rows(table))
            rows.push_back({r[0] == 'N' ? INT32_MIN / 2 : std::stoi(r), std::stoi(r.substr(r.find('|') + 1))});
        return rows;
    };
    auto add = [](std::string& clause, const std::string& text) { clause += (clause.empty() ? "" : " AND ") + text; };
    db.Run("CREATE TABLE ra (id INTEGER, v INTEGER); CREATE TABLE rb (k INTEGER, x INTEGER);"
           "CREATE TABLE rc (j INTEGER, y INTEGER); CREATE TABLE rd (m INTEGER, z INTEGER)");
    // Statements of each driven shape that changed a record.
    std::array<int, 6> drivenChanged{};
    for (int round = 0; round < 100; ++round) {
        if (round == 50)
            db.Run("CREATE INDEX rk ON rb (k); CREATE INDEX ri ON ra (id); CREATE INDEX rj ON rc (j);"
                   "CREATE INDEX rm ON rd (m)");
        db.Session().TransactionMemory = round % 3 == 2 ? 64 : DEFAULT_TRANSACTION_MEMORY;
        const bool self = pick(4) == 0;
        const std::string key = self ? "s.id" : "rb.k", val = self ? "s.v" : "rb.x";
        std::string fill = "DELETE FROM ra; DELETE FROM rb; DELETE FROM rc; DELETE FROM rd;";
        auto insert = [&](const char* table, int n, bool nulls) {
            for (; n > 0; --n)
                fill += "INSERT INTO " + std::string(table) + " VALUES (" +
                        (nulls && pick(8) == 0 ? "NULL" : std::to_string(1 + pick(4))) + ", " +
                        std::to_string(pick(30)) + ");";
        };
        insert("ra", 2 + pick(4), false);
        insert("rb", self ? 0 : pick(7), true);
        insert("rc", 2 + pick(4), false);
        insert("rd", 2 + pick(4), false);
        db.Run(fill);
        std::vector<Row> ra = read("ra");
        const std::vector<Row> rb = read("rb"), rc = read("rc"), rd = read("rd");
        std::string statements;
        // Another table drives: a RIGHT OUTER JOIN owned by the second or the third
        // table, whose SETs move ra's records between the keys they are found by.
        for (int run = 0; run < 8; ++run) {
            const auto draw = [&](int n) { return static_cast<int>(drive() % static_cast<unsigned>(n)); };
            // ra afresh now and then, its keys those the others name again.
            if (run == 4) {
                std::string again = "DELETE FROM ra;";
                for (int n = 2 + draw(4); n > 0; --n)
                    again += "INSERT INTO ra VALUES (" + std::to_string(1 + draw(4)) + ", " + std::to_string(draw(30)) +
                             ");";
                db.Run(again);
                statements += again + "\n";
                ra = read("ra");
            }
            const int shape = draw(6), tables = shape < 2 ? 3 : 4, e = 10 + draw(20);
            const int mode = draw(3);  // no COMMIT INTERVAL, one, one rolled back
            const auto every = static_cast<uint32_t>(1 + draw(3));
            const bool remove = draw(4) == 0;
            const std::string names[] = {"ra", self ? "s" : "rb", "rc", "rd"};
            const std::string columns[2][4] = {{"id", self ? "id" : "k", "j", "m"}, {"v", self ? "v" : "x", "y", "z"}};
            // left's key (0) or value (1) against right's plus a number.
            const auto compare = [&](int l, int lc, std::string o, int r, int rc2, int plus) {
                return Test2{l, r,
                             names[l] + "." + columns[lc][l] + " " + o + " " + names[r] + "." + columns[rc2][r] +
                                 (plus ? " + " + std::to_string(plus) : ""),
                             [=](const Record& a, const Record& b) {
                                 const int x = a[lc], y = b[rc2] + plus;
                                 return x != kNullKey && b[rc2] != kNullKey &&
                                        (o == "=" ? x == y : o == ">=" ? x >= y : o == "<=" ? x <= y : x < y);
                             }};
            };
            const Test2 partner = compare(0, 0, std::array{">=", "=", "<="}[draw(3)], 1, 0, draw(2));
            std::vector<JoinClause> clauses;
            std::vector<Test2> where;
            if (shape < 3) {
                // ra, then the second joined to it (in WHERE for shape 1), rc owned by
                // the second, and in shape 2 rd joined to rc or to ra after it.
                if (shape == 1) where.push_back(partner);
                else clauses.push_back({1, 1, {partner}});
                clauses.push_back({2, 3, {draw(2) ? compare(2, 0, "=", 0, 0, 0) : compare(2, 0, "=", 1, 0, 0),
                                          compare(2, 1, "<=", 1, 1, e)}});
                if (shape == 2) clauses.push_back({3, 1, {compare(3, 0, "=", draw(2) ? 2 : 0, 0, 0)}});
            } else if (shape < 5) {
                // rd owned by rc, which is joined to the second (a chain) or to ra (a tree).
                clauses.push_back({1, 1, {partner}});
                clauses.push_back({2, 1, {compare(2, 0, "=", shape == 3 ? 1 : 0, 0, 0)}});
                clauses.push_back({3, 3, {compare(3, 0, "=", shape == 3 ? 0 : 2, 0, 0), compare(3, 1, "<=", 2, 1, e)}});
            } else {
                // rd owned by the second, which rc is joined to too: ra comes back to
                // the second before rc or, where rc's join reads ra, after it.
                clauses.push_back({1, 1, {partner}});
                clauses.push_back({2, 1, {compare(2, 0, "=", 1, 0, 0)}});
                if (draw(2)) clauses.back().on.push_back(compare(2, 1, ">=", 0, 1, 0));
                clauses.push_back({3, 3, {compare(3, 0, "=", 1, 0, 0), compare(3, 1, "<=", 1, 1, e)}});
            }
            for (int n = draw(2); n > 0; --n) {
                const int x = 1 + draw(tables - 1), a = draw(40), b = draw(40);
                const std::string xv = names[x] + "." + columns[1][x], sa = std::to_string(a), sb = std::to_string(b);
                const Test2 tests[] = {
                    {0, 0, "ra.v < " + sa, [=](const Record& r, const Record&) { return r[1] < a; }},
                    {x, x, xv + " > " + sa, [=](const Record& o, const Record&) { return o[1] > a; }},
                    compare(0, 1, "<", x, 1, 0),
                    {0, x, "(ra.v < " + sa + " OR " + xv + " > " + sb + ")",
                     [=](const Record& r, const Record& o) { return r[1] < a || o[1] > b; }},
                    {0, x, "NOT (ra.v >= " + sa + " AND " + xv + " < " + sb + ")",
                     [=](const Record& r, const Record& o) { return !(r[1] >= a && o[1] < b); }},
                };
                where.push_back(tests[draw(5)]);
            }
            const std::string other = names[1] + "." + columns[1][1];
            const std::pair<std::string, std::function<Record(const Record&, const JoinLoop&)>> moves[] = {
                {"v = v + " + other, [](auto& n, auto& l) { return Record{n[0], n[1] + l.At(1)[1]}; }},
                {"id = 5 - id, v = v + 1", [](auto& n, auto&) { return Record{5 - n[0], n[1] + 1}; }},
                {"id = id + 1", [](auto& n, auto&) { return Record{n[0] + 1, n[1]}; }},
                {"v = " + other + " - v", [](auto& n, auto& l) { return Record{n[0], l.At(1)[1] - n[1]}; }},
                {"id = 5 - rc.j, v = v + rc.y",
                 [](auto& n, auto& l) { return Record{5 - l.At(2)[0], n[1] + l.At(2)[1]}; }},
            };
            const auto& [move, moved] = moves[draw(5)];
            const auto texts = [](const std::vector<Test2>& tests) {
                std::string text;
                for (const Test2& x : tests) text += (text.empty() ? "" : " AND ") + x.text;
                return text;
            };
            const std::string sources[] = {"ra", self ? "ra s" : "rb", "rc", "rd"};
            std::string sql = remove ? "DELETE FROM ra" : "UPDATE ra SET " + move + " FROM ra";
            for (int t = 1; t < tables; ++t) {
                const auto c = std::ranges::find(clauses, t, &JoinClause::table);
                sql += c == clauses.end() ? ", " + sources[t]
                                          : (c->kind == 1 ? " INNER JOIN " : " RIGHT OUTER JOIN ") + sources[t] +
                                                " ON " + texts(c->on);
            }
            if (!where.empty()) sql += " WHERE " + texts(where);
            if (mode > 0) sql += " COMMIT INTERVAL " + std::to_string(every);
            statements += (mode == 2 ? "START TRANSACTION; " + sql + "; ROLLBACK" : sql) + ";\n";
            // The model: ra as each joined row leaves it, and as the last commit left it.
            const JoinTreeModel tree(tables, clauses);
            JoinLoop loop(tree, clauses);
            const std::vector<Row> started = ra;
            loop.records = {&ra, self ? &started : &rb, &rc, &rd};
            loop.where = where;
            std::vector<bool> hit(ra.size());
            std::vector<Row> committed = ra;
            std::size_t last = SIZE_MAX;
            uint32_t count = 0;
            loop.row = [&](std::size_t t) {
                hit[t] = true;
                if (remove) return;
                ra[t] = moved(ra[t], loop);
                if (t != std::exchange(last, t) && ++count % every == 0) committed = ra;
            };
            loop.Run();
            if (remove) {
                // Each record once, in record order; those up to the last commit stay deleted.
                count = static_cast<uint32_t>(std::ranges::count(hit, true));
                std::vector<Row> kept;
                committed.clear();
                for (std::size_t t = 0, deleted = 0; t < ra.size(); ++t) {
                    if (!hit[t]) kept.push_back(ra[t]);
                    if (!hit[t] || ++deleted > count / every * every) committed.push_back(ra[t]);
                }
                ra = kept;
            }
            if (mode == 2) db.Run("START TRANSACTION");
            ASSERT_EQ(db.Run(sql), count) << fill << "\n" << statements;
            if (mode == 2) db.Run("ROLLBACK"), ra = committed;
            ASSERT_EQ(read("ra"), ra) << fill << "\n" << statements;
            drivenChanged[shape] += count > 0;
        }
        for (int step = 0; step < 8; ++step) {
            const int d = pick(2), tables = 2 + pick(2), kind1 = pick(3), kind2 = kind1 ? 1 + pick(2) : pick(3);
            const int kinds[] = {0, kind1, kind2};  // WHERE, INNER, LEFT OUTER
            const bool tree = pick(2);
            std::string on[3], where;
            add(kind1 ? on[1] : where, "ra.id = " + key + (d ? " + 1" : ""));
            if (tables == 3) add(kind2 ? on[2] : where, (tree ? "ra.id" : key) + " = rc.j");
            std::vector<Condition> conditions;
            for (int n = pick(3); n > 0; --n) {
                const int level = 1 + pick(tables - 1), type = pick(6), c1 = pick(40), c2 = pick(40);
                const std::string a = std::to_string(c1), b = std::to_string(c2), o = level == 1 ? val : "rc.y";
                const std::pair<std::string, std::function<bool(int, Value)>> templates[] = {
                    {"ra.v < " + a, [=](int v, Value) { return v < c1; }},
                    {o + " > " + a, [=](int, Value x) { return x && *x > c1; }},
                    {"ra.v < " + o, [=](int v, Value x) { return x && v < *x; }},
                    {"(ra.v < " + a + " OR " + o + " > " + b + ")",
                     [=](int v, Value x) { return v < c1 || (x && *x > c2); }},
                    {"ra.v + " + o + " < " + a, [=](int v, Value x) { return x && v + *x < c1; }},
                    {"NOT (ra.v >= " + a + " AND " + o + " < " + b + ")",
                     [=](int v, Value x) { return !(v >= c1 && x && *x < c2); }},  // NULL compares false
                };
                const bool inWhere = kinds[level] == 0 || pick(2), left = kinds[level] == 2;
                const When when = type == 0   ? (inWhere || !left ? Read0 : Restart)
                                  : type == 1 ? (inWhere && left ? Joined : Read)
                                  : type == 2 ? (inWhere && left ? Joined : Restart)
                                              : (inWhere ? Joined : Read);
                conditions.push_back({when, level, templates[type].second, templates[type].first});
                add(inWhere ? where : on[level], templates[type].first);
            }
            const bool remove = pick(3) == 0;
            const std::pair<std::string, std::function<Row(const Row&, Value)>> sets[] = {
                {"v = v + COALESCE(" + val + ", 1)",
                 [](const Row& n, Value o) { return Row{n[0], n[1] + o.value_or(1)}; }},
                {"v = v + 1, id = id + 10", [](const Row& n, Value) { return Row{n[0] + 10, n[1] + 1}; }},
                {"v = " + val + " - v", [](const Row& n, Value o) { return Row{n[0], *o - n[1]}; }},
                {"id = " + val + ", v = id", [](const Row& n, Value o) { return Row{*o, n[0]}; }},
            };
            const auto& [set, apply] = sets[pick(kind1 == 2 ? 2 : 4)];
            std::string from = " FROM ra";
            const std::string names[] = {"", self ? "ra s" : "rb", "rc"};
            for (int level = 1; level < tables; ++level)
                from += (kinds[level] == 0 ? ", " : kinds[level] == 1 ? " INNER JOIN " : " LEFT OUTER JOIN ") +
                        names[level] + (kinds[level] ? " ON " + on[level] : "");
            if (!where.empty()) from += " WHERE " + where;
            const std::string sql = remove ? "DELETE" + from : "UPDATE ra SET " + set + from;
            statements += sql + ";\n";
            const std::vector<Row> started = ra;
            std::vector<Row> kept;
            uint32_t count = 0;
            for (std::size_t t = 0; t < started.size(); ++t) {
                bool changed = false;
                Value values[3], keys[3];
                std::function<void(int)> join = [&](int level) {
                    if (level == tables) {
                        for (const Condition& c : conditions)
                            if (c.when == Joined && !c.test(ra[t][1], values[c.level])) return;
                        changed = true;
                        if (!remove) ra[t] = apply(ra[t], values[1]);
                        return;
                    }
                    const Row restart = ra[t];
                    keys[level] = values[level] = std::nullopt;
                    for (const Row& r : level == 2 ? rc : self ? started : rb) {
                        if (remove && changed) return;
                        bool holds = level == 1 ? restart[0] == r[0] + d : Value(tree ? restart[0] : keys[1]) == r[0];
                        for (const Condition& c : conditions)
                            if (c.level == level && (c.when == Restart || c.when == Read))
                                holds = holds && c.test(c.when == Restart ? restart[1] : ra[t][1], r[1]);
                        if (!holds) continue;
                        keys[level] = r[0];
                        values[level] = r[1];
                        join(level + 1);
                    }
                    if (!keys[level] && kinds[level] == 2) join(level + 1);  // a null row
                };
                const auto atRead = [&](const Condition& c) { return c.when != Read0 || c.test(ra[t][1], 0); };
                if (std::ranges::all_of(conditions, atRead)) join(1);
                count += changed;
                if (!(remove && changed)) kept.push_back(ra[t]);
            }
            ra = kept;
            ASSERT_EQ(db.Run(sql), count) << fill << "\n" << statements;
        }
        ASSERT_EQ(read("ra"), ra) << fill << "\n" << statements;
    }
    for (std::size_t shape = 0; shape < drivenChanged.size(); ++shape) EXPECT_GE(drivenChanged[shape], 20) << shape;
}

TEST_F(Modify, ValuesSeeTheRowAsItWas) {
    db.Run("UPDATE t SET k = n, n = k WHERE k = 2");
    EXPECT_EQ(db.Rows("t")[1], "20|n2|2");
}

TEST_F(Modify, UpdatingTheKeyChangesEveryRowOnce) {
    // Every new key lands after the old ones in key order: a walk along the key
    // would meet each row again.
    EXPECT_EQ(db.Run("UPDATE t SET k = k + 100"), 5u);
    EXPECT_EQ(db.Rows("t"), (Rows{"101|n1|10", "102|n2|20", "103|n3|30", "104|n4|40", "105|n5|50"}));
    // The same through a key range of the index whose key changes.
    EXPECT_EQ(db.Run("UPDATE t SET k = k + 100 WHERE k >= 102 AND k < 105"), 3u);
    EXPECT_EQ(db.Rows("t"), (Rows{"101|n1|10", "202|n2|20", "203|n3|30", "204|n4|40", "105|n5|50"}));
    EXPECT_EQ(db.Run("UPDATE t SET k = k - 100 WHERE k > 200"), 3u);
    db.Run("CREATE INDEX byn ON t (n)");
    EXPECT_EQ(db.Run("UPDATE t SET n = n + 1 WHERE n > 0"), 5u);
    EXPECT_EQ(db.Rows("t"), (Rows{"101|n1|11", "102|n2|21", "103|n3|31", "104|n4|41", "105|n5|51"}));
}

TEST_F(Modify, DeleteWithWhere) {
    EXPECT_EQ(db.Run("DELETE FROM t WHERE n >= 20 AND n <= 40"), 3u);
    EXPECT_EQ(db.Rows("t"), (Rows{"1|n1|10", "5|n5|50"}));
    EXPECT_EQ(db.Run("DELETE FROM t"), 2u);
    EXPECT_TRUE(db.Rows("t").empty());
}

TEST_F(Modify, AFailingUpdateLeavesTheTableAsItWas) {
    // Row 1 becomes 2, which row 2 still holds: the statement fails and its own
    // transaction is rolled back.
    const Rows before = db.Rows("t");
    const SqlError error = db.ErrorOf("UPDATE t SET k = k + 1 WHERE k >= 1");
    EXPECT_EQ(error.Code, KURA_KEYVIOL);
    EXPECT_EQ(db.Rows("t"), before);
    EXPECT_FALSE(db.Dir().InTransaction());
}

TEST_F(Modify, CommitIntervalKeepsSlicesCommittedBeforeAFailure) {
    db.Run("CREATE TABLE u (k INTEGER, v INTEGER, PRIMARY KEY (k))");
    db.Run("CREATE UNIQUE INDEX byv ON u (v)");
    for (int k = 1; k <= 4; ++k) db.Run("INSERT INTO u VALUES (" + std::to_string(k) + ", " + std::to_string(k) + ")");
    const Rows before = db.Rows("u");
    // The second row clashes with the first: with the default interval nothing
    // stays, with an interval of one the first row's change was committed.
    EXPECT_EQ(db.ErrorOf("UPDATE u SET v = 7").Code, KURA_KEYVIOL);
    EXPECT_EQ(db.Rows("u"), before);
    EXPECT_EQ(db.ErrorOf("UPDATE u SET v = 7 COMMIT INTERVAL 1").Code, KURA_KEYVIOL);
    EXPECT_EQ(db.Rows("u"), (Rows{"1|7", "2|2", "3|3", "4|4"}));
    EXPECT_FALSE(db.Dir().InTransaction());
}

// The rows of keys 9..12 lie first in the file, highest key first. Visited in the
// file's order, k = k + 1 moves 12, 11, 10 and 9 up one by one without a conflict;
// in key order 9 would meet 10 at once. Every statement visits its rows in the
// file's order, whichever index finds them and whichever key it changes, so the
// same rows come out the same with a WHERE clause as without. Each row is
// committed as it goes, so what went before a conflict stays; in the caller's
// transaction, what went before its last intermediate commit.
TEST_F(Modify, AKeyChangeMeetsTheRowsInTheFilesOrderWhicheverIndexFindsThem) {
    struct Case {
        const char* statement;
        TEngineErrorCode error;
        uint32_t rows;
        Rows changed;  // of keys 9..12, as the file holds them after the statement
    };
    const Rows before = {"12|12|12|12", "11|11|11|11", "10|10|10|10", "9|9|9|9"};
    const Rows vUp = {"12|13|12|12", "11|12|11|11", "10|11|10|10", "9|10|9|9"};
    const Case cases[] = {
        {"UPDATE u SET k = k + 1 WHERE k >= 9", 0, 4, {"13|12|12|12", "12|11|11|11", "11|10|10|10", "10|9|9|9"}},
        {"UPDATE u SET v = v + 1 WHERE k >= 9", 0, 4, vUp},
        {"UPDATE u SET v = v + 1 WHERE v >= 9", 0, 4, vUp},
        // 1 meets 2 once 12 to 9 are done: with a WHERE on the index as without.
        {"UPDATE u SET v = v + 1", KURA_KEYVIOL, 0, vUp},
        {"UPDATE u SET v = v + 1 WHERE v >= 1", KURA_KEYVIOL, 0, vUp},
        {"UPDATE u SET v = v + 1 WHERE k >= 9 AND k <= 11", KURA_KEYVIOL, 0, before},
        {"START TRANSACTION; UPDATE u SET k = k + 10 WHERE k > 9 COMMIT INTERVAL 2; ROLLBACK", 0, 0,
         {"22|12|12|12", "21|11|11|11", "10|10|10|10", "9|9|9|9"}},
        {"UPDATE u SET k = k + 1, n = 0 WHERE n >= 9", 0, 4, {"13|12|12|0", "12|11|11|0", "11|10|10|0", "10|9|9|0"}},
        {"UPDATE u SET w = w + 1 WHERE k >= 9", 0, 4, {"12|12|13|12", "11|11|12|11", "10|10|11|10", "9|9|10|9"}},
        {"UPDATE u SET w = w + 1 WHERE w >= 9", 0, 4, {"12|12|13|12", "11|11|12|11", "10|10|11|10", "9|9|10|9"}},
        {"UPDATE u SET n = k * 2 WHERE k >= 10", 0, 3, {"12|12|12|24", "11|11|11|22", "10|10|10|20", "9|9|9|9"}},
        {"DELETE FROM u WHERE k >= 10", 0, 3, {"9|9|9|9"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.statement);
        db.Run("CREATE TABLE u (k INTEGER, v INTEGER, w INTEGER, n INTEGER, PRIMARY KEY (k))");
        db.Run("CREATE UNIQUE INDEX byv ON u (v)");
        db.Run("CREATE INDEX byw ON u (w)");
        for (int k : {12, 11, 10, 9, 1, 2, 3, 4, 5, 6, 7, 8}) {
            const std::string n = std::to_string(k);
            db.Run("INSERT INTO u VALUES (" + n + ", " + n + ", " + n + ", " + n + ")");
        }
        std::string sql = c.statement;
        if (sql.find("INTERVAL") == std::string::npos) sql += " COMMIT INTERVAL 1";
        if (c.error != 0) {
            EXPECT_EQ(db.ErrorOf(sql).Code, c.error);
        } else {
            EXPECT_EQ(db.Run(sql), c.rows);
        }
        const Rows rows = db.Rows("u");
        EXPECT_EQ(Rows(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(c.changed.size())), c.changed);
        EXPECT_EQ(rows.size(), c.changed.size() + 8);
        EXPECT_EQ(rows.back(), "8|8|8|8");
        db.Run("DROP TABLE u");
    }
}

TEST_F(Modify, NoAutoIncKeepsTheGivenNumber) {
    db.Run("CREATE TABLE a (id AUTOINC, v CHAR(3))");
    db.Run("INSERT INTO a VALUES (NULL, 'x')");
    db.Run("INSERT INTO a VALUES (77, 'y') NOAUTOINC");
    EXPECT_EQ(db.Rows("a"), (Rows{"1|x", "77|y"}));
}

TEST_F(Modify, ParametersInValuesAndWhere) {
    TQueryStatement statement(&db.Dir());
    statement.Prepare("UPDATE t SET name = ? WHERE k = ?");
    ASSERT_EQ(statement.ParamCount(), 2u);
    TFieldDesc text;
    text.SetFieldType(fldZSTRING);
    text.SetStoredSize(5);
    text.SetOffset(0);
    TFieldDesc key;
    key.SetFieldType(fldINT32);
    key.SetStoredSize(4);
    key.SetOffset(6);
    uint8_t record[11] = {1, 'p', 'a', 'r', 'm', 0, 1, 0, 0, 0, 0};
    const int32_t k = 4;
    std::memcpy(record + 7, &k, 4);
    const TFieldDesc* descs[] = {&text, &key};
    TDataCursor* cursor = nullptr;
    statement.Execute(cursor, 2, descs, record);
    EXPECT_EQ(statement.RowsAffected(), 1u);
    EXPECT_EQ(db.Rows("t")[3], "4|parm|40");
    // A NULL text parameter clears the column.
    record[0] = 0;
    statement.Execute(cursor, 2, descs, record);
    EXPECT_EQ(db.Rows("t")[3], "4|NULL|40");
}

TEST_F(Modify, BlobColumnsTakeTextWhole) {
    db.Run("CREATE TABLE b (id INTEGER, note MEMO)");
    db.Run("INSERT INTO b VALUES (1, 'a memo text'); INSERT INTO b VALUES (2, NULL)");
    EXPECT_EQ(db.Rows("b"), (Rows{"1|a memo text", "2|NULL"}));
    db.Run("UPDATE b SET note = 'new' WHERE id = 1");
    db.Run("UPDATE b SET note = 'set' WHERE id = 2");
    EXPECT_EQ(db.Rows("b"), (Rows{"1|new", "2|set"}));
    // One prepared INSERT run twice with BLOB values on the same cursor.
    TQueryStatement statement(&db.Dir());
    statement.Prepare("INSERT INTO b VALUES (3, 'again')");
    TDataCursor* cursor = nullptr;
    statement.Execute(cursor);
    statement.Execute(cursor);
    EXPECT_EQ(db.Rows("b"), (Rows{"1|new", "2|set", "3|again", "3|again"}));
}

// A joined UPDATE whose keys and records as they were go to its spill file (a
// transaction memory of one page): each write and each read of that file failing
// in turn fails the statement with the file's error, leaves the table as it was
// and no file behind; once the fault is gone the statement runs as it did.
// gSpill counts the calls to the folder's spill files (a private file's link reads
// "<folder>/<name> (deleted)") of the kinds watched, bit 0 writes, bit 1 reads;
// call gFail[kind] fails.
std::string gSpillFolder;
uint64_t gSpill[2], gFail[2];
int gWatched = 0;

bool SpillCallFails(int fd, int kind) {
    if ((gWatched >> kind & 1) == 0) return false;
    std::error_code ec;
    const std::string target = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string();
    if (ec || target.rfind(gSpillFolder, 0) != 0 || !target.ends_with(" (deleted)") || ++gSpill[kind] != gFail[kind])
        return false;
    errno = EIO;
    return true;
}

// A joined UPDATE whose keys and records as they were go to its spill file (a
// transaction memory of one page): each write and each read of that file failing
// in turn fails the statement with the file's error, leaves the table as it was
// and no file behind; once the fault is gone the statement runs as it did.
TEST(ModifySpill, AFailedSpillFileFailsTheStatementAndLeavesTheTable) {
    SqlDatabase db;
    TempDir folder;
    db.Session().SetPrivateDir(folder.path());
    gSpillFolder = std::filesystem::canonical(folder.path()).string() + "/";
    db.Session().TransactionMemory = 20000;  // the table's changes stay in its caches
    db.Run("CREATE TABLE sf (k INTEGER, name CHAR(12), n INTEGER, m MEMO); CREATE INDEX byk ON sf (k);"
           "START TRANSACTION");
    for (int k = 1; k <= 300; ++k)
        db.Run("INSERT INTO sf VALUES (" + std::to_string(k) + ", 'n" + std::to_string(k % 40) + "', " +
               std::to_string(k) + ", 'm" + std::to_string(k) + "')");
    db.Run("COMMIT; SELECT * INTO sfcopy FROM sf");
    const Rows before = db.Rows("sf");
    // The session's own files there: its result tables' folder and lock file.
    db.Session().GetWorkPath();
    const size_t open = OpenFilesIn(folder.path());
    platform::FileCallTable& calls = platform::FileCalls();
    calls.pwrite = [](int fd, const void* buffer, size_t count, off_t offset) -> ssize_t {
        return SpillCallFails(fd, 0) ? -1 : platform::SystemFileCalls().pwrite(fd, buffer, count, offset);
    };
    calls.pread = [](int fd, void* buffer, size_t count, off_t offset) -> ssize_t {
        return SpillCallFails(fd, 1) ? -1 : platform::SystemFileCalls().pread(fd, buffer, count, offset);
    };
    for (const char* sql :
         {"UPDATE sf SET k = sf.k + 1, n = sf.n + s.n, m = s.m + '/' + sf.m FROM sf INNER JOIN sf s ON s.k = sf.k - 1",
          "UPDATE sf SET name = s.name + 'x', n = s.n FROM sf INNER JOIN sf s ON s.name = sf.name WHERE s.k > sf.k"}) {
        SCOPED_TRACE(sql);
        auto restore = [&] { db.Run("DELETE FROM sf; INSERT INTO sf SELECT * FROM sfcopy"); };
        gSpill[0] = gSpill[1] = gFail[0] = gFail[1] = 0;
        gWatched = 3;
        const uint32_t changed = db.Run(sql);
        const uint64_t counted[] = {gSpill[0], gSpill[1]};
        const Rows after = db.Rows("sf");
        restore();
        for (const int kind : {0, 1}) {
            EXPECT_GT(counted[kind], 2u);
            gWatched = 1 << kind;
            for (uint64_t at = 1; at <= counted[kind]; at += 1 + counted[kind] / 12) {
                SCOPED_TRACE((kind ? "read " : "write ") + std::to_string(at));
                gSpill[0] = gSpill[1] = 0;
                gFail[kind] = at;
                EXPECT_EQ(db.ErrorOf(sql).Code, kind ? KURA_READERR : KURA_WRITEERR);
                gFail[kind] = 0;
                EXPECT_FALSE(db.Dir().InTransaction());
                EXPECT_EQ(db.Rows("sf"), before);
                EXPECT_EQ(OpenFilesIn(folder.path()), open);
                EXPECT_EQ(db.Run(sql), changed);
                EXPECT_EQ(db.Rows("sf"), after);
                restore();
            }
        }
    }
    calls = platform::SystemFileCalls();
}

}  // namespace
