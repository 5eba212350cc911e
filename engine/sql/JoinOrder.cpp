// The order of the nested-loop levels of a joined statement and the placement of
// the JOIN and WHERE conjuncts on them.
//
// Levels start in FROM order. "x RIGHT OUTER JOIN t ON c" is "t LEFT OUTER JOIN x
// ON c": t moves before every level joined so far, and those levels become one
// left outer group under it, which yields complete rows for a record of t or one
// null row in all its levels. A plain LEFT OUTER JOIN is a group of one level.
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
#include <set>

#include "engine/core/DataCursor.h"
#include "engine/core/Filters.h"
#include "engine/expr/TypeCheck.h"
#include "engine/files/IndexFile.h"
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

void TQueryPlan::ArrangeLevels() {
    const size_t n = Tables.size();
    for (TPlanTable& t : Tables) {
        t.JoinKind = jkLink;
        t.GroupSize = 0;
    }
    // Levels as FROM positions; groups as (head's FROM position, size).
    std::vector<size_t> order;
    std::vector<std::pair<size_t, size_t>> groups;
    for (size_t k = 0; k < n; ++k) {
        uint8_t kind = jkLink;
        const TJoinExpression* joined = nullptr;
        for (const auto& join : Query.Joins) {
            if (join->Table != Tables[k].Source) continue;
            kind = join->Kind;
            joined = join.get();
        }
        if (kind != jkRightOuter || order.empty()) {
            if (kind == jkLeftOuter) groups.emplace_back(k, 1);
            Tables[k].JoinKind = kind == jkRightOuter ? jkLink : kind;
            order.push_back(k);
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
        groups.emplace_back(order.front(), order.size());
        RightGroups.emplace_back(Tables[k].Source, Tables[order.front()].Source);
        Tables[order.front()].JoinKind = jkLeftOuter;
        Tables[k].JoinKind = jkLink;
        order.insert(order.begin(), k);
    }
    for (const auto& [head, size] : groups) Tables[head].GroupSize = std::max(Tables[head].GroupSize, size);
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
