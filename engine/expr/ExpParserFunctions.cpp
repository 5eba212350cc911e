// The function, aggregate and constant keywords of the expression grammar, and the
// SQL data-type clause that CAST and the table definitions share.
#include <algorithm>
#include <array>
#include <utility>

#include "engine/expr/ExpParser.h"
#include "engine/files/FieldTypes.h"

namespace kura {

namespace {

// How a function's arguments are written.
enum class TShape : uint8_t {
    One,         // "(" operand ")"
    Substring,   // "(" operand FROM operand [FOR operand] ")"
    Replace,     // "(" operand WITH operand IN operand ")"
    InPair,      // "(" operand IN operand ")"
    Cast,        // "(" operand AS data type ")"
    Trim,        // "(" LEADING|TRAILING|BOTH primary FROM operand ")"
    Extract,     // "(" YEAR|...|SECOND FROM operand ")"
    Round,       // "(" operand [TO primary] ")"
    If,          // "(" condition THEN|, operand ELSE|, operand ")"
    Coalesce,    // "(" operand {"," operand} ")"
    TextSearch,  // "(" operand IN primary ")"
    Table,       // "(" primary ")"
};

struct TFunctionRule {
    const char* Keyword;
    uint8_t Code;
    uint8_t DataType;
    TShape Shape;
    bool SeveralArguments;  // the closing message speaks of "arguments"
};

constexpr TFunctionRule FunctionRules[] = {
    {"LOWER", fnLower, fldZSTRING, TShape::One, false},
    {"UPPER", fnUpper, fldZSTRING, TShape::One, false},
    {"LENGTH", fnLength, fldINT32, TShape::One, false},
    {"SUBSTRING", fnSubstring, fldZSTRING, TShape::Substring, true},
    {"REPLACE", fnReplace, fldZSTRING, TShape::Replace, true},
    {"POS", fnPos, fldINT32, TShape::InPair, true},
    {"OCCURS", fnOccurs, fldINT32, TShape::InPair, true},
    {"CAST", fnCast, fldUNKNOWN, TShape::Cast, true},
    {"TRIM", fnTrimBoth, fldZSTRING, TShape::Trim, true},
    {"EXTRACT", fnExtractYear, fldINT32, TShape::Extract, true},
    {"ABS", fnAbs, fldUNKNOWN, TShape::One, false},
    {"ROUND", fnRound, fldUNKNOWN, TShape::Round, true},
    {"IF", fnIf, fldUNKNOWN, TShape::If, true},
    {"IFNULL", fnIfNull, fldUNKNOWN, TShape::If, true},
    {"COALESCE", fnCoalesce, fldUNKNOWN, TShape::Coalesce, true},
    {"TEXTSEARCH", fnTextSearch, fldBOOL, TShape::TextSearch, false},
    {"TEXTOCCURS", fnTextOccurs, fldUINT16, TShape::TextSearch, false},
    {"LASTAUTOINC", fnLastAutoInc, fldINT32, TShape::Table, false},
    {"IDENT_CURRENT", fnIdentCurrent, fldINT32, TShape::Table, false},
};

constexpr std::pair<const char*, uint8_t> ExtractParts[] = {
    {"YEAR", fnExtractYear},     {"MONTH", fnExtractMonth},         {"WEEK", fnExtractWeek},
    {"DAY", fnExtractDay},       {"DAYOFWEEK", fnExtractDayOfWeek}, {"DAYOFYEAR", fnExtractDayOfYear},
    {"HOUR", fnExtractHour},     {"MINUTE", fnExtractMinute},       {"SECOND", fnExtractSecond},
};

struct TDataTypeRule {
    const char* Keyword;
    uint8_t DataType;
    uint8_t DataSubtype;
    enum : uint8_t { None, Optional, Required, Blob } Arguments;
};

constexpr TDataTypeRule DataTypeRules[] = {
    {"SMALLINT", fldINT16, 0, TDataTypeRule::None},
    {"WORD", fldUINT16, 0, TDataTypeRule::None},
    {"INTEGER", fldINT32, 0, TDataTypeRule::None},
    {"INT", fldINT32, 0, TDataTypeRule::None},
    {"LARGEINT", fldINT64, 0, TDataTypeRule::None},
    {"AUTOINC", fldINT32, fldstAUTOINC, TDataTypeRule::None},
    {"DECIMAL", fldBCD, 0, TDataTypeRule::Optional},
    {"NUMERIC", fldBCD, 0, TDataTypeRule::Optional},
    {"FLOAT", fldFLOAT, 0, TDataTypeRule::Optional},
    {"MONEY", fldFLOAT, fldstMONEY, TDataTypeRule::None},
    {"CHARACTER", fldZSTRING, 0, TDataTypeRule::Required},
    {"CHAR", fldZSTRING, 0, TDataTypeRule::Required},
    {"VARCHAR", fldZSTRING, 0, TDataTypeRule::Required},
    {"BYTES", fldBYTES, 0, TDataTypeRule::Required},
    {"VARBYTES", fldBYTES, 0, TDataTypeRule::Required},
    {"BINARY", fldBYTES, 0, TDataTypeRule::Required},
    {"VARBINARY", fldBYTES, 0, TDataTypeRule::Required},
    {"DATE", fldDATE, 0, TDataTypeRule::None},
    {"TIME", fldTIME, 0, TDataTypeRule::None},
    {"TIMESTAMP", fldTIMESTAMP, 0, TDataTypeRule::None},
    {"BOOLEAN", fldBOOL, 0, TDataTypeRule::None},
    {"BOOL", fldBOOL, 0, TDataTypeRule::None},
    {"BIT", fldBOOL, 0, TDataTypeRule::None},
    {"BLOB", fldBLOB, fldstBINARY, TDataTypeRule::Blob},
    {"LONGVARBINARY", fldBLOB, fldstBINARY, TDataTypeRule::None},
    {"LONGVARCHAR", fldBLOB, fldstMEMO, TDataTypeRule::None},
    {"MEMO", fldBLOB, fldstMEMO, TDataTypeRule::None},
    {"GRAPHIC", fldBLOB, fldstGRAPHIC, TDataTypeRule::None},
};

}  // namespace

TExpressionPtr TExpressionParser::Aggregate(uint8_t flags, int32_t& depth) {
    Require(flags, pfAggregates, "Aggregate functions are not allowed");
    const std::string name = GetTokenText();
    NextToken();
    if (FTokenKind != '(') {
        RaiseFound("Left parentheses expected after aggregate function '" + name + "', instead found '");
    }
    NextToken();
    TExpressionPtr operand = Concat(flags, depth);
    if (FTokenKind != ')') {
        RaiseFound("Right parentheses expected after aggregate " + name + " function argument, instead found '");
    }
    NextToken();
    TExpressionPtr node = MakeNode(name, ekFunction, AggregateCode(name), fldUNKNOWN);
    CheckDepth(++depth);
    node->Arguments.push_back(operand.release());
    return node;
}

TExpressionPtr TExpressionParser::Function(uint8_t flags, int32_t& depth) {
    depth = 1;
    if (AggregateCode(GetTokenText()) != 0) return Aggregate(flags, depth);
    for (const TFunctionRule& rule : FunctionRules) {
        if (TokenIs(rule.Keyword)) {
            const std::string written = GetTokenText();
            NextToken();
            if (FTokenKind != '(') {
                RaiseFound(std::string("Left parentheses expected after ") + rule.Keyword + " keyword, instead found '");
            }
            NextToken();
            TExpressionPtr node = FunctionArguments(rule.Keyword, rule.Code, flags, depth);
            node->Text = written;
            if (rule.Shape != TShape::Cast && rule.Shape != TShape::Round) node->DataType = rule.DataType;
            if (FTokenKind != ')') {
                if (rule.Shape == TShape::Coalesce) {
                    RaiseFound("Expected right parentheses after COALESCE expression arguments, instead found '");
                }
                RaiseFound(std::string("Right parentheses expected after ") + rule.Keyword +
                           (rule.SeveralArguments ? " function arguments, instead found '"
                                                  : " function argument, instead found '"));
            }
            NextToken();
            CheckDepth(++depth);
            return node;
        }
    }
    if (TokenIs("TRUE") || TokenIs("FALSE")) {
        const bool truth = TokenIs("TRUE");
        TExpressionPtr node = MakeNode(GetTokenText(), ekConstant, 0, fldBOOL);
        node->SetDataSize(2);
        node->Value[0] = truth ? 1 : 0;
        node->Value[1] = 0;
        NextToken();
        return node;
    }
    if (TokenIs("NULL")) {
        TExpressionPtr node = MakeNode(GetTokenText(), ekConstant, 0, fldUNKNOWN);
        node->IsNull = 1;
        NextToken();
        return node;
    }
    if (TokenIs("CURRENT_DATE")) return ClockConstant("CURRENT_DATE", fldDATE);
    if (TokenIs("CURRENT_TIME")) return ClockConstant("CURRENT_TIME", fldTIME);
    if (TokenIs("CURRENT_TIMESTAMP")) return ClockConstant("CURRENT_TIMESTAMP", fldTIMESTAMP);
    return nullptr;
}

// The arguments of one function from after its "(" up to (not including) its ")".
TExpressionPtr TExpressionParser::FunctionArguments(const std::string& keyword, uint8_t code, uint8_t flags,
                                                    int32_t& depth) {
    TExpressionPtr node = MakeNode(keyword, ekFunction, code, fldUNKNOWN);
    depth = 0;
    auto add = [&](int32_t slot, TExpressionPtr argument, int32_t argumentDepth) {
        depth = std::max(depth, argumentDepth);
        node->SetArgument(slot, argument.release());
    };
    auto operand = [&](int32_t slot) {
        int32_t d = 0;
        add(slot, Concat(flags, d), d);
    };
    auto primary = [&](int32_t slot) {
        int32_t d = 0;
        add(slot, Primary(flags, d), d);
    };
    auto found = [&](const std::string& prefix) { RaiseFound(prefix + ", instead found '"); };

    switch (code) {
        case fnLower:
        case fnUpper:
        case fnLength:
        case fnAbs:
            operand(0);
            break;
        case fnSubstring:
            operand(0);
            if (!TokenIs("FROM")) found("FROM keyword expected after first SUBSTRING function argument");
            NextToken();
            operand(1);
            if (TokenIs("FOR")) {
                NextToken();
                operand(2);
            }
            break;
        case fnReplace:
            operand(0);
            if (!TokenIs("WITH")) found("WITH keyword expected after first REPLACE function argument");
            NextToken();
            operand(1);
            if (!TokenIs("IN")) found("IN keyword expected after second REPLACE function argument");
            NextToken();
            operand(2);
            break;
        case fnPos:
        case fnOccurs:
        case fnTextSearch:
        case fnTextOccurs: {
            operand(0);
            if (!TokenIs("IN")) found("IN keyword expected after first " + keyword + " function argument");
            NextToken();
            if (code == fnPos || code == fnOccurs) {
                operand(1);
            } else {
                primary(1);
            }
            break;
        }
        case fnCast: {
            operand(0);
            if (!TokenIs("AS")) found("AS keyword expected after first CAST function argument");
            NextToken();
            int32_t d = 0;
            DataType(node.get(), flags, false, d);
            depth = std::max(depth, d);
            break;
        }
        case fnTrimBoth: {
            if (TokenIs("LEADING")) {
                node->Code = fnTrimLeading;
            } else if (TokenIs("TRAILING")) {
                node->Code = fnTrimTrailing;
            } else if (!TokenIs("BOTH")) {
                found("LEADING, TRAILING, or BOTH keyword expected after TRIM keyword");
            }
            NextToken();
            primary(0);
            if (!TokenIs("FROM")) found("FROM keyword expected after second TRIM function argument");
            NextToken();
            operand(1);
            break;
        }
        case fnExtractYear: {
            bool known = false;
            for (const auto& [part, partCode] : ExtractParts) {
                if (TokenIs(part)) {
                    node->Code = partCode;
                    known = true;
                    break;
                }
            }
            if (!known) {
                found("YEAR, MONTH, WEEK, DAY, DAYOFWEEK, DAYOFYEAR, HOUR, MINUTE, or SECOND keyword expected after "
                      "EXTRACT keyword");
            }
            NextToken();
            if (!TokenIs("FROM")) found("FROM keyword expected after second EXTRACT function argument");
            NextToken();
            operand(0);
            break;
        }
        case fnRound: {
            operand(0);
            const TExpToken* value = node->GetArgument(0);
            node->DataType = value->DataType;
            node->DataSize = value->DataSize;
            node->Scale = value->Scale;
            if (TokenIs("TO")) {
                NextToken();
                primary(1);
            }
            break;
        }
        case fnIf:
        case fnIfNull: {
            int32_t d = 0;
            add(0, Or(code == fnIf ? static_cast<uint8_t>(flags | pfExtendedPredicates) : flags, d), d);
            if (!TokenIs("THEN") && FTokenKind != ',') {
                found("THEN keyword or comma expected after first " + keyword + " function argument");
            }
            NextToken();
            operand(1);
            if (!TokenIs("ELSE") && FTokenKind != ',') {
                found("ELSE keyword or comma expected after second " + keyword + " function argument");
            }
            NextToken();
            operand(2);
            break;
        }
        case fnCoalesce: {
            int32_t slot = 0;
            operand(slot++);
            while (FTokenKind == ',') {
                NextToken();
                operand(slot++);
            }
            break;
        }
        case fnLastAutoInc:
        case fnIdentCurrent:
            primary(0);
            break;
        default:
            break;
    }
    return node;
}

void TExpressionParser::ParseDataType(TExpToken* target, uint8_t flags, bool optional) {
    if (!target) return;
    int32_t depth = 0;
    DataType(target, flags, optional, depth);
}

void TExpressionParser::DataType(TExpToken* target, uint8_t flags, bool optional, int32_t& depth) {
    const TDataTypeRule* rule = nullptr;
    for (const TDataTypeRule& candidate : DataTypeRules) {
        if (TokenIs(candidate.Keyword)) {
            rule = &candidate;
            break;
        }
    }
    if (!rule) {
        if (!optional) RaiseFound("SQL data type keyword expected, instead found '");
        return;
    }
    const std::string written = GetTokenText();
    NextToken();
    target->DataType = rule->DataType;
    target->DataSubtype = rule->DataSubtype;
    auto argument = [&](int32_t slot) {
        int32_t d = 0;
        TExpressionPtr value = Primary(flags, d);
        depth = std::max(depth, d);
        TExpToken* old = target->GetArgument(slot);
        FreeExpression(old);
        target->SetArgument(slot, value.release());
    };
    switch (rule->Arguments) {
        case TDataTypeRule::None:
            break;
        case TDataTypeRule::Optional: {
            if (FTokenKind != '(') break;
            const std::string name = rule->DataType == fldFLOAT ? std::string("FLOAT") : written;
            NextToken();
            argument(1);
            if (FTokenKind == ',') {
                NextToken();
                argument(2);
                if (FTokenKind != ')') {
                    RaiseFound("Right parentheses expected after " + name + " data type arguments, instead found '");
                }
            } else if (FTokenKind != ')') {
                RaiseFound("Comma expected after first " + name + " argument, instead found '");
            }
            NextToken();
            break;
        }
        case TDataTypeRule::Required:
            if (FTokenKind != '(') RaiseFound("Left parentheses expected after " + written + " data type, instead found '");
            NextToken();
            argument(1);
            if (FTokenKind != ')') {
                RaiseFound("Right parentheses expected after " + written + " data type arguments, instead found '");
            }
            NextToken();
            break;
        case TDataTypeRule::Blob:
            if (FTokenKind != '(') break;
            target->DataSubtype = 0;
            NextToken();
            argument(1);
            if (FTokenKind != ',') RaiseFound("Comma expected after first BLOB argument, instead found '");
            NextToken();
            argument(2);
            if (FTokenKind != ')') RaiseFound("Right parentheses expected after BLOB data type arguments, instead found '");
            NextToken();
            break;
    }
}

}  // namespace kura
