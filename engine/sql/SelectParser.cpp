// SELECT: the select list, INTO, FROM with joins, WHERE, GROUP BY, HAVING, ORDER
// BY, the options in their fixed order, and UNION chains.
#include "engine/core/Languages.h"
#include "engine/expr/ExpParser.h"
#include "engine/files/SysConvert.h"
#include "engine/sql/ParserSupport.h"
#include "engine/sql/QueryModel.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SourceTable.h"

namespace kura {

using sqlparse::ColumnLimitMessage;
using sqlparse::IsOneOf;

namespace {

// A GROUP BY or ORDER BY item: a column name (optionally correlation "." column) or a
// column number. Returns false when the current token is neither.
template <typename TItem>
bool ParseColumnItem(TExpressionParser& t, TItem& item, std::string_view clause) {
    if (t.TokenKindIs(tkInteger)) {
        int32_t number = 0;
        const std::string text = t.GetTokenText();
        // 0 stands for "given by name" in the model and a column number is 16-bit.
        if (!TryStrToInt(text, number) || number < 1 || number > 65535) {
            t.RaiseError("Invalid column number '" + text + "' specified in " + std::string(clause) + " clause");
        }
        item.ColumnNumber = static_cast<uint16_t>(number);
        t.NextToken();
        return true;
    }
    if (!t.IsSymbolToken()) return false;
    std::string name = t.GetTokenText();
    t.NextToken();
    if (t.TokenKindIs('.')) {
        t.NextToken();
        if (!t.IsSymbolToken()) return false;
        item.CorrelationName = name.substr(0, 255);
        name = t.GetTokenText();
        t.NextToken();
    }
    item.ColumnName = name.substr(0, 255);
    return true;
}


}  // namespace

void TDataQuery::ParseSelect() {
    TExpressionParser& t = Tokens();
    t.NextToken();  // SELECT
    if (t.TokenIs("ALL")) t.NextToken();
    if (t.TokenIs("DISTINCT")) {
        Distinct = 1;
        t.NextToken();
    }
    ParseSelectList();
    if (ResultFields.size() == 1) {
        const TResultField& only = *ResultFields.front();
        // COUNT(*) and t.* (one table's columns among several) are not the whole row.
        if (only.ColumnName == "*" && only.CorrelationName.empty() && only.AggregateKind == akNone && !only.Computed) {
            SelectAll = 1;
        }
    }
    if (t.TokenIs("INTO")) ParseInto();
    if (!t.TokenIs("FROM")) RaiseFound("FROM keyword expected, instead found '");
    t.NextToken();
    if (InsertSourceChain()) {
        ParseFromList({"LEFT", "RIGHT", "INNER", "JOIN", "WHERE", "ORDER", "GROUP", "HAVING", "TOP", "RANGE", "WITH",
                       "ENCRYPTED", "LANGUAGE", "NOJOINOPTIMIZE", "UNION", "NOAUTOINC", "COMMIT"});
    } else {
        ParseFromList({"LEFT", "RIGHT", "INNER", "JOIN", "WHERE", "ORDER", "GROUP", "HAVING", "TOP", "RANGE", "WITH",
                       "ENCRYPTED", "LANGUAGE", "NOJOINOPTIMIZE", "UNION"});
    }
    ParseWhere();
    if (t.TokenIs("GROUP")) ParseGroupBy();
    if (t.TokenIs("HAVING")) ParseHaving();
    if (!IsUnionMember && t.TokenIs("ORDER")) ParseOrderBy();
    ParseSelectOptions();
    if (Parenthesised) {
        if (!t.TokenKindIs(')')) RaiseFound("Right parentheses expected after SELECT statement, instead found '");
        t.NextToken();
    }
    // The chain's first query parses every member in turn, so a long chain (inside
    // nested sub-queries, too) costs no stack.
    if (IsUnionMember) return;
    for (TDataQuery* last = this; t.TokenIs("UNION"); last = last->NextUnion) last->ParseUnion();
    if (HasUnion) {
        if (t.TokenIs("ORDER")) ParseOrderBy();
        ParseTop();
    }
    if (!IsSubQuery) CheckEndOfStatement();
}

bool TDataQuery::InsertSourceChain() const { return FInsertSource; }

void TDataQuery::ParseSelectList() {
    TExpressionParser& t = Tokens();
    for (;;) {
        if (static_cast<int32_t>(ResultFields.size()) >= MaxResultColumns) {
            Raise(ColumnLimitMessage(MaxResultColumns, "result set"));
        }
        ResultFields.push_back(std::make_unique<TResultField>(this));
        TResultField& field = *ResultFields.back();
        ParseSourceColumnExpression(field);
        bool alias = false;
        if (t.TokenIs("AS")) {
            t.NextToken();
            if (!t.IsSymbolToken()) RaiseFound("Symbol or string expected after AS keyword, instead found '");
            alias = true;
        } else if (t.IsSymbolToken() && !t.TokenIs("INTO") && !t.TokenIs("FROM")) {
            alias = true;
        }
        if (alias) {
            std::string name = t.GetTokenText();
            t.NextToken();
            if (t.TokenKindIs('.')) {
                t.NextToken();
                if (!t.IsSymbolToken()) {
                    RaiseFound("Symbol or string expected after table correlation name, instead found '");
                }
                name = t.GetTokenText();
                t.NextToken();
            }
            field.ResultName = name.substr(0, 255);
            field.NameIsGenerated = 0;
        }
        if (!t.TokenKindIs(',')) break;
        t.NextToken();
    }
}

void TDataQuery::ParseSourceColumnExpression(TResultField& field) {
    field.Expression = ParseClause("source column expression", pfAggregates | pfAllColumns | pfExtendedPredicates,
                                   "Source column expression is empty", &field.ExpressionText);
    TExpToken* tree = field.Expression;
    if (tree->Kind == ekColumn) {
        field.CorrelationName = tree->TableName;
        field.SetColumnName(tree->Name);
        return;
    }
    if (tree->Kind == ekFunction && IsAggregateCode(tree->Code)) {
        field.AggregateKind = AggregateKindOf(tree->Code);
        if (field.AggregateKind == akAvg) HasAvg = 1;
        const TExpToken* argument = tree->GetArgument(0);
        if (ContainsAggregate(argument)) Raise("Aggregate functions cannot be nested");
        if (argument && argument->Kind == ekColumn) {
            field.ColumnName = argument->Name;
            field.CorrelationName = argument->TableName;
        } else {
            field.Computed = 1;
            HasComputed = 1;
        }
        return;
    }
    if (ContainsAggregate(tree)) Raise("Aggregate functions cannot be used within expressions");
    field.Computed = 1;
    HasComputed = 1;
}

void TDataQuery::ParseInto() {
    TExpressionParser& t = Tokens();
    if (this != Statement->MasterQuery()) Raise("The INTO clause can only be used with the master query");
    t.NextToken();  // INTO
    HasInto = 1;
    LiveRequest = 0;
    const bool memory = t.TokenIs("MEMORY");
    if (memory) {
        InMemory = 1;
        t.NextToken();
        if (!t.IsSymbolToken() || t.TokenIs("FROM")) return;
    } else if (!t.IsSymbolToken()) {
        RaiseFound("Result table name expected in INTO clause, instead found '");
    }
    std::string name = t.GetTokenText();
    t.NextToken();
    if (t.TokenKindIs('\\')) {
        t.NextToken();
        if (!t.IsSymbolToken()) RaiseFound("Result table name expected in INTO clause, instead found '");
        name += "\\" + t.GetTokenText();
        t.NextToken();
    }
    IntoTableName = name.substr(0, 255);
}

void TDataQuery::ParseGroupBy() {
    TExpressionParser& t = Tokens();
    t.NextToken();  // GROUP
    if (!t.TokenIs("BY")) RaiseFound("BY keyword expected after GROUP keyword, instead found '");
    t.NextToken();
    HasGroupBy = 1;
    for (;;) {
        if (static_cast<int32_t>(GroupBy.size()) >= MaxGroupByColumns) {
            Raise(ColumnLimitMessage(MaxGroupByColumns, "GROUP BY clause"));
        }
        GroupBy.push_back(std::make_unique<TGroupByField>(this));
        if (!ParseColumnItem(t, *GroupBy.back(), "GROUP BY")) {
            RaiseFound("Column name or column number expected in GROUP BY clause, instead found '");
        }
        if (!t.TokenKindIs(',')) break;
        t.NextToken();
    }
}

void TDataQuery::ParseHaving() {
    Tokens().NextToken();  // HAVING
    HasHaving = 1;
    HavingPresent = 1;
    ParseHavingExpression();
}

void TDataQuery::ParseOrderBy() {
    TExpressionParser& t = Tokens();
    t.NextToken();  // ORDER
    if (!t.TokenIs("BY")) RaiseFound("BY keyword expected after ORDER keyword, instead found '");
    t.NextToken();
    HasOrderBy = 1;
    OrderBy.clear();
    for (;;) {
        if (static_cast<int32_t>(OrderBy.size()) >= MaxOrderByColumns) {
            Raise(ColumnLimitMessage(MaxOrderByColumns, "ORDER BY clause"));
        }
        OrderBy.push_back(std::make_unique<TOrderByField>(this));
        TOrderByField& item = *OrderBy.back();
        if (!ParseColumnItem(t, item, "ORDER BY")) {
            RaiseFound("Column name or column number expected in ORDER BY clause, instead found '");
        }
        if (t.TokenIs("ASC") || t.TokenIs("ASCENDING")) {
            t.NextToken();
        } else if (t.TokenIs("DESC") || t.TokenIs("DESCENDING")) {
            item.Descending = 1;
            t.NextToken();
        }
        if (!t.TokenKindIs(',')) break;
        t.NextToken();
    }
    if (t.TokenIs("NOCASE")) {
        OrderByNoCase = 1;
        t.NextToken();
    }
}

void TDataQuery::ParseTop() {
    TExpressionParser& t = Tokens();
    if (!t.TokenIs("TOP")) return;
    t.NextToken();
    Top = ParseIntegerValue("Integer value expected after TOP keyword, instead found '");
}

void TDataQuery::ParseSelectOptions() {
    TExpressionParser& t = Tokens();
    ParseTop();
    if (t.TokenIs("WITH")) {
        t.NextToken();
        if (!t.TokenIs("LOCKS")) RaiseFound("LOCKS keyword expected after WITH keyword, instead found '");
        t.NextToken();
        WithLocks = 1;
    }
    ParseLanguage();
    ParseEncryption();
    ParseNoJoinOptimize();
}

void TDataQuery::ParseLanguage() {
    TExpressionParser& t = Tokens();
    if (!t.TokenIs("LANGUAGE")) return;
    t.NextToken();
    const std::string language = t.GetTokenText();
    if (!t.IsSymbolToken() || !LanguageExists(language)) {
        Raise("Invalid language constant '" + language + "' specified after LANGUAGE keyword");
    }
    LanguageId = GetLanguageID(language);
    LanguageGiven = 1;
    t.NextToken();
    if (!t.TokenIs("SORT")) return;
    t.NextToken();
    const std::string sort = t.GetTokenText();
    if (!t.IsSymbolToken() || !SortOrderExists(LanguageId, sort)) {
        Raise("Invalid sort constant '" + sort + "' specified after SORT keyword");
    }
    SortId = GetSortOrderID(LanguageId, sort);
    SortGiven = 1;
    t.NextToken();
}

void TDataQuery::ParseEncryption() {
    TExpressionParser& t = Tokens();
    if (!t.TokenIs("ENCRYPTED")) return;
    t.NextToken();
    if (!t.TokenIs("WITH")) RaiseFound("WITH keyword expected after ENCRYPTED keyword, instead found '");
    t.NextToken();
    if (!t.IsSymbolToken()) RaiseFound("Password expected after WITH keyword, instead found '");
    Password = t.GetTokenText().substr(0, 255);
    Encrypted = Password.empty() ? 0 : 1;
    EncryptionGiven = 1;
    t.NextToken();
}

void TDataQuery::ParseUnion() {
    TExpressionParser& t = Tokens();
    if (HasOrderBy) Raise("You cannot use an ORDER BY clause within a UNIONed query");
    if (FUnionIndex + 1 >= MaxUnionMembers) {
        Raise("Maximum number of UNION queries (" + std::to_string(MaxUnionMembers) + ") exceeded");
    }
    HasUnion = 1;
    LiveRequest = 1;
    TDataQuery* next = Statement->AddQuery(std::make_unique<TDataQuery>(Statement));
    NextUnion = next;
    t.NextToken();  // UNION
    uint8_t all = 0;
    if (t.TokenIs("ALL")) {
        all = 1;
        t.NextToken();
    }
    next->ParseStatement(false, true, this);
    next->UnionAll = all;
    next->LiveRequest = 1;
}

}  // namespace kura
