// Field access, field and index definitions, bookmarks, and the brackets around
// every local operation: read, write and shared read, and the record lock.
#include <algorithm>
#include <cstring>
#include <string>

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/Routines.h"

namespace kura {

namespace {

// Longest text a string field takes, and its work area with the terminator.
constexpr int32_t STRING_WORK_SIZE = 251;

// The character-case option of a string field: 1 lower case, 2 upper case.
constexpr uint8_t CASE_LOWER = 1;
constexpr uint8_t CASE_UPPER = 2;

// The record number of a cursor's record object: its own, or the one its live
// header carries.
uint32_t NumberOf(const TRecord* record) {
    if (!record) return 0;
    if (record->GetRecordNumber() != 0) return record->GetRecordNumber();
    return record->GetRecordSize() >= RECORD_HEADER_SIZE && !record->IsDeleted()
               ? dfbytes::GetU32(record->GetBuffer() + RH_NUMBER)
               : 0;
}

bool IsBlobType(const TFieldDesc& desc) { return desc.FieldType() == fldBLOB; }

// Bytes the field's data take in a record buffer after its offset.
uint32_t FieldSpan(const TFieldDesc& desc) {
    if (desc.IsAutoInc()) return 4;
    return 1u + desc.StoredSize();
}

}  // namespace

// ---- Definitions --------------------------------------------------------------------

const TFieldDesc& TDataCursor::CursorFieldDesc(uint16_t fieldNo) const {
    if (FRestructuring) {
        for (const TFieldDesc& desc : FFieldDefs)
            if (desc.FieldNo() == fieldNo) return desc;
    } else if (fieldNo >= 1 && fieldNo <= FFieldDefs.size()) {
        return FFieldDefs[fieldNo - 1u];
    }
    RaiseError(KURA_OUTOFRANGE, std::to_string(fieldNo));
}

void TDataCursor::GetFieldDesc(uint16_t fieldNo, TFieldDesc& desc) const { desc = CursorFieldDesc(fieldNo); }

void TDataCursor::GetTableFieldDesc(uint16_t fieldNo, TFieldDesc& desc) const {
    bool found = false;
    if (FTable) found = FRestructuring ? FTable->FindFieldDescByNumber(fieldNo, desc) : FTable->GetFieldDesc(fieldNo, desc);
    if (!found) RaiseError(KURA_OUTOFRANGE, std::to_string(fieldNo));
}

void TDataCursor::GetFieldDescByName(std::string_view name, TFieldDesc& desc) const {
    if (!FindFieldDescByName(name, desc)) RaiseError(KURA_OUTOFRANGE, name);
}

bool TDataCursor::FieldNameExists(std::string_view name) const {
    TFieldDesc desc;
    return FindFieldDescByName(name, desc);
}

bool TDataCursor::FindFieldDescByName(std::string_view name, TFieldDesc& desc) const {
    for (const TFieldDesc& candidate : FFieldDefs) {
        if (SameNameByLocale(FLocaleID, FSortID, candidate.Name(), name)) {
            desc = candidate;
            return true;
        }
    }
    return false;
}

bool TDataCursor::GetSourceFieldDesc(std::string_view name, TFieldDesc& desc) const {
    TFieldDesc own;
    if (!FindFieldDescByName(name, own)) return false;
    const uint16_t source = dfbytes::GetU16(&own.Bytes[fdo::SourceFieldNo]);
    if (source == 0 || !FTable) return false;
    return FTable->GetFieldDesc(source, desc);
}

int32_t TDataCursor::FindFieldNo(std::string_view name) const { return FTable ? FTable->FindFieldNo(name) : 0; }

void TDataCursor::SetFieldDesc(uint16_t fieldNo, const TFieldDesc& desc) {
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    FTable->GetDataFile().SetFieldDesc(fieldNo, desc);
}

void TDataCursor::GetIndexDesc(uint8_t indexNo, TIndexDesc& desc) const {
    desc = TIndexDesc{};
    if (indexNo == NATURAL_ORDER) return;
    if (!FTable || indexNo >= INDEX_SLOT_COUNT) RaiseError(KURA_INVALIDINDEXNAME, {}, std::to_string(indexNo));
    FTable->GetIndexFile().GetIndexDesc(indexNo, desc);
}

void TDataCursor::GetIndexFieldList(uint8_t indexNo, uint16_t (&fields)[MAX_INDEX_FIELDS]) const {
    std::fill(std::begin(fields), std::end(fields), 0);
    if (indexNo == NATURAL_ORDER) return;
    if (!FTable || indexNo >= INDEX_SLOT_COUNT) RaiseError(KURA_INVALIDINDEXNAME, {}, std::to_string(indexNo));
    FTable->GetIndexFile().GetIndexFieldList(indexNo, fields);
}

bool TDataCursor::GetNoPrimaryIndex() const { return FTable && FTable->GetNoPrimaryIndex(); }

void TDataCursor::SetNoPrimaryIndex(bool flag) {
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    FTable->SetNoPrimaryIndex(flag);
}

void TDataCursor::SetIndexCount(uint8_t count) {
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);
    FTable->SetIndexCount(count);
}

void TDataCursor::ResetBuffers(bool trim, bool reread) {
    if (FTable) FTable->DiscardBuffers(trim, reread);
}

uint16_t TDataCursor::GetRecordSize() const { return FTable ? FTable->GetRecordSize() : 0; }
uint16_t TDataCursor::GetFieldCount() const { return FTable ? FTable->GetFieldCount() : 0; }
uint16_t TDataCursor::GetBlobFieldCount() const { return FTable ? FTable->GetBlobFieldCount() : 0; }
uint8_t* TDataCursor::GetRecordBuffer() { return FRecord ? FRecord->GetBuffer() : nullptr; }

// ---- Field values -------------------------------------------------------------------

void TDataCursor::GetFieldData(const TFieldDesc& desc, const uint8_t* buffer, void* value, bool& blank) const {
    // A definition that reaches past the record would read past the buffer.
    if (!buffer || desc.Offset() + FieldSpan(desc) > FRecordSize) RaiseError(KURA_OUTOFRANGE, desc.Name());
    const uint16_t offset = desc.Offset();
    const uint8_t size = desc.StoredSize();
    blank = desc.IsAutoInc() ? false : buffer[offset] == 0;
    if (!value) return;
    auto* out = static_cast<uint8_t*>(value);
    std::memset(out, 0, size);
    if (desc.IsAutoInc()) {
        std::memcpy(out, buffer + offset, std::min<uint8_t>(size, 4));
    } else if (IsBlobType(desc)) {
        std::memcpy(out, buffer + offset + 1, std::min<uint8_t>(size, 4));
    } else {
        std::memcpy(out, buffer + offset + 1, size);
    }
}

void TDataCursor::PutFieldData(const TFieldDesc& desc, uint8_t* buffer, const void* value, bool force,
                               bool blankForBlob) {
    if (desc.Computed() != 0 && !force) return;
    if (!buffer || desc.Offset() + FieldSpan(desc) > FRecordSize) RaiseError(KURA_OUTOFRANGE, desc.Name());
    const uint16_t offset = desc.Offset();
    const uint8_t size = desc.StoredSize();
    uint8_t* flag = buffer + offset;
    uint8_t* data = buffer + offset + 1;
    const auto* in = static_cast<const uint8_t*>(value);

    if (in) {
        switch (desc.FieldType()) {
            case fldZSTRING: {
                char work[STRING_WORK_SIZE];
                const auto* text = static_cast<const char*>(value);
                std::size_t length = strnlen(text, STRING_WORK_SIZE - 1);
                const std::size_t room = size > 0 ? size - 1u : 0u;
                length = std::min(length, room);
                std::memcpy(work, text, length);
                while (length > 0 && work[length - 1] == ' ') --length;
                work[length] = 0;
                const uint8_t caseOption = desc.Bytes[fdo::Reserved];
                if (caseOption == CASE_LOWER) LocaleLowerCase(FLocaleID, FSortID, work);
                if (caseOption == CASE_UPPER) LocaleUpperCase(FLocaleID, FSortID, work);
                std::memset(data, 0, size);
                std::memcpy(data, work, length);
                *flag = length > 0 ? 1 : 0;
                break;
            }
            case fldBLOB: {
                const auto handle = static_cast<int32_t>(dfbytes::GetU32(in));
                std::memcpy(data, in, 4);
                if (handle > 0) {
                    *flag = 1;
                } else if (handle == 0) {
                    *flag = 0;
                } else {
                    *flag = blankForBlob ? 0 : 1;
                }
                break;
            }
            case fldBOOL: {
                bool any = false;
                for (uint8_t i = 0; i < size; ++i) any = any || in[i] != 0;
                std::memset(data, 0, size);
                if (size > 0) data[0] = any ? 1 : 0;
                *flag = 1;
                break;
            }
            default:
                if (desc.IsAutoInc()) {
                    std::memcpy(flag, in, 4);
                } else {
                    *flag = 1;
                    std::memcpy(data, in, size);
                }
                break;
        }
    } else if (!desc.IsAutoInc()) {
        *flag = 0;
        std::memset(data, 0, IsBlobType(desc) ? std::min<uint8_t>(size, 4) : size);
    }
    if (desc.Computed() == 0) CalculateFields(buffer);
}

void TDataCursor::GetField(uint16_t fieldNo, const uint8_t* buffer, void* value, bool& blank) {
    GetFieldData(CursorFieldDesc(fieldNo), buffer, value, blank);
}

void TDataCursor::PutField(uint16_t fieldNo, uint8_t* buffer, const void* value, bool force, bool blankForBlob) {
    const TFieldDesc& desc = CursorFieldDesc(fieldNo);
    PutFieldData(desc, buffer, value, force, blankForBlob);
}

void TDataCursor::GetTableField(uint16_t fieldNo, const uint8_t* buffer, void* value, bool& blank) {
    TFieldDesc desc;
    GetTableFieldDesc(fieldNo, desc);
    GetFieldData(desc, buffer, value, blank);
}

void TDataCursor::PutTableField(uint16_t fieldNo, uint8_t* buffer, const void* value, bool blankForBlob) {
    TFieldDesc desc;
    GetTableFieldDesc(fieldNo, desc);
    // A record image of the table has no room for the cursor's computed fields, so
    // storing into one computes nothing.
    const bool calculating = FCalculating;
    FCalculating = true;
    try {
        PutFieldData(desc, buffer, value, false, blankForBlob);
    } catch (...) {
        FCalculating = calculating;
        throw;
    }
    FCalculating = calculating;
}

// ---- Bookmarks ----------------------------------------------------------------------

namespace {

// The bookmark in the size the current order uses: shorter ones are padded with
// zeros, longer ones cut.
TCursorBookmark Sized(const TCursorBookmark& bookmark, std::size_t size) {
    TCursorBookmark b(bookmark.begin(), bookmark.begin() + static_cast<std::ptrdiff_t>(std::min(size, bookmark.size())));
    b.resize(size, 0);
    return b;
}

}  // namespace

TCursorBookmark NaturalBookmark(uint32_t recordNo) {
    TCursorBookmark b(4, 0);
    dfbytes::PutU32(b.data(), recordNo);
    return b;
}

TCursorBookmark TDataCursor::GetBookmark() {
    if (IsNaturalOrder()) return NaturalBookmark(FRecordNo);
    TCursorBookmark b(FKeySize, 0);
    // A remote cursor keeps the current key the server last sent.
    if (IsRemote()) {
        std::memcpy(b.data(), FKeyBuffer.data(), std::min<std::size_t>(FKeySize, FKeyBuffer.size()));
        return b;
    }
    const TPage* page = FPosition.Page;
    if (page && FKeySize > 0 && page->KeySize == FKeySize && FPosition.Slot >= 1 &&
        FPosition.Slot <= static_cast<int32_t>(page->KeyCount))
        std::memcpy(b.data(), page->GetKeyAddress(static_cast<uint32_t>(FPosition.Slot)), FKeySize);
    return b;
}

bool TDataCursor::PositionOnBookmark(const TCursorBookmark& bookmark, bool nearest) {
    const bool natural = IsNaturalOrder();
    const TCursorBookmark wanted = Sized(bookmark, natural ? 4 : FKeySize);
    if (natural) {
        const uint32_t recordNo = dfbytes::GetU32(wanted.data());
        if (recordNo == 0) {
            // No current record: the position before the first.
            SetToBegin();
            return nearest;
        }
        GotoRecordNumber(static_cast<int32_t>(std::min<uint32_t>(recordNo, INT32_MAX)));
    } else {
        PositionOnKey(wanted.data(), nearest ? 1 : 0, 0);
    }
    LoadCurrentRecord(1);
    if (nearest) return true;
    return CompareBookmarks(GetBookmark(), wanted) == 0;
}

bool TDataCursor::SetToBookmark(const TCursorBookmark& bookmark, bool nearest, bool noChangeCheck) {
    if (IsRemote()) return SetRemoteToBookmark(bookmark, nearest, noChangeCheck);
    if (!FOpen) RaiseError(KURA_NOTINITIALIZED);
    bool result = false;
    try {
        if (!noChangeCheck) CheckForChanges();
        result = PositionOnBookmark(bookmark, nearest);
    } catch (...) {
        EndRead();
        throw;
    }
    EndRead();
    return result;
}

int32_t TDataCursor::CompareBookmarks(const TCursorBookmark& a, const TCursorBookmark& b) {
    if (IsNaturalOrder()) {
        const TCursorBookmark x = Sized(a, 4);
        const TCursorBookmark y = Sized(b, 4);
        const auto ra = static_cast<int32_t>(dfbytes::GetU32(x.data()));
        const auto rb = static_cast<int32_t>(dfbytes::GetU32(y.data()));
        return ra < rb ? -1 : (ra > rb ? 1 : 0);
    }
    const TCursorBookmark x = Sized(a, FKeySize);
    const TCursorBookmark y = Sized(b, FKeySize);
    const int32_t r = CompareFieldValues(x.data(), y.data(), FKeySize);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

TEngineErrorCode TDataCursor::SetToCursor(TDataCursor& other) {
    if (IsRemote()) return SetRemoteToCursor(other);
    if (!FOpen) RaiseError(KURA_NOTINITIALIZED);
    if (!other.FOpen || other.FTable != FTable || !other.FRecord) return KURA_RECNOTFOUND;
    TEngineErrorCode result = 0;
    try {
        CheckForChanges();
        if (!IsNaturalOrder()) {
            std::array<uint8_t, CURSOR_KEY_BUFFER_SIZE> key{};
            BuildIndexKey(other.GetRecordBuffer(), key.data());
            if (!PositionOnKey(key.data(), 0, 0)) result = KURA_RECNOTFOUND;
        } else {
            const uint32_t target = NumberOf(other.FRecord);
            if (target == 0) {
                result = KURA_RECNOTFOUND;
            } else {
                GotoRecordNumber(static_cast<int32_t>(std::min<uint32_t>(target, INT32_MAX)));
                if (FRecordNo != target) result = KURA_RECNOTFOUND;
            }
        }
        LoadCurrentRecord(1);
    } catch (...) {
        EndRead();
        throw;
    }
    EndRead();
    return result;
}

// ---- Record lock --------------------------------------------------------------------

void TDataCursor::LockRecord(uint32_t recordNo) {
    if (IsRemote()) return LockRemoteRecord(recordNo);
    if (!FTable || BracketsSkipped()) return;
    // As in a write bracket: a natural-order position is kept as its number, and
    // made a bookmark only when the table changed (every append locks its slot).
    const bool natural = IsNaturalOrder();
    const uint32_t position = FRecordNo;
    TCursorBookmark bookmark;
    if (!natural) bookmark = GetBookmark();
    const uint32_t r = recordNo != 0 ? recordNo : NumberOf(FRecord);
    // Held by a cursor of this process (this one included): no waiting for it.
    if (r != 0 && FTable->IsRecordMarkedLocked(r)) RaiseError(KURA_RECLOCKFAILED);
    const bool changed = FTable->LockRecord(r);
    FTable->MarkRecordLocked(r);
    FLockedRecordNo = r;
    if (changed || TableHasChanged()) {
        if (natural) bookmark = NaturalBookmark(position);
        SaveChangeCounters();
        RebuildFilterSet();
        // Without SetToBookmark's EndRead: the bracket open around this lock is the
        // caller's, and its reader lock must last to the caller's end.
        PositionOnBookmark(bookmark, true);
    }
}

void TDataCursor::LockRecordsAhead(const std::vector<uint32_t>& recordNumbers) {
    if (!FTable || IsRemote() || BracketsSkipped() || FExclusive) return;
    FTable->LockRecordsAhead(recordNumbers);
}

void TDataCursor::ReleaseLocksAhead() {
    if (!FTable || IsRemote() || BracketsSkipped() || FExclusive) return;
    FTable->ReleaseLocksAhead();
}

void TDataCursor::WriteUnlockRecord(uint32_t recordNo, bool localOnly) {
    if (IsRemote()) return WriteUnlockRemoteRecord(recordNo, localOnly);
    if (!FTable || BracketsSkipped()) return;
    const uint32_t r = recordNo != 0 ? recordNo : NumberOf(FRecord);
    FTable->UnmarkRecordLocked(r);
    FLockedRecordNo = 0;
    FTable->UnlockRecord(r);
}

// ---- Brackets -----------------------------------------------------------------------

bool TDataCursor::BeginRead() {
    if (!FTable || IsRemote() || BracketsSkipped()) return false;
    const TCursorBookmark bookmark = GetBookmark();
    const bool changed = FTable->BeginRead();
    if (!changed && !TableHasChanged()) return false;
    // The table's lock stays held: the operation that began the bracket ends it.
    try {
        ReturnToBookmark(bookmark);
    } catch (...) {
        FTable->EndRead();
        throw;
    }
    return true;
}

bool TDataCursor::CheckBeforeCacheMiss() {
    if (!FTable || IsRemote() || BracketsSkipped()) return false;
    const TCursorBookmark bookmark = GetBookmark();
    const bool changed = FTable->ReadLockForCacheMiss();
    if (!changed && !TableHasChanged()) return false;
    // Standing on another index for a filter scan, the position cannot be
    // restored here: the scan aborts and its set build starts over.
    if (FIndexSwappedForScan) return true;
    // A lock taken inside a bracket stays for the bracket's end to release.
    ReturnToBookmark(bookmark);
    return true;
}

void TDataCursor::EnterReadBracket() {
    if (!FTable || IsRemote() || BracketsSkipped()) return;
    FTable->EnterReadBracket();
}

void TDataCursor::EndRead() {
    if (!FTable || IsRemote() || BracketsSkipped()) return;
    FTable->EndRead();
}

bool TDataCursor::BeginWrite() {
    if (FTable && !IsRemote() && FExclusive) FTable->BeginExclusiveWrite();
    if (!FTable || IsRemote() || BracketsSkipped()) return false;
    // A position in natural order is the record number: only a key position is
    // copied before the table's bracket (every write begins one, and the copy is
    // seldom wanted).
    const bool natural = IsNaturalOrder();
    const uint32_t recordNo = FRecordNo;
    TCursorBookmark bookmark;
    if (!natural) bookmark = GetBookmark();
    const bool changed = FTable->BeginWrite();
    if (!changed && !TableHasChanged()) return false;
    if (natural) bookmark = NaturalBookmark(recordNo);
    try {
        ReturnToBookmark(bookmark);
    } catch (...) {
        FTable->EndWrite();
        throw;
    }
    return true;
}

void TDataCursor::EndWrite() {
    if (FTable && !IsRemote() && FExclusive) FTable->EndExclusiveWrite();
    if (!FTable || IsRemote() || BracketsSkipped()) return;
    FTable->EndWrite();
}

bool TDataCursor::BeginTableRead() {
    if (!FTable || IsRemote() || BracketsSkipped()) return false;
    const TCursorBookmark bookmark = GetBookmark();
    const bool changed = FTable->BeginSharedRead();
    if (!changed && !TableHasChanged()) return false;
    try {
        ReturnToBookmark(bookmark);
    } catch (...) {
        FTable->EndSharedRead();
        throw;
    }
    return true;
}

void TDataCursor::EndTableRead() {
    if (!FTable || IsRemote() || BracketsSkipped()) return;
    FTable->EndSharedRead();
}

}  // namespace kura
