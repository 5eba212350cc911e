// The record-buffer window of TDataSet and the operations that move it: fetching,
// First, Last, MoveBy, Resync, bookmarks, refresh and block reads.
#include <algorithm>

#include "platform/dataset/DataSet.h"
#include "platform/dataset/DatabaseError.h"

namespace kura {

uint8_t* TDataSet::ActiveBuffer() const {
    if (FBuffers.empty()) return nullptr;
    return FBuffers[static_cast<std::size_t>(FActiveRecord)];
}

uint8_t* TDataSet::TempBuffer() const {
    if (FBuffers.empty()) return nullptr;
    return FBuffers[static_cast<std::size_t>(FBufferCount)];
}

void TDataSet::SetBufferCount(int value) {
    value = std::max(0, value);
    if (value == FBufferCount && !(value == 0 && !FBuffers.empty())) return;
    const int wanted = value == 0 ? 0 : value + 1;
    while (static_cast<int>(FBuffers.size()) > wanted) {
        uint8_t* b = FBuffers.back();
        FBuffers.pop_back();
        FreeRecordBuffer(b);
    }
    while (static_cast<int>(FBuffers.size()) < wanted) FBuffers.push_back(AllocRecordBuffer());
    FBufferCount = value;
    if (FRecordCount > FBufferCount) FRecordCount = FBufferCount;
    if (FActiveRecord >= std::max(1, FRecordCount)) FActiveRecord = std::max(0, FRecordCount - 1);
    FCurrentRecord = -1;
}

void TDataSet::ClearBuffers() {
    FRecordCount = 0;
    FActiveRecord = 0;
    FCurrentRecord = -1;
    FBOF = true;
    FEOF = true;
}

void TDataSet::ActivateBuffers() {
    FRecordCount = 1;
    FActiveRecord = 0;
    FCurrentRecord = 0;
    FBOF = false;
    FEOF = false;
}

void TDataSet::MoveBuffer(int from, int to) {
    if (from == to) return;
    uint8_t* b = FBuffers[static_cast<std::size_t>(from)];
    FBuffers.erase(FBuffers.begin() + from);
    FBuffers.insert(FBuffers.begin() + to, b);
}

void TDataSet::SetCurrentRecord(int index) {
    if (FCurrentRecord == index) return;
    uint8_t* buffer = FBuffers[static_cast<std::size_t>(index)];
    switch (GetBookmarkFlag(buffer)) {
        case bfCurrent:
        case bfInserted: InternalSetToRecord(buffer); break;
        case bfBOF: InternalFirst(); break;
        case bfEOF: InternalLast(); break;
    }
    FCurrentRecord = index;
}

void TDataSet::UpdateCursorPos() {
    if (FRecordCount > 0) SetCurrentRecord(FActiveRecord);
}

bool TDataSet::GetNextRecord() {
    if (FRecordCount > 0) SetCurrentRecord(FRecordCount - 1);
    TGetMode mode = gmNext;
    if (FState == dsInsert && FCurrentRecord == FActiveRecord && GetBookmarkFlag(ActiveBuffer()) == bfCurrent)
        mode = gmCurrent;
    const bool ok = GetRecord(FBuffers[static_cast<std::size_t>(FRecordCount)], mode, true) == grOK;
    if (!ok) {
        CursorPosChanged();
        return false;
    }
    if (FRecordCount == 0) {
        ActivateBuffers();
    } else if (FRecordCount < FBufferCount) {
        ++FRecordCount;
    } else {
        MoveBuffer(0, FRecordCount);
    }
    FCurrentRecord = FRecordCount - 1;
    return true;
}

bool TDataSet::GetPriorRecord() {
    if (FRecordCount > 0) SetCurrentRecord(0);
    const bool ok = GetRecord(FBuffers[static_cast<std::size_t>(FRecordCount)], gmPrior, true) == grOK;
    if (!ok) {
        CursorPosChanged();
        return false;
    }
    if (FRecordCount == 0) {
        ActivateBuffers();
    } else {
        MoveBuffer(FRecordCount, 0);
        if (FRecordCount < FBufferCount) {
            ++FRecordCount;
            ++FActiveRecord;
        }
    }
    FCurrentRecord = 0;
    return true;
}

int TDataSet::GetNextRecords() {
    int n = 0;
    while (FRecordCount < FBufferCount && GetNextRecord()) ++n;
    return n;
}

int TDataSet::GetPriorRecords() {
    int n = 0;
    while (FRecordCount < FBufferCount && GetPriorRecord()) ++n;
    return n;
}

void TDataSet::First() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    try {
        InternalFirst();
        GetNextRecord();
        GetNextRecords();
    } catch (...) {
        FBOF = true;
        DataEvent(deDataSetChange, 0);
        throw;
    }
    FBOF = true;
    FEOF = FRecordCount == 0;
    DataEvent(deDataSetChange, 0);
    DoAfterScroll();
}

void TDataSet::Last() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    try {
        InternalLast();
        GetPriorRecord();
        GetPriorRecords();
    } catch (...) {
        FEOF = true;
        DataEvent(deDataSetChange, 0);
        throw;
    }
    FEOF = true;
    FBOF = FRecordCount == 0;
    DataEvent(deDataSetChange, 0);
    DoAfterScroll();
}

int TDataSet::MoveBy(int distance) {
    CheckBrowseMode();
    int moved = 0;
    if ((distance > 0 && !FEOF) || (distance < 0 && !FBOF)) {
        DoBeforeScroll();
        FBOF = false;
        FEOF = false;
        if (FState == dsBlockRead && distance == 1) {
            BlockReadNext();
            return 1;
        }
        try {
            while (distance > 0) {
                if (FActiveRecord < FRecordCount - 1) {
                    ++FActiveRecord;
                } else if (GetNextRecord()) {
                    if (FActiveRecord < FRecordCount - 1) ++FActiveRecord;
                } else {
                    FEOF = true;
                    break;
                }
                --distance;
                ++moved;
            }
            while (distance < 0) {
                if (FActiveRecord > 0) {
                    --FActiveRecord;
                } else if (GetPriorRecord()) {
                    if (FActiveRecord > 0) --FActiveRecord;
                } else {
                    FBOF = true;
                    break;
                }
                ++distance;
                --moved;
            }
        } catch (...) {
            DataEvent(deDataSetChange, 0);
            throw;
        }
        DataEvent(deDataSetScroll, moved);
        DoAfterScroll();
    }
    return moved;
}

void TDataSet::Resync(TResyncMode mode) {
    uint8_t* spare = FBuffers[static_cast<std::size_t>(FRecordCount)];
    if (mode & rmExact) {
        CursorPosChanged();
        if (GetRecord(spare, gmCurrent, true) != grOK) DatabaseError("Record not found");
    } else if (GetRecord(spare, gmCurrent, false) != grOK && GetRecord(spare, gmNext, false) != grOK &&
               GetRecord(spare, gmPrior, false) != grOK) {
        ClearBuffers();
        DataEvent(deDataSetChange, 0);
        return;
    }
    int count = (mode & rmCenter) ? (FBufferCount - 1) / 2 : FActiveRecord;
    MoveBuffer(FRecordCount, 0);
    ActivateBuffers();
    try {
        while (count > 0 && GetPriorRecord()) --count;
        GetNextRecords();
        GetPriorRecords();
    } catch (...) {
        DataEvent(deDataSetChange, 0);
        throw;
    }
    DataEvent(deDataSetChange, 0);
}

void TDataSet::Refresh() {
    CheckBrowseMode();
    if (BeforeRefresh) BeforeRefresh(this);
    UpdateCursorPos();
    InternalRefresh();
    Resync(0);
    if (AfterRefresh) AfterRefresh(this);
}

// ---- bookmarks ---------------------------------------------------------------------------

TBookmark TDataSet::GetBookmark() {
    TBookmark b;
    const bool available = (FState == dsBrowse && FRecordCount > 0) || FState == dsEdit;
    if (available && ActiveBuffer() && GetBookmarkFlag(ActiveBuffer()) == bfCurrent) GetBookmarkData(ActiveBuffer(), b);
    return b;
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
    if (bookmark.empty()) return;
    CheckBrowseMode();
    DoBeforeScroll();
    InternalGotoBookmark(bookmark);
    Resync(rmExact | rmCenter);
    DoAfterScroll();
}

bool TDataSet::BookmarkValid(const TBookmark&) { return false; }

int TDataSet::CompareBookmarks(const TBookmark&, const TBookmark&) { return 0; }

// ---- searching ---------------------------------------------------------------------------

bool TDataSet::FindRecord(bool, bool) { return false; }

bool TDataSet::Locate(const std::string&, const TVariant&, TLocateOptions) { return false; }

TVariant TDataSet::Lookup(const std::string&, const TVariant&, const std::string&) { return TVariant::Null(); }

// ---- block reads -------------------------------------------------------------------------

void TDataSet::SetBlockReadSize(int value) {
    if (value > 0) {
        CheckActive();
        FBlockReadSize = value;
        SetState(dsBlockRead);
    } else {
        FBlockReadSize = 0;
        if (FState == dsBlockRead) {
            FState = dsBrowse;
            Resync(0);
            DataEvent(deUpdateState, 0);
        }
    }
}

void TDataSet::BlockReadNext() {
    const TDataSetState saved = SetTempState(dsBrowse);
    try {
        MoveBy(1);
    } catch (...) {
        RestoreState(saved);
        throw;
    }
    RestoreState(saved);
}

}  // namespace kura
