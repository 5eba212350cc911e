// Conditions on the first field of an index turned into intervals of key
// segments and walked in the index, and the word search over "Sys Text".
//
// An interval is kept in value order and turned into index order only for the
// walk, so one routine serves ascending and descending indexes. Every key met is
// tested against both bounds over the segment length: the walk's start key only
// saves pages, the test decides.
#include <algorithm>
#include <cstring>

#include "engine/core/DataTable.h"
#include "engine/core/FilterLeaf.h"
#include "engine/core/TextWords.h"
#include "engine/expr/ExpCodes.h"
#include "engine/expr/ExpTree.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/Locale.h"

namespace kura {

namespace {

constexpr int32_t VALUE_BUFFER = 256;

void SetRecord(TRecordsBitmap& set, uint32_t recordNo) {
    if (recordNo >= 1 && recordNo <= static_cast<uint32_t>(INT32_MAX)) set.SetBit(static_cast<int32_t>(recordNo));
}

TFieldDesc FieldDescOf(TDataCursor& c, uint16_t fieldNo) {
    TFieldDesc desc;
    c.GetFieldDesc(fieldNo, desc);
    return desc;
}

bool IsPlainConstant(const TExpToken* node) {
    return node && node->Kind == ekConstant && node->IsParameter == 0;
}

// The first field of the index's key is fieldNo, keyed in a way a value
// interval can be walked.
bool IndexFits(TDataCursor& c, uint8_t indexNo, uint16_t fieldNo, bool wantFolded, bool isText) {
    TIndexDesc desc;
    c.GetIndexDesc(indexNo, desc);
    if (desc.GetFieldCount() == 0) return false;
    // The cursor's field numbers are the table's (result cursors never filter
    // through indexes: they carry none).
    if (desc.GetField(0) != fieldNo) return false;
    if (desc.GetOption(0) != 0) return false;  // a per-field descending key
    const bool folded = desc.GetByte(ido::CaseInsensitive) != 0;
    return !isText || folded == wantFolded;
}

// The primary index first, then the secondary ones; 255 when none fits.
uint8_t SelectIndexForField(TDataCursor& c, uint16_t fieldNo, bool wantFolded, bool isText) {
    if (!c.GetNoPrimaryIndex() && IndexFits(c, PRIMARY_INDEX, fieldNo, wantFolded, isText)) return PRIMARY_INDEX;
    const uint8_t count = c.GetIndexCount();
    for (uint8_t i = 1; i <= count && i < SYS_DELETED_SLOT; ++i)
        if (IndexFits(c, i, fieldNo, wantFolded, isText)) return i;
    return NATURAL_ORDER;
}

bool HasUpperAsciiOrDoubleByte(std::string_view text) {
    for (unsigned char ch : text)
        if ((ch >= 'A' && ch <= 'Z') || ch >= 0x80) return true;
    return false;
}

// The column under the node: a column itself, or UPPER/LOWER of one.
const TExpToken* ColumnOf(const TExpToken* node, bool& upper, bool& lower) {
    upper = lower = false;
    if (!node) return nullptr;
    if (node->Kind == ekColumn) return node;
    if (IsCaseFunctionOfColumn(node)) {
        upper = node->Code == fnUpper;
        lower = node->Code == fnLower;
        return node->GetArgument(0);
    }
    return nullptr;
}

// A constant the column's keys can hold exactly.
bool ConstantFits(const TFieldDesc& field, const TExpToken* constant, const TLeafCondition& leaf) {
    if (!IsPlainConstant(constant)) return false;
    if (constant->IsNull) return true;
    if (constant->DataType != field.FieldType()) return false;
    if (field.FieldType() == fldZSTRING) {
        const std::string_view text = exv::TextView(*constant);
        if (text.size() > field.StoredSize()) return false;
        if (leaf.Lower && HasUpperAsciiOrDoubleByte(text)) return false;
    }
    return true;
}

}  // namespace

// ---- Recognising index conditions -----------------------------------------------------------

bool RecogniseLeaf(TDataCursor& c, const TExpToken* node, TLeafCondition& leaf) {
    leaf = TLeafCondition{};
    if (!node || !c.FTable) return false;
    const TExpToken* column = nullptr;
    const TExpToken* search = nullptr;
    if (IsTextSearchCall(node)) {
        search = node;
    } else if (node->Kind == ekBinary && node->Code == opEqual && IsTextSearchCall(node->Left) &&
               IsPlainConstant(node->Right) && node->Right->IsNull == 0 && node->Right->DataType == fldBOOL &&
               exv::Load<int16_t>(*node->Right) != 0) {
        search = node->Left;  // TEXTSEARCH(...) = True
    }
    if (search) {
        const TExpToken* text = search->GetArgument(0);
        column = search->GetArgument(1);
        if (!column || column->Kind != ekColumn || !IsPlainConstant(text) || text->IsNull) return false;
        if (!c.IsTextIndexField(FieldDescOf(c, column->FieldNumber).FieldNo())) return false;
        leaf.Kind = TLeafKind::TextSearch;
        leaf.FieldNo = column->FieldNumber;
        leaf.IndexNo = SYS_TEXT_SLOT;
        leaf.Constants.push_back(text);
        return true;
    }

    if ((node->Kind == ekBinary && IsComparisonCode(node->Code)) ||
        (node->Kind == ekPartialCompare && (node->Code == opEqual || node->Code == opNotEqual))) {
        column = ColumnOf(node->Left, leaf.Upper, leaf.Lower);
        const TExpToken* constant = node->Right;
        if (!column || !IsPlainConstant(constant)) return false;
        if (constant->IsNull) {
            if (node->Code == opEqual) leaf.Kind = TLeafKind::IsNull;
            else if (node->Code == opNotEqual) leaf.Kind = TLeafKind::IsNotNull;
            else return false;  // an ordered comparison with NULL is left to the records
        } else {
            leaf.Kind = TLeafKind::Compare;
            leaf.Op = node->Code;
            leaf.Constants.push_back(constant);
            if (node->Kind == ekPartialCompare) {
                leaf.PartialLength = node->PartialLength;
                leaf.FoldCase = node->CaseInsensitive != 0 && !leaf.Upper && !leaf.Lower;
            }
        }
    } else if (node->Kind == ekUnary && (node->Code == opIsNull || node->Code == opIsNotNull)) {
        column = ColumnOf(node->Left, leaf.Upper, leaf.Lower);
        leaf.Kind = node->Code == opIsNull ? TLeafKind::IsNull : TLeafKind::IsNotNull;
    } else if (node->Kind == ekPredicate) {
        switch (node->Code) {
            case prBetween: leaf.Kind = TLeafKind::Between; break;
            case prNotBetween: leaf.Kind = TLeafKind::NotBetween; break;
            case prIn: leaf.Kind = TLeafKind::InList; break;
            case prNotIn: leaf.Kind = TLeafKind::NotInList; break;
            default: return false;
        }
        column = ColumnOf(node->GetArgument(0), leaf.Upper, leaf.Lower);
        for (int32_t i = 1; i < node->ArgumentCount(); ++i) leaf.Constants.push_back(node->GetArgument(i));
        if (leaf.Kind == TLeafKind::Between || leaf.Kind == TLeafKind::NotBetween) {
            if (leaf.Constants.size() != 2) return false;
            for (const TExpToken* k : leaf.Constants)
                if (!IsPlainConstant(k) || k->IsNull) return false;
        } else if (leaf.Constants.empty()) {
            return false;
        }
    } else {
        return false;
    }
    if (!column || column->Kind != ekColumn) return false;
    const TFieldDesc field = FieldDescOf(c, column->FieldNumber);
    const uint8_t type = field.FieldType();
    if (type == fldBLOB || type == fldBCD || field.Computed() != 0) return false;
    const bool isText = type == fldZSTRING;
    if ((leaf.Upper || leaf.Lower) && !isText) return false;
    // A collated text orders by the locale, not by the bytes the evaluator sees.
    if (isText && c.FLocaleID != 0) return false;
    // LOWER(column) only answers equality and lists through upper-cased keys.
    if (leaf.Lower && !(leaf.Kind == TLeafKind::InList || leaf.Kind == TLeafKind::NotInList ||
                        leaf.Kind == TLeafKind::IsNull || leaf.Kind == TLeafKind::IsNotNull ||
                        (leaf.Kind == TLeafKind::Compare && leaf.PartialLength == 0 &&
                         (leaf.Op == opEqual || leaf.Op == opNotEqual))))
        return false;
    for (const TExpToken* k : leaf.Constants)
        if (!ConstantFits(field, k, leaf)) return false;
    if (leaf.PartialLength < 0 || leaf.PartialLength > field.StoredSize()) return false;
    leaf.FieldNo = column->FieldNumber;
    const bool wantFolded = leaf.Upper || leaf.Lower || leaf.FoldCase;
    leaf.IndexNo = SelectIndexForField(c, field.FieldNo(), wantFolded, isText);
    return leaf.IndexNo != NATURAL_ORDER;
}

// ---- Index swap ---------------------------------------------------------------------------

TIndexSwap::TIndexSwap(TDataCursor& cursor, uint8_t indexNo)
    : FCursor(cursor), FSaved(cursor.FIndexNo), FSavedFlag(cursor.FIndexSwappedForScan),
      FSavedVisible(cursor.FVisibleSetActive) {
    if (indexNo == FSaved) return;
    FCursor.FIndexSwappedForScan = true;
    FCursor.SetIndexNumber(indexNo);
}

TIndexSwap::~TIndexSwap() {
    if (FCursor.FIndexNo != FSaved) {
        try {
            FCursor.SetIndexNumber(FSaved);
        } catch (...) {
        }
    }
    FCursor.FVisibleSetActive = FSavedVisible;
    FCursor.FIndexSwappedForScan = FSavedFlag;
}

// ---- Intervals ----------------------------------------------------------------------------

namespace {

// The key segment of a constant on the cursor's current index (its first field).
std::vector<uint8_t> ConstantSegment(TDataCursor& c, const TLeafCondition& leaf, const TExpToken* constant) {
    const TFieldDesc& field = c.FKeyFields.at(0);
    const uint8_t stored = field.StoredSize();
    const int32_t width = GetFieldDataSize(field.FieldType(), stored);
    std::vector<uint8_t> segment(static_cast<std::size_t>(width) + 1, 0);
    segment[0] = 1;
    uint8_t value[VALUE_BUFFER] = {};
    if (field.FieldType() == fldZSTRING) {
        const std::string_view text = exv::TextView(*constant);
        std::memcpy(value, text.data(), std::min<std::size_t>(text.size(), stored));
    } else {
        std::memcpy(value, constant->Value.data(), std::min<std::size_t>(stored, constant->Value.size()));
    }
    // UPPER(column) meets the constant as written; every other comparison on a
    // case-insensitive index meets it upper-cased like the keys.
    const bool fold = c.FCaseInsensitive && !leaf.Upper;
    FieldValueToKey(field.FieldType(), stored, value, segment.data(), c.FLocaleID, c.FSortID, false, fold);
    return segment;
}

TKeyInterval PresentInterval(int32_t length) {
    TKeyInterval r;
    r.SegmentLength = length;
    r.Low.assign(static_cast<std::size_t>(length), 0x00);
    r.High.assign(static_cast<std::size_t>(length), 0xFF);
    r.Low[0] = r.High[0] = 1;
    return r;
}

TKeyInterval NullInterval() {
    TKeyInterval r;
    r.SegmentLength = 1;
    r.Low.assign(1, 0);
    r.High.assign(1, 0);
    return r;
}

TKeyInterval CompareInterval(TDataCursor& c, const TLeafCondition& leaf, const TExpToken* constant, uint8_t op) {
    std::vector<uint8_t> segment = ConstantSegment(c, leaf, constant);
    if (leaf.PartialLength > 0) segment.resize(static_cast<std::size_t>(leaf.PartialLength) + 1);
    TKeyInterval r = PresentInterval(static_cast<int32_t>(segment.size()));
    switch (op) {
        case opGreater: r.Low = segment; r.LowInclusive = false; break;
        case opGreaterEqual: r.Low = segment; break;
        case opLess: r.High = segment; r.HighInclusive = false; break;
        case opLessEqual: r.High = segment; break;
        default: r.Low = r.High = segment; break;
    }
    return r;
}

// Index-order comparison of a key with a segment over the segment's length.
int32_t CompareSegment(TDataCursor& c, const uint8_t* key, const std::vector<uint8_t>& segment,
                       std::vector<uint8_t>& scratch) {
    std::copy(segment.begin(), segment.end(), scratch.begin());
    return c.CompareFieldValues(key, scratch.data(), static_cast<int32_t>(segment.size()));
}

struct TIndexBounds {
    const std::vector<uint8_t>* Low;
    bool LowInclusive;
    const std::vector<uint8_t>* High;
    bool HighInclusive;
};

TIndexBounds ToIndexOrder(const TDataCursor& c, const TKeyInterval& r) {
    if (c.FDescending) return {&r.High, r.HighInclusive, &r.Low, r.LowInclusive};
    return {&r.Low, r.LowInclusive, &r.High, r.HighInclusive};
}

// A whole key starting with the segment, padded to sort first (last) among the
// keys that share it in the index's order.
std::vector<uint8_t> PaddedKey(const TDataCursor& c, const std::vector<uint8_t>& segment, bool first) {
    const bool lowBytes = first != c.FDescending;
    std::vector<uint8_t> key(static_cast<std::size_t>(std::max<int32_t>(c.FKeySize, RANGE_KEY_SIZE)),
                             lowBytes ? 0x00 : 0xFF);
    std::copy(segment.begin(), segment.end(), key.begin());
    return key;
}

bool InsideLow(int32_t cmp, bool inclusive) { return cmp > 0 || (cmp == 0 && inclusive); }
bool InsideHigh(int32_t cmp, bool inclusive) { return cmp < 0 || (cmp == 0 && inclusive); }

bool EmptyInterval(TDataCursor& c, const TIndexBounds& b) {
    std::vector<uint8_t> scratch(static_cast<std::size_t>(RANGE_KEY_SIZE), 0);
    const int32_t cmp = CompareSegment(c, b.Low->data(), *b.High, scratch);
    return cmp > 0 || (cmp == 0 && !(b.LowInclusive && b.HighInclusive));
}

// The records whose keys lie inside the interval are added to set.
void AddInterval(TDataCursor& c, const TKeyInterval& r, TRecordsBitmap& set, bool& aborted) {
    const TIndexBounds b = ToIndexOrder(c, r);
    if (EmptyInterval(c, b)) return;
    std::vector<uint8_t> scratch(static_cast<std::size_t>(RANGE_KEY_SIZE), 0);
    const std::vector<uint8_t> start = PaddedKey(c, *b.Low, b.LowInclusive);
    aborted = !c.WalkIndexKeys(start.data(), [&](const uint8_t* key, uint32_t recordNo) {
        if (!InsideHigh(CompareSegment(c, key, *b.High, scratch), b.HighInclusive)) return false;
        if (InsideLow(CompareSegment(c, key, *b.Low, scratch), b.LowInclusive)) SetRecord(set, recordNo);
        return true;
    });
}

// The records whose keys lie outside the interval are added to set.
void AddOutside(TDataCursor& c, const TKeyInterval& r, TRecordsBitmap& set, bool& aborted) {
    const TIndexBounds b = ToIndexOrder(c, r);
    std::vector<uint8_t> scratch(static_cast<std::size_t>(RANGE_KEY_SIZE), 0);
    aborted = !c.WalkIndexKeys(nullptr, [&](const uint8_t* key, uint32_t recordNo) {
        if (InsideLow(CompareSegment(c, key, *b.Low, scratch), b.LowInclusive)) return false;
        SetRecord(set, recordNo);
        return true;
    });
    if (aborted) return;
    const std::vector<uint8_t> start = PaddedKey(c, *b.High, !b.HighInclusive);
    aborted = !c.WalkIndexKeys(start.data(), [&](const uint8_t* key, uint32_t recordNo) {
        if (!InsideHigh(CompareSegment(c, key, *b.High, scratch), b.HighInclusive)) SetRecord(set, recordNo);
        return true;
    });
}

int32_t CountInterval(TDataCursor& c, const TKeyInterval& r, bool& aborted) {
    const TIndexBounds b = ToIndexOrder(c, r);
    if (EmptyInterval(c, b)) return 0;
    const std::vector<uint8_t> low = PaddedKey(c, *b.Low, true);
    const std::vector<uint8_t> high = PaddedKey(c, *b.High, false);
    return static_cast<int32_t>(std::min<uint32_t>(c.CountKeysInRange(low.data(), high.data(), aborted), INT32_MAX));
}

// One interval into set (replacing it); a wide interval is found from the keys
// outside it when the subtree counts tell so.
void ScanInterval(TDataCursor& c, const TKeyInterval& r, bool statistics, TRecordsBitmap& set, bool& aborted) {
    set.ClearAll();
    if (statistics && c.FLocaleID == 0 && !c.FNoSubtreeCounts) {
        const int64_t n = CountInterval(c, r, aborted);
        if (aborted) return;
        if (int64_t{c.GetTableRecordCount()} - n < n) {
            AddOutside(c, r, set, aborted);
            if (!aborted) set.Invert();
            return;
        }
    }
    AddInterval(c, r, set, aborted);
}

// The evaluator reads a NULL text as the empty text in ordered comparisons.
bool EmptyTextPasses(const TLeafCondition& leaf) {
    auto empty = [](const TExpToken* k) { return exv::TextLength(*k) == 0; };
    switch (leaf.Kind) {
        case TLeafKind::Compare:
            if (leaf.PartialLength > 0) return false;
            switch (leaf.Op) {
                case opLess: return !empty(leaf.Constants[0]);
                case opLessEqual: return true;
                case opGreaterEqual: return empty(leaf.Constants[0]);
                default: return false;
            }
        case TLeafKind::Between:
        case TLeafKind::NotBetween: return empty(leaf.Constants[0]);
        default: return false;
    }
}

void AddNullsWhereEmptyPasses(TDataCursor& c, const TLeafCondition& leaf, TRecordsBitmap& set, bool& aborted) {
    const TFieldDesc& field = c.FKeyFields.at(0);
    if (field.FieldType() != fldZSTRING || !EmptyTextPasses(leaf)) return;
    AddInterval(c, NullInterval(), set, aborted);
}

void TextSearchScan(TDataCursor& c, const TLeafCondition& leaf, TRecordsBitmap& set, bool& aborted) {
    const TExpToken* text = leaf.Constants[0];
    const std::string_view search = exv::TextView(*text);
    TTextWordList words(c.FLocaleID, c.FSortID);
    c.SplitTextWords(search.data(), static_cast<int32_t>(search.size()), true, words);
    const uint16_t tableField = FieldDescOf(c, leaf.FieldNo).FieldNo();
    TRecordsBitmap* scratch = AllocRecordsBitmap();
    bool any = false;
    try {
        scratch->SetRecordCount(set.RecordCount());
        for (int32_t i = 0; i < words.Count() && !aborted; ++i) {
            std::string word = words.Word(i);
            const bool prefix = textwords::EndsWithAsterisk(word);
            if (prefix) {
                word.pop_back();
            } else if (textwords::IsStopWord(c.GetStopWords(), word)) {
                continue;
            }
            LocaleUpperCase(c.FLocaleID, c.FSortID, word);
            uint8_t key[SYS_TEXT_KEY_SIZE] = {};
            c.BuildTextKey(tableField, word, 0, key);
            const int32_t length = prefix ? 3 + static_cast<int32_t>(std::min<std::size_t>(word.size(), 61)) : 64;
            TKeyInterval r;
            r.SegmentLength = length;
            r.Low.assign(key, key + length);
            r.High = r.Low;
            scratch->ClearAll();
            AddInterval(c, r, *scratch, aborted);
            if (!any)
                set.Assign(*scratch);
            else
                set.AndWith(*scratch);
            any = true;
        }
    } catch (...) {
        ReleaseRecordsBitmap(scratch);
        throw;
    }
    ReleaseRecordsBitmap(scratch);
    // Nothing but stop words finds nothing.
    if (!any) set.ClearAll();
}

}  // namespace

// ---- Leaves -------------------------------------------------------------------------------

void ScanLeaf(TDataCursor& c, const TLeafCondition& leaf, bool statistics, TRecordsBitmap& set, bool& aborted) {
    aborted = false;
    TIndexSwap swap(c, leaf.IndexNo);
    set.ClearAll();
    switch (leaf.Kind) {
        case TLeafKind::TextSearch: TextSearchScan(c, leaf, set, aborted); return;
        case TLeafKind::IsNull: ScanInterval(c, NullInterval(), statistics, set, aborted); return;
        case TLeafKind::IsNotNull: ScanInterval(c, PresentInterval(1), statistics, set, aborted); return;
        case TLeafKind::Compare: {
            const bool notEqual = leaf.Op == opNotEqual;
            ScanInterval(c, CompareInterval(c, leaf, leaf.Constants[0], notEqual ? opEqual : leaf.Op), statistics, set,
                         aborted);
            if (!aborted) AddNullsWhereEmptyPasses(c, leaf, set, aborted);
            if (notEqual && !aborted) set.Invert();
            return;
        }
        case TLeafKind::Between:
        case TLeafKind::NotBetween: {
            TKeyInterval r = CompareInterval(c, leaf, leaf.Constants[0], opGreaterEqual);
            r.High = CompareInterval(c, leaf, leaf.Constants[1], opEqual).High;
            ScanInterval(c, r, statistics, set, aborted);
            if (!aborted) AddNullsWhereEmptyPasses(c, leaf, set, aborted);
            if (leaf.Kind == TLeafKind::NotBetween && !aborted) set.Invert();
            return;
        }
        case TLeafKind::InList:
        case TLeafKind::NotInList: {
            for (const TExpToken* k : leaf.Constants) {
                if (aborted) break;
                AddInterval(c, k->IsNull ? NullInterval() : CompareInterval(c, leaf, k, opEqual), set, aborted);
            }
            if (leaf.Kind == TLeafKind::NotInList && !aborted) set.Invert();
            return;
        }
        case TLeafKind::None: return;
    }
}

int32_t EstimateLeafKeys(TDataCursor& c, const TLeafCondition& leaf, bool& aborted) {
    aborted = false;
    if (leaf.Kind == TLeafKind::TextSearch) return -1;
    TIndexSwap swap(c, leaf.IndexNo);
    const int32_t total = static_cast<int32_t>(std::min<uint32_t>(c.GetTableRecordCount(), INT32_MAX));
    switch (leaf.Kind) {
        case TLeafKind::IsNull: return CountInterval(c, NullInterval(), aborted);
        case TLeafKind::IsNotNull: return CountInterval(c, PresentInterval(1), aborted);
        case TLeafKind::Compare: {
            const int32_t n = CountInterval(c, CompareInterval(c, leaf, leaf.Constants[0],
                                                               leaf.Op == opNotEqual ? opEqual : leaf.Op), aborted);
            return leaf.Op == opNotEqual ? std::max(total - n, 0) : n;
        }
        case TLeafKind::Between: {
            const int32_t a = CountInterval(c, CompareInterval(c, leaf, leaf.Constants[0], opGreaterEqual), aborted);
            const int32_t b = CountInterval(c, CompareInterval(c, leaf, leaf.Constants[1], opLessEqual), aborted);
            return std::min(a, b);
        }
        case TLeafKind::InList: {
            int64_t n = 0;
            for (const TExpToken* k : leaf.Constants)
                n += CountInterval(c, k->IsNull ? NullInterval() : CompareInterval(c, leaf, k, opEqual), aborted);
            return static_cast<int32_t>(std::min<int64_t>(n, total));
        }
        default: return total;
    }
}

}  // namespace kura
