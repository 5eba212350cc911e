#include <gtest/gtest.h>

#include <cstring>

#include "ExprTestSupport.h"
#include "engine/files/FieldTypes.h"

using namespace kura;
using namespace kura::exprtest;

namespace {

constexpr uint8_t EveryFlag = AllFlags | pfSubSelects;

struct ShapeCase {
    const char* Text;
    const char* Tree;
};

// The shape of the tree: precedence, associativity, the texts of two-token
// operators and the argument slots of every function.
const ShapeCase Shapes[] = {
    {"a + b * c", "+(a,*(b,c))"},
    {"a - b - c", "-(-(a,b),c)"},
    {"-a * b", "*(-(a),b)"},
    {"NOT a = 1 AND b = 2", "AND(NOT(=(a,1)),=(b,2))"},
    {"a OR b AND c", "OR(a,AND(b,c))"},
    {"a < = 5", "< =(a,5)"},
    {"a<>b", "< >(a,b)"},
    {"a>=b", "> =(a,b)"},
    {"a > b", ">(a,b)"},
    {"a < b", "<(a,b)"},
    {"'abc' || 'def'", "||('abc','def')"},
    {"a / b / c", "/(/(a,b),c)"},
    {"(a + b) * c", "*(+(a,b),c)"},
    {"+a", "+(a)"},
    {"Name IS NOT NULL", "IS NOT NULL(Name,null)"},
    {"Name is null", "is null(Name,null)"},
    {"a LIKE 'x%'", "LIKE(a,'x%')"},
    {"a not like 'x%'", "not like(a,'x%')"},
    {"a BETWEEN 1 AND 2 + 3", "BETWEEN(a,1,+(2,3))"},
    {"a NOT BETWEEN 1 AND 2", "NOT BETWEEN(a,1,2)"},
    {"a IN (1, 2, 3)", "IN(a,1,2,3)"},
    {"a NOT IN ('x')", "NOT IN(a,'x')"},
    {"t.[Last Name]", "t.Last Name"},
    {"'C:\\db\\staff.dat'.Simei", "staff.Simei"},
    {"\"STAFF.DAT\".Simei", "STAFF.Simei"},
    {"t.*", "t.*"},
    {"Foo", "Foo"},
    {"[Order Date]", "Order Date"},
    {"#65", "'A'"},
    {"''", "null"},
    {"TRUE AND NOT FALSE", "AND(TRUE,NOT(FALSE))"},
    {"NULL", "null"},
    {"?", "?"},
    {"*", "*"},
    {"UPPER(a) = lower(b)", "=(UPPER(a),lower(b))"},
    {"LENGTH(a) + ABS(b)", "+(LENGTH(a),ABS(b))"},
    {"SUBSTRING(a FROM 2 FOR 3)", "SUBSTRING(a,2,3)"},
    {"SUBSTRING(a FROM 2)", "SUBSTRING(a,2)"},
    {"REPLACE('x' WITH 'y' IN a)", "REPLACE('x','y',a)"},
    {"POS('c' IN a)", "POS('c',a)"},
    {"OCCURS('c' IN a)", "OCCURS('c',a)"},
    {"TRIM(BOTH ' ' FROM Name)", "TRIM(' ',Name)"},
    {"EXTRACT(DAYOFWEEK FROM d)", "EXTRACT(d)"},
    {"ROUND(f TO 2)", "ROUND(f,2)"},
    {"ROUND(f)", "ROUND(f)"},
    {"IF(a = 1 THEN 'x' ELSE 'y')", "IF(=(a,1),'x','y')"},
    {"IF(a LIKE 'z', 1, 2)", "IF(LIKE(a,'z'),1,2)"},
    {"IFNULL(a, 1, 2)", "IFNULL(a,1,2)"},
    {"COALESCE(a, b, 'c')", "COALESCE(a,b,'c')"},
    {"TEXTSEARCH('w' IN Memo)", "TEXTSEARCH('w',Memo)"},
    {"TEXTOCCURS('w' IN Memo)", "TEXTOCCURS('w',Memo)"},
    {"LASTAUTOINC('staff')", "LASTAUTOINC('staff')"},
    {"IDENT_CURRENT(staff)", "IDENT_CURRENT(staff)"},
    {"CAST(a AS VARCHAR(20))", "CAST(a,20)"},
    {"CAST(a AS DECIMAL(10, 2))", "CAST(a,10,2)"},
    {"SUM(a) + COUNT(*)", "+(SUM(a),COUNT(*))"},
    {"CURRENT_DATE()", "CURRENT_DATE"},
    {"/* note */ a = 1 /* more */", "=(a,1)"},
};

TEST(ExpressionGrammar, TreeShapes) {
    PoolScope pool;
    for (const ShapeCase& c : Shapes) {
        ParseOutcome outcome = ParseText(c.Text, EveryFlag);
        EXPECT_EQ(outcome.Message, "") << c.Text;
        EXPECT_EQ(Dump(outcome.Tree), c.Tree) << c.Text;
        EXPECT_EQ(outcome.LeftOver, tkEnd) << c.Text;
        FreeExpression(outcome.Tree);
    }
    EXPECT_EQ(pool.Outstanding(), 0);
}

TEST(ExpressionGrammar, NodeFields) {
    PoolScope pool;
    struct FieldCase {
        const char* Text;
        uint8_t Kind, Code, DataType;
        int32_t DataSize;
    };
    const FieldCase cases[] = {
        {"2147483647", ekConstant, 0, fldINT32, 4},
        {"2147483648", ekConstant, 0, fldINT64, 8},
        {"99999999999999999999", ekConstant, 0, fldFLOAT, 8},
        {"1.5e-3", ekConstant, 0, fldFLOAT, 8},
        {".5", ekConstant, 0, fldFLOAT, 8},
        {"'abc'", ekConstant, 0, fldZSTRING, 4},
        {"#13", ekConstant, 0, fldZSTRING, 2},
        {"TRUE", ekConstant, 0, fldBOOL, 2},
        {"CURRENT_DATE", ekConstant, 0, fldDATE, 4},
        {"CURRENT_TIME", ekConstant, 0, fldTIME, 4},
        {"CURRENT_TIMESTAMP", ekConstant, 0, fldTIMESTAMP, 8},
        {"a = b", ekBinary, opEqual, fldBOOL, 0},
        {"a IS NULL", ekBinary, opEqual, fldBOOL, 0},
        {"a IS NOT NULL", ekBinary, opNotEqual, fldBOOL, 0},
        {"a LIKE b", ekPredicate, prLike, fldBOOL, 0},
        {"a NOT IN (1)", ekPredicate, prNotIn, fldBOOL, 0},
        {"TRIM(LEADING 'x' FROM a)", ekFunction, fnTrimLeading, fldZSTRING, 0},
        {"TRIM(TRAILING 'x' FROM a)", ekFunction, fnTrimTrailing, fldZSTRING, 0},
        {"EXTRACT(YEAR FROM a)", ekFunction, fnExtractYear, fldINT32, 0},
        {"EXTRACT(SECOND FROM a)", ekFunction, fnExtractSecond, fldINT32, 0},
        {"TEXTSEARCH('a' IN b)", ekFunction, fnTextSearch, fldBOOL, 0},
        {"TEXTOCCURS('a' IN b)", ekFunction, fnTextOccurs, fldUINT16, 0},
        {"CAST(a AS MONEY)", ekFunction, fnCast, fldFLOAT, 0},
        {"ROUND(1.5 TO 1)", ekFunction, fnRound, fldFLOAT, 8},
        {"MAX(a)", ekFunction, fnMax, fldUNKNOWN, 0},
        {"a - 1", ekBinary, opSubtract, fldUNKNOWN, 0},
        {"1 - a", ekBinary, opSubtract, fldINT32, 0},
    };
    for (const FieldCase& c : cases) {
        ParseOutcome outcome = ParseText(c.Text, EveryFlag);
        ASSERT_NE(outcome.Tree, nullptr) << c.Text << ": " << outcome.Message;
        EXPECT_EQ(outcome.Tree->Kind, c.Kind) << c.Text;
        EXPECT_EQ(outcome.Tree->Code, c.Code) << c.Text;
        EXPECT_EQ(outcome.Tree->DataType, c.DataType) << c.Text;
        EXPECT_EQ(outcome.Tree->DataSize, c.DataSize) << c.Text;
        FreeExpression(outcome.Tree);
    }

    ParseOutcome date = ParseText("CURRENT_TIMESTAMP", 0);
    double stamp = 0;
    std::memcpy(&stamp, date.Tree->Value.data(), 8);
    EXPECT_EQ(stamp, (45000.0 + 693594.0) * 86400000.0 + 43200000.0);  // the fixed clock, noon
    FreeExpression(date.Tree);

    ParseOutcome cast = ParseText("CAST(a AS BLOB(10, 1))", 0);
    EXPECT_EQ(cast.Tree->DataType, fldBLOB);
    EXPECT_EQ(cast.Tree->DataSubtype, 0);
    EXPECT_EQ(cast.Tree->ArgumentCount(), 3);
    FreeExpression(cast.Tree);
    cast = ParseText("CAST(a AS BLOB)", 0);
    EXPECT_EQ(cast.Tree->DataSubtype, fldstBINARY);
    FreeExpression(cast.Tree);

    // Two NOTs in a row: the second is a column named NOT and the rest is left over.
    ParseOutcome twice = ParseText("NOT NOT a", 0);
    EXPECT_EQ(Dump(twice.Tree), "NOT(NOT)");
    EXPECT_EQ(twice.LeftOver, tkIdentifier);
    FreeExpression(twice.Tree);

    // Comparisons do not chain: the second "=" is left for the caller.
    ParseOutcome chained = ParseText("x = 1 = 2", 0);
    EXPECT_EQ(Dump(chained.Tree), "=(x,1)");
    EXPECT_EQ(chained.LeftOver, '=');
    FreeExpression(chained.Tree);

    ParseOutcome empty = ParseText("  /* nothing */ ", 0);
    EXPECT_EQ(empty.Tree, nullptr);
    EXPECT_EQ(empty.Code, 0);
    EXPECT_EQ(pool.Outstanding(), 0);
}

struct MessageCase {
    const char* Text;
    uint8_t Flags;
    const char* Message;  // without " in filter expression"
};

// Every message of the scanner and the grammar, each from a text that triggers it.
const MessageCase Messages[] = {
    {"'abcd", 0, "Missing single quote after 'ab'"},
    {"\"abcd", 0, "Missing double quote after 'ab'"},
    {"[Order Da", 0, "Missing right bracket after 'Order Da'"},
    {"a /* x", 0, "Missing ending comment slash and asterisk"},
    {"'a' | 'b'", 0, "Second concatenation symbol '|' expected after first concatentation symbol, instead found 'b'"},
    {"a LIKE 'x'", 0, "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed"},
    {"Name IS NOT NULL", 0, "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed"},
    {"a IN (SELECT", 4, "Sub-select queries are not allowed"},
    {"a BETWEEN 1 OR 2", 4, "Expected AND operator in BETWEEN operator, instead found 'OR'"},
    {"a NOT BETWEEN 1 2", 4, "Expected AND operator in NOT BETWEEN operator, instead found '2'"},
    {"a IN 1", 4, "Expected left parentheses for IN operator, instead found '1'"},
    {"a NOT IN 1", 4, "Expected left parentheses for NOT IN operator, instead found '1'"},
    {"a IN (1, 2", 4, "Expected right parentheses after IN operator, instead found ''"},
    {"a NOT IN (1 2)", 4, "Expected right parentheses after NOT IN operator, instead found '2'"},
    {"a NOT = 1", 4, "Unknown or unexpected symbol '='"},
    {"a IS 1", 4, "Unknown or unexpected symbol '1' found"},
    {"a IS NOT 1", 4, "Unknown or unexpected symbol '1' found"},
    {"a IN ()", 4, "Unknown or unexpected symbol ')' found"},
    {"(a = 1", 0, "Right parentheses expected, instead found ''"},
    {"*", 0, "* (all columns) symbol is not allowed"},
    {"t.*", 0, "* (all columns) symbol is not allowed"},
    {"?", 0, "Parameters are not allowed"},
    {"1e400", 0, "Constant '1e400' is not a valid number "},
    {"1.2.3", 0, "Constant '1.2.3' is not a valid number "},
    {"#300", 0, "Character constants (#) must be within the range of 0 to 255"},
    {"#", 0, "Character constants (#) must be within the range of 0 to 255"},
    {"t.(", 0, "Symbol or string expression expected after table correlation name separator '.', instead found '('"},
    {"FOO(1)", 0, "Unknown or unexpected function 'FOO' found"},
    {"a = )", 0, "Unknown or unexpected symbol ')' found"},
    {"a +", 0, "Unknown or unexpected symbol '' found"},
    {"- -a", 0, "Unknown or unexpected symbol '-' found"},
    {"CURRENT_DATE(1)", 0, "Right parentheses expected after first CURRENT_DATE function parentheses, instead found '1'"},
    {"CURRENT_TIME(1)", 0, "Right parentheses expected after first CURRENT_TIME function parentheses, instead found '1'"},
    {"CURRENT_TIMESTAMP(x", 0, "Right parentheses expected after first CURRENT_TIMESTAMP function parentheses, instead found 'x'"},
    {"SUM(a)", 0, "Aggregate functions are not allowed"},
    {"Sum a", 1, "Left parentheses expected after aggregate function 'Sum', instead found 'a'"},
    {"MAX(a b", 1, "Right parentheses expected after aggregate MAX function argument, instead found 'b'"},
    {"COUNT(*)", 1, "* (all columns) symbol is not allowed"},
    {"lower a", 0, "Left parentheses expected after LOWER keyword, instead found 'a'"},
    {"IDENT_CURRENT 1", 0, "Left parentheses expected after IDENT_CURRENT keyword, instead found '1'"},
    {"UPPER(a b)", 0, "Right parentheses expected after UPPER function argument, instead found 'b'"},
    {"LENGTH(a", 0, "Right parentheses expected after LENGTH function argument, instead found ''"},
    {"ABS(a,", 0, "Right parentheses expected after ABS function argument, instead found ','"},
    {"TEXTSEARCH('a' IN b c)", 0, "Right parentheses expected after TEXTSEARCH function argument, instead found 'c'"},
    {"LASTAUTOINC(a b)", 0, "Right parentheses expected after LASTAUTOINC function argument, instead found 'b'"},
    {"SUBSTRING(a FROM 1 FOR 2 3)", 0, "Right parentheses expected after SUBSTRING function arguments, instead found '3'"},
    {"ROUND(a TO 1 2)", 0, "Right parentheses expected after ROUND function arguments, instead found '2'"},
    {"IF(a, 1, 2 3)", 0, "Right parentheses expected after IF function arguments, instead found '3'"},
    {"CAST(a AS INTEGER 1)", 0, "Right parentheses expected after CAST function arguments, instead found '1'"},
    {"COALESCE(a b)", 0, "Expected right parentheses after COALESCE expression arguments, instead found 'b'"},
    {"SUBSTRING(a, 1)", 0, "FROM keyword expected after first SUBSTRING function argument, instead found ','"},
    {"REPLACE(a IN b)", 0, "WITH keyword expected after first REPLACE function argument, instead found 'IN'"},
    {"REPLACE(a WITH b FROM c)", 0, "IN keyword expected after second REPLACE function argument, instead found 'FROM'"},
    {"POS(a, b)", 0, "IN keyword expected after first POS function argument, instead found ','"},
    {"OCCURS(a, b)", 0, "IN keyword expected after first OCCURS function argument, instead found ','"},
    {"CAST(a, INTEGER)", 0, "AS keyword expected after first CAST function argument, instead found ','"},
    {"TEXTSEARCH(a, b)", 0, "IN keyword expected after first TEXTSEARCH function argument, instead found ','"},
    {"TEXTOCCURS(a, b)", 0, "IN keyword expected after first TEXTOCCURS function argument, instead found ','"},
    {"TRIM(' ' FROM a)", 0, "LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found ' '"},
    {"TRIM(BOTH ' ' IN a)", 0, "FROM keyword expected after second TRIM function argument, instead found 'IN'"},
    {"EXTRACT(CENTURY FROM a)", 0,
     "YEAR, MONTH, WEEK, DAY, DAYOFWEEK, DAYOFYEAR, HOUR, MINUTE, or SECOND keyword expected after EXTRACT keyword, "
     "instead found 'CENTURY'"},
    {"EXTRACT(YEAR IN a)", 0, "FROM keyword expected after second EXTRACT function argument, instead found 'IN'"},
    {"IF(a 1, 2)", 0, "THEN keyword or comma expected after first IF function argument, instead found '1'"},
    {"IF(a, 1 2)", 0, "ELSE keyword or comma expected after second IF function argument, instead found '2'"},
    {"IFNULL(a 1, 2)", 0, "THEN keyword or comma expected after first IFNULL function argument, instead found '1'"},
    {"IFNULL(a, 1 2)", 0, "ELSE keyword or comma expected after second IFNULL function argument, instead found '2'"},
    {"CAST(a AS NUMBER)", 0, "SQL data type keyword expected, instead found 'NUMBER'"},
    {"CAST(a AS VARCHAR 20)", 0, "Left parentheses expected after VARCHAR data type, instead found '20'"},
    {"CAST(a AS char(20 1))", 0, "Right parentheses expected after char data type arguments, instead found '1'"},
    {"CAST(a AS Decimal(10 2))", 0, "Comma expected after first Decimal argument, instead found '2'"},
    {"CAST(a AS NUMERIC(10, 2 3))", 0, "Right parentheses expected after NUMERIC data type arguments, instead found '3'"},
    {"CAST(a AS FLOAT(10 2))", 0, "Comma expected after first FLOAT argument, instead found '2'"},
    {"CAST(a AS FLOAT(10, 2 3))", 0, "Right parentheses expected after FLOAT data type arguments, instead found '3'"},
    {"CAST(a AS BLOB(10))", 0, "Comma expected after first BLOB argument, instead found ')'"},
    {"CAST(a AS BLOB(10, 1 2))", 0, "Right parentheses expected after BLOB data type arguments, instead found '2'"},
};

TEST(ExpressionGrammar, EveryMessageFromAText) {
    PoolScope pool;
    for (const MessageCase& c : Messages) {
        ParseOutcome outcome = ParseText(c.Text, c.Flags);
        EXPECT_EQ(outcome.Tree, nullptr) << c.Text;
        EXPECT_EQ(outcome.Code, KURA_INVALIDFILTER) << c.Text;
        EXPECT_EQ(outcome.Message, std::string(c.Message) + " in filter expression") << c.Text;
        EXPECT_EQ(outcome.Table, "staff") << c.Text;
        FreeExpression(outcome.Tree);
        // Nothing built before the error stays out of the pool.
        EXPECT_EQ(pool.Outstanding(), 0) << c.Text;
    }
}

TEST(ExpressionGrammar, StatementErrorsCarryTheSqlCode) {
    PoolScope pool;
    ParseOutcome outcome = ParseText("a /* x", 0, true);
    EXPECT_EQ(outcome.Code, KURA_SQLPARSE);
    EXPECT_EQ(outcome.Message, "Missing ending comment slash and asterisk in SQL statement");
    EXPECT_EQ(outcome.Table, "");
    // A long message is cut to 255 bytes.
    outcome = ParseText("'" + std::string(400, 'x'), 0, true);
    EXPECT_EQ(outcome.Message.size(), 255u);
}

// The hooks of an SQL statement: the sub-select consumes "SELECT x" and yields a
// marker query; parameter marks are collected in order.
class FakeStatement : public TExpressionParserOwner {
public:
    TDataQuery* ParseSubSelect(TExpressionParser& parser) override {
        ++SubSelects;
        parser.NextToken();  // SELECT
        parser.NextToken();  // its one column
        if (FailSubSelect) parser.RaiseFound("FROM keyword expected, instead found '");
        return reinterpret_cast<TDataQuery*>(this);
    }
    void AddParameter(TExpToken* node) override { Parameters.push_back(node); }
    int SubSelects = 0;
    bool FailSubSelect = false;
    std::vector<TExpToken*> Parameters;
};

TEST(ExpressionGrammar, SubSelectsAndParametersGoThroughTheStatement) {
    PoolScope pool;
    FakeStatement statement;
    ParseOutcome outcome = ParseText("a IN (SELECT x) AND b NOT IN (select y) AND c = ?", EveryFlag, true, &statement);
    ASSERT_NE(outcome.Tree, nullptr) << outcome.Message;
    EXPECT_EQ(Dump(outcome.Tree), "AND(AND(IN(a,{SELECT}),NOT IN(b,{select})),=(c,?))");
    EXPECT_EQ(outcome.Tree->Left->Left->Code, prInSelect);
    EXPECT_EQ(outcome.Tree->Left->Right->Code, prNotInSelect);
    EXPECT_EQ(outcome.Tree->Left->Left->Arguments[1]->Query, reinterpret_cast<TDataQuery*>(&statement));
    EXPECT_EQ(statement.SubSelects, 2);
    ASSERT_EQ(statement.Parameters.size(), 1u);
    EXPECT_EQ(statement.Parameters[0], outcome.Tree->Right->Right);
    FreeExpression(outcome.Tree);

    outcome = ParseText("a IN (SELECT x y", EveryFlag, true, &statement);
    EXPECT_EQ(outcome.Message, "Expected right parentheses for IN operator, instead found 'y' in SQL statement");
    outcome = ParseText("a NOT IN (SELECT x y", EveryFlag, true, &statement);
    EXPECT_EQ(outcome.Message, "Expected right parentheses for NOT IN operator, instead found 'y' in SQL statement");
    statement.FailSubSelect = true;
    outcome = ParseText("a = 1 AND a IN (SELECT x y", EveryFlag, true, &statement);
    EXPECT_EQ(outcome.Message, "FROM keyword expected, instead found 'y' in SQL statement");
    // Without the flag, or without a statement, a sub-select is refused.
    outcome = ParseText("a IN (SELECT x)", AllFlags, true, &statement);
    EXPECT_EQ(outcome.Message, "Sub-select queries are not allowed in SQL statement");
    outcome = ParseText("a IN (SELECT x)", EveryFlag, true, nullptr);
    EXPECT_EQ(outcome.Message, "Sub-select queries are not allowed in SQL statement");
    EXPECT_EQ(pool.Outstanding(), 0);
}

TEST(ExpressionGrammar, NestingBeyondTheLimitIsRefusedNotOverflowed) {
    PoolScope pool;
    const std::string refused = "Expression nested more deeply than 256 levels or longer than 1024 operators in filter expression";
    const std::string deepParens = std::string(100000, '(') + "a" + std::string(100000, ')');
    EXPECT_EQ(ParseText(deepParens, 0).Message, refused);
    std::string deepCalls;
    for (int i = 0; i < 50000; ++i) deepCalls += "UPPER(";
    EXPECT_EQ(ParseText(deepCalls + "a", 0).Message, refused);
    std::string longChain = "a";
    for (int i = 0; i < 100000; ++i) longChain += "+a";
    EXPECT_EQ(ParseText(longChain, 0).Message, refused);
    std::string longOr = "a=1";
    for (int i = 0; i < 5000; ++i) longOr += " OR a=1";
    EXPECT_EQ(ParseText(longOr, 4).Message, refused);
    EXPECT_EQ(ParseText(std::string(100000, '-') + "a", 0).Message, "Unknown or unexpected symbol '-' found in filter expression");
    EXPECT_EQ(ParseText("NOT " + std::string(3000, '-'), 0).Code, KURA_INVALIDFILTER);

    EXPECT_EQ(pool.Outstanding(), 0);

    // Within the limits real expressions parse (with more nodes than the pool keeps).
    ParseOutcome fine = ParseText(std::string(200, '(') + "a" + std::string(200, ')'), 0);
    EXPECT_EQ(Dump(fine.Tree), "a");
    FreeExpression(fine.Tree);
    std::string manyTerms = "a=1";
    for (int i = 0; i < 500; ++i) manyTerms += " OR a=" + std::to_string(i);
    fine = ParseText(manyTerms, 0);
    ASSERT_NE(fine.Tree, nullptr) << fine.Message;
    EXPECT_EQ(ExpressionDepth(fine.Tree), 502);
    FreeExpression(fine.Tree);
    EXPECT_EQ(pool.Outstanding(), 0);
}

}  // namespace

namespace {

TEST(ExpressionGrammar, DataTypes) {
    PoolScope pool;
    struct Case {
        const char* Text;
        uint8_t Type, Subtype;
        const char* Arguments;  // Dump of slots 1 and 2
    };
    const Case cases[] = {
        {"SMALLINT", fldINT16, 0, ""},        {"word", fldUINT16, 0, ""},
        {"INTEGER", fldINT32, 0, ""},         {"INT", fldINT32, 0, ""},
        {"LARGEINT", fldINT64, 0, ""},        {"AUTOINC", fldINT32, fldstAUTOINC, ""},
        {"DECIMAL", fldBCD, 0, ""},           {"NUMERIC(10)", fldBCD, 0, "10"},
        {"DECIMAL(10, 2)", fldBCD, 0, "10,2"}, {"FLOAT(8, 2)", fldFLOAT, 0, "8,2"},
        {"MONEY", fldFLOAT, fldstMONEY, ""},  {"CHARACTER(20)", fldZSTRING, 0, "20"},
        {"CHAR(1)", fldZSTRING, 0, "1"},      {"VARCHAR(250)", fldZSTRING, 0, "250"},
        {"BYTES(4)", fldBYTES, 0, "4"},       {"VARBYTES(4)", fldBYTES, 0, "4"},
        {"BINARY(4)", fldBYTES, 0, "4"},      {"VARBINARY(4)", fldBYTES, 0, "4"},
        {"DATE", fldDATE, 0, ""},             {"TIME", fldTIME, 0, ""},
        {"TIMESTAMP", fldTIMESTAMP, 0, ""},   {"BOOLEAN", fldBOOL, 0, ""},
        {"BOOL", fldBOOL, 0, ""},             {"BIT", fldBOOL, 0, ""},
        {"BLOB", fldBLOB, fldstBINARY, ""},   {"BLOB(0, 5)", fldBLOB, 0, "0,5"},
        {"LONGVARBINARY", fldBLOB, fldstBINARY, ""}, {"LONGVARCHAR", fldBLOB, fldstMEMO, ""},
        {"MEMO", fldBLOB, fldstMEMO, ""},     {"GRAPHIC", fldBLOB, fldstGRAPHIC, ""},
    };
    for (const Case& c : cases) {
        TExpressionParser parser;
        parser.ContextName = "table column";
        parser.SetText(c.Text);
        parser.NextToken();
        TExpToken* node = AllocExpToken();
        parser.ParseDataType(node, 0, false);
        EXPECT_EQ(parser.TokenKind(), tkEnd) << c.Text;
        EXPECT_EQ(node->DataType, c.Type) << c.Text;
        EXPECT_EQ(node->DataSubtype, c.Subtype) << c.Text;
        std::string arguments;
        for (int32_t slot = 1; slot < node->ArgumentCount(); ++slot) {
            arguments += (slot > 1 ? "," : "") + Dump(node->GetArgument(slot));
        }
        EXPECT_EQ(arguments, c.Arguments) << c.Text;
        FreeExpression(node);
    }

    // Optional: no type keyword leaves the node and the token as they were.
    TExpressionParser parser;
    parser.ContextName = "table column";
    parser.SetText("NOT NULL");
    parser.NextToken();
    TExpToken* node = AllocExpToken();
    parser.ParseDataType(node, 0, true);
    EXPECT_EQ(node->DataType, 0);
    EXPECT_TRUE(parser.TokenIs("NOT"));
    try {
        parser.ParseDataType(node, 0, false);
        ADD_FAILURE();
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(e.ErrorContext(ctxMessage), "SQL data type keyword expected, instead found 'NOT' in table column");
    }
    FreeExpression(node);
    EXPECT_EQ(pool.Outstanding(), 0);
}

}  // namespace
