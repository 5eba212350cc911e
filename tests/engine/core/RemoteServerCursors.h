#pragma once
// Test server area: opening, closing, cloning and refreshing cursors, positioning,
// stepping record by record, key search and key ranges.
#include <algorithm>

#include "tests/engine/core/RemoteServerState.h"

namespace kura::test {

inline void RegisterCursorArea(TServerAreas& areas) {
    areas.On(REQUEST_OPENCURSOR, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = s.Cursor(req);
        c->SetTableName(req.Text(1));
        c->SetExclusive(req.Flag(2));
        c->SetReadOnly(req.Flag(3));
        c->SetInMemory(req.Flag(4));
        c->OpenCursor();
        PutOpenReply(s, reply, *c);
    });
    areas.On(REQUEST_CLOSECURSOR,
             [](TServerState& s, const TServerRequest& req, TRemoteRequest&) { s.Cursor(req)->CloseCursor(false); });
    areas.On(REQUEST_CLONECURSOR, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        std::unique_ptr<TDataCursor> clone(PositionedCursor(s, req)->CloneCursor());
        const uint32_t handle = s.NewHandle();
        reply.PutU32(handle);
        PutOpenReply(s, reply, *clone);
        s.Cursors[handle] = std::move(clone);
    });
    areas.On(REQUEST_REFRESH, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = PositionedCursor(s, req);
        c->Refresh();
        PutCursorState(reply, *c);
    });
    areas.On(REQUEST_SUPPRESSAUTOINC, [](TServerState& s, const TServerRequest& req, TRemoteRequest&) {
        s.Cursor(req)->SuppressAutoInc(req.Flag(1));
    });
    areas.On(REQUEST_TEXTINDEXPARAMS, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = s.Cursor(req);
        const TLanguageStringList& words = c->GetStopWords();
        reply.PutU32(static_cast<uint32_t>(words.Count()));
        for (int32_t i = 0; i < words.Count(); ++i) reply.PutString(words.Get(i));
        reply.PutString(CharSetMembers(c->GetSpaceChars()));
        reply.PutString(CharSetMembers(c->GetIncludeChars()));
    });
    areas.On(REQUEST_SETTOBEGIN, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = s.Cursor(req);
        c->SetToBegin();
        PutCursorState(reply, *c);
    });
    areas.On(REQUEST_SETTOEND, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = s.Cursor(req);
        c->SetToEnd();
        PutCursorState(reply, *c);
    });
    areas.On(REQUEST_SETTORECNO, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = s.Cursor(req);
        c->SetToRecordNumber(static_cast<int32_t>(req.Number(1)));
        PutCursorState(reply, *c);
    });
    for (const uint16_t code : {REQUEST_GETNEXTRECORD, REQUEST_GETPRIORRECORD}) {
        areas.On(code, [code](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
            TDataCursor* c = PositionedCursor(s, req);
            const uint32_t count = std::max<uint32_t>(1, static_cast<uint32_t>(req.Number(kAfterPosition)));
            std::vector<uint8_t> record(c->FRecordSize);
            for (uint32_t i = 0; i < count; ++i) {
                const TEngineErrorCode result =
                    code == REQUEST_GETNEXTRECORD ? c->GetNextRecord(record.data()) : c->GetPriorRecord(record.data());
                reply.PutU16(result);
                PutCursorState(reply, *c);
                reply.PutParam(record.data(), static_cast<uint32_t>(record.size()));
                if (result != 0) break;
            }
        });
    }
    areas.On(REQUEST_FIND, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = PositionedCursor(s, req);
        const TServerKey key(req, kAfterPosition);
        const bool wanted = req.Flag(kAfterPosition + 4);
        std::vector<uint8_t> record(c->FRecordSize);
        const uint8_t found = c->FindKey(1, key.Bytes.data(), static_cast<int32_t>(req.Number(kAfterPosition + 1)),
                                         static_cast<uint8_t>(req.Number(kAfterPosition + 2)),
                                         static_cast<uint8_t>(req.Number(kAfterPosition + 3)),
                                         wanted ? record.data() : nullptr);
        reply.PutByte(found);
        PutCursorState(reply, *c);
        if (wanted) reply.PutParam(record.data(), static_cast<uint32_t>(record.size()));
    });
    areas.On(REQUEST_SETRANGE, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = PositionedCursor(s, req);
        const TServerKey start(req, kAfterPosition);
        const TServerKey end(req, kAfterPosition + 2);
        c->SetRange(1, start.Data, static_cast<int32_t>(req.Number(kAfterPosition + 1)), end.Data,
                    static_cast<int32_t>(req.Number(kAfterPosition + 3)));
        PutCursorState(reply, *c);
    });
    areas.On(REQUEST_RESETRANGE, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = PositionedCursor(s, req);
        c->ResetRange();
        PutCursorState(reply, *c);
    });
}

}  // namespace kura::test
