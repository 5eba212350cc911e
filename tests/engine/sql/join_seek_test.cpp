// A joined level read by key (its index finds the first record of each outer
// row's key and the level steps on while the key lasts) against the same join
// over an unindexed copy of the table, read from memory: the same rows, for
// ascending and descending indexes, repeated and missing keys, NULLs on both
// sides and integer, date and time keys; a LEFT JOIN whose key finds nothing keeps
// its outer row with NULLs.
#include <algorithm>

#include "tests/engine/sql/SelectTestSupport.h"

namespace kura::selecttest {
namespace {

constexpr int32_t InnerRows = 3000;

class JoinSeekTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::vector<Column> inner = {{"k", fldINT32}, {"d", fldDATE}, {"v", fldINT32}, {"tm", fldTIME}};
        db.Create("asc", inner, {1, 2, 4});
        db.Create("dsc", inner, {1, 2, 4}, true);
        db.Create("flat", inner);
        std::vector<Row> rows;
        for (int32_t i = 0; i < InnerRows; ++i) {
            // Keys 0..999 three times each (in scattered order), every 97th NULL.
            const int64_t key = (static_cast<int64_t>(i) * 7) % 1000;
            Row row(4);
            if (i % 97 != 0) row[0] = key;
            row[1] = int64_t{730000 + key % 50};
            row[2] = int64_t{i};
            row[3] = int64_t{key % 50 * 1000};
            rows.push_back(std::move(row));
        }
        for (const char* t : {"asc", "dsc", "flat"}) db.Insert(t, rows);
        // 4 and 7 find no key of any kind.
        db.Create("few", {{"id", fldINT32}, {"k", fldINT32}, {"d", fldDATE}, {"tm", fldTIME}});
        db.Insert("few", {{1, 5, 730005, 5000},
                          {2, 5, 730005, 5000},
                          {3, 999, 730049, 49000},
                          {4, 1000, 730060, 60000},
                          {5, std::nullopt, std::nullopt, std::nullopt},
                          {6, 0, 730000, 0},
                          {7, -3, 729999, 86399999},
                          {8, 14, 730014, 14000}});
    }
    TextRows Sorted(const std::string& sql) {
        TextRows rows = db.Rows(sql);
        std::sort(rows.begin(), rows.end());
        return rows;
    }
    SqlDb db;
};

TEST_F(JoinSeekTest, KeyedLevelsGiveTheRowsOfAMemoryJoin) {
    struct Query {
        std::string Sql;
        bool Seek;            // the indexed table is read by key
        std::string Unmatched;  // ids of outer rows a LEFT JOIN keeps with NULLs
    };
    const std::vector<Query> queries = {
        {"SELECT f.id, t.v FROM TBL t, few f WHERE f.k = t.k", true, ""},
        {"SELECT f.id, t.v FROM TBL t, few f WHERE t.k = f.k AND t.v > 1500", true, ""},
        {"SELECT f.id, t.v, t.k FROM TBL t, few f WHERE f.d = t.d", true, ""},
        {"SELECT f.id, COUNT(*) FROM TBL t, few f WHERE f.k = t.k GROUP BY f.id", true, ""},
        {"SELECT f.id, t.v FROM TBL t, few f WHERE f.tm = t.tm AND t.v < 100", true, ""},
        // A LEFT JOIN on a key of the outer row reads the inner table from memory.
        {"SELECT f.id, t.v FROM few f LEFT OUTER JOIN TBL t ON f.k = t.k", false, "47"},
        {"SELECT f.id, t.v FROM few f LEFT OUTER JOIN TBL t ON f.d = t.d", false, "47"},
        {"SELECT f.id, t.v FROM few f LEFT OUTER JOIN TBL t ON f.tm = t.tm", false, "47"},
        // On a constant key it seeks, for every outer row, also where nothing is found.
        {"SELECT f.id, t.v FROM few f LEFT OUTER JOIN TBL t ON t.k = 1000", true, "12345678"},
        {"SELECT f.id, t.v FROM few f LEFT OUTER JOIN TBL t ON t.k = 7", true, ""},
        {"SELECT f.id, t.v FROM few f LEFT OUTER JOIN TBL t ON t.d = '1999-01-01'", true, "12345678"},
        {"SELECT f.id, t.v FROM few f LEFT OUTER JOIN TBL t ON t.tm = '23:59:59'", true, "12345678"},
        {"SELECT f.id, t.v FROM few f LEFT OUTER JOIN TBL t ON t.tm = '00:00:07'", true, ""},
    };
    for (const Query& q : queries) {
        auto with = [&](const std::string& table) {
            std::string text = q.Sql;
            text.replace(text.find("TBL"), 3, table);
            return text;
        };
        SCOPED_TRACE(q.Sql);
        const TextRows want = Sorted(with("flat"));
        ASSERT_FALSE(want.empty());
        for (const char id : q.Unmatched) {
            const TextRows::value_type nullRow{std::string(1, id), "NULL"};
            EXPECT_NE(std::find(want.begin(), want.end(), nullRow), want.end()) << id;
        }
        for (const char* table : {"asc", "dsc"}) {
            SCOPED_TRACE(table);
            EXPECT_EQ(Sorted(with(table)), want);
            // The few outer rows drive and the indexed table is read by key.
            ASSERT_EQ(db.Plan().Tables.size(), 2u);
            if (q.Seek) {
                EXPECT_TRUE(db.Plan().Tables[1].Seek);
            }
        }
    }
}

}  // namespace
}  // namespace kura::selecttest
