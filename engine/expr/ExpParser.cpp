#include "engine/expr/ExpParser.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

#include "engine/files/FieldConversions.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/Routines.h"

namespace kura {

namespace {

TDateTime LocalClock() {
    const std::time_t seconds = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&seconds, &local)) return 0;
    TDateTime date = 0;
    TDateTime time = 0;
    if (!TryEncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, date)) return 0;
    if (!TryEncodeTime(local.tm_hour, local.tm_min, std::min(local.tm_sec, 59), 0, time)) return date;
    return ComposeDateTime(date, time);
}

template <typename T>
void PutValue(TExpToken& node, T value, int32_t size) {
    node.SetDataSize(size);
    std::memcpy(node.Value.data(), &value, sizeof(T));
}

std::string ShortString(std::string_view s) { return std::string(s.substr(0, 255)); }

}  // namespace

// Counts one level of rule-in-rule recursion for as long as it lives.
class TNestingGuard {
public:
    explicit TNestingGuard(TExpressionParser& parser) : FParser(parser) {
        if (++FParser.FNesting > TExpressionParser::MaxExpressionNesting) {
            --FParser.FNesting;
            FParser.RaiseNestedTooDeeply();
        }
    }
    ~TNestingGuard() { --FParser.FNesting; }
    TNestingGuard(const TNestingGuard&) = delete;
    TNestingGuard& operator=(const TNestingGuard&) = delete;

private:
    TExpressionParser& FParser;
};

TExpressionParser::TExpressionParser(void* owner, TExpressionParserOwner* statement)
    : TExpressionScanner(owner), Statement(statement) {}

// ---- Public rules -------------------------------------------------------------

TExpToken* TExpressionParser::ParseExpression(uint8_t flags) {
    if (FTokenKind == tkEnd) return nullptr;
    return Run(&TExpressionParser::Or, flags);
}

TExpToken* TExpressionParser::Run(TRule rule, uint8_t flags) {
    int32_t depth = 0;
    return (this->*rule)(flags, depth).release();
}

TExpToken* TExpressionParser::ParseAnd(uint8_t flags) { return Run(&TExpressionParser::And, flags); }
TExpToken* TExpressionParser::ParseNot(uint8_t flags) { return Run(&TExpressionParser::Not, flags); }
TExpToken* TExpressionParser::ParseComparison(uint8_t flags) { return Run(&TExpressionParser::Comparison, flags); }
TExpToken* TExpressionParser::ParseConcat(uint8_t flags) { return Run(&TExpressionParser::Concat, flags); }
TExpToken* TExpressionParser::ParseTerm(uint8_t flags) { return Run(&TExpressionParser::Term, flags); }
TExpToken* TExpressionParser::ParseUnary(uint8_t flags) { return Run(&TExpressionParser::Unary, flags); }
TExpToken* TExpressionParser::ParsePrimary(uint8_t flags) { return Run(&TExpressionParser::Primary, flags); }

// ---- Helpers ------------------------------------------------------------------

TExpressionPtr TExpressionParser::MakeNode(std::string text, uint8_t kind, uint8_t code, uint8_t dataType) {
    TExpressionPtr node(AllocExpToken());
    node->Text = std::move(text);
    node->Kind = kind;
    node->Code = code;
    node->DataType = dataType;
    return node;
}

void TExpressionParser::CheckDepth(int32_t depth) const {
    if (depth > MaxExpressionDepth) RaiseNestedTooDeeply();
}

void TExpressionParser::RaiseNestedTooDeeply() const {
    RaiseIn("Expression nested more deeply than " + std::to_string(MaxExpressionNesting) +
            " levels or longer than " + std::to_string(MaxExpressionDepth) + " operators");
}

void TExpressionParser::Require(uint8_t flags, uint8_t flag, std::string_view message) const {
    if ((flags & flag) == 0) RaiseIn(message);
}

void TExpressionParser::Expect(uint8_t kind, std::string_view prefix) {
    if (FTokenKind != kind) RaiseFound(prefix);
    NextToken();
}

void TExpressionParser::ExpectKeyword(std::string_view keyword, std::string_view prefix) {
    if (!TokenIs(keyword)) RaiseFound(prefix);
    NextToken();
}

// ---- Levels -------------------------------------------------------------------

TExpressionPtr TExpressionParser::BooleanChain(const char* keyword, uint8_t op, uint8_t flags, int32_t& depth,
                                               TExpressionPtr (TExpressionParser::*operand)(uint8_t, int32_t&)) {
    TExpressionPtr left = (this->*operand)(flags, depth);
    while (TokenIs(keyword)) {
        NextToken();
        int32_t rightDepth = 0;
        TExpressionPtr right = (this->*operand)(flags, rightDepth);
        TExpressionPtr node = MakeNode(keyword, ekBinary, op, fldBOOL);
        depth = 1 + std::max(depth, rightDepth);
        CheckDepth(depth);
        node->Left = left.release();
        node->Right = right.release();
        left = std::move(node);
    }
    return left;
}

TExpressionPtr TExpressionParser::Or(uint8_t flags, int32_t& depth) {
    return BooleanChain("OR", opOr, flags, depth, &TExpressionParser::And);
}

TExpressionPtr TExpressionParser::And(uint8_t flags, int32_t& depth) {
    return BooleanChain("AND", opAnd, flags, depth, &TExpressionParser::Not);
}

TExpressionPtr TExpressionParser::Not(uint8_t flags, int32_t& depth) {
    if (!TokenIs("NOT")) return Comparison(flags, depth);
    NextToken();
    TExpressionPtr operand = Comparison(flags, depth);
    TExpressionPtr node = MakeNode("NOT", ekUnary, opNot, fldBOOL);
    CheckDepth(++depth);
    node->Left = operand.release();
    return node;
}

TExpressionPtr TExpressionParser::Comparison(uint8_t flags, int32_t& depth) {
    TExpressionPtr left = Concat(flags, depth);
    std::string text;
    uint8_t code = 0;
    if (FTokenKind == '=') {
        text = "=";
        code = opEqual;
        NextToken();
    } else if (FTokenKind == '<') {
        NextToken();
        if (FTokenKind == '>') {
            text = "< >";
            code = opNotEqual;
            NextToken();
        } else if (FTokenKind == '=') {
            text = "< =";
            code = opLessEqual;
            NextToken();
        } else {
            text = "<";
            code = opLess;
        }
    } else if (FTokenKind == '>') {
        NextToken();
        if (FTokenKind == '=') {
            text = "> =";
            code = opGreaterEqual;
            NextToken();
        } else {
            text = ">";
            code = opGreater;
        }
    } else if (TokenIs("LIKE") || TokenIs("BETWEEN") || TokenIs("IN") || TokenIs("IS") || TokenIs("NOT")) {
        Require(flags, pfExtendedPredicates, "Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed");
        return Predicate(std::move(left), depth, flags, {});
    } else {
        return left;
    }
    int32_t rightDepth = 0;
    TExpressionPtr right = Concat(flags, rightDepth);
    TExpressionPtr node = MakeNode(std::move(text), ekBinary, code, fldBOOL);
    depth = 1 + std::max(depth, rightDepth);
    CheckDepth(depth);
    node->Left = left.release();
    node->Right = right.release();
    return node;
}

TExpressionPtr TExpressionParser::Predicate(TExpressionPtr value, int32_t& depth, uint8_t flags,
                                            std::string_view notText) {
    const bool negated = !notText.empty();
    const std::string keyword = GetTokenText();
    if (!negated && TokenIs("NOT")) {
        NextToken();
        if (!TokenIs("LIKE") && !TokenIs("BETWEEN") && !TokenIs("IN")) RaiseFound("Unknown or unexpected symbol '");
        return Predicate(std::move(value), depth, flags, keyword);
    }
    const std::string text = negated ? std::string(notText) + " " + keyword : keyword;
    if (!negated && TokenIs("IS")) {
        NextToken();
        std::string nullText;
        uint8_t code = opEqual;
        if (TokenIs("NOT")) {
            nullText = GetTokenText() + " ";
            code = opNotEqual;
            NextToken();
        }
        if (!TokenIs("NULL")) {
            RaiseError("Unknown or unexpected symbol '" + GetTokenText() + "' found in " + ContextName);
        }
        nullText += GetTokenText();
        TExpressionPtr nullConstant = MakeNode(GetTokenText(), ekConstant, 0, fldUNKNOWN);
        nullConstant->IsNull = 1;
        NextToken();
        TExpressionPtr node = MakeNode(text + " " + nullText, ekBinary, code, fldBOOL);
        CheckDepth(++depth);
        node->Left = value.release();
        node->Right = nullConstant.release();
        return node;
    }

    TExpressionPtr node = MakeNode(text, ekPredicate, 0, fldBOOL);
    node->Arguments.push_back(value.release());
    auto addOperand = [&](TExpressionPtr operand, int32_t operandDepth) {
        depth = std::max(depth, operandDepth);
        node->Arguments.push_back(operand.release());
    };
    int32_t operandDepth = 0;
    if (TokenIs("LIKE")) {
        node->Code = negated ? prNotLike : prLike;
        NextToken();
        addOperand(Concat(flags, operandDepth), operandDepth);
    } else if (TokenIs("BETWEEN")) {
        node->Code = negated ? prNotBetween : prBetween;
        NextToken();
        addOperand(Concat(flags, operandDepth), operandDepth);
        ExpectKeyword("AND", negated ? "Expected AND operator in NOT BETWEEN operator, instead found '"
                                     : "Expected AND operator in BETWEEN operator, instead found '");
        addOperand(Concat(flags, operandDepth), operandDepth);
    } else {  // IN
        NextToken();
        Expect('(', negated ? "Expected left parentheses for NOT IN operator, instead found '"
                            : "Expected left parentheses for IN operator, instead found '");
        if (TokenIs("SELECT")) {
            node->Code = negated ? prNotInSelect : prInSelect;
            Require(Statement ? flags : 0, pfSubSelects, "Sub-select queries are not allowed");
            TExpressionPtr subSelect = MakeNode(GetTokenText(), ekSubSelect, 0, fldUNKNOWN);
            TExpToken* raw = subSelect.get();
            node->Arguments.push_back(subSelect.release());
            {
                TNestingGuard nesting(*this);
                raw->Query = Statement->ParseSubSelect(*this);
            }
            Expect(')', negated ? "Expected right parentheses for NOT IN operator, instead found '"
                                : "Expected right parentheses for IN operator, instead found '");
        } else {
            node->Code = negated ? prNotIn : prIn;
            addOperand(Concat(flags, operandDepth), operandDepth);
            while (FTokenKind == ',') {
                NextToken();
                addOperand(Concat(flags, operandDepth), operandDepth);
            }
            Expect(')', negated ? "Expected right parentheses after NOT IN operator, instead found '"
                                : "Expected right parentheses after IN operator, instead found '");
        }
    }
    CheckDepth(++depth);
    return node;
}

TExpressionPtr TExpressionParser::Concat(uint8_t flags, int32_t& depth) {
    TExpressionPtr left = Term(flags, depth);
    for (;;) {
        std::string text;
        uint8_t code = 0;
        if (FTokenKind == '+') {
            text = "+";
            code = opAdd;
        } else if (FTokenKind == '-') {
            text = "-";
            code = opSubtract;
        } else if (FTokenKind == '|') {
            NextToken();
            if (FTokenKind != '|') {
                RaiseFound("Second concatenation symbol '|' expected after first concatentation symbol, instead found '");
            }
            text = "||";
            code = opAdd;
        } else {
            return left;
        }
        NextToken();
        int32_t rightDepth = 0;
        TExpressionPtr right = Term(flags, rightDepth);
        TExpressionPtr node = MakeNode(std::move(text), ekBinary, code, left->DataType);
        depth = 1 + std::max(depth, rightDepth);
        CheckDepth(depth);
        node->Left = left.release();
        node->Right = right.release();
        left = std::move(node);
    }
}

TExpressionPtr TExpressionParser::Term(uint8_t flags, int32_t& depth) {
    TExpressionPtr left = Unary(flags, depth);
    while (FTokenKind == '*' || FTokenKind == '/') {
        const bool multiply = FTokenKind == '*';
        NextToken();
        int32_t rightDepth = 0;
        TExpressionPtr right = Unary(flags, rightDepth);
        TExpressionPtr node =
            MakeNode(multiply ? "*" : "/", ekBinary, multiply ? opMultiply : opDivide, left->DataType);
        depth = 1 + std::max(depth, rightDepth);
        CheckDepth(depth);
        node->Left = left.release();
        node->Right = right.release();
        left = std::move(node);
    }
    return left;
}

TExpressionPtr TExpressionParser::Unary(uint8_t flags, int32_t& depth) {
    if (FTokenKind != '+' && FTokenKind != '-') return Primary(flags, depth);
    const bool minus = FTokenKind == '-';
    NextToken();
    TExpressionPtr operand = Primary(flags, depth);
    TExpressionPtr node = MakeNode(minus ? "-" : "+", ekUnary, minus ? opNegate : opPlus, operand->DataType);
    CheckDepth(++depth);
    node->Left = operand.release();
    return node;
}

// ---- Primaries ----------------------------------------------------------------

TExpressionPtr TExpressionParser::Primary(uint8_t flags, int32_t& depth) {
    TNestingGuard nesting(*this);
    depth = 1;
    switch (FTokenKind) {
        case '(': {
            NextToken();
            TExpressionPtr tree = Or(flags, depth);
            Expect(')', "Right parentheses expected, instead found '");
            return tree;
        }
        case '*': {
            Require(flags, pfAllColumns, "* (all columns) symbol is not allowed");
            NextToken();
            TExpressionPtr node = MakeNode("*", ekColumn, 0, fldUNKNOWN);
            node->Name = "*";
            return node;
        }
        case '?': {
            Require(flags, pfParameters, "Parameters are not allowed");
            NextToken();
            TExpressionPtr node = MakeNode("?", ekConstant, 0, fldUNKNOWN);
            node->IsParameter = 1;
            if (Statement) Statement->AddParameter(node.get());
            return node;
        }
        case tkInteger:
        case tkFloat:
            return Number();
        case tkCharConstant:
            return CharacterConstant();
        case tkSingleQuoted:
        case tkDoubleQuoted:
        case tkBracketName: {
            const bool quoted = FTokenKind != tkBracketName;
            std::string text = GetTokenText();
            NextToken();
            if (FTokenKind == '.' || !quoted) return ColumnOrCorrelation(std::move(text), flags, depth);
            return StringConstant(text);
        }
        case tkIdentifier: {
            if (TExpressionPtr function = Function(flags, depth)) return function;
            std::string name = GetTokenText();
            NextToken();
            if (FTokenKind == '(') RaiseError("Unknown or unexpected function '" + name + "' found in " + ContextName);
            return ColumnOrCorrelation(std::move(name), flags, depth);
        }
        default:
            RaiseError("Unknown or unexpected symbol '" + GetTokenText() + "' found in " + ContextName);
    }
}

TExpressionPtr TExpressionParser::ColumnOrCorrelation(std::string name, uint8_t flags, int32_t& depth) {
    depth = 1;
    if (FTokenKind != '.') {
        TExpressionPtr node = MakeNode(name, ekColumn, 0, fldUNKNOWN);
        node->Name = ShortString(name);
        return node;
    }
    NextToken();
    std::string column;
    if (IsSymbolToken()) {
        column = GetTokenText();
    } else if (FTokenKind == '*') {
        Require(flags, pfAllColumns, "* (all columns) symbol is not allowed");
        column = "*";
    } else {
        RaiseFound("Symbol or string expression expected after table correlation name separator '.', instead found '");
    }
    NextToken();
    TExpressionPtr node = MakeNode(name + "." + column, ekColumn, 0, fldUNKNOWN);
    node->Name = ShortString(column);
    // A correlation written as a path names the table by its file name.
    std::string table = ExtractFileName(name);
    if (table.size() >= 4 && SameNameText(std::string_view(table).substr(table.size() - 4), ".DAT")) {
        table.resize(table.size() - 4);
    }
    node->TableName = ShortString(table);
    return node;
}

TExpressionPtr TExpressionParser::Number() {
    const std::string text = GetTokenText();
    const bool integer = FTokenKind == tkInteger;
    TExpressionPtr node = MakeNode(text, ekConstant, 0, fldUNKNOWN);
    int32_t value32 = 0;
    int64_t value64 = 0;
    long double floating = 0;
    if (integer && TryStrToInt(text, value32)) {
        node->DataType = fldINT32;
        PutValue(*node, value32, 4);
    } else if (integer && TryStrToInt64(text, value64)) {
        node->DataType = fldINT64;
        PutValue(*node, value64, 8);
    } else if (TryStrToFloat(text, '.', floating) && std::isfinite(floating) &&
               std::fabs(floating) <= static_cast<long double>(std::numeric_limits<double>::max())) {
        node->DataType = fldFLOAT;
        PutValue(*node, static_cast<double>(floating), 8);
    } else {
        RaiseError("Constant '" + text + "' is not a valid number  in " + ContextName);
    }
    NextToken();
    return node;
}

TExpressionPtr TExpressionParser::CharacterConstant() {
    const std::string token = GetTokenText();
    const std::string digits = token.substr(1);
    int32_t code = -1;
    if (!TryStrToInt(digits, code) || code < 0 || code > 255) {
        RaiseIn("Character constants (#) must be within the range of 0 to 255");
    }
    TExpressionPtr node = MakeNode(digits, ekConstant, 0, fldZSTRING);
    node->SetDataSize(2);
    node->Value[0] = static_cast<uint8_t>(code);
    node->Value[1] = 0;
    NextToken();
    return node;
}

TExpressionPtr TExpressionParser::StringConstant(const std::string& text) {
    TExpressionPtr node = MakeNode(text, ekConstant, 0, fldZSTRING);
    if (text.empty()) {
        node->IsNull = 1;
        node->SetDataSize(1);
        return node;
    }
    node->SetDataSize(static_cast<int32_t>(std::min<size_t>(text.size(), std::numeric_limits<int32_t>::max() - 1) + 1));
    std::memcpy(node->Value.data(), text.data(), static_cast<size_t>(node->DataSize) - 1);
    node->Value[static_cast<size_t>(node->DataSize) - 1] = 0;
    return node;
}

TExpressionPtr TExpressionParser::ClockConstant(std::string_view keyword, uint8_t type) {
    TExpressionPtr node = MakeNode(GetTokenText(), ekConstant, 0, type);
    NextToken();
    if (FTokenKind == '(') {
        NextToken();
        Expect(')', "Right parentheses expected after first " + std::string(keyword) +
                        " function parentheses, instead found '");
    }
    const TDateTime now = Clock ? Clock() : LocalClock();
    int32_t days = 0;
    int32_t msec = 0;
    if (!SplitDateTime(now, days, msec)) days = msec = 0;
    const int32_t dayNumber = days + DateDelta;
    if (type == fldDATE) {
        PutValue(*node, dayNumber, 4);
    } else if (type == fldTIME) {
        PutValue(*node, msec, 4);
    } else {
        PutValue(*node, static_cast<double>(dayNumber) * static_cast<double>(MSecsPerDay) + msec, 8);
    }
    return node;
}

}  // namespace kura
