// BLOB fields on the cursor: a BLOB is opened whole into memory, read and changed
// there, and written back as a block chain only when its record is posted.
//
// While open, the record buffer's field holds the negated handle of the open BLOB.
// Handles are small positive numbers kept in a process-wide table, never pointers:
// a field value is caller data, so a handle is only ever looked up, and a handle
// that is stale, forged or another cursor's finds nothing (10030) instead of being
// followed.
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"
#include "engine/files/BlobBuffer.h"
#include "engine/files/FieldDesc.h"

namespace kura {

namespace {

// Open BLOBs of one cursor.
constexpr std::size_t OPEN_BLOB_LIMIT = 128;
// The open mode of the dataset's read/write streams.
constexpr uint8_t BLOB_MODE_READWRITE = 2;
// An open BLOB is held in memory and its size is a signed 32-bit value on disk.
constexpr uint64_t BLOB_SIZE_LIMIT = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());

// Handle <-> open BLOB. A buffer deleted without being unregistered (a cursor torn
// down in a hurry) leaves a stale entry; registering a new buffer at the same
// address drops it, so a stale handle can never name the new buffer.
class BlobHandleTable {
public:
    int32_t Register(TBlobBuffer* blob) {
        std::lock_guard<std::mutex> lock(FMutex);
        DropLocked(blob);
        do {
            FNext = FNext >= std::numeric_limits<int32_t>::max() ? 1 : FNext + 1;
        } while (FByHandle.count(FNext) != 0);
        FByHandle[FNext] = blob;
        FByBuffer[blob] = FNext;
        return FNext;
    }
    void Unregister(const TBlobBuffer* blob) {
        std::lock_guard<std::mutex> lock(FMutex);
        DropLocked(blob);
    }
    TBlobBuffer* Lookup(int32_t handle) {
        std::lock_guard<std::mutex> lock(FMutex);
        auto it = FByHandle.find(handle);
        return it == FByHandle.end() ? nullptr : it->second;
    }
    int32_t HandleOf(const TBlobBuffer* blob) {
        std::lock_guard<std::mutex> lock(FMutex);
        auto it = FByBuffer.find(blob);
        return it == FByBuffer.end() ? 0 : it->second;
    }

private:
    void DropLocked(const TBlobBuffer* blob) {
        auto it = FByBuffer.find(blob);
        if (it == FByBuffer.end()) return;
        FByHandle.erase(it->second);
        FByBuffer.erase(it);
    }

    std::mutex FMutex;
    std::unordered_map<int32_t, TBlobBuffer*> FByHandle;
    std::unordered_map<const TBlobBuffer*, int32_t> FByBuffer;
    int32_t FNext = 0;
};

// Never destroyed: cursors may still free BLOBs while static objects go away.
BlobHandleTable& Handles() {
    static BlobHandleTable* table = new BlobHandleTable;
    return *table;
}

}  // namespace

// ---- Field access ---------------------------------------------------------------------

void TDataCursor::GetBlobFieldDesc(uint16_t fieldNo, bool useTableFields, TFieldDesc& desc) const {
    if (useTableFields)
        GetTableFieldDesc(fieldNo, desc);
    else
        GetFieldDesc(fieldNo, desc);
}

int32_t TDataCursor::ReadBlobReference(uint16_t fieldNo, const uint8_t* buffer, bool useTableFields) {
    bool blank = true;
    return ReadBlobReference(fieldNo, buffer, useTableFields, blank);
}

int32_t TDataCursor::ReadBlobReference(uint16_t fieldNo, const uint8_t* buffer, bool useTableFields, bool& blank) {
    // Room for the whole field whatever its stored size; the reference is its first
    // four bytes.
    uint8_t value[256] = {};
    blank = true;
    if (useTableFields)
        GetTableField(fieldNo, buffer, value, blank);
    else
        GetField(fieldNo, buffer, value, blank);
    return static_cast<int32_t>(dfbytes::GetU32(value));
}

void TDataCursor::WriteBlobReference(uint16_t fieldNo, uint8_t* buffer, int32_t reference, bool blankForBlob,
                                     bool useTableFields) {
    uint8_t value[4];
    dfbytes::PutU32(value, static_cast<uint32_t>(reference));
    if (useTableFields)
        PutTableField(fieldNo, buffer, value, blankForBlob);
    else
        PutField(fieldNo, buffer, value, true, blankForBlob);
}

TBlobBuffer* TDataCursor::FindOpenBlob(int32_t handle) const {
    if (handle <= 0) return nullptr;
    TBlobBuffer* blob = Handles().Lookup(handle);
    if (!blob) return nullptr;
    return std::find(FOpenBlobs.begin(), FOpenBlobs.end(), blob) != FOpenBlobs.end() ? blob : nullptr;
}

int32_t TDataCursor::GetOpenBlobHandle(const TBlobBuffer* blob) const {
    return IsOpenBlob(blob) ? Handles().HandleOf(blob) : 0;
}

bool TDataCursor::IsOpenBlob(const TBlobBuffer* blob) const {
    return blob && std::find(FOpenBlobs.begin(), FOpenBlobs.end(), blob) != FOpenBlobs.end();
}

TEngineErrorCode TDataCursor::CheckOpenBlob(uint16_t fieldNo, const uint8_t* buffer, bool useTableFields,
                                            TBlobBuffer*& blob) {
    blob = nullptr;
    TFieldDesc desc;
    GetBlobFieldDesc(fieldNo, useTableFields, desc);
    if (desc.FieldType() != fldBLOB) return KURA_NOTABLOB;
    const int32_t reference = ReadBlobReference(fieldNo, buffer, useTableFields);
    // The smallest reference has no positive counterpart: no handle.
    if (reference >= 0 || reference == std::numeric_limits<int32_t>::min()) return KURA_INVALIDBLOBHANDLE;
    blob = FindOpenBlob(-reference);
    return blob ? KURA_NONE : KURA_INVALIDBLOBHANDLE;
}

void TDataCursor::DestroyOpenBlob(TBlobBuffer* blob) {
    auto it = std::find(FOpenBlobs.begin(), FOpenBlobs.end(), blob);
    if (it != FOpenBlobs.end()) FOpenBlobs.erase(it);
    Handles().Unregister(blob);
    delete blob;
}

// ---- Open and free ----------------------------------------------------------------------

TEngineErrorCode TDataCursor::OpenBlob(uint16_t fieldNo, uint8_t* buffer, uint8_t mode, bool useTableFields,
                                       bool freeWithRecord, uint32_t& size, bool localOnly) {
    size = 0;
    if (IsRemote() && !localOnly && !ClientKeepsBlobs())
        return OpenServerBlob(fieldNo, buffer, mode, useTableFields, freeWithRecord, size);
    CheckForChanges();
    try {
        const TEngineErrorCode result =
            OpenBlobLocked(fieldNo, buffer, mode, useTableFields, freeWithRecord, size, localOnly);
        EndRead();
        return result;
    } catch (...) {
        EndRead();
        throw;
    }
}

TEngineErrorCode TDataCursor::OpenBlobLocked(uint16_t fieldNo, uint8_t* buffer, uint8_t mode, bool useTableFields,
                                             bool freeWithRecord, uint32_t& size, bool localOnly) {
    const bool remote = IsRemote();
    TFieldDesc desc;
    GetBlobFieldDesc(fieldNo, useTableFields, desc);
    if (desc.FieldType() != fldBLOB) return KURA_NOTABLOB;

    const int32_t reference = ReadBlobReference(fieldNo, buffer, useTableFields);
    // A remote copy's field holds the server's reference to a BLOB it has opened. The
    // server numbers its BLOBs on its own: such a reference never names one of ours,
    // even when the numbers happen to meet.
    const bool serverReference = remote && localOnly;
    TBlobBuffer* open = reference < 0 && reference != std::numeric_limits<int32_t>::min() && !serverReference
                            ? FindOpenBlob(-reference)
                            : nullptr;
    if (reference < 0 && !open && !(remote && localOnly)) return KURA_INVALIDBLOBOFFSET;
    if (open) {
        // Opened again through the same buffer: one buffer, counted.
        if (mode == BLOB_MODE_READWRITE && open->FreeWithRecord != freeWithRecord) {
            open->FreeWithRecord = freeWithRecord;
            if (freeWithRecord) open->AddRef();
        } else {
            open->AddRef();
        }
        size = open->GetSize();
        return KURA_NONE;
    }
    if (FOpenBlobs.size() >= OPEN_BLOB_LIMIT) return KURA_OPENBLOBLIMIT;
    if (remote && !localOnly) {
        const TEngineErrorCode result = RequestOpenBlob(fieldNo, buffer, mode, useTableFields, freeWithRecord);
        if (result != KURA_NONE) return result;
    }

    auto blob = std::make_unique<TBlobBuffer>(this);
    if (remote) blob->RemoteReference = ReadBlobReference(fieldNo, buffer, useTableFields);
    blob->FieldNumber = fieldNo;
    blob->FirstBlock = static_cast<uint32_t>(reference);
    blob->Mode = mode;
    blob->FreeWithRecord = freeWithRecord;
    blob->BlobId = GetBlobFieldID(buffer, fieldNo, useTableFields);
    blob->RecordNumber = GetBufferRecordNo(buffer);
    if (reference != 0) {
        try {
            blob->Load();
        } catch (const EKuraEngineError& e) {
            // Content that does not match its announced size is a broken reply: the
            // exchange is in an unknown state, as with any other broken parameter.
            if (remote && (e.ErrorCode() == KURA_UNCOMPRESS || e.ErrorCode() == KURA_ENDOFBLOB))
                RemoteChannel().Reply().RaiseMalformed();
            throw;
        }
    }
    blob->OpenCount = 1;
    // The text index compares the words as loaded with the words at the post.
    if (!remote && IsTextIndexField(fieldNo)) blob->CopyToOriginal();

    const int32_t handle = Handles().Register(blob.get());
    FOpenBlobs.push_back(blob.get());
    try {
        WriteBlobReference(fieldNo, buffer, -handle, blob->GetSize() == 0, useTableFields);
    } catch (...) {
        FOpenBlobs.pop_back();
        Handles().Unregister(blob.get());
        throw;
    }
    size = blob->GetSize();
    blob.release();
    return KURA_NONE;
}

TEngineErrorCode TDataCursor::FreeBlob(uint16_t fieldNo, uint8_t* buffer, bool useTableFields, bool serverFlag) {
    if (IsRemote() && !ClientKeepsBlobs()) return FreeServerBlob(fieldNo, buffer, useTableFields, serverFlag);
    TBlobBuffer* blob = nullptr;
    const TEngineErrorCode check = CheckOpenBlob(fieldNo, buffer, useTableFields, blob);
    if (check != KURA_NONE) return check;
    blob->Release();
    int32_t value;
    if (blob->OpenCount == 0 && IsRemote()) {
        // The server lets its copy go first; refused, the BLOB stays open here too.
        const int32_t own = -Handles().HandleOf(blob);
        WriteBlobReference(fieldNo, buffer, blob->RemoteReference, false, useTableFields);
        TEngineErrorCode result = KURA_NONE;
        try {
            TRemoteRequest& request = BeginRemote(REQUEST_FREEBLOB);
            request.PutU16(fieldNo);
            request.PutParam(buffer, FRecordSize);
            request.PutBool(useTableFields);
            request.PutBool(serverFlag);
            result = SendRemote().GetU16();
        } catch (...) {
            blob->AddRef();
            WriteBlobReference(fieldNo, buffer, own, blob->GetSize() == 0, useTableFields);
            throw;
        }
        if (result != KURA_NONE) {
            blob->AddRef();
            WriteBlobReference(fieldNo, buffer, own, blob->GetSize() == 0, useTableFields);
            return result;
        }
    }
    if (blob->OpenCount == 0) {
        // Unsaved changes go with the buffer: the field gets the stored reference back.
        value = static_cast<int32_t>(blob->FirstBlock);
        DestroyOpenBlob(blob);
    } else {
        value = -Handles().HandleOf(blob);
    }
    WriteBlobReference(fieldNo, buffer, value, false, useTableFields);
    return KURA_NONE;
}

void TDataCursor::FreeAllBlobs(bool all, bool localOnly) {
    if (IsRemote() && !localOnly) {
        TRemoteRequest& request = BeginRemote(REQUEST_FREEALLBLOBS);
        request.PutBool(all);
        SendRemote();
        if (!ClientKeepsBlobs()) return;
    }
    for (std::size_t i = FOpenBlobs.size(); i-- > 0;) {
        TBlobBuffer* blob = FOpenBlobs[i];
        if (all || blob->FreeWithRecord) DestroyOpenBlob(blob);
    }
}

// ---- Reading and writing ------------------------------------------------------------

TEngineErrorCode TDataCursor::GetBlob(uint16_t fieldNo, const uint8_t* buffer, uint32_t offset, void* dest,
                                      uint32_t length, uint32_t& read, bool useTableFields) {
    if (IsRemote() && !ClientKeepsBlobs()) return GetServerBlob(fieldNo, buffer, offset, dest, length, read, useTableFields);
    read = 0;
    TBlobBuffer* blob = nullptr;
    const TEngineErrorCode check = CheckOpenBlob(fieldNo, buffer, useTableFields, blob);
    if (check != KURA_NONE) return check;
    const uint64_t size = blob->GetSize();
    TEngineErrorCode result = KURA_NONE;
    uint64_t count = length;
    if (static_cast<uint64_t>(offset) + length > size) {
        // The bytes from offset to the end, the last byte included.
        result = KURA_ENDOFBLOB;
        count = offset < size ? size - offset : 0;
    }
    if (count > 0 && !dest) return KURA_INVALIDBLOBLEN;
    read = static_cast<uint32_t>(count);
    if (count > 0) std::memcpy(dest, blob->GetBuffer() + offset, static_cast<std::size_t>(count));
    return result;
}

TEngineErrorCode TDataCursor::PutBlob(uint16_t fieldNo, uint8_t* buffer, uint32_t offset, const void* source,
                                      uint32_t length, bool useTableFields) {
    if (IsRemote() && !ClientKeepsBlobs()) return PutServerBlob(fieldNo, buffer, offset, source, length, useTableFields);
    TBlobBuffer* blob = nullptr;
    const TEngineErrorCode check = CheckOpenBlob(fieldNo, buffer, useTableFields, blob);
    if (check != KURA_NONE) return check;
    const uint64_t end = static_cast<uint64_t>(offset) + length;
    if (end > BLOB_SIZE_LIMIT) return KURA_INVALIDBLOBOFFSET;
    if (length > 0 && !source) return KURA_INVALIDBLOBLEN;
    if (end > blob->GetSize()) blob->SetSize(static_cast<uint32_t>(end));
    if (length > 0) {
        std::memcpy(blob->GetBuffer() + offset, source, length);
        // An overwrite inside the old size changes the content as much as growing
        // does; without the mark the post would not save it.
        blob->Modified = 1;
    }
    WriteBlobReference(fieldNo, buffer, -Handles().HandleOf(blob), blob->GetSize() == 0, useTableFields);
    return KURA_NONE;
}

TEngineErrorCode TDataCursor::TruncateBlob(uint16_t fieldNo, uint8_t* buffer, uint32_t newSize, bool useTableFields) {
    if (IsRemote() && !ClientKeepsBlobs()) return TruncateServerBlob(fieldNo, buffer, newSize, useTableFields);
    TBlobBuffer* blob = nullptr;
    const TEngineErrorCode check = CheckOpenBlob(fieldNo, buffer, useTableFields, blob);
    if (check != KURA_NONE) return check;
    if (newSize > BLOB_SIZE_LIMIT) return KURA_INVALIDBLOBLEN;
    blob->SetSize(newSize);
    WriteBlobReference(fieldNo, buffer, -Handles().HandleOf(blob), blob->GetSize() == 0, useTableFields);
    return KURA_NONE;
}

TEngineErrorCode TDataCursor::GetBlobSize(uint16_t fieldNo, const uint8_t* buffer, uint32_t& size,
                                          bool useTableFields) {
    if (IsRemote() && !ClientKeepsBlobs()) return GetServerBlobSize(fieldNo, buffer, size, useTableFields);
    size = 0;
    TBlobBuffer* blob = nullptr;
    const TEngineErrorCode check = CheckOpenBlob(fieldNo, buffer, useTableFields, blob);
    if (check != KURA_NONE) return check;
    size = blob->GetSize();
    return KURA_NONE;
}

// ---- Record writes --------------------------------------------------------------------

void TDataCursor::AssignBlobIDs(uint8_t* record, bool useTableFields) {
    for (TBlobBuffer* blob : FOpenBlobs) {
        if (!blob->Modified) continue;
        blob->BlobId = GetNextBlobID();
        SetBlobFieldID(record, blob->FieldNumber, useTableFields, blob->BlobId);
    }
}

bool TDataCursor::SaveOpenBlobs() {
    if (IsRemote()) {
        uint32_t count = 0;
        for (const TBlobBuffer* blob : FOpenBlobs)
            if (blob->Modified) ++count;
        RemoteChannel().Request().PutU32(count);
    }
    bool any = false;
    bool haveRecord = false;
    uint32_t recordNo = 0;
    for (TBlobBuffer* blob : FOpenBlobs) {
        if (!blob->Modified) continue;
        any = true;
        if (haveRecord && blob->RecordNumber != recordNo) RaiseError(KURA_MEMOCORRUPT);
        haveRecord = true;
        recordNo = blob->RecordNumber;
        if (blob->GetSize() < 1)
            blob->SaveEmpty();
        else
            blob->Save();
    }
    return any;
}

void TDataCursor::PutOpenBlobsIntoRecord(uint8_t* record, bool useTableFields) {
    for (TBlobBuffer* blob : FOpenBlobs)
        WriteBlobReference(blob->FieldNumber, record, static_cast<int32_t>(blob->FirstBlock), false, useTableFields);
}

void TDataCursor::FreeRecordBlobs(uint8_t* record) {
    const uint16_t count = GetFieldCount();
    for (uint16_t n = 1; n <= count; ++n) {
        TFieldDesc desc;
        GetTableFieldDesc(n, desc);
        if (desc.FieldType() != fldBLOB) continue;
        uint32_t size = 0;
        TEngineErrorCode result = OpenBlob(n, record, BLOB_MODE_READWRITE, true, true, size, true);
        if (result == KURA_NONE) result = TruncateBlob(n, record, 0, true);
        if (result != KURA_NONE) RaiseError(result);
    }
}

void TDataCursor::DiscardRecordBlobs(uint8_t* buffer) {
    for (uint16_t n = 1; n <= FFieldCount; ++n) {
        TFieldDesc desc;
        GetFieldDesc(n, desc);
        if (desc.FieldType() != fldBLOB) continue;
        // An open BLOB that is empty is blank but still open: it is freed too, or
        // every cancelled new record would keep one of the cursor's open BLOBs.
        bool blank = true;
        const int32_t reference = ReadBlobReference(n, buffer, false, blank);
        if (reference >= 0) continue;
        // A server that keeps the open BLOBs alone knows whether an empty one is open.
        const bool serverKeeps = IsRemote() && !ClientKeepsBlobs();
        if (blank && !serverKeeps && (reference == std::numeric_limits<int32_t>::min() || !FindOpenBlob(-reference)))
            continue;
        const TEngineErrorCode result = FreeBlob(n, buffer, false, true);
        if (result == KURA_INVALIDBLOBHANDLE && blank && serverKeeps) continue;
        if (result != KURA_NONE) RaiseError(result);
    }
}

}  // namespace kura
