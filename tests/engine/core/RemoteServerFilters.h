#pragma once
// Test server area: expression and callback filters of a server cursor. An
// expression filter arrives as a flat image that the server rebuilds; a callback
// filter asks the client about every record it tests (callback kind 1).
#include <algorithm>

#include "engine/expr/ExpCodes.h"
#include "engine/expr/ExpStream.h"
#include "engine/expr/ExpressionOwner.h"
#include "tests/engine/core/RemoteServerState.h"

namespace kura::test {

// The client's answer for one record; no client to ask (outside a request) is false.
inline bool ServerCallbackFilter(void* data, TDataCursor* cursor, const uint8_t* record, uint32_t recordNo) {
    auto* s = static_cast<TServerState*>(data);
    if (!s->Callback) return false;
    const uint16_t kind = 1;
    std::vector<std::vector<uint8_t>> params;
    params.emplace_back(reinterpret_cast<const uint8_t*>(&kind), reinterpret_cast<const uint8_t*>(&kind) + 2);
    params.emplace_back(record, record + cursor->FRecordSize);
    params.emplace_back(reinterpret_cast<const uint8_t*>(&recordNo), reinterpret_cast<const uint8_t*>(&recordNo) + 4);
    const auto answer = s->CallBack(params, true);
    return !answer.empty() && answer[0].size() == 1 && answer[0][0] != 0;
}

inline void BindServerColumns(TExpToken* node, TDataCursor* c) {
    if (!node) return;
    if (node->Kind == ekColumn) SetTokenOwner(*node, c);
    for (TExpToken* child : {node->Left, node->Right, node->Third}) BindServerColumns(child, c);
    for (TExpToken* arg : node->Arguments) BindServerColumns(arg, c);
}

// CombineFirst, StatisticsAllowed and, from 3.11, EstimateCounts from param first on.
inline TCursorFilterOptions ServerFilterOptions(const TServerState& s, const TServerRequest& req, size_t first) {
    TCursorFilterOptions options;
    options.CombineFirst = req.Flag(first);
    options.StatisticsAllowed = req.Flag(first + 1);
    if (ReportedVersion(s) >= SERVER_VERSION_FILTER_ESTIMATES) options.EstimateCounts = req.Flag(first + 2);
    return options;
}

inline uint32_t KeepServerFilter(TServerState& s, TFilter* filter) {
    const uint32_t handle = s.NewHandle();
    s.Filters[handle] = filter;
    return handle;
}

inline TFilter* ServerFilter(TServerState& s, const TServerRequest& req) {
    const uint32_t handle = static_cast<uint32_t>(req.Number(kAfterPosition));
    if (handle == 0) return nullptr;
    const auto it = s.Filters.find(handle);
    if (it == s.Filters.end()) RaiseEngineError(KURA_NOSUCHFILTER);
    return it->second;
}

inline void RegisterFilterArea(TServerAreas& areas) {
    areas.On(REQUEST_ADDEXPRFILTER, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = s.Cursor(req);
        const std::vector<uint8_t>& image = req.Bytes(2);
        if (req.Number(1) != image.size()) RaiseEngineError(KURA_REMOTEINVREQUEST);
        TExpToken* tree = nullptr;
        ReadExpressionStream(image.data(), image.size(), tree);
        // Columns answer for this server's cursor (TEXTSEARCH asks it for its words).
        BindServerColumns(tree, c);
        TFilter* filter = c->AddFilter(tree, true, ServerFilterOptions(s, req, 4));
        reply.PutU32(KeepServerFilter(s, filter));
        reply.PutByte(filter->OptimizeLevel);
    });
    areas.On(REQUEST_ADDCALLBACKFILTER, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = s.Cursor(req);
        reply.PutU32(KeepServerFilter(s, c->AddFilter(&ServerCallbackFilter, &s, ServerFilterOptions(s, req, 1))));
    });
    areas.On(REQUEST_DROPFILTER, [](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
        TDataCursor* c = PositionedCursor(s, req);
        TFilter* filter = ServerFilter(s, req);
        const std::vector<TFilter*> before = c->GetFilters();
        c->DropFilter(filter);
        for (auto it = s.Filters.begin(); it != s.Filters.end();) {
            const bool gone = filter ? it->second == filter
                                     : std::find(before.begin(), before.end(), it->second) != before.end();
            it = gone ? s.Filters.erase(it) : std::next(it);
        }
        PutCursorState(reply, *c);
    });
    for (const uint16_t code : {REQUEST_ACTIVATEFILTER, REQUEST_DEACTIVATEFILTER}) {
        areas.On(code, [code](TServerState& s, const TServerRequest& req, TRemoteRequest& reply) {
            TDataCursor* c = PositionedCursor(s, req);
            TFilter* filter = ServerFilter(s, req);
            code == REQUEST_ACTIVATEFILTER ? c->ActivateFilter(filter) : c->DeactivateFilter(filter);
            PutCursorState(reply, *c);
        });
    }
}

}  // namespace kura::test
