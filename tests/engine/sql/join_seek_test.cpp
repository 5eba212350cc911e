// A joined level read by key (its index finds the first record of each outer
// row's key and the level steps on while the key lasts) against the same join
// over an unindexed copy of the table, read from memory: the same rows, for
// ascending and descending indexes, repeated and missing keys, NULLs on both
// sides and integer and date keys.
#include <algorithm>

#include "tests/engine/sql/SelectTestSupport.h"

namespace kura::selecttest {
namespace {

constexpr int32_t InnerRows = 3000;

class JoinSeekTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::vector<Column> inner = {{"k", fldINT32}, {"d", fldDATE}, {"v", fldINT32}};
        db.Create("asc", inner, {1, 2});
        db.Create("dsc", inner, {1, 2}, true);
        db.Create("flat", inner);
        std::vector<Row> rows;
        for (int32_t i = 0; i < InnerRows; ++i) {
            // Keys 0..999 three times each (in scattered order), every 97th NULL.
            const int64_t key = (static_cast<int64_t>(i) * 7) % 1000;
            Row row(3);
            if (i % 97 != 0) row[0] = key;
            row[1] = int64_t{730000 + key % 50};
            row[2] = int64_t{i};
            rows.push_back(std::move(row));
        }
        for (const char* t : {"asc", "dsc", "flat"}) db.Insert(t, rows);
        db.Create("few", {{"id", fldINT32}, {"k", fldINT32}, {"d", fldDATE}});
        db.Insert("few", {{1, 5, 730005},
                          {2, 5, 730005},
                          {3, 999, 730049},
                          {4, 1000, 730060},
                          {5, std::nullopt, std::nullopt},
                          {6, 0, 730000},
                          {7, -3, 729999},
                          {8, 14, 730014}});
    }
    TextRows Sorted(const std::string& sql) {
        TextRows rows = db.Rows(sql);
        std::sort(rows.begin(), rows.end());
        return rows;
    }
    SqlDb db;
};

TEST_F(JoinSeekTest, KeyedLevelsGiveTheRowsOfAMemoryJoin) {
    const std::vector<std::string> queries = {
        "SELECT f.id, t.v FROM TBL t, few f WHERE f.k = t.k",
        "SELECT f.id, t.v FROM TBL t, few f WHERE t.k = f.k AND t.v > 1500",
        "SELECT f.id, t.v, t.k FROM TBL t, few f WHERE f.d = t.d",
        "SELECT f.id, COUNT(*) FROM TBL t, few f WHERE f.k = t.k GROUP BY f.id",
    };
    for (const std::string& q : queries) {
        auto with = [&](const std::string& table) {
            std::string text = q;
            text.replace(text.find("TBL"), 3, table);
            return text;
        };
        SCOPED_TRACE(q);
        const TextRows want = Sorted(with("flat"));
        ASSERT_FALSE(want.empty());
        for (const char* table : {"asc", "dsc"}) {
            SCOPED_TRACE(table);
            EXPECT_EQ(Sorted(with(table)), want);
            // The few outer rows drive and the indexed table is read by key.
            ASSERT_EQ(db.Plan().Tables.size(), 2u);
            EXPECT_TRUE(db.Plan().Tables[1].Seek);
        }
    }
}

}  // namespace
}  // namespace kura::selecttest
