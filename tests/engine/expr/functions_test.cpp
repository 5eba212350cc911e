// Every function and predicate, parsed, typed and evaluated against one record.
#include <gtest/gtest.h>

#include "EvalTestSupport.h"
#include "engine/expr/Operators.h"

using namespace kura;
using namespace kura::evaltest;

namespace {

struct TRow {
    const char* Text;
    const char* Expected;
};

void ExpectAll(const std::vector<TRow>& rows) {
    exprtest::PoolScope pool;
    TTestRecord record;
    FillStaff(record);
    for (const TRow& row : rows) EXPECT_EQ(EvalText(row.Text, record), row.Expected) << row.Text;
    EXPECT_EQ(pool.Count(), exprtest::PoolScope::Warm) << "nodes leaked";
}

}  // namespace

TEST(ExpressionFunctions, TextFunctions) {
    ExpectAll({
        {"UPPER(Name)", "'SMITH'"},
        {"LOWER('AbC')", "'abc'"},
        {"UPPER(Empty)", "NULL"},
        {"UPPER(Notes)", "memo'LONG TEXT'"},
        {"SUBSTRING('abcdef' FROM 3 FOR 2)", "'cd'"},
        {"SUBSTRING('abc' FROM 0)", "'abc'"},
        {"SUBSTRING('abc' FROM 5 FOR 2)", "NULL"},
        {"SUBSTRING('abc' FROM 2 FOR -1)", "NULL"},
        {"SUBSTRING('abc' FROM 2 FOR 99)", "'bc'"},
        {"SUBSTRING(Name FROM 2)", "'mith'"},
        {"REPLACE('a' WITH 'xy' IN 'banana')", "'bxynxynxy'"},
        {"REPLACE('ana' WITH '' IN 'ana')", "NULL"},
        {"REPLACE('q' WITH 'z' IN Name)", "'Smith'"},
        {"POS('c' IN 'abc')", "3"},
        {"POS('x' IN NULL)", "0"},
        {"POS('z' IN 'abc')", "0"},
        {"OCCURS('a' IN 'banana')", "3"},
        {"OCCURS('aa' IN 'aaaa')", "2"},
        {"OCCURS('a' IN Empty)", "0"},
        {"TRIM(LEADING '0' FROM '000')", "NULL"},
        {"TRIM(LEADING '0' FROM '00120')", "'120'"},
        {"TRIM(TRAILING '0' FROM '00120')", "'0012'"},
        {"TRIM(BOTH ' ' FROM '  a b  ')", "'a b'"},
        {"LENGTH(Name)", "5"},
        {"LENGTH(Empty)", "NULL"},
        {"LENGTH(Notes)", "9"},
        {"'ab' || 'cd'", "'abcd'"},
        {"Name + Empty", "'Smith'"},
    });
}

// Code page 932 text: positions, lengths and trim characters count characters, a
// double-byte character is never cut in two, and no trail byte (ア ends in "A",
// ソ in "\\") is taken for a character of its own. The lead bytes 0x81-0x9F and
// 0xE0-0xFC (凜) both count; 0xA1-0xDF (ｱ) are single-byte katakana.
TEST(ExpressionFunctions, DoubleByteCharactersCountAsOne) {
    const std::string ya = "\x8E\x52", da = "\x93\x63", ta = "\x91\xBE";  // 山田太
    const std::string a = "\x83\x41", i = "\x83\x43", so = "\x83\x5C";    // アイソ
    const std::string wide = "\x81\x40", rin = "\xEA\xA3", ka = "\xB1";    // full-width blank, 凜, ｱ
    const std::string wa = "\x82\x81";                                        // full-width ａ
    const std::string name = ya + da + ta;
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"SUBSTRING('" + name + "' FROM 2 FOR 2)", "'" + da + ta + "'"},
        {"SUBSTRING('" + name + "' FROM 3)", "'" + ta + "'"},
        {"SUBSTRING('" + name + "' FROM 4)", "NULL"},
        {"SUBSTRING('x" + rin + "y' FROM 2 FOR 1)", "'" + rin + "'"},
        {"SUBSTRING('" + ka + rin + ka + "' FROM 3)", "'" + ka + "'"},
        {"POS('" + ta + "' IN '" + name + "')", "3"},
        {"POS('A' IN '" + a + "A')", "2"},
        {"POS('" + rin + "' IN 'ab" + rin + "')", "3"},
        // LENGTH alone measures bytes, whole characters only.
        {"LENGTH('" + name + "')", "6"},
        {"LENGTH('a" + ka + rin + so + "')", "6"},
        {"OCCURS('A' IN '" + a + "A" + a + "')", "1"},
        {"REPLACE('A' WITH 'b' IN '" + a + "A')", "'" + a + "b'"},
        {"TRIM(LEADING '" + a + "' FROM '" + a + a + i + "')", "'" + i + "'"},
        {"TRIM(TRAILING '" + a + "' FROM '" + i + a + a + "')", "'" + i + "'"},
        {"TRIM(TRAILING 'A' FROM 'x" + a + "')", "'x" + a + "'"},
        {"TRIM(BOTH '" + wide + "' FROM '" + wide + ya + wide + wide + "')", "'" + ya + "'"},
        {"TRIM(BOTH 'A' FROM 'A" + a + "A')", "'" + a + "'"},
        {"TRIM(LEADING '\\' FROM '\\" + so + "')", "'" + so + "'"},
        {"UPPER('" + wa + "b" + a + "')", "'" + wa + "B" + a + "'"},
        {"LOWER('AB" + a + "')", "'ab" + a + "'"},
        {"CAST('" + name + "' AS CHAR(3))", "'" + ya + "'"},
        {"CAST('a" + rin + "' AS CHAR(2))", "'a'"},
        {"CAST('" + ka + rin + "' AS CHAR(3))", "'" + ka + rin + "'"},
        {"'" + name + "' LIKE '_" + da + "_'", "true"},
        {"'" + name + "' LIKE '__'", "false"},
        {"'" + so + "' LIKE '_'", "true"},
        {"'" + rin + rin + "' LIKE '_" + rin + "'", "true"},
        {"'" + a + "' LIKE '%A'", "false"},
        {"'" + name + "' LIKE '" + ya + "%'", "true"},
    };
    exprtest::PoolScope pool;
    TTestRecord record;
    FillStaff(record);
    for (const auto& [text, expected] : rows) EXPECT_EQ(EvalText(text, record), expected) << text;
    EXPECT_EQ(pool.Count(), exprtest::PoolScope::Warm) << "nodes leaked";
}

// Searching for the empty text must end: nothing is found and nothing replaced.
TEST(ExpressionFunctions, EmptySearchTextsEndWithTheTextUnchanged) {
    exprtest::PoolScope pool;
    TTestRecord record;
    FillStaff(record);
    record.Add("Blank", testvalues::Text(""));
    const TRow rows[] = {
        {"REPLACE(Empty WITH 'x' IN 'abc')", "'abc'"},
        {"REPLACE(Blank WITH 'x' IN Name)", "'Smith'"},
        {"REPLACE(NULL WITH 'x' IN 'abc')", "error: Type mismatch between REPLACE function and search string argument in filter expression"},
        {"OCCURS(Empty IN 'abc')", "0"},
        {"OCCURS(Blank IN Name)", "0"},
        {"POS(Empty IN 'abc')", "0"},
        {"POS(Blank IN Name)", "0"},
        {"REPLACE('a' WITH Empty IN 'aXa')", "'X'"},
    };
    for (const TRow& row : rows) EXPECT_EQ(EvalText(row.Text, record), row.Expected) << row.Text;
    EXPECT_EQ(pool.Count(), exprtest::PoolScope::Warm);
}

TEST(ExpressionFunctions, NumberFunctions) {
    ExpectAll({
        {"ABS(Small)", "7"},
        {"ABS(-5)", "5"},
        {"ABS(-2147483647 - 1)", "-2147483648"},  // wraps, no overflow trap
        {"ABS(-Rate)", "f2.345"},
        {"ABS(-Pay)", "bcd12.35"},
        {"ABS(Missing)", "NULL"},
        {"ROUND(Rate TO 2)", "f2.35"},
        {"ROUND(-2.5)", "f-3"},
        {"ROUND(Pay TO 1)", "bcd12.4"},
        {"ROUND(Pay)", "bcd12"},
        {"Big * 2", "10000000000"},
        {"Age / 0", "NULL"},
        {"Age * 100000 * 1000", "-94967296"},
    });
}

TEST(ExpressionFunctions, Extract) {
    ExpectAll({
        {"EXTRACT(YEAR FROM Born)", "2024"},
        {"EXTRACT(MONTH FROM Born)", "3"},
        {"EXTRACT(DAY FROM Born)", "17"},
        {"EXTRACT(WEEK FROM Born)", "11"},
        {"EXTRACT(DAYOFWEEK FROM Born)", "7"},
        {"EXTRACT(DAYOFYEAR FROM Born)", "77"},
        {"EXTRACT(HOUR FROM Born)", "0"},
        {"EXTRACT(HOUR FROM Noon)", "12"},
        {"EXTRACT(MINUTE FROM Noon)", "34"},
        {"EXTRACT(SECOND FROM Noon)", "56"},
        {"EXTRACT(YEAR FROM Noon)", "0"},
        {"EXTRACT(YEAR FROM '1999-12-31')", "1999"},
        {"EXTRACT(MINUTE FROM '10:20:30')", "20"},
        {"EXTRACT(DAY FROM '2001-02-03 04:05:06')", "3"},
        {"EXTRACT(HOUR FROM '2001-02-03 04:05:06')", "4"},
        {"EXTRACT(DAY FROM Born + 1)", "18"},
    });
}

TEST(ExpressionFunctions, CastAndConditionals) {
    // The SQL engine names the table of LASTAUTOINC; here the record stands for it.
    TQueryHooks hooks;
    hooks.AddFunctionTable = [](void* data, TExpToken& node, const char* table) {
        if (std::string(table) == "staff") SetTokenOwner(node, static_cast<TTestRecord*>(data));
    };
    SetQueryHooks(hooks);
    ExpectAll({
        {"CAST('abc' AS INTEGER)", "NULL"},
        {"CAST('123' AS INTEGER)", "123"},
        {"CAST(Age AS CHAR(10))", "'42'"},
        {"CAST(Age AS FLOAT)", "f42"},
        {"CAST(Age AS DECIMAL(10,2))", "bcd42"},
        {"CAST(Pay AS INTEGER)", "12"},
        {"CAST(Rate AS INTEGER)", "2"},
        {"CAST(NULL AS INTEGER)", "NULL"},
        {"IF(Age > 40, 'old', 'young')", "'old'"},
        {"IF(Age > 50 THEN 'old' ELSE 'young')", "'young'"},
        {"IF(Age > 40, 1, 2.5)", "1"},
        {"IFNULL(Missing, 'none', 'some')", "'none'"},
        {"IFNULL(Age, 0, Age + 1)", "43"},
        {"COALESCE(Missing, NULL, Age)", "42"},
        {"COALESCE(NULL, Missing)", "NULL"},
        {"COALESCE(Empty, Name)", "'Smith'"},
        {"LASTAUTOINC('staff')", "41"},
        {"IDENT_CURRENT('staff')", "41"},
        {"IDENT_CURRENT('other')", "0"},
    });
    SetQueryHooks(TQueryHooks{});
}

// Every cast the type rules allow makes a value of a value that fits the target:
// none gives NULL. Texts that read as the target's type stand for the texts.
TEST(ExpressionFunctions, EveryAllowedCastGivesAValue) {
    using namespace testvalues;
    exprtest::PoolScope pool;
    TTestRecord record;
    record.Add("S", Small(7));
    record.Add("W", Word(9));
    record.Add("I", Int(42));
    record.Add("L", Large(5000));
    record.Add("F", Float(2.5));
    record.Add("B", Bcd(123500, 2));
    record.Add("Y", Bool(true));
    record.Add("D", Date(730000));
    record.Add("T", Time(36000000));
    record.Add("TS", Stamp(730000.0 * 86400000 + 36000000));
    struct Target {
        const char* Name;
        uint8_t Type;
        const char* Text;  // a text that reads as the type
    };
    const Target targets[] = {{"SMALLINT", fldINT16, "'7'"}, {"WORD", fldUINT16, "'7'"},
                              {"INTEGER", fldINT32, "'7'"},  {"LARGEINT", fldINT64, "'7'"},
                              {"FLOAT", fldFLOAT, "'7.5'"},  {"DECIMAL(10,2)", fldBCD, "'7.5'"},
                              {"BOOLEAN", fldBOOL, "'TRUE'"}, {"DATE", fldDATE, "'2001-02-03'"},
                              {"TIME", fldTIME, "'10:20:30'"}, {"TIMESTAMP", fldTIMESTAMP, "'2001-02-03 04:05:06'"},
                              {"CHAR(30)", fldZSTRING, "'x'"}};
    int casts = 0;
    for (const Target& target : targets) {
        std::vector<std::string> sources = {target.Text};
        for (const auto& [name, value] : record.Columns)
            if (IsCastAllowed(target.Type, value->DataType)) sources.push_back(name);
        for (const std::string& source : sources) {
            const std::string text = "CAST(" + source + " AS " + target.Name + ")";
            const std::string shown = EvalText(text, record);
            EXPECT_NE(shown, "NULL") << text;
            EXPECT_EQ(shown.rfind("error", 0), std::string::npos) << text << ": " << shown;
            ++casts;
        }
    }
    EXPECT_GE(casts, 60);
    // Non-zero is true, of every number a BOOLEAN takes; in a condition too.
    for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
             {"CAST(1 AS BOOLEAN)", "true"},          {"CAST(0 AS BOOLEAN)", "false"},
             {"CAST(5000000000 AS BOOLEAN)", "true"}, {"CAST(L - 5000 AS BOOLEAN)", "false"},
             {"CAST(I AS BOOLEAN)", "true"},          {"CAST(I - 42 AS BOOLEAN)", "false"},
             {"CAST(B AS BOOLEAN)", "true"},          {"CAST(B - B AS BOOLEAN)", "false"},
             {"CAST(S AS BOOLEAN)", "true"},          {"CAST(W - W AS BOOLEAN)", "false"},
             {"CAST(Y AS SMALLINT)", "1"},            {"CAST(Y AS WORD)", "1"},
             {"CAST(CAST(NULL AS INTEGER) AS BOOLEAN)", "NULL"}})
        EXPECT_EQ(EvalText(text, record), expected) << text;
    EXPECT_EQ(EvalText("CAST(I AS BOOLEAN)", record, true), "true");
    EXPECT_EQ(EvalText("CAST(I - 42 AS BOOLEAN)", record, true), "false");
    EXPECT_EQ(pool.Count(), exprtest::PoolScope::Warm) << "nodes leaked";
}

TEST(ExpressionFunctions, AggregatesGiveTheirArgumentPerRecord) {
    ExpectAll({
        {"SUM(Age)", "42"},
        {"AVG(Rate)", "f2.345"},
        {"COUNT(*)", "1"},
        {"COUNT(Missing)", "NULL"},
        {"MIN(Born)", "d738962"},
        {"MAX(Missing)", "NULL"},
    });
}

TEST(ExpressionFunctions, Predicates) {
    ExpectAll({
        {"Name LIKE 'Sm%'", "true"},
        {"Name LIKE 'S_ith'", "true"},
        {"Name LIKE 's%'", "false"},
        {"Name LIKE NULL", "false"},
        {"Name NOT LIKE NULL", "true"},
        {"Empty LIKE '%'", "false"},
        {"Empty NOT LIKE '%'", "true"},
        {"Age BETWEEN 40 AND 50", "true"},
        {"Age BETWEEN 43 AND 50", "false"},
        {"Age NOT BETWEEN 43 AND 50", "true"},
        {"Born BETWEEN '2024-01-01' AND '2024-12-31'", "true"},
        {"Age IN (1, 2, 42)", "true"},
        {"Age IN (1, 2)", "false"},
        {"Age NOT IN (1, 2)", "true"},
        {"Name IN ('Jones', 'Smith')", "true"},
        {"Missing IN (1, NULL)", "true"},
        {"Name IS NULL", "false"},
        {"Empty IS NULL", "true"},
        {"Missing IS NOT NULL", "false"},
        {"TEXTSEARCH('mit' IN Name)", "true"},
        {"TEXTOCCURS('xx' IN Name)", "0"},
        {"TEXTOCCURS('th' IN Name)", "2"},
    });
}

TEST(ExpressionFunctions, OperatorsThroughTheParser) {
    ExpectAll({
        {"Born - 1 < Born", "true"},
        {"Born = '2024-03-17'", "true"},
        {"Born > '2024-03-18'", "false"},
        {"Age = NULL", "false"},
        {"Missing = NULL", "true"},
        {"Missing <> NULL", "false"},
        {"5 > Missing", "false"},
        {"Active AND Age > 1", "true"},
        {"NOT Active", "false"},
        {"Pay * 2", "bcd24.7"},
        {"Pay + 1.5", "f13.85"},
        {"-Small", "7"},
    });
}

TEST(ExpressionEvaluation, OrDecidedByItsRightOperandSkipsTheLeft) {
    exprtest::PoolScope pool;
    TTestRecord record;
    FillStaff(record);
    TChecked checked = ParseAndCheck("Name = 'x' OR Age = 42", record);
    ASSERT_TRUE(checked.Error.empty()) << checked.Error;
    record.Reads = 0;
    TExpToken* result = EvaluateExpression(checked.Tree.get(), nullptr, &record, 0, 0, &TTestRecord::Value);
    EXPECT_EQ(Show(*result), "true");
    EXPECT_EQ(record.Reads, 1);  // Age only
    ReleaseExpToken(result);

    checked = ParseAndCheck("Name = 'Smith' AND Age = 1", record);
    record.Reads = 0;
    result = EvaluateExpression(checked.Tree.get(), nullptr, &record, 0, 0, &TTestRecord::Value);
    EXPECT_EQ(Show(*result), "false");
    EXPECT_EQ(record.Reads, 1);
    ReleaseExpToken(result);

    checked = ParseAndCheck("IF(Age > 1, Name, Notes || 'x')", record);
    record.Reads = 0;
    result = EvaluateExpression(checked.Tree.get(), nullptr, &record, 0, 0, &TTestRecord::Value);
    EXPECT_EQ(record.Reads, 2);  // Age and Name, never Notes
    ReleaseExpToken(result);
    checked.Tree.reset();
    EXPECT_EQ(pool.Count(), exprtest::PoolScope::Warm);
}

TEST(ExpressionEvaluation, ColumnWithoutACallbackIsAnInternalError) {
    exprtest::PoolScope pool;
    TTestRecord record;
    FillStaff(record);
    TChecked checked = ParseAndCheck("Age + 1", record);
    try {
        TExpToken* result = EvaluateExpression(checked.Tree.get(), nullptr, nullptr, 0, 0, nullptr);
        ReleaseExpToken(result);
        FAIL() << "no error";
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), KURA_SQLPARSE);
        EXPECT_EQ(e.ErrorContext(ctxMessage), "Internal error: Column 'Age' specified illegally");
    }
    checked.Tree.reset();
    EXPECT_EQ(pool.Count(), exprtest::PoolScope::Warm) << "an error mid-evaluation must not lose nodes";
}

TEST(ExpressionEvaluation, ResultsAreConstantsWithoutChildren) {
    TTestRecord record;
    FillStaff(record);
    TChecked checked = ParseAndCheck("UPPER(Name) || 'x'", record);
    TExpToken* result = EvaluateExpression(checked.Tree.get(), nullptr, &record, 0, 0, &TTestRecord::Value);
    EXPECT_EQ(result->Kind, ekConstant);
    EXPECT_EQ(result->Left, nullptr);
    EXPECT_EQ(result->Right, nullptr);
    EXPECT_TRUE(result->Arguments.empty());
    EXPECT_EQ(Show(*result), "'SMITHx'");
    ReleaseExpToken(result);
}

// The deepest tree the parser builds is typed, prepared and evaluated within the
// stack (every walk recurses once per level).
TEST(ExpressionEvaluation, DeepestParsedTreesEvaluate) {
    exprtest::PoolScope pool;
    TTestRecord record;
    FillStaff(record);
    const int64_t outstanding = TExpToken::LiveCount() - pool.Count();
    int32_t evaluated = 0;
    std::vector<std::string> texts;
    for (int32_t depth : {50, 100}) {
        std::string text;
        for (int32_t i = 0; i < depth; ++i) text += "(Age + ";
        text += "1";
        for (int32_t i = 0; i < depth; ++i) text += ")";
        texts.push_back(text + " > 0");
    }
    std::string chain = "Age";
    for (int32_t i = 0; i < MaxExpressionDepth - 8; ++i) chain += " - 1";  // left-deep
    texts.push_back(chain + " < Age");
    for (const std::string& text : texts) {
        const auto depth = static_cast<int32_t>(text.size());
        TChecked checked = ParseAndCheck(text, record);
        if (!checked.Error.empty()) {
            EXPECT_NE(checked.Error.find("parse:"), std::string::npos) << checked.Error;  // refused by the parser
            continue;
        }
        TExpressionPtr prepared(CopyExpressionForCursor(checked.Tree.get(), &record, &TTestRecord::Value, false,
                                                        false, 0, 0));
        TExpToken* result = EvaluateExpression(prepared.get(), nullptr, &record, 0, 0, &TTestRecord::Value);
        EXPECT_EQ(Show(*result), "true") << depth;
        ++evaluated;
        ReleaseExpToken(result);
    }
    EXPECT_EQ(evaluated, 3);
    EXPECT_EQ(TExpToken::LiveCount() - pool.Count(), outstanding) << "nodes leaked";
}
