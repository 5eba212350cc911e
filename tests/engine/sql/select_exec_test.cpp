// SELECT behaviour, feature by feature: every result checked row by row with its
// column names, NULLs included.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

#include "engine/sql/SourceTable.h"
#include "tests/engine/sql/SelectTestSupport.h"

namespace kura::selecttest {
namespace {

using S = std::string;

class SelectTest : public ::testing::Test {
protected:
    void SetUp() override {
        db.Create("emp", {{"id", fldINT32}, {"name", fldZSTRING, 12}, {"dept", fldINT32}, {"salary", fldFLOAT},
                          {"hired", fldDATE}, {"bonus", fldINT32}},
                  {3});
        db.Insert("emp", {
                             {1, S("Ann"), 10, 100.0, 730000, 5},
                             {2, S("Bob"), 20, 200.0, 730010, std::nullopt},
                             {3, S("Cid"), 10, 300.0, 730020, 7},
                             {4, S("Dee"), 30, 50.0, 730030, 1},
                             {5, S("Eve"), std::nullopt, 80.0, 730040, std::nullopt},
                         });
        db.Create("dept", {{"id", fldINT32}, {"dname", fldZSTRING, 10}}, {1});
        db.Insert("dept", {{10, S("Sales")}, {20, S("Dev")}, {40, S("Empty")}});
    }
    SqlDb db;
};

TEST_F(SelectTest, Counting) {
    EXPECT_EQ(db.Rows("SELECT COUNT(*) FROM emp"), (TextRows{{"5"}}));
    EXPECT_EQ(db.Names(), (std::vector<S>{"Count Of *"}));
    EXPECT_EQ(db.Rows("SELECT COUNT(*) FROM emp WHERE dept = 10"), (TextRows{{"2"}}));
    EXPECT_EQ(db.Rows("SELECT COUNT(*) AS n FROM emp WHERE salary > 90"), (TextRows{{"3"}}));
    EXPECT_EQ(db.Names(), (std::vector<S>{"n"}));
    EXPECT_EQ(db.Rows("SELECT COUNT(bonus), COUNT(*) FROM emp"), (TextRows{{"3", "5"}}));
    EXPECT_EQ(db.Rows("SELECT COUNT(*) FROM emp WHERE dept = 99"), (TextRows{{"0"}}));
    // Over no rows: COUNT is 0, the other aggregates NULL.
    EXPECT_EQ(db.Rows("SELECT COUNT(*), SUM(salary), MIN(hired) FROM emp WHERE id > 100"),
              (TextRows{{"0", "NULL", "NULL"}}));
}

TEST_F(SelectTest, PlainColumnsAndNames) {
    EXPECT_EQ(db.Rows("SELECT id, name FROM emp WHERE id <= 2"), (TextRows{{"1", "Ann"}, {"2", "Bob"}}));
    EXPECT_EQ(db.Names(), (std::vector<S>{"id", "name"}));
    db.Rows("SELECT id, id, name AS id FROM emp");
    EXPECT_EQ(db.Names(), (std::vector<S>{"id", "id_1", "id_2"}));
    db.Rows("SELECT SUM(salary), SUM(salary) FROM emp");
    EXPECT_EQ(db.Names(), (std::vector<S>{"Sum Of salary", "Sum Of salary_1"}));
    db.Rows("SELECT * FROM dept");
    EXPECT_EQ(db.Names(), (std::vector<S>{"id", "dname"}));
    db.Rows("SELECT id + 1, UPPER(name) FROM emp");
    EXPECT_EQ(db.Names(), (std::vector<S>{"Expression", "Expression_1"}));
    EXPECT_EQ(db.Rows("SELECT bonus FROM emp WHERE bonus IS NULL"), (TextRows{{"NULL"}, {"NULL"}}));
}

TEST_F(SelectTest, GroupingWithEveryAggregate) {
    EXPECT_EQ(db.Rows("SELECT dept, COUNT(*), SUM(salary), MIN(hired), MAX(bonus), AVG(salary) FROM emp "
                      "GROUP BY dept"),
              (TextRows{{"NULL", "1", "80", "730040", "NULL", "80"},
                        {"10", "2", "400", "730000", "7", "200"},
                        {"20", "1", "200", "730010", "NULL", "200"},
                        {"30", "1", "50", "730030", "1", "50"}}));
    EXPECT_EQ(db.Names(), (std::vector<S>{"dept", "Count Of *", "Sum Of salary", "Min Of hired", "Max Of bonus",
                                          "Average Of salary"}));
    // RUNSUM carries across groups, SUM restarts.
    EXPECT_EQ(db.Rows("SELECT dept, SUM(salary), RUNSUM(salary) FROM emp WHERE dept IS NOT NULL GROUP BY dept"),
              (TextRows{{"10", "400", "400"}, {"20", "200", "600"}, {"30", "50", "650"}}));
    EXPECT_EQ(db.Rows("SELECT dept, COUNT(id) FROM emp GROUP BY dept HAVING COUNT(id) > 1"),
              (TextRows{{"10", "2"}}));
    EXPECT_EQ(db.Rows("SELECT dept, SUM(bonus) FROM emp GROUP BY dept HAVING SUM(bonus) >= 1"),
              (TextRows{{"10", "12"}, {"30", "1"}}));
    EXPECT_EQ(db.Rows("SELECT dept, SUM(bonus) FROM emp GROUP BY dept"),
              (TextRows{{"NULL", "NULL"}, {"10", "12"}, {"20", "NULL"}, {"30", "1"}}));
    // A column outside GROUP BY and the aggregates keeps its group's first row.
    EXPECT_EQ(db.Rows("SELECT dept, id, COUNT(*) FROM emp WHERE dept = 10 GROUP BY dept"),
              (TextRows{{"10", "1", "2"}}));
    // AVG over integers is a float; over no non-NULL value 0.
    EXPECT_EQ(db.Rows("SELECT dept, AVG(bonus) FROM emp GROUP BY dept"),
              (TextRows{{"NULL", "0"}, {"10", "6"}, {"20", "0"}, {"30", "1"}}));
}

TEST_F(SelectTest, AverageOfDatesAndIntegersSumsIn64Bits) {
    db.Create("big", {{"d", fldDATE}, {"n", fldINT32}});
    std::vector<Row> rows;
    for (int i = 0; i < 4000; ++i) rows.push_back({int64_t{740000 + (i % 3)}, int64_t{2000000000}});
    db.Insert("big", rows);
    // 4000 dates near 740,000 sum to about 2.96e9, past 32 bits.
    EXPECT_EQ(db.Rows("SELECT AVG(d), AVG(n), SUM(n) FROM big"), (TextRows{{"740000", "2000000000", "8000000000000"}}));
    EXPECT_EQ(db.Rows("SELECT d, AVG(n) FROM big GROUP BY d"),
              (TextRows{{"740000", "2000000000"}, {"740001", "2000000000"}, {"740002", "2000000000"}}));
}

TEST_F(SelectTest, DistinctTopAndOrdering) {
    EXPECT_EQ(db.Rows("SELECT DISTINCT dept FROM emp"), (TextRows{{"NULL"}, {"10"}, {"20"}, {"30"}}));
    EXPECT_EQ(db.Rows("SELECT DISTINCT dept FROM emp ORDER BY dept DESC"),
              (TextRows{{"30"}, {"20"}, {"10"}, {"NULL"}}));
    EXPECT_EQ(db.Rows("SELECT name, salary FROM emp ORDER BY salary DESC TOP 2"),
              (TextRows{{"Cid", "300"}, {"Bob", "200"}}));
    EXPECT_EQ(db.Rows("SELECT name, salary FROM emp ORDER BY 2 TOP 2"), (TextRows{{"Dee", "50"}, {"Eve", "80"}}));
    EXPECT_EQ(db.Rows("SELECT name, dept FROM emp ORDER BY dept, name DESC"),
              (TextRows{{"Eve", "NULL"}, {"Cid", "10"}, {"Ann", "10"}, {"Bob", "20"}, {"Dee", "30"}}));
    // Without ORDER BY, TOP keeps the first rows read.
    EXPECT_EQ(db.Rows("SELECT id FROM emp TOP 2"), (TextRows{{"1"}, {"2"}}));
    EXPECT_EQ(db.Rows("SELECT DISTINCT dept, name FROM emp GROUP BY dept, name ORDER BY name DESC").size(), 5u);
}

TEST_F(SelectTest, UnionAndUnionAll) {
    EXPECT_EQ(db.Rows("SELECT dept FROM emp WHERE dept = 10 UNION SELECT id FROM dept"),
              (TextRows{{"10"}, {"20"}, {"40"}}));
    EXPECT_EQ(db.Rows("SELECT dept FROM emp WHERE dept = 10 UNION ALL SELECT id FROM dept").size(), 5u);
    EXPECT_EQ(db.Rows("SELECT id FROM emp UNION SELECT id FROM dept ORDER BY 1 DESC TOP 3"),
              (TextRows{{"40"}, {"20"}, {"10"}}));
    // TOP after a member limits that member's rows.
    EXPECT_EQ(db.Rows("SELECT id FROM dept UNION ALL SELECT id FROM emp TOP 2"),
              (TextRows{{"10"}, {"20"}, {"40"}, {"1"}, {"2"}}));
    // A member's longer text is cut to the master's column.
    db.Insert("emp", {{9, S("Maximiliana"), 20, 1.0, 730000, 1}});
    EXPECT_EQ(db.Rows("SELECT dname FROM dept WHERE id = 40 UNION SELECT name FROM emp WHERE id = 9"),
              (TextRows{{"Empty"}, {"Maximilian"}}));
    EXPECT_EQ(db.Error("SELECT id FROM emp UNION SELECT id, dname FROM dept").second,
              "The number of columns  in the UNION query must match the  number of columns in the master query");
    EXPECT_EQ(db.Error("SELECT id FROM emp UNION ALL SELECT dname FROM dept").second,
              "Type mismatch between column expression 'dname' in the UNION ALL query and column expression 'id' in "
              "the master query");
}

// Rules that a grouping, ordering or UNION step can get subtly wrong, each as rows
// in the order given (sorted first where the query leaves the order open).
TEST_F(SelectTest, HavingOrderingAndUnionKindsDecideTheRows) {
    const struct {
        const char* Sql;
        TextRows Expected;
        bool Sorted;  // compare as sorted lists
    } cases[] = {
        // HAVING sees each group's finished average, never its running sum: the
        // sum of dept 10 (400 salary, 12 bonus) would fail these tests.
        {"SELECT dept, AVG(salary) FROM emp GROUP BY dept HAVING AVG(salary) < 250",
         {{"NULL", "80"}, {"10", "200"}, {"20", "200"}, {"30", "50"}}, false},
        {"SELECT dept, AVG(salary) FROM emp GROUP BY dept HAVING AVG(salary) = 200", {{"10", "200"}, {"20", "200"}}, false},
        {"SELECT dept, AVG(bonus) FROM emp GROUP BY dept HAVING AVG(bonus) < 10",
         {{"NULL", "0"}, {"10", "6"}, {"20", "0"}, {"30", "1"}}, false},
        {"SELECT dept, AVG(id) FROM emp GROUP BY dept HAVING AVG(id) > 3", {{"NULL", "5"}, {"30", "4"}}, false},
        // An ORDER BY on the grouping columns keeps its own directions.
        {"SELECT dept, COUNT(*) FROM emp GROUP BY dept ORDER BY dept DESC",
         {{"30", "1"}, {"20", "1"}, {"10", "2"}, {"NULL", "1"}}, false},
        {"SELECT dept, COUNT(*) FROM emp GROUP BY dept ORDER BY 1 DESC",
         {{"30", "1"}, {"20", "1"}, {"10", "2"}, {"NULL", "1"}}, false},
        {"SELECT dept, COUNT(*) FROM emp GROUP BY dept ORDER BY dept",
         {{"NULL", "1"}, {"10", "2"}, {"20", "1"}, {"30", "1"}}, false},
        {"SELECT dept, name FROM emp GROUP BY dept, name ORDER BY dept, name DESC",
         {{"NULL", "Eve"}, {"10", "Cid"}, {"10", "Ann"}, {"20", "Bob"}, {"30", "Dee"}}, false},
        {"SELECT dept, name FROM emp GROUP BY dept, name ORDER BY dept DESC, name",
         {{"30", "Dee"}, {"20", "Bob"}, {"10", "Ann"}, {"10", "Cid"}, {"NULL", "Eve"}}, false},
        {"SELECT dept, SUM(salary) FROM emp GROUP BY dept ORDER BY dept DESC TOP 2", {{"30", "50"}, {"20", "200"}}, false},
        // UNION against UNION ALL is each link's own: a chain reads from its end,
        // and a member joined by UNION alone de-duplicates what follows from it.
        {"SELECT dept FROM emp WHERE dept = 10 UNION ALL SELECT id FROM dept WHERE id = 10 UNION SELECT id FROM dept",
         {{"10"}, {"10"}, {"10"}, {"20"}, {"40"}}, true},
        {"SELECT dept FROM emp WHERE dept = 10 UNION SELECT id FROM dept WHERE id = 10 UNION ALL SELECT id FROM dept",
         {{"10"}, {"20"}, {"40"}}, true},
        {"SELECT dept FROM emp WHERE dept = 10 UNION ALL SELECT id FROM dept UNION ALL SELECT id FROM dept",
         {{"10"}, {"10"}, {"10"}, {"10"}, {"20"}, {"20"}, {"40"}, {"40"}}, true},
        {"SELECT id FROM dept UNION ALL SELECT id FROM dept UNION ALL SELECT dept FROM emp WHERE dept > 10 UNION "
         "SELECT dept FROM emp WHERE dept > 10",
         {{"10"}, {"10"}, {"20"}, {"20"}, {"20"}, {"30"}, {"40"}, {"40"}}, true},
    };
    for (const auto& c : cases) {
        TextRows rows = db.Rows(c.Sql);
        if (c.Sorted) {
            std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return std::stoi(a[0]) < std::stoi(b[0]); });
        }
        EXPECT_EQ(rows, c.Expected) << c.Sql;
    }
}

TEST_F(SelectTest, Joins) {
    EXPECT_EQ(db.Rows("SELECT e.name, d.dname FROM emp e, dept d WHERE e.dept = d.id ORDER BY e.name"),
              (TextRows{{"Ann", "Sales"}, {"Bob", "Dev"}, {"Cid", "Sales"}}));
    EXPECT_EQ(db.Rows("SELECT e.name, d.dname FROM emp e INNER JOIN dept d ON e.dept = d.id ORDER BY 1"),
              (TextRows{{"Ann", "Sales"}, {"Bob", "Dev"}, {"Cid", "Sales"}}));
    // The null row of a left outer join: every column of the missing side NULL,
    // after a matched row that left its values in the buffer.
    EXPECT_EQ(db.Rows("SELECT e.name, d.id, d.dname FROM emp e LEFT OUTER JOIN dept d ON e.dept = d.id ORDER BY 1"),
              (TextRows{{"Ann", "10", "Sales"},
                        {"Bob", "20", "Dev"},
                        {"Cid", "10", "Sales"},
                        {"Dee", "NULL", "NULL"},
                        {"Eve", "NULL", "NULL"}}));
    // A WHERE on the inner side of an outer join tests the null row too.
    EXPECT_EQ(db.Rows("SELECT e.name FROM emp e LEFT OUTER JOIN dept d ON e.dept = d.id WHERE d.dname IS NULL "
                      "ORDER BY 1"),
              (TextRows{{"Dee"}, {"Eve"}}));
    EXPECT_EQ(db.Rows("SELECT d.dname, e.name FROM emp e RIGHT OUTER JOIN dept d ON e.dept = d.id ORDER BY 1, 2"),
              (TextRows{{"Dev", "Bob"}, {"Empty", "NULL"}, {"Sales", "Ann"}, {"Sales", "Cid"}}));
    EXPECT_EQ(db.Rows("SELECT COUNT(*) FROM emp, dept"), (TextRows{{"15"}}));
    EXPECT_EQ(db.Rows("SELECT d.dname, COUNT(*) FROM emp e, dept d WHERE e.dept = d.id GROUP BY d.dname"),
              (TextRows{{"Dev", "1"}, {"Sales", "2"}}));
}

// A RIGHT OUTER JOIN keeps every record of its table and joins it to everything
// joined before it; the tables keep their FROM order in SELECT *.
TEST_F(SelectTest, RightOuterJoinsOverThreeTables) {
    db.Create("proj", {{"id", fldINT32}, {"dept", fldINT32}, {"title", fldZSTRING, 10}}, {1});
    db.Insert("proj", {{1, 10, S("Alpha")}, {2, 20, S("Beta")}, {3, 50, S("Gamma")}});
    const TextRows perProject = {{"Alpha", "Sales", "Ann"}, {"Alpha", "Sales", "Cid"}, {"Beta", "Dev", "Bob"},
                                 {"Gamma", "NULL", "NULL"}};
    EXPECT_EQ(db.Rows("SELECT p.title, d.dname, e.name FROM emp e INNER JOIN dept d ON e.dept = d.id "
                      "RIGHT OUTER JOIN proj p ON p.dept = d.id ORDER BY 1, 3"),
              perProject);
    // Dee and Eve have no department: their rows of the left join match no project.
    EXPECT_EQ(db.Rows("SELECT p.title, d.dname, e.name FROM emp e LEFT OUTER JOIN dept d ON e.dept = d.id "
                      "RIGHT OUTER JOIN proj p ON p.dept = d.id ORDER BY 1, 3"),
              perProject);
    EXPECT_EQ(db.Rows("SELECT p.title, d.dname, e.name FROM dept d RIGHT OUTER JOIN proj p ON p.dept = d.id "
                      "LEFT OUTER JOIN emp e ON e.dept = p.dept ORDER BY 1, 3"),
              perProject);
    EXPECT_EQ(db.Rows("SELECT d.dname, p.title, e.name FROM emp e RIGHT OUTER JOIN dept d ON e.dept = d.id "
                      "RIGHT OUTER JOIN proj p ON p.dept = d.id ORDER BY 2, 3"),
              (TextRows{{"Sales", "Alpha", "Ann"}, {"Sales", "Alpha", "Cid"}, {"Dev", "Beta", "Bob"},
                        {"NULL", "Gamma", "NULL"}}));
    // A condition on the kept table alone decides the match, not the row.
    EXPECT_EQ(db.Rows("SELECT p.title, d.dname FROM dept d RIGHT OUTER JOIN proj p ON p.dept = d.id AND p.id > 1 "
                      "ORDER BY 1"),
              (TextRows{{"Alpha", "NULL"}, {"Beta", "Dev"}, {"Gamma", "NULL"}}));
    // A WHERE on the joined side tests the null rows too.
    EXPECT_EQ(db.Rows("SELECT p.title FROM emp e INNER JOIN dept d ON e.dept = d.id RIGHT OUTER JOIN proj p "
                      "ON p.dept = d.id WHERE e.name IS NULL"),
              (TextRows{{"Gamma"}}));
    EXPECT_EQ(db.Rows("SELECT * FROM dept d RIGHT OUTER JOIN proj p ON p.dept = d.id ORDER BY 5"),
              (TextRows{{"10", "Sales", "1", "10", "Alpha"}, {"20", "Dev", "2", "20", "Beta"},
                        {"NULL", "NULL", "3", "50", "Gamma"}}));
    EXPECT_EQ(db.Names(), (std::vector<S>{"id", "dname", "id_1", "dept", "title"}));
    EXPECT_EQ(db.Rows("SELECT COUNT(*), COUNT(e.id) FROM emp e INNER JOIN dept d ON e.dept = d.id "
                      "RIGHT OUTER JOIN proj p ON p.dept = d.id"),
              (TextRows{{"4", "3"}}));
    // The loops run in the join tree's order: a RIGHT OUTER JOIN's table, then the
    // table that owns the join (the one its ON condition reaches it from, or the one
    // before it in the FROM list), then the tables that one was joined to; with
    // inner joins alone, each table with the tables joined to it right after it. A
    // left outer group still comes after the table it is outer to, and where two
    // groups' joins read each other's tables the levels keep the FROM order.
    const auto levels = [&] {
        std::string order;
        for (const TPlanTable& t : db.Statement().MasterQuery()->Plan->Tables)
            order += (order.empty() ? "" : " ") + t.Source->CorrelationName;
        return order;
    };
    const std::string titles = "SELECT p.title, d.dname, e.name FROM ";
    const std::tuple<std::string, std::string, TextRows> orders[] = {
        {titles + "emp e INNER JOIN dept d ON e.dept = d.id RIGHT OUTER JOIN proj p ON p.dept = d.id ORDER BY 1, 3",
         "p d e", perProject},
        {titles + "emp e, dept d RIGHT OUTER JOIN proj p ON p.dept = d.id WHERE e.dept = d.id ORDER BY 1, 3", "p d e",
         perProject},
        {titles + "emp e LEFT OUTER JOIN dept d ON e.dept = d.id RIGHT OUTER JOIN proj p ON p.dept = d.id "
                  "ORDER BY 1, 3",
         "p e d", perProject},
        {titles + "dept d RIGHT OUTER JOIN emp e ON e.dept = d.id RIGHT OUTER JOIN proj p ON p.dept = d.id "
                  "ORDER BY 1, 3",
         "p e d", perProject},
        {"SELECT COUNT(*) FROM emp e INNER JOIN dept d ON d.id = e.dept INNER JOIN proj p ON p.dept = e.dept "
         "INNER JOIN emp e2 ON e2.dept = d.id NOJOINOPTIMIZE", "e d e2 p", {{"5"}}},
        {"SELECT COUNT(*) FROM emp e LEFT OUTER JOIN dept d ON d.id = p.dept LEFT OUTER JOIN proj p ON p.dept = d.id",
         "e d p", {{"10"}}},
    };
    for (const auto& [text, order, rows] : orders) {
        EXPECT_EQ(db.Rows(text), rows) << text;
        EXPECT_EQ(levels(), order) << text;
    }
}

// The table that reads the fewest records through its indexed conditions drives
// an inner join; the rows stay the same, NOJOINOPTIMIZE keeps the FROM order and
// an outer join's inner table never moves before it.
TEST_F(SelectTest, TheSmallestFilteredTableDrivesInnerJoins) {
    db.Create("proj", {{"id", fldINT32}, {"dept", fldINT32}, {"title", fldZSTRING, 10}}, {1});
    db.Insert("proj", {{1, 10, S("Alpha")}, {2, 20, S("Beta")}, {3, 50, S("Gamma")}});
    auto driver = [&] { return db.Statement().MasterQuery()->Plan->Tables[0].Source->CorrelationName; };
    struct Case {
        const char* text;
        const char* drives;
        TextRows rows;
    };
    const Case cases[] = {
        {"SELECT e.name, d.dname FROM emp e, dept d WHERE e.dept = d.id AND d.id = 20", "d", {{"Bob", "Dev"}}},
        {"SELECT e.name, d.dname FROM emp e, dept d WHERE e.dept = d.id AND d.id = 20 NOJOINOPTIMIZE", "e",
         {{"Bob", "Dev"}}},
        {"SELECT e.name, d.dname, p.title FROM emp e, dept d, proj p WHERE e.dept = d.id AND p.dept = d.id AND "
         "p.id = 1 ORDER BY 1",
         "p", {{"Ann", "Sales", "Alpha"}, {"Cid", "Sales", "Alpha"}}},
        {"SELECT e.name, d.dname FROM emp e INNER JOIN dept d ON e.dept = d.id WHERE d.id = 10 ORDER BY 1", "d",
         {{"Ann", "Sales"}, {"Cid", "Sales"}}},
        {"SELECT e.name, d.dname FROM emp e LEFT OUTER JOIN dept d ON e.dept = d.id WHERE d.id = 20", "e",
         {{"Bob", "Dev"}}},
        // Without an indexed condition no table reads fewer than the first.
        {"SELECT COUNT(*) FROM dept d, emp e WHERE e.dept = d.id", "d", {{"3"}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(db.Rows(c.text), c.rows) << c.text;
        EXPECT_EQ(driver(), c.drives) << c.text;
    }
}

// Two NULLs are equal under "=" in a join too, whether a key range, a key sought,
// an in-memory key or a test of each record serves the equality, so neither an
// index nor the order of the tables changes the rows, and a join gives the rows
// of its WHERE form and its IN (SELECT ...) form.
TEST_F(SelectTest, JoinEqualitiesMatchTwoNulls) {
    const std::vector<Column> columns = {{"id", fldINT32}, {"code", fldZSTRING, 4}, {"num", fldINT32}};
    db.Create("a", columns);
    db.Create("b", columns, {2, 3});
    const std::vector<Row> rows = {{1, S("X"), 1}, {2, std::nullopt, std::nullopt}, {3, S("Y"), 3}};
    db.Insert("a", rows);
    db.Insert("b", rows);
    db.Insert("b", {{4, std::nullopt, std::nullopt}, {5, S("X"), 1}});
    const TextRows inner = {{"1", "1"}, {"1", "5"}, {"2", "2"}, {"2", "4"}, {"3", "3"}};
    for (const char* text : {"SELECT a.id, b.id FROM a, b WHERE a.code = b.code ORDER BY 1, 2",
                              "SELECT a.id, b.id FROM b, a WHERE a.code = b.code ORDER BY 1, 2",
                              "SELECT a.id, b.id FROM b, a WHERE a.code = b.code AND b.id < 9 ORDER BY 1, 2",
                              "SELECT a.id, b.id FROM a, b WHERE a.num = b.num ORDER BY 1, 2",
                              "SELECT a.id, b.id FROM b, a WHERE b.num = a.num ORDER BY 1, 2",
                              "SELECT a.id, b.id FROM a INNER JOIN b ON a.num = b.num ORDER BY 1, 2",
                              "SELECT a.id, b.id FROM b INNER JOIN a ON a.num = b.num ORDER BY 1, 2",
                              "SELECT a.id, b.id FROM a INNER JOIN b ON UPPER(a.code) = UPPER(b.code) ORDER BY 1, 2",
                              "SELECT a.id, b.id FROM b, a WHERE a.code = b.code ORDER BY 1, 2 NOJOINOPTIMIZE"})
        EXPECT_EQ(db.Rows(text), inner) << text;
    EXPECT_EQ(db.Rows("SELECT a.id, b.id FROM a LEFT OUTER JOIN b ON b.code = a.code ORDER BY 1, 2"), inner);
    EXPECT_EQ(db.Rows("SELECT a.id, b.id FROM a LEFT OUTER JOIN b ON b.num = a.num ORDER BY 1, 2"), inner);
    EXPECT_EQ(db.Rows("SELECT b.id, a.id FROM b LEFT OUTER JOIN a ON a.code = b.code ORDER BY 1, 2"),
              (TextRows{{"1", "1"}, {"2", "2"}, {"3", "3"}, {"4", "2"}, {"5", "1"}}));
    EXPECT_EQ(db.Rows("SELECT b.id, a.id FROM b LEFT OUTER JOIN a ON a.num = b.num ORDER BY 1, 2"),
              (TextRows{{"1", "1"}, {"2", "2"}, {"3", "3"}, {"4", "2"}, {"5", "1"}}));
    EXPECT_EQ(db.Rows("SELECT a.id, b.id FROM a RIGHT OUTER JOIN b ON a.num = b.num ORDER BY 2, 1"),
              (TextRows{{"1", "1"}, {"2", "2"}, {"3", "3"}, {"2", "4"}, {"1", "5"}}));
    // The WHERE and IN forms of the same equality.
    EXPECT_EQ(db.Rows("SELECT id FROM b WHERE num IN (SELECT num FROM a) ORDER BY 1"),
              (TextRows{{"1"}, {"2"}, {"3"}, {"4"}, {"5"}}));
    EXPECT_EQ(db.Rows("SELECT COUNT(*) FROM b WHERE code = code"), (TextRows{{"5"}}));
    // A comparison with the NULL constant keeps its meaning: IS NULL.
    EXPECT_EQ(db.Rows("SELECT COUNT(*) FROM a, b WHERE a.code = NULL AND b.code = NULL"), (TextRows{{"2"}}));
    // An inner group that found its row gives no null row, whose NULL key would
    // equal the NULL key of the outer row: r joins q, and that row fails p's
    // condition, so p's row stands alone.
    db.Create("p", {{"id", fldINT32}, {"n", fldINT32}});
    db.Create("q", {{"k", fldINT32}});
    db.Create("r", {{"k", fldINT32}, {"n", fldINT32}});
    db.Insert("p", {{1, std::nullopt}});
    db.Insert("q", {{5}});
    db.Insert("r", {{5, 7}});
    EXPECT_EQ(db.Rows("SELECT p.id, q.k, r.n FROM r RIGHT OUTER JOIN q ON q.k = r.k RIGHT OUTER JOIN p ON p.n = r.n"),
              (TextRows{{"1", "NULL", "NULL"}}));
}

// Every path that serves a join's equality (key range, key sought, in-memory key,
// record test) over columns of every kind that holds NULLs, indexed or not, with
// either table first: the pairs "=" accepts, NULL with NULL among them.
TEST_F(SelectTest, JoinPathsAgreeOnNullKeys) {
    struct Kind {
        const char* column;
        Column def;
        std::vector<Value> values;
    };
    const std::vector<Kind> kinds = {
        {"i", {"i", fldINT32}, {1, std::nullopt, 2, 1, std::nullopt}},
        {"s", {"s", fldZSTRING, 6}, {S("a"), std::nullopt, S("b"), S("a"), std::nullopt}},
        {"f", {"f", fldFLOAT}, {1.5, std::nullopt, 2.0, 1.5, std::nullopt}},
        {"d", {"d", fldDATE}, {730000, std::nullopt, 730001, 730000, std::nullopt}},
    };
    for (const Kind& k : kinds) {
        for (int indexed = 0; indexed < 2; ++indexed) {
            const std::string l = std::string("l") + k.column + std::to_string(indexed);
            const std::string r = std::string("r") + k.column + std::to_string(indexed);
            db.Create(l, {{"id", fldINT32}, k.def});
            db.Create(r, {{"id", fldINT32}, k.def}, indexed ? std::vector<uint16_t>{2} : std::vector<uint16_t>{});
            std::vector<Row> left, right;
            for (size_t i = 0; i < k.values.size(); ++i) {
                left.push_back({static_cast<int64_t>(i), k.values[i]});
                right.push_back({static_cast<int64_t>(10 + i), k.values[(i + 1) % k.values.size()]});
            }
            db.Insert(l, left);
            db.Insert(r, right);
            size_t expected = 0;
            for (const Row& x : left)
                for (const Row& y : right) expected += x[1] == y[1] ? 1 : 0;
            const std::string c = k.column;
            const std::string count = std::to_string(expected);
            for (const std::string& text : {"SELECT COUNT(*) FROM " + l + " x, " + r + " y WHERE x." + c + " = y." + c,
                                            "SELECT COUNT(*) FROM " + r + " y, " + l + " x WHERE x." + c + " = y." + c,
                                            "SELECT COUNT(*) FROM " + l + " x INNER JOIN " + r + " y ON y." + c +
                                                " = x." + c,
                                            "SELECT COUNT(*) FROM " + l + " x LEFT OUTER JOIN " + r + " y ON y." + c +
                                                " = x." + c + " WHERE y.id IS NOT NULL",
                                            "SELECT COUNT(*) FROM " + r + " y, " + l + " x WHERE x." + c + " = y." + c +
                                                " NOJOINOPTIMIZE"})
                EXPECT_EQ(db.Rows(text), (TextRows{{count}})) << text;
        }
    }
}

TEST_F(SelectTest, SubQueries) {
    EXPECT_EQ(db.Rows("SELECT name FROM emp WHERE dept IN (SELECT id FROM dept) ORDER BY name"),
              (TextRows{{"Ann"}, {"Bob"}, {"Cid"}}));
    EXPECT_EQ(db.Rows("SELECT name FROM emp WHERE dept NOT IN (SELECT id FROM dept WHERE id > 10) ORDER BY name"),
              (TextRows{{"Ann"}, {"Cid"}, {"Dee"}, {"Eve"}}));
    EXPECT_EQ(db.Rows("SELECT dname FROM dept WHERE id IN (SELECT dept FROM emp WHERE salary >= 200)"),
              (TextRows{{"Sales"}, {"Dev"}}));
}

TEST_F(SelectTest, ScalarFunctionsAndExtract) {
    EXPECT_EQ(db.Rows("SELECT UPPER(name), SUBSTRING(name FROM 2 FOR 1), salary * 2, EXTRACT(YEAR FROM hired) "
                      "FROM emp WHERE id = 1"),
              (TextRows{{"ANN", "n", "200", "1999"}}));
    EXPECT_EQ(db.Rows("SELECT name || '-' || name FROM emp WHERE id = 2"), (TextRows{{"Bob-Bob"}}));
    EXPECT_EQ(db.Rows("SELECT COALESCE(bonus, 0) FROM emp WHERE id IN (1, 2)"), (TextRows{{"5"}, {"0"}}));
}

TEST_F(SelectTest, StringsLongerThanTheColumnAreCut) {
    // 12 characters fit name; the concatenation gives a 25-character column that
    // a 30-character text would overrun.
    const TextRows rows = db.Rows("SELECT CAST(name || 'abcdefghijklmnopqrstuvwxyz0123456789' AS CHAR(10)) FROM emp "
                                  "WHERE id = 1");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_LE(rows[0][0].size(), 10u);
    EXPECT_EQ(rows[0][0].substr(0, 3), "Ann");
}

// A single table's conditions become cursor filters, which the filter optimiser
// serves from indexes where it can; on the inner level of a join the same
// conditions are evaluated record by record. Both must give the same rows, LIKE
// with NULL included.
TEST_F(SelectTest, OptimisedAndEvaluatedConditionsAgree) {
    const char* conditions[] = {
        "name LIKE NULL",      "name NOT LIKE NULL",     "NOT (name LIKE NULL)", "bonus IS NULL AND name LIKE NULL",
        "name LIKE 'A%'",      "name LIKE '%e'",         "dept = 10",          "dept = NULL",
        "dept <> 10",          "dept >= 20",             "dept IS NULL",       "dept IS NOT NULL",
        "dept BETWEEN 10 AND 20", "dept IN (10, 30)",    "NOT (dept = 10)",    "dept = 10 OR bonus > 4",
        "bonus > dept",        "UPPER(name) = 'BOB'",    "dept IN (SELECT id FROM dept)",
    };
    for (const char* c : conditions) {
        const std::string where = std::string(" FROM emp WHERE ") + c;
        const TextRows counted = db.Rows("SELECT COUNT(*)" + where);
        const TextRows evaluated = db.Rows("SELECT COUNT(id)" + where);
        EXPECT_EQ(counted, evaluated) << c;
        EXPECT_EQ(db.Rows("SELECT id" + where).size(), static_cast<size_t>(std::stoi(evaluated[0][0]))) << c;
        // On the second level of a join the conditions are tested record by record.
        EXPECT_EQ(db.Rows(std::string("SELECT COUNT(*) FROM dept d, emp WHERE d.id = 10 AND (") + c + ")"), counted)
            << c;
    }
    EXPECT_TRUE(db.Rows("SELECT name FROM emp WHERE name LIKE NULL").empty());
    EXPECT_EQ(db.Rows("SELECT name FROM emp WHERE name LIKE 'A%'"), (TextRows{{"Ann"}}));
}

TEST_F(SelectTest, LiveResultsAndResultTables) {
    // The whole row of one table with a WHERE: the table's own cursor, filtered.
    TDataCursor* live = db.Run("SELECT * FROM emp WHERE dept = 10", true);
    EXPECT_EQ(live->GetTableName(), "emp");
    EXPECT_TRUE(live->IsQueryResult());
    EXPECT_EQ(db.Statement().MasterQuery()->Live, 1);
    EXPECT_EQ(live->GetRecordCount(), 2u);
    std::vector<S> names;
    const TextRows rows = db.ReadVisible(live, &names);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][1], "Ann");
    EXPECT_EQ(rows[1][1], "Cid");
    EXPECT_EQ(names, (std::vector<S>{"id", "name", "dept", "salary", "hired", "bonus"}));
    // Without the request a plain SELECT * is copied.
    EXPECT_NE(db.Run("SELECT * FROM emp")->GetTableName(), "emp");
}

// A live result shows its select list (names, aliases, computed columns) in the
// order of the index that serves its ORDER BY; row by row it equals the copied
// result of the same text.
TEST_F(SelectTest, LiveResultsWithColumnListsAndIndexOrder) {
    struct Case {
        const char* text;
        std::vector<S> names;
        TextRows rows;
    };
    const Case cases[] = {
        {"SELECT name, id FROM emp WHERE dept = 10", {"name", "id"}, {{"Ann", "1"}, {"Cid", "3"}}},
        {"SELECT name AS who, salary * 2 AS twice, id, id FROM emp WHERE id <= 2",
         {"who", "twice", "id", "id_1"},
         {{"Ann", "200", "1", "1"}, {"Bob", "400", "2", "2"}}},
        // ix3 holds dept: NULL first, equal keys in record order.
        {"SELECT name, dept FROM emp ORDER BY dept",
         {"name", "dept"},
         {{"Eve", "NULL"}, {"Ann", "10"}, {"Cid", "10"}, {"Bob", "20"}, {"Dee", "30"}}},
        {"SELECT id, dname FROM dept WHERE id > 10 ORDER BY 1", {"id", "dname"}, {{"20", "Dev"}, {"40", "Empty"}}},
        {"SELECT d.id, UPPER(d.dname) FROM dept d ORDER BY d.id", {"id", "Expression"},
         {{"10", "SALES"}, {"20", "DEV"}, {"40", "EMPTY"}}},
    };
    for (const Case& c : cases) {
        TDataCursor* live = db.Run(c.text, true);
        ASSERT_EQ(db.Statement().MasterQuery()->Live, 1) << c.text;
        EXPECT_TRUE(live->GetTableName() == "emp" || live->GetTableName() == "dept") << c.text;
        std::vector<S> names;
        EXPECT_EQ(db.ReadVisible(live, &names), c.rows) << c.text;
        EXPECT_EQ(names, c.names) << c.text;
        EXPECT_EQ(live->GetRecordCount(), c.rows.size()) << c.text;
        // The copy of the same text.
        EXPECT_EQ(db.Rows(c.text), c.rows) << c.text;
        EXPECT_EQ(db.Statement().MasterQuery()->Live, 0) << c.text;
    }
    // Where no index gives the order, or anything else needs a copy: a result table.
    for (const char* text : {"SELECT name FROM emp ORDER BY name", "SELECT name, dept FROM emp ORDER BY dept DESC",
                             "SELECT name, dept FROM emp ORDER BY dept, name", "SELECT UPPER(dname) AS u FROM dept ORDER BY u",
                             "SELECT DISTINCT * FROM emp", "SELECT * FROM emp, dept", "SELECT * FROM emp TOP 2",
                             "SELECT COUNT(*) FROM emp", "SELECT dept, COUNT(*) FROM emp GROUP BY dept",
                             "SELECT id FROM emp UNION SELECT id FROM dept",
                             "SELECT name FROM emp WHERE dept IN (SELECT id FROM dept)",
                             "SELECT e.name FROM emp e INNER JOIN dept d ON e.dept = d.id"}) {
        TDataCursor* copied = db.Run(text, true);
        EXPECT_EQ(db.Statement().MasterQuery()->Live, 0) << text;
        EXPECT_NE(copied->GetTableName(), "emp") << text;
        EXPECT_NE(copied->GetTableName(), "dept") << text;
        const TextRows asked = db.Read(copied);
        EXPECT_EQ(db.Rows(text), asked) << text;
    }
    // A descending index serves ORDER BY ... DESC only.
    db.Create("score", {{"id", fldINT32}, {"points", fldINT32}}, {2}, true);
    db.Insert("score", {{1, 30}, {2, 10}, {3, 20}});
    const TextRows byPoints = {{"1", "30"}, {"3", "20"}, {"2", "10"}};
    EXPECT_EQ(db.ReadVisible(db.Run("SELECT id, points FROM score ORDER BY points DESC", true)), byPoints);
    EXPECT_EQ(db.Statement().MasterQuery()->Live, 1);
    EXPECT_EQ(db.Rows("SELECT id, points FROM score ORDER BY points DESC"), byPoints);
    db.Run("SELECT id, points FROM score ORDER BY points", true);
    EXPECT_EQ(db.Statement().MasterQuery()->Live, 0);
    // Sub-queries and UNION members are read live by the statement itself, a
    // sub-query only while it has no computed column.
    struct Member {
        const char* text;
        uint8_t live;
        TextRows rows;
    };
    const Member members[] = {
        {"SELECT name FROM emp WHERE dept IN (SELECT id FROM dept WHERE id > 10)", 1, {{"Bob"}}},
        {"SELECT name FROM emp WHERE dept NOT IN (SELECT id FROM dept) ORDER BY 1", 1, {{"Dee"}, {"Eve"}}},
        {"SELECT name FROM emp WHERE dept IN (SELECT id + 0 FROM dept WHERE id > 10)", 0, {{"Bob"}}},
        {"SELECT id FROM emp WHERE id < 3 UNION SELECT id FROM dept WHERE id < 30", 1, {{"1"}, {"10"}, {"2"}, {"20"}}},
        {"SELECT name FROM emp WHERE id = 1 UNION ALL SELECT UPPER(dname) FROM dept", 1,
         {{"Ann"}, {"DEV"}, {"EMPTY"}, {"SALES"}}},
    };
    for (const Member& m : members) {
        TextRows rows = db.Rows(m.text);
        std::sort(rows.begin(), rows.end());
        EXPECT_EQ(rows, m.rows) << m.text;
        EXPECT_EQ(db.Statement().MasterQuery()->Live, 0) << m.text;
        EXPECT_EQ(db.Statement().Queries()[1]->Live, m.live) << m.text;
    }
}

// Through a live result the table's records change: a plain column writes its
// table field; the fields left out of the select list keep their values.
TEST_F(SelectTest, ALiveResultWritesThroughToItsTable) {
    TDataCursor* live = db.Run("SELECT name AS who, salary + 1 AS more, dept FROM emp WHERE dept = 10 ORDER BY dept", true);
    ASSERT_EQ(db.Statement().MasterQuery()->Live, 1);
    ASSERT_FALSE(live->IsReadOnly());
    // The table's six fields come first, hidden; then who, more and dept.
    const uint16_t who = static_cast<uint16_t>(live->GetCursorFieldCount() - 2);
    TFieldDesc whoDesc;
    live->GetFieldDesc(who, whoDesc);
    ASSERT_EQ(whoDesc.Name(), "who");
    std::vector<uint8_t> record(live->GetCursorRecordSize() + 16u, 0);
    live->SetToBegin();
    ASSERT_EQ(live->GetNextRecord(record.data()), 0);
    ASSERT_EQ(live->GetNextRecord(record.data()), 0);
    ASSERT_EQ(live->GetCurrentRecord(record.data(), true), 0);
    live->PutField(who, record.data(), "Cyd");
    live->ModifyRecord(record.data(), true, false);
    EXPECT_EQ(db.Rows("SELECT id, name, dept, salary, bonus FROM emp WHERE id = 3"),
              (TextRows{{"3", "Cyd", "10", "300", "7"}}));
}

TEST_F(SelectTest, ProgressAndAbort) {
    std::vector<uint16_t> seen;
    db.onProgress = [&](uint16_t p, bool& abort) {
        seen.push_back(p);
        abort = p >= 40;
    };
    db.Session().SetProgressSteps(5);
    const TextRows rows = db.Rows("SELECT id FROM emp");
    EXPECT_LT(rows.size(), 5u);
    EXPECT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), 100);
    // Over no rows: one final 100 and no division by zero.
    seen.clear();
    db.onProgress = [&](uint16_t p, bool&) { seen.push_back(p); };
    EXPECT_TRUE(db.Rows("SELECT id FROM emp WHERE id > 100").empty());
    db.Create("none", {{"x", fldINT32}});
    EXPECT_TRUE(db.Rows("SELECT x FROM none").empty());
    EXPECT_EQ(seen.back(), 100);
}

TEST_F(SelectTest, ResultTablesAndInto) {
    TDataCursor* c = db.Run("SELECT id FROM emp");
    EXPECT_TRUE(c->IsExclusive());
    EXPECT_EQ(c->GetDirectory()->GetDatabaseName().find(db.Path()), 0u);
    db.Rows("SELECT name INTO copied FROM emp WHERE dept = 10");
    EXPECT_EQ(db.Rows("SELECT name FROM copied"), (TextRows{{"Ann"}, {"Cid"}}));
    // An existing table is never replaced by an INTO result.
    EXPECT_EQ(db.Error("SELECT id INTO dept FROM emp").first, KURA_TABLEEXISTS);
    EXPECT_EQ(db.Rows("SELECT dname FROM dept"), (TextRows{{"Sales"}, {"Dev"}, {"Empty"}}));
    // MEMORY keeps the result in the in-memory database.
    EXPECT_EQ(db.Rows("SELECT name INTO MEMORY mcopy FROM emp WHERE dept = 20"), (TextRows{{"Bob"}}));
    EXPECT_EQ(db.Rows("SELECT name FROM MEMORY mcopy"), (TextRows{{"Bob"}}));
}

// ENCRYPTED WITH on an INTO table: the table is encrypted with that password (its
// file holds no plain name, it opens only with the password, the session does not keep
// it), also when AVG helpers make the rows in a scratch table first; a password the
// header cannot keep refuses the statement before anything is made; an empty one
// leaves the table plain.
TEST_F(SelectTest, IntoEncryptedTablesAreEncryptedOrRefused) {
    namespace fs = std::filesystem;
    auto fileOf = [&](const std::string& table) {
        std::string bytes;
        for (const auto& entry : fs::directory_iterator(db.Path())) {
            std::string name = entry.path().filename().string();
            std::transform(name.begin(), name.end(), name.begin(), ::tolower);
            if (name == table + ".dat") {
                std::ifstream in(entry.path(), std::ios::binary);
                bytes.assign(std::istreambuf_iterator<char>(in), {});
            }
        }
        return bytes;
    };
    TDataSession& session = *db.Context().Session;
    const struct {
        const char* into;
        const char* read;
        TextRows rows;
    } cases[] = {
        {"SELECT name INTO enc1 FROM emp WHERE dept = 10 ENCRYPTED WITH 'pw'", "SELECT name FROM enc1",
         {{"Ann"}, {"Cid"}}},
        {"SELECT name, AVG(salary) INTO enc2 FROM emp WHERE dept = 10 GROUP BY name ENCRYPTED WITH 'pw'",
         "SELECT name FROM enc2", {{"Ann"}, {"Cid"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.into);
        db.Rows(c.into);
        EXPECT_FALSE(session.PasswordExists("pw"));
        // Refused without the password; the next statement has closed the INTO table.
        EXPECT_NE(db.Error(c.read).first, 0);
        const std::string stored = fileOf(std::string(c.read).substr(std::string(c.read).rfind(' ') + 1));
        ASSERT_GT(stored.size(), 100u);
        EXPECT_EQ(stored.find("Ann"), std::string::npos);
        EXPECT_EQ(stored.find("Cid"), std::string::npos);
        session.AddPassword("pw");
        EXPECT_EQ(db.Rows(c.read), c.rows);
        session.RemovePassword("pw");
    }
    // Sixteen characters do not fit the header: refused, no table left behind.
    EXPECT_EQ(db.Error("SELECT name INTO enc3 FROM emp ENCRYPTED WITH '0123456789abcdef'").first,
              KURA_INVALIDPASSWORD);
    EXPECT_TRUE(fileOf("enc3").empty());
    // An empty password asks for no encryption.
    db.Rows("SELECT name INTO plain FROM emp WHERE dept = 20 ENCRYPTED WITH ''");
    EXPECT_EQ(db.Rows("SELECT name FROM plain"), (TextRows{{"Bob"}}));
    EXPECT_NE(fileOf("plain").find("Bob"), std::string::npos);
}

TEST_F(SelectTest, PlanningMessages) {
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"SELECT nope FROM emp", "Invalid column name 'nope' or table correlation name '' specified in source columns"},
        {"SELECT name, COUNT(*) FROM emp", "Invalid use of aggregate function(s), the necessary GROUP BY clause is missing"},
        {"SELECT COUNT(id) FROM emp HAVING COUNT(id) > 1", "A GROUP BY clause must exist in order to use the HAVING clause"},
        {"SELECT name FROM emp ORDER BY 0", "Invalid column number '0' specified in ORDER BY clause"},
        {"SELECT name FROM emp ORDER BY 3", "Invalid column number '3' specified in ORDER BY clause"},
        {"SELECT name FROM emp ORDER BY zz", "Invalid column name 'zz' or table correlation name '' specified in ORDER BY clause"},
        {"SELECT dept, COUNT(*) FROM emp GROUP BY 5", "Invalid column number '5' specified in GROUP BY clause"},
        {"SELECT dept FROM emp GROUP BY dept HAVING SUM(salary) > 1", "Expression in HAVING clause not found in source columns"},
        {"SELECT x.* FROM emp", "Invalid column name '*' or table correlation name 'x' specified in source columns"},
    };
    for (const Case& c : cases) {
        const auto [code, message] = db.Error(c.text);
        EXPECT_EQ(code, KURA_SQLPARSE) << c.text;
        EXPECT_EQ(message, c.message) << c.text;
    }
    EXPECT_NE(db.Error("SELECT * FROM missing").first, 0);
    // Folders that do not exist are refused with an engine error, nothing created.
    EXPECT_NE(db.Error("SELECT name INTO nofolder\\copy FROM emp").first, 0);
    EXPECT_NE(db.Error("SELECT * FROM nofolder\\emp").first, 0);
    EXPECT_FALSE(std::filesystem::exists(db.Path() + "/nofolder"));
    // A failed planning leaves the tables readable.
    EXPECT_EQ(db.Rows("SELECT COUNT(*) FROM emp"), (TextRows{{"5"}}));
}

TEST_F(SelectTest, MemoColumnsAreCopiedWhole) {
    db.Create("notes", {{"id", fldINT32}, {"memo", fldBLOB, 0}});
    {
        TDataCursor c(db.Dir());
        c.SetTableName("notes");
        c.OpenCursor();
        TFieldDesc d;
        c.GetFieldDesc(2, d);
        std::vector<uint8_t> record(c.GetRecordSize() + 16u, 0);
        const std::string text(700, 'm');
        for (int32_t id = 1; id <= 2; ++id) {
            c.InitRecord(record.data());
            c.PutField(1, record.data(), &id);
            if (id == 1) {
                uint32_t size = 0;
                ASSERT_EQ(c.OpenBlob(2, record.data(), 2, false, true, size), 0);
                ASSERT_EQ(c.PutBlob(2, record.data(), 0, text.data(), static_cast<uint32_t>(text.size()), false), 0);
            }
            c.AppendRecord(record.data(), true);
        }
        c.CloseCursor(false);
    }
    const TextRows rows = db.Rows("SELECT id, memo FROM notes");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][1], std::string(700, 'm'));
    EXPECT_EQ(rows[1][1], "NULL");
}

TEST_F(SelectTest, ReexecutionStartsAfresh) {
    TDataCursor* c = db.Run("SELECT dept, COUNT(*) FROM emp GROUP BY dept");
    TDataQuery* q = db.Statement().MasterQuery();
    EXPECT_EQ(db.Read(c).size(), 4u);
    EXPECT_EQ(db.Read(ExecuteSelectQuery(*q)).size(), 4u);
    EXPECT_EQ(q->RowsAffected, 4u);
}

}  // namespace
}  // namespace kura::selecttest
