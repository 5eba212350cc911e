#include "SqlTestSupport.h"

using namespace kura;
using namespace kura::sqltest;

namespace {

std::string Repeat(const std::string& item, int32_t count, const std::string& separator) {
    std::string s;
    for (int32_t i = 0; i < count; ++i) s += (i ? separator : "") + item;
    return s;
}

std::string Columns(int32_t count, const std::string& prefix) {
    std::string s;
    for (int32_t i = 0; i < count; ++i) s += (i ? ", " : "") + prefix + std::to_string(i);
    return s;
}

std::string NestedSubQueries(int32_t depth) {
    std::string s = "SELECT a FROM t";
    for (int32_t i = 0; i < depth; ++i) s = "SELECT a FROM t WHERE a IN (" + s + ")";
    return s;
}

struct LimitCase {
    std::string Within;  // parses
    std::string Beyond;  // one past the bound
    const char* Message;
};

// Every count that planning or the engine keeps in a fixed array, at and one past
// its bound: the statement is refused with a message naming the limit.
TEST(SqlLimits, EveryBoundAtAndPastItsLimit) {
    PoolScope pool;
    const LimitCase cases[] = {
        {"SELECT " + Columns(1024, "c") + " FROM t", "SELECT " + Columns(1025, "c") + " FROM t",
         "Maximum number of columns (1024) in result set exceeded"},
        {"SELECT a FROM t ORDER BY " + Columns(1024, "c"), "SELECT a FROM t ORDER BY " + Columns(1025, "c"),
         "Maximum number of columns (1024) in ORDER BY clause exceeded"},
        {"SELECT a FROM t GROUP BY " + Columns(1024, "c"), "SELECT a FROM t GROUP BY " + Columns(1025, "c"),
         "Maximum number of columns (1024) in GROUP BY clause exceeded"},
        {"CREATE INDEX ix ON t (" + Columns(16, "c") + ")", "CREATE INDEX ix ON t (" + Columns(17, "c") + ")",
         "Maximum number of columns (16) in index exceeded"},
        {"CREATE TABLE t (a INTEGER, PRIMARY KEY (" + Columns(16, "c") + "))",
         "CREATE TABLE t (a INTEGER, PRIMARY KEY (" + Columns(17, "c") + "))",
         "Maximum number of columns (16) in index exceeded"},
        {"CREATE TABLE t (a MEMO TEXT INDEX (" + Columns(16, "c") + "))",
         "CREATE TABLE t (a MEMO TEXT INDEX (" + Columns(17, "c") + "))", "Maximum number of columns (16) in index exceeded"},
        {"CREATE TABLE t (" + Repeat("c INTEGER", 1024, ", ") + ")", "CREATE TABLE t (" + Repeat("c INTEGER", 1025, ", ") + ")",
         "Maximum number of columns (1024) in table exceeded"},
        {"ALTER TABLE t " + Repeat("DROP c", 1024, ", "), "ALTER TABLE t " + Repeat("DROP c", 1025, ", "),
         "Maximum number of columns (1024) in table exceeded"},
        {"INSERT INTO t (" + Columns(1024, "c") + ") VALUES (1)", "INSERT INTO t (" + Columns(1025, "c") + ") VALUES (1)",
         "Maximum number of columns (1024) in table columns exceeded"},
        {"INSERT INTO t VALUES (" + Repeat("1", 1024, ",") + ")", "INSERT INTO t VALUES (" + Repeat("1", 1025, ",") + ")",
         "Maximum number of columns (1024) in list of values exceeded"},
        {"UPDATE t SET " + Repeat("a = 1", 1024, ", "), "UPDATE t SET " + Repeat("a = 1", 1025, ", "),
         "Maximum number of columns (1024) in SET clause exceeded"},
        {"SELECT a FROM t WHERE a IN (" + Repeat("?", 1024, ",") + ")",
         "SELECT a FROM t WHERE a IN (" + Repeat("?", 1025, ",") + ")",
         "Maximum number of parameters (1024) exceeded"},
        {Repeat("SELECT a FROM t", 256, " UNION "), Repeat("SELECT a FROM t", 257, " UNION "),
         "Maximum number of UNION queries (256) exceeded"},
        {NestedSubQueries(32), NestedSubQueries(33), "Maximum nesting of sub-queries (32) exceeded"},
        {"SELECT a FROM " + std::string(256, '(') + "t JOIN u ON a = b" + std::string(256, ')'),
         "SELECT a FROM " + std::string(257, '(') + "t JOIN u ON a = b" + std::string(257, ')'),
         "Maximum nesting of join parentheses (256) exceeded"},
        {"SELECT a FROM " + Columns(1024, "t"), "SELECT a FROM " + Columns(1025, "t"),
         "Maximum number of tables (1024) in SELECT statement exceeded"},
        {"SELECT a FROM t WHERE " + std::string(200, '(') + "a" + std::string(200, ')') + " = 1",
         "SELECT a FROM t WHERE " + std::string(300, '(') + "a" + std::string(300, ')') + " = 1",
         "Expression nested more deeply than 256 levels or longer than 1024 operators in WHERE clause"},
    };
    for (const LimitCase& c : cases) {
        EXPECT_EQ(ParseSql(c.Within).Message, "") << c.Message;
        EXPECT_EQ(ParseSql(c.Beyond).Message, c.Message);
    }
    EXPECT_EQ(pool.Outstanding(), 0);
}

TEST(SqlLimits, DeepSubQueriesWithDeepParentheses) {
    // Sub-queries and parentheses share the grammar's nesting bound, so no mix of the
    // two can run the stack out.
    std::string s = "SELECT a FROM t";
    for (int32_t i = 0; i < 40; ++i) s = "SELECT a FROM t WHERE ((((((a IN (" + s + ")))))))";
    const std::string message = ErrorOf(s);
    EXPECT_NE(message.find("exceeded"), std::string::npos) << message;
}

TEST(SqlLimits, LongUnionChainsInsideNestedSubQueries) {
    // 32 levels of sub-queries, each a chain of 200 members: thousands of queries,
    // parsed without deep recursion.
    std::string s = "SELECT a FROM t";
    for (int32_t i = 0; i < 32; ++i) {
        s = "SELECT a FROM t WHERE a IN (" + s + Repeat(" UNION SELECT b FROM u", 199, "") + ")";
    }
    SqlOutcome r = ParseSql(s);
    EXPECT_EQ(r.Message, "");
    EXPECT_EQ(r.Statement->Queries().size(), 1u + 32u * 200u);
}

TEST(SqlLimits, ReparsingKeepsNothingOfTheOldText) {
    PoolScope pool;
    {
        TQueryStatement statement;
        statement.ParseFirst(
            "SELECT a FROM t WHERE a IN (SELECT b FROM u WHERE b = ?) UNION SELECT c FROM v WHERE c = ?");
        ASSERT_EQ(statement.Queries().size(), 3u);
        ASSERT_EQ(statement.Parameters().size(), 2u);
        // Even a master that has run as a SELECT is replaced, not kept.
        statement.MasterQuery()->Executed = 1;
        statement.ParseFirst("DELETE FROM w");
        ASSERT_EQ(statement.Queries().size(), 1u);
        EXPECT_TRUE(statement.Parameters().empty());
        EXPECT_EQ(Describe(*statement.MasterQuery()), "DELETE from[1:w]");
        EXPECT_EQ(statement.StatementKind(), skDelete);

        // A failed parse leaves no parameter marks behind, and the next parse is clean.
        EXPECT_THROW(statement.ParseFirst("SELECT a FROM t WHERE a = ? AND b = ? ORDER BY"), EKuraEngineError);
        EXPECT_TRUE(statement.Parameters().empty());
        statement.ParseFirst("UPDATE t SET a = ?");
        EXPECT_EQ(statement.Parameters().size(), 1u);
        EXPECT_EQ(Describe(*statement.MasterQuery()), "UPDATE from[1:t] set[a] values[?]");
        EXPECT_EQ(statement.Tokenizer().ContextName, "SQL statement");
    }
    EXPECT_EQ(pool.Outstanding(), 0);
}

TEST(SqlLimits, DispatcherLeavesAnExecutedQueryAlone) {
    TQueryStatement statement;
    statement.ParseFirst("SELECT a FROM t; SELECT b FROM u");
    TDataQuery* master = statement.MasterQuery();
    master->Executed = 1;
    master->ParseStatement(false, false, nullptr);
    EXPECT_EQ(Describe(*master), "SELECT cols[a:a] from[1:t]");
}

}  // namespace
