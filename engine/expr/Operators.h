#pragma once
// The operator rules of the expression engine: which operand types each unary and
// binary operator accepts, the type, subtype, size and scale of its result, which
// conversions CAST allows, and the evaluation of every operator over every accepted
// pair of operand types.
//
// Type checking consults the rules while it types a tree; the evaluator calls the
// two evaluators once per node and record. The evaluators expect the result node
// typed and sized beforehand (SetBinaryResultType for binary nodes), write into its
// existing buffer and raise nothing of their own:
//  - NULL operands follow the rules of each operator (see EvaluateBinaryOperator);
//  - a zero divisor gives NULL;
//  - integer arithmetic wraps around in two's complement (done in unsigned
//    arithmetic, so it is defined behaviour);
//  - every boolean result is stored normalised to 0 or 1.
// A pair the rules refuse never reaches an evaluator; one it has no case for leaves
// the result's value untouched.
#include <cstdint>

#include "engine/expr/ExpToken.h"

namespace kura {

bool IsUnaryOperatorAllowedForType(uint8_t op, uint8_t operandType);
uint8_t UnaryResultType(uint8_t op, uint8_t operandType);
uint8_t UnaryResultSubtype(uint8_t op, uint8_t operandType, uint8_t operandSubtype);

// A right type 0 (the NULL constant) is accepted wherever the left type is.
bool IsOperatorAllowedForType(uint8_t op, uint8_t leftType, uint8_t leftSubtype, uint8_t rightSubtype,
                              uint8_t rightType);
// 0 when the pair has no rule.
uint8_t ResultTypeOfOperator(uint8_t op, uint8_t leftType, uint8_t rightType);
uint8_t ResultSubtypeOfOperator(uint8_t op, uint8_t leftType, uint8_t leftSubtype, uint8_t rightSubtype,
                                uint8_t rightType);
// The node's type, subtype, size and scale from its operands (the node's Code is
// the operator); the value buffer is grown to the size.
void SetBinaryResultType(TExpToken& node, const TExpToken& left, const TExpToken& right);

bool IsCastAllowed(uint8_t targetType, uint8_t sourceType);

// 0 for 0, else 1.
inline int16_t BoolToWordBool(int16_t value) { return value == 0 ? 0 : 1; }

void EvaluateUnaryOperator(uint8_t op, const TExpToken& operand, TExpToken& result);

// NULL rules, tested first:
//  "="  one operand NULL gives false, both NULL true; "<>" the reverse.
//  ">" "<" ">=" "<=" with a non-text left operand: one NULL gives false, both NULL
//  compare the buffers as they stand; a text left operand compares the buffers.
//  "+" of non-texts, "-", "*", "/": any NULL operand gives NULL (value zero-filled).
//  "+" with a text operand concatenates the buffers; AND and OR read the values.
void EvaluateBinaryOperator(uint8_t op, const TExpToken& left, const TExpToken& right, TExpToken& result,
                            uint16_t localeId, uint16_t sortId);

}  // namespace kura
