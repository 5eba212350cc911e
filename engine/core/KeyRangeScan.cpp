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

// ---- Intervals ----------------------------------------------------------------------------

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
    // UPPER(column) meets the constant as written unless the comparison ignores
    // case; every other comparison on a case-insensitive index meets it upper-cased
    // like the keys.
    const bool fold = c.FCaseInsensitive && (!leaf.Upper || leaf.FoldCase);
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

// A text constant of which a comparison reads more bytes (the whole text, or its
// prefix) than a value of the column holds. Its segment is the key of the bytes
// that fit; a value that begins with them is shorter than the constant, and sorts
// before it.
bool TextBeyondTheColumn(TDataCursor& c, const TLeafCondition& leaf, const TExpToken* constant) {
    const TFieldDesc& field = c.FKeyFields.at(0);
    if (field.FieldType() != fldZSTRING) return false;
    std::size_t read = exv::TextLength(*constant);
    if (leaf.PartialLength > 0) read = std::min<std::size_t>(read, static_cast<std::size_t>(leaf.PartialLength));
    return read >= field.StoredSize();  // the stored size counts the terminator
}

TKeyInterval CompareInterval(TDataCursor& c, const TLeafCondition& leaf, const TExpToken* constant, uint8_t op) {
    std::vector<uint8_t> segment = ConstantSegment(c, leaf, constant);
    const bool beyond = TextBeyondTheColumn(c, leaf, constant);
    // A prefix as long as the value's room or longer compares whole values.
    if (!beyond && leaf.PartialLength > 0 && static_cast<std::size_t>(leaf.PartialLength) + 1 < segment.size())
        segment.resize(static_cast<std::size_t>(leaf.PartialLength) + 1);
    TKeyInterval r = PresentInterval(static_cast<int32_t>(segment.size()));
    if (beyond) {
        // No value equals the constant, and one sorts below it exactly when it is
        // at most the segment: = is an empty interval, < is <=, >= is >.
        if (op == opLess) op = opLessEqual;
        if (op == opGreaterEqual) op = opGreater;
        if (op == opEqual) r.LowInclusive = false;
    }
    switch (op) {
        case opGreater: r.Low = segment; r.LowInclusive = false; break;
        case opGreaterEqual: r.Low = segment; break;
        case opLess: r.High = segment; r.HighInclusive = false; break;
        case opLessEqual: r.High = segment; break;
        default: r.Low = r.High = segment; break;
    }
    return r;
}

// The interval of a comparison (<> as its =) or of a BETWEEN.
TKeyInterval LeafInterval(TDataCursor& c, const TLeafCondition& leaf) {
    if (leaf.Kind == TLeafKind::Compare)
        return CompareInterval(c, leaf, leaf.Constants[0], leaf.Op == opNotEqual ? opEqual : leaf.Op);
    TKeyInterval r = CompareInterval(c, leaf, leaf.Constants[0], opGreaterEqual);
    const TKeyInterval high = CompareInterval(c, leaf, leaf.Constants[1], opLessEqual);
    r.High = high.High;
    r.HighInclusive = high.HighInclusive;
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

// The keys inside both intervals (value order, one segment length): the higher
// low bound and the lower high bound, a bound both share open when either is.
TKeyInterval CommonInterval(TDataCursor& c, TKeyInterval r, const TKeyInterval& other) {
    std::vector<uint8_t> scratch(static_cast<std::size_t>(RANGE_KEY_SIZE), 0);
    const int32_t toValueOrder = c.FDescending ? -1 : 1;
    const int32_t low = toValueOrder * CompareSegment(c, other.Low.data(), r.Low, scratch);
    if (low > 0) r.Low = other.Low;
    r.LowInclusive = low > 0 ? other.LowInclusive : (low < 0 ? r.LowInclusive : r.LowInclusive && other.LowInclusive);
    const int32_t high = toValueOrder * CompareSegment(c, other.High.data(), r.High, scratch);
    if (high < 0) r.High = other.High;
    r.HighInclusive =
        high < 0 ? other.HighInclusive : (high > 0 ? r.HighInclusive : r.HighInclusive && other.HighInclusive);
    return r;
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

// An open bound leaves out every key that starts with its segment: counted from
// past the last of them, or up to before the first.
int32_t CountInterval(TDataCursor& c, const TKeyInterval& r, bool& aborted) {
    const TIndexBounds b = ToIndexOrder(c, r);
    if (EmptyInterval(c, b)) return 0;
    const std::vector<uint8_t> low = PaddedKey(c, *b.Low, b.LowInclusive);
    const std::vector<uint8_t> high = PaddedKey(c, *b.High, !b.HighInclusive);
    const uint32_t n = c.CountKeysBetween(low.data(), b.LowInclusive, high.data(), b.HighInclusive, aborted);
    return static_cast<int32_t>(std::min<uint32_t>(n, INT32_MAX));
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

// The evaluator reads a NULL text as the empty text in ordered comparisons: the
// column's NULL keys belong to the leaf's records when the empty text passes.
bool EmptyTextPasses(TDataCursor& c, const TLeafCondition& leaf) {
    if (c.FKeyFields.at(0).FieldType() != fldZSTRING) return false;
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
        case TLeafKind::Compare:
        case TLeafKind::Between:
        case TLeafKind::NotBetween: {
            ScanInterval(c, LeafInterval(c, leaf), statistics, set, aborted);
            if (!aborted && EmptyTextPasses(c, leaf)) AddInterval(c, NullInterval(), set, aborted);
            const bool outside =
                leaf.Kind == TLeafKind::NotBetween || (leaf.Kind == TLeafKind::Compare && leaf.Op == opNotEqual);
            if (outside && !aborted) set.Invert();
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
            const int32_t n = CountInterval(c, LeafInterval(c, leaf), aborted);
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

bool BoundsOneRange(const TLeafCondition& leaf) {
    return (leaf.Kind == TLeafKind::Compare && leaf.Op != opNotEqual && leaf.PartialLength == 0) ||
           leaf.Kind == TLeafKind::Between;
}

namespace {

// The range every leaf bounds, the cursor standing on their index.
TKeyInterval CommonRange(TDataCursor& c, const std::vector<TLeafCondition>& leaves) {
    TKeyInterval r = LeafInterval(c, leaves.front());
    for (std::size_t i = 1; i < leaves.size(); ++i) r = CommonInterval(c, r, LeafInterval(c, leaves[i]));
    return r;
}

}  // namespace

void ScanRange(TDataCursor& c, const std::vector<TLeafCondition>& leaves, bool statistics, TRecordsBitmap& set,
               bool& aborted) {
    aborted = false;
    TIndexSwap swap(c, leaves.front().IndexNo);
    set.ClearAll();
    ScanInterval(c, CommonRange(c, leaves), statistics, set, aborted);
    // NULL texts pass the AND where the empty text passes each leaf.
    const bool nulls = std::all_of(leaves.begin(), leaves.end(), [&](const TLeafCondition& leaf) {
        return EmptyTextPasses(c, leaf);
    });
    if (nulls && !aborted) AddInterval(c, NullInterval(), set, aborted);
}

int32_t EstimateRangeKeys(TDataCursor& c, const std::vector<TLeafCondition>& leaves, bool& aborted) {
    aborted = false;
    TIndexSwap swap(c, leaves.front().IndexNo);
    return CountInterval(c, CommonRange(c, leaves), aborted);
}

}  // namespace kura
