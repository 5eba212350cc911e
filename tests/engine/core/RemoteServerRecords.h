#pragma once
// Test server area: reading and writing records, bookmarks, record locks and BLOBs.
// A server from 3.11 on leaves open BLOBs to the client: it opens its own copy, sends
// the content once, and takes the changed contents back with the record writes; an
// older one answers every BLOB operation itself.
#include <algorithm>
#include <cstring>

#include "engine/core/RemoteState.h"
#include "engine/files/BlobBuffer.h"
#include "tests/engine/core/RemoteServerState.h"

namespace kura::test {

// A record parameter of exactly the cursor's record size.
inline std::vector<uint8_t> ServerRecord(const TDataCursor& c, const TServerRequest& req, size_t i) {
    const std::vector<uint8_t>& p = req.Bytes(i);
    if (p.size() != c.FRecordSize) RaiseEngineError(KURA_REMOTEINVREQUEST);
    return p;
}

inline bool IsBlobField(const TDataCursor& c, uint16_t fieldNo) {
    TFieldDesc desc;
    c.GetFieldDesc(fieldNo, desc);
    return desc.FieldType() == fldBLOB;
}

inline bool ClientKeepsBlobs(const TServerState& s) { return ReportedVersion(s) >= SERVER_VERSION_CLIENT_BLOBS; }

inline int32_t BlobReference(TDataCursor& c, uint16_t fieldNo, const uint8_t* buffer, bool useTableFields,
                             bool& blank) {
    uint8_t value[256] = {};
    if (useTableFields)
        c.GetTableField(fieldNo, buffer, value, blank);
    else
        c.GetField(fieldNo, buffer, value, blank);
    int32_t reference = 0;
    std::memcpy(&reference, value, 4);
    return reference;
}

// The content of an open BLOB as the client loads it: its size, then its bytes.
inline void PutBlobContent(TRemoteRequest& reply, TDataCursor& c, uint16_t fieldNo, const uint8_t* buffer,
                           bool useTableFields) {
    uint32_t size = 0;
    c.GetBlobSize(fieldNo, buffer, size, useTableFields);
    std::vector<uint8_t> bytes(size);
    uint32_t read = 0;
    if (size > 0) c.GetBlob(fieldNo, buffer, 0, bytes.data(), size, read, useTableFields);
    reply.PutU32(size);
    reply.PutParam(bytes.data(), size);
}

inline TBlobBuffer* ServerOpenBlob(TDataCursor& c, int32_t reference) {
    for (TBlobBuffer* blob : c.FOpenBlobs)
        if (reference < 0 && c.GetOpenBlobHandle(blob) == -reference) return blob;
    return nullptr;
}

// The BLOB fields of a record written by a client that keeps its BLOBs hold the
// client's handles: they become the server's, and the uploaded contents go into the
// server's copies before the write.
inline void TakeBlobUpload(const TServerState& s, TDataCursor& c, std::vector<uint8_t>& record,
                           const TServerRequest& req, size_t first) {
    if (!ClientKeepsBlobs(s)) return;
    for (uint16_t n = 1; n <= c.GetFieldCount(); ++n) {
        if (!IsBlobField(c, n)) continue;
        bool blank = true;
        if (BlobReference(c, n, record.data(), false, blank) >= 0) continue;
        TBlobBuffer* mine = nullptr;
        for (TBlobBuffer* blob : c.FOpenBlobs)
            if (blob->FieldNumber == n) mine = blob;
        int32_t value = mine ? -c.GetOpenBlobHandle(mine) : 0;
        uint8_t bytes[4];
        std::memcpy(bytes, &value, 4);
        c.PutField(n, record.data(), bytes, true, mine && mine->GetSize() == 0);
    }
    const uint32_t count = static_cast<uint32_t>(req.Number(first));
    size_t p = first + 1;
    // From 3.27 a flag byte follows each reference.
    const size_t flag = ReportedVersion(s) >= BLOB_FLAG_SERVER_VERSION ? 1 : 0;
    for (uint32_t i = 0; i < count; ++i) {
        // An emptied BLOB comes without its bytes.
        const int32_t reference = static_cast<int32_t>(req.Number(p));
        if (flag != 0 && req.Bytes(p + 1).size() != 1) RaiseEngineError(KURA_REMOTEINVREQUEST);
        const uint64_t size = req.Number(p + 1 + flag);
        const std::vector<uint8_t> none;
        const std::vector<uint8_t>& bytes = size == 0 ? none : req.Bytes(p + 2 + flag);
        if (bytes.size() != size) RaiseEngineError(KURA_REMOTEINVREQUEST);
        p += (size == 0 ? 2 : 3) + flag;
        TBlobBuffer* blob = ServerOpenBlob(c, reference);
        if (!blob) RaiseEngineError(KURA_INVALIDBLOBHANDLE);
        const uint16_t n = blob->FieldNumber;
        uint8_t value[4];
        std::memcpy(value, &reference, 4);
        c.PutField(n, record.data(), value, true, bytes.empty());
        c.TruncateBlob(n, record.data(), static_cast<uint32_t>(bytes.size()), false);
        if (!bytes.empty())
            c.PutBlob(n, record.data(), 0, bytes.data(), static_cast<uint32_t>(bytes.size()), false);
        blob->Modified = 1;
    }
    // The upload ends the request: anything left over was read out of step.
    if (p != req.Params.size()) RaiseEngineError(KURA_REMOTEINVREQUEST);
}

inline void RegisterRecordsArea(TServerAreas& areas) {
    areas.On(REQUEST_GETCURRECORD, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = PositionedCursor(s, req);
        std::vector<uint8_t> record = req.Bytes(kAfterPosition);
        const bool given = !record.empty();
        if (given && record.size() != c->FRecordSize) RaiseEngineError(KURA_REMOTEINVREQUEST);
        const TEngineErrorCode result = c->GetCurrentRecord(given ? record.data() : nullptr, req.Flag(kAfterPosition + 1));
        reply.PutU16(result);
        PutCursorState(reply, *c);
        if (given) reply.PutParam(record.data(), c->FRecordSize);
    });
    areas.On(REQUEST_CLONECURRECORD, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = PositionedCursor(s, req);
        std::vector<uint8_t> record(c->FRecordSize);
        reply.PutU16(c->CloneCurrentRecord(record.data()));
        PutCursorState(reply, *c);
        reply.PutParam(record.data(), c->FRecordSize);
        if (!ClientKeepsBlobs(s)) return;
        for (uint16_t n = 1; n <= c->GetFieldCount(); ++n) {
            if (!IsBlobField(*c, n)) continue;
            bool blank = true;
            BlobReference(*c, n, record.data(), false, blank);
            if (!blank) PutBlobContent(reply, *c, n, record.data(), false);
        }
    });
    areas.On(REQUEST_READRECORDBLOCK, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = PositionedCursor(s, req);
        int32_t count = std::clamp(static_cast<int32_t>(req.Number(kAfterPosition)), 0, 4096);
        std::vector<uint8_t> records(static_cast<size_t>(count) * c->FRecordSize + c->FRecordSize);
        const TEngineErrorCode result = c->ReadRecordBlock(count, records.data());
        reply.PutU16(result);
        PutCursorState(reply, *c);
        reply.PutI32(count);
        for (int32_t i = 0; i < count; ++i)
            reply.PutParam(records.data() + static_cast<size_t>(i) * c->FRecordSize, c->FRecordSize);
    });
    areas.On(REQUEST_APPENDRECORD, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = PositionedCursor(s, req);
        std::vector<uint8_t> record = ServerRecord(*c, req, kAfterPosition);
        TakeBlobUpload(s, *c, record, req, kAfterPosition + 2);
        c->AppendRecord(record.data(), req.Flag(kAfterPosition + 1));
        PutCursorState(reply, *c);
    });
    areas.On(REQUEST_MODIFYRECORD, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = PositionedCursor(s, req);
        std::vector<uint8_t> record = ServerRecord(*c, req, kAfterPosition);
        TakeBlobUpload(s, *c, record, req, kAfterPosition + 3);
        c->ModifyRecord(record.data(), req.Flag(kAfterPosition + 1), req.Flag(kAfterPosition + 2));
        PutCursorState(reply, *c);
    });
    areas.On(REQUEST_DELETERECORD, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = PositionedCursor(s, req);
        const std::vector<uint8_t> record = ServerRecord(*c, req, kAfterPosition);
        c->DeleteRecord(record.data(), req.Flag(kAfterPosition + 1));
        PutCursorState(reply, *c);
    });
    areas.On(REQUEST_CANCELRECORD,
             [](TServerState& s, const TServerRequest& req, TRemoteRequest&) { s.Cursor(req)->CancelRecord(); });
    areas.On(REQUEST_FLUSHBUFFERS, [](TServerState& s, const TServerRequest& req, TRemoteRequest&) {
        s.Cursor(req)->FlushBuffers(req.Flag(1), req.Flag(2), req.Flag(3), req.Flag(4), req.Flag(5));
    });
    areas.On(REQUEST_SETTOCURSOR, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = PositionedCursor(s, req);
        TServerRequest other;
        for (size_t i = kAfterPosition; i < kAfterPosition + 4; ++i) other.Params.push_back(req.Bytes(i));
        TDataCursor* source = PositionedCursor(s, other);
        reply.PutU16(c->SetToCursor(*source));
        PutCursorState(reply, *c);
    });
    areas.On(REQUEST_SETTOBOOKMARK, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = s.Cursor(req);
        reply.PutBool(c->SetToBookmark(req.Bytes(1), req.Flag(2), req.Flag(3)));
        PutCursorState(reply, *c);
    });
    areas.On(REQUEST_WRITEUNLOCKRECORD, [](TServerState& s, const TServerRequest& req, TRemoteRequest&) {
        PositionedCursor(s, req)->WriteUnlockRecord(static_cast<uint32_t>(req.Number(kAfterPosition)), false);
    });

    // ---- BLOBs ----
    areas.On(REQUEST_OPENBLOB, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        const bool keeps = ClientKeepsBlobs(s);
        TDataCursor* c = keeps ? s.Cursor(req) : PositionedCursor(s, req);
        const size_t at = keeps ? 1 : kAfterPosition;
        const auto fieldNo = static_cast<uint16_t>(req.Number(at));
        std::vector<uint8_t> record = ServerRecord(*c, req, at + 1);
        const bool useTableFields = req.Flag(at + 3);
        bool blank = true;
        const int32_t stored = BlobReference(*c, fieldNo, record.data(), useTableFields, blank);
        uint32_t size = 0;
        const TEngineErrorCode result = c->OpenBlob(fieldNo, record.data(), static_cast<uint8_t>(req.Number(at + 2)),
                                                    useTableFields, req.Flag(at + 4), size);
        reply.PutU16(result);
        if (keeps) {
            if (result != 0) return;
            reply.PutParam(record.data(), c->FRecordSize);
            if (stored != 0) PutBlobContent(reply, *c, fieldNo, record.data(), useTableFields);
            return;
        }
        reply.PutParam(record.data(), c->FRecordSize);
        PutCursorState(reply, *c);
    });
    areas.On(REQUEST_FREEBLOB, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = s.Cursor(req);
        const auto fieldNo = static_cast<uint16_t>(req.Number(1));
        std::vector<uint8_t> record = ServerRecord(*c, req, 2);
        const TEngineErrorCode result = c->FreeBlob(fieldNo, record.data(), req.Flag(3), req.Flag(4));
        reply.PutU16(result);
        if (result == 0 && !ClientKeepsBlobs(s)) reply.PutParam(record.data(), c->FRecordSize);
    });
    areas.On(REQUEST_FREEALLBLOBS,
             [](TServerState& s, const TServerRequest& req, TRemoteRequest&) { s.Cursor(req)->FreeAllBlobs(req.Flag(1)); });
    areas.On(REQUEST_GETBLOB, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = s.Cursor(req);
        const std::vector<uint8_t> record = ServerRecord(*c, req, 2);
        const auto length = static_cast<uint32_t>(req.Number(4));
        if (length > (16u << 20)) RaiseEngineError(KURA_REMOTEINVREQUEST);
        std::vector<uint8_t> bytes(length);
        uint32_t read = 0;
        const TEngineErrorCode result = c->GetBlob(static_cast<uint16_t>(req.Number(1)), record.data(),
                                                   static_cast<uint32_t>(req.Number(3)), bytes.data(), length, read,
                                                   req.Flag(5));
        reply.PutU16(result);
        reply.PutU32(read);
        reply.PutParam(bytes.data(), read);
    });
    areas.On(REQUEST_PUTBLOB, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = s.Cursor(req);
        std::vector<uint8_t> record = ServerRecord(*c, req, 2);
        const std::vector<uint8_t>& bytes = req.Bytes(5);
        if (bytes.size() != req.Number(4)) RaiseEngineError(KURA_REMOTEINVREQUEST);
        reply.PutU16(c->PutBlob(static_cast<uint16_t>(req.Number(1)), record.data(),
                                static_cast<uint32_t>(req.Number(3)), bytes.data(),
                                static_cast<uint32_t>(bytes.size()), req.Flag(6)));
        reply.PutParam(record.data(), c->FRecordSize);
    });
    areas.On(REQUEST_TRUNCATEBLOB, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = s.Cursor(req);
        std::vector<uint8_t> record = ServerRecord(*c, req, 2);
        reply.PutU16(c->TruncateBlob(static_cast<uint16_t>(req.Number(1)), record.data(),
                                     static_cast<uint32_t>(req.Number(3)), req.Flag(4)));
        reply.PutParam(record.data(), c->FRecordSize);
    });
    areas.On(REQUEST_GETBLOBSIZE, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = s.Cursor(req);
        const std::vector<uint8_t> record = ServerRecord(*c, req, 2);
        uint32_t size = 0;
        reply.PutU16(c->GetBlobSize(static_cast<uint16_t>(req.Number(1)), record.data(), size, req.Flag(3)));
        reply.PutU32(size);
    });
}

}  // namespace kura::test
