// The order of the nested-loop levels of a joined statement and the placement of
// the JOIN and WHERE conjuncts on them.
//
// The levels run in the order of the join tree's nested loops (JoinTree.h), where
// "x RIGHT OUTER JOIN t ON c" is turned round into "t LEFT OUTER JOIN x ON c": t
// first, then the table of x that owns the join, then the tables that one was
// joined to. The levels joined before t form one left outer group under it, which
// yields complete rows for a record of t or one null row in all its levels; a
// plain LEFT OUTER JOIN is a group of one level. A group's levels follow each
// other, led by one of its own, after every level its join conditions read: where
// the tree's order has it otherwise (a LEFT OUTER JOIN that turning a later RIGHT
// OUTER JOIN round would put before the table it is outer to, a table the tree
// puts between a group's levels), the group's levels come together at the place
// of its first, each after what it reads, in the tree's order as far as that
// allows. Where no order can (two groups whose joins read each other's tables),
// the levels keep the FROM order with each RIGHT OUTER JOIN's table put before
// the levels joined so far.
//
// A conjunct is decided on the deepest level it refers to, so that a record that
// cannot lead to a result row is dropped as early as possible, provided that level
// belongs to the same group as the join the conjunct came from (WHERE and inner
// joins outside any group belong to none). Otherwise a WHERE conjunct waits for
// the whole joined row (the null rows of the groups must be formed before it is
// tested) and an ON conjunct of a group waits until its group is complete.
// An equality of a column with a value known before its level starts ("b.k =
// a.k", "k = 5") lets an index whose first field is that column restrict the level
// to a key range, or, for a join on a non-text column, an in-memory copy of the
// level keyed by that column.
//
// Before a joined SELECT runs, the level that reads the fewest records through
// its index-answered conditions may become the first level (ChooseDrivingTable);
// only levels before the first outer group move, which keeps every result row.
#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <utility>

#include "engine/core/DataCursor.h"
#include "engine/core/Filters.h"
#include "engine/expr/TypeCheck.h"
#include "engine/files/IndexFile.h"
#include "engine/sql/JoinTree.h"
#include "engine/sql/QueryPlan.h"
#include "engine/sql/SourceTable.h"

namespace kura {

bool IsSourceColumn(const TExpToken* node) {
    return node->Kind == ekColumn && node->BindSlot2 == 0 && node->BindSlot1 >= 0;
}

// Highest level a tree refers to; -1 for none.
int32_t DeepestLevel(const TExpToken* node) {
    if (!node) return -1;
    int32_t level = IsSourceColumn(node) ? node->BindSlot1 : -1;
    level = std::max({level, DeepestLevel(node->Left), DeepestLevel(node->Right)});
    for (const TExpToken* a : node->Arguments) level = std::max(level, DeepestLevel(a));
    return level;
}

bool HasSubSelect(const TExpToken* node) {
    if (!node) return false;
    if (node->Kind == ekSubSelect) return true;
    if (HasSubSelect(node->Left) || HasSubSelect(node->Right)) return true;
    return std::any_of(node->Arguments.begin(), node->Arguments.end(), HasSubSelect);
}

namespace {

// Levels a tree refers to. Sub-selects are uncorrelated.
void CollectLevels(const TExpToken* node, std::set<int32_t>& levels) {
    if (!node) return;
    if (IsSourceColumn(node)) levels.insert(node->BindSlot1);
    CollectLevels(node->Left, levels);
    CollectLevels(node->Right, levels);
    for (const TExpToken* a : node->Arguments) CollectLevels(a, levels);
}

// Lowest level a tree refers to; INT32_MAX for none.
int32_t ShallowestLevel(const TExpToken* node) {
    if (!node) return INT32_MAX;
    int32_t level = IsSourceColumn(node) ? node->BindSlot1 : INT32_MAX;
    level = std::min({level, ShallowestLevel(node->Left), ShallowestLevel(node->Right)});
    for (const TExpToken* a : node->Arguments) level = std::min(level, ShallowestLevel(a));
    return level;
}

void SplitConjuncts(TExpToken* node, std::vector<TExpToken*>& out) {
    if (node && node->Kind == ekBinary && node->Code == opAnd) {
        SplitConjuncts(node->Left, out);
        SplitConjuncts(node->Right, out);
        return;
    }
    if (node) out.push_back(node);
}

// A comparison of one table's columns with another's: it joins the two tables.
bool IsJoinComparison(const TExpToken* node) {
    if (node->Kind != ekBinary || !IsComparisonCode(node->Code)) return false;
    std::set<int32_t> left, right;
    CollectLevels(node->Left, left);
    CollectLevels(node->Right, right);
    return left.size() == 1 && right.size() == 1 && *left.begin() != *right.begin();
}

void RemapLevels(TExpToken* node, const std::vector<int32_t>& newLevel) {
    if (!node) return;
    if (IsSourceColumn(node) && static_cast<size_t>(node->BindSlot1) < newLevel.size())
        node->BindSlot1 = newLevel[static_cast<size_t>(node->BindSlot1)];
    RemapLevels(node->Left, newLevel);
    RemapLevels(node->Right, newLevel);
    for (TExpToken* a : node->Arguments) RemapLevels(a, newLevel);
}

}  // namespace

// The number of the index whose first key field is fieldNo; 255 for none.
uint8_t IndexOnField(TDataCursor& cursor, uint16_t fieldNo) {
    const uint8_t count = cursor.GetIndexCount();
    for (uint16_t slot = 0; slot <= count && slot < 32; ++slot) {
        TIndexDesc desc;
        cursor.GetIndexDesc(static_cast<uint8_t>(slot), desc);
        if (desc.GetFieldCount() > 0 && desc.GetField(0) == fieldNo) return static_cast<uint8_t>(slot);
    }
    return 255;
}

int32_t TQueryPlan::LevelOf(const TSourceTable* source) const {
    for (size_t i = 0; i < Tables.size(); ++i)
        if (Tables[i].Source == source) return static_cast<int32_t>(i);
    return -1;
}

void TQueryPlan::PlanJoins() {
    const char* joinContext = "WHERE or JOIN clause";
    Conjuncts.clear();
    RightGroups.clear();
    for (const auto& join : Query.Joins) {
        if (FindTable(join->Table->CorrelationName) < 0)
            RaiseSqlError("Internal join error attempting to validate table correlation names involved in join");
        if (!join->Condition) continue;
        TypeCheck(join->Condition, joinContext, false, true);
        if (join->Condition->DataType != fldBOOL) RaiseSqlError("WHERE or JOIN clause must be a boolean expression");
        std::vector<TExpToken*> parts;
        SplitConjuncts(join->Condition, parts);
        for (TExpToken* part : parts) Conjuncts.push_back({part, join->Table, join->Kind});
    }
    if (Query.Where) {
        TypeCheck(Query.Where, joinContext, false, true);
        if (Query.Where->DataType != fldBOOL) RaiseSqlError("WHERE or JOIN clause must be a boolean expression");
        std::vector<TExpToken*> parts;
        SplitConjuncts(Query.Where, parts);
        for (TExpToken* part : parts) Conjuncts.push_back({part, nullptr, jkLink});
    }
    ArrangeLevels();
    PlaceConditions();
}

namespace {

// A left outer group: the table of a LEFT OUTER JOIN, or the tables joined before
// the table of a RIGHT OUTER JOIN.
struct TOuterGroup {
    TOuterGroup(std::vector<size_t> members, size_t tables, const TSourceTable* joined, uint8_t kind)
        : Members(std::move(members)), In(tables, false), Joined(joined), Kind(kind) {
        for (const size_t t : Members) In[t] = true;
    }
    std::vector<size_t> Members;  // places in the FROM list
    std::vector<bool> In;         // by place
    const TSourceTable* Joined = nullptr;
    uint8_t Kind = jkLeftOuter;
    // Tables outside the group that the join conditions of its tables read: they
    // come before it.
    std::set<size_t> Reads;
    bool Holds(size_t table) const { return In[table]; }
    bool Within(const TOuterGroup& other) const {
        return other.Holds(Members.front()) && other.Members.size() >= Members.size();
    }
};

// The smallest group that holds the table; -1 for none.
int32_t InnermostGroup(const std::vector<TOuterGroup>& groups, size_t table) {
    int32_t found = -1;
    for (size_t g = 0; g < groups.size(); ++g)
        if (groups[g].Holds(table) &&
            (found < 0 || groups[g].Members.size() < groups[static_cast<size_t>(found)].Members.size()))
            found = static_cast<int32_t>(g);
    return found;
}

// The levels in the join tree's order as far as the groups allow: each group's
// levels follow each other, led by a level of its own (not by a group inside it),
// and after every table its join conditions read outside it. Among what may come
// next, what the tree visits first comes first. False where nothing may (the
// groups' conditions read each other's tables).
bool FitGroups(const std::vector<TOuterGroup>& groups, std::vector<size_t>& order) {
    const size_t n = order.size();
    std::vector<size_t> rank(n);
    for (size_t i = 0; i < n; ++i) rank[order[i]] = i;
    std::vector<int32_t> innermost(n), parent(groups.size(), -1);
    for (size_t t = 0; t < n; ++t) innermost[t] = InnermostGroup(groups, t);
    for (size_t g = 0; g < groups.size(); ++g)
        for (size_t h = 0; h < groups.size(); ++h)
            if (h != g && groups[g].Within(groups[h]) && groups[h].Members.size() > groups[g].Members.size() &&
                (parent[g] < 0 || groups[h].Members.size() < groups[static_cast<size_t>(parent[g])].Members.size()))
                parent[g] = static_cast<int32_t>(h);
    std::vector<bool> placed(n, false);
    std::vector<size_t> fitted;
    struct TElement {
        int32_t Group = -1;  // or a table of the scope's own
        size_t Table = 0;
        size_t Rank = 0;
    };
    const std::function<bool(int32_t)> arrange = [&](int32_t scope) {
        std::vector<TElement> elements;
        for (size_t t = 0; t < n; ++t)
            if (innermost[t] == scope) elements.push_back({-1, t, rank[t]});
        for (size_t g = 0; g < groups.size(); ++g) {
            if (parent[g] != scope) continue;
            size_t first = n;
            for (const size_t t : groups[g].Members) first = std::min(first, rank[t]);
            elements.push_back({static_cast<int32_t>(g), 0, first});
        }
        const size_t start = fitted.size();
        while (!elements.empty()) {
            size_t best = elements.size();
            for (size_t e = 0; e < elements.size(); ++e) {
                const TElement& element = elements[e];
                if (element.Group >= 0) {
                    if (scope >= 0 && fitted.size() == start) continue;
                    const std::set<size_t>& reads = groups[static_cast<size_t>(element.Group)].Reads;
                    if (std::any_of(reads.begin(), reads.end(), [&](size_t t) { return !placed[t]; })) continue;
                }
                if (best == elements.size() || element.Rank < elements[best].Rank) best = e;
            }
            if (best == elements.size()) return false;
            const TElement element = elements[best];
            elements.erase(elements.begin() + static_cast<std::ptrdiff_t>(best));
            if (element.Group >= 0) {
                if (!arrange(element.Group)) return false;
                continue;
            }
            fitted.push_back(element.Table);
            placed[element.Table] = true;
        }
        return true;
    };
    if (!arrange(-1)) return false;
    order = std::move(fitted);
    return true;
}

}  // namespace

void TQueryPlan::ArrangeLevels() {
    const size_t n = Tables.size();
    for (TPlanTable& t : Tables) {
        t.JoinKind = jkLink;
        t.GroupSize = 0;
    }
    // The groups, and the FROM list with each RIGHT OUTER JOIN's table put before
    // the tables joined earlier: an order every group fits.
    std::vector<TOuterGroup> groups;
    std::vector<size_t> listed;
    for (size_t k = 0; k < n; ++k) {
        uint8_t kind = jkLink;
        const TJoinExpression* joined = nullptr;
        for (const auto& join : Query.Joins) {
            if (join->Table != Tables[k].Source) continue;
            kind = join->Kind;
            joined = join.get();
        }
        Tables[k].JoinKind = kind == jkRightOuter ? jkLink : kind;
        if (kind == jkLeftOuter) groups.emplace_back(std::vector<size_t>{k}, n, Tables[k].Source, jkLeftOuter);
        if (kind != jkRightOuter || listed.empty()) {
            listed.push_back(k);
            continue;
        }
        // In UPDATE and DELETE the first table stays the driving one: it may not
        // own a RIGHT OUTER JOIN (be the highest table its ON condition names).
        if (Query.Kind == skUpdate || Query.Kind == skDelete) {
            std::set<int32_t> named;
            CollectLevels(joined->Condition, named);
            named.erase(static_cast<int32_t>(k));
            if (named.empty() || *named.rbegin() == 0)
                RaiseSqlError("Internal join error - table correlation name \"" + joined->Table->CorrelationName +
                              "\" cannot be the target of a RIGHT OUTER JOIN");
        }
        groups.emplace_back(listed, n, Tables[k].Source, jkRightOuter);
        listed.insert(listed.begin(), k);
    }
    // What each group's join conditions read outside it.
    for (const TConjunct& c : Conjuncts) {
        if (c.Kind == jkLink) continue;
        int32_t owner = -1;
        const int32_t joined = LevelOf(c.Join);
        if (c.Kind == jkInner) {
            if (joined >= 0) owner = InnermostGroup(groups, static_cast<size_t>(joined));
        } else {
            for (size_t g = 0; g < groups.size(); ++g)
                if (groups[g].Joined == c.Join && groups[g].Kind == c.Kind) owner = static_cast<int32_t>(g);
        }
        if (owner < 0) continue;
        std::set<int32_t> levels;
        CollectLevels(c.Node, levels);
        const TOuterGroup& own = groups[static_cast<size_t>(owner)];
        for (TOuterGroup& g : groups) {
            if (!own.Within(g)) continue;
            for (const int32_t level : levels)
                if (level >= 0 && static_cast<size_t>(level) < n && !g.Holds(static_cast<size_t>(level)))
                    g.Reads.insert(static_cast<size_t>(level));
        }
    }
    // The order of the join tree's nested loops; where it would break a group up or
    // put a group before a table its conditions read, the groups' own order.
    std::vector<std::string> names(n);
    for (size_t k = 0; k < n; ++k) names[k] = Tables[k].Source->CorrelationName;
    std::vector<TJoinClauseInfo> clauses;
    for (const auto& join : Query.Joins) {
        const int32_t k = LevelOf(join->Table);
        if (k >= 0) clauses.push_back({static_cast<size_t>(k), join->Kind, join->Condition});
    }
    std::vector<size_t> order = JoinTreeOrder(names, clauses);
    if (order.size() != n || !FitGroups(groups, order)) order = listed;
    std::vector<size_t> position(n);
    for (size_t i = 0; i < n; ++i) position[order[i]] = i;
    for (const TOuterGroup& g : groups) {
        const size_t head = *std::min_element(g.Members.begin(), g.Members.end(),
                                              [&](size_t a, size_t b) { return position[a] < position[b]; });
        Tables[head].GroupSize = std::max(Tables[head].GroupSize, g.Members.size());
        Tables[head].JoinKind = jkLeftOuter;
        if (g.Kind == jkRightOuter) RightGroups.emplace_back(g.Joined, Tables[head].Source);
    }
    Reorder(order);
}

void TQueryPlan::Reorder(const std::vector<size_t>& order) {
    const size_t n = Tables.size();
    std::vector<int32_t> newLevel(n, -1);
    std::vector<TPlanTable> moved;
    moved.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        newLevel[order[i]] = static_cast<int32_t>(i);
        moved.push_back(std::move(Tables[order[i]]));
    }
    Tables = std::move(moved);
    for (size_t i = 0; i < n; ++i) Tables[i].Source->TableNumber = static_cast<uint16_t>(i + 1);
    for (const auto& field : Query.ResultFields) RemapLevels(field->Expression, newLevel);
    for (const auto& join : Query.Joins) RemapLevels(join->Condition, newLevel);
    RemapLevels(Query.Where, newLevel);
    for (const auto& value : Query.UpdateValues) RemapLevels(value->Expression, newLevel);
    for (TPlanColumn& c : Columns)
        if (c.SourceLevel >= 0) c.SourceLevel = newLevel[static_cast<size_t>(c.SourceLevel)];
}

void TQueryPlan::PlaceConditions() {
    const size_t n = Tables.size();
    Residual.clear();
    for (size_t i = 0; i < n; ++i) {
        TPlanTable& t = Tables[i];
        t.Conditions.clear();
        t.AtRestart.clear();
        t.GroupConditions.clear();
        t.LocalConditions.clear();
        t.Completes.clear();
        t.GroupEnd = i + (t.GroupSize > 0 ? t.GroupSize - 1 : 0);
        t.Enclosing = -1;
        if (t.RangeActive) t.Cursor->ResetRange();
        t.RangeActive = false;
        t.RangeIndex = 255;
        t.RangeField = 0;
        t.RangeValue = nullptr;
        t.RangeExact = false;
        t.Seek = t.SeekPending = false;
        t.Cursor->BoundReadAhead(nullptr, 0);
        t.HashColumn = t.HashValue = nullptr;
        t.HashCondition = nullptr;
        t.HashBuilt = false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (Tables[i].GroupSize == 0) continue;
        Tables[Tables[i].GroupEnd].Completes.push_back(i);
        for (size_t x = i + 1; x <= Tables[i].GroupEnd; ++x) Tables[x].Enclosing = static_cast<int32_t>(i);
    }
    for (TPlanTable& t : Tables) std::sort(t.Completes.rbegin(), t.Completes.rend());
    // The head of the innermost group that holds the level; -1 for none.
    auto innermost = [&](int32_t level) -> int32_t {
        if (level < 0) return -1;
        const TPlanTable& t = Tables[static_cast<size_t>(level)];
        return t.GroupSize > 0 ? level : t.Enclosing;
    };
    // UPDATE changes its target's record as the joined rows are applied, so where
    // a conjunct that reads the target is decided tells which record it sees. A
    // comparison joining a level to the target (and an outer join's ON conjunct on
    // the tables before it) is decided with the record as it was when the level
    // restarted; any other conjunct that reads the target and another table is
    // decided on the record as it is: one of an ON clause whenever the joined
    // table reads a record, one of WHERE on each joined row.
    const int32_t target = Query.Kind == skUpdate ? LevelOf(Query.FirstSourceTable()) : -1;
    for (const TConjunct& c : Conjuncts) {
        int32_t owner = -1;
        if (c.Kind == jkLeftOuter || c.Kind == jkInner) {
            const int32_t level = LevelOf(c.Join);
            owner = c.Kind == jkLeftOuter ? level : innermost(level);
        } else if (c.Kind == jkRightOuter) {
            for (const auto& [preserved, head] : RightGroups)
                if (preserved == c.Join) owner = LevelOf(head);
        }
        int32_t q = std::max({DeepestLevel(c.Node), owner, 0});
        std::set<int32_t> levels;
        if (target >= 0) CollectLevels(c.Node, levels);
        const bool readsTarget = levels.count(target) > 0;
        const bool joins = IsJoinComparison(c.Node);
        const bool asItIs = readsTarget && levels.size() > 1 && !joins;
        if (asItIs && c.Kind == jkLink) {
            Residual.push_back(c.Node);
            continue;
        }
        if (asItIs && c.Kind != jkRightOuter) q = std::max(q, LevelOf(c.Join));
        if (owner >= 0 && static_cast<size_t>(q) > Tables[static_cast<size_t>(owner)].GroupEnd) {
            Residual.push_back(c.Node);
        } else if (innermost(q) == owner) {
            Tables[static_cast<size_t>(q)].Conditions.push_back(c.Node);
            if (readsTarget && q != target && !asItIs) Tables[static_cast<size_t>(q)].AtRestart.push_back(c.Node);
        } else if (owner < 0) {
            Residual.push_back(c.Node);
        } else {
            Tables[static_cast<size_t>(owner)].GroupConditions.push_back(c.Node);
        }
    }
    // Index ranges and in-memory keys for equalities.
    for (size_t level = 0; level < n; ++level) {
        TPlanTable& t = Tables[level];
        for (TExpToken* c : t.Conditions) {
            if (c->Kind != ekBinary || c->Code != opEqual || !c->Left || !c->Right) continue;
            for (int side = 0; side < 2; ++side) {
                TExpToken* column = side == 0 ? c->Left : c->Right;
                TExpToken* value = side == 0 ? c->Right : c->Left;
                if (!IsSourceColumn(column) || column->BindSlot1 != static_cast<int32_t>(level)) continue;
                if (DeepestLevel(value) >= static_cast<int32_t>(level) || HasSubSelect(value)) continue;
                if (value->DataType != column->DataType || column->DataType == fldBLOB) continue;
                // A join on a non-text column: one pass over the level per execution
                // instead of one index descent per outer row.
                const uint32_t records = t.Cursor->GetRecordCount();
                const uint64_t bytes = static_cast<uint64_t>(records) * t.Buffer.size();
                // Few outer rows over a large indexed table: a key range per row
                // reads less than a copy of the whole table. A range costs about as
                // much as copying 60 to 80 records (measured), hence the factor.
                const bool fewOuterRows = OuterRowsEstimate != UINT32_MAX &&
                                          static_cast<uint64_t>(OuterRowsEstimate) * 64 < records &&
                                          IndexOnField(*t.Cursor, column->FieldNumber) != 255;
                if (!t.HashColumn && level > 0 && DeepestLevel(value) >= 0 && column->DataType != fldZSTRING &&
                    bytes <= MaxHashJoinBytes && !fewOuterRows) {
                    t.HashColumn = column;
                    t.HashValue = value;
                    const uint8_t type = column->DataType;
                    if (type == fldINT16 || type == fldINT32 || type == fldUINT16 || type == fldINT64 ||
                        type == fldDATE || type == fldTIME)
                        t.HashCondition = c;
                    continue;
                }
                const uint8_t index = IndexOnField(*t.Cursor, column->FieldNumber);
                if (index == 255) continue;
                t.RangeIndex = index;
                t.RangeField = column->FieldNumber;
                t.RangeValue = value;
                // Strings may compare without case in the index: the condition
                // is still tested on each record.
                t.RangeExact = t.Conditions.size() == 1 && column->DataType != fldZSTRING &&
                               column->DataType != fldFLOAT && column->DataType != fldTIMESTAMP;
                // Values whose stored bytes are equal exactly when the values are.
                TFieldDesc field;
                t.Cursor->GetFieldDesc(column->FieldNumber, field);
                const uint8_t type = field.FieldType();
                t.Seek = level > 0 && !field.IsAutoInc() && field.Computed() == 0 &&
                         (type == fldINT16 || type == fldINT32 || type == fldUINT16 || type == fldINT64 ||
                          type == fldDATE || type == fldTIME);
                t.SeekOffset = field.Offset();
                t.SeekSize = static_cast<uint16_t>(field.StoredSize() + 1u);
                break;
            }
            if (t.RangeIndex != 255) break;
        }
        if (t.HashColumn) {
            t.RangeValue = nullptr;
            t.RangeIndex = 255;
            for (TExpToken* c : t.Conditions)
                if (ShallowestLevel(c) == static_cast<int32_t>(level) && !HasSubSelect(c)) t.LocalConditions.push_back(c);
        }
        t.Cursor->SwitchToIndex(t.RangeIndex);
    }
}

uint32_t TQueryPlan::FilteredCount(size_t level) {
    TDataCursor& cursor = *Tables[level].Cursor;
    cursor.DropFilter(nullptr);
    cursor.SwitchToIndex(255);
    TCursorFilterOptions options;
    options.StatisticsAllowed = true;
    uint32_t count = 0;
    try {
        for (const TConjunct& c : Conjuncts) {
            if (c.Kind != jkLink && c.Kind != jkInner) continue;
            std::set<int32_t> levels;
            CollectLevels(c.Node, levels);
            if (levels.size() != 1 || *levels.begin() != static_cast<int32_t>(level) || HasSubSelect(c.Node)) continue;
            // A cursor full of filters counts with those it has: an estimate.
            if (!FiltersFit(cursor, 1)) break;
            // Only what the indexes answer: the others would read every record.
            TFilter* filter = cursor.AddFilter(CopyExpression(c.Node), true, options);
            if (filter->OptimizeLevel == 2)
                cursor.ActivateFilter(filter);
            else
                cursor.DropFilter(filter);
        }
        count = cursor.GetRecordCount();
    } catch (...) {
        cursor.DropFilter(nullptr);
        cursor.SwitchToIndex(Tables[level].RangeIndex);
        throw;
    }
    cursor.DropFilter(nullptr);
    cursor.SwitchToIndex(Tables[level].RangeIndex);
    return count;
}

void TQueryPlan::ChooseDrivingTable() {
    if (Query.NoJoinOptimize || Query.Kind != skSelect) return;
    // The levels before the first outer group may take any order.
    size_t movable = 0;
    while (movable < Tables.size() && Tables[movable].GroupSize == 0) ++movable;
    if (movable < 2) return;
    std::vector<uint32_t> counts(movable);
    for (size_t i = 0; i < movable; ++i) counts[i] = FilteredCount(i);
    const size_t best = static_cast<size_t>(std::min_element(counts.begin(), counts.end()) - counts.begin());
    if (best == 0 || counts[best] >= counts[0]) return;
    // From the new first level, each next level is the first (in the current
    // order) that a conjunct joins to the levels placed so far, so that it can be
    // read through a key range or an in-memory key.
    std::vector<size_t> order{best};
    std::vector<bool> placed(Tables.size(), false);
    placed[best] = true;
    while (order.size() < movable) {
        size_t next = movable;
        for (size_t j = 0; j < movable && next == movable; ++j) {
            if (placed[j]) continue;
            for (const TConjunct& c : Conjuncts) {
                std::set<int32_t> levels;
                CollectLevels(c.Node, levels);
                if (!levels.count(static_cast<int32_t>(j))) continue;
                const bool joined = std::all_of(levels.begin(), levels.end(), [&](int32_t l) {
                    return l == static_cast<int32_t>(j) || (static_cast<size_t>(l) < placed.size() && placed[static_cast<size_t>(l)]);
                });
                if (joined && levels.size() > 1) {
                    next = j;
                    break;
                }
            }
        }
        if (next == movable)
            for (size_t j = 0; j < movable && next == movable; ++j)
                if (!placed[j]) next = j;
        placed[next] = true;
        order.push_back(next);
    }
    for (size_t i = movable; i < Tables.size(); ++i) order.push_back(i);
    OuterRowsEstimate = counts[best];
    Reorder(order);
    PlaceConditions();
}

}  // namespace kura
