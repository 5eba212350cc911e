// Key search and key ranges of a cursor: the key built from a record for the
// current index, the B-tree search behind FindKey and re-synchronising, the range
// bounds and their first and last logical positions.
#include <algorithm>
#include <cstring>

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"
#include "engine/core/PinnedIndexPage.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/KeyEncoding.h"

namespace kura {

namespace {

// Room for one field value handed to the key encoder.
constexpr int32_t KEY_VALUE_BUFFER_SIZE = 251;

}  // namespace

// ---- Keys -------------------------------------------------------------------------------

void TDataCursor::BuildIndexKey(const uint8_t* recordBuffer, uint8_t* keyBuffer) {
    if (FKeySize > RANGE_KEY_SIZE) RaiseError(KURA_INVALIDKEY, {}, FIndexName);
    std::memset(keyBuffer, 0, FKeySize);
    int32_t at = 0;
    for (int32_t k = 0; k < FKeyFieldCount && k < static_cast<int32_t>(FKeyFields.size()); ++k) {
        const TFieldDesc& field = FKeyFields[static_cast<std::size_t>(k)];
        const uint8_t stored = field.StoredSize();
        const int32_t width = GetFieldDataSize(field.FieldType(), stored);
        // The segment (presence flag and value) must stay inside the key.
        if (at + 1 + width > FKeySize || stored > KEY_VALUE_BUFFER_SIZE) RaiseError(KURA_INVALIDKEY, {}, FIndexName);
        uint8_t value[KEY_VALUE_BUFFER_SIZE] = {};
        bool blank = true;
        GetFieldData(field, recordBuffer, value, blank);
        keyBuffer[at] = blank ? 0 : 1;
        const bool descending = !FDescending && FKeyFieldFlags[static_cast<std::size_t>(k)] != 0;
        FieldValueToKey(field.FieldType(), stored, value, keyBuffer + at, FLocaleID, FSortID, descending,
                        FCaseInsensitive);
        at += 1 + width;
    }
    if (!FUnique && FIndexNo < SYS_DELETED_SLOT) {
        if (at + 4 > FKeySize) RaiseError(KURA_INVALIDKEY, {}, FIndexName);
        EncodeIntegerKey(static_cast<int32_t>(GetBufferAutoInc(recordBuffer)), keyBuffer + at);
    }
}

void TDataCursor::BuildRowIdKey(const uint8_t* recordBuffer, uint8_t* keyBuffer) {
    const uint16_t size = std::max<uint16_t>(FKeySize, SYS_DELETED_KEY_SIZE);
    if (size > RANGE_KEY_SIZE) RaiseError(KURA_INVALIDKEY, {}, FIndexName);
    std::memset(keyBuffer, 0, size);
    keyBuffer[0] = recordBuffer[RH_DELETED];
    EncodeIntegerKey(static_cast<int32_t>(GetBufferAutoInc(recordBuffer)), keyBuffer + 1);
}

int32_t TDataCursor::KeyCompareLength(int32_t fieldCount, uint8_t partialLength) const {
    int32_t length = partialLength > 0 ? partialLength + 1 : 0;
    const int32_t fields = std::min<int32_t>(std::max(fieldCount, 0), FKeyFieldCount);
    for (int32_t k = 0; k < fields && k < static_cast<int32_t>(FKeyFields.size()); ++k) {
        const TFieldDesc& field = FKeyFields[static_cast<std::size_t>(k)];
        length += GetFieldDataSize(field.FieldType(), field.StoredSize()) + 1;
    }
    return std::min<int32_t>(length, FKeySize);
}

void TDataCursor::MakeSearchKey(uint8_t bufferIsKey, const uint8_t* buffer, uint8_t* key) {
    std::memset(key, 0, RANGE_KEY_SIZE);
    if (FKeySize > RANGE_KEY_SIZE) RaiseError(KURA_INVALIDKEY, {}, FIndexName);
    if (bufferIsKey)
        std::memcpy(key, buffer, FKeySize);
    else
        BuildIndexKey(buffer, key);
}

// ---- The B-tree search ----------------------------------------------------------------------

uint8_t TDataCursor::PositionOnKey(const uint8_t* key, uint8_t nearest, uint8_t restoreEnds) {
    if (IsRemote()) RaiseNoRemote();
    if (IsNaturalOrder() || !FTable) return 0;
    int32_t attempts = 0;
    bool result = false;
    const bool rememberedBOF = FBOF;
    const bool rememberedEOF = FEOF;
    for (;;) {
        result = false;
        if (GetRecordCount() == 0) {
            SetEmptyPosition();
            return 0;
        }
        if (FRangeActive && CompareWholeKeys(key, FRangeStartKey.data()) < 0) {
            MoveToFirstKey();
            break;
        }
        if (FRangeActive && CompareWholeKeys(key, FRangeEndKey.data()) > 0) {
            MoveToLastKey();
            break;
        }
        const uint32_t root = FTable->GetIndexFile().GetRootPage(FIndexNo);
        if (root == 0) {
            SetEmptyPosition();
            return 0;
        }
        TPinnedIndexPage pin(*this);
        if (!GetIndexPage(root, false, pin.Page)) {
            PauseBeforeRetry(attempts, KURA_LOCKTIMEOUT);
            continue;
        }
        int32_t position = 1;
        uint32_t s = 1;
        bool matched = false;
        bool retryDescent = false;
        for (int depth = 1;; ++depth) {
            TPage* page = pin.Page;
            if (page->KeyCount == 0) {
                if (page->IsLeaf() && depth == 1) break;
                RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
            }
            if (FRangeActive)
                matched = page->ScanKey(*this, key, false, s, position, FRangeEndKey.data());
            else
                matched = page->SearchKey(*this, key, nearest != 0, position, s);
            if (page->IsLeaf()) break;
            if (depth >= MAX_INDEX_DEPTH) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
            const uint32_t child = page->GetRecordNo(std::max<uint32_t>(s, 1));
            ReleaseIndexPage(pin.Page);
            if (child == 0) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
            if (!GetIndexPage(child, false, pin.Page)) {
                retryDescent = true;
                break;
            }
        }
        if (retryDescent) {
            PauseBeforeRetry(attempts, KURA_LOCKTIMEOUT);
            continue;
        }
        if (pin.Page->KeyCount == 0) {
            SetEmptyPosition();
            return 0;
        }
        int32_t slot = static_cast<int32_t>(std::clamp<uint32_t>(s, 1, pin.Page->KeyCount));
        const bool set = UsesVisibleSet();
        auto visibleAt = [&](TPage* page, int32_t at) {
            return !set || IsVisibleRecord(page->GetRecordNo(static_cast<uint32_t>(at)));
        };
        if (matched && visibleAt(pin.Page, slot)) {
            result = true;
            StorePosition(*pin.Page, slot, position, false, false);
            break;
        }
        if (!nearest) return 0;  // not found: the cursor stays where it was
        bool eof = false;
        if (CompareWholeKeys(pin.Page->GetKeyAddress(static_cast<uint32_t>(slot)), key) < 0 ||
            !visibleAt(pin.Page, slot)) {
            bool moved = false;
            bool retry = false;
            if (!StepKey(true, pin.Page, position, moved, retry, slot)) {
                if (retry) {
                    PauseBeforeRetry(attempts, KURA_LOCKTIMEOUT);
                    continue;
                }
                if (!moved && visibleAt(pin.Page, slot)) {
                    eof = true;
                } else if (StepKey(false, pin.Page, position, moved, retry, slot)) {
                    eof = true;
                } else if (retry) {
                    PauseBeforeRetry(attempts, KURA_LOCKTIMEOUT);
                    continue;
                } else {
                    SetEmptyPosition();
                    return 0;
                }
            }
        }
        StorePosition(*pin.Page, slot, position, false, eof);
        break;
    }
    if (restoreEnds) {
        if (rememberedBOF) {
            MoveBy(-1);
            if (!FBOF) MoveBy(1);
        } else {
            FBOF = false;
        }
        if (rememberedEOF) {
            MoveBy(1);
            if (!FEOF) MoveBy(-1);
        } else {
            FEOF = false;
        }
    }
    return result ? 1 : 0;
}

// ---- FindKey -------------------------------------------------------------------------------------

uint8_t TDataCursor::FindKey(uint8_t bufferIsKey, const uint8_t* buffer, int32_t fieldCount, uint8_t nearest,
                             uint8_t partialLength, uint8_t* recordBuffer) {
    if (IsNaturalOrder()) return 0;
    if (!buffer) return 0;
    if (IsRemote()) return FindRemoteKey(bufferIsKey, buffer, fieldCount, nearest, partialLength, recordBuffer);
    CheckForChanges();
    uint8_t found = 0;
    try {
        uint8_t key[RANGE_KEY_SIZE];
        MakeSearchKey(bufferIsKey, buffer, key);
        const bool exact = (fieldCount < 1 || fieldCount >= FKeyFieldCount) && FUnique &&
                           !(fieldCount == 0 && partialLength > 0);
        if (exact) {
            found = PositionOnKey(key, nearest, 0);
        } else {
            int32_t fields = fieldCount;
            if (!FUnique && fields == 0 && partialLength == 0) fields = FKeyFieldCount;
            const int32_t length = KeyCompareLength(fields, partialLength);
            if (FDescending)
                FillHighKey(key, length);
            else
                FillLowKey(key, length);
            PositionOnKey(key, 1, 0);
            const bool onKey = GetRecordCount() != 0 && !(FBOF && FEOF);
            // Nothing to compare: every key begins with the empty prefix.
            found = onKey && (length == 0 || CompareFieldValues(GetCurrentKey(), key, length) == 0) ? 1 : 0;
        }
        if (FEOF) MoveToLastKey();
        LoadCurrentRecord(1);
        if (recordBuffer && FRecord) std::memcpy(recordBuffer, FRecord->GetBuffer(), FRecordSize);
    } catch (...) {
        EndRead();
        throw;
    }
    EndRead();
    return found;
}

// ---- Ranges --------------------------------------------------------------------------------------

void TDataCursor::SetRangeStartKey(const uint8_t* key) {
    FRangeStartKey.fill(0);
    std::memcpy(FRangeStartKey.data(), key, std::min<int32_t>(FKeySize, RANGE_KEY_SIZE));
}

void TDataCursor::SetRangeEndKey(const uint8_t* key) {
    FRangeEndKey.fill(0);
    std::memcpy(FRangeEndKey.data(), key, std::min<int32_t>(FKeySize, RANGE_KEY_SIZE));
}

void TDataCursor::SetRangeActive() {
    if (!IsNaturalOrder()) FRangeActive = true;
}

void TDataCursor::ClearRangeBounds() {
    FRangeStartKey.fill(0x00);
    FRangeEndKey.fill(0xFF);
    FRangeStart = 1;
    FRangeEnd = static_cast<int32_t>(std::min<uint32_t>(GetTableRecordCount(), INT32_MAX));
    FRangeActive = false;
}

void TDataCursor::SetRange(uint8_t bufferIsKey, const uint8_t* startBuffer, int32_t startFieldCount,
                           const uint8_t* endBuffer, int32_t endFieldCount) {
    if (IsNaturalOrder()) return;
    if (IsRemote()) {
        SetRemoteRange(bufferIsKey, startBuffer, startFieldCount, endBuffer, endFieldCount);
        return;
    }
    CheckForChanges();
    try {
        // A bound is the given key with the fields it leaves open filled with the
        // values that sort first (start) or last (end); a missing bound leaves every
        // field open, so the range is unbounded on that side.
        auto makeBound = [&](const uint8_t* buffer, int32_t count, bool start, uint8_t* key) {
            int32_t length = 0;
            if (buffer) {
                MakeSearchKey(bufferIsKey, buffer, key);
                if ((count > 0 && count < FKeyFieldCount) || !FUnique) {
                    const int32_t fields = (!FUnique && count == 0) ? FKeyFieldCount : count;
                    length = KeyCompareLength(fields, 0);
                } else {
                    return;
                }
            } else {
                std::memset(key, 0, RANGE_KEY_SIZE);
            }
            if (start != FDescending)
                FillLowKey(key, length);
            else
                FillHighKey(key, length);
        };
        uint8_t startKey[RANGE_KEY_SIZE];
        uint8_t endKey[RANGE_KEY_SIZE];
        makeBound(startBuffer, startFieldCount, true, startKey);
        makeBound(endBuffer, endFieldCount, false, endKey);
        SetRangeStartKey(startKey);
        SetRangeEndKey(endKey);
        SetRangeActive();
        RebuildFilterSet();
        Resync();
    } catch (...) {
        EndRead();
        throw;
    }
    EndRead();
}

void TDataCursor::ResetRange() {
    if (IsNaturalOrder()) return;
    if (IsRemote()) {
        ReadCursorState(SendPositioned(REQUEST_RESETRANGE));
        FRangeActive = false;
        return;
    }
    CheckForChanges();
    try {
        ClearRangeBounds();
        RebuildFilterSet();
        Resync();
    } catch (...) {
        EndRead();
        throw;
    }
    EndRead();
}

// Number of keys below the key (inclusive: not above it), from the subtree counts
// of one descent.
TDataCursor::TWalkResult TDataCursor::CountKeysBefore(const uint8_t* key, bool inclusive, int32_t& count) {
    count = 0;
    const uint32_t root = FTable->GetIndexFile().GetRootPage(FIndexNo);
    if (root == 0) return TWalkResult::Empty;
    TPinnedIndexPath path(FTable->GetIndexFile());
    if (!path.Descend(*this, root)) return TWalkResult::Retry;
    int32_t position = 1;
    uint32_t s = 1;
    for (int depth = 1;; ++depth) {
        TPage* page = path.Page();
        if (page->KeyCount == 0) {
            if (page->IsLeaf() && depth == 1) return TWalkResult::Empty;
            RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
        }
        if (inclusive)
            page->FindHighKey(*this, key, position, s);
        else
            page->FindLowKey(*this, key, position, s);
        if (page->IsLeaf()) break;
        if (depth >= MAX_INDEX_DEPTH) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
        const uint32_t child = page->GetRecordNo(std::max<uint32_t>(s, 1));
        if (child == 0) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
        if (!path.Descend(*this, child)) return TWalkResult::Retry;
    }
    // Low: position is the place of the first key not below the key. High: the
    // place of the last key not above it, one more when the leaf has none.
    count = inclusive ? (s == 0 ? position - 1 : position) : position - 1;
    if (count < 0) count = 0;
    return TWalkResult::Done;
}

void TDataCursor::ComputeRangeBounds() {
    if (FRangeBoundsSkip || FRangeBoundsGuard) return;
    FRangeBoundsGuard = true;
    try {
        if (IsNaturalOrder() || !FRangeActive || !FTable) {
            FRangeStart = 1;
            FRangeEnd = static_cast<int32_t>(std::min<uint32_t>(GetTableRecordCount(), INT32_MAX));
        } else if (CompareWholeKeys(FRangeStartKey.data(), FRangeEndKey.data()) > 0) {
            FRangeStart = 0;
            FRangeEnd = 0;
        } else {
            int32_t attempts = 0;
            for (;;) {
                int32_t below = 0;
                int32_t upTo = 0;
                TWalkResult r = CountKeysBefore(FRangeStartKey.data(), false, below);
                if (r == TWalkResult::Done) r = CountKeysBefore(FRangeEndKey.data(), true, upTo);
                if (r == TWalkResult::Retry) {
                    PauseBeforeRetry(attempts, KURA_LOCKTIMEOUT);
                    continue;
                }
                if (r == TWalkResult::Empty || upTo <= below) {
                    FRangeStart = 0;
                    FRangeEnd = 0;
                } else {
                    FRangeStart = below + 1;
                    FRangeEnd = upTo;
                }
                break;
            }
        }
    } catch (...) {
        FRangeBoundsGuard = false;
        throw;
    }
    FRangeBoundsGuard = false;
}

// ---- Re-synchronising -------------------------------------------------------------------------

void TDataCursor::Resync() {
    // The server finds the cursor's record again from the position it is sent.
    if (IsRemote()) {
        Refresh();
        return;
    }
    if (IsNaturalOrder()) {
        GotoRecordNumber(static_cast<int32_t>(std::min<uint32_t>(FRecordNo, INT32_MAX)));
    } else {
        // The key of the record as the cursor last read it: the same record, or
        // its nearest neighbour when the record went away or changed its key.
        uint8_t key[RANGE_KEY_SIZE] = {};
        if (FRecord) BuildIndexKey(FRecord->GetBuffer(), key);
        PositionOnKey(key, 1, 1);
    }
    LoadCurrentRecord(1);
}

void TDataCursor::RebuildFilterSet() {
    ComputeRangeBounds();
    if (IsNaturalOrder() || FVisibleSetActive) {
        RebuildAllFilterSets();
        ApplyFilterSets();
    }
}

void TDataCursor::UpdateFilterSetOnWrite(uint32_t recordNo, const uint8_t* recordBuffer) {
    ComputeRangeBounds();
    if (!(IsNaturalOrder() || FVisibleSetActive) || FSetsBuilding || FSetsSuspended) return;
    TRecordsBitmap* visible = FRecordSets[RS_VISIBLE];
    TRecordsBitmap* range = FRecordSets[RS_RANGE];
    TRecordsBitmap* live = FRecordSets[RS_LIVE];
    if (!visible || !range || !live || recordNo == 0 || recordNo > static_cast<uint32_t>(INT32_MAX)) return;
    const int32_t r = static_cast<int32_t>(recordNo);
    const int32_t last = static_cast<int32_t>(std::min<uint32_t>(GetLastRecordNumber(), INT32_MAX));
    for (TRecordsBitmap* set : {visible, range, live})
        if (set->RecordCount() < std::max(last, r)) set->SetRecordCount(std::max(last, r));
    bool inRange = true;
    if (FRangeActive && recordBuffer) {
        uint8_t key[RANGE_KEY_SIZE] = {};
        BuildIndexKey(recordBuffer, key);
        inRange = CompareWholeKeys(FRangeStartKey.data(), key) <= 0 && CompareWholeKeys(key, FRangeEndKey.data()) <= 0;
        if (inRange)
            range->SetBit(r);
        else
            range->ClearBit(r);
    }
    live->SetBit(r);
    const bool wasVisible = visible->GetBit(r);
    const bool passes = UpdateFiltersOnWrite(recordNo, recordBuffer);
    const bool nowVisible = inRange && passes;
    if (nowVisible)
        visible->SetBit(r);
    else
        visible->ClearBit(r);
    if (!FRangeActive && !AnyFilterActive())
        FVisibleCount = static_cast<int32_t>(std::min<uint32_t>(GetTableRecordCount(), INT32_MAX));
    else if (nowVisible != wasVisible)
        FVisibleCount += nowVisible ? 1 : -1;
}

void TDataCursor::UpdateFilterSetOnDelete(uint32_t recordNo) {
    ComputeRangeBounds();
    if (!(IsNaturalOrder() || FVisibleSetActive) || FSetsBuilding || FSetsSuspended) return;
    TRecordsBitmap* visible = FRecordSets[RS_VISIBLE];
    TRecordsBitmap* range = FRecordSets[RS_RANGE];
    TRecordsBitmap* live = FRecordSets[RS_LIVE];
    if (!visible || !range || !live || visible->RecordCount() == 0 || recordNo == 0 ||
        recordNo > static_cast<uint32_t>(INT32_MAX))
        return;
    const int32_t r = static_cast<int32_t>(recordNo);
    if (FRangeActive) range->ClearBit(r);
    live->ClearBit(r);
    UpdateFiltersOnDelete(recordNo);
    const bool wasVisible = visible->GetBit(r);
    visible->ClearBit(r);
    if (!FRangeActive && !AnyFilterActive())
        FVisibleCount = static_cast<int32_t>(std::min<uint32_t>(GetTableRecordCount(), INT32_MAX));
    else if (wasVisible && FVisibleCount > 0)
        --FVisibleCount;
}

}  // namespace kura
