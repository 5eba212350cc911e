#include "engine/sql/JoinTree.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <numeric>
#include <set>

#include "engine/expr/ExpCodes.h"
#include "engine/sql/QueryNodes.h"
#include "engine/sql/QueryPlan.h"

namespace kura {

namespace {

constexpr size_t None = SIZE_MAX;

// The tables whose columns a tree reads. Sub-selects are uncorrelated.
void TablesOf(const TExpToken* node, std::set<size_t>& tables) {
    if (!node) return;
    if (node->Kind == ekColumn && node->BindSlot2 == 0 && node->BindSlot1 >= 0)
        tables.insert(static_cast<size_t>(node->BindSlot1));
    TablesOf(node->Left, tables);
    TablesOf(node->Right, tables);
    for (const TExpToken* a : node->Arguments) TablesOf(a, tables);
}

// The table from which an ON condition reaches its joined table: of a comparison
// whose sides each read one table, the side's table that is not the joined one;
// the higher of the two sides of AND and OR. None where there is none.
size_t ReachedFrom(const TExpToken* node, size_t joined) {
    if (!node) return None;
    if (node->Kind == ekUnary && node->Code == opNot) return ReachedFrom(node->Left, joined);
    if (node->Kind != ekBinary) return None;
    if (node->Code == opAnd || node->Code == opOr) {
        const size_t left = ReachedFrom(node->Left, joined), right = ReachedFrom(node->Right, joined);
        return left == None ? right : right == None ? left : std::max(left, right);
    }
    if (!IsComparisonCode(node->Code)) return None;
    std::set<size_t> left, right;
    TablesOf(node->Left, left);
    TablesOf(node->Right, right);
    if (left.size() != 1 || right.size() != 1) return None;
    size_t found = None;
    for (const size_t side : {*left.begin(), *right.begin()})
        if (side != joined && (found == None || side > found)) found = side;
    return found;
}

[[noreturn]] void RaiseOptimizationError() { RaiseSqlError("Internal join optimization error"); }

struct TTreeJoin {
    uint8_t Kind = jkLink;
    size_t Target = 0;
    std::vector<const TExpToken*> Conditions;  // AND-combined
};

class TJoinTree {
public:
    explicit TJoinTree(const std::vector<std::string>& names)
        : FNames(names), FJoins(names.size()), FPlaces(names.size()), FHangsFrom(names.size(), None) {
        std::iota(FPlaces.begin(), FPlaces.end(), size_t{0});
        for (size_t t = 0; t + 1 < FJoins.size(); ++t) {
            FJoins[t].push_back({jkLink, t + 1, {}});
            FHangsFrom[t + 1] = t;
        }
    }

    void AddJoin(size_t owner, uint8_t kind, const TExpToken* condition, size_t target) {
        for (TTreeJoin& join : FJoins[owner]) {
            if (join.Target != target || (join.Kind != kind && join.Kind != jkLink)) continue;
            join.Kind = kind;
            if (condition) join.Conditions.push_back(condition);
            return;
        }
        FJoins[owner].push_back({kind, target, {}});
        if (condition) FJoins[owner].back().Conditions.push_back(condition);
        FHangsFrom[target] = owner;
    }

    // Each table that a RIGHT OUTER JOIN joins, the first in the list first, made
    // the root with that join turned round.
    void TurnRightOuterJoins() {
        for (;;) {
            std::vector<bool> joined(FJoins.size(), false);
            for (const std::vector<TTreeJoin>& joins : FJoins)
                for (const TTreeJoin& join : joins)
                    if (join.Kind == jkRightOuter) joined[join.Target] = true;
            const auto table = std::find_if(FPlaces.begin(), FPlaces.end(), [&](size_t t) { return joined[t]; });
            if (table == FPlaces.end()) return;
            const size_t owner = FHangsFrom[*table];
            if (owner == None || FJoins[owner][HangingJoin(owner, *table)].Kind != jkRightOuter)
                RaiseOptimizationError();
            Reroot(*table);
        }
    }

    // From the last join of each table to its first: a link goes where its table is
    // joined by a condition too, or is the first table.
    void DropRedundantLinks() {
        const size_t first = FPlaces.front();
        std::vector<size_t> conditioned(FJoins.size(), 0);
        for (const std::vector<TTreeJoin>& joins : FJoins)
            for (const TTreeJoin& join : joins)
                if (!join.Conditions.empty()) ++conditioned[join.Target];
        for (const size_t table : FPlaces) {
            std::vector<TTreeJoin>& joins = FJoins[table];
            for (size_t i = joins.size(); i-- > 0;) {
                const TTreeJoin& join = joins[i];
                const bool own = !join.Conditions.empty();
                if (conditioned[join.Target] > (own ? 1u : 0u)) {
                    if (own)
                        RaiseSqlError("Internal join error - table correlation name \"" + FNames[join.Target] +
                                      "\" is target of multiple join conditions in WHERE or JOIN clause");
                    joins.erase(joins.begin() + static_cast<std::ptrdiff_t>(i));
                } else if (!own && join.Target == first) {
                    joins.erase(joins.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
        }
    }

    // A table, then the tree of each of its joins in turn, from the first table.
    std::vector<size_t> Preorder() const {
        std::vector<size_t> order;
        std::vector<bool> seen(FJoins.size(), false);
        const std::function<void(size_t)> visit = [&](size_t table) {
            if (seen[table]) return;
            seen[table] = true;
            order.push_back(table);
            for (const TTreeJoin& join : FJoins[table]) visit(join.Target);
        };
        for (const size_t table : FPlaces) visit(table);
        return order;
    }

private:
    // The place among the owner's joins of the one the table hangs by: a join with
    // a condition rather than a link that one took over from.
    size_t HangingJoin(size_t owner, size_t table) const {
        const std::vector<TTreeJoin>& joins = FJoins[owner];
        size_t found = None;
        for (size_t i = 0; i < joins.size(); ++i)
            if (joins[i].Target == table && (found == None || !joins[i].Conditions.empty())) found = i;
        if (found == None) RaiseOptimizationError();
        return found;
    }

    bool Reads(const TTreeJoin& join, size_t table) const {
        return std::any_of(join.Conditions.begin(), join.Conditions.end(), [&](const TExpToken* condition) {
            std::set<size_t> tables;
            TablesOf(condition, tables);
            return tables.count(table) > 0;
        });
    }

    // The join the table hangs by turned round, its owner made the root first.
    void Reroot(size_t table) {
        const size_t owner = FHangsFrom[table];
        if (owner == None) RaiseOptimizationError();
        if (FHangsFrom[owner] != None) Reroot(owner);
        const size_t index = HangingJoin(owner, table);
        std::vector<TTreeJoin>& from = FJoins[owner];
        TTreeJoin join = std::move(from[index]);
        const size_t ownerJoins = from.size();
        from.erase(from.begin() + static_cast<std::ptrdiff_t>(index));
        std::vector<TTreeJoin>& to = FJoins[table];
        size_t at = 0;
        for (size_t i = 0; i < to.size(); ++i)
            if (Reads(to[i], owner)) at = i + 1;
        join.Target = owner;
        if (join.Kind == jkRightOuter) join.Kind = jkLeftOuter;
        to.insert(to.begin() + static_cast<std::ptrdiff_t>(at), std::move(join));
        FHangsFrom[owner] = table;
        FHangsFrom[table] = None;
        const auto ownerPlace = std::find(FPlaces.begin(), FPlaces.end(), owner);
        const auto tablePlace = std::find(FPlaces.begin(), FPlaces.end(), table);
        if (ownerPlace == FPlaces.end() || tablePlace == FPlaces.end()) RaiseOptimizationError();
        if (ownerJoins == 1) {
            std::iter_swap(ownerPlace, tablePlace);
        } else {
            FPlaces.erase(tablePlace);
            FPlaces.insert(std::find(FPlaces.begin(), FPlaces.end(), owner), table);
        }
    }

    const std::vector<std::string>& FNames;
    std::vector<std::vector<TTreeJoin>> FJoins;  // by place in the FROM list
    std::vector<size_t> FPlaces;                 // the tables in their current order
    // The owner of the join each table hangs by in the tree (None for the root):
    // the link from the table before, until a join with a condition takes it.
    std::vector<size_t> FHangsFrom;
};

}  // namespace

std::vector<size_t> JoinTreeOrder(const std::vector<std::string>& names, const std::vector<TJoinClauseInfo>& clauses) {
    if (names.empty()) return {};
    TJoinTree tree(names);
    for (const TJoinClauseInfo& clause : clauses) {
        if (clause.Joined == 0 || clause.Joined >= names.size()) continue;
        size_t from = ReachedFrom(clause.Condition, clause.Joined);
        if (from == None || from >= clause.Joined) {
            // No comparison reaches the table from an earlier one (a constant, a
            // later table): it hangs by the highest earlier table the condition
            // reads, or takes the link from the table before.
            std::set<size_t> named;
            TablesOf(clause.Condition, named);
            const auto below = named.lower_bound(clause.Joined);
            from = below == named.begin() ? clause.Joined - 1 : *std::prev(below);
        }
        tree.AddJoin(from, clause.Kind, clause.Condition, clause.Joined);
    }
    tree.TurnRightOuterJoins();
    tree.DropRedundantLinks();
    return tree.Preorder();
}

}  // namespace kura
