// BLOBs of a remote cursor. A server before 3.11 keeps the open BLOBs itself: the
// record buffer's field holds the server's reference, and every operation is one
// request. From 3.11 the client holds the content (CursorBlobs.cpp) and asks the
// server only to open and free; RequestOpenBlob is that open.
#include <cstring>

#include "engine/core/DataCursor.h"
#include "engine/core/DataSession.h"
#include "engine/core/RemoteState.h"

namespace kura {

namespace {

// Begins a BLOB request of the cursor: its handle, the field number and the record.
TRemoteRequest& PutBlobField(TRemoteRequest& request, uint16_t fieldNo, const uint8_t* buffer, uint16_t recordSize) {
    request.PutU16(fieldNo);
    request.PutParam(buffer, recordSize);
    return request;
}

}  // namespace

TEngineErrorCode TDataCursor::RequestOpenBlob(uint16_t fieldNo, uint8_t* buffer, uint8_t mode, bool useTableFields,
                                              bool freeWithRecord) {
    TRemoteRequest& request = BeginRemote(REQUEST_OPENBLOB);
    PutBlobField(request, fieldNo, buffer, FRecordSize);
    request.PutByte(mode);
    request.PutBool(useTableFields);
    request.PutBool(freeWithRecord);
    TRemoteReply& reply = SendRemote();
    const TEngineErrorCode result = reply.GetU16();
    if (result != KURA_NONE) return result;
    GetRemoteRecord(reply, buffer);
    return KURA_NONE;
}

TEngineErrorCode TDataCursor::OpenServerBlob(uint16_t fieldNo, uint8_t* buffer, uint8_t mode, bool useTableFields,
                                             bool freeWithRecord, uint32_t& size) {
    size = 0;
    if (!FOpen || !FTable) RaiseError(KURA_NOTINITIALIZED);
    TRemoteReply& reply = SendPositioned(REQUEST_OPENBLOB, [&](TRemoteRequest& request) {
        PutBlobField(request, fieldNo, buffer, FRecordSize);
        request.PutByte(mode);
        request.PutBool(useTableFields);
        request.PutBool(freeWithRecord);
    });
    const TEngineErrorCode result = reply.GetU16();
    std::vector<uint8_t> record(FRecordSize);
    GetRemoteRecord(reply, record.data());
    ReadCursorState(reply);
    if (result != KURA_NONE) return result;
    std::memcpy(buffer, record.data(), FRecordSize);
    // The size is the server's to know: one more question.
    return GetServerBlobSize(fieldNo, buffer, size, useTableFields);
}

TEngineErrorCode TDataCursor::FreeServerBlob(uint16_t fieldNo, uint8_t* buffer, bool useTableFields,
                                             bool serverFlag) {
    TRemoteRequest& request = PutBlobField(BeginRemote(REQUEST_FREEBLOB), fieldNo, buffer, FRecordSize);
    request.PutBool(useTableFields);
    request.PutBool(serverFlag);
    TRemoteReply& reply = SendRemote();
    const TEngineErrorCode result = reply.GetU16();
    if (result != KURA_NONE) return result;
    GetRemoteRecord(reply, buffer);
    return KURA_NONE;
}

TEngineErrorCode TDataCursor::GetServerBlob(uint16_t fieldNo, const uint8_t* buffer, uint32_t offset, void* dest,
                                            uint32_t length, uint32_t& read, bool useTableFields) {
    read = 0;
    if (length > 0 && !dest) return KURA_INVALIDBLOBLEN;
    TRemoteRequest& request = PutBlobField(BeginRemote(REQUEST_GETBLOB), fieldNo, buffer, FRecordSize);
    request.PutU32(offset);
    request.PutU32(length);
    request.PutBool(useTableFields);
    TRemoteReply& reply = SendRemote();
    const TEngineErrorCode result = reply.GetU16();
    read = ReadRemoteBlobBytes(reply, dest, length);
    return result;
}

TEngineErrorCode TDataCursor::PutServerBlob(uint16_t fieldNo, uint8_t* buffer, uint32_t offset, const void* source,
                                            uint32_t length, bool useTableFields) {
    if (length > 0 && !source) return KURA_INVALIDBLOBLEN;
    TRemoteRequest& request = PutBlobField(BeginRemote(REQUEST_PUTBLOB), fieldNo, buffer, FRecordSize);
    request.PutU32(offset);
    request.PutU32(length);
    request.PutParam(source, length);
    request.PutBool(useTableFields);
    TRemoteReply& reply = SendRemote();
    const TEngineErrorCode result = reply.GetU16();
    std::vector<uint8_t> record(FRecordSize);
    GetRemoteRecord(reply, record.data());
    if (result == KURA_NONE) std::memcpy(buffer, record.data(), FRecordSize);
    return result;
}

TEngineErrorCode TDataCursor::TruncateServerBlob(uint16_t fieldNo, uint8_t* buffer, uint32_t newSize,
                                                 bool useTableFields) {
    TRemoteRequest& request = PutBlobField(BeginRemote(REQUEST_TRUNCATEBLOB), fieldNo, buffer, FRecordSize);
    request.PutU32(newSize);
    request.PutBool(useTableFields);
    TRemoteReply& reply = SendRemote();
    const TEngineErrorCode result = reply.GetU16();
    std::vector<uint8_t> record(FRecordSize);
    GetRemoteRecord(reply, record.data());
    if (result == KURA_NONE) std::memcpy(buffer, record.data(), FRecordSize);
    return result;
}

TEngineErrorCode TDataCursor::GetServerBlobSize(uint16_t fieldNo, const uint8_t* buffer, uint32_t& size,
                                                bool useTableFields) {
    size = 0;
    TRemoteRequest& request = PutBlobField(BeginRemote(REQUEST_GETBLOBSIZE), fieldNo, buffer, FRecordSize);
    request.PutBool(useTableFields);
    TRemoteReply& reply = SendRemote();
    const TEngineErrorCode result = reply.GetU16();
    const uint32_t value = reply.GetU32();
    if (result == KURA_NONE) size = value;
    return result;
}

}  // namespace kura
