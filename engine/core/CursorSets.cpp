// The cursor's visible-record sets and the index key-range scans behind them: the
// records whose keys lie in the key range, the records that are not deleted, and
// their intersection, which natural-order navigation walks. Filters narrow the set
// further once they are built.
#include <algorithm>
#include <cstring>

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"
#include "engine/core/PinnedIndexPage.h"
#include "engine/files/FieldTypes.h"

namespace kura {

namespace {

// The "Sys Deleted" index walked beside the cursor's own index: its keys compare
// as plain bytes, and a page read that finds the table changed goes through the
// cursor's read bracket like every other read.
class TSysDeletedWalker final : public TIndexCursor {
public:
    explicit TSysDeletedWalker(TDataCursor& owner) : FOwner(owner) {}
    uint8_t GetIndexNumber() const override { return SYS_DELETED_SLOT; }
    bool CheckBeforeCacheMiss() override { return FOwner.CheckBeforeCacheMiss(); }
    int32_t CompareKeys(const uint8_t* entryKey, const uint8_t* key, uint16_t keySize) override {
        const int c = std::memcmp(entryKey, key, keySize);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    bool KeysCompareAsBytes() const override { return true; }
    uint8_t GetPathDepth() const override { return 1; }
    void SetPathDepth(uint8_t) override {}
    uint32_t GetPathSlot(uint8_t) const override { return 0; }
    void SetPathSlot(uint8_t, uint32_t) override {}
    uint32_t GetPathParent(uint8_t) const override { return 0; }

private:
    TDataCursor& FOwner;
};

// Visits the leaf entries of an index in key order, from the first key not below
// `from` (the first key of the index when from is nullptr), until visit answers
// false. False when a page read found the table changed: the caller starts over.
template <class Visit>
bool WalkIndex(TDataCursor& owner, TIndexCursor& walker, const uint8_t* from, Visit&& visit) {
    TIndexFile& file = owner.FTable->GetIndexFile();
    const uint32_t root = file.GetRootPage(walker.GetIndexNumber());
    if (root == 0) return true;
    TPinnedIndexPath path(file);
    if (!path.Descend(walker, root)) return false;
    int32_t position = 1;
    uint32_t slot = 1;
    for (int depth = 1;; ++depth) {
        TPage* page = path.Page();
        if (page->KeyCount == 0) {
            if (page->IsLeaf() && depth == 1) return true;
            owner.RaiseError(KURA_INDEXCORRUPT);
        }
        if (from)
            page->FindLowKey(walker, from, position, slot);
        else
            slot = 1;
        if (page->IsLeaf()) break;
        if (depth >= MAX_INDEX_DEPTH) owner.RaiseError(KURA_INDEXCORRUPT);
        const uint32_t child = page->GetRecordNo(std::max<uint32_t>(slot, 1));
        if (child == 0) owner.RaiseError(KURA_INDEXCORRUPT);
        if (!path.Descend(walker, child)) return false;
    }
    path.KeepOnlyLast();
    // A leaf chain can hold no more pages than the file has.
    const uint64_t pageLimit = uint64_t{file.GetLastPageNumber()} + 1;
    for (uint64_t walked = 0;; ++walked) {
        if (walked > pageLimit) owner.RaiseError(KURA_INDEXCORRUPT);
        TPage* page = path.Page();
        for (uint32_t i = std::max<uint32_t>(slot, 1); i <= page->KeyCount; ++i)
            if (!visit(page->GetKeyAddress(i), page->GetRecordNo(i))) return true;
        const uint32_t next = page->NextPage;
        if (next == 0) return true;
        if (!path.MoveTo(walker, next)) return false;
        if (!path.Page()->IsLeaf() || path.Page()->KeyCount == 0) owner.RaiseError(KURA_INDEXCORRUPT);
        slot = 1;
    }
}

void SetRecordBit(TRecordsBitmap& set, uint32_t recordNo) {
    if (recordNo >= 1 && recordNo <= static_cast<uint32_t>(INT32_MAX)) set.SetBit(static_cast<int32_t>(recordNo));
}

int32_t ClampCount(uint32_t value) { return static_cast<int32_t>(std::min<uint32_t>(value, INT32_MAX)); }

}  // namespace

bool TDataCursor::WalkIndexKeys(const uint8_t* from, const std::function<bool(const uint8_t*, uint32_t)>& visit) {
    if (!FTable || IsNaturalOrder()) return true;
    return WalkIndex(*this, *this, from, visit);
}

uint32_t TDataCursor::GetLastRecordNumber() const { return FTable ? FTable->GetLastRecordNumber() : 0; }

uint32_t TDataCursor::GetLastBlobBlockNumber() const {
    if (IsRemote()) RaiseNoRemote();
    return FTable ? FTable->GetLastBlobBlockNumber() : 0;
}

// ---- Key fills ----------------------------------------------------------------------------

namespace {

void FillKey(TDataCursor& c, uint8_t* key, int32_t from, bool high) {
    const int32_t size = std::min<int32_t>(c.FKeySize, RANGE_KEY_SIZE);
    if (from >= size) return;
    from = std::max(from, 0);
    const uint8_t plain = high ? 0xFF : 0x00;
    // Collated strings pad with the character the language sorts first or last.
    const uint8_t textPad = c.FLocaleID != 0 ? (high ? c.FCharMap[255] : c.FCharMap[0]) : plain;
    int32_t at = 0;
    for (int32_t k = 0; k < c.FKeyFieldCount && k < static_cast<int32_t>(c.FKeyFields.size()) && at < size; ++k) {
        const TFieldDesc& field = c.FKeyFields[static_cast<std::size_t>(k)];
        const int32_t end = std::min<int32_t>(at + 1 + GetFieldDataSize(field.FieldType(), field.StoredSize()), size);
        for (int32_t b = std::max(from, at); b < end; ++b)
            key[b] = (b > at && field.FieldType() == fldZSTRING) ? textPad : plain;
        at = end;
    }
    for (int32_t b = std::max(from, at); b < size; ++b) key[b] = plain;
}

}  // namespace

void TDataCursor::FillLowKey(uint8_t* key, int32_t from) { FillKey(*this, key, from, false); }
void TDataCursor::FillHighKey(uint8_t* key, int32_t from) { FillKey(*this, key, from, true); }

// ---- Range scans and counts ------------------------------------------------------------------

void TDataCursor::ScanRangeToBitmap(const uint8_t* low, const uint8_t* high, bool& aborted, TRecordsBitmap& set) {
    aborted = false;
    set.ClearAll();
    if (!FTable || IsNaturalOrder() || CompareWholeKeys(low, high) > 0) return;
    aborted = !WalkIndex(*this, *this, low, [&](const uint8_t* key, uint32_t recordNo) {
        if (CompareWholeKeys(key, high) > 0) return false;
        SetRecordBit(set, recordNo);
        return true;
    });
}

uint32_t TDataCursor::CountKeysInRange(const uint8_t* low, const uint8_t* high, bool& aborted) {
    return CountKeysBetween(low, true, high, true, aborted);
}

uint32_t TDataCursor::CountKeysBetween(const uint8_t* low, bool lowInclusive, const uint8_t* high, bool highInclusive,
                                       bool& aborted) {
    aborted = false;
    if (!FTable || IsNaturalOrder() || CompareWholeKeys(low, high) > 0) return 0;
    // The keys before the first one counted, and those up to the last one.
    int32_t below = 0;
    int32_t upTo = 0;
    TWalkResult r = CountKeysBefore(low, !lowInclusive, below);
    if (r == TWalkResult::Done) r = CountKeysBefore(high, highInclusive, upTo);
    if (r == TWalkResult::Retry) {
        aborted = true;
        return 0;
    }
    if (r == TWalkResult::Empty || upTo <= below) return 0;
    return static_cast<uint32_t>(upTo - below);
}

void TDataCursor::ScanComplement(const uint8_t* low, const uint8_t* high, bool& aborted, TRecordsBitmap& set) {
    aborted = false;
    set.ClearAll();
    if (!FTable || IsNaturalOrder()) return;
    // The keys below the range, then those above it; what is left is the range.
    aborted = !WalkIndex(*this, *this, nullptr, [&](const uint8_t* key, uint32_t recordNo) {
        if (CompareWholeKeys(key, low) >= 0) return false;
        SetRecordBit(set, recordNo);
        return true;
    });
    if (aborted) return;
    aborted = !WalkIndex(*this, *this, high, [&](const uint8_t* key, uint32_t recordNo) {
        if (CompareWholeKeys(key, high) > 0) SetRecordBit(set, recordNo);
        return true;
    });
    if (aborted) return;
    set.Invert();
}

// ---- The three sets ----------------------------------------------------------------------------

void TDataCursor::BuildRangeSet(bool& aborted) {
    aborted = false;
    TRecordsBitmap* range = FRecordSets[RS_RANGE];
    if (!range) return;
    if (!FRangeActive || IsNaturalOrder()) {
        range->ClearAll();
        return;
    }
    const uint32_t total = GetTableRecordCount();
    if (FLocaleID == 0 && total > 0) {
        const uint32_t inRange = CountKeysInRange(FRangeStartKey.data(), FRangeEndKey.data(), aborted);
        if (aborted) return;
        // A wide range costs less to find from the keys outside it.
        if (uint64_t{inRange} * 2 > total) {
            ScanComplement(FRangeStartKey.data(), FRangeEndKey.data(), aborted, *range);
            return;
        }
    }
    ScanRangeToBitmap(FRangeStartKey.data(), FRangeEndKey.data(), aborted, *range);
}

void TDataCursor::BuildLiveSet(bool& aborted) {
    aborted = false;
    TRecordsBitmap* live = FRecordSets[RS_LIVE];
    if (!live || !FTable) return;
    if (GetTableRecordCount() == GetLastRecordNumber()) {
        live->SetAll();
        return;
    }
    // Deleted slots stay in "Sys Deleted" under the deleted flag 1.
    live->ClearAll();
    uint8_t low[SYS_DELETED_KEY_SIZE] = {1, 0x00, 0x00, 0x00, 0x00};
    uint8_t high[SYS_DELETED_KEY_SIZE] = {1, 0xFF, 0xFF, 0xFF, 0xFF};
    TSysDeletedWalker walker(*this);
    aborted = !WalkIndex(*this, walker, low, [&](const uint8_t* key, uint32_t recordNo) {
        if (std::memcmp(key, high, SYS_DELETED_KEY_SIZE) > 0) return false;
        SetRecordBit(*live, recordNo);
        return true;
    });
    if (!aborted) live->Invert();
}

void TDataCursor::ApplyFilterSets() {
    if (FSetsBuilding || FSetsSuspended || !FVisibleSetActive) return;
    TRecordsBitmap* visible = FRecordSets[RS_VISIBLE];
    TRecordsBitmap* range = FRecordSets[RS_RANGE];
    TRecordsBitmap* live = FRecordSets[RS_LIVE];
    if (!visible || !range || !live) return;
    if (live->RecordCount() == 0) {
        visible->SetRecordCount(0);
        FVisibleCount = 0;
        return;
    }
    visible->Assign(*live);
    if (FRangeActive) visible->AndWith(*range);
    for (const TFilter* f : FFilters)
        if (f->Active && f->Result) visible->AndWith(*f->Result);
    if (!FRangeActive && !AnyFilterActive())
        FVisibleCount = ClampCount(GetTableRecordCount());
    else
        FVisibleCount = visible->Count();
}

}  // namespace kura
