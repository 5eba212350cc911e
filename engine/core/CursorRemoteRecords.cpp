// The remote paths of the record operations, bookmarks and record locks: each is one
// request carrying the cursor's place, answered with the cursor's new state. The
// server holds the real record locks; the client only marks them in its table's
// bitmap, so that its own cursors see each other's edits at once.
#include <algorithm>
#include <cstring>

#include "engine/core/DataCursor.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/core/RemoteState.h"
#include "engine/files/BlobBuffer.h"

namespace kura {

namespace {

// Mode in which a copied record's BLOBs are opened (read/write).
constexpr uint8_t BLOB_MODE_READ_WRITE = 2;

}  // namespace

bool TDataCursor::ClientKeepsBlobs() const { return GetServerVersion() >= SERVER_VERSION_CLIENT_BLOBS; }

void TDataCursor::GetRemoteRecord(TRemoteReply& reply, uint8_t* buffer) {
    const std::span<const uint8_t> record = reply.NextParam();
    if (record.size() != FRecordSize) reply.RaiseMalformed();
    if (buffer) std::memcpy(buffer, record.data(), record.size());
}

// ---- Reads ------------------------------------------------------------------------

TEngineErrorCode TDataCursor::GetRemoteCurrentRecord(uint8_t* buffer, bool lock) {
    if (!FOpen || !FTable) RaiseError(KURA_NOTINITIALIZED);
    // No buffer goes as an empty record: the server then has nothing to compare.
    TRemoteReply& reply = SendPositioned(REQUEST_GETCURRECORD, [&](TRemoteRequest& request) {
        request.PutParam(buffer, buffer ? FRecordSize : 0);
        request.PutBool(lock);
    });
    const TEngineErrorCode result = reply.GetU16();
    ReadCursorState(reply);
    if (buffer) GetRemoteRecord(reply, buffer);
    if (result == 0 && lock && GetLockProtocolOfSession() == lpPessimistic) LockRemoteRecord(FRecordNo);
    return result;
}

TEngineErrorCode TDataCursor::CloneRemoteCurrentRecord(uint8_t* buffer) {
    if (!FOpen || !FTable) RaiseError(KURA_NOTINITIALIZED);
    TRemoteReply& reply = SendPositioned(REQUEST_CLONECURRECORD);
    const TEngineErrorCode result = reply.GetU16();
    ReadCursorState(reply);
    if (!buffer) return result;
    GetRemoteRecord(reply, buffer);
    if (!ClientKeepsBlobs()) return result;
    // The server opened the copies' BLOBs; their contents follow, field by field.
    for (uint16_t n = 1; n <= FFieldCount; ++n) {
        if (CursorFieldDesc(n).FieldType() != fldBLOB) continue;
        bool blank = true;
        GetField(n, buffer, nullptr, blank);
        if (blank) continue;
        uint32_t size = 0;
        const TEngineErrorCode code = OpenBlob(n, buffer, BLOB_MODE_READ_WRITE, false, true, size, true);
        if (code != 0) RaiseError(code);
    }
    return result;
}

TEngineErrorCode TDataCursor::ReadRemoteRecordBlock(int32_t& count, uint8_t* buffer) {
    if (!FOpen || !FTable) RaiseError(KURA_NOTINITIALIZED);
    const int32_t wanted = count;
    TRemoteReply& reply = SendPositioned(REQUEST_READRECORDBLOCK, [&](TRemoteRequest& request) {
        request.PutI32(wanted);
    });
    const TEngineErrorCode result = reply.GetU16();
    ReadCursorState(reply);
    const int32_t read = ReadRemoteRecords(reply, wanted, FRecordSize, buffer);
    // A failing step leaves its slot zeroed, as the local read does.
    if (result != 0 && buffer && read < wanted)
        std::memset(buffer + static_cast<std::size_t>(read) * FRecordSize, 0, FRecordSize);
    count = read;
    return result;
}

// ---- Writes -----------------------------------------------------------------------

std::vector<TBlobBuffer*> TDataCursor::PutRemoteBlobUpload() {
    std::vector<TBlobBuffer*> modified;
    for (TBlobBuffer* blob : FOpenBlobs)
        if (blob->Modified) modified.push_back(blob);
    SaveOpenBlobs();
    return modified;
}

void TDataCursor::AppendRemoteRecord(uint8_t* buffer, bool resync) {
    if (!FOpen || !FTable) RaiseError(KURA_NOTINITIALIZED);
    std::vector<TBlobBuffer*> uploaded;
    try {
        ReadCursorState(SendPositioned(REQUEST_APPENDRECORD, [&](TRemoteRequest& request) {
            request.PutParam(buffer, FRecordSize);
            request.PutBool(resync);
            if (ClientKeepsBlobs()) uploaded = PutRemoteBlobUpload();
        }));
    } catch (...) {
        // Not stored: the changes must travel again with the next try.
        for (TBlobBuffer* blob : uploaded) blob->Modified = 1;
        throw;
    }
    if (FTable->HasBlobFields()) FreeAllBlobs(false, true);
}

void TDataCursor::ModifyRemoteRecord(uint8_t* buffer, bool unlock, bool resync) {
    if (!FOpen || !FTable) RaiseError(KURA_NOTINITIALIZED);
    const uint32_t recordNo = FRecordNo;
    std::vector<TBlobBuffer*> uploaded;
    try {
        ReadCursorState(SendPositioned(REQUEST_MODIFYRECORD, [&](TRemoteRequest& request) {
            request.PutParam(buffer, FRecordSize);
            request.PutBool(unlock);
            request.PutBool(resync);
            if (ClientKeepsBlobs()) uploaded = PutRemoteBlobUpload();
        }));
    } catch (...) {
        for (TBlobBuffer* blob : uploaded) blob->Modified = 1;
        throw;
    }
    // The server freed the BLOBs that went with the record: so does the client, or
    // their buffers would outlive the server's.
    if (FTable->HasBlobFields()) FreeAllBlobs(false, true);
    if (unlock && GetLockProtocolOfSession() == lpPessimistic) ForgetRemoteLock(recordNo);
}

void TDataCursor::DeleteRemoteRecord(const uint8_t* buffer, bool resync) {
    if (!FOpen || !FTable) RaiseError(KURA_NOTINITIALIZED);
    // The deleted record, not the one the cursor stands on afterwards, was locked.
    const uint32_t recordNo = FRecordNo;
    ReadCursorState(SendPositioned(REQUEST_DELETERECORD, [&](TRemoteRequest& request) {
        request.PutParam(buffer, FRecordSize);
        request.PutBool(resync);
    }));
    if (ClientKeepsBlobs() && FTable->HasBlobFields()) FreeAllBlobs(true, true);
    ForgetRemoteLock(recordNo);
}

void TDataCursor::CancelRemoteRecord() {
    if (GetServerVersion() < SERVER_VERSION_CANCEL_RECORD) {
        // An older server knows no cancel: the unlock is its own request.
        if (GetLockProtocolOfSession() == lpPessimistic) {
            if (FLockedRecordNo != 0) WriteUnlockRecord(FLockedRecordNo, false);
        } else {
            FEditConflict = false;
        }
        return;
    }
    BeginRemote(REQUEST_CANCELRECORD);
    SendRemote();
    if (GetLockProtocolOfSession() == lpPessimistic) {
        if (FLockedRecordNo != 0) WriteUnlockRecord(FLockedRecordNo, true);
    } else {
        FEditConflict = false;
    }
}

void TDataCursor::FlushRemoteBuffers(bool force, bool trimCaches, bool dataChanged, bool indexChanged,
                                     bool blobsChanged) {
    TRemoteRequest& request = BeginRemote(REQUEST_FLUSHBUFFERS);
    request.PutBool(force);
    request.PutBool(trimCaches);
    request.PutBool(dataChanged);
    request.PutBool(indexChanged);
    request.PutBool(blobsChanged);
    SendRemote();
}

// ---- Positions ----------------------------------------------------------------------

TEngineErrorCode TDataCursor::SetRemoteToCursor(TDataCursor& other) {
    if (!FOpen || !FTable) RaiseError(KURA_NOTINITIALIZED);
    if (!other.FOpen || other.FTable != FTable) return KURA_RECNOTFOUND;
    TRemoteReply& reply = SendPositioned(REQUEST_SETTOCURSOR, [&](TRemoteRequest& request) {
        request.PutU32(other.FRemoteHandle);
        other.PutPosition(request);
    });
    const TEngineErrorCode result = reply.GetU16();
    ReadCursorState(reply);
    return result;
}

bool TDataCursor::SetRemoteToBookmark(const TCursorBookmark& bookmark, bool nearest, bool noChangeCheck) {
    if (!FOpen || !FTable) RaiseError(KURA_NOTINITIALIZED);
    // The bookmark in the size of the current order, as the local cursor takes it.
    TCursorBookmark sized(GetKeySize(), 0);
    std::memcpy(sized.data(), bookmark.data(), std::min(sized.size(), bookmark.size()));
    TRemoteRequest& request = BeginRemote(REQUEST_SETTOBOOKMARK);
    request.PutParam(sized.data(), static_cast<uint32_t>(sized.size()));
    request.PutBool(nearest);
    request.PutBool(noChangeCheck);
    TRemoteReply& reply = SendRemote();
    const bool result = reply.GetBool();
    ReadCursorState(reply);
    return result;
}

// ---- Record locks -------------------------------------------------------------------

void TDataCursor::LockRemoteRecord(uint32_t recordNo) {
    if (!FTable || BracketsSkipped()) return;
    const uint32_t r = recordNo != 0 ? recordNo : FRecordNo;
    if (r == 0) return;
    if (FTable->IsRecordMarkedLocked(r)) RaiseError(KURA_RECLOCKFAILED);
    FTable->LockRecord(r);
    FTable->MarkRecordLocked(r);
    FLockedRecordNo = r;
}

void TDataCursor::WriteUnlockRemoteRecord(uint32_t recordNo, bool localOnly) {
    if (!FTable || BracketsSkipped()) return;
    if (!localOnly) {
        const uint32_t wire = recordNo;
        SendPositioned(REQUEST_WRITEUNLOCKRECORD, [&](TRemoteRequest& request) { request.PutU32(wire); });
    }
    const uint32_t r = recordNo != 0 ? recordNo : FRecordNo;
    if (r != 0 && FTable->IsRecordMarkedLocked(r)) {
        FTable->UnmarkRecordLocked(r);
        FTable->UnlockRecord(r);
    }
    FLockedRecordNo = 0;
}

void TDataCursor::ForgetRemoteLock(uint32_t recordNo) {
    if (!FTable || recordNo == 0 || FLockedRecordNo != recordNo) return;
    WriteUnlockRemoteRecord(recordNo, true);
}

}  // namespace kura
