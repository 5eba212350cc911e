// Where a cursor stands and how it moves: stepping through the leaves of the
// current index (or through the visible-record set in natural order), the first and
// last key of the index or of the key range, going to a logical record number, and
// the counts and numbers the cursor reports.
//
// Every walk works on pinned pages of the page cache and copies the leaf it ends on
// into the cursor's own page, so the cursor never keeps a cache page pinned between
// operations. A page read that finds the table changed by another program has
// already moved the cursor back onto its record; the walk then starts over from the
// cursor's new position, a bounded number of times.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"
#include "engine/core/PinnedIndexPage.h"

namespace kura {

namespace {

// A writer that keeps changing the index can make every walk start over; after this
// many tries the operation gives up instead of spinning for ever.
constexpr int32_t POSITION_RETRY_ATTEMPTS = 1000;
constexpr int POSITION_RETRY_SLEEP_MS = 2;

int32_t ClampToInt(uint64_t value) { return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value); }

}  // namespace

// ---- Small helpers ------------------------------------------------------------------

void TDataCursor::PauseBeforeRetry(int32_t& attempts, TEngineErrorCode code) {
    ++attempts;
    if (attempts >= POSITION_RETRY_ATTEMPTS) RaiseError(code);
    // The first retry follows a resynchronisation and normally succeeds at once.
    if (attempts > 1) std::this_thread::sleep_for(std::chrono::milliseconds(POSITION_RETRY_SLEEP_MS));
}

bool TDataCursor::UsesVisibleSet() const { return FVisibleSetActive && FRecordSets[RS_VISIBLE] != nullptr; }

bool TDataCursor::IsVisibleRecord(uint32_t recordNo) const {
    const TRecordsBitmap* set = FRecordSets[RS_VISIBLE];
    return set && recordNo <= static_cast<uint32_t>(INT32_MAX) && set->GetBit(static_cast<int32_t>(recordNo));
}

int32_t TDataCursor::CompareWholeKeys(const uint8_t* a, const uint8_t* b) { return CompareFieldValues(a, b, FKeySize); }

bool TDataCursor::PositionCopyIsCurrent(const TPage& page) const {
    const TPage* copy = FPosition.Page;
    return copy && FPositionSource == &page && page.Stamp == FPositionSourceStamp && page.Modified == 0 &&
           copy->Stamp == FPositionCopyStamp && copy->Modified == 0 && copy->PageNumber == page.PageNumber;
}

void TDataCursor::StorePosition(const TPage& page, int32_t slot, int32_t position, bool bof, bool eof) {
    if (!FPosition.Page) FPosition.Page = PopPage();
    // Stepping through a leaf would copy the whole leaf at every key.
    if (FPosition.Page != &page && !PositionCopyIsCurrent(page)) {
        FPosition.Page->Assign(page);
        FPositionSource = page.Modified == 0 ? &page : nullptr;
        FPositionSourceStamp = page.Stamp;
        FPositionCopyStamp = FPosition.Page->Stamp;
    }
    FPosition.Page->ResetPins();
    FPosition.Slot = slot;
    FPosition.LogicalPos = position;
    FBOF = bof;
    FEOF = eof;
    FRecordNo = FPosition.Page->GetRecordNo(static_cast<uint32_t>(std::max(slot, 0)));
}

void TDataCursor::SetEmptyPosition() {
    FBOF = true;
    FEOF = true;
    FPosition.LogicalPos = 0;
    FPosition.Slot = 0;
    FRecordNo = 0;
    if (FPosition.Page) {
        FPosition.Page->Clear();
        FPosition.Page->PageNumber = 0;
    }
}

void TDataCursor::CheckError(TEngineErrorCode code, std::string_view text) {
    if (code != 0) RaiseError(code, {}, {}, text);
}

void TDataCursor::CheckBlobError(TEngineErrorCode code, std::string_view fieldName) {
    if (code != 0) RaiseError(code, fieldName);
}

// ---- Counts and numbers ---------------------------------------------------------------

uint32_t TDataCursor::GetTableRecordCount() const { return FTable ? FTable->GetRecordCount() : 0; }

uint32_t TDataCursor::GetRecordCount() {
    if (IsRemote()) return FFilteredCount;
    if (FVisibleSetActive) return static_cast<uint32_t>(std::max(FVisibleCount, 0));
    if (!IsNaturalOrder()) {
        if (!FRangeActive) return GetTableRecordCount();
        if (FRangeStart > 0 && FRangeEnd > 0 && FRangeEnd >= FRangeStart)
            return static_cast<uint32_t>(FRangeEnd - FRangeStart + 1);
        return 0;
    }
    return GetTableRecordCount();
}

uint32_t TDataCursor::GetRecordNumber() {
    const int32_t position = FPosition.LogicalPos;
    if (IsRemote() || IsNaturalOrder()) return static_cast<uint32_t>(std::max(position, 0));
    if (position < 1) return 0;
    const int32_t first = FRangeActive ? FRangeStart : 1;
    return static_cast<uint32_t>(std::max<int64_t>(int64_t{position} - first + 1, 0));
}

uint32_t TDataCursor::GetCurrentRecordNumber() {
    if (GetRecordCount() == 0) return 0;
    if (IsRemote() || IsNaturalOrder()) return FRecordNo;
    if (!FPosition.Page || FPosition.Slot < 1) return 0;
    return FPosition.Page->GetRecordNo(static_cast<uint32_t>(FPosition.Slot));
}

uint8_t* TDataCursor::GetCurrentKey() {
    if (IsNaturalOrder()) {
        FKeyBuffer.fill(0);
        dfbytes::PutU32(FKeyBuffer.data(), FRecordNo);
        return FKeyBuffer.data();
    }
    TPage* page = FPosition.Page;
    if (page && FPosition.Slot >= 1 && FPosition.Slot <= page->KeyCount && page->KeySize == FKeySize)
        return page->GetKeyAddress(static_cast<uint32_t>(FPosition.Slot));
    // On no key the current key is all zeros.
    std::fill(FKeyBuffer.begin(), FKeyBuffer.begin() + std::min<int32_t>(FKeySize, CURSOR_KEY_BUFFER_SIZE), 0);
    return FKeyBuffer.data();
}

uint16_t TDataCursor::GetKeySize() const { return IsNaturalOrder() ? 4 : FKeySize; }

int32_t TDataCursor::CountConsecutiveBitmapRecords(int32_t maximum, int32_t direction) {
    int32_t count = 1;
    const TRecordsBitmap* set = FRecordSets[RS_VISIBLE];
    if (!set) return count;
    int64_t r = FRecordNo;
    while (count < maximum) {
        r += direction == 1 ? 1 : -1;
        if (r < 1 || r > set->RecordCount() || !set->GetBit(static_cast<int32_t>(r))) break;
        ++count;
    }
    return count;
}

int32_t TDataCursor::GetReadAheadCount(int32_t maximum, int32_t direction) {
    if (IsNaturalOrder()) {
        if (FStepping || direction != 1) return CountConsecutiveBitmapRecords(maximum, direction);
        // A long run of planned visits without a gap comes in with this record in
        // one block; visits further apart come from the record window, which read
        // them in spans already.
        if (FVisitPlan) {
            const std::vector<uint32_t>& plan = *FVisitPlan;
            std::size_t at = PlannedVisitAt(FRecordNo);
            int32_t count = 1;
            if (at < plan.size() && plan[at] == FRecordNo) {
                while (count < maximum && ++at < plan.size() && plan[at] == FRecordNo + count) ++count;
            }
            return count >= std::max(2, maximum / 4) ? count : 1;
        }
        // A jump (to a bookmark, to a record number) reads its own slot only, unless
        // it lands right after the slots the last jump's read brought in: then the
        // jumps walk the file in order, and a block serves the next ones too. Rows
        // visited in another order than the file's (an UPDATE through an index)
        // would otherwise read a block each and use one record of it.
        const bool onward = FRecordNo == FJumpReadEnd;
        const int32_t count = onward ? CountConsecutiveBitmapRecords(maximum, direction) : 1;
        FJumpReadEnd = FRecordNo + static_cast<uint32_t>(count);
        return count;
    }
    TPage* page = FPosition.Page;
    if (!page || page->KeyCount == 0 || FPosition.Slot < 1 || FPosition.Slot > page->KeyCount) return 1;
    return std::max(1, page->CountConsecutiveRecords(maximum, direction, static_cast<uint32_t>(FPosition.Slot)));
}

void TDataCursor::GetUpcomingRecords(int32_t maximum, int32_t direction, std::vector<uint32_t>& numbers) {
    numbers.clear();
    // The planned visits after this one stay in the data file's record window
    // (GetRecordsAhead), all but the next: loaded into a cache that the stretch's
    // changed records fill, each would recycle the one loaded before it.
    if (PlannedVisitsAfter(std::min(maximum, 1), direction, numbers)) return;
    // Natural order reads consecutive slots already; an index order knows the rest
    // of its leaf.
    if (!FStepping || IsNaturalOrder()) return;
    const TPage* page = FPosition.Page;
    if (!page || FPosition.Slot < 1 || FPosition.Slot > page->KeyCount) return;
    const auto slot = static_cast<uint32_t>(FPosition.Slot);
    auto beyond = [&](uint32_t i) {
        return FReadAheadLength > 0 &&
               CompareFieldValues(page->GetKeyAddress(i), FReadAheadKey.data(), FReadAheadLength) != 0;
    };
    if (direction == 1) {
        for (uint32_t i = slot + 1; i <= page->KeyCount && static_cast<int32_t>(numbers.size()) < maximum; ++i) {
            if (beyond(i)) break;
            numbers.push_back(page->GetRecordNo(i));
        }
    } else {
        for (uint32_t i = slot - 1; i >= 1 && static_cast<int32_t>(numbers.size()) < maximum; --i) {
            if (beyond(i)) break;
            numbers.push_back(page->GetRecordNo(i));
        }
    }
}

std::size_t TDataCursor::PlannedVisitAt(uint32_t recordNo) const {
    const std::vector<uint32_t>& plan = *FVisitPlan;
    // The visits come in the plan's order: the answer lies a step or two past the
    // last one.
    std::size_t at = std::min(FVisitHint, plan.size());
    if (at == 0 || plan[at - 1] < recordNo) {
        for (int step = 0; step < 4 && at < plan.size() && plan[at] < recordNo; ++step) ++at;
        if (at == plan.size() || plan[at] >= recordNo) return FVisitHint = at;
    }
    return FVisitHint = static_cast<std::size_t>(std::lower_bound(plan.begin(), plan.end(), recordNo) - plan.begin());
}

bool TDataCursor::PlannedVisitsAfter(int32_t maximum, int32_t direction, std::vector<uint32_t>& numbers) const {
    if (!FVisitPlan || !IsNaturalOrder() || direction != 1) return false;
    const std::vector<uint32_t>& plan = *FVisitPlan;
    std::size_t next = PlannedVisitAt(FRecordNo);
    if (next < plan.size() && plan[next] == FRecordNo) ++next;
    const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(std::max(maximum, 0)), plan.size() - next);
    numbers.assign(plan.begin() + static_cast<std::ptrdiff_t>(next), plan.begin() + static_cast<std::ptrdiff_t>(next + count));
    return true;
}

void TDataCursor::BoundReadAhead(const uint8_t* recordBuffer, int32_t fieldCount) {
    FReadAheadLength = 0;
    if (!recordBuffer || !FOpen || IsNaturalOrder() || IsRemote()) return;
    std::array<uint8_t, RANGE_KEY_SIZE> key{};
    MakeSearchKey(0, recordBuffer, key.data());
    FReadAheadKey = key;
    FReadAheadLength = KeyCompareLength(std::max(fieldCount, 1), 0);
}

// ---- The current record ----------------------------------------------------------------

TRecord* TDataCursor::PinCurrentRecord(int32_t direction) {
    uint32_t recordNo = GetCurrentRecordNumber();
    TRecord* read = nullptr;
    int32_t attempts = 0;
    // A read that had to resynchronise the cursor first reads the record the
    // cursor stands on now.
    while (recordNo != 0 && !GetRecord(recordNo, grReadAhead, read, direction)) {
        PauseBeforeRetry(attempts, KURA_LOCKTIMEOUT);
        recordNo = GetCurrentRecordNumber();
    }
    return recordNo == 0 ? nullptr : read;
}

void TDataCursor::LoadCurrentRecord(int32_t direction) {
    if (!FRecord) return;
    FRecord->SetRecordSize(FRecordSize);
    TRecord* read = PinCurrentRecord(direction);
    std::memset(FRecord->GetBuffer(), 0, FRecordSize);
    FRecord->RecordNumber = 0;
    if (read) {
        const uint16_t size = std::min<uint16_t>(read->GetRecordSize(), FRecordSize);
        std::memcpy(FRecord->GetBuffer(), read->GetBuffer(), size);
        FRecord->RecordNumber = read->RecordNumber;
        ReleaseRecord(read);
    }
    CalculateFields(FRecord->GetBuffer());
}

// ---- Page links and steps ----------------------------------------------------------------

bool TDataCursor::GetNextIndexPage(TPage*& page, bool& retry) {
    return FollowLeafLink(page ? page->NextPage : 0, page, retry);
}

bool TDataCursor::GetPriorIndexPage(TPage*& page, bool& retry) {
    return FollowLeafLink(page ? page->PriorPage : 0, page, retry);
}

bool TDataCursor::FollowLeafLink(uint32_t link, TPage*& page, bool& retry) {
    retry = false;
    if (link == 0) return false;
    TPage* neighbour = nullptr;
    if (!GetIndexPage(link, false, neighbour)) {
        retry = true;
        return false;
    }
    if (!neighbour->IsLeaf() || neighbour->KeyCount == 0) {
        ReleaseIndexPage(neighbour);
        RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
    }
    ReleaseIndexPage(page);
    page = neighbour;
    return true;
}

bool TDataCursor::StepNextKey(TPage*& page, int32_t& position, bool& moved, bool& retry, int32_t& slot) {
    moved = false;
    retry = false;
    if (!page) return false;
    if (slot < page->KeyCount) {
        ++slot;
    } else {
        if (!GetNextIndexPage(page, retry)) return false;
        slot = 1;
    }
    ++position;
    moved = true;
    return true;
}

bool TDataCursor::StepPriorKey(TPage*& page, int32_t& position, bool& moved, bool& retry, int32_t& slot) {
    moved = false;
    retry = false;
    if (!page) return false;
    if (slot > 1) {
        --slot;
    } else {
        if (!GetPriorIndexPage(page, retry)) return false;
        slot = page->KeyCount;
    }
    --position;
    moved = true;
    return true;
}

bool TDataCursor::StepNextKeyInRange(TPage*& page, int32_t& position, bool& moved, bool& retry, int32_t& slot) {
    if (!StepNextKey(page, position, moved, retry, slot)) return false;
    return CompareWholeKeys(page->GetKeyAddress(static_cast<uint32_t>(slot)), FRangeEndKey.data()) <= 0;
}

bool TDataCursor::StepPriorKeyInRange(TPage*& page, int32_t& position, bool& moved, bool& retry, int32_t& slot) {
    if (!StepPriorKey(page, position, moved, retry, slot)) return false;
    return CompareWholeKeys(page->GetKeyAddress(static_cast<uint32_t>(slot)), FRangeStartKey.data()) >= 0;
}

bool TDataCursor::StepKey(bool forward, TPage*& page, int32_t& position, bool& moved, bool& retry, int32_t& slot) {
    auto step = [&] {
        if (forward)
            return FRangeActive ? StepNextKeyInRange(page, position, moved, retry, slot)
                                : StepNextKey(page, position, moved, retry, slot);
        return FRangeActive ? StepPriorKeyInRange(page, position, moved, retry, slot)
                            : StepPriorKey(page, position, moved, retry, slot);
    };
    if (!UsesVisibleSet()) return step();
    // The visible steps pass over hidden keys; an index holds no more keys than the
    // table has records, so a walk longer than that has met a looping leaf chain.
    const uint64_t limit = uint64_t{GetTableRecordCount()} + 1;
    for (uint64_t n = 0;; ++n) {
        if (n > limit) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
        if (!step()) return false;
        if (IsVisibleRecord(page->GetRecordNo(static_cast<uint32_t>(slot)))) return true;
    }
}

// ---- Moving by a count ------------------------------------------------------------------

void TDataCursor::MoveBy(int32_t count) {
    if (count == 0) return;
    if (IsRemote()) RaiseNoRemote();
    const bool forward = count > 0;
    const int64_t steps = forward ? int64_t{count} : -int64_t{count};

    if (IsNaturalOrder()) {
        TRecordsBitmap* set = FRecordSets[RS_VISIBLE];
        if (GetRecordCount() == 0 || !set) {
            SetEmptyPosition();
            return;
        }
        int32_t recordNo = ClampToInt(FRecordNo);
        int32_t position = FPosition.LogicalPos;
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(steps, INT32_MAX));
        if (forward) {
            const bool found = set->FindNext(recordNo, n, position);
            FBOF = false;
            FEOF = !found;
        } else {
            const bool found = set->FindPrior(recordNo, n, position);
            FBOF = !found;
            FEOF = false;
        }
        FRecordNo = static_cast<uint32_t>(std::max(recordNo, 0));
        FPosition.LogicalPos = position;
        return;
    }

    int32_t attempts = 0;
    int64_t remaining = steps;
    for (;;) {
        if (GetRecordCount() == 0) {
            SetEmptyPosition();
            return;
        }
        const uint32_t pageNo = FPosition.Page ? FPosition.Page->PageNumber : 0;
        TPinnedIndexPage pin(*this);
        int32_t slot = 0;
        int32_t position = 0;
        bool bof = FBOF;
        bool eof = FEOF;
        // No key held (the view was empty): the first step lands on the end the
        // walk starts from.
        bool fromEnd = pageNo == 0;
        if (!fromEnd) {
            if (!GetIndexPage(pageNo, false, pin.Page)) {
                PauseBeforeRetry(attempts, KURA_LOCKTIMEOUT);
                remaining = steps;
                continue;
            }
            if (!pin.Page->IsLeaf() || pin.Page->KeyCount == 0 || pin.Page->KeySize != FKeySize) {
                // The page no longer is a leaf of this index: start from the end.
                ReleaseIndexPage(pin.Page);
                fromEnd = true;
            } else {
                position = FPosition.LogicalPos;
                slot = std::clamp<int32_t>(FPosition.Slot, 1, pin.Page->KeyCount);
                remaining = steps;
            }
        }
        if (fromEnd) {
            const TWalkResult r = DescendToEnd(forward, pin.Page, slot, position);
            if (r == TWalkResult::Retry) {
                PauseBeforeRetry(attempts, KURA_LOCKTIMEOUT);
                continue;
            }
            if (r == TWalkResult::Empty) {
                SetEmptyPosition();
                return;
            }
            bof = eof = false;
            remaining = steps - 1;
        }

        bool moved = false;
        bool retry = false;
        bool stopped = false;
        for (int64_t i = 0; i < remaining; ++i) {
            if (!StepKey(forward, pin.Page, position, moved, retry, slot)) {
                stopped = true;
                break;
            }
            bof = false;
            eof = false;
        }
        if (retry) {
            PauseBeforeRetry(attempts, KURA_LOCKTIMEOUT);
            continue;
        }
        if (stopped) {
            const bool visible =
                !UsesVisibleSet() || IsVisibleRecord(pin.Page->GetRecordNo(static_cast<uint32_t>(slot)));
            if (!moved && visible) {
                (forward ? eof : bof) = true;
            } else {
                // Back onto the last valid key of the walk's direction.
                if (StepKey(!forward, pin.Page, position, moved, retry, slot)) {
                    (forward ? eof : bof) = true;
                } else if (retry) {
                    PauseBeforeRetry(attempts, KURA_LOCKTIMEOUT);
                    continue;
                } else {
                    SetEmptyPosition();
                    return;
                }
            }
        }
        StorePosition(*pin.Page, slot, position, bof, eof);
        return;
    }
}

// ---- First and last key ---------------------------------------------------------------------

TDataCursor::TWalkResult TDataCursor::ClipLeafToRange(TPage*& page, int32_t& slot, int32_t& position) {
    // A slot before the first key or after the last stands for the neighbouring
    // leaf's key; the position already counts that key.
    if (slot > page->KeyCount) {
        slot = page->KeyCount;
        --position;
    }
    if (slot < 1) slot = 1;
    const uint8_t* key = page->GetKeyAddress(static_cast<uint32_t>(slot));
    const bool below = CompareWholeKeys(key, FRangeStartKey.data()) < 0;
    const bool above = CompareWholeKeys(key, FRangeEndKey.data()) > 0;
    if (!below && !above) return TWalkResult::Done;
    if (below && above) return TWalkResult::Empty;
    bool moved = false;
    bool retry = false;
    const bool stepped = below ? StepNextKey(page, position, moved, retry, slot)
                               : StepPriorKey(page, position, moved, retry, slot);
    if (retry) return TWalkResult::Retry;
    if (!stepped) return TWalkResult::Empty;
    key = page->GetKeyAddress(static_cast<uint32_t>(slot));
    if (CompareWholeKeys(key, FRangeStartKey.data()) < 0 || CompareWholeKeys(key, FRangeEndKey.data()) > 0)
        return TWalkResult::Empty;
    return TWalkResult::Done;
}

TDataCursor::TWalkResult TDataCursor::DescendToEnd(bool first, TPage*& page, int32_t& slot, int32_t& position) {
    ReleaseIndexPage(page);
    if (!FTable) return TWalkResult::Empty;
    const uint32_t root = FTable->GetIndexFile().GetRootPage(FIndexNo);
    if (root == 0) return TWalkResult::Empty;
    if (!GetIndexPage(root, false, page)) return TWalkResult::Retry;
    position = 1;
    uint32_t s = 1;
    for (int depth = 1;; ++depth) {
        if (page->KeyCount == 0) {
            if (page->IsLeaf() && depth == 1) return TWalkResult::Empty;
            RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
        }
        if (FRangeActive) {
            if (first)
                page->FindRangeStart(*this, FRangeStartKey.data(), position, s);
            else
                page->FindRangeEnd(*this, FRangeEndKey.data(), position, s);
        } else if (first) {
            s = page->GetFirstSlot();
        } else {
            s = page->GetLastSlot(position);
        }
        if (page->IsLeaf()) break;
        if (depth >= MAX_INDEX_DEPTH) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
        const uint32_t child = page->GetRecordNo(std::max<uint32_t>(s, 1));
        ReleaseIndexPage(page);
        if (child == 0) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
        if (!GetIndexPage(child, false, page)) return TWalkResult::Retry;
    }
    slot = static_cast<int32_t>(s);
    if (FRangeActive) {
        const TWalkResult r = ClipLeafToRange(page, slot, position);
        if (r != TWalkResult::Done) return r;
    }
    if (UsesVisibleSet() && !IsVisibleRecord(page->GetRecordNo(static_cast<uint32_t>(slot)))) {
        bool moved = false;
        bool retry = false;
        if (!StepKey(first, page, position, moved, retry, slot))
            return retry ? TWalkResult::Retry : TWalkResult::Empty;
    }
    return TWalkResult::Done;
}

void TDataCursor::ClipToRange() {
    if (!FRangeActive || IsNaturalOrder() || !FPosition.Page || FPosition.Page->PageNumber == 0) return;
    int32_t attempts = 0;
    for (;;) {
        TPinnedIndexPage pin(*this);
        if (!GetIndexPage(FPosition.Page->PageNumber, false, pin.Page)) {
            PauseBeforeRetry(attempts, KURA_LOCKTIMEOUT);
            continue;
        }
        int32_t slot = FPosition.Slot;
        int32_t position = FPosition.LogicalPos;
        const TWalkResult r = ClipLeafToRange(pin.Page, slot, position);
        if (r == TWalkResult::Retry) {
            PauseBeforeRetry(attempts, KURA_LOCKTIMEOUT);
            continue;
        }
        if (r == TWalkResult::Empty)
            SetEmptyPosition();
        else
            StorePosition(*pin.Page, slot, position, FBOF, FEOF);
        return;
    }
}

void TDataCursor::MoveToFirstKey() { MoveToEndKey(true); }

void TDataCursor::MoveToLastKey() { MoveToEndKey(false); }

void TDataCursor::MoveToEndKey(bool first) {
    if (IsRemote()) RaiseNoRemote();
    if (IsNaturalOrder()) {
        TRecordsBitmap* set = FRecordSets[RS_VISIBLE];
        if (GetRecordCount() == 0 || !set) {
            SetEmptyPosition();
            return;
        }
        FBOF = false;
        FEOF = false;
        int32_t recordNo = 0;
        int32_t position = 0;
        bool found = false;
        if (first) {
            found = set->FindNext(recordNo, 1, position);
        } else {
            // One past the last record, counted from the visible records so that a
            // filtered view numbers its last record by the records it shows.
            recordNo = ClampToInt(uint64_t{GetLastRecordNumber()} + 1);
            position = ClampToInt(uint64_t{GetRecordCount()} + 1);
            found = set->FindPrior(recordNo, 1, position);
        }
        if (!found) {
            SetEmptyPosition();
            return;
        }
        FRecordNo = static_cast<uint32_t>(recordNo);
        FPosition.LogicalPos = position;
        return;
    }
    int32_t attempts = 0;
    for (;;) {
        if (GetRecordCount() == 0) {
            SetEmptyPosition();
            return;
        }
        TPinnedIndexPage pin(*this);
        int32_t slot = 0;
        int32_t position = 0;
        const TWalkResult r = DescendToEnd(first, pin.Page, slot, position);
        if (r == TWalkResult::Retry) {
            PauseBeforeRetry(attempts, KURA_LOCKTIMEOUT);
            continue;
        }
        if (r == TWalkResult::Empty)
            SetEmptyPosition();
        else
            StorePosition(*pin.Page, slot, position, false, false);
        return;
    }
}

void TDataCursor::SetToBegin() {
    if (IsRemote()) {
        BeginRemote(REQUEST_SETTOBEGIN);
        ReadCursorState(SendRemote());
        return;
    }
    CheckForChanges();
    try {
        MoveToFirstKey();
        MoveBy(-1);
        // The beginning starts a walk through the file: in natural order its read
        // brings in a block, as a step's would (GetReadAheadCount).
        FJumpReadEnd = FRecordNo;
        LoadCurrentRecord(1);
    } catch (...) {
        EndRead();
        throw;
    }
    EndRead();
}

void TDataCursor::SetToEnd() {
    if (IsRemote()) {
        BeginRemote(REQUEST_SETTOEND);
        ReadCursorState(SendRemote());
        return;
    }
    CheckForChanges();
    try {
        MoveToLastKey();
        MoveBy(1);
        LoadCurrentRecord(2);
    } catch (...) {
        EndRead();
        throw;
    }
    EndRead();
}

// ---- Record numbers ----------------------------------------------------------------------------

uint8_t TDataCursor::SetToRecordNumber(int32_t recordNo) {
    if (IsRemote()) {
        BeginRemote(REQUEST_SETTORECNO).PutI32(recordNo);
        ReadCursorState(SendRemote());
        return 1;
    }
    CheckForChanges();
    bool reached = false;
    try {
        GotoIndexPosition(recordNo);
        LoadCurrentRecord(1);
        reached = recordNo > 0 && GetRecordNumber() == static_cast<uint32_t>(recordNo);
    } catch (...) {
        EndRead();
        throw;
    }
    EndRead();
    return reached ? 1 : 0;
}

TDataCursor::TWalkResult TDataCursor::DescendToPosition(int32_t target, TPage*& page, int32_t& slot,
                                                        int32_t& position, bool& eof) {
    eof = false;
    ReleaseIndexPage(page);
    const uint32_t root = FTable->GetIndexFile().GetRootPage(FIndexNo);
    if (root == 0) return TWalkResult::Empty;
    if (!GetIndexPage(root, false, page)) return TWalkResult::Retry;
    // before: keys of the index that lie left of the page being looked at.
    int64_t before = 0;
    for (int depth = 1;; ++depth) {
        if (page->KeyCount == 0) {
            if (page->IsLeaf() && depth == 1) return TWalkResult::Empty;
            RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
        }
        if (page->IsLeaf()) break;
        if (depth >= MAX_INDEX_DEPTH) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
        uint32_t s = 1;
        for (; s < page->KeyCount; ++s) {
            const uint32_t count = page->GetSubtreeCount(s);
            if (before + count >= target) break;
            before += count;
        }
        const uint32_t child = page->GetRecordNo(s);
        ReleaseIndexPage(page);
        if (child == 0) RaiseError(KURA_INDEXCORRUPT, {}, FIndexName);
        if (!GetIndexPage(child, false, page)) return TWalkResult::Retry;
    }
    int64_t s = target - before;
    // Counts that fall short of the target send the walk along the leaf chain.
    while (s > page->KeyCount) {
        const int64_t keys = page->KeyCount;
        bool retry = false;
        if (!GetNextIndexPage(page, retry)) {
            if (retry) return TWalkResult::Retry;
            s = page->KeyCount;
            before += keys - s;
            eof = true;
            break;
        }
        s -= keys;
        before += keys;
    }
    if (s < 1) s = 1;
    slot = static_cast<int32_t>(s);
    position = static_cast<int32_t>(before + s);
    return TWalkResult::Done;
}

void TDataCursor::GotoIndexPosition(int32_t target) {
    if (IsRemote()) RaiseNoRemote();
    if (IsNaturalOrder()) {
        TRecordsBitmap* set = FRecordSets[RS_VISIBLE];
        if (GetRecordCount() == 0 || !set) {
            SetEmptyPosition();
            return;
        }
        if (target < 1) {
            MoveToFirstKey();
            FBOF = true;
            return;
        }
        FBOF = false;
        FEOF = false;
        int32_t recordNo = 0;
        int32_t position = 0;
        if (!set->FindNext(recordNo, target, position)) FEOF = true;
        FRecordNo = static_cast<uint32_t>(std::max(recordNo, 0));
        FPosition.LogicalPos = position;
        if (FRecordNo == 0) SetEmptyPosition();
        return;
    }

    int32_t attempts = 0;
    for (;;) {
        if (GetRecordCount() == 0) {
            SetEmptyPosition();
            return;
        }
        if (UsesVisibleSet()) {
            MoveToFirstKey();
            if (FBOF && FEOF) return;  // the view turned out empty
            if (static_cast<int64_t>(GetRecordNumber()) > target) {
                FBOF = true;
                return;
            }
            MoveToLastKey();
            if (FBOF && FEOF) return;
            if (static_cast<int64_t>(GetRecordNumber()) < target) {
                FEOF = true;
                return;
            }
        } else if (target < 1) {
            // Without a visible-record set the first key is number 1 and the last
            // the record count, so only the ends need a descent of their own.
            MoveToFirstKey();
            if (!(FBOF && FEOF)) FBOF = true;
            return;
        } else if (static_cast<int64_t>(target) > static_cast<int64_t>(GetRecordCount())) {
            MoveToLastKey();
            if (!(FBOF && FEOF)) FEOF = true;
            return;
        }
        const int32_t first = FRangeActive ? FRangeStart : 1;
        const int64_t logical = int64_t{target} + first - 1;
        if (FNoSubtreeCounts) {
            // Without subtree counts only the leaf chain knows positions.
            MoveToFirstKey();
            MoveBy(static_cast<int32_t>(std::min<int64_t>(logical - FPosition.LogicalPos, INT32_MAX)));
            return;
        }
        TPinnedIndexPage pin(*this);
        int32_t slot = 0;
        int32_t position = 0;
        bool eof = false;
        TWalkResult r = DescendToPosition(static_cast<int32_t>(logical), pin.Page, slot, position, eof);
        if (r == TWalkResult::Retry) {
            PauseBeforeRetry(attempts, KURA_LOCKTIMEOUT);
            continue;
        }
        if (r == TWalkResult::Empty) {
            SetEmptyPosition();
            return;
        }
        if (UsesVisibleSet() && !IsVisibleRecord(pin.Page->GetRecordNo(static_cast<uint32_t>(slot)))) {
            bool moved = false;
            bool retry = false;
            if (!StepKey(true, pin.Page, position, moved, retry, slot)) {
                if (retry) {
                    PauseBeforeRetry(attempts, KURA_LOCKTIMEOUT);
                    continue;
                }
                eof = true;
                if (!StepKey(false, pin.Page, position, moved, retry, slot)) {
                    if (retry) {
                        PauseBeforeRetry(attempts, KURA_LOCKTIMEOUT);
                        continue;
                    }
                    SetEmptyPosition();
                    return;
                }
            }
        }
        StorePosition(*pin.Page, slot, position, false, eof);
        return;
    }
}

void TDataCursor::SnapToVisibleRecord() {
    TRecordsBitmap* set = FRecordSets[RS_VISIBLE];
    if (!set) {
        SetEmptyPosition();
        return;
    }
    const int32_t current = ClampToInt(FRecordNo);
    // Standing on a visible record already: the search would find it.
    if (set->GetBit(current)) return;
    int32_t recordNo = current - 1;
    int32_t unused = 0;
    if (set->FindNext(recordNo, 1, unused)) {
        FRecordNo = static_cast<uint32_t>(recordNo);
        return;
    }
    recordNo = current == INT32_MAX ? current : current + 1;
    if (set->FindPrior(recordNo, 1, unused)) {
        FRecordNo = static_cast<uint32_t>(recordNo);
        return;
    }
    SetEmptyPosition();
}

void TDataCursor::GotoRecordNumber(int32_t recordNo) {
    if (IsRemote()) RaiseNoRemote();
    const uint32_t last = GetLastRecordNumber();
    if (GetRecordCount() == 0 || last == 0 || !FRecordSets[RS_VISIBLE]) {
        SetEmptyPosition();
        return;
    }
    FBOF = false;
    FEOF = false;
    FRecordNo = recordNo > 0 ? std::min<uint32_t>(static_cast<uint32_t>(recordNo), last) : 1;
    SnapToVisibleRecord();
    if (FRecordNo == 0) return;
    FPosition.LogicalPos = FRecordSets[RS_VISIBLE]->CountBefore(ClampToInt(FRecordNo)) + 1;
}

}  // namespace kura
