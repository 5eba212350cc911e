#pragma once
// The byte codes an expression tree is made of: node kinds, operator codes,
// extended predicate codes and function codes. They are part of the flat image a
// client sends to a database server, so their values never change.
#include <cstdint>

namespace kura {

// --- Node kinds (TExpToken::Kind)
constexpr uint8_t ekUnary = 1;           // Left
constexpr uint8_t ekBinary = 2;          // Left, Right
constexpr uint8_t ekPartialCompare = 3;  // "=" or "<>" of a text against a prefix; Left, Right
constexpr uint8_t ekColumn = 4;          // no children
constexpr uint8_t ekConstant = 5;        // also NULL, TRUE, FALSE, CURRENT_* and parameter marks
constexpr uint8_t ekSubSelect = 6;       // no children; Query holds the statement
constexpr uint8_t ekFunction = 10;       // Arguments
constexpr uint8_t ekPredicate = 12;      // Arguments, the tested value first

// --- Operator codes of unary, binary and partial-comparison nodes
constexpr uint8_t opIsNull = 1;
constexpr uint8_t opIsNotNull = 2;
constexpr uint8_t opEqual = 3;
constexpr uint8_t opNotEqual = 4;
constexpr uint8_t opGreater = 5;
constexpr uint8_t opLess = 6;
constexpr uint8_t opGreaterEqual = 7;
constexpr uint8_t opLessEqual = 8;
constexpr uint8_t opNot = 9;
constexpr uint8_t opAnd = 10;
constexpr uint8_t opOr = 11;
constexpr uint8_t opNegate = 15;
constexpr uint8_t opPlus = 16;
constexpr uint8_t opAdd = 17;  // also "||"
constexpr uint8_t opSubtract = 18;
constexpr uint8_t opMultiply = 19;
constexpr uint8_t opDivide = 20;

inline bool IsComparisonCode(uint8_t code) { return code >= opEqual && code <= opLessEqual; }
// The comparison that says the same with its operands exchanged: ">" and "<"
// exchange, ">=" and "<=" exchange; every other code stays.
inline uint8_t MirroredCode(uint8_t code) {
    switch (code) {
        case opGreater: return opLess;
        case opLess: return opGreater;
        case opGreaterEqual: return opLessEqual;
        case opLessEqual: return opGreaterEqual;
        default: return code;
    }
}

// --- Extended predicate codes (kind ekPredicate)
constexpr uint8_t prLike = 32;            // value, pattern
constexpr uint8_t prIn = 33;              // value, list values in order
constexpr uint8_t prInSelect = 34;        // value, sub-select node
constexpr uint8_t prBetween = 41;         // value, low, high
constexpr uint8_t prNotBetween = 42;      // value, low, high
constexpr uint8_t prNotLike = 43;         // value, pattern
constexpr uint8_t prNotIn = 44;           // value, list values in order
constexpr uint8_t prNotInSelect = 45;     // value, sub-select node

// --- Function codes (kind ekFunction); argument slots in the comments
constexpr uint8_t fnSum = 23;           // 0 value
constexpr uint8_t fnRunSum = 24;        // 0 value
constexpr uint8_t fnCount = 25;         // 0 value or the "*" column
constexpr uint8_t fnMin = 26;           // 0 value
constexpr uint8_t fnMax = 27;           // 0 value
constexpr uint8_t fnAvg = 28;           // 0 value
constexpr uint8_t fnUpper = 36;         // 0 text
constexpr uint8_t fnLower = 37;         // 0 text
constexpr uint8_t fnSubstring = 46;     // 0 text, 1 FROM position, 2 FOR length (may be absent)
constexpr uint8_t fnReplace = 47;       // 0 search, 1 replacement (WITH), 2 subject (IN)
constexpr uint8_t fnPos = 48;           // 0 search, 1 subject (IN)
constexpr uint8_t fnOccurs = 49;        // 0 search, 1 subject (IN)
constexpr uint8_t fnTrimLeading = 50;   // 0 trim character, 1 text (FROM)
constexpr uint8_t fnTrimTrailing = 51;  // 0 trim character, 1 text
constexpr uint8_t fnTrimBoth = 52;      // 0 trim character, 1 text
constexpr uint8_t fnLength = 53;        // 0 text
constexpr uint8_t fnCast = 54;          // 0 value, 1 and 2 the data type's arguments (may be absent)
constexpr uint8_t fnExtractYear = 55;   // 0 date/time value, for the nine EXTRACT codes
constexpr uint8_t fnExtractMonth = 56;
constexpr uint8_t fnExtractWeek = 57;
constexpr uint8_t fnExtractDay = 58;
constexpr uint8_t fnExtractDayOfWeek = 59;
constexpr uint8_t fnExtractDayOfYear = 60;
constexpr uint8_t fnExtractHour = 61;
constexpr uint8_t fnExtractMinute = 62;
constexpr uint8_t fnExtractSecond = 63;
constexpr uint8_t fnIf = 64;            // 0 condition, 1 then-value, 2 else-value
constexpr uint8_t fnCoalesce = 65;      // 0..n values
constexpr uint8_t fnIfNull = 66;        // 0 tested value, 1 value when NULL, 2 value when not NULL
constexpr uint8_t fnAbs = 67;           // 0 number
constexpr uint8_t fnRound = 68;         // 0 number, 1 decimal places (may be absent)
constexpr uint8_t fnTextSearch = 69;    // 0 search text, 1 column (IN)
constexpr uint8_t fnTextOccurs = 70;    // 0 search text, 1 column (IN)
constexpr uint8_t fnLastAutoInc = 71;   // 0 table name
constexpr uint8_t fnIdentCurrent = 72;  // 0 table name

inline bool IsAggregateCode(uint8_t code) { return code >= fnSum && code <= fnAvg; }
inline bool IsExtractCode(uint8_t code) { return code >= fnExtractYear && code <= fnExtractSecond; }
inline bool IsTrimCode(uint8_t code) { return code >= fnTrimLeading && code <= fnTrimBoth; }

// --- Permission flags of the expression grammar (a bit set handed down every rule)
constexpr uint8_t pfAggregates = 1;
constexpr uint8_t pfAllColumns = 2;       // "*", alone or after a correlation name
constexpr uint8_t pfExtendedPredicates = 4;  // LIKE, BETWEEN, IN, IS [NOT] NULL
constexpr uint8_t pfParameters = 8;       // "?"
constexpr uint8_t pfSubSelects = 16;      // IN (SELECT ...)

// --- Token kinds of the expression scanner; any other kind is a single character
// standing for itself (its character code).
constexpr uint8_t tkEnd = 0;
constexpr uint8_t tkIdentifier = 1;
constexpr uint8_t tkBracketName = 2;   // [name]
constexpr uint8_t tkSingleQuoted = 3;  // 'text'
constexpr uint8_t tkDoubleQuoted = 4;  // "text"
constexpr uint8_t tkCharConstant = 5;  // # followed by digits
constexpr uint8_t tkInteger = 6;
constexpr uint8_t tkFloat = 7;

}  // namespace kura
