#pragma once
// Parsing helpers for the expression tests: a warmed private node pool whose count
// shows leaked nodes, a readable dump of a tree, and parse runs that return either a
// tree or the engine error they raised.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpParser.h"
#include "engine/expr/ExpTokenPool.h"
#include "engine/expr/ExpTree.h"

namespace kura::exprtest {

// Installs a pool holding Warm nodes as the global pool. Outstanding() counts the
// nodes taken and not given back (pooled or freed) since the scope began: 0 after a
// workload that leaked nothing, however many nodes it used.
class PoolScope {
public:
    static constexpr int32_t Warm = 200;
    PoolScope() {
        FSaved = ExpTokenStack;
        ExpTokenStack = &FPool;
        std::vector<TExpToken*> nodes;
        for (int32_t i = 0; i < Warm; ++i) nodes.push_back(AllocExpToken());
        for (TExpToken*& node : nodes) ReleaseExpToken(node);
        FBaseline = TExpToken::LiveCount() - FPool.Count();
    }
    ~PoolScope() { ExpTokenStack = FSaved; }
    PoolScope(const PoolScope&) = delete;
    PoolScope& operator=(const PoolScope&) = delete;
    int32_t Count() { return FPool.Count(); }
    int64_t Outstanding() { return TExpToken::LiveCount() - FPool.Count() - FBaseline; }

private:
    TExpTokenStack FPool;
    TExpTokenStack* FSaved = nullptr;
    int64_t FBaseline = 0;
};

// Columns print as [table.]name, constants as their text (NULL as "null", a
// parameter as "?"), operators, functions and predicates as Text(children...).
inline std::string Dump(const TExpToken* node) {
    if (!node) return "-";
    switch (node->Kind) {
        case ekColumn:
            return node->TableName.empty() ? node->Name : node->TableName + "." + node->Name;
        case ekConstant:
            if (node->IsParameter) return "?";
            if (node->IsNull) return "null";
            if (node->DataType == 1) return "'" + std::string(reinterpret_cast<const char*>(node->Value.data())) + "'";
            return node->Text;
        case ekSubSelect:
            return "{" + node->Text + "}";
        default:
            break;
    }
    std::string s = node->Text + "(";
    std::vector<const TExpToken*> children;
    if (node->Kind == ekFunction || node->Kind == ekPredicate) {
        children.assign(node->Arguments.begin(), node->Arguments.end());
    } else {
        children = {node->Left, node->Right};
        if (!node->Right) children.pop_back();
    }
    for (size_t i = 0; i < children.size(); ++i) s += (i ? "," : "") + Dump(children[i]);
    return s + ")";
}

struct ParseOutcome {
    TExpToken* Tree = nullptr;  // owned by the caller
    TEngineErrorCode Code = 0;
    std::string Message;        // the message context of the raised error
    std::string Table;
    uint8_t LeftOver = tkEnd;   // token kind after the expression
};

// Parses a whole text as a filter (code 10051, "filter expression") or an SQL
// clause (code 11949, "SQL statement").
inline ParseOutcome ParseText(std::string_view text, uint8_t flags, bool sql = false,
                              TExpressionParserOwner* statement = nullptr) {
    TExpressionParser parser(nullptr, statement);
    parser.ErrorCode = sql ? KURA_SQLPARSE : KURA_INVALIDFILTER;
    parser.ErrorTableName = sql ? "" : "staff";
    parser.ContextName = sql ? "SQL statement" : "filter expression";
    parser.Clock = [] { return 45000.5; };
    ParseOutcome outcome;
    try {
        parser.SetText(text);
        parser.NextToken();
        outcome.Tree = parser.ParseExpression(flags);
        outcome.LeftOver = parser.TokenKind();
    } catch (const EKuraEngineError& e) {
        outcome.Code = e.ErrorCode();
        outcome.Message = e.ErrorContext(ctxMessage);
        outcome.Table = e.ErrorContext(ctxTable);
    }
    return outcome;
}

constexpr uint8_t AllFlags = pfAggregates | pfAllColumns | pfExtendedPredicates | pfParameters;

// Expressions of every node kind, function and predicate the grammar makes.
inline const char* const Corpus[] = {
    "a + b * c - -d / 2.5",
    "NOT a = 1 AND b <> 'x' OR c >= 3 AND d < = 4",
    "Name IS NOT NULL AND Memo IS NULL",
    "a LIKE 'S%' OR a NOT LIKE '_x'",
    "a BETWEEN 1 AND 10 OR a NOT BETWEEN #65 AND 'Z'",
    "a IN (1, 2, 3) AND b NOT IN ('x', 'y')",
    "UPPER(a) = LOWER(b) || 'c'",
    "SUBSTRING(a FROM 2 FOR 3) = SUBSTRING(b FROM 1)",
    "REPLACE('x' WITH 'y' IN a) = POS('c' IN a) + OCCURS('d' IN b)",
    "TRIM(LEADING '0' FROM a) = TRIM(TRAILING ' ' FROM b)",
    "EXTRACT(YEAR FROM d) + EXTRACT(SECOND FROM t) > LENGTH(a)",
    "CAST(a AS VARCHAR(20)) = CAST(b AS DECIMAL(10, 2))",
    "ABS(a) + ROUND(f TO 2) + ROUND(g) > 0",
    "IF(a = 1 THEN 'x' ELSE 'y') = IFNULL(b, 'z', b)",
    "COALESCE(a, b, 'c', NULL) = 'c'",
    "TEXTSEARCH('word' IN Memo) AND TEXTOCCURS('w' IN Memo) > 1",
    "LASTAUTOINC('staff') + IDENT_CURRENT('staff') > 0",
    "SUM(a) + COUNT(*) + MIN(b) + MAX(c) + AVG(d) + RUNSUM(e) > 1",
    "TRUE AND NOT FALSE AND CURRENT_DATE > '2001-01-01'",
    "CURRENT_TIME < CURRENT_TIMESTAMP",
    "[Last Name] = 'Smith' AND 2147483648 > 1",
    "'long text with a doubled '' quote and more than a few characters in it' = a",
};

// Parses a corpus text, which must parse.
inline TExpToken* Parse(const char* text) {
    ParseOutcome outcome = ParseText(text, AllFlags);
    EXPECT_EQ(outcome.Message, "") << text;
    return outcome.Tree;
}

}  // namespace kura::exprtest
