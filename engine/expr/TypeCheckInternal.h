#pragma once
// The type checker's state, shared by its node and function parts.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/expr/ExpCodes.h"
#include "engine/expr/TypeCheck.h"
#include "engine/expr/ValueAccess.h"

namespace kura::typecheck {

class TTypeChecker {
public:
    uint16_t ErrorCode = 0;
    std::string ErrorTableName;
    std::string ErrorObjectName;
    std::string ContextName;
    bool ConditionsAsComparisons = false;
    TColumnResolverProc Resolver = nullptr;
    void* ResolverData = nullptr;
    // Set while the uses of bound parameters are typed again: the statement's
    // parameters in the order of their marks, each standing for a constant of its
    // value's type. The query hooks are not called again then.
    const std::vector<TExpToken*>* Parameters = nullptr;

    void Check(TExpToken* parent, TExpToken* node, bool stringsMayBeColumns);

    // Raises with message + " in " + ContextName.
    [[noreturn]] void Fail(std::string_view message) const;
    // Raises the message as it stands.
    [[noreturn]] void FailRaw(const std::string& message) const;

    // The condition-as-comparison rule for a boolean node.
    void ApplyBooleanRule(TExpToken* node) const;
    // A string constant operand turned into the date, time or timestamp type of
    // the other operand; raises the date-expected message when it does not read.
    void ConvertDateConstant(TExpToken* text, const TExpToken* like) const;
    // A text constant that may become a date, time or timestamp where one is
    // compared: one written in the statement, or a bound parameter's text.
    bool IsConvertibleText(const TExpToken* node) const;
    // How messages name an operand: its kind and text in quotes, or "parameter N
    // (TYPE)" for a bound parameter.
    std::string Operand(const TExpToken& node) const;

    void CheckFunction(TExpToken* node, bool stringsMayBeColumns);
    void CheckAggregate(TExpToken* node, bool stringsMayBeColumns);
    void CheckPredicate(TExpToken* node, bool stringsMayBeColumns);

private:
    void CheckUnary(TExpToken* node, bool stringsMayBeColumns);
    void CheckBinary(TExpToken* node, bool stringsMayBeColumns);
    void CheckColumn(TExpToken* node);
    void CheckSubSelect(TExpToken* node);
    void TakeStringAsColumn(TExpToken* node) const;
    void CheckFunctionArguments(std::string_view name, TExpToken* node, int32_t first);
    void CheckCastArguments(TExpToken* node);
    void CheckTextFunction(TExpToken* node, bool stringsMayBeColumns);
    // Checks the argument in a slot; a missing one is refused.
    TExpToken* CheckArgument(TExpToken* node, int32_t index, bool stringsMayBeColumns);
};

// Sets a node's type, subtype, size and scale and sizes its value buffer.
inline void SetType(TExpToken* node, uint8_t type, uint8_t subtype, int32_t size, uint8_t scale = 0) {
    node->DataType = type;
    node->DataSubtype = subtype;
    node->DataSize = size;
    node->Scale = scale;
    exv::Reserve(*node, size);
}
inline bool IsIntegerType(const TExpToken* node) { return node && node->DataType == 6; }
inline bool IsNullConstant(const TExpToken* node) { return node->Kind == ekConstant && node->IsNull != 0; }

// "expression", "column", "constant", "function" or "" by node kind.
std::string_view KindName(const TExpToken& node);
// Turns a column that type checking took from a quoted text back into that text.
void RestoreStringConstant(TExpToken* node);

}  // namespace kura::typecheck
