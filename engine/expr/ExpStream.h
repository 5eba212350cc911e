#pragma once
// The flat images of an expression tree that a client sends to a database server,
// and the reader that rebuilds a tree from one.
//
// A node is a run of fields, each a 32-bit little-endian byte count N and N bytes
// (texts without a terminator, numbers little-endian):
//   Text, Kind(1), Code(1), Flag(1), Name(0..255), FieldNumber(2), DataSize(4),
//   Value(DataSize), IsNull(1), PartialLength(4), CaseInsensitive(1), DataType(1),
//   DataSubtype(1), Scale(1), LeftOffset(4), RightOffset(4),
//   form A: ThirdOffset(4)            form B: argument count(4), ArgumentsOffset(4)
// Nodes are laid out in pre-order from offset 0: a node, its Left subtree, its Right
// subtree, then its Third subtree (form A) or every argument subtree in order (form
// B). Offsets count from the start of the image; 0 means absent. Form A is the shape
// older servers read: NormalizeFunctionArguments first moves function and predicate
// arguments into the child slots.
//
// The reader takes bytes from the network: every count, length, kind, code and
// argument count is checked against the image and against the shapes the parser
// builds, trees deeper than MaxExpressionDepth are refused, and nothing is read past
// the image's end. A bad image raises KURA_UNCOMPRESS, the error the remote channel
// raises for any malformed reply, and leaves the caller's root untouched.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/expr/ExpToken.h"

namespace kura {

// Writes form A / form B of the whole tree into buffer (replacing its content) and
// returns the image size; 0 and an empty buffer for nullptr. An empty argument slot
// in the middle of a list is written as a NULL constant (the image has no empty
// slots); empty slots at the end are not written.
uint32_t ExpressionStreamSize(const TExpToken* root, std::vector<uint8_t>& buffer);
uint32_t ExpressionStreamSizeEx(const TExpToken* root, std::vector<uint8_t>& buffer);

// Moves the arguments of functions and predicates into Left, Right and Third, the
// child-slot shape of form A, and empties the argument lists. Functions that form A
// carries no arguments for (COALESCE, IFNULL, TEXTSEARCH, TEXTOCCURS, LASTAUTOINC,
// IDENT_CURRENT) keep their lists. An argument that should hang on a slot another
// node already fills stays in the list, so no node is lost (form A omits it). A
// node whose list is already empty is left as it is, so normalising twice is safe.
void NormalizeFunctionArguments(TExpToken* node);

// Rebuilds a tree from form B. nullptr data leaves root untouched; otherwise root
// receives the new tree (the caller frees what it held before). Raises KURA_UNCOMPRESS
// for an image that is truncated, malformed, or deeper than MaxExpressionDepth.
void ReadExpressionStream(const uint8_t* data, size_t size, TExpToken*& root);

}  // namespace kura
