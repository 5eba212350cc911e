// The statement dispatcher and the pieces every statement parser shares: table
// references with their correlation names, joins, WHERE, the trailing options, the
// end-of-statement check and the clause-expression routines.
#include <algorithm>

#include "engine/expr/ExpParser.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/Routines.h"
#include "engine/files/SysConvert.h"
#include "engine/sql/ParserSupport.h"
#include "engine/sql/QueryModel.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SourceTable.h"

namespace kura {

using sqlparse::ColumnLimitMessage;
using sqlparse::IsOneOf;

namespace {

// Sets the clause's context name for as long as it lives, then "SQL statement".
class TContextScope {
public:
    TContextScope(TExpressionParser& tokens, std::string_view context) : FTokens(tokens) {
        FTokens.ContextName = std::string(context);
    }
    ~TContextScope() { FTokens.ContextName = "SQL statement"; }
    TContextScope(const TContextScope&) = delete;
    TContextScope& operator=(const TContextScope&) = delete;

private:
    TExpressionParser& FTokens;
};

}  // namespace

// ---- Dispatcher --------------------------------------------------------------------

void TDataQuery::ParseStatement(bool subQuery, bool unionMember, TDataQuery* previous) {
    if (Executed) return;
    // Set by the INSERT parser just before it hands its SELECT source over.
    const bool insertSource = FInsertSource;
    Reset();
    IsSubQuery = subQuery ? 1 : 0;
    IsUnionMember = unionMember ? 1 : 0;
    PreviousUnion = previous;
    FInsertSource = insertSource || (previous && previous->FInsertSource);
    if (previous) FUnionIndex = previous->FUnionIndex + 1;
    TExpressionParser& t = Tokens();
    // A UNION member is a query like its neighbours, never another statement kind.
    if (unionMember && !t.TokenKindIs('(') && !t.TokenIs("SELECT")) {
        RaiseFound("SELECT keyword expected, instead found '");
    }
    if (t.TokenKindIs('(')) {
        t.NextToken();
        Parenthesised = 1;
        if (!t.TokenIs("SELECT")) RaiseFound("SELECT keyword expected, instead found '");
        Kind = skSelect;
        ParseSelect();
        return;
    }
    if (t.TokenIs("SELECT")) {
        Kind = skSelect;
        ParseSelect();
    } else if (t.TokenIs("INSERT")) {
        Kind = skInsert;
        ParseInsert();
    } else if (t.TokenIs("UPDATE")) {
        Kind = skUpdate;
        ParseUpdate();
    } else if (t.TokenIs("DELETE")) {
        Kind = skDelete;
        ParseDelete();
    } else if (t.TokenIs("CREATE")) {
        t.NextToken();
        if (t.TokenIs("TABLE")) {
            Kind = skCreateTable;
            ParseCreateTable();
        } else if (IsOneOf(t, {"INDEX", "UNIQUE", "ASC", "ASCENDING", "DESC", "DESCENDING", "NOCASE"})) {
            Kind = skCreateIndex;
            ParseCreateIndex();
        } else {
            RaiseFound("TABLE, INDEX, UNIQUE, ASC, ASCENDING, DESC, DESCENDING, or NOCASE keyword expected, instead found '");
        }
    } else if (t.TokenIs("ALTER")) {
        t.NextToken();
        if (!t.TokenIs("TABLE")) RaiseFound("TABLE keyword expected, instead found '");
        Kind = skAlterTable;
        ParseAlterTable();
    } else if (t.TokenIs("DROP")) {
        t.NextToken();
        if (t.TokenIs("TABLE")) {
            Kind = skDropTable;
            ParseDropTable();
        } else if (t.TokenIs("INDEX")) {
            Kind = skDropIndex;
            ParseDropIndex();
        } else {
            RaiseFound("TABLE or INDEX keyword expected, instead found '");
        }
    } else if (t.TokenIs("START")) {
        t.NextToken();
        if (!t.TokenIs("TRANSACTION")) RaiseFound("TRANSACTION keyword expected, instead found '");
        Kind = skStartTransaction;
        ParseTransaction();
    } else if (t.TokenIs("ROLLBACK")) {
        Kind = skRollback;
        ParseTransaction();
    } else if (t.TokenIs("COMMIT")) {
        Kind = skCommit;
        ParseTransaction();
    } else {
        RaiseFound("SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found '");
    }
}

void TDataQuery::CheckEndOfStatement() {
    TExpressionParser& t = Tokens();
    if (t.TokenKindIs(';')) {
        t.NextToken();
        return;
    }
    if (!t.TokenKindIs(tkEnd)) {
        Raise("End of " + std::string(StatementName(Kind)) + " statement expected, instead found '" +
              t.GetTokenText() + "'");
    }
}

// ---- Table references --------------------------------------------------------------

bool TDataQuery::ParseTableName(std::string& name, bool& memory, std::string_view firstMessage,
                                std::string_view afterMessage) {
    TExpressionParser& t = Tokens();
    memory = false;
    if (t.TokenIs("MEMORY")) {
        memory = true;
        t.NextToken();
        if (!t.IsSymbolToken()) RaiseFound(afterMessage);
    } else if (!t.IsSymbolToken()) {
        RaiseFound(firstMessage);
    }
    name = t.GetTokenText();
    t.NextToken();
    if (t.TokenKindIs('\\')) {
        t.NextToken();
        if (!t.IsSymbolToken()) RaiseFound(afterMessage);
        name += "\\" + t.GetTokenText();
        t.NextToken();
    }
    return true;
}

TSourceTable* TDataQuery::AddSourceTable(const std::string& name, bool memory) {
    if (static_cast<int32_t>(SourceTables.size()) >= MaxSourceTables) {
        Raise("Maximum number of tables (" + std::to_string(MaxSourceTables) + ") in " +
              std::string(StatementName(Kind)) + " statement exceeded");
    }
    auto table = std::make_unique<TSourceTable>(this);
    table->TableNumber = static_cast<uint16_t>(SourceTables.size() + 1);
    table->SetTableName(name, memory, Statement->DatabasePath);
    // MEMORY before the target of a data-changing or definition statement puts the
    // statement in the in-memory database; a SELECT says so with INTO MEMORY.
    if (memory && SourceTables.empty() && Kind != skSelect) InMemory = 1;
    SourceTables.push_back(std::move(table));
    return SourceTables.back().get();
}

bool TDataQuery::ParseCorrelationName(std::string& name, std::initializer_list<std::string_view> stopWords) {
    TExpressionParser& t = Tokens();
    if (t.TokenIs("AS")) {
        t.NextToken();
        if (!t.IsSymbolToken()) RaiseFound("Symbol or string expected after AS keyword, instead found '");
    } else if (!t.IsSymbolToken() || IsOneOf(t, stopWords)) {
        return false;
    }
    name = t.GetTokenText();
    t.NextToken();
    return true;
}

void TDataQuery::CheckDuplicateCorrelationNames(TSourceTable* table) {
    for (const auto& other : SourceTables) {
        if (other.get() == table) break;
        if (SameNameText(other->CorrelationName, table->CorrelationName)) {
            Raise("Duplicate table correlation name '" + table->CorrelationName + "' specified in " +
                  std::string(StatementName(Kind)) + " statement");
        }
    }
}

void TDataQuery::CountJoinParentheses() {
    TExpressionParser& t = Tokens();
    while (t.TokenKindIs('(')) {
        if (++FOpenParentheses > MaxJoinParentheses) {
            Raise("Maximum nesting of join parentheses (" + std::to_string(MaxJoinParentheses) + ") exceeded");
        }
        t.NextToken();
    }
}

void TDataQuery::ParseSourceTables() {
    TExpressionParser& t = Tokens();
    for (;;) {
        uint8_t kind = 0;
        if (t.TokenIs("FULL")) Raise("Full outer joins are currently not supported in SQL SELECT statements");
        if (t.TokenIs("JOIN")) {
            kind = jkInner;
        } else if (t.TokenIs("INNER")) {
            t.NextToken();
            if (!t.TokenIs("JOIN")) RaiseFound("JOIN keyword expected after INNER keyword, instead found '");
            kind = jkInner;
        } else if (t.TokenIs("LEFT") || t.TokenIs("RIGHT")) {
            const bool left = t.TokenIs("LEFT");
            t.NextToken();
            if (t.TokenIs("OUTER")) t.NextToken();
            if (!t.TokenIs("JOIN")) {
                RaiseFound(left ? "JOIN keyword expected after LEFT or OUTER keyword, instead found '"
                                : "JOIN keyword expected after RIGHT or OUTER keyword, instead found '");
            }
            kind = left ? jkLeftOuter : jkRightOuter;
        } else {
            break;
        }
        t.NextToken();  // JOIN
        std::string name;
        bool memory = false;
        ParseTableName(name, memory, "Table name expected after JOIN keyword, instead found '",
                       "Table name expected after JOIN keyword, instead found '");
        TSourceTable* table = AddSourceTable(name, memory);
        SeveralTables = 1;
        std::string correlation;
        if (ParseCorrelationName(correlation, {"ON"})) table->SetCorrelationName(correlation);
        CheckDuplicateCorrelationNames(table);
        if (!t.TokenIs("ON")) RaiseFound("ON keyword expected in JOIN clause, instead found '");
        t.NextToken();
        auto join = std::make_unique<TJoinExpression>(this);
        join->Kind = kind;
        join->Table = table;
        TJoinExpression* raw = join.get();
        Joins.push_back(std::move(join));
        raw->Condition = ParseJoinExpression(&raw->ConditionText);
        while (FOpenParentheses > 0 && t.TokenKindIs(')')) {
            --FOpenParentheses;
            t.NextToken();
        }
    }
    if (FOpenParentheses > 0) Raise("Mismatched join parentheses");
}

void TDataQuery::ParseFromList(std::initializer_list<std::string_view> stopWords) {
    TExpressionParser& t = Tokens();
    for (;;) {
        CountJoinParentheses();
        std::string name;
        bool memory = false;
        ParseTableName(name, memory, "Table name expected after FROM keyword, instead found '",
                       "Table name expected after FROM keyword, instead found '");
        TSourceTable* table = AddSourceTable(name, memory);
        if (SourceTables.size() > 1) SeveralTables = 1;
        std::string correlation;
        if (ParseCorrelationName(correlation, stopWords)) table->SetCorrelationName(correlation);
        CheckDuplicateCorrelationNames(table);
        ParseSourceTables();
        if (!t.TokenKindIs(',')) break;
        t.NextToken();
    }
}

// ---- WHERE and options -------------------------------------------------------------

void TDataQuery::ParseWhere() {
    TExpressionParser& t = Tokens();
    if (!t.TokenIs("WHERE")) return;
    t.NextToken();
    HasWhere = 1;
    ParseWhereExpression();
}

void TDataQuery::ParseNoJoinOptimize() {
    if (!Tokens().TokenIs("NOJOINOPTIMIZE")) return;
    Tokens().NextToken();
    NoJoinOptimize = 1;
}

void TDataQuery::ParseNoAutoInc() {
    if (!Tokens().TokenIs("NOAUTOINC")) return;
    Tokens().NextToken();
    NoAutoInc = 1;
}

int32_t TDataQuery::ParseIntegerValue(std::string_view prefix) {
    TExpressionParser& t = Tokens();
    int32_t value = 0;
    if (!t.TokenKindIs(tkInteger) || !TryStrToInt(t.GetTokenText(), value)) RaiseFound(prefix);
    t.NextToken();
    return value;
}

void TDataQuery::ParseCommitInterval() {
    TExpressionParser& t = Tokens();
    if (!t.TokenIs("COMMIT")) return;
    t.NextToken();
    bool any = false;
    if (t.TokenIs("INTERVAL")) {
        t.NextToken();
        CommitInterval = static_cast<uint32_t>(ParseIntegerValue("Integer value expected after INTERVAL keyword, instead found '"));
        CommitIntervalGiven = 1;
        any = true;
    }
    if (t.TokenIs("FLUSH")) {
        t.NextToken();
        CommitFlush = 1;
        any = true;
    }
    if (!any) RaiseFound("INTERVAL and/or FLUSH keywords expected after COMMIT keyword, instead found '");
}

// ---- Clause expressions ------------------------------------------------------------

TExpToken* TDataQuery::ParseClause(std::string_view context, uint8_t flags, std::string_view emptyMessage,
                                   std::string* text) {
    TExpressionParser& t = Tokens();
    TContextScope scope(t, context);
    t.MarkTokenStart();
    TExpToken* tree = t.ParseExpression(flags);
    if (!tree) Raise(emptyMessage);
    if (text) *text = t.GetRawTokenText().substr(0, 255);
    return tree;
}

void TDataQuery::ParseWhereExpression() {
    Where = ParseClause("WHERE clause", pfExtendedPredicates | pfParameters | pfSubSelects, "WHERE clause is empty",
                        nullptr);
}

void TDataQuery::ParseHavingExpression() {
    Having = ParseClause("HAVING clause", pfAggregates, "HAVING clause is empty", nullptr);
}

TExpToken* TDataQuery::ParseJoinExpression(std::string* text) {
    return ParseClause("JOIN clause", pfExtendedPredicates | pfParameters, "JOIN clause is empty", text);
}

// A column name, optionally correlation "." column. Names are read here rather than
// by the expression grammar so that a column may be called like a function (Count,
// Min, Year); a quoted string names the column too.
TExpToken* TDataQuery::ParseColumnName(std::string_view context, std::string_view emptyMessage, std::string* text) {
    TExpressionParser& t = Tokens();
    TContextScope scope(t, context);
    if (t.TokenKindIs(tkEnd)) Raise(emptyMessage);
    if (!t.IsSymbolToken()) t.RaiseError("Unknown or unexpected symbol '" + t.GetTokenText() + "' found in " + t.ContextName);
    t.MarkTokenStart();
    TExpressionPtr node(AllocExpToken());
    node->Kind = ekColumn;
    std::string name = t.GetTokenText();
    t.NextToken();
    if (t.TokenKindIs('.')) {
        t.NextToken();
        if (!t.IsSymbolToken()) {
            t.RaiseFound("Symbol or string expression expected after table correlation name separator '.', instead found '");
        }
        const std::string column = t.GetTokenText();
        t.NextToken();
        node->Text = name + "." + column;
        node->Name = column.substr(0, 255);
        std::string table;
        SplitFileNameExt(name, ".DAT", table);
        node->TableName = table.substr(0, 255);
    } else {
        node->Text = name;
        node->Name = name.substr(0, 255);
    }
    if (text) *text = t.GetRawTokenText().substr(0, 255);
    return node.release();
}

TExpToken* TDataQuery::ParseValue(std::string* text) {
    return ParseClause("value expression", pfParameters, "Value expression is empty", text);
}

}  // namespace kura
