#pragma once
// The recursive-descent grammar of the engine's expressions, shared by cursor
// filters and by every expression of an SQL statement. Each rule starts at the
// current token, consumes what it recognises, leaves the scanner on the first token
// that does not belong to it and returns a new tree of pool nodes. The grammar fixes
// the shape and the node fields; types and names are checked later.
//
// Loosest to tightest: OR, AND, NOT, one comparison (=, <>, <, <=, >, >=, LIKE,
// BETWEEN, IN, IS [NOT] NULL, with NOT before the keyword forms), + - ||, * /, a
// single sign, primaries (parentheses, "*", "?", numbers, "#" characters, strings,
// names, correlation.column, functions, aggregates, TRUE/FALSE/NULL/CURRENT_*).
//
// Permission flags (pf* of ExpCodes.h) are handed down every rule; a construct whose
// flag is missing raises. A filter parses with pfExtendedPredicates.
//
// Use for a filter text:
//     TExpressionParser parser(cursor);
//     parser.ErrorCode = KURA_INVALIDFILTER;
//     parser.ErrorTableName = tableName;
//     parser.ContextName = "filter expression";
//     parser.SetText(text);
//     parser.NextToken();
//     TExpToken* tree = parser.ParseExpression(pfExtendedPredicates);  // nullptr: empty
//     // the caller checks parser.TokenKindIs(tkEnd)
// An SQL parser sets ErrorCode KURA_SQLPARSE, passes the statement as the owner
// hooks (sub-selects and parameter marks), drives the scanner itself and calls
// ParseExpression, ParseConcat or ParsePrimary with the flags of each clause.
//
// Errors raise at once (the engine error of ExpLexer.h). Whatever a rule had built
// when it raised goes back to the pool; the caller owns only what a rule returns.
// Nesting (parentheses, function arguments) deeper than MaxExpressionNesting and
// trees deeper than MaxExpressionDepth (ExpTree.h) are refused with the parse error,
// so no later recursive walk of a parsed tree can exhaust the stack.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "engine/expr/ExpLexer.h"
#include "engine/expr/ExpTree.h"
#include "engine/files/SysConvert.h"

namespace kura {

class TExpressionParser;

// What an SQL statement does for the expression parser. A cursor filter passes none.
class TExpressionParserOwner {
public:
    virtual ~TExpressionParserOwner() = default;
    // The current token is the SELECT keyword of an "IN (SELECT ...)" operand. The
    // statement creates a query, keeps it in its query list, marks it as a sub-query
    // and parses the SELECT from this parser's scanner, leaving the token after it
    // current (the ")" that closes the IN list). The returned query is stored in
    // the sub-select node, which does not own it.
    virtual TDataQuery* ParseSubSelect(TExpressionParser& parser) = 0;
    // A parameter mark "?" was parsed; the statement keeps the node in the order the
    // marks appear. When the parse raises, the node is freed with the rest of the
    // unfinished tree, so the statement must drop the parameters of a failed parse.
    virtual void AddParameter(TExpToken* node) = 0;
};

class TExpressionParser : public TExpressionScanner {
public:
    // Parentheses and function calls inside one another deeper than this are refused.
    static constexpr int32_t MaxExpressionNesting = 256;

    explicit TExpressionParser(void* owner = nullptr, TExpressionParserOwner* statement = nullptr);

    // Hooks of an SQL statement; nullptr for a filter (sub-selects are then refused).
    TExpressionParserOwner* Statement = nullptr;
    // Local date and time for CURRENT_DATE, CURRENT_TIME and CURRENT_TIMESTAMP; the
    // system clock unless set (tests fix it).
    std::function<TDateTime()> Clock;

    // The entry point (the OR level). nullptr when the current token is the end of the
    // text: the text holds no expression.
    TExpToken* ParseExpression(uint8_t flags);
    // The levels below, for callers that need only part of the grammar.
    TExpToken* ParseAnd(uint8_t flags);
    TExpToken* ParseNot(uint8_t flags);
    TExpToken* ParseComparison(uint8_t flags);
    TExpToken* ParseConcat(uint8_t flags);
    TExpToken* ParseTerm(uint8_t flags);
    TExpToken* ParseUnary(uint8_t flags);
    TExpToken* ParsePrimary(uint8_t flags);

    // Reads an SQL data type at the current token into the target's DataType and
    // DataSubtype and its arguments 1 and 2 (length, precision and scale, BLOB size
    // and type). When optional and no type keyword is found, nothing changes.
    void ParseDataType(TExpToken* target, uint8_t flags, bool optional);

private:
    // Each rule returns its tree and the tree's depth in `depth`.
    using TRule = TExpressionPtr (TExpressionParser::*)(uint8_t flags, int32_t& depth);
    TExpToken* Run(TRule rule, uint8_t flags);
    TExpressionPtr Or(uint8_t flags, int32_t& depth);
    TExpressionPtr And(uint8_t flags, int32_t& depth);
    // A left-leaning chain "a KEYWORD b KEYWORD c" of one boolean operator over a level.
    TExpressionPtr BooleanChain(const char* keyword, uint8_t op, uint8_t flags, int32_t& depth,
                                TExpressionPtr (TExpressionParser::*operand)(uint8_t, int32_t&));
    TExpressionPtr Not(uint8_t flags, int32_t& depth);
    TExpressionPtr Comparison(uint8_t flags, int32_t& depth);
    TExpressionPtr Concat(uint8_t flags, int32_t& depth);
    TExpressionPtr Term(uint8_t flags, int32_t& depth);
    TExpressionPtr Unary(uint8_t flags, int32_t& depth);
    TExpressionPtr Primary(uint8_t flags, int32_t& depth);

    TExpressionPtr Predicate(TExpressionPtr value, int32_t& depth, uint8_t flags, std::string_view notText);
    TExpressionPtr ColumnOrCorrelation(std::string name, uint8_t flags, int32_t& depth);
    TExpressionPtr Number();
    TExpressionPtr CharacterConstant();
    TExpressionPtr StringConstant(const std::string& text);
    TExpressionPtr ClockConstant(std::string_view keyword, uint8_t type);
    TExpressionPtr Aggregate(uint8_t flags, int32_t& depth);
    // nullptr when the current identifier names no function.
    TExpressionPtr Function(uint8_t flags, int32_t& depth);
    TExpressionPtr FunctionArguments(const std::string& keyword, uint8_t code, uint8_t flags, int32_t& depth);
    void DataType(TExpToken* target, uint8_t flags, bool optional, int32_t& depth);

    // A new node with the text as written, the kind, code and type.
    static TExpressionPtr MakeNode(std::string text, uint8_t kind, uint8_t code, uint8_t dataType);
    // Raises when a tree of this depth is deeper than MaxExpressionDepth.
    void CheckDepth(int32_t depth) const;
    [[noreturn]] void RaiseNestedTooDeeply() const;
    // Requires the flag; raises message + " in " + ContextName otherwise.
    void Require(uint8_t flags, uint8_t flag, std::string_view message) const;
    // Requires a token kind and consumes it; raises prefix + token + "' in " + ContextName.
    void Expect(uint8_t kind, std::string_view prefix);
    // Requires a keyword and consumes it; raises as Expect does.
    void ExpectKeyword(std::string_view keyword, std::string_view prefix);

    int32_t FNesting = 0;
    friend class TNestingGuard;
};

}  // namespace kura
