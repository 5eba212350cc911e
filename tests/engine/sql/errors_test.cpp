#include "SqlTestSupport.h"

using namespace kura;
using namespace kura::sqltest;

namespace {

struct ErrorCase {
    const char* Text;
    const char* Message;
};

// Every message of the statement parsers, each triggered by a text.
const ErrorCase Errors[] = {
    // Dispatcher and end of statement
    {"FETCH a", "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found 'FETCH'"},
    {"", "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found ''"},
    {"(UPDATE t", "SELECT keyword expected, instead found 'UPDATE'"},
    {"CREATE VIEW v", "TABLE, INDEX, UNIQUE, ASC, ASCENDING, DESC, DESCENDING, or NOCASE keyword expected, instead found 'VIEW'"},
    {"ALTER INDEX i", "TABLE keyword expected, instead found 'INDEX'"},
    {"DROP VIEW v", "TABLE or INDEX keyword expected, instead found 'VIEW'"},
    {"START WORK", "TRANSACTION keyword expected, instead found 'WORK'"},
    {"SELECT a FROM t xyz abc", "End of SELECT statement expected, instead found 'abc'"},
    {"SELECT a FROM t NOJOINOPTIMIZE TOP 5", "End of SELECT statement expected, instead found 'TOP'"},
    {"COMMIT FLUSH WORK", "End of COMMIT statement expected, instead found 'WORK'"},
    {"ROLLBACK WORK now", "End of ROLLBACK statement expected, instead found 'now'"},
    {"START TRANSACTION x", "End of START TRANSACTION statement expected, instead found 'x'"},
    // SELECT
    {"SELECT", "Source column expression is empty"},
    {"SELECT a AS 1 FROM t", "Symbol or string expected after AS keyword, instead found '1'"},
    {"SELECT a x.( FROM t", "Symbol or string expected after table correlation name, instead found '('"},
    {"SELECT a t", "FROM keyword expected, instead found ''"},
    {"SELECT a FROM", "Table name expected after FROM keyword, instead found ''"},
    {"SELECT a FROM t AS 5", "Symbol or string expected after AS keyword, instead found '5'"},
    {"SELECT a INTO 5 FROM t", "Result table name expected in INTO clause, instead found '5'"},
    {"SELECT a FROM t WHERE b IN (SELECT c INTO r FROM u)", "The INTO clause can only be used with the master query"},
    {"SELECT a FROM t WHERE", "WHERE clause is empty"},
    {"SELECT a FROM t GROUP a", "BY keyword expected after GROUP keyword, instead found 'a'"},
    {"SELECT a FROM t GROUP BY (a)", "Column name or column number expected in GROUP BY clause, instead found '('"},
    {"SELECT a FROM t GROUP BY a HAVING", "HAVING clause is empty"},
    {"SELECT a FROM t ORDER a", "BY keyword expected after ORDER keyword, instead found 'a'"},
    {"SELECT a FROM t ORDER BY +a", "Column name or column number expected in ORDER BY clause, instead found '+'"},
    {"SELECT a FROM t ORDER BY 0", "Invalid column number '0' specified in ORDER BY clause"},
    {"SELECT a FROM t GROUP BY 70000", "Invalid column number '70000' specified in GROUP BY clause"},
    {"SELECT a FROM t TOP x", "Integer value expected after TOP keyword, instead found 'x'"},
    {"SELECT a FROM t TOP 99999999999", "Integer value expected after TOP keyword, instead found '99999999999'"},
    {"SELECT a FROM t WITH NOLOCK", "LOCKS keyword expected after WITH keyword, instead found 'NOLOCK'"},
    {"SELECT a FROM t LANGUAGE 'Klingon'", "Invalid language constant 'Klingon' specified after LANGUAGE keyword"},
    {"SELECT a FROM t LANGUAGE 'ANSI Standard' SORT 'Odd Order'", "Invalid sort constant 'Odd Order' specified after SORT keyword"},
    {"SELECT a FROM t LANGUAGE 'English (USA)' SORT 'German Phone Book Order'",
     "Invalid sort constant 'German Phone Book Order' specified after SORT keyword"},
    {"SELECT a FROM t ENCRYPTED 'pw'", "WITH keyword expected after ENCRYPTED keyword, instead found 'pw'"},
    {"(SELECT a FROM t", "Right parentheses expected after SELECT statement, instead found ''"},
    {"SELECT a FROM t ORDER BY a UNION SELECT a FROM u", "You cannot use an ORDER BY clause within a UNIONed query"},
    {"SELECT a FROM t UNION DELETE FROM u", "SELECT keyword expected, instead found 'DELETE'"},
    {"SELECT a FROM t1 JOIN t2 ON t1.k = t2.k FULL JOIN t3 ON t3.k = t1.k",
     "Full outer joins are currently not supported in SQL SELECT statements"},
    {"SELECT a FROM t1 INNER t2", "JOIN keyword expected after INNER keyword, instead found 't2'"},
    {"SELECT a FROM t1 LEFT OUTER t2", "JOIN keyword expected after LEFT or OUTER keyword, instead found 't2'"},
    {"SELECT a FROM t1 RIGHT t2", "JOIN keyword expected after RIGHT or OUTER keyword, instead found 't2'"},
    {"SELECT a FROM t1 JOIN", "Table name expected after JOIN keyword, instead found ''"},
    {"SELECT a FROM t1 JOIN t2 x y", "ON keyword expected in JOIN clause, instead found 'y'"},
    {"SELECT a FROM t1 JOIN t2 ON", "JOIN clause is empty"},
    {"SELECT a FROM ((t1 JOIN t2 ON t1.k = t2.k)", "Mismatched join parentheses"},
    {"SELECT a FROM (t1)", "Mismatched join parentheses"},
    {"SELECT SUM(MAX(a)) FROM t", "Aggregate functions cannot be nested"},
    {"SELECT SUM(a)+1 FROM t", "Aggregate functions cannot be used within expressions"},
    {"SELECT a FROM t, u t", "Duplicate table correlation name 't' specified in SELECT statement"},
    // Permissions of the clauses (the expression parser's messages)
    {"SELECT a FROM t WHERE SUM(a) > 1", "Aggregate functions are not allowed in WHERE clause"},
    {"SELECT a FROM t WHERE * = 1", "* (all columns) symbol is not allowed in WHERE clause"},
    {"SELECT a FROM t GROUP BY a HAVING a LIKE 'x'",
     "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in HAVING clause"},
    // COUNT(*) needs the "*" permission, which HAVING does not give.
    {"SELECT a, COUNT(*) FROM t GROUP BY a HAVING COUNT(*) > 1", "* (all columns) symbol is not allowed in HAVING clause"},
    {"SELECT ? FROM t", "Parameters are not allowed in source column expression"},
    {"SELECT a FROM t1 JOIN t2 ON t1.a IN (SELECT b FROM u)", "Sub-select queries are not allowed in JOIN clause"},
    {"SELECT a FROM t WHERE a = 'x", "Missing single quote after '' in WHERE clause"},
    {"SELECT a FROM t /* open", "Missing ending comment slash and asterisk in SQL statement"},
    // INSERT
    {"INSERT t VALUES (1)", "INTO keyword expected, instead found 't'"},
    {"INSERT INTO (a) VALUES (1)", "Table name expected after INTO clause, instead found '('"},
    {"INSERT INTO MEMORY (a) VALUES (1)", "Table name expected after INTO keyword, instead found '('"},
    {"INSERT INTO db\\ (a)", "Table name expected after INTO keyword, instead found '('"},
    {"INSERT INTO t (a b) VALUES (1)", "Right parentheses expected after list of table columns, instead found 'b'"},
    {"INSERT INTO t (a) VALUE (1)", "VALUES or SELECT  keyword expected, instead found 'VALUE'"},
    {"INSERT INTO t VALUES 1", "Left parentheses expected after VALUES keyword, instead found '1'"},
    {"INSERT INTO t VALUES (1 2)", "Right parentheses expected after list of values, instead found '2'"},
    {"INSERT INTO t VALUES (", "Value expression is empty"},
    {"INSERT INTO t (", "Table column name is empty"},
    {"INSERT INTO t VALUES (a IN (SELECT b FROM u))",
     "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in value expression"},
    {"INSERT INTO t VALUES (1) COMMIT", "INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found ''"},
    {"INSERT INTO t VALUES (1) COMMIT INTERVAL x", "Integer value expected after INTERVAL keyword, instead found 'x'"},
    {"INSERT INTO t VALUES (1) NOJOINOPTIMIZE", "End of INSERT statement expected, instead found 'NOJOINOPTIMIZE'"},
    {"INSERT INTO t (SELECT a FROM u", "Right parentheses expected after SELECT statement, instead found ''"},
    // UPDATE
    {"UPDATE SET a = 1", "SET keyword expected, instead found '='"},
    {"UPDATE 5 SET a = 1", "Table name expected, instead found '5'"},
    {"UPDATE t AS 5 SET a = 1", "Symbol or string expected after AS keyword, instead found '5'"},
    {"UPDATE t a = 1", "SET keyword expected, instead found '='"},
    {"UPDATE t SET a 1", "Assignment (=) operator expected after column name, instead found '1'"},
    {"UPDATE t SET", "Table column name is empty"},
    {"UPDATE t SET a =", "Value expression is empty"},
    {"UPDATE t SET a = 1 COMMIT", "INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found ''"},
    {"UPDATE t SET a = 1 FROM t x",
     "The first source table specified in FROM clause must match the table being updated in the UPDATE statement"},
    {"UPDATE t SET a = 1 FROM u",
     "The first source table specified in FROM clause must match the table being updated in the UPDATE statement"},
    {"UPDATE t SET a = 1 FROM MEMORY t",
     "The first source table specified in FROM clause must match the table being updated in the UPDATE statement"},
    {"UPDATE t SET a = 1 FROM t, ", "Table name expected after FROM keyword, instead found ''"},
    {"UPDATE (t SET a = 1", "Mismatched join parentheses"},
    // DELETE
    {"DELETE t", "FROM keyword expected, instead found 't'"},
    {"DELETE FROM t WHERE a = 1 NOAUTOINC", "End of DELETE statement expected, instead found 'NOAUTOINC'"},
    // CREATE TABLE
    {"CREATE TABLE (a INTEGER)", "Table name expected after CREATE TABLE keywords, instead found '('"},
    {"CREATE TABLE IF EXISTS t (a INTEGER)", "NOT keyword expected after IF keyword, instead found 'EXISTS'"},
    {"CREATE TABLE IF NOT t (a INTEGER)", "EXISTS keyword expected after NOT keyword, instead found 't'"},
    {"CREATE TABLE t a INTEGER", "Left parentheses expected before list of table columns, instead found 'a'"},
    {"CREATE TABLE t (a INTEGER", "Right parentheses expected after CREATE TABLE statement, instead found ''"},
    {"CREATE TABLE t (a WHATEVER)", "SQL data type keyword expected, instead found 'WHATEVER' in table column"},
    {"CREATE TABLE t (a VARCHAR 20)", "Left parentheses expected after VARCHAR data type, instead found '20' in table column"},
    {"CREATE TABLE t (a CHAR(0))",
     "Length argument must be an integer greater than 0 and less than or equal to 250 in table column"},
    {"CREATE TABLE t (a INTEGER NOT 5)", "NULL keyword expected after NOT keyword, instead found '5'"},
    {"CREATE TABLE t (a INTEGER DEFAULT x)", "Default expression expected after DEFAULT keyword, instead found 'x'"},
    {"CREATE TABLE t (a INTEGER MIN x)", "Minimum expression expected after MIN or MINIMUM keyword, instead found 'x'"},
    {"CREATE TABLE t (a INTEGER MAXIMUM -)", "Maximum expression expected after MAX or MAXIMUM keyword, instead found ')'"},
    {"CREATE TABLE t (a CHAR(2) CHARCASE MIXED)",
     "UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found 'MIXED'"},
    {"CREATE TABLE t (a INTEGER, PRIMARY (a))", "KEY keyword expected after PRIMARY keyword, instead found '('"},
    {"CREATE TABLE t (a INTEGER, UNIQUE KEY (a))", "PRIMARY keyword expected, instead found 'KEY'"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY a)", "Left parentheses expected, instead found 'a'"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a b))", "Right parentheses expected, instead found 'b'"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY (t.a))", "Invalid use of table correlation name 't' specified in indexed columns"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY ()", "Unknown or unexpected symbol ')' found in index column"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY (", "Index column name is empty"},
    {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a) COMPRESS ALL)",
     "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found 'ALL'"},
    {"CREATE TABLE t (a MEMO, TEXT (a))", "INDEX keyword expected after TEXT keyword, instead found '('"},
    {"CREATE TABLE t (a MEMO, TEXT INDEX a)", "Left parentheses expected after TEXTINDEX keyword, instead found 'a'"},
    {"CREATE TABLE t (a MEMO, TEXT INDEX (a b)", "Right parentheses expected after TEXT INDEX clause, instead found 'b'"},
    {"CREATE TABLE t (a MEMO, TEXT INDEX (a) STOP 'x')", "WORDS keyword expected after STOP keyword, instead found 'x'"},
    {"CREATE TABLE t (a MEMO, TEXT INDEX (a) STOP WORDS", "Stop words are empty"},
    {"CREATE TABLE t (a MEMO, TEXT INDEX (a) SPACE 'x')", "CHARS keyword expected after SPACE keyword, instead found 'x'"},
    {"CREATE TABLE t (a MEMO, TEXT INDEX (a) INCLUDE 'x')", "CHARS keyword expected after INCLUDE keyword, instead found 'x'"},
    {"CREATE TABLE t (a MEMO, TEXT INDEX (a) SPACE CHARS", "Character set is empty"},
    {"CREATE TABLE t (a INTEGER, BLOB SIZE 512)", "BLOCK keyword expected after BLOB keyword, instead found 'SIZE'"},
    {"CREATE TABLE t (a INTEGER, BLOB BLOCK 512)", "SIZE keyword expected after BLOCK keyword, instead found '512'"},
    {"CREATE TABLE t (a INTEGER, BLOB BLOCK SIZE big)", "Integer value expected after SIZE keyword, instead found 'big'"},
    {"CREATE TABLE t (a INTEGER, USER VERSION 1)", "MAJOR or MINOR keyword expected after USER keyword, instead found 'VERSION'"},
    {"CREATE TABLE t (a INTEGER, USER MAJOR 1)", "VERSION keyword expected after MAJOR keyword, instead found '1'"},
    {"CREATE TABLE t (a INTEGER, USER MINOR 1)", "VERSION keyword expected after MINOR keyword, instead found '1'"},
    {"CREATE TABLE t (a INTEGER, USER MAJOR VERSION x)", "Integer value expected after VERSION keyword, instead found 'x'"},
    {"CREATE TABLE t (a INTEGER LAST 5)", "AUTOINC keyword expected after LAST keyword, instead found '5'"},
    {"CREATE TABLE t (a INTEGER LAST AUTOINC x)", "Integer constant expected after AUTOINC keyword, instead found 'x'"},
    {"CREATE TABLE t (a INTEGER LAST AUTOINC", "Next auto-increment number is empty"},
    // ALTER TABLE
    {"ALTER TABLE (a)", "Table name expected after ALTER TABLE keywords, instead found '('"},
    {"ALTER TABLE t ADD a", "SQL data type keyword expected, instead found '' in table column"},
    {"ALTER TABLE t ADD a INTEGER AT x", "Integer value expected after AT keyword, instead found 'x'"},
    {"ALTER TABLE t DROP CONSTRAINT c KEY", "PRIMARY keyword expected, instead found 'KEY'"},
    {"ALTER TABLE t DROP PRIMARY (a)", "KEY keyword expected after PRIMARY keyword, instead found '('"},
    {"ALTER TABLE t ADD a INTEGER, RENAME b", "End of ALTER TABLE statement expected, instead found 'RENAME'"},
    // Indexes
    {"CREATE INDEX ON t (a)", "ON keyword expected after index name, instead found 't'"},
    {"CREATE INDEX ix t (a)", "ON keyword expected after index name, instead found 't'"},
    {"CREATE INDEX 5 ON t (a)", "Index name expected after INDEX keyword, instead found '5'"},
    {"CREATE UNIQUE KEY ix ON t (a)", "INDEX keyword expected, instead found 'KEY'"},
    {"CREATE INDEX ix ON (a)", "Table name expected after ON keyword, instead found '('"},
    {"CREATE INDEX ix ON t (a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q)",
     "Maximum number of columns (16) in index exceeded"},
    {"DROP TABLE IF t", "EXISTS keyword expected after IF keyword, instead found 't'"},
    {"DROP TABLE", "Table name expected after DROP TABLE keywords, instead found ''"},
    {"DROP INDEX IF EXISTS", "Table name expected after DROP INDEX keywords, instead found ''"},
    {"DROP INDEX ix", "Table name expected after DROP INDEX keywords, instead found 'ix'"},
    {"DROP INDEX t.", "Symbol or string expression expected after table correlation name separator '.', instead found '' in index name expression"},
};

TEST(SqlErrors, EveryMessageFromAText) {
    PoolScope pool;
    for (const ErrorCase& c : Errors) {
        SqlOutcome outcome = ParseSql(c.Text);
        EXPECT_EQ(outcome.Message, c.Message) << c.Text;
        EXPECT_EQ(outcome.Code, KURA_SQLPARSE) << c.Text;
        EXPECT_TRUE(outcome.Statement->Parameters().empty()) << c.Text;
    }
    EXPECT_EQ(pool.Outstanding(), 0);
}

TEST(SqlErrors, WholeMessageText) {
    try {
        TQueryStatement statement;
        statement.ParseFirst("DELETE t");
        FAIL();
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), KURA_SQLPARSE);
        EXPECT_NE(std::string(e.what()).find("SQL error - FROM keyword expected, instead found 't'"), std::string::npos)
            << e.what();
    }
}

TEST(SqlErrors, LongTokenCutToShortString) {
    const std::string name(400, 'x');
    const std::string message = ErrorOf("DELETE " + name);
    EXPECT_EQ(message.size(), 255u);
    EXPECT_EQ(message.substr(0, 37), "FROM keyword expected, instead found ");
}

}  // namespace
