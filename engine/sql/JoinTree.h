#pragma once
// The join tree of a statement that names several tables, and the order in which
// its nested loops visit them.
//
// Every table starts linked to the next one of the FROM list. A JOIN clause joins
// its table to the table its ON condition reaches it from: the highest-numbered
// other table that one of its comparisons of two columns names (through NOT, AND
// and OR). The join takes the place of the link when that table is the one before
// and is added to that table's joins otherwise. A RIGHT OUTER JOIN is then turned
// round: the table that owns it is first made the root of the tree (each join on
// the way there turned round as well, placed among the owner's joins after the last
// one whose condition reads the table it came from), the join moves to the joined
// table as a left outer join, and the joined table swaps places with the owner
// when that was the owner's only join, or takes the owner's place otherwise. Then
// a plain link goes where its table is joined by a condition too, or is the first.
//
// The loops visit a table, then the tree of each of its joins in the order they
// stand, the last one varying fastest: the tree's preorder from the first table.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/expr/ExpTree.h"

namespace kura {

// A JOIN clause as the tree needs it: the joined table, the kind of the join and
// its ON condition, whose columns are bound to their tables' places in the FROM
// list (TExpToken::BindSlot1).
struct TJoinClauseInfo {
    size_t Joined = 0;
    uint8_t Kind = 0;  // jk* of QueryNodes.h
    const TExpToken* Condition = nullptr;
};

// The places in the FROM list of its tables (given by their correlation names) in
// the order the join tree's nested loops visit them. KURA_SQLPARSE "Internal join
// optimization error" where a join that turning a RIGHT OUTER JOIN round needs is
// not found; "... is target of multiple join conditions ..." where a table would be
// joined by two conditions.
std::vector<size_t> JoinTreeOrder(const std::vector<std::string>& names, const std::vector<TJoinClauseInfo>& clauses);

}  // namespace kura
