// Type checking of functions, aggregates and extended predicates; the argument
// lists of CAST, IF, IFNULL and COALESCE are TypeCheckArguments.cpp.
#include <algorithm>
#include <cctype>
#include <string>

#include "engine/expr/ExpCodes.h"
#include "engine/expr/ExpressionOwner.h"
#include "engine/expr/Operators.h"
#include "engine/expr/TypeCheckInternal.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/FieldConversions.h"
#include "engine/files/Routines.h"

namespace kura::typecheck {

using namespace exv;

namespace {

// The type of a text function's result: a memo stays a memo, else a string.
void SetTextType(TExpToken* node, const TExpToken* from) {
    const bool memo = from->DataType == fldBLOB;
    SetType(node, memo ? fldBLOB : fldZSTRING, memo ? fldstMEMO : fldstNONE, from->DataSize);
}

// A text, or the NULL constant, which stands for a missing text.
bool IsTextOrNull(const TExpToken& node) { return IsText(node) || node.DataType == fldUNKNOWN; }

bool IsStringType(const TExpToken* node) { return node && node->DataType == fldZSTRING; }

std::string Upper(std::string text) {
    for (char& ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return text;
}

}  // namespace


TExpToken* TTypeChecker::CheckArgument(TExpToken* node, int32_t index, bool strings) {
    TExpToken* arg = node->GetArgument(index);
    if (!arg) Fail("Unknown or unexpected symbol ')' found");
    Check(node, arg, strings);
    return arg;
}

void TTypeChecker::CheckTextFunction(TExpToken* node, bool strings) {
    const uint8_t code = node->Code;
    const auto need = [&](int32_t index, bool sameStrings) { return CheckArgument(node, index, sameStrings && strings); };
    switch (code) {
        case fnUpper:
        case fnLower: {
            TExpToken* a = need(0, true);
            if (!IsTextOrNull(*a))
                Fail(std::string("Type mismatch between ") + (code == fnUpper ? "UPPER" : "LOWER") +
                     " function and function argument");
            SetTextType(node, a);
            break;
        }
        case fnSubstring: {
            TExpToken* a = need(0, true);
            if (!IsTextOrNull(*a)) Fail("Expression argument of SUBSTRING function must be a string or memo");
            if (!IsIntegerType(need(1, false))) Fail("FROM argument of SUBSTRING function must be an integer value");
            if (node->GetArgument(2) && !IsIntegerType(need(2, false)))
                Fail("FOR argument of SUBSTRING function must be an integer value");
            SetTextType(node, a);
            break;
        }
        case fnReplace: {
            TExpToken* subject = need(2, true);
            if (!IsTextOrNull(*subject)) Fail("IN argument of REPLACE function must be a string or memo");
            if (!IsStringType(need(0, false))) Fail("Type mismatch between REPLACE function and search string argument");
            if (!IsStringType(need(1, false)))
                Fail("Type mismatch between REPLACE function and replacement string argument");
            SetTextType(node, subject);
            break;
        }
        case fnPos:
        case fnOccurs: {
            const std::string name = code == fnPos ? "POS" : "OCCURS";
            if (!IsTextOrNull(*need(1, true))) Fail("Type mismatch between " + name + " function and IN argument");
            if (!IsStringType(need(0, false)))
                Fail("Type mismatch between " + name + " function and search string argument");
            SetType(node, fldINT32, fldstNONE, 4);
            break;
        }
        case fnTrimLeading:
        case fnTrimTrailing:
        case fnTrimBoth: {
            TExpToken* text = need(1, true);
            if (!IsTextOrNull(*text)) Fail("FROM argument of TRIM function must be a string or memo");
            const TExpToken* ch = node->GetArgument(0);
            if (!ch || ch->Kind != ekConstant || ch->DataType != fldZSTRING || CharCountDBCS(TextView(*ch)) != 1)
                Fail("Trim character argument of TRIM function must be a single character constant");
            node->GetArgument(0)->Parent = node;
            SetTextType(node, text);
            break;
        }
        case fnLength:
            if (!IsTextOrNull(*need(0, true))) Fail("Type mismatch between LENGTH function and function argument");
            SetType(node, fldINT32, fldstNONE, 4);
            break;
        default: break;
    }
}

void TTypeChecker::CheckFunction(TExpToken* node, bool strings) {
    const uint8_t code = node->Code;
    const auto need = [&](int32_t index, bool sameStrings) { return CheckArgument(node, index, sameStrings && strings); };
    if ((code >= fnUpper && code <= fnLower) || (code >= fnSubstring && code <= fnLength)) {
        CheckTextFunction(node, strings);
        return;
    }
    if (IsExtractCode(code)) {
        TExpToken* a = need(0, true);
        if (a->Kind == ekConstant && a->DataType == fldZSTRING && a->IsParameter == 0) {
            // The text decides which of the three it is: a date, else a time, else a timestamp.
            static constexpr struct { uint8_t Type; int32_t Size; } kinds[] = {
                {fldDATE, 4}, {fldTIME, 4}, {fldTIMESTAMP, 8}};
            for (const auto& kind : kinds) {
                uint8_t buffer[FieldValueBufferSize + 5] = {};
                const std::string_view text = TextView(*a);
                std::copy_n(text.data(), std::min(text.size(), FieldValueBufferSize - 1), buffer);
                if (ANSITextToDateTimeValue(buffer, kind.Type)) {
                    Reserve(*a, FieldValueBufferSize);
                    std::copy_n(buffer, FieldValueBufferSize, a->Value.data());
                    a->DataType = kind.Type;
                    a->DataSize = kind.Size;
                    break;
                }
            }
        }
        if (!IsDateTime(a->DataType)) Fail("FROM argument of EXTRACT function must be a date, time, or timestamp");
        SetType(node, fldINT32, fldstNONE, 4);
        return;
    }
    switch (code) {
        case fnCast: {
            TExpToken* a = need(0, true);
            if (!IsNullConstant(a) && !IsCastAllowed(node->DataType, a->DataType))
                Fail("Type mismatch between " + Operand(*a) + " and AS argument");
            CheckCastArguments(node);
            ApplyBooleanRule(node);
            break;
        }
        case fnAbs: {
            TExpToken* a = need(0, true);
            if (!IsNumeric(a->DataType))
                Fail("Expression argument of ABS function must be an integer, floating-point, or BCD type");
            SetType(node, a->DataType, a->DataSubtype, a->DataSize, a->Scale);
            break;
        }
        case fnRound: {
            TExpToken* a = need(0, true);
            if (a->DataType != fldFLOAT && a->DataType != fldBCD)
                Fail("Expression argument of ROUND function must be a floating-point or BCD type");
            if (TExpToken* places = node->GetArgument(1)) {
                places->Parent = node;
                if (places->Kind != ekConstant || !IsInteger(places->DataType) || places->IsNull != 0)
                    Fail("Decimal places argument of ROUND function must be an integer constant");
                const int64_t n = Integer(*places);
                if (n < 0 || n > 32)
                    Fail("Decimal places argument of ROUND function must be an integer constant between 0 and 32");
            }
            SetType(node, a->DataType, a->DataSubtype, a->DataSize, a->Scale);
            break;
        }
        case fnIf:
            if (need(0, true)->DataType != fldBOOL) Fail("First expression argument of IF function must be a boolean type");
            CheckArgument(node, 1, true);  // the two values may name columns in quotes, whatever the caller allows
            CheckArgument(node, 2, true);
            CheckFunctionArguments("IF", node, 1);
            break;
        case fnIfNull:
            need(0, true);
            CheckArgument(node, 1, true);
            CheckArgument(node, 2, true);
            CheckFunctionArguments("IFNULL", node, 1);
            break;
        case fnCoalesce:
            for (int32_t i = 0; i < node->ArgumentCount(); ++i) need(i, false);
            CheckFunctionArguments("COALESCE", node, 0);
            break;
        case fnTextSearch:
        case fnTextOccurs: {
            const std::string name = code == fnTextSearch ? "TEXTSEARCH" : "TEXTOCCURS";
            TExpToken* search = need(0, false);
            if (!IsText(*search)) Fail("Type mismatch between " + name + " function and search text function argument");
            if (search->Kind != ekConstant) Fail(name + " search text function argument must be a string constant");
            TExpToken* column = need(1, true);
            if (column->Kind != ekColumn) Fail(name + " function column argument must be a valid column name");
            if (!IsText(*column)) Fail("Type mismatch between " + name + " function and column function argument");
            if (code == fnTextSearch) {
                SetType(node, fldBOOL, fldstNONE, 2);
                ApplyBooleanRule(node);
            } else {
                SetType(node, fldINT32, fldstNONE, 4);
            }
            break;
        }
        case fnLastAutoInc:
        case fnIdentCurrent: {
            const std::string name = code == fnLastAutoInc ? "LASTAUTOINC" : "IDENT_CURRENT";
            TExpToken* table = need(0, false);
            if (!IsStringType(table)) Fail("Type mismatch between " + name + " function and table name function argument");
            if (table->Kind != ekConstant) Fail(name + " table name function argument must be a string constant");
            const TQueryHooks& hooks = QueryHooks();
            if (hooks.AddFunctionTable && !Parameters) hooks.AddFunctionTable(ResolverData, *node, Text(*table));
            SetType(node, fldINT32, fldstNONE, 4);
            break;
        }
        default: break;
    }
}

void TTypeChecker::CheckAggregate(TExpToken* node, bool strings) {
    TExpToken* a = node->GetArgument(0);
    if (!a) Fail("Unknown or unexpected symbol ')' found");
    Check(node, a, strings);
    const uint8_t t = a->DataType;
    const std::string name = Upper(node->Text) + " aggregate function ";
    switch (node->Code) {
        case fnSum:
        case fnRunSum:
            if (!IsNumeric(t)) Fail(name + "must contain a numeric expression");
            if (t == fldINT16 || t == fldUINT16)
                SetType(node, fldINT32, fldstNONE, 4);
            else if (t == fldINT32)
                SetType(node, fldINT64, fldstNONE, 8);
            else
                SetType(node, t, a->DataSubtype, a->DataSize, a->Scale);
            break;
        case fnCount: SetType(node, fldINT32, fldstNONE, 4); break;
        default: {  // MIN, MAX, AVG
            if (!IsNumeric(t) && !IsDateTime(t))
                Fail(name + "must contain a numeric, date, time, or timestamp expression");
            if (node->Code == fnAvg && IsInteger(t))
                SetType(node, fldFLOAT, fldstNONE, 8);
            else
                SetType(node, t, a->DataSubtype == fldstAUTOINC ? fldstNONE : a->DataSubtype, a->DataSize, a->Scale);
            break;
        }
    }
}

void TTypeChecker::CheckPredicate(TExpToken* node, bool strings) {
    const uint8_t code = node->Code;
    const char* name = code == prLike ? "LIKE"
                       : code == prNotLike ? "NOT LIKE"
                       : code == prBetween ? "BETWEEN"
                       : code == prNotBetween ? "NOT BETWEEN"
                       : (code == prIn || code == prInSelect) ? "IN" : "NOT IN";
    const auto mismatch = [&](const TExpToken* operand) {
        Fail(std::string("Type mismatch between ") + name + " operator and " +
             (operand->IsParameter != 0 && Parameters ? Operand(*operand) : "expression '" + operand->Text + "'"));
    };
    TExpToken* value = node->GetArgument(0);
    if (!value) Fail("Unknown or unexpected symbol ')' found");
    Check(node, value, strings);
    if (code == prLike || code == prNotLike) {
        if (!IsText(*value)) mismatch(value);
        TExpToken* pattern = node->GetArgument(1);
        if (!pattern) mismatch(value);
        Check(node, pattern, false);
        // A NULL pattern matches nothing; it is not a type error.
        if (pattern->DataType != fldZSTRING && pattern->DataType != fldUNKNOWN) mismatch(pattern);
    } else if (code == prInSelect || code == prNotInSelect) {
        TExpToken* select = node->GetArgument(1);
        if (!select) mismatch(value);
        Check(node, select, strings);
        if (!IsOperatorAllowedForType(opEqual, value->DataType, value->DataSubtype, select->DataSubtype,
                                      select->DataType))
            mismatch(select);
    } else {
        for (int32_t i = 1; i < node->ArgumentCount(); ++i) {
            TExpToken* operand = node->GetArgument(i);
            if (!operand) continue;
            Check(node, operand, false);
            if (IsDateTime(value->DataType) && IsConvertibleText(operand)) ConvertDateConstant(operand, value);
            if (!IsOperatorAllowedForType(opEqual, value->DataType, value->DataSubtype, operand->DataSubtype,
                                          operand->DataType))
                mismatch(operand);
        }
    }
    SetType(node, fldBOOL, fldstNONE, 2);
}

}  // namespace kura::typecheck
