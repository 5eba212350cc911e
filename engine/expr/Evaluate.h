#pragma once
// Evaluation of a typed expression tree for the current record of whoever supplies
// the column values: a cursor evaluating its filter or computed fields, or the SQL
// engine evaluating its clauses.
//
// EvaluateExpression returns a new node from the token pool holding the value (its
// DataType, DataSize, Scale, IsNull and value buffer; Kind 5 constant); the caller
// gives it back with ReleaseExpToken. Every operand is evaluated into its own node,
// released as soon as it is used; AND, OR, IF, IFNULL, COALESCE and IN lists stop
// as soon as their result is known. Booleans come back as 16-bit 0 or 1.
//
// Errors: a column without a value callback raises KURA_SQLPARSE ("Internal error:
// Column '...' specified illegally"); conversions that fail give NULL; errors of
// the callbacks pass through. Nothing leaks when an error passes.
#include <cstdint>
#include <string_view>

#include "engine/expr/ExpToken.h"

namespace kura {

// Writes the value of the column of the current record (value, DataSize, IsNull)
// into result, which arrives as a copy of the column node (type, size, Owner,
// FieldNumber, bind slots). owner and context are the evaluator's caller's.
using TColumnValueProc = void (*)(void* owner, void* context, TExpToken* result);

TExpToken* EvaluateExpression(const TExpToken* node, void* context, void* owner, uint16_t localeId, uint16_t sortId,
                              TColumnValueProc columnValue);

// Many evaluations in a row on this thread (a filter's pass over the records): while
// a batch is open, the nodes of one evaluation wait on this thread for the next
// instead of going back to the shared pool, and a result given back with
// ReleaseEvaluationResult joins them, so that no evaluation takes the pool's lock.
// The batch gives every node back when it ends. Batches nest.
class TEvaluationBatch {
public:
    TEvaluationBatch();
    ~TEvaluationBatch();
    TEvaluationBatch(const TEvaluationBatch&) = delete;
    TEvaluationBatch& operator=(const TEvaluationBatch&) = delete;
};

// Gives back a result of EvaluateExpression: to the open batch, else to the pool.
void ReleaseEvaluationResult(TExpToken*& value);

// Evaluates with context nullptr; a result that is not NULL, not a string and of
// another type than the template is converted to the template's type, subtype,
// size and scale.
TExpToken* EvaluateAgainstRecord(const TExpToken* templ, const TExpToken* node, void* owner, uint16_t localeId,
                                 uint16_t sortId, TColumnValueProc columnValue);

// Numeric and date conversions of a value between types: integers by truncation
// or extension, floats rounded to integers, BCD through currency, timestamp to date
// and back. Pairs without a rule leave output untouched.
void ConvertTokenValue(const TExpToken& source, const uint8_t* sourceValue, const TExpToken& target,
                       uint8_t* output);

// Stores an evaluated value into a result node of possibly another type; a failed
// conversion gives NULL.
void AssignConvertedValue(TExpToken& result, const TExpToken& source);

// "=" (3) and "<>" (4) of two texts over their first partialLength characters
// (whole texts for 0), optionally without regard to case; NULLs as for "=".
void EvaluatePartialCompare(uint8_t code, int32_t partialLength, bool caseInsensitive, uint16_t localeId,
                            uint16_t sortId, TExpToken& result, const TExpToken& right, const TExpToken& left);

// Prepares a filter tree for a cursor: a copy in which operands without columns are
// computed once and prefix comparisons (Name = 'Sm*', Name LIKE 'Sm%') become
// partial comparisons an index can serve. The source is unchanged.
TExpToken* CopyExpressionForCursor(const TExpToken* node, void* owner, TColumnValueProc columnValue,
                                   bool noPartialCompare, bool caseInsensitive, uint16_t localeId, uint16_t sortId);

// True when the text is not empty, does not start with the wildcard, and every
// wildcard in it belongs to one final run ("ab%", "ab%%"; not "%ab", "a%b", "ab").
bool IsTrailingWildcardPattern(std::string_view text, char wildcard);

}  // namespace kura
