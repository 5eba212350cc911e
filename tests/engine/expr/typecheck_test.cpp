// Type checking: the type every node gets, the rewrites it makes, and every message
// it raises, each produced by a text that triggers it.
#include <gtest/gtest.h>

#include <algorithm>

#include "EvalTestSupport.h"

using namespace kura;
using namespace kura::evaltest;

namespace {

std::string TypeOf(std::string_view text) {
    TTestRecord record;
    FillStaff(record);
    TChecked checked = ParseAndCheck(text, record);
    if (!checked.Error.empty()) return "error: " + checked.Error;
    const TExpToken& root = *checked.Tree;
    return std::to_string(root.DataType) + "/" + std::to_string(root.DataSubtype) + "/" +
           std::to_string(root.DataSize) + "/" + std::to_string(root.Scale);
}

std::string ErrorOf(std::string_view text) {
    TTestRecord record;
    FillStaff(record);
    record.Add("Smith", testvalues::Text("column named Smith"));
    return ParseAndCheck(text, record).Error;
}

}  // namespace

TEST(ExpressionTypes, ResultTypesSizesAndScales) {
    struct TRow {
        const char* Text;
        const char* Type;  // type/subtype/size/scale
    };
    const TRow rows[] = {
        {"Age + 1", "6/0/4/0"},
        {"Age + Big", "18/0/8/0"},
        {"Age / 2", "7/0/8/0"},
        {"Pay * 2", "8/0/34/2"},
        {"Name || 'abc'", "1/0/24/0"},
        {"Name || Notes", "3/22/30/0"},
        {"Born - Born", "6/0/4/0"},
        {"Age > 1", "4/0/2/0"},
        {"-Age", "6/0/4/0"},
        {"SUM(Small)", "6/0/4/0"},
        {"SUM(Age)", "18/0/8/0"},
        {"SUM(Pay)", "8/0/34/2"},
        {"AVG(Age)", "7/0/8/0"},
        {"AVG(Born)", "2/0/4/0"},
        {"MIN(Pay)", "8/0/34/2"},
        {"COUNT(*)", "6/0/4/0"},
        {"UPPER(Name)", "1/0/21/0"},
        {"LOWER(Notes)", "3/22/10/0"},
        {"SUBSTRING(Name FROM 1 FOR 2)", "1/0/21/0"},
        {"POS('a' IN Name)", "6/0/4/0"},
        {"LENGTH(Name)", "6/0/4/0"},
        {"ABS(Pay)", "8/0/34/2"},
        {"ROUND(Rate TO 2)", "7/0/8/0"},
        {"EXTRACT(YEAR FROM Born)", "6/0/4/0"},
        {"CAST(Age AS CHAR(10))", "1/0/11/0"},
        {"CAST(Age AS DECIMAL(10,2))", "8/0/34/2"},
        {"CAST(Age AS SMALLINT)", "5/0/2/0"},
        {"CAST(Age AS TIMESTAMP)", "error: Type mismatch between column 'Age' and AS argument in filter expression"},
        {"CAST(Name AS BLOB(1,1))", "3/22/21/0"},
        {"CAST(Age AS BYTES(5))", "9/0/5/0"},
        {"IF(Age > 1, Name, 'a much longer text here')", "1/0/24/0"},
        {"COALESCE(NULL, Age)", "6/0/4/0"},
        {"IFNULL(Age, Big, Age)", "18/0/8/0"},
        {"TEXTSEARCH('x' IN Name)", "4/0/2/0"},
        {"TEXTOCCURS('x' IN Name)", "6/0/4/0"},
        {"Name LIKE 'a%'", "4/0/2/0"},
        {"LASTAUTOINC('staff')", "6/0/4/0"},
    };
    for (const TRow& row : rows) EXPECT_EQ(TypeOf(row.Text), row.Type) << row.Text;
}

TEST(ExpressionTypes, EveryMessage) {
    struct TRow {
        const char* Text;
        const char* Message;  // before " in filter expression"
    };
    const TRow rows[] = {
        {"NOT Age", "Type mismatch between 'NOT' operator and 'Age'"},
        {"-Name", "Type mismatch between '-' operator and 'Name'"},
        {"Age + 'x'", "Type mismatch between column 'Age' and constant 'x'"},
        {"Age * UPPER(Name)", "Type mismatch between column 'Age' and function 'UPPER'"},
        {"(Age + 1) = Name", "Type mismatch between expression '+' and column 'Name'"},
        {"Born > 'abc'", "Date, time, or timestamp expression expected, instead found 'abc'"},
        {"'abc' < Noon", "Date, time, or timestamp expression expected, instead found 'abc'"},
        {"Nobody = 1", "Invalid column name 'Nobody' or table correlation name '' specified"},
        {"t.Nobody = 1", "Invalid column name 'Nobody' or table correlation name 't' specified"},
        {"SUM(Name)", "SUM aggregate function must contain a numeric expression"},
        {"runsum(Born)", "RUNSUM aggregate function must contain a numeric expression"},
        {"MIN(Name)", "MIN aggregate function must contain a numeric, date, time, or timestamp expression"},
        {"AVG(Active)", "AVG aggregate function must contain a numeric, date, time, or timestamp expression"},
        {"UPPER(Age)", "Type mismatch between UPPER function and function argument"},
        {"LOWER(Born)", "Type mismatch between LOWER function and function argument"},
        {"SUBSTRING(Age FROM 1)", "Expression argument of SUBSTRING function must be a string or memo"},
        {"SUBSTRING(Name FROM 'a')", "FROM argument of SUBSTRING function must be an integer value"},
        {"SUBSTRING(Name FROM 1 FOR 1.5)", "FOR argument of SUBSTRING function must be an integer value"},
        {"REPLACE('a' WITH 'b' IN Age)", "IN argument of REPLACE function must be a string or memo"},
        {"REPLACE(1 WITH 'b' IN Name)", "Type mismatch between REPLACE function and search string argument"},
        {"REPLACE('a' WITH 2 IN Name)", "Type mismatch between REPLACE function and replacement string argument"},
        {"POS('a' IN Age)", "Type mismatch between POS function and IN argument"},
        {"POS(1 IN Name)", "Type mismatch between POS function and search string argument"},
        {"OCCURS('a' IN Age)", "Type mismatch between OCCURS function and IN argument"},
        {"OCCURS(1 IN Name)", "Type mismatch between OCCURS function and search string argument"},
        {"TRIM(BOTH ' ' FROM Age)", "FROM argument of TRIM function must be a string or memo"},
        {"TRIM(BOTH 'ab' FROM Name)", "Trim character argument of TRIM function must be a single character constant"},
        {"LENGTH(Age)", "Type mismatch between LENGTH function and function argument"},
        {"CAST(Born AS INTEGER)", "Type mismatch between column 'Born' and AS argument"},
        {"CAST(Name AS CHAR(300))", "Length argument must be an integer greater than 0 and less than or equal to 250"},
        {"CAST(Name AS CHAR(0))", "Length argument must be an integer greater than 0 and less than or equal to 250"},
        {"CAST(Name AS CHAR('a'))", "Length argument must be an integer"},
        {"CAST(Name AS BYTES(251))", "Length argument must be an integer greater than 0 and less than or equal to 250"},
        {"CAST(Age AS DECIMAL(10,'a'))", "Scale argument must be an integer"},
        {"CAST(Name AS BLOB(1,4))", "BLOB type argument must be an integer with a value of 1,2,3,5, or 7"},
        {"CAST(Name AS BLOB('a',1))", "First BLOB type argument must be an integer"},
        {"CAST(Name AS BLOB(1,'a'))", "BLOB type argument must be an integer"},
        {"EXTRACT(YEAR FROM Age)", "FROM argument of EXTRACT function must be a date, time, or timestamp"},
        {"EXTRACT(YEAR FROM 'soon')", "FROM argument of EXTRACT function must be a date, time, or timestamp"},
        {"ABS(Name)", "Expression argument of ABS function must be an integer, floating-point, or BCD type"},
        {"ROUND(Age)", "Expression argument of ROUND function must be a floating-point or BCD type"},
        {"ROUND(Rate TO Age)", "Decimal places argument of ROUND function must be an integer constant"},
        {"ROUND(Rate TO 40)", "Decimal places argument of ROUND function must be an integer constant between 0 and 32"},
        {"IF(Age, 1, 2)", "First expression argument of IF function must be a boolean type"},
        {"IF(Active, 1, 'a')", "Type mismatch between IF expression arguments"},
        {"IFNULL(Age, Born, 1)", "Type mismatch between IFNULL expression arguments"},
        {"COALESCE(Age, Name)", "Type mismatch between COALESCE expression arguments"},
        {"TEXTSEARCH(1 IN Name)", "Type mismatch between TEXTSEARCH function and search text function argument"},
        {"TEXTSEARCH(Name IN Name)", "TEXTSEARCH search text function argument must be a string constant"},
        {"TEXTSEARCH('a' IN 'b')", "TEXTSEARCH function column argument must be a valid column name"},
        {"TEXTSEARCH('a' IN Age)", "Type mismatch between TEXTSEARCH function and column function argument"},
        {"TEXTOCCURS('a' IN Age)", "Type mismatch between TEXTOCCURS function and column function argument"},
        {"LASTAUTOINC(1)", "Type mismatch between LASTAUTOINC function and table name function argument"},
        {"IDENT_CURRENT(Name)", "IDENT_CURRENT table name function argument must be a string constant"},
        {"Age LIKE 'a%'", "Type mismatch between LIKE operator and expression 'Age'"},
        {"Name NOT LIKE 5", "Type mismatch between NOT LIKE operator and expression '5'"},
        {"Age BETWEEN 1 AND 'x'", "Type mismatch between BETWEEN operator and expression 'x'"},
        {"Age NOT BETWEEN 'x' AND 1", "Type mismatch between NOT BETWEEN operator and expression 'x'"},
        {"Age IN (1, 'x')", "Type mismatch between IN operator and expression 'x'"},
        {"Name NOT IN ('a', 2)", "Type mismatch between NOT IN operator and expression '2'"},
        {"Born IN ('2001-01-01', 'never')", "Date, time, or timestamp expression expected, instead found 'never'"},
    };
    for (const TRow& row : rows) EXPECT_EQ(ErrorOf(row.Text), std::string(row.Message) + " in filter expression") << row.Text;
    EXPECT_EQ(ErrorOf("COALESCE(NULL, NULL)"),
              "At least one of the COALESCE expression arguments in filter expression must be a non-NULL value");
    EXPECT_EQ(ErrorOf("IF(Active, NULL, NULL)"),
              "At least one of the IF expression arguments in filter expression must be a non-NULL value");
    EXPECT_EQ(ErrorOf("CAST(Age AS DECIMAL(10,5))"),
              "Scale argument must be an integer less than or equal to 4 but greater than or equal to 0 for the BCD "
              "data type filter expression");
}

TEST(ExpressionTypes, QuotedNamesAndDatesInStrings) {
    TTestRecord record;
    FillStaff(record);
    record.Add("Smith", testvalues::Text("a column named Smith"));
    // 'Smith' names a column, but beside another column it stays the text.
    TChecked checked = ParseAndCheck("Name = 'Smith'", record);
    ASSERT_TRUE(checked.Error.empty()) << checked.Error;
    EXPECT_EQ(checked.Tree->Right->Kind, ekConstant);
    EXPECT_TRUE(checked.Tree->Right->Name.empty());
    EXPECT_EQ(checked.Tree->Left->Kind, ekColumn);
    // Alone it is the column.
    checked = ParseAndCheck("\"Age\" > 40", record);
    ASSERT_TRUE(checked.Error.empty()) << checked.Error;
    EXPECT_EQ(checked.Tree->Left->Kind, ekColumn);
    EXPECT_EQ(checked.Tree->Left->FromStringConstant, 1);
    EXPECT_EQ(EvalText("\"Age\" > 40", record), "true");
    // A text that names no column stays a text.
    EXPECT_EQ(EvalText("Name = 'Jones'", record), "false");
    // A date text beside a date column takes the date type.
    checked = ParseAndCheck("Born > '2001-02-03'", record);
    ASSERT_TRUE(checked.Error.empty());
    EXPECT_EQ(checked.Tree->Right->DataType, fldDATE);
    EXPECT_EQ(checked.Tree->Right->Kind, ekConstant);
    // Every node knows its parent.
    EXPECT_EQ(checked.Tree->Parent, nullptr);
    EXPECT_EQ(checked.Tree->Left->Parent, checked.Tree.get());
}

TEST(ExpressionTypes, ConditionsBecomeComparisonsWithTrue) {
    TTestRecord record;
    FillStaff(record);
    TChecked checked = ParseAndCheck("Active", record, true);
    ASSERT_TRUE(checked.Error.empty()) << checked.Error;
    EXPECT_EQ(exprtest::Dump(checked.Tree.get()), "=(Active,True)");
    checked = ParseAndCheck("NOT Active", record, true);
    EXPECT_EQ(exprtest::Dump(checked.Tree.get()), "NOT(=(Active,True))");
    checked = ParseAndCheck("Active AND Age > 1", record, true);
    EXPECT_EQ(exprtest::Dump(checked.Tree.get()), "AND(=(Active,True),>(Age,1))");
    // A boolean inside a comparison stays as it is.
    checked = ParseAndCheck("Active = TRUE", record, true);
    EXPECT_EQ(exprtest::Dump(checked.Tree.get()), "=(Active,TRUE)");
    EXPECT_EQ(EvalText("NOT Active", record, true), "false");
    EXPECT_EQ(EvalText("Active OR Age = 1", record, true), "true");
}

TEST(ExpressionTypes, ConstantTreesNeedNoResolver) {
    exprtest::ParseOutcome parsed = exprtest::ParseText("1 + 2.5 > 2 AND 'a' < 'b'", pfExtendedPredicates);
    TExpressionPtr tree(parsed.Tree);
    EXPECT_NO_THROW(CheckExpressionTypes(KURA_SQLPARSE, "", "", true, false, nullptr, nullptr, nullptr, tree.get(),
                                         "SQL statement"));
    EXPECT_EQ(tree->DataType, fldBOOL);
    EXPECT_EQ(tree->Left->Left->DataType, fldFLOAT);
    try {
        parsed = exprtest::ParseText("1 + 'x'", pfExtendedPredicates);
        tree.reset(parsed.Tree);
        CheckExpressionTypes(KURA_SQLPARSE, "", "obj", true, false, nullptr, nullptr, nullptr, tree.get(), "WHERE clause");
        FAIL();
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), KURA_SQLPARSE);
        EXPECT_EQ(e.ErrorContext(ctxDatabase), "obj");
        EXPECT_EQ(e.ErrorContext(ctxMessage), "Type mismatch between constant '1' and constant 'x' in WHERE clause");
    }
}

// Sub-selects reach the SQL engine's query model through its hooks.
namespace {

struct TFakeQuery {
    int32_t Columns = 1;
    uint8_t Type = fldINT32;
    std::vector<int32_t> Values;
};

TDataQuery* AsQuery(TFakeQuery& q) { return reinterpret_cast<TDataQuery*>(&q); }
TFakeQuery& FromQuery(TDataQuery* q) { return *reinterpret_cast<TFakeQuery*>(q); }

TExpToken* SubSelectTest(TTestRecord& record, TFakeQuery& query, uint8_t code) {
    TExpToken* predicate = AllocExpToken();
    predicate->Kind = ekPredicate;
    predicate->Code = code;
    predicate->Text = code == prInSelect ? "IN" : "NOT IN";
    TExpToken* value = AllocExpToken();
    value->Kind = ekColumn;
    value->Name = value->Text = "Age";
    TExpToken* select = AllocExpToken();
    select->Kind = ekSubSelect;
    select->Text = "SELECT";
    select->Query = AsQuery(query);
    predicate->SetArgument(0, value);
    predicate->SetArgument(1, select);
    (void)record;
    return predicate;
}

}  // namespace

TEST(ExpressionTypes, SubSelectsThroughTheQueryHooks) {
    TQueryHooks hooks;
    hooks.ColumnCount = [](TDataQuery* q) { return FromQuery(q).Columns; };
    hooks.ResolveColumn = [](TDataQuery* q, TExpToken& node) {
        node.DataType = FromQuery(q).Type;
        node.DataSize = 4;
        return FromQuery(q).Type != fldUNKNOWN;
    };
    hooks.Contains = [](TDataQuery* q, const TExpToken& value) {
        const auto& v = FromQuery(q).Values;
        return std::find(v.begin(), v.end(), exv::Load<int32_t>(value)) != v.end();
    };
    SetQueryHooks(hooks);
    TTestRecord record;
    FillStaff(record);
    TFakeQuery query;
    query.Values = {1, 42};
    const auto check = [&](uint8_t code) -> std::string {
        TExpressionPtr tree(SubSelectTest(record, query, code));
        try {
            CheckExpressionTypes(KURA_SQLPARSE, "", "", false, false, &TTestRecord::Resolve, &record, nullptr,
                                 tree.get(), "WHERE clause");
        } catch (const EKuraEngineError& e) {
            return e.ErrorContext(ctxMessage);
        }
        TExpToken* result = EvaluateExpression(tree.get(), nullptr, &record, 0, 0, &TTestRecord::Value);
        const std::string shown = Show(*result);
        ReleaseExpToken(result);
        return shown;
    };
    EXPECT_EQ(check(prInSelect), "true");
    EXPECT_EQ(check(prNotInSelect), "false");
    query.Values = {7};
    EXPECT_EQ(check(prInSelect), "false");
    query.Type = fldZSTRING;
    EXPECT_EQ(check(prInSelect), "Type mismatch between IN operator and expression 'SELECT' in WHERE clause");
    EXPECT_EQ(check(prNotInSelect), "Type mismatch between NOT IN operator and expression 'SELECT' in WHERE clause");
    query.Columns = 2;
    EXPECT_EQ(check(prInSelect), "More than 1 column for sub-select  specified in WHERE clause");
    query.Columns = 1;
    query.Type = fldUNKNOWN;
    EXPECT_EQ(check(prInSelect), "Invalid column name '' or table correlation name '' specified in WHERE clause");
    SetQueryHooks(TQueryHooks{});
}
