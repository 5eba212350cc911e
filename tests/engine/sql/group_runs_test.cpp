// Grouping and DISTINCT over a result table too large for one sort run: each run
// folds its own equal keys before the merge folds the runs' groups. With a record
// buffer of 40 records the sort writes dozens of runs; every query must give the
// rows it gives when the whole table is sorted in one run. Sums are of values
// exact in binary, so the order of the additions cannot show.
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

}  // namespace
}  // namespace kura::selecttest
