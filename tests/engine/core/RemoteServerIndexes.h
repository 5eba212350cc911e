#pragma once
// Test server area: selecting, adding and deleting indexes of a server cursor, and
// emptying its table. Adding an index reports its build through callback kind 4.
#include "tests/engine/core/RemoteServerState.h"

namespace kura::test {

// One callback frame without a response: the kind, then the values as given.
inline void ServerNotify(TServerState& s, uint16_t kind, const std::vector<std::vector<uint8_t>>& values) {
    if (!s.Callback) return;
    std::vector<std::vector<uint8_t>> params;
    params.push_back({static_cast<uint8_t>(kind), static_cast<uint8_t>(kind >> 8)});
    params.insert(params.end(), values.begin(), values.end());
    s.CallBack(params, false);
}

inline std::vector<uint8_t> U16Param(uint16_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
}

// Index number, then the cursor state.
inline void PutIndexSelection(TRemoteRequest& reply, TDataCursor& c) {
    reply.PutByte(c.GetCurrentIndexNo());
    PutCursorState(reply, c);
}

inline void RegisterIndexArea(TServerAreas& areas) {
    areas.On(REQUEST_SETINDEXNAME, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = PositionedCursor(s, req);
        c->SetIndexName(req.Text(kAfterPosition));
        PutIndexSelection(reply, *c);
    });
    areas.On(REQUEST_ADDSECONDARYINDEX, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = PositionedCursor(s, req);
        const std::vector<uint8_t>& bytes = req.Bytes(kAfterPosition);
        if (bytes.size() != INDEX_DESC_SIZE) RaiseEngineError(KURA_REMOTEINVREQUEST);
        TIndexDesc desc;
        std::copy(bytes.begin(), bytes.end(), desc.Bytes.begin());
        c->Events().IndexProgress = [&s](TDataCursor*, uint16_t percent) {
            ServerNotify(s, 4, {U16Param(percent)});
        };
        try {
            c->AddSecondaryIndex(desc, static_cast<uint8_t>(req.Number(kAfterPosition + 1)));
        } catch (...) {
            c->Events().IndexProgress = nullptr;
            throw;
        }
        c->Events().IndexProgress = nullptr;
        PutCursorState(reply, *c);
    });
    areas.On(REQUEST_DELETEINDEX, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = PositionedCursor(s, req);
        c->DeleteIndex(req.Text(kAfterPosition), static_cast<uint8_t>(req.Number(kAfterPosition + 1)));
        PutIndexSelection(reply, *c);
    });
    areas.On(REQUEST_EMPTYTABLE, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = s.Cursor(req);
        c->EmptyTable();
        PutCursorState(reply, *c);
    });
}

}  // namespace kura::test
