#pragma once
// The conditions of a filter tree that an index can answer on its own, as the
// analysis and the evaluation pass both see them: which column, which index,
// which constants and which interval of key values.
#include <cstdint>
#include <vector>

#include "engine/core/DataCursor.h"

namespace kura {

enum class TLeafKind : uint8_t {
    None,
    Compare,     // Op: = <> > < >= <=; PartialLength for a prefix comparison
    IsNull,
    IsNotNull,
    Between,
    NotBetween,
    InList,      // a NULL member stands for IS NULL
    NotInList,
    TextSearch,  // Constants[0] is the search text
};

struct TLeafCondition {
    TLeafKind Kind = TLeafKind::None;
    uint8_t Op = 0;
    int32_t PartialLength = 0;
    bool Upper = false;       // UPPER(column): the constant as written against upper-cased keys
    bool Lower = false;       // LOWER(column) =: the constant upper-cased
    bool FoldCase = false;    // a case-insensitive comparison of the column or of UPPER(column)
    uint16_t FieldNo = 0;
    uint8_t IndexNo = 0;
    std::vector<const TExpToken*> Constants;
};

// The cursor's description of one of its fields (9985 for an unknown one).
inline TFieldDesc FieldDescOf(TDataCursor& cursor, uint16_t fieldNo) {
    TFieldDesc desc;
    cursor.GetFieldDesc(fieldNo, desc);
    return desc;
}

// The operands of a comparison node and its operator, the one that is no constant
// first: a constant written first (5 < k) reads as k > 5.
struct TComparisonOperands {
    const TExpToken* Subject = nullptr;
    const TExpToken* Constant = nullptr;
    uint8_t Op = 0;
};
TComparisonOperands ColumnFirst(const TExpToken& node);

// The condition node can be served by an index of the cursor; leaf is filled and
// its index chosen.
bool RecogniseLeaf(TDataCursor& cursor, const TExpToken* node, TLeafCondition& leaf);

// An interval of first-field key segments in value order (not index order): the
// keys whose first SegmentLength bytes lie between Low and High.
struct TKeyInterval {
    int32_t SegmentLength = 0;
    std::vector<uint8_t> Low, High;  // SegmentLength bytes each
    bool LowInclusive = true, HighInclusive = true;
};

// The records of the leaf, the cursor standing on the leaf's index. Records
// the leaf lets through are set, every other bit is cleared.
void ScanLeaf(TDataCursor& cursor, const TLeafCondition& leaf, bool statistics, TRecordsBitmap& set, bool& aborted);
// Number of keys of the leaf's range (an estimate for the analysis).
int32_t EstimateLeafKeys(TDataCursor& cursor, const TLeafCondition& leaf, bool& aborted);

// A comparison = < <= > >= without a prefix length, or a BETWEEN: the records of
// one interval of its index's keys (and the NULL keys of a text where the empty
// text passes).
bool BoundsOneRange(const TLeafCondition& leaf);
// The records of leaves that each bound one range of one index, as an AND of them
// lets through: the range they share, scanned once (an empty one reads nothing).
void ScanRange(TDataCursor& cursor, const std::vector<TLeafCondition>& leaves, bool statistics, TRecordsBitmap& set,
               bool& aborted);
// Number of keys of that range.
int32_t EstimateRangeKeys(TDataCursor& cursor, const std::vector<TLeafCondition>& leaves, bool& aborted);

// Makes the cursor stand on another index for a scan and puts its own back.
class TIndexSwap {
public:
    TIndexSwap(TDataCursor& cursor, uint8_t indexNo);
    ~TIndexSwap();
    TIndexSwap(const TIndexSwap&) = delete;
    TIndexSwap& operator=(const TIndexSwap&) = delete;

private:
    TDataCursor& FCursor;
    uint8_t FSaved;
    bool FSavedFlag;
    bool FSavedVisible;
};

}  // namespace kura
