#pragma once
// Whole-tree operations on expression trees: copying, comparing and freeing, the
// questions the filter optimiser and the SQL planner ask of a tree, and the small
// rewrites they make in place.
//
// A tree owns its nodes, all taken from the token pool (AllocExpToken); whoever
// holds the root frees it with FreeExpression. A sub-select node does not own its
// query, and no node owns what its Owner refers to.
#include <cstdint>
#include <memory>
#include <string_view>

#include "engine/expr/ExpCodes.h"
#include "engine/expr/ExpToken.h"
#include "engine/expr/ExpTokenPool.h"

namespace kura {

// The deepest tree the parser and the flat-image reader build. Every recursive walk
// of a tree (copy, type checking, evaluation, images) stays well inside the stack
// for trees of this depth.
constexpr int32_t MaxExpressionDepth = 1024;

// Deep copy of Left, Right and every argument (an empty slot stays empty), made of
// pool nodes; Third is not copied. The copy stands alone: its root has no Parent,
// and each child that had a Parent refers to its copied parent. nullptr for nullptr.
TExpToken* CopyExpression(const TExpToken* root);

// Both nullptr: true; one nullptr: false; else equal roots (TExpToken::SameValue),
// the same Left and Right subtrees and argument lists of equal count whose slots are
// both empty or the same trees.
bool SameExpression(const TExpToken* a, const TExpToken* b);

// Returns every node of the tree to the pool (depth first) and clears the variable.
// Walks without recursion, so a tree of any depth can be freed. nullptr-safe.
void FreeExpression(TExpToken*& root);

// Frees a tree when the holder goes out of scope (parsing raises halfway through).
struct TExpressionDeleter {
    void operator()(TExpToken* root) const { FreeExpression(root); }
};
using TExpressionPtr = std::unique_ptr<TExpToken, TExpressionDeleter>;

// Levels of the tree (a single node is 1), counted without recursion; stops counting
// at limit + 1 so that a very deep tree costs no more than the limit.
int32_t ExpressionDepth(const TExpToken* root, int32_t limit = MaxExpressionDepth);

// Any column reference in the tree.
bool ContainsColumn(const TExpToken* node);
// Any aggregate (SUM .. AVG) below unary, binary, function and predicate nodes.
bool ContainsAggregate(const TExpToken* node);
// The first column node in the order Left, Right, then the arguments; nullptr if none.
TExpToken* FindFirstColumn(TExpToken* node);
// "SUM" 23, "RUNSUM" 24, "COUNT" 25, "MIN" 26, "MAX" 27, "AVG" 28 without regard to
// case; 0 for any other name.
uint8_t AggregateCode(std::string_view name);

// ">" and "<" exchange, ">=" and "<=" exchange; every other code stays.
void MirrorOperator(TExpToken* node);
// Exchanges Left and Right.
void SwapChildren(TExpToken* node);
// MirrorOperator, then SwapChildren: the same comparison with its operands swapped.
void SwapComparison(TExpToken* node);
// Exchanges the places of two nodes in their parents (the Left or Right slot that
// held the one now holds the other) and their Parent references.
void ExchangeNodes(TExpToken* a, TExpToken* b);
// root := condition when root is nullptr, else a new boolean node over (root,
// condition) with the Text and Code of the condition's Parent, or "AND" 10.
void AppendAndCondition(TExpToken*& root, TExpToken* condition);
// The node under any number of NOTs is an OR / an AND.
bool IsNotOrOr(const TExpToken* node);
bool IsNotOrAnd(const TExpToken* node);
// A NOT node, or a binary node whose Parent is under a NOT.
bool IsUnderNot(const TExpToken* node);
// Turns the node in place into (copy of node) = True.
void MakeTrueComparison(TExpToken* node);

bool IsUpperCall(const TExpToken* node);
// UPPER or LOWER with exactly one argument, which is a column.
bool IsCaseFunctionOfColumn(const TExpToken* node);
bool IsTextSearchCall(const TExpToken* node);

// The argument in slot index of a function or list node; nullptr when out of range.
inline TExpToken* GetArgument(const TExpToken* node, int32_t index) {
    return node ? node->GetArgument(index) : nullptr;
}
inline void SetDataSize(TExpToken* node, int32_t size) {
    if (node) node->SetDataSize(size);
}

}  // namespace kura
