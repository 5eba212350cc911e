// The two passes over a filter tree: the analysis that marks what indexes can
// answer and what it costs, and the evaluation that builds the filter's set from
// key-range scans, set operations and, for the rest, the records themselves.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/DataTable.h"
#include "engine/core/FilterLeaf.h"
#include "engine/core/Filters.h"
#include "engine/expr/Evaluate.h"
#include "engine/expr/ExpCodes.h"
#include "engine/expr/ExpTree.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/Locale.h"

namespace kura {

namespace {

using TInfoMap = std::unordered_map<const TExpToken*, TFilterNodeInfo>;

bool IsAndOr(const TExpToken* node) {
    return node && node->Kind == ekBinary && (node->Code == opAnd || node->Code == opOr);
}

bool IsPassThrough(const TExpToken* node) {
    return node && node->Kind == ekUnary && (node->Code == opNot || node->Code == opNegate || node->Code == opPlus);
}

int32_t AddCosts(int32_t a, int32_t b) {
    if (a < 0 || b < 0) return -1;
    return static_cast<int32_t>(std::min<int64_t>(int64_t{a} + b, INT32_MAX));
}

bool IsAnd(const TExpToken* node) { return node && node->Kind == ekBinary && node->Code == opAnd; }

// The terms of the AND chain under node, in tree order.
void CollectTerms(const TExpToken* node, std::vector<const TExpToken*>& terms) {
    if (!IsAnd(node)) {
        terms.push_back(node);
        return;
    }
    CollectTerms(node->Left, terms);
    CollectTerms(node->Right, terms);
}

// The leaves of a range group's terms.
std::vector<TLeafCondition> GroupLeaves(TDataCursor& cursor, const TRangeGroup& group) {
    std::vector<TLeafCondition> leaves(group.Terms.size());
    for (std::size_t i = 0; i < leaves.size(); ++i) RecogniseLeaf(cursor, group.Terms[i], leaves[i]);
    return leaves;
}

struct TAnalysis {
    TDataCursor& Cursor;
    bool Estimate;
    bool Selectivity;
    TInfoMap& Info;
    std::vector<TRangeGroup>& Groups;
    std::unordered_map<const TExpToken*, int32_t> GroupOf;
    // Each group's range counted once for all its terms.
    struct TCount {
        bool Done = false;
        bool Aborted = false;
        int32_t Keys = 0;
    };
    std::vector<TCount> GroupKeys;

    // The terms of the chain that bound ranges of one index, two or more of them,
    // become a group.
    void FormGroups(const TExpToken* chain) {
        std::vector<const TExpToken*> terms;
        CollectTerms(chain, terms);
        std::unordered_map<uint8_t, TRangeGroup> byIndex;
        std::vector<uint8_t> order;
        for (const TExpToken* term : terms) {
            TLeafCondition leaf;
            if (!RecogniseLeaf(Cursor, term, leaf) || !BoundsOneRange(leaf)) continue;
            TRangeGroup& group = byIndex[leaf.IndexNo];
            if (group.Terms.empty()) order.push_back(leaf.IndexNo);
            group.Terms.push_back(term);
        }
        for (const uint8_t index : order) {
            TRangeGroup& group = byIndex[index];
            if (group.Terms.size() < 2) continue;
            for (const TExpToken* term : group.Terms) GroupOf[term] = static_cast<int32_t>(Groups.size());
            Groups.push_back(std::move(group));
            GroupKeys.emplace_back();
        }
    }

    int32_t CountKeys(const TLeafCondition& leaf, int32_t group, bool& aborted) {
        if (group < 0) return EstimateLeafKeys(Cursor, leaf, aborted);
        TCount& count = GroupKeys[static_cast<std::size_t>(group)];
        if (!count.Done) {
            count.Keys = EstimateRangeKeys(Cursor, GroupLeaves(Cursor, Groups[static_cast<std::size_t>(group)]),
                                           count.Aborted);
            count.Done = true;
        }
        aborted = count.Aborted;
        return count.Keys;
    }

    uint8_t Visit(TExpToken* node, bool inChain = false) {
        TFilterNodeInfo& info = Info[node];
        info = TFilterNodeInfo{};
        if (IsPassThrough(node)) {
            const uint8_t level = Visit(node->Left);
            const TFilterNodeInfo& arg = Info[node->Left];
            TFilterNodeInfo& self = Info[node];
            self.Level = level;
            self.Cost = arg.Cost;
            self.KeyCount = arg.KeyCount;
            return level;
        }
        if (IsAndOr(node)) return VisitAndOr(node, inChain);
        TLeafCondition leaf;
        if (!RecogniseLeaf(Cursor, node, leaf)) return 0;
        TFilterNodeInfo& self = Info[node];
        self.Level = 2;
        const auto group = GroupOf.find(node);
        if (group != GroupOf.end()) self.Group = group->second;
        if (!Estimate || leaf.Kind == TLeafKind::TextSearch) return 2;
        bool aborted = false;
        const int32_t count = CountKeys(leaf, self.Group, aborted);
        if (aborted) return 2;  // no estimate: the scan still pays
        TIndexDesc desc;
        Cursor.GetIndexDesc(leaf.IndexNo, desc);
        self.KeyCount = count;
        self.Cost = static_cast<int32_t>(std::min<int64_t>(int64_t{desc.GetKeySize()} * std::max(count, 0), INT32_MAX));
        if (Selectivity) {
            const int64_t limit = static_cast<int64_t>(0.9 * static_cast<double>(Cursor.GetTableRecordCount()));
            if (count > limit) {
                self.Level = 0;
                self.NotSelective = true;
            }
        }
        return self.Level;
    }

    uint8_t VisitAndOr(TExpToken* node, bool inChain) {
        const bool isAnd = node->Code == opAnd;
        if (isAnd && !inChain) FormGroups(node);
        uint8_t left = Visit(node->Left, isAnd);
        uint8_t right = Visit(node->Right, isAnd);
        TFilterNodeInfo& l = Info[node->Left];
        TFilterNodeInfo& r = Info[node->Right];
        TFilterNodeInfo& self = Info[node];
        if (l.KeyCount >= 0 && r.KeyCount >= 0)
            self.KeyCount = isAnd ? std::min(l.KeyCount, r.KeyCount) : std::max(l.KeyCount, r.KeyCount);
        self.Cost = AddCosts(l.Cost, r.Cost);
        if (Selectivity) {
            // A partner that already narrows the set makes a wide scan worth it.
            if (left == 2 && right == 0 && r.NotSelective) {
                right = r.Level = 2;
                r.NotSelective = false;
            } else if (right == 2 && left == 0 && l.NotSelective) {
                left = l.Level = 2;
                l.NotSelective = false;
            }
        }
        if (left == 2 && right == 2)
            self.Level = 2;
        else if (isAnd && (left > 0 || right > 0))
            self.Level = 1;
        else
            self.Level = 0;
        return self.Level;
    }
};

// The cheapest term of an AND chain.
const TExpToken* CheapestTerm(const TExpToken* node, const TInfoMap& info);

bool Cheaper(const TExpToken* a, const TExpToken* b, const TInfoMap& info) {
    const TFilterNodeInfo& x = info.at(a);
    const TFilterNodeInfo& y = info.at(b);
    if (x.Cost >= 0 && y.Cost >= 0) return x.Cost < y.Cost;
    return x.Level > y.Level;
}

const TExpToken* CheapestTerm(const TExpToken* node, const TInfoMap& info) {
    if (!(node->Kind == ekBinary && node->Code == opAnd)) return node;
    const TExpToken* l = CheapestTerm(node->Left, info);
    const TExpToken* r = CheapestTerm(node->Right, info);
    return Cheaper(r, l, info) ? r : l;
}

}  // namespace

bool RecordPasses(TDataCursor& cursor, const TExpToken* node, const uint8_t* image) {
    TExpToken* value = EvaluateExpression(node, const_cast<uint8_t*>(image), &cursor, cursor.FLocaleID,
                                          cursor.FSortID, &TDataCursor::ColumnValue);
    const bool pass = value->IsNull == 0 && exv::Load<int16_t>(*value) != 0;
    ReleaseEvaluationResult(value);
    return pass;
}

uint8_t OptimizeFilter(TDataCursor& cursor, TExpToken* node, bool estimate, bool selectivityCheck, TInfoMap& info,
                       std::vector<TRangeGroup>& groups) {
    if (!node) return 0;
    TIndexSwap keep(cursor, cursor.FIndexNo);
    TAnalysis analysis{cursor, estimate, selectivityCheck, info, groups, {}, {}};
    return analysis.Visit(node);
}

void ReorderAndTerms(TExpToken* node, const TInfoMap& info) {
    if (!node) return;
    if (IsPassThrough(node)) {
        ReorderAndTerms(node->Left, info);
        return;
    }
    if (!IsAndOr(node)) return;
    if (node->Code == opAnd && Cheaper(CheapestTerm(node->Right, info), CheapestTerm(node->Left, info), info))
        SwapChildren(node);
    ReorderAndTerms(node->Left, info);
    ReorderAndTerms(node->Right, info);
}

// ---- Evaluation pass --------------------------------------------------------------------------

namespace {

const TFilterNodeInfo& InfoOf(const TFilter& filter, const TExpToken* node) {
    static const TFilterNodeInfo none;
    const auto it = filter.Nodes.find(node);
    return it == filter.Nodes.end() ? none : it->second;
}

bool ScanPays(const TFilter& filter, const TExpToken* node, const TRecordsBitmap& set) {
    const TFilterNodeInfo& info = InfoOf(filter, node);
    if (info.Level == 0) return false;
    if (info.Cost < 0) return true;
    const int64_t reading = int64_t{filter.Cursor->GetRecordSize()} * set.Count();
    return reading >= info.Cost;
}

// A copy of the set from the pool, given back at the end of the scope.
class TScratchSet {
public:
    explicit TScratchSet(const TRecordsBitmap& source) : FSet(AllocRecordsBitmap()) { FSet->Assign(source); }
    ~TScratchSet() { ReleaseRecordsBitmap(FSet); }
    TScratchSet(const TScratchSet&) = delete;
    TScratchSet& operator=(const TScratchSet&) = delete;
    TRecordsBitmap& operator*() { return *FSet; }

private:
    TRecordsBitmap* FSet;
};

// A comparison of an integer, date, time or text column with a constant (either
// written first), or a BETWEEN or NOT BETWEEN of such a column and two such
// constants, the commonest conditions on a column without an index, answered from
// the record image: the column read once as its node reads it and compared with
// each bound as the evaluator compares (BETWEEN is its >= and <= bounds, as the
// evaluator takes it).
// Numbers: the stored bytes, NULL from the flag; NULL = x is false, NULL <> x
// true, an ordered comparison with NULL false. Texts: the stored bytes up to their
// end, compared by the cursor's collation; NULL = x is false, NULL <> x true, and
// an ordered comparison reads the slot's bytes as they stand, as the evaluator
// does. Anything else goes to the evaluator.
class TColumnConstantTest {
public:
    TColumnConstantTest(TDataCursor& cursor, const TExpToken* node) {
        if (!node) return;
        if (node->Kind == ekBinary && IsComparisonCode(node->Code)) {
            const TComparisonOperands operands = ColumnFirst(*node);
            FUsable = TakeColumn(cursor, operands.Subject) && AddBound(operands.Constant, operands.Op);
        } else if (node->Kind == ekPredicate && (node->Code == prBetween || node->Code == prNotBetween) &&
                   node->ArgumentCount() == 3) {
            FNegated = node->Code == prNotBetween;
            FUsable = TakeColumn(cursor, node->GetArgument(0)) && AddBound(node->GetArgument(1), opGreaterEqual) &&
                      AddBound(node->GetArgument(2), opLessEqual);
        }
    }
    bool Usable() const { return FUsable; }

    bool Passes(const TDataCursor& cursor, const uint8_t* image) const {
        uint8_t bytes[256];
        bool blank = true;
        cursor.GetFieldData(FField, image, bytes, blank);
        bytes[FField.StoredSize()] = 0;
        int64_t value = 0;
        if (FType != fldZSTRING && !blank) {
            switch (FType) {
                case fldINT16: value = Stored<int16_t>(bytes); break;
                case fldUINT16: value = Stored<uint16_t>(bytes); break;
                case fldINT64: value = Stored<int64_t>(bytes); break;
                default: value = Stored<int32_t>(bytes); break;
            }
        }
        bool pass = true;
        for (int32_t i = 0; i < FBoundCount && pass; ++i) {
            const TBound& bound = FBounds[static_cast<std::size_t>(i)];
            if (blank && (bound.Op == opEqual || bound.Op == opNotEqual || FType != fldZSTRING)) {
                pass = bound.Op == opNotEqual;
                continue;
            }
            int order = 0;
            if (FType == fldZSTRING)
                order = CompareStringsByLocale(FLocaleId, FSortId, reinterpret_cast<const char*>(bytes), false, 0,
                                               bound.Text.c_str());
            else
                order = value < bound.Constant ? -1 : (value > bound.Constant ? 1 : 0);
            switch (bound.Op) {
                case opEqual: pass = order == 0; break;
                case opNotEqual: pass = order != 0; break;
                case opLess: pass = order < 0; break;
                case opLessEqual: pass = order <= 0; break;
                case opGreater: pass = order > 0; break;
                default: pass = order >= 0; break;
            }
        }
        return pass != FNegated;
    }

private:
    struct TBound {
        uint8_t Op = 0;
        int64_t Constant = 0;
        std::string Text;
    };

    template <typename T>
    static T Stored(const uint8_t* bytes) {
        T value{};
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }

    // A plain column of a type the test reads itself.
    bool TakeColumn(TDataCursor& cursor, const TExpToken* column) {
        if (!column || column->Kind != ekColumn || column->FromStringConstant != 0) return false;
        const uint8_t type = column->DataType;
        if (!exv::IsInteger(type) && type != fldDATE && type != fldTIME && type != fldZSTRING) return false;
        const TFieldDesc field = FieldDescOf(cursor, column->FieldNumber);
        if (field.Computed() != 0 || field.IsAutoInc() || field.FieldType() != type) return false;
        if (type != fldZSTRING &&
            field.StoredSize() != (type == fldINT64 ? 8 : (type == fldINT16 || type == fldUINT16) ? 2 : 4))
            return false;
        FField = field;
        FType = type;
        FLocaleId = cursor.FLocaleID;
        FSortId = cursor.FSortID;
        return true;
    }

    // A constant of a type the column's values compare with directly.
    bool AddBound(const TExpToken* constant, uint8_t op) {
        if (!constant || constant->Kind != ekConstant || constant->IsNull != 0 || constant->IsParameter != 0)
            return false;
        const bool integers = exv::IsInteger(FType) && exv::IsInteger(constant->DataType);
        const bool sameDay = (FType == fldDATE || FType == fldTIME) && constant->DataType == FType;
        const bool texts = FType == fldZSTRING && constant->DataType == fldZSTRING;
        if (!integers && !sameDay && !texts) return false;
        TBound& bound = FBounds[static_cast<std::size_t>(FBoundCount++)];
        bound.Op = op;
        if (texts)
            bound.Text.assign(exv::TextView(*constant));
        else
            bound.Constant = exv::Integer(*constant);
        return true;
    }

    TFieldDesc FField;
    bool FUsable = false;
    bool FNegated = false;
    uint8_t FType = 0;
    std::array<TBound, 2> FBounds;
    int32_t FBoundCount = 0;
    uint16_t FLocaleId = 0;
    uint16_t FSortId = 0;
};

// The record pass's test of a node: the terms of its AND chain, the comparisons
// of a column with a constant read from the record image first, the others
// through the evaluator, each asked only while the record still passes (a record
// passes an AND exactly when it passes every term). A node without such a
// comparison goes to the evaluator whole.
class TRecordTest {
public:
    TRecordTest(TDataCursor& cursor, const TExpToken* node) : FCursor(cursor) {
        if (!node) return;
        std::vector<const TExpToken*> terms;
        CollectTerms(node, terms);
        for (const TExpToken* term : terms) {
            TColumnConstantTest direct(cursor, term);
            if (direct.Usable())
                FDirect.push_back(std::move(direct));
            else
                FEvaluated.push_back(term);
        }
        if (FDirect.empty()) FEvaluated.assign(1, node);
    }
    bool Passes(const uint8_t* image) const {
        for (const TColumnConstantTest& direct : FDirect)
            if (!direct.Passes(FCursor, image)) return false;
        for (const TExpToken* term : FEvaluated)
            if (!RecordPasses(FCursor, term, image)) return false;
        return true;
    }

private:
    TDataCursor& FCursor;
    std::vector<TColumnConstantTest> FDirect;
    std::vector<const TExpToken*> FEvaluated;
};

}  // namespace

void BuildOptimizedBitmap(TFilter& filter, TRecordsBitmap& set, const TExpToken* node, bool& aborted, uint8_t mode) {
    if (aborted || !node || set.RecordCount() == 0) return;
    const int32_t group = InfoOf(filter, node).Group;
    if (group >= 0 && filter.Groups[static_cast<std::size_t>(group)].Scanned) return;
    TDataCursor& cursor = *filter.Cursor;
    if (!ContainsColumn(node)) {
        if (!RecordPasses(cursor, node, nullptr))
            set.ClearAll();
        else if (mode != opAnd)
            set.SetAll();
        return;
    }
    if (!ScanPays(filter, node, set)) {
        EvaluateRecords(filter, set, node, aborted, mode);
        return;
    }
    if (node->Kind == ekUnary && node->Code == opNot) {
        TScratchSet inner(set);
        BuildOptimizedBitmap(filter, *inner, node->Left, aborted, opNot);
        set.Assign(*inner);
        set.Invert();
        return;
    }
    if (node->Kind == ekUnary && (node->Code == opNegate || node->Code == opPlus)) {
        BuildOptimizedBitmap(filter, set, node->Left, aborted, mode);
        return;
    }
    if (node->Kind == ekBinary && node->Code == opAnd) {
        TScratchSet left(set);
        BuildOptimizedBitmap(filter, *left, node->Left, aborted, opAnd);
        (*left).AndWith(set);
        TScratchSet right(*left);
        BuildOptimizedBitmap(filter, *right, node->Right, aborted, opAnd);
        (*right).AndWith(*left);
        set.Assign(*right);
        return;
    }
    if (node->Kind == ekBinary && node->Code == opOr) {
        if (InfoOf(filter, node).Level != 2) {
            EvaluateRecords(filter, set, node, aborted, mode);
            return;
        }
        TScratchSet left(set);
        BuildOptimizedBitmap(filter, *left, node->Left, aborted, opOr);
        TScratchSet right(set);
        (*right).SetAll();
        BuildOptimizedBitmap(filter, *right, node->Right, aborted, opOr);
        set.Assign(*left);
        set.OrWith(*right);
        return;
    }
    TLeafCondition leaf;
    if (!RecogniseLeaf(cursor, node, leaf)) {
        EvaluateRecords(filter, set, node, aborted, mode);
        return;
    }
    const int32_t records = set.RecordCount();
    if (group >= 0) {
        TRangeGroup& range = filter.Groups[static_cast<std::size_t>(group)];
        ScanRange(cursor, GroupLeaves(cursor, range), filter.StatisticsAllowed, set, aborted);
        range.Scanned = !aborted;
    } else {
        ScanLeaf(cursor, leaf, filter.StatisticsAllowed, set, aborted);
    }
    if (set.RecordCount() != records) set.SetRecordCount(records);
}

void EvaluateRecords(TFilter& filter, TRecordsBitmap& set, const TExpToken* node, bool& aborted, uint8_t mode) {
    if (aborted) return;
    TDataCursor& cursor = *filter.Cursor;
    const int32_t last = set.RecordCount();
    if (mode != opAnd) set.SetAll();
    const bool computed = cursor.FHasComputedFields;
    std::vector<uint8_t> buffer(computed ? cursor.GetCursorRecordSize() : 0);
    // Reading most of the table, a miss takes in the slots that follow it too.
    TEvaluationBatch batch;
    const TRecordTest test(cursor, node);
    const uint8_t options = (mode != opAnd || int64_t{set.Count()} * 4 > last) ? grBlockRead : 0;
    int32_t position = 0;
    int32_t r = 0;
    while (set.FindNext(r, 1, position)) {
        if (r > last) break;
        TRecord* record = nullptr;
        if (!cursor.GetRecord(static_cast<uint32_t>(r), options, record, 1)) {
            aborted = true;
            return;
        }
        bool pass = true;
        try {
            if (!record->IsDeleted()) {
                const uint8_t* image = record->GetBuffer();
                if (computed) {
                    std::memcpy(buffer.data(), image, std::min<std::size_t>(buffer.size(), cursor.GetRecordSize()));
                    cursor.CalculateFields(buffer.data());
                    image = buffer.data();
                }
                pass = node ? test.Passes(image) : filter.Passes(image, static_cast<uint32_t>(r));
            }
        } catch (...) {
            cursor.ReleaseRecord(record);
            throw;
        }
        cursor.ReleaseRecord(record);
        if (!pass) set.ClearBit(r);
    }
}

}  // namespace kura
