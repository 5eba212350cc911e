// Type checking of operators, columns and sub-selects; the entry point.
#include "engine/expr/TypeCheck.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpCodes.h"
#include "engine/expr/ExpTree.h"
#include "engine/expr/ExpressionOwner.h"
#include "engine/expr/Operators.h"
#include "engine/expr/TypeCheckInternal.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/FieldConversions.h"

namespace kura {

using namespace exv;

namespace typecheck {

std::string_view KindName(const TExpToken& node) {
    switch (node.Kind) {
        case ekUnary:
        case ekBinary: return "expression";
        case ekColumn: return "column";
        case ekConstant: return "constant";
        case ekFunction: return "function";
        default: return "";
    }
}

void RestoreStringConstant(TExpToken* node) {
    node->Kind = ekConstant;
    node->Name.clear();
    node->FromStringConstant = 0;
    node->DataType = node->SavedType;
    node->DataSubtype = node->SavedSubtype;
    node->DataSize = node->SavedSize;
    node->Scale = node->SavedScale;
}

// The SQL word of a value's type, for messages about parameters.
std::string_view TypeWord(const TExpToken& node) {
    switch (node.DataType) {
        case fldUNKNOWN: return "NULL";
        case fldZSTRING: return "CHAR";
        case fldDATE: return "DATE";
        case fldBLOB: return node.DataSubtype == fldstMEMO ? "MEMO" : "BLOB";
        case fldBOOL: return "BOOLEAN";
        case fldINT16: return "SMALLINT";
        case fldINT32: return "INTEGER";
        case fldFLOAT: return "FLOAT";
        case fldBCD: return "DECIMAL";
        case fldBYTES: return "BYTES";
        case fldTIME: return "TIME";
        case fldTIMESTAMP: return "TIMESTAMP";
        case fldUINT16: return "WORD";
        case fldINT64: return "LARGEINT";
        default: return "unknown";
    }
}

std::string TTypeChecker::Operand(const TExpToken& node) const {
    if (Parameters && node.IsParameter != 0) {
        std::string name = ParameterName(*Parameters, node);
        if (!name.empty()) return name;
    }
    return std::string(KindName(node)) + " '" + node.Text + "'";
}

bool TTypeChecker::IsConvertibleText(const TExpToken* node) const {
    return node->Kind == ekConstant && node->DataType == fldZSTRING && node->IsNull == 0 &&
           (node->IsParameter == 0 || Parameters != nullptr);
}

void TTypeChecker::FailRaw(const std::string& message) const {
    RaiseEngineError(ErrorCode, {}, {}, ErrorObjectName, ErrorTableName, {}, {},
                     std::string_view(message).substr(0, 255));
}

void TTypeChecker::Fail(std::string_view message) const {
    FailRaw(std::string(message) + " in " + ContextName);
}

void TTypeChecker::ApplyBooleanRule(TExpToken* node) const {
    if (!ConditionsAsComparisons || node->DataType != fldBOOL) return;
    const TExpToken* parent = node->Parent;
    const bool condition = !parent || ((parent->Kind == ekUnary || parent->Kind == ekBinary) &&
                                       (parent->Code == opNot || parent->Code == opAnd || parent->Code == opOr));
    if (!condition) return;
    MakeTrueComparison(node);
    if (node->Left) node->Left->Parent = node;
    if (node->Right) node->Right->Parent = node;
}

void TTypeChecker::ConvertDateConstant(TExpToken* text, const TExpToken* like) const {
    // A parameter is named by its number and its value, which the conversion overwrites.
    const bool parameter = text->IsParameter != 0 && Parameters;
    const std::string value = parameter ? std::string(TextView(*text)) : std::string();
    Reserve(*text, FieldValueBufferSize);
    if (!ANSITextToDateTimeValue(text->Value.data(), like->DataType))
        Fail("Date, time, or timestamp expression expected, instead found " +
             (parameter ? Operand(*text) + " '" + value + "'" : "'" + text->Text + "'"));
    text->DataType = like->DataType;
    text->DataSize = like->DataSize;
    text->Scale = like->Scale;
}

void TTypeChecker::TakeStringAsColumn(TExpToken* node) const {
    node->Name = std::string(TextView(*node)).substr(0, 255);
    if (node->Name.empty() || node->Name == "*") {
        node->Name.clear();
        return;
    }
    node->SavedType = node->DataType;
    node->SavedSubtype = node->DataSubtype;
    node->SavedSize = node->DataSize;
    node->SavedScale = node->Scale;
    node->Kind = ekColumn;
    if (Resolver && Resolver(ResolverData, node)) {
        node->FromStringConstant = 1;
        return;
    }
    RestoreStringConstant(node);
}

void TTypeChecker::CheckUnary(TExpToken* node, bool strings) {
    TExpToken* operand = node->Left;
    if (!operand) Fail("Type mismatch between '" + node->Text + "' operator and ''");
    Check(node, operand, strings);
    if (!IsUnaryOperatorAllowedForType(node->Code, operand->DataType))
        Fail("Type mismatch between '" + node->Text + "' operator and " +
             (operand->IsParameter != 0 && Parameters ? Operand(*operand) : "'" + operand->Text + "'"));
    node->DataType = UnaryResultType(node->Code, operand->DataType);
    node->DataSubtype = UnaryResultSubtype(node->Code, operand->DataType, operand->DataSubtype);
    node->DataSize = operand->DataSize;
    node->Scale = operand->Scale;
    Reserve(*node, node->DataSize);
}

void TTypeChecker::CheckBinary(TExpToken* node, bool strings) {
    TExpToken* left = node->Left;
    TExpToken* right = node->Right;
    if (!left || !right) Fail("Type mismatch between '" + node->Text + "' operator and ''");
    Check(node, left, strings);
    Check(node, right, strings);
    // In Name = 'Smith' where a column Smith exists, 'Smith' stays the text.
    const auto columnar = [](const TExpToken* n) {
        return n->Kind == ekColumn || (n->Kind == ekFunction && ContainsColumn(n));
    };
    if (columnar(left) && columnar(right) && (IsComparisonCode(node->Code) || node->Code == opAdd) &&
        node->PlannerFlag2 == 0) {
        TExpToken* leftColumn = FindFirstColumn(left);
        TExpToken* rightColumn = FindFirstColumn(right);
        if (rightColumn && rightColumn->FromStringConstant != 0)
            RestoreStringConstant(rightColumn);
        else if (leftColumn && leftColumn->FromStringConstant != 0)
            RestoreStringConstant(leftColumn);
    }
    if (left->Kind == ekConstant || right->Kind == ekConstant) {
        if (IsDateTime(left->DataType) && IsConvertibleText(right))
            ConvertDateConstant(right, left);
        else if (IsDateTime(right->DataType) && IsConvertibleText(left))
            ConvertDateConstant(left, right);
    }
    if (!IsOperatorAllowedForType(node->Code, left->DataType, left->DataSubtype, right->DataSubtype,
                                  right->DataType))
        Fail("Type mismatch between " + Operand(*left) + " and " + Operand(*right));
    SetBinaryResultType(*node, *left, *right);
}

void TTypeChecker::CheckColumn(TExpToken* node) {
    if (node->Name != "*" && Resolver && !Resolver(ResolverData, node))
        Fail("Invalid column name '" + node->Name + "' or table correlation name '" + node->TableName +
             "' specified");
    ApplyBooleanRule(node);
}

void TTypeChecker::CheckSubSelect(TExpToken* node) {
    const TQueryHooks& hooks = QueryHooks();
    // Typed when the statement was planned; a bound value changes nothing there.
    if (!node->Query || Parameters) return;
    if (hooks.ColumnCount && hooks.ColumnCount(node->Query) > 1)
        FailRaw("More than 1 column for sub-select  specified in " + ContextName);
    if (hooks.ResolveColumn && !hooks.ResolveColumn(node->Query, *node))
        Fail("Invalid column name '" + node->Name + "' or table correlation name '" + node->TableName +
             "' specified");
}

void TTypeChecker::Check(TExpToken* parent, TExpToken* node, bool strings) {
    if (!node) return;
    node->Parent = parent;
    if (strings && node->Kind == ekConstant && node->DataType == fldZSTRING && node->IsParameter == 0 &&
        node->IsNull == 0)
        TakeStringAsColumn(node);
    switch (node->Kind) {
        case ekUnary: CheckUnary(node, strings); break;
        case ekBinary: CheckBinary(node, strings); break;
        case ekColumn: CheckColumn(node); break;
        case ekSubSelect: CheckSubSelect(node); break;
        case ekFunction:
            if (IsAggregateCode(node->Code))
                CheckAggregate(node, strings);
            else
                CheckFunction(node, strings);
            break;
        case ekPredicate: CheckPredicate(node, strings); break;
        default: break;
    }
}

}  // namespace typecheck

void CheckParameterUse(uint16_t errorCode, const std::vector<TExpToken*>& parameters, size_t index,
                       std::string_view contextName) {
    TExpToken* parameter = index < parameters.size() ? parameters[index] : nullptr;
    if (!parameter || parameter->IsParameter == 0 || !parameter->Parent) return;
    // A NULL value is the NULL constant, which every use takes.
    if (parameter->IsNull != 0) {
        parameter->DataType = fldUNKNOWN;
        parameter->DataSubtype = 0;
    }
    typecheck::TTypeChecker checker;
    checker.ErrorCode = errorCode;
    checker.ContextName = contextName;
    checker.Parameters = &parameters;
    // The use, and each node above it whose type follows from the value's.
    for (TExpToken* node = parameter->Parent; node; node = node->Parent) {
        const auto shape = [node] { return std::make_tuple(node->DataType, node->DataSubtype, node->DataSize, node->Scale); };
        const auto before = shape();
        try {
            checker.Check(node->Parent, node, false);
        } catch (const EKuraEngineError& e) {
            // Every message names the parameter it is about.
            const std::string message = e.ErrorContext(ctxMessage);
            if (message.find("parameter ") != std::string::npos) throw;
            checker.FailRaw(message + "; parameter " + std::to_string(index + 1) + " is of type " +
                            std::string(typecheck::TypeWord(*parameter)));
        }
        if (shape() == before) break;
    }
}

std::string ParameterName(const std::vector<TExpToken*>& parameters, const TExpToken& node) {
    const auto it = std::find(parameters.begin(), parameters.end(), &node);
    if (it == parameters.end()) return {};
    return "parameter " + std::to_string(it - parameters.begin() + 1) + " (" + std::string(typecheck::TypeWord(node)) + ")";
}

void CheckExpressionTypes(uint16_t errorCode, std::string_view errorTableName, std::string_view errorObjectName,
                          bool stringsMayBeColumns, bool conditionsAsComparisons, TColumnResolverProc resolver,
                          void* resolverData, TExpToken* parent, TExpToken* node, std::string_view contextName) {
    typecheck::TTypeChecker checker;
    checker.ErrorCode = errorCode;
    checker.ErrorTableName = errorTableName;
    checker.ErrorObjectName = errorObjectName;
    checker.ContextName = contextName;
    checker.ConditionsAsComparisons = conditionsAsComparisons;
    checker.Resolver = resolver;
    checker.ResolverData = resolverData;
    checker.Check(parent, node, stringsMayBeColumns);
}

}  // namespace kura
