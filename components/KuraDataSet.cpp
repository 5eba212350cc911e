// TKuraDataSet: open and close, field definitions, record buffers, fetching,
// bookmarks, editing and field data.
#include "components/KuraDataSet.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "components/FieldTypeMap.h"
#include "components/KuraBlobStream.h"
#include "components/KuraMessages.h"
#include "components/KuraSession.h"
#include "engine/core/DataSession.h"
#include "platform/dataset/DatabaseError.h"

namespace kura {

namespace {

constexpr int64_t ServerVersionDiscardBlobs = 31102;

int32_t GetI32(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void PutI32(uint8_t* p, int32_t v) { std::memcpy(p, &v, 4); }

}  // namespace

TKuraDataSet::TKuraDataSet(TComponent* owner) : TDataSet(owner) {}

TKuraDataSet::~TKuraDataSet() {
    try {
        Close();
    } catch (...) {
    }
}

void TKuraDataSet::RaiseEngine(TEngineErrorCode code, const std::string& message) {
    if (FHandle) FHandle->RaiseError(code, {}, {}, message);
    RaiseEngineError(code, {}, {}, {}, {}, {}, {}, message);
}

// ---- open and close ------------------------------------------------------------------------

void TKuraDataSet::OpenCursor() {
    FHandle = CreateHandle();
    if (!FHandle) DatabaseError(msg::HandleError);
    try {
        TDataSet::OpenCursor();
    } catch (...) {
        TDataSet::CloseCursor();
        DestroyHandle();
        FHandle = nullptr;
        throw;
    }
}

void TKuraDataSet::CloseCursor() {
    TDataSet::CloseCursor();
    DestroyHandle();
    FHandle = nullptr;
}

void TKuraDataSet::DestroyHandle() {
    if (!FHandle) return;
    TSessionLock lock(DBSession());
    if (!FHandle->IsQueryResult()) {
        FHandle->CloseCursor(false);
        delete FHandle;
    }
    FHandle = nullptr;
}

void TKuraDataSet::DoBeforeClose() {
    if (FState == dsEdit || FState == dsInsert || FState == dsSetKey) Cancel();
    TDataSet::DoBeforeClose();
}

void TKuraDataSet::InternalInitFieldDefs() {
    if (!FHandle) return;
    TSessionLock lock(DBSession());
    TFieldDefs& defs = FieldDefs();
    defs.BeginUpdate();
    try {
        defs.Clear();
        for (uint16_t n = 1; n <= FHandle->GetCursorFieldCount(); ++n) {
            TFieldDesc desc;
            FHandle->GetFieldDesc(n, desc);
            if (desc.Bytes[fdo::Hidden] != 0) continue;
            TFieldDef def = FieldDefFromDesc(desc);
            if (def.DataType == ftUnknown) continue;
            const std::string base = def.Name;
            for (int k = 1; defs.IndexOf(def.Name) >= 0; ++k) def.Name = base + "_" + std::to_string(k);
            TFieldDef& added = defs.Add(def.Name, def.DataType, def.Size, def.Required);
            added.Precision = def.Precision;
            added.FieldNo = n;
        }
    } catch (...) {
        defs.EndUpdate();
        throw;
    }
    defs.EndUpdate();
}

void TKuraDataSet::ComputeLayout() {
    FRecordSize = FHandle->GetCursorRecordSize();
    BookmarkSize = FHandle->IsNaturalOrder() ? 4 : FHandle->GetKeySize();
    FRecInfoOfs = FRecordSize + CalcFieldsSize();
    FBookmarkOfs = FRecInfoOfs + 8;
    FRecBufSize = FBookmarkOfs + BookmarkSize;
}

void TKuraDataSet::InternalOpen() {
    TSessionLock lock(DBSession());
    FCanModify = !FHandle->IsReadOnly();
    FieldDefs().Updated = false;
    FieldDefs().Update();
    if (FHandle->IsQueryResult()) {
        FKeyFieldCount = 0;
        FKeySize = 0;
        FCaseInsIndex = false;
    } else {
        GetIndexInfo();
    }
    if (DefaultFields()) CreateFields();
    BindFields(true);
    UpdateDisplayLabels();
    UpdateFieldOrigins();
    ComputeLayout();
    FOldBuffer.assign(static_cast<std::size_t>(FRecordSize), 0);
    for (auto& k : FKeyBuffers) {
        k.assign(static_cast<std::size_t>(FRecordSize) + 8, 0);
        FHandle->ClearRecordBuffer(k.data() + 8);
    }
    FHandle->SetToBegin();
    PrepareCursor();
    if (!FFilterText.empty() && FFiltered) CreateExpressionFilter();
    FFuncFilter = FOnFilterRecord ? 1 : 0;
}

void TKuraDataSet::InternalClose() {
    FExprFilter = 0;
    FFuncFilter = 0;
    for (auto& k : FKeyBuffers) k.clear();
    FKeyBuffer = nullptr;
    FOldBuffer.clear();
    FBlockBuffer.clear();
    FBlockRecBuf.clear();
    BindFields(false);
    DestroyDefaultFields();
    FKeyFieldCount = 0;
    FKeySize = 0;
    FCaseInsIndex = false;
}

void TKuraDataSet::SetAutoDisplayLabels(bool value) {
    FAutoDisplayLabels = value;
    UpdateDisplayLabels();
}

void TKuraDataSet::UpdateDisplayLabels() {
    if (!FAutoDisplayLabels || !FHandle) return;
    for (int i = 0; i < FieldCount(); ++i) {
        TField* f = Fields(i);
        if (f->FieldKind != fkData || f->FieldNo < 1) continue;
        TFieldDesc desc;
        FHandle->GetFieldDesc(static_cast<uint16_t>(f->FieldNo), desc);
        if (!desc.Description().empty()) f->DisplayLabel = desc.Description();
    }
}

void TKuraDataSet::UpdateFieldOrigins() {
    if (!FHandle) return;
    for (int i = 0; i < FieldCount(); ++i) {
        TField* f = Fields(i);
        if (f->FieldKind != fkData || f->FieldNo < 1) continue;
        TFieldDesc desc;
        FHandle->GetFieldDesc(static_cast<uint16_t>(f->FieldNo), desc);
        f->Origin = dfbytes::GetPStr(&desc.Bytes[fdo::Origin], 100);
    }
}

// ---- record buffers ----------------------------------------------------------------------

uint8_t* TKuraDataSet::AllocRecordBuffer() { return new uint8_t[static_cast<std::size_t>(FRecBufSize)](); }

void TKuraDataSet::FreeRecordBuffer(uint8_t*& buffer) {
    delete[] buffer;
    buffer = nullptr;
}

void TKuraDataSet::InternalInitRecord(uint8_t* buffer) {
    TSessionLock lock(DBSession());
    FHandle->InitRecord(buffer);
}

void TKuraDataSet::InitRecord(uint8_t* buffer) {
    TDataSet::InitRecord(buffer);
    PutI32(buffer + FRecInfoOfs, -1);
    buffer[FRecInfoOfs + 4] = bfInserted;
}

void TKuraDataSet::ClearCalcFields(uint8_t* buffer) {
    if (CalcFieldsSize() > 0) std::memset(buffer + FRecordSize, 0, static_cast<std::size_t>(CalcFieldsSize()));
}

uint8_t* TKuraDataSet::ActiveRecBuf() {
    switch (FState) {
        case dsBrowse: return FRecordCount == 0 ? nullptr : ActiveBuffer();
        case dsEdit:
        case dsInsert:
        case dsNewValue: return ActiveBuffer();
        case dsSetKey: return FKeyBuffer ? FKeyBuffer + 8 : nullptr;
        case dsCalcFields: return CalcBuffer();
        case dsFilter: return FFilterBuffer;
        case dsOldValue: return FOldBuffer.empty() ? nullptr : FOldBuffer.data();
        case dsBlockRead: return FBlockRecBuf.empty() ? nullptr : FBlockRecBuf.data();
        default: return nullptr;
    }
}

// ---- fetching ----------------------------------------------------------------------------

TGetResult TKuraDataSet::GetRecord(uint8_t* buffer, TGetMode mode, bool doCheck) {
    if (!FHandle) return grError;
    TSessionLock lock(DBSession());
    for (;;) {
        TEngineErrorCode code;
        if (mode == gmCurrent) code = FHandle->GetCurrentRecord(buffer, false);
        else if (mode == gmNext) code = FHandle->GetNextRecord(buffer);
        else code = FHandle->GetPriorRecord(buffer);
        if (code == 0) {
            if (EventFilterActive() && !FilterAccepts(buffer)) {
                if (mode == gmCurrent) return grError;
                continue;
            }
            CompleteRecord(*FHandle, buffer);
            return grOK;
        }
        if (code == KURA_BOF) return grBOF;
        if (code == KURA_EOF) return grEOF;
        if (doCheck) FHandle->CheckError(code, "");
        return grError;
    }
}

void TKuraDataSet::CompleteRecord(TDataCursor& cursor, uint8_t* buffer) {
    PutI32(buffer + FRecInfoOfs, static_cast<int32_t>(cursor.GetRecordNumber()));
    buffer[FRecInfoOfs + 4] = bfCurrent;
    GetCalcFields(buffer);
    const TCursorBookmark b = cursor.GetBookmark();
    std::memset(buffer + FBookmarkOfs, 0, static_cast<std::size_t>(BookmarkSize));
    std::memcpy(buffer + FBookmarkOfs, b.data(), std::min<std::size_t>(b.size(), BookmarkSize));
}

bool TKuraDataSet::ReadAside(int first, int count, const std::function<void(const TBookmark&)>& visit) {
    if (!FHandle || !Active() || first < 1 || count < 1) return false;
    FAsideRecBuf.assign(static_cast<std::size_t>(FRecBufSize), 0);
    uint8_t* const work = FAsideRecBuf.data();
    std::unique_ptr<TDataCursor> aside;
    {
        TSessionLock lock(DBSession());
        aside.reset(FHandle->CloneCursor());
    }
    struct Closing {
        TDataCursor& cursor;
        ~Closing() {
            try {
                cursor.CloseCursor(false);
            } catch (...) {
            }
        }
    } closing{*aside};
    // The next record the dataset would show, its event filter applied; false at the end.
    auto next = [&] {
        for (;;) {
            TEngineErrorCode code;
            {
                TSessionLock lock(DBSession());
                code = aside->GetNextRecord(work);
            }
            if (code == KURA_EOF) return false;
            if (code != 0) aside->CheckError(code, "");
            if (!EventFilterActive() || FilterAccepts(work)) return true;
        }
    };
    bool positioned = false;
    if (!FFiltered) {
        TSessionLock lock(DBSession());
        positioned = aside->SetToRecordNumber(first) != 0;
        if (positioned) aside->GetPriorRecord(nullptr);  // the next read is record `first`
    }
    if (!positioned) {
        // Records a filter hides keep their numbers: count the shown ones from the first.
        {
            TSessionLock lock(DBSession());
            aside->SetToBegin();
        }
        for (int skip = first - 1; skip > 0; --skip)
            if (!next()) return true;
    }
    for (int i = 0; i < count && next(); ++i) {
        CompleteRecord(*aside, work);
        TBookmark bookmark;
        GetBookmarkData(work, bookmark);
        // Shown as a block read shows its record: the fields read this buffer meanwhile.
        FBlockRecBuf.swap(FAsideRecBuf);
        const TDataSetState saved = SetTempState(dsBlockRead);
        try {
            visit(bookmark);
        } catch (...) {
            RestoreState(saved);
            FBlockRecBuf.swap(FAsideRecBuf);
            throw;
        }
        RestoreState(saved);
        FBlockRecBuf.swap(FAsideRecBuf);
    }
    return true;
}

bool TKuraDataSet::GetCurrentRecord(uint8_t* buffer) {
    if (!FHandle || IsEmpty() || GetBookmarkFlag(ActiveBuffer()) != bfCurrent) return false;
    UpdateCursorPos();
    TSessionLock lock(DBSession());
    return FHandle->GetCurrentRecord(buffer, false) == 0;
}

int TKuraDataSet::GetRecordCount() {
    CheckActive();
    if (!FHandle) return 0;
    TSessionLock lock(DBSession());
    if (!EventFilterActive()) return static_cast<int>(FHandle->GetRecordCount());
    // The event filter lives here, so the cursor's count does not know it: count the
    // accepted records on a clone that leaves this cursor where it is.
    std::unique_ptr<TDataCursor> clone(FHandle->CloneCursor());
    std::vector<uint8_t> work(static_cast<std::size_t>(FRecBufSize), 0);
    int count = 0;
    clone->SetToBegin();
    while (clone->GetNextRecord(work.data()) == 0)
        if (FilterAccepts(work.data())) ++count;
    clone->CloseCursor(false);
    return count;
}

int TKuraDataSet::GetRecNo() {
    CheckActive();
    const uint8_t* buffer = FState == dsCalcFields ? CalcBuffer() : ActiveBuffer();
    if (!buffer || (FRecordCount == 0 && FState == dsBrowse)) return 0;
    return GetI32(buffer + FRecInfoOfs);
}

void TKuraDataSet::SetRecNoValue(int value) {
    CheckBrowseMode();
    if (value == RecNo()) return;
    DoBeforeScroll();
    {
        TSessionLock lock(DBSession());
        FHandle->SetToRecordNumber(value);
    }
    Resync(rmCenter);
    DoAfterScroll();
}

bool TKuraDataSet::IsSequenced() {
    if (!FHandle) return false;
    if (!FHandle->IsQueryResult()) return true;
    return !FHandle->IsQuerySource();
}

int TKuraDataSet::GetNextRecords() { return TDataSet::GetNextRecords(); }
int TKuraDataSet::GetPriorRecords() { return TDataSet::GetPriorRecords(); }

void TKuraDataSet::InternalFirst() {
    TSessionLock lock(DBSession());
    FHandle->SetToBegin();
}

void TKuraDataSet::InternalLast() {
    TSessionLock lock(DBSession());
    FHandle->SetToEnd();
}

// ---- bookmarks ---------------------------------------------------------------------------

TBookmarkFlag TKuraDataSet::GetBookmarkFlag(const uint8_t* buffer) {
    return static_cast<TBookmarkFlag>(buffer[FRecInfoOfs + 4]);
}

void TKuraDataSet::SetBookmarkFlag(uint8_t* buffer, TBookmarkFlag flag) { buffer[FRecInfoOfs + 4] = flag; }

void TKuraDataSet::GetBookmarkData(const uint8_t* buffer, TBookmark& data) {
    data.assign(buffer + FBookmarkOfs, buffer + FBookmarkOfs + BookmarkSize);
}

void TKuraDataSet::SetBookmarkData(uint8_t* buffer, const TBookmark& data) {
    std::memset(buffer + FBookmarkOfs, 0, static_cast<std::size_t>(BookmarkSize));
    std::memcpy(buffer + FBookmarkOfs, data.data(), std::min<std::size_t>(data.size(), BookmarkSize));
}

void TKuraDataSet::InternalGotoBookmark(const TBookmark& bookmark) {
    TSessionLock lock(DBSession());
    FHandle->SetToBookmark(TCursorBookmark(bookmark.begin(), bookmark.end()), false, false);
}

void TKuraDataSet::InternalSetToRecord(uint8_t* buffer) {
    TBookmark b;
    GetBookmarkData(buffer, b);
    InternalGotoBookmark(b);
}

bool TKuraDataSet::BookmarkValid(const TBookmark& bookmark) {
    if (!FHandle || static_cast<int>(bookmark.size()) != BookmarkSize) return false;
    CursorPosChanged();
    TSessionLock lock(DBSession());
    return FHandle->SetToBookmark(TCursorBookmark(bookmark.begin(), bookmark.end()), false, false);
}

int TKuraDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
    if (a.empty() && b.empty()) return 0;
    if (a.empty()) return -1;
    if (b.empty()) return 1;
    if (!FHandle) return 0;
    TSessionLock lock(DBSession());
    const int32_t r = FHandle->CompareBookmarks(a, b);
    return r == -1 || r == 1 ? r : 0;
}

// ---- editing -----------------------------------------------------------------------------

void TKuraDataSet::InternalEdit() {
    TSessionLock lock(DBSession());
    const TEngineErrorCode code = FHandle->GetCurrentRecord(ActiveBuffer(), true);
    std::memcpy(FOldBuffer.data(), ActiveBuffer(), static_cast<std::size_t>(FRecordSize));
    if (code != 0) FHandle->CheckError(code, "");
}

void TKuraDataSet::InternalPost() {
    TSessionLock lock(DBSession());
    if (FState == dsEdit) FHandle->ModifyRecord(ActiveBuffer(), true, true);
    else FHandle->AppendRecord(ActiveBuffer(), true);
}

void TKuraDataSet::InternalAddRecord(uint8_t* buffer, bool) {
    TSessionLock lock(DBSession());
    FHandle->AppendRecord(buffer, true);
}

void TKuraDataSet::InternalDelete() {
    TSessionLock lock(DBSession());
    FHandle->DeleteRecord(ActiveBuffer(), true);
}

void TKuraDataSet::InternalCancel() {
    TSessionLock lock(DBSession());
    if (FState == dsEdit) FHandle->CancelRecord();
    // A local cursor releases exactly the BLOBs opened through this buffer; an older
    // server only knows how to drop every open BLOB.
    if (!FHandle->IsRemote() || FHandle->GetServerVersion() >= ServerVersionDiscardBlobs)
        FHandle->DiscardRecordBlobs(ActiveBuffer());
    else
        FHandle->FreeAllBlobs(true);
    for (int i = 0; i < FieldCount(); ++i)
        if (auto* blob = dynamic_cast<TBlobField*>(Fields(i))) blob->Modified = false;
}

void TKuraDataSet::InternalRefresh() {
    TSessionLock lock(DBSession());
    FHandle->Refresh();
}

void TKuraDataSet::DoOnNewRecord() {
    {
        TSessionLock lock(DBSession());
        bool copied = false;
        if (CopyOnAppend && FHandle->GetRecordCount() > 0) {
            if (FHandle->CloneCurrentRecord(ActiveBuffer()) == 0) {
                std::memcpy(FOldBuffer.data(), ActiveBuffer(), static_cast<std::size_t>(FRecordSize));
                copied = true;
            }
        }
        if (!copied) FHandle->ClearRecordBuffer(FOldBuffer.data());
    }
    TDataSet::DoOnNewRecord();
}

void TKuraDataSet::Post() {
    TDataSet::Post();
    if (FState == dsSetKey) PostKeyBuffer(true);
}

void TKuraDataSet::Cancel() {
    TDataSet::Cancel();
    if (FState == dsSetKey) PostKeyBuffer(false);
}

}  // namespace kura
