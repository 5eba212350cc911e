#pragma once
// Type checking of a parsed expression tree. One walk binds every column through
// the caller's resolver, fixes the type, subtype, size and scale of every node,
// turns string constants into dates, times or timestamps where those are compared,
// and refuses every operand an operator or function does not take, with a message
// naming the operand.
//
// Errors are raised at once as engine errors with the parser's error code
// (KURA_SQLPARSE for statements, KURA_INVALIDFILTER for filters), the object name
// as third and the table name as fourth context string and the message, which ends
// with " in " + contextName, as seventh. Nodes rewritten before the error stay
// rewritten; the caller frees the tree.
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/expr/ExpToken.h"

namespace kura {

// Looks the column node's Name and TableName up, binds it (Owner, FieldNumber, the
// bind slots) and sets its DataType, DataSubtype, DataSize and Scale; false when
// there is no such column.
using TColumnResolverProc = bool (*)(void* resolverData, TExpToken* node);

// stringsMayBeColumns: a quoted text may name a column ('Name' or "Name").
// conditionsAsComparisons: a boolean column, CAST, TEXTSEARCH, IF, IFNULL or
// COALESCE standing where a condition is expected becomes "= True".
// Without a resolver columns are not checked. parent is stored into the node's
// Parent (nullptr for the root).
// Once values are bound to a statement's parameters: the use of parameters[index]
// is typed again with the parameter standing for a constant of its value's type
// (a NULL value for the NULL constant), and every node above it whose type follows
// from the value's. So the value meets the rules a constant written there meets: a
// text compared with a date, time or timestamp becomes one, and a value of a type
// the use does not take is refused with an engine error (errorCode) whose message
// names the parameter ("parameter N (TYPE)", N counting the marks from 1). A
// parameter that is a whole value expression (no parent) is left to the caller.
void CheckParameterUse(uint16_t errorCode, const std::vector<TExpToken*>& parameters, size_t index,
                       std::string_view contextName);

// "parameter N (TYPE)" for a node of the list, the way messages name a parameter;
// empty for a node that is none of them.
std::string ParameterName(const std::vector<TExpToken*>& parameters, const TExpToken& node);

void CheckExpressionTypes(uint16_t errorCode, std::string_view errorTableName, std::string_view errorObjectName,
                          bool stringsMayBeColumns, bool conditionsAsComparisons, TColumnResolverProc resolver,
                          void* resolverData, TExpToken* parent, TExpToken* node, std::string_view contextName);

}  // namespace kura
