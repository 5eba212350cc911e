// Construction, open options, open, close, clone, refresh and the detection of
// changes made by other cursors and programs.
#include "engine/core/DataCursor.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/files/BlobBuffer.h"
#include "engine/files/Routines.h"
#include "platform/CodePage.h"

namespace kura {

namespace {

// Rounds of the password event before an encrypted table is refused: an event
// that keeps answering "try again" without adding the password must not hold the
// open forever.
constexpr int PASSWORD_EVENT_ROUNDS = 3;

// Bytes of the definition copies beyond the part the data file stores.
constexpr uint8_t ORIGIN_TEXT_LENGTH = 100;
constexpr uint8_t DATABASE_TEXT_LENGTH = 100;

}  // namespace

TDataCursor::TDataCursor(TDataDirectory* directory, bool noRemoteCreate)
    : FDirectory(directory), FRemote(directory && directory->IsRemote()) {
    FStopWords.SetSorted(true);
    FStopWords.SetDuplicates(TDuplicates::dupIgnore);
    if (IsRemote()) {
        // A clone gets its server handle from the clone request instead.
        if (!noRemoteCreate) CreateRemoteCursor();
    } else {
        for (auto& set : FRecordSets) set = AllocRecordsBitmap();
    }
    // Last: a cursor whose making failed is in no list.
    if (FDirectory) FDirectory->AddCursor(this);
}

TDataCursor::~TDataCursor() {
    try {
        CloseCursor(true);
    } catch (...) {
        // A destructor must not throw; whatever close left behind is released below.
        ReleaseOpenState();
    }
    if (IsRemote()) FreeRemoteCursor();
    for (auto& set : FRecordSets) ReleaseRecordsBitmap(set);
    for (TBlobBuffer* blob : FOpenBlobs) delete blob;
    FOpenBlobs.clear();
    if (FDirectory) FDirectory->RemoveCursor(this);
}

TDataSession* TDataCursor::GetSession() const { return FDirectory ? FDirectory->Session : nullptr; }

std::string TDataCursor::GetDatabaseName() const { return FDirectory ? FDirectory->GetDatabaseName() : std::string(); }

void TDataCursor::RaiseError(TEngineErrorCode code, std::string_view field, std::string_view index,
                             std::string_view message) const {
    std::string server;
    if (IsRemote() && GetSession()) server = GetSession()->GetServerName();
    RaiseEngineError(code, server, {}, GetDatabaseName(), FTableName, field, index, message);
}

void TDataCursor::RaiseNoRemote() const { RaiseError(KURA_REMOTECONNECT); }

// ---- Options ------------------------------------------------------------------

void TDataCursor::CheckNotOpen() const {
    if (FOpen) RaiseError(KURA_TABLEOPEN);
}

void TDataCursor::SetExclusive(bool value) {
    CheckNotOpen();
    FExclusive = value;
}

void TDataCursor::SetExclusiveClone(bool value) {
    CheckNotOpen();
    FExclusiveClone = value;
}

void TDataCursor::SetReadOnly(bool value) {
    CheckNotOpen();
    FReadOnly = value;
}

void TDataCursor::SetInMemory(bool value) {
    CheckNotOpen();
    FInMemory = value;
}

void TDataCursor::SetTableName(std::string_view value) {
    CheckNotOpen();
    if (value == FTableName) return;
    // The folder goes: a table is one of its database's. A name that is left empty,
    // or "." or "..", names no file; opening or creating it is refused with
    // KURA_OSENOENT by the database.
    std::string name;
    SplitFileNameExt(value, ".DAT", name);
    FTableName = name.substr(0, platform::Cp932PrefixLength(name, 255));
}

void TDataCursor::SetQueryResult(bool value) { FQueryResult = value; }

void TDataCursor::SetQuerySource(bool value) {
    CheckNotOpen();
    FQuerySource = value;
}

void TDataCursor::SetTemporaryFiles(bool value) {
    CheckNotOpen();
    FTemporaryFiles = value;
}

bool TDataCursor::IsNaturalOrder() const {
    if (FIndexNo == NATURAL_ORDER) return true;
    return FIndexNo == PRIMARY_INDEX && FTable && FTable->GetNoPrimaryIndex();
}

int32_t TDataCursor::GetProgressInterval() const {
    const TDataSession* session = GetSession();
    return session ? session->GetProgressInterval() : 100;
}

int64_t TDataCursor::GetServerVersion() const {
    const TDataSession* session = GetSession();
    return session ? session->GetServerVersion() : 0;
}

void TDataCursor::SuppressAutoInc(bool value) {
    if (!FHasAutoInc || value == FSuppressAutoInc) return;
    if (IsRemote()) {
        BeginRemote(REQUEST_SUPPRESSAUTOINC).PutBool(value);
        SendRemote();
    }
    FSuppressAutoInc = value;
}

// ---- Open ---------------------------------------------------------------------

void TDataCursor::CheckTablePassword(const std::string& password) {
    TDataSession* session = GetSession();
    for (int round = 0;; ++round) {
        if (session && session->PasswordExists(password)) return;
        if (round >= PASSWORD_EVENT_ROUNDS || !DoPasswordEvent()) RaiseError(KURA_NOTSUFFTABLERIGHTS);
    }
}

void TDataCursor::OpenCursor(bool alreadyOpenedRemotely) {
    if (FOpen) return;
    if (!FDirectory) RaiseError(KURA_NOTINITIALIZED);
    FFieldDefs.clear();

    TDataTable* table = nullptr;
    const int32_t result = FDirectory->OpenTable(FTableName, table, FQueryResult, FQuerySource, FTemporaryFiles,
                                                 FInMemory, FExclusiveClone, FExclusive);
    if (result < 0 || !table) RaiseError(static_cast<TEngineErrorCode>(result < 0 ? -result : KURA_OSENOENT));
    FTable = table;
    FOpen = true;
    try {
        if (IsRemote()) {
            OpenRemoteState(alreadyOpenedRemotely);
            return;
        }
        if (FTable->IsReadOnly()) FReadOnly = true;
        FTableFilesReadOnly = FTable->IsReadOnlyByAttribute();
        if (FTableFilesReadOnly) FReadOnly = true;

        // The first user of the table checks its headers against the disk.
        if (!FRestructuring && FTable->GetOpenCount() == 1 &&
            (!FTable->InTransaction() || !FTable->GetFilesWritten())) {
            FTable->BeginRead();
            try {
                FTable->VerifyHeaders();
            } catch (...) {
                FTable->EndRead();
                throw;
            }
            FTable->EndRead();
        }

        if (FTable->IsEncrypted()) CheckTablePassword(FTable->GetPassword());

        TDataFile& data = FTable->GetDataFile();
        FLocaleID = data.GetLocaleID();
        FSortID = data.GetSortID();
        GetLanguageCharMap(FLocaleID, FSortID, FCharMap);
        FFieldCount = std::min<uint16_t>(FTable->GetFieldCount(), CURSOR_MAX_FIELDS);
        FRecordSize = FTable->GetRecordSize();

        SaveChangeCounters();

        CopyTableFieldDefs();

        FRecord = data.PopRecord();
        FRecord->SetRecordSize(FRecordSize);
        FPosition = TCursorPosition{};
        FPosition.Page = FTable->GetIndexFile().PopPage();
        FPosition.LogicalPos = 1;
        FPosition.Slot = 1;
        FRangeStart = 1;
        FRangeEnd = static_cast<int32_t>(std::min<uint32_t>(FTable->GetRecordCount(), INT32_MAX));
        FVisibleCount = 0;
        FRangeActive = false;
        FRangeStartKey.fill(0);
        FRangeEndKey.fill(0xFF);
        FVisibleSetActive = false;
        FBOF = false;
        FEOF = false;

        if (FTable->IsIndexRecreated()) {
            RebuildLostIndexFile();
            FTable->IndexRecreatedRebuilt();
        }

        SetIndexNumber(FQuerySource ? NATURAL_ORDER : PRIMARY_INDEX);
        if (IsNaturalOrder()) {
            FVisibleSetActive = true;
            ComputeRangeBounds();
            RebuildAllFilterSets();
            ApplyFilterSets();
        }
        SetToBegin();
    } catch (...) {
        try {
            CloseCursor(true);
        } catch (...) {
            ReleaseOpenState();
        }
        throw;
    }
}

void TDataCursor::CopyTableFieldDefs() {
    // The database's name for a session with object lists, else its path.
    const std::string databaseText = GetDatabaseName();
    FFieldDefs.assign(FFieldCount, TFieldDesc{});
    for (uint16_t n = 1; n <= FFieldCount; ++n) {
        TFieldDesc& desc = FFieldDefs[n - 1];
        FTable->GetFieldDesc(n, desc);
        // The part beyond what the file stores belongs to the cursor.
        std::fill(desc.Bytes.begin() + fdo::Expression, desc.Bytes.end(), 0);
        if (desc.IsAutoInc()) FHasAutoInc = true;
        if (desc.Required() != 0 || !desc.MinValue().empty() || !desc.MaxValue().empty()) FHasValueChecks = true;
        if (!desc.DefaultValue().empty()) FHasDefaults = true;
        if (!FQueryResult) {
            dfbytes::PutPStr(&desc.Bytes[fdo::Origin], ORIGIN_TEXT_LENGTH, FTableName + "." + desc.Name());
            dfbytes::PutU16(&desc.Bytes[fdo::SourceFieldNo], desc.FieldNo());
            dfbytes::PutPStr(&desc.Bytes[fdo::DatabaseText], DATABASE_TEXT_LENGTH, databaseText);
        } else if (!FQuerySource) {
            dfbytes::PutU16(&desc.Bytes[fdo::SourceFieldNo], desc.FieldNo());
        }
    }
}

// ---- Close --------------------------------------------------------------------

void TDataCursor::ReleaseOpenState() {
    for (TBlobBuffer* blob : FOpenBlobs) delete blob;
    FOpenBlobs.clear();
    FreeAllFilters();
    FVisibleSetActive = false;
    for (TRecordsBitmap* set : FRecordSets)
        if (set) set->SetRecordCount(0);
    FRangeActive = false;
    if (FTable) {
        if (FRecord) FTable->GetDataFile().PushRecord(FRecord);
        if (FPosition.Page) FTable->GetIndexFile().PushPage(FPosition.Page);
    }
    FRecord = nullptr;
    FPosition = TCursorPosition{};
    FRecordNo = 0;
    FRangeStart = 0;
    FRangeEnd = 0;
    FVisibleCount = 0;
    FBOF = false;
    FEOF = false;
    FLocaleID = 0;
    FSortID = 0;
    FFieldDefs.clear();
    FComputedExpressions.clear();
    FKeyFields.clear();
    FKeyFieldCount = 0;
    FFieldCount = 0;
    FRecordSize = 0;
    FHasValueChecks = false;
    FHasDefaults = false;
    FHasComputedFields = false;
    FHasAutoInc = false;
    FSuppressAutoInc = false;
    FEditLockHeld = false;
    FLockedRecordNo = 0;
    // Slots 4 and 5 stay: they report on whatever the cursor does next.
    TCursorEvents kept;
    kept.StatusNumber2 = std::move(FEvents.StatusNumber2);
    kept.StatusText2 = std::move(FEvents.StatusText2);
    FEvents = std::move(kept);
    FTable = nullptr;
    FOpen = false;
}

void TDataCursor::CloseCursor(bool discardTemporary) {
    if (!FOpen) return;
    if (IsRemote() && !FQueryResult) CloseRemoteCursor();
    std::exception_ptr failure;
    // A record lock the cursor still holds goes with it.
    if (FTable && FLockedRecordNo != 0 && !BracketsSkipped()) {
        try {
            const uint32_t locked = FLockedRecordNo;
            FTable->UnmarkRecordLocked(locked);
            FTable->UnlockRecord(locked);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    // Records appended under DeferRowIds are filed before the table closes.
    try {
        CompleteRowIds();
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    FRowIdsDeferred = false;
    FDeferredAutoIncs.clear();
    TDataTable* table = FTable;
    // Open BLOBs go through the cursor's handle table so no stale handle survives.
    try {
        FreeAllBlobs(true, true);
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    // Everything taken from the table's files goes back before the table closes.
    if (table) {
        if (FRecord) table->GetDataFile().PushRecord(FRecord);
        FRecord = nullptr;
        if (FPosition.Page) table->GetIndexFile().PushPage(FPosition.Page);
        FPosition.Page = nullptr;
        // Changed full-text parameters are written while the table is still open;
        // a reopened cursor loads them afresh.
        try {
            SaveTextIndexParams();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
        FTextParamsLoaded = false;
    }
    int32_t result = 0;
    if (table) {
        try {
            result = FDirectory->CloseTable(table, discardTemporary, FQueryResult, FQuerySource);
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    FTable = nullptr;
    ReleaseOpenState();
    if (failure) std::rethrow_exception(failure);
    if (result < 0) RaiseError(static_cast<TEngineErrorCode>(-result));
}

// ---- Clone --------------------------------------------------------------------

void TDataCursor::SetComputedFieldDefs(const std::vector<TFieldDesc>& defs, int32_t limit) {
    if (static_cast<int32_t>(defs.size()) > limit) RaiseError(KURA_FLDLIMIT);
    FFieldDefs = defs;
    FComputedExpressions.clear();
    FComputedExpressions.resize(defs.size());
    FFieldCount = static_cast<uint16_t>(defs.size());
    FRecordSize = FTable ? FTable->GetRecordSize() : 0;
    FHasComputedFields = false;
    for (TFieldDesc& desc : FFieldDefs) {
        if (desc.Computed() == 0) continue;
        FHasComputedFields = true;
        desc.SetOffset(FRecordSize);
        const uint32_t grown = static_cast<uint32_t>(FRecordSize) + desc.StoredSize() + 1;
        if (grown > MAX_RECORD_SIZE) RaiseError(KURA_RECTOOBIG);
        FRecordSize = static_cast<uint16_t>(grown);
    }
    if (FRecord) FRecord->SetRecordSize(FRecordSize);
}

namespace {

// The copy's columns belong to the clone, so that TEXTSEARCH reaches its text
// index and not the cursor it was copied from.
void RebindColumns(TExpToken* node, TDataCursor* from, TDataCursor* to) {
    if (!node) return;
    if (TokenOwner(*node) == from) SetTokenOwner(*node, to);
    RebindColumns(node->Left, from, to);
    RebindColumns(node->Right, from, to);
    for (TExpToken* arg : node->Arguments) RebindColumns(arg, from, to);
}

}  // namespace

TExpToken* TDataCursor::CopyFilterTree(const TExpToken* tree, TDataCursor* to) {
    TExpToken* copy = CopyExpression(tree);
    RebindColumns(copy, this, to);
    return copy;
}

TDataCursor* TDataCursor::CloneCursor() {
    if (!FOpen) RaiseError(KURA_NOTINITIALIZED);
    if (IsRemote()) return CloneRemoteCursor();
    CheckForChanges();
    TDataCursor* clone = nullptr;
    try {
        clone = new TDataCursor(FDirectory);
        clone->FTableName = FTableName;
        clone->FExclusive = FExclusive;
        clone->FExclusiveClone = FExclusive;
        clone->FReadOnly = FReadOnly;
        clone->FInMemory = FInMemory;
        clone->FQueryResult = FQueryResult;
        clone->FQuerySource = FQuerySource;
        clone->OpenCursor();
        clone->SetComputedFieldDefs(FFieldDefs, COMPUTED_FIELD_LIMIT);
        clone->AdoptComputedExpressions(FComputedExpressions);
        if (clone->FIndexNo != FIndexNo) clone->SwitchToIndex(FIndexNo);
        if (FRangeActive) {
            clone->SetRangeStartKey(FRangeStartKey.data());
            clone->SetRangeEndKey(FRangeEndKey.data());
            clone->SetRangeActive();
            clone->RebuildFilterSet();
        }
        // Each filter of the clone has its own tree; a callback filter shares
        // its callback and data.
        for (const TFilter* f : FFilters) {
            TCursorFilterOptions options;
            options.StatisticsAllowed = f->StatisticsAllowed;
            options.EstimateCounts = f->EstimateCounts;
            options.CombineFirst = f->CombineFirst;
            TFilter* copy = f->IsCallback ? clone->AddFilter(f->Callback, f->CallbackData, options)
                                          : clone->AddFilter(CopyFilterTree(f->Expression, clone), true, options);
            if (f->Active) copy->Activate();
        }
        if (clone->AnyFilterActive()) {
            clone->FVisibleSetActive = true;
            clone->RebuildFilterSet();
        }
        const TEngineErrorCode positioned = clone->SetToCursor(*this);
        (void)positioned;  // a source without a current record leaves the clone at its nearest
    } catch (...) {
        delete clone;
        EndRead();
        throw;
    }
    EndRead();
    return clone;
}

// ---- Change detection -----------------------------------------------------------

void TDataCursor::SaveChangeCounters() {
    if (!FTable) return;
    FDataChangeCount = FTable->GetDataChangeCount();
    FIndexChangeCount = FTable->GetIndexChangeCount();
    TBlobFile& blob = FTable->GetBlobFile();
    FBlobChangeCount = blob.IsOpen ? blob.GetChangeCount() : 0;
    FCacheDiscardCount = FTable->GetCacheDiscards();
}

bool TDataCursor::CachesDiscardedSince() const { return FTable && FTable->GetCacheDiscards() != FCacheDiscardCount; }

bool TDataCursor::TableHasChanged() const {
    if (!FTable) return false;
    if (CachesDiscardedSince()) return true;
    if ((FExclusive && !FExclusiveClone) || FTableFilesReadOnly) return false;
    if (FTable->GetDataChangeCount() != FDataChangeCount) return true;
    if (FTable->GetIndexChangeCount() != FIndexChangeCount) return true;
    TBlobFile& blob = FTable->GetBlobFile();
    return (blob.IsOpen ? blob.GetChangeCount() : 0) != FBlobChangeCount;
}

void TDataCursor::ReturnToBookmark(const TCursorBookmark& bookmark) {
    SaveChangeCounters();
    RebuildFilterSet();
    PositionOnBookmark(bookmark, true);
}

void TDataCursor::CheckForChanges() {
    if (!FOpen || IsRemote() || !FTable) return;
    if (BracketsSkipped()) {
        // No other program changes the table under this cursor, but a rollback (of
        // a failed commit too) takes back the pages and records its position, count
        // and sets were read from; without that they stay as they are.
        if (CachesDiscardedSince()) ReturnToBookmark(GetBookmark());
        return;
    }
    const TDataSession* session = GetSession();
    if (session && session->GetStrictChangeDetection()) {
        BeginRead();
        return;
    }
    // The bracket the caller's EndRead closes; its lock comes with the first cache
    // miss, if any.
    FTable->EnterReadBracket();
    if (!TableHasChanged()) return;
    try {
        ReturnToBookmark(GetBookmark());
    } catch (...) {
        // Like a failed BeginRead, a failed check leaves no bracket behind.
        FTable->EndRead();
        throw;
    }
}

void TDataCursor::Refresh() {
    if (!FOpen) return;
    if (IsRemote()) {
        ReadCursorState(SendPositioned(REQUEST_REFRESH));
        return;
    }
    try {
        if (!BeginRead()) ReturnToBookmark(GetBookmark());
    } catch (...) {
        EndRead();
        throw;
    }
    EndRead();
}

}  // namespace kura
