// Grouping and DISTINCT over a result table too large for one sort run: each run
// folds its own equal keys before the merge folds the runs' groups. With a record
// buffer of 40 records the sort writes dozens of runs; every query must give the
// rows it gives when the whole table is sorted in one run. Sums are of values
// exact in binary, so the order of the additions cannot show.
//
// A result without a memo column groups its rows as they come (each run folds them
// into its groups); one with a memo column is appended and then sorted. Random
// GROUP BY and DISTINCT queries give the same stored bytes both ways: float sums
// added in the same order, the first row's spelling for texts equal under the
// collation, NULL groups, HAVING, ORDER BY and TOP; and SQLite's rows where the
// two dialects agree.
#include <sqlite3.h>

#include <random>

#include "tests/engine/sql/SelectTestSupport.h"

namespace kura::selecttest {
namespace {

class GroupRunsTest : public ::testing::Test {
protected:
    void SetUp() override {
        db.Create("t", {{"g", fldINT32}, {"n", fldINT32}, {"f", fldFLOAT}, {"d", fldDATE}, {"s", fldZSTRING, 8}});
        std::vector<Row> rows;
        for (int64_t i = 0; i < 2500; ++i) {
            Row row(5);
            if (i % 41 != 0) row[0] = (i * 13) % 37;
            if (i % 7 != 0) row[1] = i % 211 - 50;
            row[2] = static_cast<double>(i % 100) * 0.25;
            row[3] = int64_t{730000 + i % 300};
            row[4] = std::string(1, static_cast<char>('a' + i % 5));
            rows.push_back(std::move(row));
        }
        db.Insert("t", rows);
    }
    SqlDb db;
};

TEST_F(GroupRunsTest, ManyRunsGiveTheRowsOfOne) {
    const std::vector<std::string> queries = {
        "SELECT g, COUNT(*), COUNT(n), SUM(n), SUM(f), MIN(n), MAX(n), MIN(d), MAX(f), AVG(n), AVG(f), AVG(d) "
        "FROM t GROUP BY g",
        "SELECT g, s, RUNSUM(n), COUNT(*) FROM t GROUP BY g, s",
        "SELECT s, SUM(n) FROM t GROUP BY s HAVING SUM(n) > 1000",
        "SELECT g, COUNT(*) FROM t WHERE n > 0 GROUP BY g ORDER BY 2 DESC, 1",
        "SELECT DISTINCT g FROM t",
        "SELECT DISTINCT s, g FROM t ORDER BY g, s",
        "SELECT g, SUM(f) FROM t GROUP BY g TOP 5",
    };
    for (const std::string& q : queries) {
        SCOPED_TRACE(q);
        db.Session().RecordBufferCount = 8192;
        const TextRows one = db.Rows(q);
        ASSERT_FALSE(one.empty());
        db.Session().RecordBufferCount = 40;
        EXPECT_EQ(db.Rows(q), one);
    }
}

// A result with a memo column is appended row by row and then sorted; one without is
// sorted as its rows come in. Both give the same rows in the same order, equal keys
// in the order the table holds them, over many runs and over one.
TEST(OrderOnEntry, RowsComeInTheOrderOfAppendingThenSorting) {
    SqlDb db;
    db.Create("u", {{"g", fldINT32}, {"n", fldINT32}, {"s", fldZSTRING, 8}, {"m", fldBLOB, 0}});
    std::vector<Row> rows;
    for (int64_t i = 0; i < 1500; ++i) {
        Row row(4);
        if (i % 13 != 0) row[0] = (i * 7) % 5;
        row[1] = i;
        if (i % 11 != 0) row[2] = std::string(1, static_cast<char>((i % 3 ? 'a' : 'A') + i % 4));
        rows.push_back(std::move(row));
    }
    db.Insert("u", rows);
    const std::vector<std::string> tails = {
        " FROM u ORDER BY g",         " FROM u ORDER BY g DESC",         " FROM u ORDER BY s, g NOCASE",
        " FROM u ORDER BY s DESC, g", " FROM u WHERE n > 700 ORDER BY g", " FROM u ORDER BY g TOP 7",
        " FROM u ORDER BY 3, 1 TOP 300"};
    for (const int32_t bufferCount : {40, 8192}) {
        db.Session().RecordBufferCount = bufferCount;
        for (const std::string& tail : tails) {
            SCOPED_TRACE(tail + " runs of " + std::to_string(bufferCount));
            const TextRows entered = db.Rows("SELECT g, n, s" + tail);
            TextRows appended = db.Rows("SELECT g, n, s, m" + tail);
            for (auto& row : appended) row.pop_back();
            ASSERT_FALSE(entered.empty());
            EXPECT_EQ(entered, appended);
        }
    }
}


// The visible columns of a result but the last `drop`, as their stored bytes.
TextRows StoredRows(SqlDb& db, TDataCursor* c, size_t drop) {
    TextRows rows;
    std::vector<uint8_t> record(c->GetCursorRecordSize() + 16u, 0);
    const auto& columns = db.Plan().Columns;
    c->SetToBegin();
    while (c->GetNextRecord(record.data()) == 0) {
        std::vector<std::string> row;
        for (size_t i = 0; i + drop < columns.size(); ++i) {
            TFieldDesc d;
            c->GetFieldDesc(columns[i].ResultNo, d);
            const uint8_t* field = record.data() + d.Offset();
            row.emplace_back(field[0] == 0 ? std::string("NULL") : std::string(field + 1, field + 1 + d.StoredSize()));
        }
        rows.push_back(row);
    }
    return rows;
}

TextRows Sorted(TextRows rows) {
    std::sort(rows.begin(), rows.end());
    return rows;
}

TextRows SqliteRows(sqlite3* lite, const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(lite, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
    TextRows rows;
    while (st && sqlite3_step(st) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int i = 0; i < sqlite3_column_count(st); ++i)
            row.push_back(sqlite3_column_type(st, i) == SQLITE_NULL ? "NULL"
                                                                    : std::to_string(sqlite3_column_int64(st, i)));
        rows.push_back(row);
    }
    sqlite3_finalize(st);
    return rows;
}

TEST(GroupOnEntry, RandomQueriesGiveTheStoredBytesOfSortingAfterwards) {
    SqlDb db;
    // Texts under a collation that passes over accents: "\xE9clair" and "eclair"
    // are one value, "Apple" and "apple" two.
    db.Create("t", {{"g", fldINT32}, {"h", fldINT16}, {"s", fldZSTRING, 8}, {"f", fldFLOAT}, {"n", fldINT32},
                    {"m", fldBLOB}},
              {}, false, 0x0409);
    sqlite3* lite = nullptr;
    sqlite3_open(":memory:", &lite);
    sqlite3_exec(lite, "CREATE TABLE t(g INTEGER, h INTEGER, n INTEGER)", nullptr, nullptr, nullptr);
    const char* words[] = {"apple", "Apple", "\xE9" "clair", "eclair", "b", "B"};
    std::mt19937 rng(51);
    std::vector<Row> rows;
    std::string inserts = "BEGIN;";
    for (int i = 0; i < 1500; ++i) {
        Row row(5);
        if (rng() % 9 != 0) row[0] = static_cast<int64_t>(rng() % 7);
        row[1] = static_cast<int64_t>(rng() % 5) - 2;
        if (rng() % 8 != 0) row[2] = std::string(words[rng() % 6]);
        row[3] = static_cast<double>(rng() % 1000) / 7.0;
        if (rng() % 6 != 0) row[4] = static_cast<int64_t>(rng() % 2001) - 1000;
        auto lit = [](const Value& v) { return v ? std::to_string(std::get<int64_t>(*v)) : std::string("NULL"); };
        inserts += "INSERT INTO t VALUES(" + lit(row[0]) + "," + lit(row[1]) + "," + lit(row[4]) + ");";
        rows.push_back(std::move(row));
    }
    db.Insert("t", rows);
    ASSERT_EQ(sqlite3_exec(lite, (inserts + "COMMIT").c_str(), nullptr, nullptr, nullptr), SQLITE_OK);

    const std::vector<std::string> keys = {"g", "h", "s"};
    const std::vector<std::string> integerAggregates = {"COUNT(*)", "COUNT(n)", "SUM(n)", "MIN(n)", "MAX(n)"};
    // f and n outside the aggregates take their group's first row.
    const std::vector<std::string> otherAggregates = {"SUM(f)", "MIN(f)", "MAX(f)", "AVG(f)", "AVG(n)", "f", "n"};
    // The same stored bytes whether the rows fold into their groups as they come
    // or are appended and sorted (a memo column in the list).
    const auto sameBothWays = [&](const std::string& folded, const std::string& sorted, bool allowEmpty) {
        const TextRows once = StoredRows(db, db.Run(folded), 0);
        EXPECT_TRUE(allowEmpty || !once.empty());
        EXPECT_EQ(once, StoredRows(db, db.Run(sorted), 1));
        return once.size();
    };
    for (int round = 0; round < 60; ++round) {
        std::vector<std::string> group = {keys[rng() % 3]};
        if (rng() % 2 && keys[rng() % 3] != group[0]) group.push_back(group[0] == "s" ? "g" : "s");
        std::string list = group[0] + (group.size() > 1 ? ", " + group[1] : "");
        const bool integers = std::none_of(group.begin(), group.end(), [](const std::string& k) { return k == "s"; }) &&
                              rng() % 2 == 0;
        const size_t aggregates = 1 + rng() % 3;
        std::string select = list;
        for (size_t i = 0; i < aggregates; ++i)
            select += ", " + (integers ? integerAggregates[rng() % integerAggregates.size()]
                                       : otherAggregates[rng() % otherAggregates.size()]);
        std::string tail = " FROM t GROUP BY " + list;
        if (rng() % 3 == 0) {
            select += ", COUNT(n)";
            tail += " HAVING COUNT(n) > " + std::to_string(rng() % 60);
        }
        if (!integers && rng() % 3 == 0) tail += " ORDER BY 2 DESC";
        if (!integers && rng() % 4 == 0) tail += " TOP 3";
        const bool distinct = !integers && rng() % 5 == 0;
        for (const int32_t bufferCount : {40, 8192}) {
            db.Session().RecordBufferCount = bufferCount;
            const std::string folded = distinct ? "SELECT DISTINCT " + list + " FROM t" : "SELECT " + select + tail;
            const std::string sorted = "SELECT " + (distinct ? list : select) + ", m" + (distinct ? " FROM t GROUP BY " + list : tail);
            SCOPED_TRACE(folded + " runs of " + std::to_string(bufferCount));
            sameBothWays(folded, sorted, tail.find("HAVING") != std::string::npos);
            if (integers) {
                EXPECT_EQ(Sorted(db.Rows(folded)), Sorted(SqliteRows(lite, folded)));
            }
        }
    }
    // A running sum of doubles takes the group before it into a group's first row:
    // added in another order its last bits differ. Texts whose bytes run together
    // alike, "ab" + "c" and "a" + "bc", and texts holding a byte 1 beside a field's
    // presence byte stay groups of their own under a collation that takes every
    // byte as it is: 11 pairs, the second text given or NULL.
    db.Create("w", {{"p", fldZSTRING, 4}, {"q", fldZSTRING, 4}, {"f", fldFLOAT}, {"m", fldBLOB}});
    static const char* const halves[][2] = {{"ab", "c"}, {"a", "bc"}, {"a\x01", "b"}, {"a", "\x01" "b"},
                                             {"a\x01\x01", "b"}, {"a", "\x01\x01" "b"}, {"a\x01", "\x01" "b"}};
    rows.clear();
    for (int i = 0; i < 700; ++i) {
        Row row(3);
        row[0] = std::string(halves[i % 7][0]);
        if (i % 5 != 0) row[1] = std::string(halves[i % 7][1]);
        row[2] = static_cast<double>(rng() % 1000) / 7.0;
        rows.push_back(std::move(row));
    }
    db.Insert("w", rows);
    const struct {
        std::string list, tail;
        size_t groups;  // 0: not counted
    } fixed[] = {{"g, RUNSUM(f), COUNT(*)", " FROM t GROUP BY g", 0},
                 {"s, h, RUNSUM(f), SUM(f), MAX(f)", " FROM t GROUP BY s, h", 0},
                 {"p, q, COUNT(*), SUM(f)", " FROM w GROUP BY p, q", 11},
                 {"q, p, RUNSUM(f), AVG(f)", " FROM w GROUP BY q, p", 11},
                 {"DISTINCT p, q", " FROM w", 11}};
    for (const int32_t bufferCount : {40, 8192}) {
        db.Session().RecordBufferCount = bufferCount;
        for (const auto& f : fixed) {
            SCOPED_TRACE(f.list + " runs of " + std::to_string(bufferCount));
            const std::string sorted = f.list.starts_with("DISTINCT ")
                                           ? "SELECT p, q, m FROM w GROUP BY p, q"
                                           : "SELECT " + f.list + ", m" + f.tail;
            const size_t groups = sameBothWays("SELECT " + f.list + f.tail, sorted, false);
            EXPECT_TRUE(f.groups == 0 || groups == f.groups) << groups;
        }
    }
    sqlite3_close(lite);
}

}  // namespace
}  // namespace kura::selecttest
