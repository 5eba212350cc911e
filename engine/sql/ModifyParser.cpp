// INSERT, UPDATE and DELETE.
#include "engine/expr/ExpParser.h"
#include "engine/files/Routines.h"
#include "engine/sql/ParserSupport.h"
#include "engine/sql/QueryModel.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SourceTable.h"

namespace kura {

using sqlparse::ColumnLimitMessage;
using sqlparse::IsOneOf;

void TDataQuery::ParseInsert() {
    TExpressionParser& t = Tokens();
    LiveRequest = 1;
    t.NextToken();  // INSERT
    if (!t.TokenIs("INTO")) RaiseFound("INTO keyword expected, instead found '");
    t.NextToken();
    std::string name;
    bool memory = false;
    ParseTableName(name, memory, "Table name expected after INTO clause, instead found '",
                   "Table name expected after INTO keyword, instead found '");
    TSourceTable* target = AddSourceTable(name, memory);
    std::string correlation;
    if (ParseCorrelationName(correlation, {"VALUES", "SELECT"})) target->SetCorrelationName(correlation);

    bool parenthesisedSelect = false;
    auto addAllColumns = [&] {
        UpdateFields.push_back(std::make_unique<TUpdateField>(this));
        UpdateFields.back()->ColumnName = "*";
    };
    if (t.TokenKindIs('(')) {
        t.NextToken();
        if (t.TokenIs("SELECT")) {
            parenthesisedSelect = true;
            addAllColumns();
        } else {
            for (;;) {
                if (static_cast<int32_t>(UpdateFields.size()) >= MaxTableColumns) Raise(ColumnLimitMessage(MaxTableColumns, "table columns"));
                UpdateFields.push_back(std::make_unique<TUpdateField>(this));
                TUpdateField& field = *UpdateFields.back();
                field.Expression = ParseColumnName("table column", "Table column name is empty", &field.ExpressionText);
                field.ColumnName = field.Expression->Name;
                field.CorrelationName = field.Expression->TableName;
                if (!t.TokenKindIs(',')) break;
                t.NextToken();
            }
            if (!t.TokenKindIs(')')) {
                RaiseFound("Right parentheses expected after list of table columns, instead found '");
            }
            t.NextToken();
        }
    } else {
        addAllColumns();
    }

    if (!parenthesisedSelect && t.TokenIs("VALUES")) {
        t.NextToken();
        if (!t.TokenKindIs('(')) RaiseFound("Left parentheses expected after VALUES keyword, instead found '");
        t.NextToken();
        for (;;) {
            if (static_cast<int32_t>(UpdateValues.size()) >= MaxTableColumns) Raise(ColumnLimitMessage(MaxTableColumns, "list of values"));
            UpdateValues.push_back(std::make_unique<TUpdateValue>(this));
            TUpdateValue& value = *UpdateValues.back();
            value.Expression = ParseValue(&value.ExpressionText);
            if (!t.TokenKindIs(',')) break;
            t.NextToken();
        }
        if (!t.TokenKindIs(')')) RaiseFound("Right parentheses expected after list of values, instead found '");
        t.NextToken();
    } else if (t.TokenIs("SELECT")) {
        InsertFromSelect = 1;
        TDataQuery* source = Statement->AddQuery(std::make_unique<TDataQuery>(Statement));
        InsertSource = source;
        source->FInsertSource = true;
        source->ParseStatement(true, false, nullptr);
        source->LiveRequest = 1;
        // INSERT INTO t (SELECT ...): the parenthesis opened before SELECT closes here.
        if (parenthesisedSelect) {
            if (!t.TokenKindIs(')')) RaiseFound("Right parentheses expected after SELECT statement, instead found '");
            t.NextToken();
        }
    } else {
        RaiseFound("VALUES or SELECT  keyword expected, instead found '");
    }
    ParseNoAutoInc();
    ParseCommitInterval();
    CheckEndOfStatement();
}

void TDataQuery::ParseUpdate() {
    TExpressionParser& t = Tokens();
    LiveRequest = 1;
    t.NextToken();  // UPDATE
    CountJoinParentheses();
    std::string name;
    bool memory = false;
    ParseTableName(name, memory, "Table name expected, instead found '", "Table name expected, instead found '");
    TSourceTable* target = AddSourceTable(name, memory);
    std::string correlation;
    if (ParseCorrelationName(correlation, {"SET"})) target->SetCorrelationName(correlation);
    if (!t.TokenIs("SET")) RaiseFound("SET keyword expected, instead found '");
    t.NextToken();
    for (;;) {
        if (static_cast<int32_t>(UpdateFields.size()) >= MaxTableColumns) Raise(ColumnLimitMessage(MaxTableColumns, "SET clause"));
        UpdateFields.push_back(std::make_unique<TUpdateField>(this));
        TUpdateField& field = *UpdateFields.back();
        field.Expression = ParseColumnName("table column", "Table column name is empty", &field.ExpressionText);
        field.ColumnName = field.Expression->Name;
        field.CorrelationName = field.Expression->TableName;
        if (!t.TokenKindIs('=')) RaiseFound("Assignment (=) operator expected after column name, instead found '");
        t.NextToken();
        UpdateValues.push_back(std::make_unique<TUpdateValue>(this));
        TUpdateValue& value = *UpdateValues.back();
        value.Expression = ParseValue(&value.ExpressionText);
        if (!t.TokenKindIs(',')) break;
        t.NextToken();
    }

    if (t.TokenIs("FROM")) {
        t.NextToken();
        // The first table names the target again.
        CountJoinParentheses();
        std::string firstName;
        bool firstMemory = false;
        ParseTableName(firstName, firstMemory, "Table name expected after FROM keyword, instead found '",
                       "Table name expected after FROM keyword, instead found '");
        std::string fileName;
        SplitFileNameExt(NormalizePathDelimiters(firstName), "", fileName);
        bool matches = SameNameText(fileName, target->TableName) && (!firstMemory || target->InMemory);
        std::string firstCorrelation;
        if (ParseCorrelationName(firstCorrelation, {"LEFT", "RIGHT", "INNER", "JOIN", "WHERE", "NOAUTOINC", "COMMIT",
                                                    "NOJOINOPTIMIZE"})) {
            matches = matches && SameNameText(firstCorrelation, target->CorrelationName);
        }
        if (!matches) {
            Raise("The first source table specified in FROM clause must match the table being updated in the UPDATE "
                  "statement");
        }
        ParseSourceTables();
        while (t.TokenKindIs(',')) {
            t.NextToken();
            CountJoinParentheses();
            std::string tableName;
            bool tableMemory = false;
            ParseTableName(tableName, tableMemory, "Table name expected after FROM keyword, instead found '",
                           "Table name expected after FROM keyword, instead found '");
            TSourceTable* table = AddSourceTable(tableName, tableMemory);
            SeveralTables = 1;
            std::string tableCorrelation;
            if (ParseCorrelationName(tableCorrelation, {"LEFT", "RIGHT", "INNER", "JOIN", "WHERE", "NOAUTOINC",
                                                        "COMMIT", "NOJOINOPTIMIZE"})) {
                table->SetCorrelationName(tableCorrelation);
            }
            CheckDuplicateCorrelationNames(table);
            ParseSourceTables();
        }
    } else if (FOpenParentheses > 0) {
        Raise("Mismatched join parentheses");
    }
    ParseWhere();
    ParseNoAutoInc();
    ParseCommitInterval();
    ParseNoJoinOptimize();
    CheckEndOfStatement();
}

void TDataQuery::ParseDelete() {
    TExpressionParser& t = Tokens();
    LiveRequest = 1;
    t.NextToken();  // DELETE
    if (!t.TokenIs("FROM")) RaiseFound("FROM keyword expected, instead found '");
    t.NextToken();
    ParseFromList({"LEFT", "RIGHT", "INNER", "JOIN", "WHERE", "COMMIT", "NOJOINOPTIMIZE"});
    ParseWhere();
    ParseCommitInterval();
    ParseNoJoinOptimize();
    CheckEndOfStatement();
}

}  // namespace kura
