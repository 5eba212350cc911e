// ORDER BY may name an aggregate's column by its alias (the head count per
// department, largest first), while GROUP BY may not name an aggregate.
#include "tests/engine/sql/SelectTestSupport.h"

namespace kura::selecttest {
namespace {

using S = std::string;

class OrderByAggregate : public ::testing::Test {
protected:
    void SetUp() override {
        db.Create("staff", {{"code", fldINT32}, {"bu", fldZSTRING, 10}});
        db.Insert("staff", {{1, S("b")}, {2, S("a")}, {3, S("b")}, {4, std::nullopt}, {5, S("b")}, {6, S("a")}});
    }
    SqlDb db;
};

TEST_F(OrderByAggregate, CountByAliasInEitherDirection) {
    EXPECT_EQ(db.Rows("SELECT bu as Komoku, Count(*) AS Kensu FROM staff\r\n GROUP BY Komoku\r\n ORDER BY Kensu DESC"),
              (TextRows{{"b", "3"}, {"a", "2"}, {"NULL", "1"}}));
    EXPECT_EQ(db.Names(), (std::vector<S>{"Komoku", "Kensu"}));
    EXPECT_EQ(db.Rows("SELECT bu, COUNT(*) AS n FROM staff GROUP BY bu ORDER BY n, bu"),
              (TextRows{{"NULL", "1"}, {"a", "2"}, {"b", "3"}}));
    EXPECT_EQ(db.Rows("SELECT bu, MAX(code) AS top FROM staff GROUP BY bu ORDER BY top DESC"),
              (TextRows{{"a", "6"}, {"b", "5"}, {"NULL", "4"}}));
}

TEST_F(OrderByAggregate, GroupByAnAggregateIsStillRefused) {
    const auto [code, message] = db.Error("SELECT bu, COUNT(*) AS n FROM staff GROUP BY n");
    EXPECT_EQ(code, KURA_SQLPARSE);
    EXPECT_NE(message.find("Invalid column name 'n'"), std::string::npos) << message;
    EXPECT_NE(message.find("GROUP BY clause"), std::string::npos) << message;
}

}  // namespace
}  // namespace kura::selecttest
